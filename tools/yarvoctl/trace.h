// What trace and record share: running a program with the tracer preloaded
// (trace.cpp), and printing a recorded session as trace lines (record.cpp).
#ifndef YARVOCTL_TRACE_H
#define YARVOCTL_TRACE_H

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace yarvoctl {

// CLOCK_MONOTONIC in nanoseconds: the tracer's time stamps count from such
// an epoch.
long long monotonicNanos();

// Runs `command` with libyarvo-trace.so in front of LD_PRELOAD, its time
// stamps counted from `epoch`; `prepareChild` sets the tracer's other
// variables in the child before the exec.  The program's exit status
// (128 + N for signal N); a Failure when it cannot be run.
int runUnderTracer(const std::vector<std::string>& command, long long epoch,
                   const std::function<void()>& prepareChild);

// trace --from: the session's events as trace lines (with --raw, the
// bytes), on standard output or into `output`; with a `filter`
// (trace_filter.h), only the transfers it shows.
int printSession(const std::string& path, bool raw, const std::string& output, const std::string& filter);

// record -o SESSION -- PROGRAM [ARGS...] (record.cpp).
void addRecordCommand(CLI::App& app);

}  // namespace yarvoctl

#endif
