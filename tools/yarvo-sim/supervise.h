// The host program and everything it starts, supervised as one tree.
//
// yarvo-sim makes itself the child subreaper of its process tree
// (PR_SET_CHILD_SUBREAPER; no PID namespace, where the host would be PID 1
// and ignore SIGTERM and Ctrl-C): a process the host starts and leaves
// behind becomes yarvo-sim's child, so the boards are served while any
// descendant of the host lives, and yarvo-sim ends only after the last.
// Its exit status stays the host's own (128 + N when signal N killed it).
//
// Stopping: a Ctrl-C typed at the terminal reaches the host by itself (it
// shares the terminal's process group); SIGINT, SIGTERM, SIGHUP or SIGQUIT
// sent to yarvo-sim alone is passed on to the host.  Once the host has
// ended after such a stop, every descendant still running gets SIGTERM, and
// SIGKILL kGracePeriod later.  A second stop kills every descendant at once.
#ifndef YARVO_SIM_TOOL_SUPERVISE_H
#define YARVO_SIM_TOOL_SUPERVISE_H

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace yarvo::simtool {

constexpr int kOwnFailure = 125;     // yarvo-sim itself failed; the program never ran
constexpr int kNotExecutable = 126;
constexpr int kNotFound = 127;
constexpr std::chrono::seconds kGracePeriod{3};

// The program's path as execv wants it: PROGRAM itself when it holds a '/',
// else the first executable of that name on PATH.  0, or kNotFound /
// kNotExecutable with a message.
int resolveProgram(const std::string& name, std::string* path, std::string* message);

// The exit code for a wait status: the code, 128 + N for signal N.
int exitCodeOf(int status);

class Supervisor {
public:
    // Becomes the subreaper and takes the stop signals.  False with a
    // message.
    bool prepare(std::string* error);

    // Starts the program with standard input from `inputFd` and output and
    // error to `outputFd` (each -1: inherited).  A failed exec ends the child
    // with kNotFound or kNotExecutable after a message on `errorFd`.
    bool start(const std::string& path, const std::vector<std::string>& args, int inputFd, int outputFd, int errorFd,
               std::string* error);
    pid_t program() const { return program_; }

    // Reaps what has ended and acts on stop requests, without waiting; true
    // while any descendant lives.
    bool running();
    // Waits until every descendant has ended; the program's exit code.
    int wait();
    // Stop requests received so far (the view ends at the first).
    const volatile sig_atomic_t* stops() const;

private:
    pid_t program_ = -1;
    bool programDone_ = false;
    int programStatus_ = 0;
    bool termSent_ = false;
    bool killSent_ = false;
    std::chrono::steady_clock::time_point killAt_{};
    void handleStops();
};

// Every live descendant of this process (through /proc), nearest first.
std::vector<pid_t> descendants();

}  // namespace yarvo::simtool

#endif
