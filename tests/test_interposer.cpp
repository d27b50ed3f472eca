// The in-process transport: sysfs texts, board nodes, the transfer request
// and descriptors, as a program sees them through plain libc calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "cabinet.h"
#include "wire.h"
#include "yarvo.h"

namespace {

using yarvo::sim::VirtualCabinet;
using yarvo::wire::TransferBlock;

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// Reads a whole file with fopen/fread, or returns false with errno kept.
bool readText(const char* path, std::string* text) {
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        return false;
    }
    char buffer[256];
    const size_t n = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    text->assign(buffer, n);
    return true;
}

// The same with open/read/close.
bool readTextFd(const char* path, std::string* text) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    text->assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return true;
}

mode_t umaskNow() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

TransferBlock requestBlock(uint8_t command) {
    TransferBlock block{};
    block.word0 = 2;
    block.word1 = 6;
    block.requestLength = 1;
    block.responseLength = 257;
    block.buffer[0] = command;
    return block;
}

TEST(Interposer, ServesAttributeTextsAndRefusesOthers) {
    VirtualCabinet cab;
    cab.board(0);
    cab.board(3).speed("480\n").product("K-Mora Yarvo Board rev B\n");
    cab.board(5);
    cab.driver().unplug(5);
    cab.board(6).product("");

    struct Case {
        const char* path;
        bool opens;
        const char* text;
    } cases[] = {
        {"/sys/class/Kmora/Kmora_0/device/product", true, "K-Mora Yarvo Board\n"},
        {"/sys/class/Kmora/Kmora_0/device/speed", true, "12\n"},
        {"/sys/class/Kmora/Kmora_3/device/speed", true, "480\n"},
        {"/sys/class/Kmora/Kmora_6/device/product", true, ""},
        {"/sys/class/Kmora/Kmora_1/device/product", false, nullptr},   // absent
        {"/sys/class/Kmora/Kmora_5/device/product", false, nullptr},   // unplugged
        {"/sys/class/Kmora/Kmora_0/device/serial", false, nullptr},
        {"/sys/class/Kmora", false, nullptr},
    };
    const int before = openDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        for (auto read : {readText, readTextFd}) {
            std::string text;
            errno = 0;
            ASSERT_EQ(read(c.path, &text), c.opens);
            if (c.opens) {
                EXPECT_EQ(text, c.text);
            } else {
                EXPECT_EQ(errno, ENOENT);
            }
        }
    }
    EXPECT_EQ(openDescriptors(), before);
    // fopen64 serves the same texts; writing is refused.
    FILE* f = fopen64("/sys/class/Kmora/Kmora_3/device/speed", "r");
    ASSERT_NE(f, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, f), 4u);
    EXPECT_STREQ(buffer, "480\n");
    std::fclose(f);
    EXPECT_EQ(std::fopen("/sys/class/Kmora/Kmora_0/device/speed", "w"), nullptr);
    EXPECT_EQ(::open("/sys/class/Kmora/Kmora_0/device/speed", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
}

TEST(Interposer, NodeOpenTransferCloseRoundTrip) {
    VirtualCabinet cab;
    cab.board(2).address(5).inputs(0x8005);
    const int before = openDescriptors();

    const int fd = ::open("/dev/Kmora_2", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(openDescriptors(), before + 1);

    TransferBlock block = requestBlock(yarvo::wire::kCmdInputReport);
    ASSERT_EQ(::ioctl(fd, 0xC2108100UL, &block), 0);
    EXPECT_EQ(block.responseLength, 5u);
    const uint8_t expected[] = {20, 0, 0x05, 0x80, 0x05};
    EXPECT_EQ(0, std::memcmp(block.buffer, expected, sizeof expected));

    // Another request on the node is not the driver's; one the kernel
    // answers for any file is answered as for any file.
    errno = 0;
    EXPECT_EQ(::ioctl(fd, 0xC2108101UL, &block), -1);
    EXPECT_EQ(errno, ENOTTY);
    int pending = -1;
    EXPECT_EQ(::ioctl(fd, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0);

    // A failing transfer reaches the caller as -1 and the driver's errno.
    cab.driver().failNext(2, EIO);
    block = requestBlock(yarvo::wire::kCmdInputReport);
    errno = 0;
    EXPECT_EQ(::ioctl(fd, 0xC2108100UL, &block), -1);
    EXPECT_EQ(errno, EIO);
    cab.driver().unplug(2);
    errno = 0;
    EXPECT_EQ(::ioctl(fd, 0xC2108100UL, &block), -1);
    EXPECT_EQ(errno, ENODEV);

    const auto log = cab.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].instance, 2u);
    EXPECT_EQ(log[0].command, 20);
    EXPECT_EQ(log[1].error, EIO);
    EXPECT_EQ(log[2].error, ENODEV);

    EXPECT_EQ(::close(fd), 0);
    EXPECT_EQ(openDescriptors(), before);
    // The descriptor is gone: it is neither a node nor a file any more.  (The
    // board request is not checked for EBADF: qemu-user, which runs the i386
    // suite on kernels without 32-bit support, refuses requests it does not
    // know before it looks at the descriptor.)
    EXPECT_EQ(::ioctl(fd, 0xC2108100UL, &block), -1);
    EXPECT_EQ(cab.driver().transferCount(), 3u);
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Interposer, NodeOpenFailures) {
    VirtualCabinet cab;
    cab.board(0);
    cab.board(1).nodeRefuses();
    cab.board(4);
    cab.driver().unplug(4);
    struct Case {
        const char* path;
        int error;
    } cases[] = {
        {"/dev/Kmora_1", EACCES},  {"/dev/Kmora_2", ENOENT},  {"/dev/Kmora_4", ENOENT},
        {"/dev/Kmora_16", ENOENT}, {"/dev/Kmora_00", ENOENT}, {"/dev/Kmora_", ENOENT},
    };
    const int before = openDescriptors();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        EXPECT_EQ(::open(c.path, O_RDWR), -1);
        EXPECT_EQ(errno, c.error);
        errno = 0;
        EXPECT_EQ(::openat(AT_FDCWD, c.path, O_RDWR), -1);
        EXPECT_EQ(errno, c.error);
    }
    EXPECT_EQ(openDescriptors(), before);
    // The other entry points open served nodes too.
    for (int fd : {::open64("/dev/Kmora_0", O_RDWR), ::openat(AT_FDCWD, "/dev/Kmora_0", O_RDWR),
                   ::openat64(AT_FDCWD, "/dev/Kmora_0", O_RDWR)}) {
        ASSERT_GE(fd, 0);
        TransferBlock block = requestBlock(yarvo::wire::kCmdPowerStatus);
        EXPECT_EQ(::ioctl(fd, 0xC2108100UL, &block), 0);
        EXPECT_EQ(::close(fd), 0);
    }
    EXPECT_EQ(cab.driver().transferCount(), 3u);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Interposer, OtherPathsAndDescriptorsReachLibc) {
    VirtualCabinet cab;
    cab.board(0);
    const std::string path = "/tmp/yarvo-interposer-" + std::to_string(::getpid());
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0640);   // the mode goes along
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "abc", 3), 3);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u & ~umaskNow());
    int pipes[2];
    ASSERT_EQ(::pipe(pipes), 0);
    ASSERT_EQ(::write(pipes[1], "xy", 2), 2);
    int pending = -1;
    EXPECT_EQ(::ioctl(pipes[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 2);
    for (int d : {pipes[0], pipes[1], fd}) {
        EXPECT_EQ(::close(d), 0);
    }
    std::string text;
    ASSERT_TRUE(readText(path.c_str(), &text));
    EXPECT_EQ(text, "abc");
    std::remove(path.c_str());
    EXPECT_EQ(std::fopen("/nonexistent/yarvo", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(cab.driver().transferCount(), 0u);
}

TEST(Interposer, LibraryOpensBoardAndReleasesDescriptor) {
    VirtualCabinet cab;
    cab.board(1).address(2).inputs(0x0001);
    const int before = openDescriptors();
    {
        Yarvo board;
        ASSERT_TRUE(board.InitUSBBoard(2));
        unsigned short low = 0;
        unsigned char high = 0;
        ASSERT_TRUE(board.GetInputs(&low, &high));
        EXPECT_EQ(low, 1);
        EXPECT_EQ(high, 2);
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(cab.driver().log(1).size(), 2u);
}

}  // namespace
