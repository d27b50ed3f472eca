// Copying the host's pseudo-terminal to the log.
#include "output_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace yarvo::simtool {

namespace {

constexpr int kPollMillis = 50;   // how often a waiting finish() is looked at

bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

OutputRelay::~OutputRelay() {
    if (thread_.joinable()) {
        thread_.detach();   // only at _exit-time teardown; finish() joins
    }
}

bool OutputRelay::start(int logFd, int sizeFrom, std::string* error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        *error = std::string("cannot open a pseudo-terminal for the program's output: ") + std::strerror(errno);
        return false;
    }
    char name[64];
    if (::ptsname_r(master_, name, sizeof name) != 0 ||
        (host_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        *error = std::string("cannot open the program's pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    termios modes;
    if (::tcgetattr(host_, &modes) == 0) {
        modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);   // "\n" stays "\n" in the log
        modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
        ::tcsetattr(host_, TCSANOW, &modes);
    }
    winsize size;
    if (::ioctl(sizeFrom, TIOCGWINSZ, &size) == 0) {
        ::ioctl(host_, TIOCSWINSZ, &size);
    }
    logFd_ = logFd;
    // Signals stay with the main thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    thread_ = std::thread(&OutputRelay::run, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void OutputRelay::closeHostSide() {
    if (host_ >= 0) {
        ::close(host_);
        host_ = -1;
    }
}

// Copies until the terminal side is closed by everyone (read gives EIO, or
// 0) or the log cannot take more.
void OutputRelay::run() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !writeAll(logFd_, buffer, static_cast<size_t>(n))) {
            break;
        }
    }
    done_ = true;
}

void OutputRelay::finish(std::chrono::milliseconds grace) {
    closeHostSide();
    if (!thread_.joinable()) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!done_ && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, kPollMillis);
    }
    if (done_) {
        thread_.join();
    } else {
        thread_.detach();   // a process outside the tree holds the terminal, or the log is stuck
    }
}

}  // namespace yarvo::simtool
