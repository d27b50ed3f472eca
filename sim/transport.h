// What a host program is promised, alike, by each of the three ways it can
// reach a virtual board:
//
//   in-process   the interposer (interposer.cpp) linked into a test program
//   preload      the same interposer as libyarvo-sim-preload.so in LD_PRELOAD
//   kernel path  yarvo-sim's FUSE file system: /dev/Kmora_N and
//                /sys/class/Kmora inside a private mount namespace
//
// tests/conformance runs one suite of cases against all three.
//
//  * /sys/class/Kmora/Kmora_N/device/product and .../speed read the board's
//    texts while board N is plugged in; otherwise they do not exist (ENOENT).
//  * open("/dev/Kmora_N") gives a descriptor while board N is plugged in,
//    ENOENT otherwise (EACCES where a test makes the node refuse).  The
//    descriptor has the flags the host asked for: close-on-exec only with
//    O_CLOEXEC, so that a child that execs keeps it; dup, fork and exec carry
//    it like any other descriptor, and close ends it.  (Under the preload a
//    program that execs gets the boards afresh: the descriptor reaches the
//    new program's board of the same instance.)
//  * ioctl(fd, 0xC2108100, block) answers 0 with the response in the block,
//    or -1 with errno:
//      ENODEV   the board is unplugged or absent
//      EINVAL   the block is not the driver's (its first two words are not
//               2 and 6, or the request length is outside 1-256)
//      EFAULT   the block cannot be read and written where the host said it
//               is (the kernel finds out by itself; the interposer asks the
//               kernel with process_vm_readv and process_vm_writev before it
//               touches the block, so a bad pointer never crashes the host)
//      ENOTTY   any other request on the node
//      and, while a fault is injected, the injected errno, unchanged.
//  * Injected errno values are the ones a kernel driver of a USB board can
//    return and the kernel path can carry: the table injectableErrors()
//    (EIO, ETIMEDOUT, ENODEV, EPIPE, EPROTO, ...).  The control channel
//    refuses any other name or number.
//  * On the kernel path, when the daemon dies, every request fails at once
//    (ENOTCONN); it never hangs.
#ifndef YARVO_SIM_TRANSPORT_H
#define YARVO_SIM_TRANSPORT_H

#include <cstddef>
#include <string>

namespace yarvo::sim {

struct ErrnoName {
    const char* name;
    int value;
};

// The errno values a fault may inject, in the order the help texts list them.
const ErrnoName* injectableErrors(size_t* count);

// The errno of a name in that table ("ETIMEDOUT") or of its number ("110");
// -1 for anything else.
int injectableErrno(const std::string& text);

// The name of an errno value of the table, or nullptr.
const char* injectableErrnoName(int value);

// The errno a transport hands the host for `err`: `err` itself when the
// kernel can carry it back from a FUSE request (1 to 511), EIO otherwise.
int carriedErrno(int err);

}  // namespace yarvo::sim

#endif
