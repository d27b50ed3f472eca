// Allocation counter: replaces the C allocator's entry points and the global
// operator new/delete, counts each allocation and forwards to the C
// library's own allocator (its __libc_* names), so that memory handed out by
// either side may be freed by the other.
#include "alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<uint64_t> gAllocations{0};

inline void count() { gAllocations.fetch_add(1, std::memory_order_relaxed); }

void* allocateAligned(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

}  // namespace

namespace yarvo::bench {

uint64_t allocationCount() { return gAllocations.load(std::memory_order_relaxed); }

}  // namespace yarvo::bench

extern "C" {

void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
    count();
    return __libc_calloc(n, size);
}

// Growing or shrinking a block counts as an allocation; realloc(p, 0) as a free.
void* realloc(void* pointer, size_t size) {
    if (pointer == nullptr || size != 0) {
        count();
    }
    return __libc_realloc(pointer, size);
}

void free(void* pointer) { __libc_free(pointer); }

void* memalign(size_t alignment, size_t size) { return allocateAligned(alignment, size); }

void* aligned_alloc(size_t alignment, size_t size) { return allocateAligned(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    void* p = allocateAligned(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

}  // extern "C"

namespace {

void* newOrThrow(size_t size) {
    for (;;) {
        if (void* p = malloc(size == 0 ? 1 : size)) {
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void* newAlignedOrThrow(size_t size, std::align_val_t alignment) {
    for (;;) {
        if (void* p = allocateAligned(static_cast<size_t>(alignment), size == 0 ? 1 : size)) {
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

}  // namespace

void* operator new(size_t size) { return newOrThrow(size); }
void* operator new[](size_t size) { return newOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new(size_t size, std::align_val_t a) { return newAlignedOrThrow(size, a); }
void* operator new[](size_t size, std::align_val_t a) { return newAlignedOrThrow(size, a); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned(static_cast<size_t>(a), size == 0 ? 1 : size);
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned(static_cast<size_t>(a), size == 0 ? 1 : size);
}

void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { free(p); }
