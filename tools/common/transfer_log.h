// The virtual board's transfer log as text: each transfer the virtual driver
// served, one line, decoded by the same decoder as the transfer tracer
// (`yarvoctl trace`), so that the two print a transfer alike:
//
//   [    0.019157] Kmora_0 CONFIGURE-REELS count=3 param16=96 ... -> ok
//
// The time stamp is the boards' clock in seconds; when the clock follows the
// wall clock (yarvo-sim, the preload transport) that is the time since the
// boards came up.
//
// Writing the log never slows a board or its host: a reader that stalls
// (a FIFO nobody empties, a terminal on hold) loses lines instead.  The
// loss is counted, reported when the log ends, and marked in the log where
// it happened by one line:
//
//   [    3.104220] -- 1104 transfers not logged: the log's reader fell behind --
#ifndef YARVO_TOOLS_TRANSFER_LOG_H
#define YARVO_TOOLS_TRANSFER_LOG_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "decode.h"
#include "virtual_driver.h"

namespace yarvo::decode {

// The exchange of a logged transfer.  `response` receives the response as
// the host saw it (echo, status, payload, zero-filled to the buffer size);
// the result points into the record and into `response`.
Exchange fromRecord(const sim::TransferRecord& record, uint8_t (&response)[wire::kBufferSize]);

// "Kmora_0 SPIN reel=2 mode=-2 steps=118 -> ok": board and decoded transfer.
std::string describeRecord(const sim::TransferRecord& record);

// The whole log line: time stamp, describeRecord, line end.
std::string logLine(const sim::TransferRecord& record);
// The same with what `notes` learnt of the board so far (the status fields
// of a board that said it is the virtual one by their names), as the
// tracer prints them; the record is noted first.
std::string logLine(const sim::TransferRecord& record, FirmwareNotes& notes);

// The line that marks `count` transfers lost at `timeMicros`.
std::string lossLine(uint64_t count, uint64_t timeMicros);

// The daemon's log: records go into a bounded queue, and a thread of its own
// writes them.  A full queue drops records (counted).
class TransferLogWriter {
public:
    static constexpr size_t kQueueLimit = 4096;

    TransferLogWriter() = default;
    ~TransferLogWriter();
    TransferLogWriter(const TransferLogWriter&) = delete;
    TransferLogWriter& operator=(const TransferLogWriter&) = delete;

    // Opens `path` (tools/common/output_file.h; emptied), starts the thread
    // and becomes `driver`'s transfer observer.  False with a message.
    bool start(sim::VirtualDriver& driver, const std::string& path, std::string* error);
    // Stops observing, lets the thread write what is queued for at most
    // `grace`, and ends it.  What was not written by then counts as lost.
    void stop(std::chrono::milliseconds grace);
    uint64_t written() const { return written_.load(); }
    uint64_t lost() const { return lost_.load(); }

private:
    sim::VirtualDriver* driver_ = nullptr;
    int fd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_;
    struct Entry {
        sim::TransferRecord record;
        uint64_t lostAfter = 0;   // records dropped right after this one
    };
    std::deque<Entry> queue_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point deadline_;
    std::atomic<uint64_t> written_{0}, lost_{0};
    FirmwareNotes notes_;
    void push(const sim::TransferRecord& record);
    void run();
    bool writeOut(const std::string& text);
};

// The preload's log, inside the host: each line is written at once with one
// non-blocking write, on the host's thread but outside the board's lock; a
// write that would block drops the line (counted).  The file is appended to
// (several processes may share it).  One per process; lost() is what its
// reader missed.
class DirectTransferLog {
public:
    bool start(sim::VirtualDriver& driver, const std::string& path, std::string* error);
    uint64_t lost() const { return lost_.load(); }

private:
    int fd_ = -1;
    std::atomic<uint64_t> lost_{0}, unmarked_{0};
    FirmwareNotes notes_;
    void write(const sim::TransferRecord& record);
};

}  // namespace yarvo::decode

#endif
