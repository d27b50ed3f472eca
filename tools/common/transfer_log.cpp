#include "transfer_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace yarvo::decode {

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

std::string logLine(const sim::TransferRecord& record) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "[%5llu.%06llu] ",
                  static_cast<unsigned long long>(record.timeMicros / 1000000),
                  static_cast<unsigned long long>(record.timeMicros % 1000000));
    return stamp + describeRecord(record) + "\n";
}

bool streamTransferLog(sim::VirtualDriver& driver, const std::string& path, bool truncate,
                       std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0),
                          0644);
    if (fd < 0) {
        if (error != nullptr) {
            *error = "cannot open the transfer log " + path + ": " + std::strerror(errno);
        }
        return false;
    }
    driver.setTransferObserver([fd](const sim::TransferRecord& record) {
        // Called with errno belonging to the host's call in progress: keep it.
        const int saved = errno;
        const std::string line = logLine(record);
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;   // a full disk loses log lines, never the transfer
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        errno = saved;
    });
    return true;
}

}  // namespace yarvo::decode
