#include "transport.h"

#include <cerrno>

#include "numbers.h"

namespace yarvo::sim {

namespace {

const ErrnoName kInjectable[] = {
    {"EIO", EIO},           {"ETIMEDOUT", ETIMEDOUT}, {"ENODEV", ENODEV},   {"EPIPE", EPIPE},
    {"EPROTO", EPROTO},     {"EOVERFLOW", EOVERFLOW}, {"ESHUTDOWN", ESHUTDOWN}, {"ENXIO", ENXIO},
    {"EBUSY", EBUSY},       {"EAGAIN", EAGAIN},       {"EINTR", EINTR},     {"ENOMEM", ENOMEM},
    {"ENOTCONN", ENOTCONN}, {"EINVAL", EINVAL},       {"EFAULT", EFAULT},   {"EPERM", EPERM},
    {"EACCES", EACCES},     {"ENOENT", ENOENT},
};

// The kernel takes a FUSE reply's error only below ERESTARTSYS (512).
constexpr int kLargestCarried = 511;

}  // namespace

const ErrnoName* injectableErrors(size_t* count) {
    *count = sizeof kInjectable / sizeof kInjectable[0];
    return kInjectable;
}

int injectableErrno(const std::string& text) {
    long long number = 0;
    std::string ignored;
    const bool numeric = tools::parseInteger(text, 1, kLargestCarried, &number, &ignored);
    for (const ErrnoName& e : kInjectable) {
        if (text == e.name || (numeric && number == e.value)) {
            return e.value;
        }
    }
    return -1;
}

const char* injectableErrnoName(int value) {
    for (const ErrnoName& e : kInjectable) {
        if (e.value == value) {
            return e.name;
        }
    }
    return nullptr;
}

int carriedErrno(int err) { return err > 0 && err <= kLargestCarried ? err : EIO; }

}  // namespace yarvo::sim
