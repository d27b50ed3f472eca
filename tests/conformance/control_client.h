// A test host's line to yarvo-sim's control socket: one command, its reply
// line.  Header only, for the test hosts of tests/kernel and
// tests/conformance.
#ifndef YARVO_TESTS_CONTROL_CLIENT_H
#define YARVO_TESTS_CONTROL_CLIENT_H

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace yarvo::testing {

// The reply to `command` (without line end), or "" when the socket does
// not answer.
inline std::string controlReply(const std::string& socketPath, const std::string& command) {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return "";
    }
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = command + "\n";
        if (::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            char c;
            while (::read(fd, &c, 1) == 1 && c != '\n') {
                reply += c;
            }
        }
    }
    ::close(fd);
    return reply;
}

}  // namespace yarvo::testing

#endif
