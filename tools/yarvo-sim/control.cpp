// The simulator's control channel: command parsing, execution against the
// virtual driver, and the UNIX-socket server and client.
#include "control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "view_model.h"

namespace yarvo::simtool {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr unsigned kMaxFailCount = 1000000;
constexpr int32_t kMaxHalfSteps = 65535;
constexpr unsigned kAddressInput = 16;   // inputs 16-18 carry the board address

const char kHelp[] =
    "ok commands: status [B] | boards | board B | input N on|off|toggle | inputs HEX | address A"
    " | unplug B | replug B | fail B N [ERRNO] | tamper B REEL HALFSTEPS";

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) {
        out.push_back(w);
    }
    return out;
}

bool parseDecimal(const std::string& text, unsigned long limit, unsigned long* value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > limit) {
        return false;
    }
    *value = v;
    return true;
}

bool parseUnsigned(const std::string& text, unsigned limit, unsigned* value) {
    unsigned long v = 0;
    if (!parseDecimal(text, limit, &v)) {
        return false;
    }
    *value = static_cast<unsigned>(v);
    return true;
}

bool parseSigned(const std::string& text, int32_t limit, int32_t* value) {
    const bool negative = !text.empty() && text[0] == '-';
    const bool sign = !text.empty() && (text[0] == '-' || text[0] == '+');
    unsigned long v = 0;
    if (!parseDecimal(sign ? text.substr(1) : text, static_cast<unsigned long>(limit), &v)) {
        return false;
    }
    *value = negative ? -static_cast<int32_t>(v) : static_cast<int32_t>(v);
    return true;
}

bool parseHex(const std::string& text, uint32_t limit, uint32_t* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 8) {
        return false;
    }
    uint32_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    if (v > limit) {
        return false;
    }
    *value = v;
    return true;
}

struct Syntax {
    ControlCommand::Op op;
    size_t minArgs, maxArgs;
    const char* usage;
};

const std::map<std::string, Syntax>& syntaxTable() {
    static const std::map<std::string, Syntax> table = {
        {"help", {ControlCommand::Help, 0, 0, "help"}},
        {"status", {ControlCommand::Status, 0, 1, "status [B]"}},
        {"boards", {ControlCommand::Boards, 0, 0, "boards"}},
        {"board", {ControlCommand::Board, 1, 1, "board B"}},
        {"input", {ControlCommand::Input, 2, 2, "input N on|off|toggle"}},
        {"inputs", {ControlCommand::Inputs, 1, 1, "inputs HEX"}},
        {"address", {ControlCommand::Address, 1, 1, "address A"}},
        {"unplug", {ControlCommand::Unplug, 1, 1, "unplug B"}},
        {"replug", {ControlCommand::Replug, 1, 1, "replug B"}},
        {"fail", {ControlCommand::Fail, 2, 3, "fail B N [ERRNO]"}},
        {"tamper", {ControlCommand::Tamper, 3, 3, "tamper B REEL HALFSTEPS"}},
    };
    return table;
}

}  // namespace

int errnoFromText(const std::string& text) {
    static const std::map<std::string, int> names = {
        {"EIO", EIO},           {"ENODEV", ENODEV},   {"ENXIO", ENXIO},         {"ETIMEDOUT", ETIMEDOUT},
        {"EPIPE", EPIPE},       {"EPROTO", EPROTO},   {"EBUSY", EBUSY},         {"EINTR", EINTR},
        {"EAGAIN", EAGAIN},     {"ENOMEM", ENOMEM},   {"EINVAL", EINVAL},       {"EFAULT", EFAULT},
        {"ESHUTDOWN", ESHUTDOWN}, {"ENOTCONN", ENOTCONN}, {"EOVERFLOW", EOVERFLOW}, {"EPERM", EPERM},
        {"EACCES", EACCES},     {"ENOENT", ENOENT},
    };
    const auto it = names.find(text);
    if (it != names.end()) {
        return it->second;
    }
    unsigned value = 0;
    if (parseUnsigned(text, 4095, &value) && value != 0) {
        return static_cast<int>(value);
    }
    return -1;
}

bool parseControlLine(const std::string& line, ControlCommand* command, std::string* error, bool* blank) {
    const std::vector<std::string> w = words(line);
    const bool nothing = w.empty() || w[0][0] == '#';
    if (blank != nullptr) {
        *blank = nothing;
    }
    if (nothing) {
        *error = "empty line";
        return false;
    }
    const auto entry = syntaxTable().find(w[0]);
    if (entry == syntaxTable().end()) {
        *error = "unknown command \"" + w[0] + "\" (try help)";
        return false;
    }
    const Syntax& syntax = entry->second;
    const size_t args = w.size() - 1;
    if (args < syntax.minArgs || args > syntax.maxArgs) {
        *error = std::string("usage: ") + syntax.usage;
        return false;
    }
    ControlCommand c;
    c.op = syntax.op;
    auto board = [&](const std::string& text) {
        unsigned b = 0;
        if (!parseUnsigned(text, sim::kInstances - 1, &b)) {
            *error = "board \"" + text + "\" is not an instance 0 to 15";
            return false;
        }
        c.board = static_cast<int>(b);
        return true;
    };
    switch (c.op) {
    case ControlCommand::Help:
    case ControlCommand::Boards:
        break;
    case ControlCommand::Status:
        if (args == 1 && !board(w[1])) {
            return false;
        }
        break;
    case ControlCommand::Board:
    case ControlCommand::Unplug:
    case ControlCommand::Replug:
        if (!board(w[1])) {
            return false;
        }
        break;
    case ControlCommand::Input:
        if (!parseUnsigned(w[1], 23, &c.number)) {
            *error = "input \"" + w[1] + "\" is not 0 to 23";
            return false;
        }
        if (w[2] == "on" || w[2] == "1") {
            c.state = ControlCommand::On;
        } else if (w[2] == "off" || w[2] == "0") {
            c.state = ControlCommand::Off;
        } else if (w[2] == "toggle") {
            c.state = ControlCommand::Toggle;
        } else {
            *error = "input state \"" + w[2] + "\" is not on, off or toggle";
            return false;
        }
        break;
    case ControlCommand::Inputs:
        if (!parseHex(w[1], 0xFFFFFF, &c.bits)) {
            *error = "inputs \"" + w[1] + "\" is not a hexadecimal number up to FFFFFF";
            return false;
        }
        break;
    case ControlCommand::Address:
        if (!parseUnsigned(w[1], 7, &c.number)) {
            *error = "address \"" + w[1] + "\" is not 0 to 7";
            return false;
        }
        break;
    case ControlCommand::Fail:
        if (!board(w[1])) {
            return false;
        }
        if (!parseUnsigned(w[2], kMaxFailCount, &c.number) || c.number == 0) {
            *error = "count \"" + w[2] + "\" is not 1 to 1000000";
            return false;
        }
        c.err = EIO;
        if (args == 3 && (c.err = errnoFromText(w[3])) < 0) {
            *error = "\"" + w[3] + "\" is not an errno name or number";
            return false;
        }
        break;
    case ControlCommand::Tamper:
        if (!board(w[1])) {
            return false;
        }
        if (!parseUnsigned(w[2], 7, &c.number)) {
            *error = "reel \"" + w[2] + "\" is not 0 to 7";
            return false;
        }
        if (!parseSigned(w[3], kMaxHalfSteps, &c.halfSteps) || c.halfSteps == 0) {
            *error = "half steps \"" + w[3] + "\" is not a non-zero number of half steps";
            return false;
        }
        break;
    }
    *command = c;
    return true;
}

ControlSession::ControlSession(sim::VirtualDriver& driver, std::vector<unsigned> instances,
                               const ReelLabels* labels)
    : driver_(&driver), instances_(std::move(instances)), labels_(labels),
      selected_(instances_.empty() ? 0 : instances_.front()) {}

bool ControlSession::serves(unsigned instance) const {
    return std::find(instances_.begin(), instances_.end(), instance) != instances_.end();
}

std::string ControlSession::handle(const std::string& line) {
    ControlCommand command;
    std::string error;
    bool blank = false;
    if (!parseControlLine(line, &command, &error, &blank)) {
        return blank ? std::string() : "error: " + error;
    }
    return execute(command);
}

std::string ControlSession::execute(const ControlCommand& c) {
    const unsigned board = c.board >= 0 ? static_cast<unsigned>(c.board) : selected_;
    if (c.op != ControlCommand::Help && c.op != ControlCommand::Boards && !serves(board)) {
        return "error: no board at instance " + std::to_string(board);
    }
    switch (c.op) {
    case ControlCommand::Help:
        return kHelp;
    case ControlCommand::Boards: {
        std::string text = "ok selected=" + std::to_string(selected_) + " boards=";
        for (size_t i = 0; i < instances_.size(); ++i) {
            text += (i ? "," : "") + std::to_string(instances_[i]);
        }
        return text;
    }
    case ControlCommand::Status: {
        static const SymbolStrips noStrips;
        static const ReelAssignment noTypes;
        driver_->syncToWallClock();
        const BoardFrame frame = captureBoard(*driver_, board, labels_ ? labels_->strips : noStrips,
                                              labels_ ? labels_->assignment : noTypes);
        return "ok " + frameSummary(frame);
    }
    case ControlCommand::Board:
        selected_ = board;
        return "ok selected=" + std::to_string(board);
    case ControlCommand::Input: {
        // Inputs 16-18 read the board's address, so they are set through it.
        bool now = false;
        driver_->withBoard(board, [&](sim::Firmware& fw) {
            const uint32_t current = fw.inputs();
            const bool was = ((current >> c.number) & 1u) != 0;
            now = c.state == ControlCommand::Toggle ? !was : c.state == ControlCommand::On;
            if (c.number >= kAddressInput && c.number < kAddressInput + 3) {
                const uint32_t bit = 1u << (c.number - kAddressInput);
                const uint32_t address = (current >> kAddressInput) & 7u;
                fw.setInput(c.number, false);
                fw.setAddress(static_cast<uint8_t>(now ? (address | bit) : (address & ~bit)));
            } else {
                fw.setInput(c.number, now);
            }
        });
        return "ok board=" + std::to_string(board) + " input" + std::to_string(c.number) + "=" + (now ? "on" : "off");
    }
    case ControlCommand::Inputs:
        driver_->withBoard(board, [&](sim::Firmware& fw) {
            fw.setInputs(c.bits & ~(7u << kAddressInput));
            fw.setAddress(static_cast<uint8_t>((c.bits >> kAddressInput) & 7u));
        });
        return "ok board=" + std::to_string(board);
    case ControlCommand::Address:
        driver_->withBoard(board, [&](sim::Firmware& fw) { fw.setAddress(static_cast<uint8_t>(c.number)); });
        return "ok board=" + std::to_string(board) + " address=" + std::to_string(c.number);
    case ControlCommand::Unplug:
        driver_->unplug(board);
        return "ok board=" + std::to_string(board) + " unplugged";
    case ControlCommand::Replug:
        driver_->replug(board);
        return "ok board=" + std::to_string(board) + " plugged";
    case ControlCommand::Fail:
        driver_->failNext(board, c.err, c.number);
        return "ok board=" + std::to_string(board) + " failing next " + std::to_string(c.number);
    case ControlCommand::Tamper:
        driver_->syncToWallClock();
        driver_->withBoard(board, [&](sim::Firmware& fw) { fw.reel(c.number).nudge(c.halfSteps); });
        return "ok board=" + std::to_string(board) + " reel" + std::to_string(c.number) + " tampered";
    }
    return "error: unhandled command";
}

// ---------------------------------------------------------------- server

namespace {

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

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(const std::string& path, sim::VirtualDriver& driver, std::vector<unsigned> instances,
                          const ReelLabels* labels, std::string* error) {
    sockaddr_un address;
    if (!fillAddress(path, &address, error)) {
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        // A socket nobody answers on is left over from an earlier run.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 &&
                          ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) {
            ::close(probe);
        }
        if (live) {
            *error = path + " is in use by another simulator";
            return false;
        }
        ::unlink(path.c_str());
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        *error = "control socket " + path + ": " + std::strerror(errno);
        if (listenFd_ >= 0) {
            ::close(listenFd_);
            listenFd_ = -1;
        }
        return false;
    }
    if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path.c_str());
        return false;
    }
    path_ = path;
    thread_ = std::thread(&ControlServer::serve, this, &driver, std::move(instances), labels);
    return true;
}

void ControlServer::stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!::write(wakeFds_[1], &byte, 1);
        thread_.join();
    }
    for (int* fd : {&listenFd_, &wakeFds_[0], &wakeFds_[1]}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
    }
}

void ControlServer::serve(sim::VirtualDriver* driver, std::vector<unsigned> instances, const ReelLabels* labels) {
    struct Client {
        int fd;
        std::string pending;
        ControlSession session;
    };
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wakeFds_[0], POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Client& c : clients) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        std::vector<size_t> closed;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (fds[i + 2].revents == 0) {
                continue;
            }
            Client& c = clients[i];
            char buffer[512];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed.push_back(i);
                continue;
            }
            c.pending.append(buffer, static_cast<size_t>(n));
            size_t newline;
            bool ok = true;
            while (ok && (newline = c.pending.find('\n')) != std::string::npos) {
                const std::string reply = c.session.handle(c.pending.substr(0, newline));
                c.pending.erase(0, newline + 1);
                if (!reply.empty()) {
                    ok = sendAll(c.fd, reply + "\n");
                }
            }
            if (ok && c.pending.size() > kMaxLine) {
                sendAll(c.fd, "error: line too long\n");
                ok = false;
            }
            if (!ok) {
                closed.push_back(i);
            }
        }
        for (auto it = closed.rbegin(); it != closed.rend(); ++it) {
            ::close(clients[*it].fd);
            clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(*it));
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                clients.push_back(Client{fd, std::string(), ControlSession(*driver, instances, labels)});
            }
        }
    }
    for (const Client& c : clients) {
        ::close(c.fd);
    }
}

// ---------------------------------------------------------------- client

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
    int status = 0;
    std::string pending;
    for (const std::string& command : commands) {
        ControlCommand parsed;
        std::string parseError;
        bool blank = false;
        if (!parseControlLine(command, &parsed, &parseError, &blank) && blank) {
            continue;   // the server would not answer it
        }
        if (!sendAll(fd, command + "\n")) {
            *error = "the simulator closed the control connection";
            ::close(fd);
            return 2;
        }
        size_t newline;
        while ((newline = pending.find('\n')) == std::string::npos) {
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                *error = "the simulator closed the control connection";
                ::close(fd);
                return 2;
            }
            pending.append(buffer, static_cast<size_t>(n));
        }
        const std::string reply = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (reply.compare(0, 2, "ok") != 0) {
            status = 1;
        }
        replies->push_back(reply);
    }
    ::close(fd);
    return status;
}

}  // namespace yarvo::simtool
