// The tracer's dealings with <fcntl.h>, kept apart from the file that
// defines open() itself.
#ifndef YARVO_TRACE_OUTPUT_H
#define YARVO_TRACE_OUTPUT_H

namespace yarvo_trace {

// Whether open flags carry a mode argument (O_CREAT or O_TMPFILE).
bool flagsTakeMode(int flags);

// Opens the trace file for appending (shared by every traced process);
// -1 on failure.
int openOutput(const char* path);

}  // namespace yarvo_trace

#endif
