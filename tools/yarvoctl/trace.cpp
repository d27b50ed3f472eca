// trace [--raw] [-o FILE] [--filter TERMS] -- PROGRAM [ARGS...]: runs
// PROGRAM with the transfer tracer preloaded and returns PROGRAM's exit
// status (127 when it is not found, 126 when it cannot be run).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common.h"
#include "companion.h"
#include "output_file.h"
#include "trace_filter.h"

#ifndef YARVO_TRACE_INSTALLED
#define YARVO_TRACE_INSTALLED ""
#endif
#ifndef YARVO_TRACE_RELATIVE
#define YARVO_TRACE_RELATIVE ""
#endif

namespace yarvoctl {
namespace {

constexpr char kTracerName[] = "libyarvo-trace.so";

struct TraceArgs {
    bool raw = false;
    std::string output;
    std::string filter;
    std::vector<std::string> command;
};

// The tracer: $YARVO_TRACE_LIBRARY, else where the tools find their
// companion libraries (tools/common/companion.h).
std::string findTracer() {
    if (const char* env = std::getenv("YARVO_TRACE_LIBRARY"); env != nullptr && *env != '\0') {
        char* real = ::realpath(env, nullptr);
        struct stat st;
        if (real != nullptr && ::stat(real, &st) == 0 && S_ISREG(st.st_mode)) {
            const std::string path = real;
            std::free(real);
            return path;
        }
        std::free(real);
        throw Failure("trace", std::string("YARVO_TRACE_LIBRARY names no file: ") + env);
    }
    const std::string found = yarvo::tools::findCompanion(kTracerName, YARVO_TRACE_RELATIVE, YARVO_TRACE_INSTALLED);
    if (found.empty()) {
        throw Failure("trace", std::string(kTracerName) + " not found (set YARVO_TRACE_LIBRARY)");
    }
    return found;
}

int runTrace(const TraceArgs& a) {
    const std::string tracer = findTracer();
    std::string preload = tracer;
    if (const char* existing = std::getenv("LD_PRELOAD"); existing != nullptr && *existing != '\0') {
        // The tracer goes first so that its "next" is whatever was preloaded
        // already, such as the virtual board.
        preload += ":";
        preload += existing;
    }

    std::string output;
    if (!a.output.empty()) {
        std::string error;
        yarvo::tools::OutputFileOptions options;
        options.truncate = true;
        const int fd = yarvo::tools::openOutputFile(a.output, options, &error);
        if (fd < 0) throw Failure("trace", error);
        ::close(fd);
        char* real = ::realpath(a.output.c_str(), nullptr);
        output = real != nullptr ? real : a.output;
        std::free(real);
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long epoch = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;

    // The child reports a failed exec through a pipe that closes on success.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw Failure("trace", std::strerror(errno));
    std::vector<char*> argv;
    for (const std::string& word : a.command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0) throw Failure("trace", std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        ::close(pipeFds[0]);
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("YARVO_TRACE_EPOCH", std::to_string(epoch).c_str(), 1);
        if (a.raw) ::setenv("YARVO_TRACE_RAW", "1", 1); else ::unsetenv("YARVO_TRACE_RAW");
        if (!output.empty()) ::setenv("YARVO_TRACE_OUTPUT", output.c_str(), 1);
        else ::unsetenv("YARVO_TRACE_OUTPUT");
        if (!a.filter.empty()) ::setenv("YARVO_TRACE_FILTER", a.filter.c_str(), 1);
        else ::unsetenv("YARVO_TRACE_FILTER");
        ::execvp(argv[0], argv.data());
        const int err = errno;
        (void)!::write(pipeFds[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(pipeFds[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(pipeFds[0]);

    // Interrupts go to the traced program; wait for it to finish.
    signal(SIGINT, SIG_IGN);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof execError)) {
        // As a shell (and yarvo-sim) says it: 127 not found, 126 not runnable.
        throw Failure("trace", "cannot run " + a.command.front() + ": " + std::strerror(execError), -1,
                      execError == ENOENT ? 127 : 126);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return kExitFailed;
}

}  // namespace

void addTraceCommand(CLI::App& app) {
    Context& ctx = context();
    auto args = std::make_shared<TraceArgs>();
    CLI::App* sub = app.add_subcommand(
        "trace",
        "run PROGRAM with every board transfer decoded: time, board, command, fields, outcome "
        "(exit status is PROGRAM's)");
    sub->add_flag("--raw", args->raw, "add the request and response bytes");
    sub->add_option("-o,--output", args->output, "write the trace to FILE instead of standard error");
    sub->add_option("--filter", args->filter,
                    "print only some transfers: terms separated by commas, COMMAND (e.g. STATUS), reel=N, "
                    "board=N or failed; a term with a leading '-' leaves out what it matches; terms of one "
                    "kind are alternatives, kinds must all match (-STATUS: no status polls; "
                    "SPIN,STOP-AT,reel=2: spins and stops of reel 2)")
        ->check(CLI::Validator(
            [](std::string& text) {
                yarvo::decode::TransferFilter filter;
                std::string error;
                return filter.parse(text, &error) ? std::string() : error;
            },
            "FILTER"));
    sub->add_option("program", args->command, "PROGRAM [ARGS...], after --")->required();
    sub->positionals_at_end();
    sub->callback([&ctx, args] { ctx.action = [args] { return runTrace(*args); }; });
}

}  // namespace yarvoctl
