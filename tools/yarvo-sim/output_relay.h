// The host's output while the live view is shown.  The host writes to a
// pseudo-terminal, so that its C library line-buffers standard output as on
// a terminal and each line is out of the host as soon as it is printed (a
// Ctrl-C then loses nothing already printed); a thread of yarvo-sim copies
// what arrives to the log as it comes.  The host also finds
// kViewEnvironment set, its documented sign that a terminal here is no
// screen of its own: a host that redraws its lines in place on a terminal
// keeps to plain lines then, so the log stays readable.
#ifndef YARVO_SIM_TOOL_OUTPUT_RELAY_H
#define YARVO_SIM_TOOL_OUTPUT_RELAY_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace yarvo::simtool {

// Set to "1" in the host's environment while its output goes through the
// relay to the log.
constexpr char kViewEnvironment[] = "YARVO_SIM_VIEW";

class OutputRelay {
public:
    OutputRelay() = default;
    ~OutputRelay();
    OutputRelay(const OutputRelay&) = delete;
    OutputRelay& operator=(const OutputRelay&) = delete;

    // Opens the pseudo-terminal (no output processing, so lines end in "\n"
    // alone; sized as the terminal on `sizeFrom` when that is one) and starts
    // copying to `logFd`.  Opened before the sandbox hides the machine's
    // /dev.  False with a message.
    bool start(int logFd, int sizeFrom, std::string* error);
    // The terminal side, for the host's standard output and error.
    int hostSide() const { return host_; }
    // Once the host has started: yarvo-sim keeps no copy of the terminal
    // side, so the copying ends when the host's last process closes it.
    void closeHostSide();
    // Waits, at most `grace`, until everything the host's processes wrote
    // has reached the log, and ends the copying.
    void finish(std::chrono::milliseconds grace);

private:
    int master_ = -1;
    int host_ = -1;
    int logFd_ = -1;
    std::thread thread_;
    std::atomic<bool> done_{false};
    void run();
};

}  // namespace yarvo::simtool

#endif
