// In-process transport: the libc entry points that a board library uses to
// reach the kernel driver, defined here so that they reach the virtual
// driver instead.  What it promises a host is written down in transport.h.
//
//  * fopen/fopen64 on "/sys/class/Kmora/..." serve the virtual driver's
//    attribute texts as read-only memory streams; a path there that the
//    driver does not serve fails with ENOENT.  The real filesystem is never
//    consulted below /sys/class/Kmora.
//  * The open family on the same attribute paths gives a descriptor of a
//    memory file holding the text (read-only opens only), for programs that
//    read attributes with open/read.
//  * open/open64/__open_2/__open64_2/openat/openat64 (and the fortified
//    openat variants) on "/dev/Kmora_N" ask the driver whether the node
//    opens; on success the caller gets a descriptor of an empty, sealed
//    memory file named "yarvo-sim Kmora_N", with the flags it asked for.
//    Other names below /dev/Kmora_ fail with ENOENT.
//  * ioctl on such a descriptor carries the transfer request to the driver;
//    the requests the kernel answers for any file (FIOCLEX, FIONBIO,
//    FIONREAD, ...) go to the memory file, any other fails with ENOTTY, as
//    on the kernel path.  Descriptors are known by a table (a transfer costs
//    no system call), and a node descriptor the table does not know (a copy
//    made by dup, or one that came through exec into a new program) is
//    recognised by its seals and name.
//  * close forgets the descriptor and closes it.
//
// Everything else goes to the next definition (libc, or a sanitizer's
// interceptor in front of it), found with dlsym(RTLD_NEXT, ...) on first use.
//
// The large-file and fortify macros are switched off before any header: they
// would rename or inline the very functions defined here.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <asm/ioctls.h>   // the requests every file answers, without declaring ioctl
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "board_name.h"
#include "virtual_driver.h"

#define INTERPOSED extern "C" __attribute__((visibility("default")))

using yarvo::sim::driver;
using yarvo::wire::TransferBlock;

namespace {

constexpr char kNodeFilePrefix[] = "yarvo-sim ";   // memory file "yarvo-sim Kmora_N"
constexpr char kMemfdLinkPrefix[] = "/memfd:";     // how /proc/self/fd shows a memory file
constexpr int kNodeSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// --- The next definitions, resolved lazily --------------------------------

// Looks a symbol up once; concurrent first uses resolve the same address, so
// the race is harmless.
void* nextSymbol(std::atomic<void*>& slot, const char* name) {
    void* f = slot.load(std::memory_order_acquire);
    if (f == nullptr) {
        f = dlsym(RTLD_NEXT, name);
        slot.store(f, std::memory_order_release);
    }
    return f;
}

#define NEXT(type, name)                                              \
    static std::atomic<void*> slot_##name{nullptr};                   \
    auto next_##name = reinterpret_cast<type>(nextSymbol(slot_##name, #name))

using FopenFn = FILE* (*)(const char*, const char*);
using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenatFn = int (*)(int, const char*, int, ...);
using Openat2Fn = int (*)(int, const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

int closeNext(int fd) {
    NEXT(CloseFn, close);
    return next_close(fd);
}

// --- Board descriptors ------------------------------------------------------

// A fixed table, so that it lives before and after every C++ object of the
// process (descriptors are closed from atexit handlers too).
constexpr int kMaxNodes = 256;
struct NodeEntry {
    int fd;
    int instance;
    dev_t device;   // the memory file the descriptor named when it was entered
    ino_t inode;
};
pthread_mutex_t nodesMutex = PTHREAD_MUTEX_INITIALIZER;
NodeEntry nodes[kMaxNodes];
std::atomic<int> nodeCount{0};   // lets calls on other descriptors skip the lock

struct NodesLock {
    NodesLock() { pthread_mutex_lock(&nodesMutex); }
    ~NodesLock() { pthread_mutex_unlock(&nodesMutex); }
};

bool enterNode(int fd, int instance, const struct stat& st) {
    NodesLock lock;
    const int count = nodeCount.load();
    for (int i = 0; i < count; ++i) {
        if (nodes[i].fd == fd) {
            nodes[i] = NodeEntry{fd, instance, st.st_dev, st.st_ino};
            return true;
        }
    }
    if (count == kMaxNodes) {
        return false;
    }
    nodes[count] = NodeEntry{fd, instance, st.st_dev, st.st_ino};
    nodeCount.store(count + 1);
    return true;
}

void forgetNode(int fd) {
    if (nodeCount.load() == 0) {
        return;
    }
    NodesLock lock;
    const int count = nodeCount.load();
    for (int i = 0; i < count; ++i) {
        if (nodes[i].fd == fd) {
            nodes[i] = nodes[count - 1];
            nodeCount.store(count - 1);
            return;
        }
    }
}

bool lookUpNode(int fd, NodeEntry* entry) {
    if (nodeCount.load() == 0) {
        return false;
    }
    NodesLock lock;
    const int count = nodeCount.load();
    for (int i = 0; i < count; ++i) {
        if (nodes[i].fd == fd) {
            *entry = nodes[i];
            return true;
        }
    }
    return false;
}

// A node descriptor the table does not know: a memory file with the node's
// seals whose name is "yarvo-sim Kmora_N".  -1 for any other descriptor.
int recogniseNode(int fd) {
    const int saved = errno;
    const int seals = ::fcntl(fd, F_GET_SEALS);
    errno = saved;
    if (seals != kNodeSeals) {
        return -1;
    }
    char link[64];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
    errno = saved;
    const std::string expected = std::string(kMemfdLinkPrefix) + kNodeFilePrefix;
    if (n <= 0 || static_cast<size_t>(n) <= expected.size()) {
        return -1;
    }
    link[n] = '\0';
    if (std::strncmp(link, expected.c_str(), expected.size()) != 0) {
        return -1;
    }
    const char* end = nullptr;
    const int instance = yarvo::names::boardNamePrefix(link + expected.size(), &end);
    struct stat st;
    if (instance < 0 || (*end != '\0' && *end != ' ') || ::fstat(fd, &st) != 0 || !enterNode(fd, instance, st)) {
        errno = saved;
        return -1;
    }
    return instance;
}

// The board instance `fd` is a node of, or -1: from the table (no system
// call), else by recognition.
int nodeOf(int fd) {
    if (fd < 0) {
        return -1;
    }
    NodeEntry entry;
    return lookUpNode(fd, &entry) ? entry.instance : recogniseNode(fd);
}

// Whether a descriptor of the table still names the memory file it was
// entered with; forgotten when not (closed and its number reused behind our
// back: fclose of an fdopen'd node, close_range, dup2 onto it).
bool stillNode(int fd) {
    NodeEntry entry;
    if (!lookUpNode(fd, &entry)) {
        return false;
    }
    struct stat st;
    const int saved = errno;
    const bool same = ::fstat(fd, &st) == 0 && st.st_dev == entry.device && st.st_ino == entry.inode;
    errno = saved;
    if (!same) {
        forgetNode(fd);
    }
    return same;
}

// --- Paths ------------------------------------------------------------------

bool underClassDir(const char* path) {
    const size_t n = sizeof yarvo::names::kClassDirectory - 1;
    return path != nullptr && strncmp(path, yarvo::names::kClassDirectory, n) == 0 &&
           (path[n] == '\0' || path[n] == '/');
}

bool isNodePath(const char* path) {
    const std::string prefix = std::string(yarvo::names::kNodeDirectory) + yarvo::names::kBoardPrefix;
    return path != nullptr && strncmp(path, prefix.c_str(), prefix.size()) == 0;
}

bool needsMode(int flags) {
#ifdef O_TMPFILE
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
#else
    return (flags & O_CREAT) != 0;
#endif
}

FILE* openAttribute(const char* path, const char* mode) {
    if (mode == nullptr || mode[0] != 'r' || strchr(mode, '+') != nullptr) {
        errno = EACCES;   // the attributes are read-only
        return nullptr;
    }
    std::string text;
    if (!driver().readAttribute(path, &text)) {
        errno = ENOENT;
        return nullptr;
    }
    // The stream owns its buffer (fmemopen with a null buffer): the text is
    // written in, then the stream is rewound for reading.  One byte more
    // than the text leaves room for the terminator that a text-mode memory
    // stream writes; reads end at the text's end.
    FILE* stream = fmemopen(nullptr, text.size() + 1, "w+");
    if (stream == nullptr) {
        return nullptr;
    }
    // The text is in memory already: no stdio buffer on top of it.
    setvbuf(stream, nullptr, _IONBF, 0);
    if (!text.empty() && fwrite(text.data(), 1, text.size(), stream) != text.size()) {
        const int err = errno;
        fclose(stream);
        errno = err != 0 ? err : EIO;
        return nullptr;
    }
    rewind(stream);
    return stream;
}

// The same texts for programs that read attributes with open/read: a
// memory file holding the text, positioned at its start.
int openAttributeFd(const char* path, int flags) {
    if ((flags & O_ACCMODE) != O_RDONLY) {
        errno = EACCES;
        return -1;
    }
    std::string text;
    if (!driver().readAttribute(path, &text)) {
        errno = ENOENT;
        return -1;
    }
    const int fd = memfd_create("Kmora attribute", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
    if (fd < 0) {
        return -1;
    }
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        const int err = errno;
        closeNext(fd);
        errno = err != 0 ? err : EIO;
        return -1;
    }
    return fd;
}

// Opens a board node with the caller's flags; -1 with errno on failure.
int openNode(const char* path, int flags) {
    const int instance = yarvo::names::boardNode(path);
    if (instance < 0) {
        errno = ENOENT;
        return -1;
    }
    const int err = driver().openNode(static_cast<unsigned>(instance));
    if (err != 0) {
        errno = err;
        return -1;
    }
    const std::string name = std::string(kNodeFilePrefix) + yarvo::names::kBoardPrefix + std::to_string(instance);
    const int fd = memfd_create(name.c_str(), MFD_ALLOW_SEALING | ((flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0));
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (::fcntl(fd, F_ADD_SEALS, kNodeSeals) != 0 || ((flags & O_NONBLOCK) != 0 && ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) ||
        ::fstat(fd, &st) != 0) {
        const int failure = errno;
        closeNext(fd);
        errno = failure;
        return -1;
    }
    if (!enterNode(fd, instance, st)) {
        closeNext(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

// The board's paths, or -2 for a path that is not the board's.
int openBoardPath(const char* path, int flags) {
    if (isNodePath(path)) {
        return openNode(path, flags);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    return -2;
}

int takeMode(int flags, va_list args) { return needsMode(flags) ? va_arg(args, int) : 0; }

// Requests the kernel answers itself for every open file, before any driver
// sees them.
bool answeredForAnyFile(unsigned long request) {
    switch (static_cast<uint32_t>(request)) {
    case FIOCLEX:
    case FIONCLEX:
    case FIONBIO:
    case FIOASYNC:
    case FIONREAD:
    case FIOQSIZE:
        return true;
    default:
        return false;
    }
}

// --- The block in the host's memory -----------------------------------------

// The calling thread's stack, found once per thread.
__thread uintptr_t stackLow = 0, stackHigh = 0;

// Whether the block lies in the part of the calling thread's stack that is
// in use (from this frame up to the stack's top): mapped and writable for
// sure, as a block that the caller keeps on its stack always is.
bool onActiveStack(const void* block, const void* frame) {
    if (stackHigh == 0) {
        pthread_attr_t attr;
        void* low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) {
            return false;
        }
        if (pthread_attr_getstack(&attr, &low, &size) == 0) {
            stackLow = reinterpret_cast<uintptr_t>(low);
            stackHigh = stackLow + size;
        }
        pthread_attr_destroy(&attr);
    }
    const uintptr_t b = reinterpret_cast<uintptr_t>(block);
    const uintptr_t f = reinterpret_cast<uintptr_t>(frame);
    return f >= stackLow && f < stackHigh && b >= f && b <= stackHigh - sizeof(TransferBlock);
}

// Copies between the host's block and ours.  A block on the caller's
// active stack (the library keeps its block there) is copied directly;
// anywhere else the kernel copies it, so that an address the host cannot
// read or write gives EFAULT instead of a crash.  Where the kernel refuses
// those calls (no such system call, as under qemu-user, or a policy that
// forbids them), the block is copied directly: the host's own pointer, its
// own risk.
std::atomic<bool> kernelCopies{true};

bool copyBlock(void* local, void* host, bool toHost, const void* frame) {
    if (onActiveStack(host, frame)) {
        std::memcpy(toHost ? host : local, toHost ? local : host, sizeof(TransferBlock));
        return true;
    }
    if (kernelCopies.load(std::memory_order_relaxed)) {
        const int saved = errno;
        iovec mine{local, sizeof(TransferBlock)};
        iovec theirs{host, sizeof(TransferBlock)};
        const ssize_t n = toHost ? process_vm_writev(getpid(), &mine, 1, &theirs, 1, 0)
                                 : process_vm_readv(getpid(), &mine, 1, &theirs, 1, 0);
        if (n == static_cast<ssize_t>(sizeof(TransferBlock))) {
            return true;
        }
        if (n >= 0 || errno == EFAULT) {
            errno = saved;
            return false;
        }
        kernelCopies.store(false, std::memory_order_relaxed);
        errno = saved;
    }
    if (host == nullptr) {
        return false;
    }
    std::memcpy(toHost ? host : local, toHost ? local : host, sizeof(TransferBlock));
    return true;
}

}  // namespace

INTERPOSED FILE* fopen(const char* path, const char* mode) {
    if (underClassDir(path)) {
        return openAttribute(path, mode);
    }
    NEXT(FopenFn, fopen);
    return next_fopen(path, mode);
}

INTERPOSED FILE* fopen64(const char* path, const char* mode) {
    if (underClassDir(path)) {
        return openAttribute(path, mode);
    }
    NEXT(FopenFn, fopen64);
    return next_fopen64(path, mode);
}

// The open family: the board's paths here, everything else to the next
// definition (with the mode argument when the flags carry one).
#define OPEN_VARIADIC(name, ...)                              \
    {                                                          \
        const int board = openBoardPath(path, flags);          \
        if (board != -2) {                                     \
            return board;                                      \
        }                                                      \
        va_list args;                                          \
        va_start(args, flags);                                 \
        const int mode = takeMode(flags, args);                \
        va_end(args);                                          \
        NEXT(decltype(&name), name);                           \
        return next_##name(__VA_ARGS__, flags, mode);          \
    }
#define OPEN_FIXED(type, name, ...)                           \
    {                                                          \
        const int board = openBoardPath(path, flags);          \
        if (board != -2) {                                     \
            return board;                                      \
        }                                                      \
        NEXT(type, name);                                      \
        return next_##name(__VA_ARGS__, flags);                \
    }

INTERPOSED int open(const char* path, int flags, ...) OPEN_VARIADIC(open, path)
INTERPOSED int open64(const char* path, int flags, ...) OPEN_VARIADIC(open64, path)
INTERPOSED int openat(int dirfd, const char* path, int flags, ...) OPEN_VARIADIC(openat, dirfd, path)
INTERPOSED int openat64(int dirfd, const char* path, int flags, ...) OPEN_VARIADIC(openat64, dirfd, path)
INTERPOSED int __open_2(const char* path, int flags) OPEN_FIXED(Open2Fn, __open_2, path)
INTERPOSED int __open64_2(const char* path, int flags) OPEN_FIXED(Open2Fn, __open64_2, path)
INTERPOSED int __openat_2(int dirfd, const char* path, int flags) OPEN_FIXED(Openat2Fn, __openat_2, dirfd, path)
INTERPOSED int __openat64_2(int dirfd, const char* path, int flags) OPEN_FIXED(Openat2Fn, __openat64_2, dirfd, path)

// glibc declares the request as unsigned long.  The kernel compares only its
// low 32 bits, and so does this.
INTERPOSED int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    NEXT(IoctlFn, ioctl);
    if (static_cast<uint32_t>(request) != static_cast<uint32_t>(yarvo::wire::kTransferRequest)) {
        // Any other request on a node: what the kernel answers for any file,
        // else ENOTTY (a node the table does not know is a memory file,
        // which answers the same by itself).
        if (!answeredForAnyFile(request) && stillNode(fd)) {
            errno = ENOTTY;
            return -1;
        }
        return next_ioctl(fd, request, argument);
    }
    const int instance = nodeOf(fd);
    if (instance < 0) {
        return next_ioctl(fd, request, argument);
    }
    const void* frame = __builtin_frame_address(0);
    TransferBlock block;
    if (!copyBlock(&block, argument, false, frame)) {
        errno = EFAULT;
        return -1;
    }
    const int err = driver().transfer(static_cast<unsigned>(instance), &block);
    if (err != 0) {
        errno = err;
        return -1;
    }
    if (!copyBlock(&block, argument, true, frame)) {
        errno = EFAULT;
        return -1;
    }
    return 0;
}

INTERPOSED int close(int fd) {
    forgetNode(fd);
    return closeNext(fd);
}
