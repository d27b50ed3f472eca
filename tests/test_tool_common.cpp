// What the tools share (tools/common): the one number parser, the errno
// values the transports carry, and the one way to open a file written for
// people.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "numbers.h"
#include "output_file.h"
#include "transport.h"

namespace {

TEST(ToolNumbers, DecimalOrHexadecimalNeverOctalNeverWrapped) {
    const struct {
        const char* text;
        long long min, max;
        bool ok;
        long long value;
        const char* errorPart;
    } cases[] = {
        {"010", 0, UINT32_MAX, true, 10, ""},
        {"0x10", 0, UINT32_MAX, true, 16, ""},
        {"0XfF", 0, 255, true, 255, ""},
        {"-300", -128, 255, false, 0, "out of range (-128 to 255)"},
        {"-128", -128, 255, true, -128, ""},
        {"-0x80", -128, 255, true, -128, ""},
        {"+7", 0, 7, true, 7, ""},
        {"4294967297", 0, UINT32_MAX, false, 0, "out of range"},
        {"99999999999999999999999", 0, UINT32_MAX, false, 0, "out of range"},
        {"-9223372036854775808", LLONG_MIN, 0, true, LLONG_MIN, ""},
        {"9223372036854775808", 0, LLONG_MAX, false, 0, "out of range"},
        {"1e3", 0, 10000, false, 0, "not a number"},
        {"0x", 0, 10, false, 0, "not a number"},
        {"", 0, 10, false, 0, "not a number"},
        {"-", -5, 10, false, 0, "not a number"},
        {" 5", 0, 10, false, 0, "not a number"},
        {"5,", 0, 10, false, 0, "not a number"},
        {"0x1g", 0, 100, false, 0, "not a number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        long long value = 12345;
        std::string error;
        ASSERT_EQ(yarvo::tools::parseInteger(c.text, c.min, c.max, &value, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        } else {
            EXPECT_EQ(value, 12345);
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        }
    }
    unsigned long long bits = 0;
    std::string error;
    EXPECT_TRUE(yarvo::tools::parseHexadecimal("ff0001", 0xFFFFFF, &bits, &error));
    EXPECT_EQ(bits, 0xFF0001u);
    EXPECT_FALSE(yarvo::tools::parseHexadecimal("1000000", 0xFFFFFF, &bits, &error));
    EXPECT_NE(error.find("above FFFFFF"), std::string::npos) << error;
}

// What the kernel path can carry back from a FUSE request reaches the host
// unchanged; anything else as EIO, so that no request is left unanswered.
TEST(ToolNumbers, ErrnoValuesTheTransportsCarry) {
    const struct {
        const char* text;
        int injectable;
    } names[] = {{"ETIMEDOUT", ETIMEDOUT}, {"110", ETIMEDOUT}, {"0x6e", ETIMEDOUT}, {"EIO", EIO},
                 {"ENOSYS", -1},          {"600", -1},        {"4095", -1},        {"-5", -1}};
    for (const auto& n : names) {
        EXPECT_EQ(yarvo::sim::injectableErrno(n.text), n.injectable) << n.text;
    }
    for (const int err : {EIO, ETIMEDOUT, ENODEV, EINTR, 511}) {
        EXPECT_EQ(yarvo::sim::carriedErrno(err), err);
    }
    for (const int err : {0, -5, 512, 600, 4095}) {
        EXPECT_EQ(yarvo::sim::carriedErrno(err), EIO) << err;
    }
}

std::string contents(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Never through a symbolic link, never a file with other hard links;
// emptied only when it is our own regular file; a FIFO nobody reads yet
// opens at once.
TEST(ToolOutputFile, OpensOnlyWhatIsOurs) {
    char dir[] = "/tmp/yarvo-output.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string d = dir;
    std::ofstream(d + "/target") << "keep me\n";
    ASSERT_EQ(::symlink((d + "/target").c_str(), (d + "/link").c_str()), 0);
    std::ofstream(d + "/linked") << "keep me too\n";
    ASSERT_EQ(::link((d + "/linked").c_str(), (d + "/second-name").c_str()), 0);
    std::ofstream(d + "/mine") << "old\n";
    ASSERT_EQ(::mkfifo((d + "/fifo").c_str(), 0600), 0);

    const struct {
        const char* name;
        bool truncate;
        bool opens;
        const char* errorPart;
        const char* after;   // the file's contents afterwards (nullptr: not a plain file)
    } cases[] = {
        {"link", true, false, "is a symbolic link", "keep me\n"},
        {"second-name", true, false, "other hard links", "keep me too\n"},
        {"mine", false, true, "", "old\n"},
        {"mine", true, true, "", ""},
        {"new", true, true, "", ""},
        {"fifo", true, true, "", nullptr},
        {"missing-dir/log", true, false, "cannot open", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        yarvo::tools::OutputFileOptions options;
        options.truncate = c.truncate;
        options.nonBlocking = true;
        std::string error;
        const int fd = yarvo::tools::openOutputFile(d + "/" + c.name, options, &error);
        EXPECT_EQ(fd >= 0, c.opens) << error;
        if (fd >= 0) {
            EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
            ::close(fd);
        } else {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        }
        if (c.after != nullptr) {
            EXPECT_EQ(contents(d + "/" + (std::string(c.name) == "link" ? "target" : c.name)), c.after);
        }
    }
    for (const char* name : {"target", "link", "linked", "second-name", "mine", "new", "fifo"}) {
        ::unlink((d + "/" + name).c_str());
    }
    ::rmdir(dir);
}

}  // namespace
