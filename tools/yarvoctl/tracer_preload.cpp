// libyarvo-trace.so: an LD_PRELOAD tracer of board transfers.
//
// It interposes open (and its variants) and close to learn which descriptors
// are board nodes (/dev/Kmora_N), and ioctl to see each transfer.  Every call
// is passed on unchanged to the next definition (dlsym(RTLD_NEXT, ...)): the
// C library and so the real kernel driver, or the virtual board's preload
// when it comes later in LD_PRELOAD.  Each transfer request is then printed
// as one decoded line:
//
//   [    0.001234] Kmora_0 SPIN reel=2 mode=-2 steps=118 -> ok
//
// Settings come from the environment that `yarvoctl trace` prepares:
//   YARVO_TRACE_OUTPUT  file to append to (default: standard error)
//   YARVO_TRACE_RAW     "1": add the request and response bytes
//   YARVO_TRACE_EPOCH   CLOCK_MONOTONIC nanoseconds that time stamps count from
//   YARVO_TRACE_FILTER  which transfers to print (trace_filter.h); all when unset
//
// The open flags and the output file are handled in trace_output.cpp, which
// may include <fcntl.h>; this file must not, since it defines open itself.
// The large-file and fortify macros would rename or inline the functions
// defined here.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board_name.h"
#include "decode.h"
#include "trace_filter.h"
#include "trace_output.h"
#include "wire.h"

#define TRACE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenAtFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Board instance per descriptor, -1 when the descriptor is not a board node.
constexpr int kTrackedDescriptors = 4096;
std::atomic<int> boardOf[kTrackedDescriptors];
std::atomic<bool> trackingReady{false};

void initTracking() {
    if (trackingReady.load(std::memory_order_acquire)) return;
    for (auto& slot : boardOf) slot.store(-1, std::memory_order_relaxed);
    trackingReady.store(true, std::memory_order_release);
}

int remember(int fd, const char* path) {
    if (fd >= 0 && fd < kTrackedDescriptors) {
        initTracking();
        boardOf[fd].store(yarvo::names::boardNode(path), std::memory_order_relaxed);
    }
    return fd;
}

// The board instance of a descriptor, or -1.
int boardInstance(int fd) {
    if (fd >= 0 && fd < kTrackedDescriptors && trackingReady.load(std::memory_order_acquire)) {
        return boardOf[fd].load(std::memory_order_relaxed);
    }
    return -1;
}

std::string boardLabel(int fd) {
    const int instance = boardInstance(fd);
    return instance >= 0 ? "Kmora_" + std::to_string(instance) : "fd " + std::to_string(fd);
}

// What each board's firmware version said, for naming its status fields.
yarvo::decode::FirmwareNotes firmwareNotes;

// The transfers to show (YARVO_TRACE_FILTER, checked by yarvoctl); all when
// unset or unreadable.
const yarvo::decode::TransferFilter& filter() {
    static const yarvo::decode::TransferFilter chosen = [] {
        yarvo::decode::TransferFilter f;
        std::string error;
        const char* text = std::getenv("YARVO_TRACE_FILTER");
        if (text != nullptr && !f.parse(text, &error)) f = yarvo::decode::TransferFilter();
        return f;
    }();
    return chosen;
}

long long nowNanos() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

long long epochNanos() {
    static const long long epoch = [] {
        const char* text = std::getenv("YARVO_TRACE_EPOCH");
        return text != nullptr ? std::atoll(text) : nowNanos();
    }();
    return epoch;
}

bool rawWanted() {
    static const bool raw = [] {
        const char* text = std::getenv("YARVO_TRACE_RAW");
        return text != nullptr && std::strcmp(text, "1") == 0;
    }();
    return raw;
}

pthread_mutex_t outputLock = PTHREAD_MUTEX_INITIALIZER;

int outputDescriptor() {
    static int fd = -2;
    if (fd == -2) {
        const char* path = std::getenv("YARVO_TRACE_OUTPUT");
        fd = (path != nullptr && *path != '\0') ? yarvo_trace::openOutput(path) : -1;
        if (fd < 0) fd = STDERR_FILENO;
    }
    return fd;
}

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void report(int fd, const yarvo::wire::TransferBlock& before,
            const yarvo::wire::TransferBlock& after, int result, int err, long long when) {
    const yarvo::decode::Exchange e = yarvo::decode::fromBlocks(before, after, result, err);
    const int board = boardInstance(fd);
    firmwareNotes.note(board, e);
    if (!filter().shows(board, e)) return;
    const double seconds = static_cast<double>(when - epochNanos()) / 1e9;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%12.6f] ", seconds);
    std::string text = stamp + boardLabel(fd) + " " +
                       yarvo::decode::describe(e, firmwareNotes.virtualBoard(board)) + "\n";
    if (rawWanted()) {
        text += "    request:  " + yarvo::decode::hex(before.buffer, e.requestLength + 1) + "\n";
        if (result == 0) {
            size_t length = after.responseLength;
            if (length > yarvo::wire::kBufferSize) length = yarvo::wire::kBufferSize;
            text += "    response: " + yarvo::decode::hex(after.buffer, length) + "\n";
        }
    }
    pthread_mutex_lock(&outputLock);
    writeAll(outputDescriptor(), text);
    pthread_mutex_unlock(&outputLock);
}

}  // namespace

TRACE_EXPORT int open(const char* path, int flags, ...) {
    static OpenFn real = next<OpenFn>("open");
    unsigned mode = 0;
    if (yarvo_trace::flagsTakeMode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, unsigned);
        va_end(args);
    }
    return remember(real(path, flags, mode), path);
}

TRACE_EXPORT int open64(const char* path, int flags, ...) {
    static OpenFn real = next<OpenFn>("open64");
    unsigned mode = 0;
    if (yarvo_trace::flagsTakeMode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, unsigned);
        va_end(args);
    }
    return remember(real(path, flags, mode), path);
}

TRACE_EXPORT int __open_2(const char* path, int flags) {
    static Open2Fn real = next<Open2Fn>("__open_2");
    return remember(real(path, flags), path);
}

TRACE_EXPORT int __open64_2(const char* path, int flags) {
    static Open2Fn real = next<Open2Fn>("__open64_2");
    return remember(real(path, flags), path);
}

TRACE_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    static OpenAtFn real = next<OpenAtFn>("openat");
    unsigned mode = 0;
    if (yarvo_trace::flagsTakeMode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, unsigned);
        va_end(args);
    }
    return remember(real(dirfd, path, flags, mode), path);
}

TRACE_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    static OpenAtFn real = next<OpenAtFn>("openat64");
    unsigned mode = 0;
    if (yarvo_trace::flagsTakeMode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, unsigned);
        va_end(args);
    }
    return remember(real(dirfd, path, flags, mode), path);
}

TRACE_EXPORT int close(int fd) {
    static CloseFn real = next<CloseFn>("close");
    if (fd >= 0 && fd < kTrackedDescriptors && trackingReady.load(std::memory_order_acquire)) {
        boardOf[fd].store(-1, std::memory_order_relaxed);
    }
    return real(fd);
}

TRACE_EXPORT int ioctl(int fd, unsigned long request, ...) {
    static IoctlFn real = next<IoctlFn>("ioctl");
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (request != yarvo::wire::kTransferRequest || argument == nullptr) {
        return real(fd, request, argument);
    }
    auto* block = static_cast<yarvo::wire::TransferBlock*>(argument);
    const yarvo::wire::TransferBlock before = *block;
    const int result = real(fd, request, argument);
    const int err = errno;
    const long long when = nowNanos();
    report(fd, before, *block, result, err, when);
    errno = err;
    return result;
}
