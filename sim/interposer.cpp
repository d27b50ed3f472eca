// In-process transport: the libc entry points that a board library uses to
// reach the kernel driver, defined here so that they reach the virtual
// driver instead.
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
//    opens; on success the caller gets a real descriptor (of /dev/null),
//    registered as that instance's node.  Other names below /dev/Kmora_ fail
//    with ENOENT.
//  * ioctl on a registered descriptor carries the transfer request to the
//    driver; any other request there fails with ENOTTY.
//  * close unregisters the descriptor and closes it.
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
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "virtual_driver.h"

using yarvo::sim::driver;
using yarvo::sim::VirtualDriver;

namespace {

constexpr char kClassDir[] = "/sys/class/Kmora";
constexpr char kNodePrefix[] = "/dev/Kmora_";

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

// --- Registered board descriptors -----------------------------------------

// A fixed table, so that it lives before and after every C++ object of the
// process (descriptors are closed from atexit handlers too).
constexpr int kMaxNodes = 256;
struct NodeEntry {
    int fd;
    int instance;
};
pthread_mutex_t nodesMutex = PTHREAD_MUTEX_INITIALIZER;
NodeEntry nodes[kMaxNodes];
std::atomic<int> nodeCount{0};   // lets calls on other descriptors skip the lock

struct NodesLock {
    NodesLock() { pthread_mutex_lock(&nodesMutex); }
    ~NodesLock() { pthread_mutex_unlock(&nodesMutex); }
};

bool registerNode(int fd, int instance) {
    NodesLock lock;
    const int count = nodeCount.load();
    for (int i = 0; i < count; ++i) {
        if (nodes[i].fd == fd) {
            nodes[i].instance = instance;
            return true;
        }
    }
    if (count == kMaxNodes) {
        return false;
    }
    nodes[count] = NodeEntry{fd, instance};
    nodeCount.store(count + 1);
    return true;
}

// Forgets fd; true when it was a board node.
bool unregisterNode(int fd) {
    if (nodeCount.load() == 0) {
        return false;
    }
    NodesLock lock;
    const int count = nodeCount.load();
    for (int i = 0; i < count; ++i) {
        if (nodes[i].fd == fd) {
            nodes[i] = nodes[count - 1];
            nodeCount.store(count - 1);
            return true;
        }
    }
    return false;
}

int nodeOf(int fd) {
    if (nodeCount.load() == 0) {
        return -1;
    }
    NodesLock lock;
    const int count = nodeCount.load();
    for (int i = 0; i < count; ++i) {
        if (nodes[i].fd == fd) {
            return nodes[i].instance;
        }
    }
    return -1;
}

// A descriptor number handed out by a forwarded open can still be in the
// table when its board node was closed behind our back; it is a file now.
int forgetStale(int fd) {
    if (fd >= 0) {
        unregisterNode(fd);
    }
    return fd;
}

// --- Paths ------------------------------------------------------------------

bool underClassDir(const char* path) {
    const size_t n = sizeof kClassDir - 1;
    return path != nullptr && strncmp(path, kClassDir, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

bool isNodePath(const char* path) {
    return path != nullptr && strncmp(path, kNodePrefix, sizeof kNodePrefix - 1) == 0;
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
    const int fd = forgetStale(memfd_create("Kmora attribute", MFD_CLOEXEC));
    if (fd < 0) {
        return -1;
    }
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        const int err = errno;
        NEXT(CloseFn, close);
        next_close(fd);
        errno = err != 0 ? err : EIO;
        return -1;
    }
    if ((flags & O_CLOEXEC) == 0) {
        fcntl(fd, F_SETFD, 0);
    }
    return fd;
}

// Opens a board node; -1 with errno on failure.
int openNode(const char* path) {
    const int instance = VirtualDriver::nodeInstance(path);
    if (instance < 0) {
        errno = ENOENT;
        return -1;
    }
    const int err = driver().openNode(static_cast<unsigned>(instance));
    if (err != 0) {
        errno = err;
        return -1;
    }
    NEXT(OpenFn, open);
    const int fd = next_open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (!registerNode(fd, instance)) {
        NEXT(CloseFn, close);
        next_close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

int takeMode(int flags, va_list args) { return needsMode(flags) ? va_arg(args, int) : 0; }

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) {
    if (underClassDir(path)) {
        return openAttribute(path, mode);
    }
    NEXT(FopenFn, fopen);
    return next_fopen(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    if (underClassDir(path)) {
        return openAttribute(path, mode);
    }
    NEXT(FopenFn, fopen64);
    return next_fopen64(path, mode);
}

int open(const char* path, int flags, ...) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    va_list args;
    va_start(args, flags);
    const int mode = takeMode(flags, args);
    va_end(args);
    NEXT(OpenFn, open);
    return forgetStale(next_open(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    va_list args;
    va_start(args, flags);
    const int mode = takeMode(flags, args);
    va_end(args);
    NEXT(OpenFn, open64);
    return forgetStale(next_open64(path, flags, mode));
}

int __open_2(const char* path, int flags) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    NEXT(Open2Fn, __open_2);
    return forgetStale(next___open_2(path, flags));
}

int __open64_2(const char* path, int flags) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    NEXT(Open2Fn, __open64_2);
    return forgetStale(next___open64_2(path, flags));
}

int openat(int dirfd, const char* path, int flags, ...) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    va_list args;
    va_start(args, flags);
    const int mode = takeMode(flags, args);
    va_end(args);
    NEXT(OpenatFn, openat);
    return forgetStale(next_openat(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char* path, int flags, ...) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    va_list args;
    va_start(args, flags);
    const int mode = takeMode(flags, args);
    va_end(args);
    NEXT(OpenatFn, openat64);
    return forgetStale(next_openat64(dirfd, path, flags, mode));
}

int __openat_2(int dirfd, const char* path, int flags) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    NEXT(Openat2Fn, __openat_2);
    return forgetStale(next___openat_2(dirfd, path, flags));
}

int __openat64_2(int dirfd, const char* path, int flags) {
    if (isNodePath(path)) {
        return openNode(path);
    }
    if (underClassDir(path)) {
        return openAttributeFd(path, flags);
    }
    NEXT(Openat2Fn, __openat64_2);
    return forgetStale(next___openat64_2(dirfd, path, flags));
}

// glibc declares the request as unsigned long.  The kernel compares only its
// low 32 bits, and so does this.
int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    const int instance = nodeOf(fd);
    if (instance < 0) {
        NEXT(IoctlFn, ioctl);
        return next_ioctl(fd, request, argument);
    }
    if (static_cast<uint32_t>(request) != static_cast<uint32_t>(yarvo::wire::kTransferRequest)) {
        errno = ENOTTY;
        return -1;
    }
    const int err = driver().transfer(static_cast<unsigned>(instance),
                                      static_cast<yarvo::wire::TransferBlock*>(argument));
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

int close(int fd) {
    unregisterNode(fd);
    NEXT(CloseFn, close);
    return next_close(fd);
}

}  // extern "C"
