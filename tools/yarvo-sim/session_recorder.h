// yarvo-sim run --record: the session of the program run against the
// virtual boards, written as tools/common/session.h describes (the same
// file `yarvoctl record` writes through the tracer).  Each sysfs read, node
// opening and transfer is one line, written at once on the thread that
// served it, so that a crash keeps everything before it; a session loses
// nothing, so a writer that stalls holds the program up.
#ifndef YARVO_SIM_TOOL_SESSION_RECORDER_H
#define YARVO_SIM_TOOL_SESSION_RECORDER_H

#include <atomic>
#include <string>
#include <vector>

#include "virtual_driver.h"

namespace yarvo::simtool {

class SessionRecorder : public sim::Interceptor {
public:
    SessionRecorder() = default;
    ~SessionRecorder() override;
    SessionRecorder(const SessionRecorder&) = delete;
    SessionRecorder& operator=(const SessionRecorder&) = delete;

    // Opens `path` (tools/common/output_file.h; emptied) and writes the
    // header: the boards `instances` of `driver` as they are now.  Set the
    // recorder as the driver's interceptor after this.  False with a message.
    bool start(sim::VirtualDriver& driver, const std::vector<unsigned>& instances, const std::string& path,
               std::string* error);
    // The end line with the program's exit status; closes the file.  The
    // first write error, if any, is in *error (false).
    bool finish(int status, std::string* error);

    bool attribute(unsigned instance, bool product, bool found, std::string* text) override;
    int open(unsigned instance, int error) override;
    int transfer(unsigned instance, const wire::TransferBlock& request, wire::TransferBlock* block,
                 int error) override;

private:
    sim::VirtualDriver* driver_ = nullptr;
    int fd_ = -1;
    std::atomic<int> writeError_{0};
    std::string path_;
    void write(const std::string& line);
    uint64_t now();
};

// The library's version text ("14"), for session headers.
std::string libraryVersionText();

}  // namespace yarvo::simtool

#endif
