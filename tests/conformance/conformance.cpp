// The transport contract (sim/transport.h), as a host sees it through plain
// libc calls, checked case by case against whichever transport serves this
// program:
//
//   transport-conformance-in-process             the interposer linked in
//   LD_PRELOAD=libyarvo-sim-preload.so YARVO_SIM_BOARDS=0:0,1:1 transport-conformance
//   yarvo-sim run -b 0:0 -b 1:1 -c SOCK -- transport-conformance --control SOCK
//
// Boards at instances 0 and 1 are expected, nothing at 5.  Faults come
// through the control channel: the socket, or yarvo_sim_control() inside
// the program under the preload, or the control protocol directly
// in-process.  One line per case: "ok NAME", "FAIL NAME: why", or
// "skipped: NAME: reason"; exit 1 when a case failed.
//
//   --machine FILE   the machine probe's answers (32-bit builds skip the
//                    exec case where the kernel cannot start them)
//   --child FD MODE  (used by the exec case) check descriptor FD after exec
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "control_client.h"
#include "wire.h"

#ifdef YARVO_CONFORMANCE_IN_PROCESS
#include "control_protocol.h"
#include "virtual_driver.h"
#endif

namespace {

using yarvo::wire::TransferBlock;
constexpr unsigned long kTransfer = 0xC2108100UL;
constexpr unsigned long kOtherRequest = 0xC2108101UL;   // same size and type, number 1

std::function<std::string(const std::string&)> control;
int failures = 0;

struct Outcome {
    bool ok = true;
    std::string why;
    void expect(bool condition, const std::string& text) {
        if (ok && !condition) {
            ok = false;
            why = text;
        }
    }
};

TransferBlock request(uint8_t command) {
    TransferBlock block{};
    block.word0 = yarvo::wire::kBlockWord0;
    block.word1 = yarvo::wire::kBlockWord1;
    block.requestLength = 1;
    block.responseLength = yarvo::wire::kResponseOffered;
    block.buffer[0] = command;
    return block;
}

// ioctl's result: 0, or the errno it failed with.
int transfer(int fd, void* block) {
    errno = 0;
    return ::ioctl(fd, kTransfer, block) == 0 ? 0 : errno;
}

int inputReport(int fd) {
    TransferBlock block = request(yarvo::wire::kCmdInputReport);
    const int err = transfer(fd, &block);
    if (err == 0 && (block.responseLength != 5 || block.buffer[0] != yarvo::wire::kCmdInputReport)) {
        return -1;
    }
    return err;
}

std::string errnoText(int err) { return err < 0 ? "a wrong answer" : err == 0 ? "success" : std::strerror(err); }

bool readText(const char* path, std::string* text, int* err) {
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        *err = errno;
        return false;
    }
    char buffer[128];
    const size_t n = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    text->assign(buffer, n);
    return true;
}

int openNode(unsigned instance, int flags = 0) {
    return ::open(("/dev/Kmora_" + std::to_string(instance)).c_str(), O_RDWR | flags);
}

bool commandOk(const std::string& command, Outcome& o) {
    const std::string reply = control(command);
    o.expect(reply.compare(0, 2, "ok") == 0, "\"" + command + "\" answered \"" + reply + "\"");
    return o.ok;
}

// --- the cases -------------------------------------------------------------

Outcome texts() {
    Outcome o;
    std::string text;
    int err = 0;
    o.expect(readText("/sys/class/Kmora/Kmora_0/device/product", &text, &err) && text == "K-Mora Yarvo Board\n",
             "product text of board 0: " + text);
    o.expect(readText("/sys/class/Kmora/Kmora_1/device/speed", &text, &err) && text == "12\n",
             "speed text of board 1: " + text);
    o.expect(!readText("/sys/class/Kmora/Kmora_5/device/product", &text, &err) && err == ENOENT,
             "board 5's text: " + errnoText(err));
    const int fd = ::open("/sys/class/Kmora/Kmora_0/device/speed", O_RDONLY);
    char buffer[16] = {};
    o.expect(fd >= 0 && ::read(fd, buffer, sizeof buffer - 1) == 3 && std::string(buffer) == "12\n",
             "the speed text through open and read");
    if (fd >= 0) {
        ::close(fd);
    }
    errno = 0;
    o.expect(openNode(5) < 0 && errno == ENOENT, "opening board 5's node: " + errnoText(errno));
    return o;
}

Outcome transferAndRequests() {
    Outcome o;
    const int fd = openNode(0);
    o.expect(fd >= 0, "cannot open /dev/Kmora_0: " + errnoText(errno));
    if (!o.ok) {
        return o;
    }
    o.expect(inputReport(fd) == 0, "the input report");
    // A block anywhere in the host's memory, not only on its stack.
    auto* heap = new TransferBlock(request(yarvo::wire::kCmdInputReport));
    o.expect(transfer(fd, heap) == 0 && heap->responseLength == 5 && heap->buffer[0] == yarvo::wire::kCmdInputReport,
             "the input report in a block on the heap");
    delete heap;
    TransferBlock bad = request(yarvo::wire::kCmdPowerStatus);
    bad.word0 = 3;
    int err = transfer(fd, &bad);
    o.expect(err == EINVAL, "a block with word 0 = 3: " + errnoText(err));
    bad = request(yarvo::wire::kCmdPowerStatus);
    bad.requestLength = 257;
    err = transfer(fd, &bad);
    o.expect(err == EINVAL, "a request length of 257: " + errnoText(err));
    TransferBlock other = request(yarvo::wire::kCmdPowerStatus);
    errno = 0;
    o.expect(::ioctl(fd, kOtherRequest, &other) == -1 && errno == ENOTTY, "another request: " + errnoText(errno));
    // What the kernel answers for any file, it answers for the node too.
    int pending = -1;
    o.expect(::ioctl(fd, FIONREAD, &pending) == 0 && pending == 0, "FIONREAD: " + errnoText(errno));
    o.expect(::ioctl(fd, FIOCLEX) == 0 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, "FIOCLEX");
    ::close(fd);
    return o;
}

Outcome unplugAndReplug() {
    Outcome o;
    const int fd = openNode(1);
    o.expect(fd >= 0, "cannot open /dev/Kmora_1");
    if (!o.ok || !commandOk("unplug 1", o)) {
        return o;
    }
    int err = inputReport(fd);
    o.expect(err == ENODEV, "a transfer to the unplugged board: " + errnoText(err));
    errno = 0;
    const int again = openNode(1);
    o.expect(again < 0 && errno == ENOENT, "opening the unplugged board: " + errnoText(errno));
    std::string text;
    o.expect(!readText("/sys/class/Kmora/Kmora_1/device/product", &text, &err) && err == ENOENT,
             "the unplugged board's text: " + errnoText(err));
    commandOk("replug 1", o);
    err = inputReport(fd);
    o.expect(err == 0, "a transfer after replugging: " + errnoText(err));
    ::close(fd);
    return o;
}

Outcome injectedErrors() {
    Outcome o;
    const int fd = openNode(0);
    o.expect(fd >= 0, "cannot open /dev/Kmora_0");
    const struct {
        const char* name;
        int value;
    } set[] = {{"EIO", EIO},         {"ETIMEDOUT", ETIMEDOUT}, {"ENODEV", ENODEV}, {"EPIPE", EPIPE},
               {"EPROTO", EPROTO},   {"EOVERFLOW", EOVERFLOW}, {"ESHUTDOWN", ESHUTDOWN}, {"ENXIO", ENXIO},
               {"EBUSY", EBUSY},     {"EAGAIN", EAGAIN},       {"EINTR", EINTR},   {"ENOMEM", ENOMEM},
               {"ENOTCONN", ENOTCONN}, {"EINVAL", EINVAL},     {"EFAULT", EFAULT}, {"EPERM", EPERM},
               {"EACCES", EACCES},   {"ENOENT", ENOENT}};
    for (const auto& e : set) {
        if (!o.ok || !commandOk(std::string("fail 0 1 ") + e.name, o)) {
            break;
        }
        const int err = inputReport(fd);
        o.expect(err == e.value, std::string(e.name) + " arrived as " + errnoText(err));
    }
    // By number too; then the next transfer is served again.
    if (o.ok && commandOk("fail 0 2 " + std::to_string(ETIMEDOUT), o)) {
        o.expect(inputReport(fd) == ETIMEDOUT && inputReport(fd) == ETIMEDOUT && inputReport(fd) == 0,
                 "two ETIMEDOUT by number, then a transfer");
    }
    // Nothing the kernel could not carry back is taken.
    for (const char* refused : {"fail 0 1 600", "fail 0 1 4095", "fail 0 1 ENOSYS", "fail 0 1 0"}) {
        const std::string reply = control(refused);
        o.expect(reply.compare(0, 6, "error:") == 0, std::string("\"") + refused + "\" answered \"" + reply + "\"");
    }
    o.expect(inputReport(fd) == 0, "a transfer after the refused faults");
    ::close(fd);
    return o;
}

Outcome badAddresses() {
    Outcome o;
    const int fd = openNode(0);
    o.expect(fd >= 0, "cannot open /dev/Kmora_0");
    const long page = ::sysconf(_SC_PAGESIZE);
    void* gone = ::mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ::munmap(gone, static_cast<size_t>(page));
    // Two pages: the first read-only, the second unmapped, so that a block
    // at the first page's end runs off into nothing.
    char* pages = static_cast<char*>(
        ::mmap(nullptr, 2 * static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ::munmap(pages + page, static_cast<size_t>(page));
    void* readOnly = pages;
    *static_cast<TransferBlock*>(readOnly) = request(yarvo::wire::kCmdPowerStatus);
    ::mprotect(readOnly, static_cast<size_t>(page), PROT_READ);
    char* tail = pages + page - 16;
    int err = transfer(fd, reinterpret_cast<void*>(8));
    o.expect(err == EFAULT, "a block at address 8: " + errnoText(err));
    err = transfer(fd, gone);
    o.expect(err == EFAULT, "a block in unmapped memory: " + errnoText(err));
    err = transfer(fd, readOnly);
    o.expect(err == EFAULT, "a block in read-only memory: " + errnoText(err));
    err = transfer(fd, tail);
    o.expect(err == EFAULT, "a block running off its mapping: " + errnoText(err));
    o.expect(inputReport(fd) == 0, "a transfer afterwards");
    ::munmap(readOnly, static_cast<size_t>(page));
    ::close(fd);
    return o;
}

Outcome descriptorFlags() {
    Outcome o;
    const int plain = openNode(0);
    const int cloexec = openNode(0, O_CLOEXEC);
    o.expect(plain >= 0 && (::fcntl(plain, F_GETFD) & FD_CLOEXEC) == 0, "close-on-exec set without O_CLOEXEC");
    o.expect(cloexec >= 0 && (::fcntl(cloexec, F_GETFD) & FD_CLOEXEC) != 0, "close-on-exec missing with O_CLOEXEC");
    const int copy = ::dup(plain);
    o.expect(copy >= 0 && inputReport(copy) == 0, "a transfer on a dup'd descriptor");
    ::close(plain);
    o.expect(inputReport(copy) == 0, "the copy after the original was closed");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(inputReport(copy) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    o.expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "a transfer in a forked child");
    ::close(copy);
    ::close(cloexec);
    errno = 0;
    TransferBlock block = request(yarvo::wire::kCmdInputReport);
    o.expect(::ioctl(copy, kTransfer, &block) == -1 && ::fcntl(copy, F_GETFD) == -1 && errno == EBADF,
             "a closed descriptor still answers");
    return o;
}

std::string self;

Outcome execCarries(bool skip, std::string* skipReason) {
    Outcome o;
    if (skip) {
        *skipReason = "the kernel cannot start this 32-bit program again (the machine probe says so)";
        return o;
    }
    const int plain = openNode(0);
    const int cloexec = openNode(0, O_CLOEXEC);
    for (const auto& [fd, mode] : {std::pair<int, const char*>{plain, "works"}, {cloexec, "closed"}}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string number = std::to_string(fd);
            ::execl(self.c_str(), self.c_str(), "--child", number.c_str(), mode, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        o.expect(WIFEXITED(status) && WEXITSTATUS(status) == 0,
                 std::string("the exec'd child finds the descriptor ") + (mode[0] == 'w' ? "not working" : "still open") +
                     " (status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
    }
    ::close(plain);
    ::close(cloexec);
    return o;
}

int child(int fd, const std::string& mode) {
    if (mode == "closed") {
        return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF ? 0 : 1;
    }
    return inputReport(fd) == 0 ? 0 : 1;
}

void report(const char* name, const Outcome& o, const std::string& skipReason = "") {
    if (!skipReason.empty()) {
        std::printf("skipped: %s: %s\n", name, skipReason.c_str());
    } else if (o.ok) {
        std::printf("ok   %s\n", name);
    } else {
        std::printf("FAIL %s: %s\n", name, o.why.c_str());
        ++failures;
    }
}

// One answer of the machine probe's file (shell assignments, values quoted
// as printf %q quotes them), or "" when it has none.
std::string machineAnswer(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + "=") != 0) {
            continue;
        }
        std::string value;
        const std::string quoted = line.substr(key.size() + 1);
        for (size_t i = 0; i < quoted.size(); ++i) {
            if (quoted[i] == '\\' && i + 1 < quoted.size()) {
                value += quoted[++i];
            } else if (quoted[i] != '\'') {
                value += quoted[i];
            }
        }
        return value;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);   // each case's line out before the next case runs
    self = argv[0];
    std::string socket, machine;
#ifdef YARVO_CONFORMANCE_IN_PROCESS
    yarvo::sim::VirtualDriver& d = yarvo::sim::driver();
    for (unsigned b : {0u, 1u}) {
        d.plug(b);
    }
    static yarvo::sim::ControlSession session(d, {0, 1});
    control = [](const std::string& line) { return session.handle(line); };
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--child" && i + 2 < argc) {
            return child(std::atoi(argv[i + 1]), argv[i + 2]);
        } else if (arg == "--control" && i + 1 < argc) {
            socket = argv[++i];
        } else if (arg == "--machine" && i + 1 < argc) {
            machine = argv[++i];
        } else {
            std::fprintf(stderr, "usage: transport-conformance [--control SOCKET] [--machine FILE]\n");
            return 2;
        }
    }
    if (!socket.empty()) {
        control = [socket](const std::string& line) { return yarvo::testing::controlReply(socket, line); };
    } else if (!control) {
        using Entry = int (*)(const char*, char*, size_t);
        const auto entry = reinterpret_cast<Entry>(::dlsym(RTLD_DEFAULT, "yarvo_sim_control"));
        if (entry == nullptr) {
            std::fprintf(stderr, "transport-conformance: no control channel: run it under the preload or yarvo-sim\n");
            return 2;
        }
        control = [entry](const std::string& line) {
            char reply[512];
            entry(line.c_str(), reply, sizeof reply);
            return std::string(reply);
        };
    }
    // What the machine lets run, from its probe (tests/machine/probe.sh).
    const bool bits32 = sizeof(void*) == 4;
    const bool noReExec = bits32 && !machine.empty() && machineAnswer(machine, "exec32") != "yes";
    const std::string vmCopy = bits32 ? "vm_copy32" : "vm_copy";
    const bool noAddressCheck = socket.empty() && !machine.empty() && machineAnswer(machine, vmCopy) != "yes";

    report("attribute texts and absent boards", texts());
    report("transfers, malformed blocks and other requests", transferAndRequests());
    report("unplugged and replugged", unplugAndReplug());
    report("injected errno values arrive unchanged; others refused", injectedErrors());
    if (noAddressCheck) {
        report("bad block addresses give EFAULT", Outcome(),
               "the interposer cannot tell a bad address without process_vm_readv: " +
                   machineAnswer(machine, vmCopy + "_why"));
    } else {
        report("bad block addresses give EFAULT", badAddresses());
    }
    report("descriptor flags, dup, fork and close", descriptorFlags());
    std::string reason;
    const Outcome exec = execCarries(noReExec, &reason);
    report("exec keeps a descriptor without O_CLOEXEC", exec, reason);
    std::printf("%s\n", failures == 0 ? "conformance: all cases hold" : "conformance: cases failed");
    return failures == 0 ? 0 : 1;
}
