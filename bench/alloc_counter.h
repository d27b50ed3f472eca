// Counts heap allocations of the whole process: malloc, calloc, realloc and
// every form of operator new end up in one counter.  Linked into the
// benchmark executables only, which is why it may replace the allocator's
// entry points: the definitions in the executable come before the C
// library's and catch the calls of every shared library too (the C++
// runtime, TinyXML, the C library's own fopen).
#ifndef YARVO_BENCH_ALLOC_COUNTER_H
#define YARVO_BENCH_ALLOC_COUNTER_H

#include <cstdint>

namespace yarvo::bench {

// Allocations made since the process started.
uint64_t allocationCount();

}  // namespace yarvo::bench

#endif
