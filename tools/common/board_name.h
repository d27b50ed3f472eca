// The one reader of board names as the kernel driver writes them: "Kmora_N",
// N the driver instance 0 to 15 in decimal without leading zeros.  The
// virtual driver (sysfs paths, /dev/Kmora_N), the board file system and the
// tracer all go through it.  Header only: the tracer, which is preloaded
// into other programs, uses it without a library of ours.
#ifndef YARVO_TOOLS_BOARD_NAME_H
#define YARVO_TOOLS_BOARD_NAME_H

#include <cstring>

namespace yarvo::names {

constexpr unsigned kBoardInstances = 16;
constexpr char kBoardPrefix[] = "Kmora_";
constexpr char kNodeDirectory[] = "/dev/";
constexpr char kClassDirectory[] = "/sys/class/Kmora";

// Reads "Kmora_N" at the start of `text`: the instance, and in *end the
// first character after N.  -1 when `text` does not start with a board name
// (no digits, a leading zero, more than two digits, N above 15).
inline int boardNamePrefix(const char* text, const char** end) {
    const size_t prefix = sizeof kBoardPrefix - 1;
    if (text == nullptr || std::strncmp(text, kBoardPrefix, prefix) != 0) {
        return -1;
    }
    const char* p = text + prefix;
    const char* first = p;
    unsigned value = 0;
    while (*p >= '0' && *p <= '9') {
        if (p - first == 2) {
            return -1;
        }
        value = value * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    if (p == first || (p - first > 1 && *first == '0') || value >= kBoardInstances) {
        return -1;
    }
    if (end != nullptr) {
        *end = p;
    }
    return static_cast<int>(value);
}

// The instance of exactly "Kmora_N", or -1.
inline int boardName(const char* text) {
    const char* end = nullptr;
    const int instance = boardNamePrefix(text, &end);
    return instance >= 0 && *end == '\0' ? instance : -1;
}

// The instance of exactly "/dev/Kmora_N", or -1.
inline int boardNode(const char* path) {
    const size_t n = sizeof kNodeDirectory - 1;
    return path != nullptr && std::strncmp(path, kNodeDirectory, n) == 0 ? boardName(path + n) : -1;
}

// How a host reads a board's speed attribute (the library's rule): text
// beginning "12" is full speed, "480" high speed, anything else neither.
inline const char* usbSpeedName(const char* text) {
    if (text != nullptr && std::strncmp(text, "12", 2) == 0) {
        return "full";
    }
    if (text != nullptr && std::strncmp(text, "480", 3) == 0) {
        return "high";
    }
    return "unusable";
}

}  // namespace yarvo::names

#endif
