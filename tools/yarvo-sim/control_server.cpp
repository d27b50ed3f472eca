// The control channel's UNIX-socket server and client.
#include "control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>

namespace yarvo::simtool {

namespace {

constexpr int kBacklog = 16;
constexpr auto kDirectoryWait = std::chrono::seconds(2);
constexpr int kPauseMillis = 200;          // listener rest when no descriptor is left at all
constexpr int kClientTimeoutSeconds = 10;  // yarvo-sim ctl waits this long for a reply

bool fillAddress(const std::string& path, sockaddr_un* address, std::string* error) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) {
        *error = "control socket path \"" + path + "\" is empty or longer than " +
                 std::to_string(sizeof address->sun_path - 1) + " characters";
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size());
    return true;
}

int closeKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

// Whether anybody listens at `address`, asked without waiting: a full
// backlog (EAGAIN) or a socket we may not connect to count as somebody.
bool answers(const sockaddr_un& address, std::string* why) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = std::strerror(errno);
        return true;
    }
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int err = errno;
    ::close(fd);
    if (result == 0) {
        *why = "another simulator answers on it";
        return true;
    }
    if (err == ECONNREFUSED) {
        return false;
    }
    *why = std::strerror(err);
    return true;
}

// Starting daemons take turns on the socket's directory, so that the check
// for a stale socket and its replacement are one step for each.
class DirectoryTurn {
public:
    explicit DirectoryTurn(const std::string& path) {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            return;   // an unreadable directory: no turns to take
        }
        const auto end = std::chrono::steady_clock::now() + kDirectoryWait;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() > end) {
                ::close(fd_);
                fd_ = -1;
                busy_ = true;
                return;
            }
            ::usleep(10000);
        }
    }
    ~DirectoryTurn() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool busy() const { return busy_; }

private:
    int fd_ = -1;
    bool busy_ = false;
};

// One non-blocking attempt, for the last words to a client being turned away.
void sendNow(int fd, const std::string& line) {
    (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool allowedPeer(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return false;
    }
    return cred.uid == ::geteuid() || cred.uid == 0;
}

struct Client {
    int fd;
    std::string in, out;
    bool inputClosed = false;
    sim::ControlSession session;
};

// Answers the complete lines waiting in c.in while the replies fit.
void answerLines(Client& c) {
    size_t newline;
    while (c.out.size() < ControlServer::kOutputLimit && (newline = c.in.find('\n')) != std::string::npos) {
        const std::string reply = c.session.handle(c.in.substr(0, newline));
        c.in.erase(0, newline + 1);
        if (!reply.empty()) {
            c.out += reply + "\n";
        }
    }
    if (c.in.size() > ControlServer::kMaxLine && c.in.find('\n') == std::string::npos) {
        c.out += "error: line too long\n";
        c.in.clear();
        c.inputClosed = true;
    }
}

// Reads what a client sent; false when the connection is over.
bool readFrom(Client& c) {
    char buffer[4096];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (n == 0) {
        c.inputClosed = true;   // the replies still go out
    } else {
        c.in.append(buffer, static_cast<size_t>(n));
    }
    answerLines(c);
    return true;
}

bool writeTo(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
    answerLines(c);   // lines held back while the replies were over the limit
    return true;
}

}  // namespace

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(const std::string& path, sim::VirtualDriver& driver, std::vector<unsigned> instances,
                          sim::SymbolNamer namer, std::string* error) {
    sockaddr_un address;
    if (!fillAddress(path, &address, error)) {
        return false;
    }
    DirectoryTurn turn(path);
    if (turn.busy()) {
        *error = "control socket " + path + ": another simulator is starting on it";
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        std::string why;
        if (answers(address, &why)) {
            *error = path + " is in use (" + why + ")";
            return false;
        }
        // Nobody answers: left over from an earlier run.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = "cannot replace the stale socket " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // The socket file is made private from the start: the umask is narrowed
    // for the bind alone (at worst a file another thread creates in that
    // instant is more private than it would be).
    const mode_t mask = ::umask(0177);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::umask(mask);
    if (!bound || ::lstat(path.c_str(), &st) != 0 || ::listen(fd, kBacklog) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        *error = "control socket " + path + ": " + std::strerror(errno);
        if (bound) {
            ::unlink(path.c_str());
        }
        if (fd >= 0) {
            closeKeepingErrno(fd);
        }
        return false;
    }
    listenFd_ = fd;
    path_ = path;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    thread_ = std::thread(&ControlServer::serve, this, &driver, std::move(instances), std::move(namer));
    return true;
}

void ControlServer::stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!::write(wakeFds_[1], &byte, 1);
        thread_.join();
    }
    // Removed while still listening, so that nobody can have taken the path
    // over as stale in between; and only while the path is still ours.
    struct stat st;
    if (!path_.empty() && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
    path_.clear();
    for (int* fd : {&listenFd_, &wakeFds_[0], &wakeFds_[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void ControlServer::serve(sim::VirtualDriver* driver, std::vector<unsigned> instances, sim::SymbolNamer namer) {
    std::list<Client> clients;
    // A descriptor kept in reserve: with none left, it makes room to accept
    // one connection and say "busy", so that the listener does not stay
    // readable and spin the loop.
    int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto pausedUntil = std::chrono::steady_clock::time_point();
    for (;;) {
        const bool listening = std::chrono::steady_clock::now() >= pausedUntil;
        std::vector<pollfd> fds;
        fds.push_back({wakeFds_[0], POLLIN, 0});
        fds.push_back({listening ? listenFd_ : -1, POLLIN, 0});
        for (const Client& c : clients) {
            short events = c.out.empty() ? 0 : POLLOUT;
            if (!c.inputClosed && c.out.size() < kOutputLimit) {
                events |= POLLIN;
            }
            fds.push_back({c.fd, events, 0});
        }
        if (::poll(fds.data(), fds.size(), listening ? -1 : kPauseMillis) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        size_t i = 2;
        for (auto it = clients.begin(); it != clients.end(); ++i) {
            Client& c = *it;
            const short revents = fds[i].revents;
            bool open = true;
            if (revents & (POLLERR | POLLNVAL)) {
                open = false;
            }
            if (open && (revents & (POLLIN | POLLHUP))) {
                open = readFrom(c);
            }
            if (open && !c.out.empty()) {
                open = writeTo(c);
            }
            if (open && c.inputClosed && c.out.empty()) {
                open = false;
            }
            if (!open) {
                ::close(c.fd);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
            if (spare >= 0) {
                ::close(spare);
                fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) {
                    sendNow(fd, "error: busy: the simulator has no file descriptor left\n");
                    ::close(fd);
                }
                spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
            if (spare < 0) {
                pausedUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPauseMillis);
            }
            continue;
        }
        if (fd < 0) {
            continue;
        }
        if (!allowedPeer(fd)) {
            sendNow(fd, "error: permission denied: only the simulator's own user and root may control it\n");
            ::close(fd);
        } else if (clients.size() >= kMaxClients) {
            sendNow(fd, "error: busy: " + std::to_string(kMaxClients) + " control connections are open\n");
            ::close(fd);
        } else {
            clients.push_back(Client{fd, std::string(), std::string(), false, sim::ControlSession(*driver, instances, namer)});
        }
    }
    for (const Client& c : clients) {
        ::close(c.fd);
    }
    if (spare >= 0) {
        ::close(spare);
    }
}

// ---------------------------------------------------------------- client

namespace {

// One reply line from the simulator; false when none comes.
bool readLine(int fd, std::string* pending, std::string* line) {
    size_t newline;
    while ((newline = pending->find('\n')) == std::string::npos) {
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        pending->append(buffer, static_cast<size_t>(n));
    }
    *line = pending->substr(0, newline);
    pending->erase(0, newline + 1);
    return true;
}

bool sendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int sendControlCommands(const std::string& path, const std::vector<std::string>& commands,
                        std::vector<std::string>* replies, std::string* error) {
    sockaddr_un address;
    if (!fillAddress(path, &address, error)) {
        return 2;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = "cannot reach the simulator at " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return 2;
    }
    const timeval timeout{kClientTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    int status = 0;
    std::string pending;
    for (const std::string& command : commands) {
        sim::ControlCommand parsed;
        std::string parseError;
        bool blank = false;
        if (!sim::parseControlLine(command, &parsed, &parseError, &blank) && blank) {
            continue;   // the server would not answer it
        }
        // A server that turns the connection away has said why already.
        const bool sent = sendAll(fd, command + "\n");
        std::string reply;
        if (!readLine(fd, &pending, &reply)) {
            *error = sent ? "the simulator closed the control connection or did not answer"
                          : "the simulator closed the control connection";
            ::close(fd);
            return 2;
        }
        if (reply.compare(0, 2, "ok") != 0) {
            status = 1;
        }
        replies->push_back(reply);
        if (!sent) {
            break;
        }
    }
    ::close(fd);
    return status;
}

}  // namespace yarvo::simtool
