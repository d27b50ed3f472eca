#include "transfer_log.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output_file.h"

namespace yarvo::decode {

namespace {

std::string stamp(uint64_t micros) {
    char text[48];
    std::snprintf(text, sizeof text, "[%5llu.%06llu] ", static_cast<unsigned long long>(micros / 1000000),
                  static_cast<unsigned long long>(micros % 1000000));
    return text;
}

}  // namespace

Exchange fromRecord(const sim::TransferRecord& record, uint8_t (&response)[wire::kBufferSize]) {
    Exchange e;
    e.command = record.command;
    e.request = record.payload.data();
    e.requestLength = record.payload.size();
    e.word0 = record.word0;
    e.word1 = record.word1;
    e.responseOffered = record.responseOffered;
    e.error = record.error;
    e.responseLength = record.responseLength;
    std::memset(response, 0, sizeof response);
    response[0] = record.echo;
    response[1] = record.status;
    const size_t n = record.response.size() <= wire::kBufferSize - 2 ? record.response.size()
                                                                     : wire::kBufferSize - 2;
    if (n > 0) {
        std::memcpy(response + 2, record.response.data(), n);
    }
    e.response = response;
    return e;
}

std::string describeRecord(const sim::TransferRecord& record) {
    uint8_t response[wire::kBufferSize];
    return "Kmora_" + std::to_string(record.instance) + " " + describe(fromRecord(record, response));
}

std::string logLine(const sim::TransferRecord& record) { return stamp(record.timeMicros) + describeRecord(record) + "\n"; }

std::string logLine(const sim::TransferRecord& record, FirmwareNotes& notes) {
    uint8_t response[wire::kBufferSize];
    return stamp(record.timeMicros) + "Kmora_" + std::to_string(record.instance) + " " +
           notes.describe(static_cast<int>(record.instance), fromRecord(record, response)) + "\n";
}

std::string lossLine(uint64_t count, uint64_t timeMicros) {
    return stamp(timeMicros) + "-- " + std::to_string(count) + " transfer" + (count == 1 ? "" : "s") +
           " not logged: the log's reader fell behind --\n";
}

// ---------------------------------------------------------------- writer thread

TransferLogWriter::~TransferLogWriter() { stop(std::chrono::milliseconds(0)); }

bool TransferLogWriter::start(sim::VirtualDriver& driver, const std::string& path, std::string* error) {
    tools::OutputFileOptions options;
    options.truncate = true;
    options.nonBlocking = true;   // the thread waits in poll(), where stop() can reach it
    fd_ = tools::openOutputFile(path, options, error);
    if (fd_ < 0) {
        return false;
    }
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    // Every signal stays with the program's other threads; a reader that goes
    // away then gives this thread EPIPE, never SIGPIPE.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    thread_ = std::thread(&TransferLogWriter::run, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    driver_ = &driver;
    driver.setTransferObserver([this](const sim::TransferRecord& record) { push(record); });
    return true;
}

void TransferLogWriter::push(const sim::TransferRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || queue_.size() >= kQueueLimit) {
        ++lost_;
        if (!queue_.empty()) {
            ++queue_.back().lostAfter;   // the gap is marked where it is
        }
        return;
    }
    queue_.push_back(Entry{record, 0});
    ready_.notify_one();
}

// Writes all of `text` while the deadline (once stopping) allows; false when
// the reader is gone for good or time is up.
bool TransferLogWriter::writeOut(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;   // a full disk, a reader gone for good
        }
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline_ - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    return false;
                }
                timeout = static_cast<int>(left.count());
            }
        }
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, timeout) > 0 && (fds[1].revents & POLLIN) != 0) {
            char drain[16];
            while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
            }
        }
    }
    return true;
}

void TransferLogWriter::run() {
    for (;;) {
        Entry entry;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty() || (stopping_ && std::chrono::steady_clock::now() > deadline_)) {
                return;
            }
            entry = std::move(queue_.front());
            queue_.pop_front();
        }
        std::string text = logLine(entry.record, notes_);
        if (entry.lostAfter > 0) {
            text += lossLine(entry.lostAfter, entry.record.timeMicros);
        }
        if (writeOut(text)) {
            ++written_;
            continue;
        }
        // The rest cannot be written: everything still queued is lost.
        std::lock_guard<std::mutex> lock(mutex_);
        lost_ += 1 + queue_.size();
        queue_.clear();
        if (stopping_) {
            return;
        }
    }
}

void TransferLogWriter::stop(std::chrono::milliseconds grace) {
    if (driver_ != nullptr) {
        driver_->setTransferObserver(nullptr);
        driver_ = nullptr;
    }
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            deadline_ = std::chrono::steady_clock::now() + grace;
            ready_.notify_one();
        }
        const char byte = 0;
        (void)!::write(wakeFds_[1], &byte, 1);
        thread_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        lost_ += queue_.size();
        queue_.clear();
    }
    for (int* fd : {&fd_, &wakeFds_[0], &wakeFds_[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

// ---------------------------------------------------------------- direct

bool DirectTransferLog::start(sim::VirtualDriver& driver, const std::string& path, std::string* error) {
    tools::OutputFileOptions options;
    options.nonBlocking = true;
    fd_ = tools::openOutputFile(path, options, error);
    if (fd_ < 0) {
        return false;
    }
    driver.setTransferObserver([this](const sim::TransferRecord& record) { write(record); });
    return true;
}

void DirectTransferLog::write(const sim::TransferRecord& record) {
    // Called with errno belonging to the host's call in progress: keep it.
    const int saved = errno;
    std::string text = logLine(record, notes_);
    const uint64_t missed = unmarked_.exchange(0);
    if (missed > 0) {
        text = lossLine(missed, record.timeMicros) + text;
    }
    // One write, so that lines of several processes sharing the file do not
    // mix; a line that does not fit whole is lost.
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) {
        lost_ += 1;
        unmarked_ += missed + 1;
    }
    errno = saved;
}

}  // namespace yarvo::decode
