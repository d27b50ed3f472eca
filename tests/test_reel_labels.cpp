// The live view's reel types: read through the library's loader and decoder
// (so hostile files fail with a message instead of crashing the view), under
// the tools' limits on what a reel-definition file may be.  Built where
// yarvo-sim's view is (the tools).
#if __has_include("reel_labels.h")
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "reel_labels.h"

namespace {

namespace fs = std::filesystem;
using yarvo::simtool::SymbolStrips;

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

std::string reelDef(const std::string& type, const std::string& steps = "48") {
    return "<reel-def type=\"" + type +
           "\"><params position-detection-method=\"1\" tamper-detection-method=\"0\" duty-cycle-off=\"40\" "
           "duty-cycle-on=\"200\" tab-width=\"6\" tab-type=\"1\" tab-offset=\"0\" error-deadband=\"3\"/>"
           "<symbol-table steps-per-turn=\"" + steps + "\" symbols-per-turn=\"2\" s000=\"0\" s001=\"48\"/>"
           "<ramp-table speed=\"100\" step-type=\"half\"><ramp-up num-entries=\"1\" r000=\"9\"/>"
           "<ramp-down num-entries=\"0\"/></ramp-table></reel-def>";
}

class ReelLabels : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/yarvo-labels-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& bytes, const std::string& name = "reels.xml") {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    fs::path dir;
};

TEST_F(ReelLabels, ReadsTheTypesAHostCanConfigure) {
    SymbolStrips strips;
    std::string error;
    ASSERT_TRUE(strips.load(YARVO_EXAMPLE_REEL_FILE, &error)) << error;
    EXPECT_EQ(strips.types(), (std::vector<std::string>{"band-a", "classic-12", "classic-20", "deluxe-22"}));
    const auto* classic = strips.find("CLASSIC-12");
    ASSERT_NE(classic, nullptr);
    EXPECT_EQ(classic->turnLength, 96u);
    ASSERT_EQ(classic->positions.size(), 12u);
    EXPECT_EQ(classic->positions[11], 88u);
    EXPECT_EQ(classic->definition.rampTableCount, 3u);

    // As the library reads it: the first of a name, nothing a decode
    // rejects, nothing behind a reel-def without type.
    ASSERT_TRUE(strips.load(write("<tamso-reel-definitions>" + reelDef("a", "40000") + reelDef("b") +
                                  reelDef("B", "96") + "<reel-def/>" + reelDef("c") + "</tamso-reel-definitions>"),
                            &error))
        << error;
    EXPECT_EQ(strips.types(), (std::vector<std::string>{"b"}));
    EXPECT_EQ(strips.find("b")->turnLength, 96u);
}

// Each fails with a message that says what is wrong, at once and without
// reading past the file (the view used to crash on the first two).
TEST_F(ReelLabels, RefusesHostileFilesAndNonFilesWithAReason) {
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = write("", "large.xml");
    ASSERT_EQ(truncate(large.c_str(), (64ll << 20) + 1), 0);
    const struct {
        const char* what;
        std::string path;
        const char* words;
    } cases[] = {
        {"300,000 nested elements", write(repeat("<a>", 300000), "deep.xml"), "nested deeper than 64"},
        {"a UTF-8 character cut short in text",
         std::string(YARVO_REEL_FILE_REGRESSIONS) + "/utf8-cut-in-text.xml", "cut short"},
        {"an unclosed root", write("<tamso-reel-definitions>\n" + reelDef("a"), "open.xml"),
         "open.xml:1:1: the file ends before this element 'tamso-reel-definitions' is closed"},
        {"no type a host can configure", write("<tamso-reel-definitions>" + reelDef("a", "-1") + "</tamso-reel-definitions>"),
         "no reel type the library can configure"},
        {"a missing file", (dir / "absent.xml").string(), "cannot open"},
        {"a FIFO", fifo, "is a FIFO, not a reel-definition file"},
        {"a directory", dir.string(), "is a directory"},
        {"a device", "/dev/null", "is a character device"},
        {"a file above 64 MiB", large, "more than the 64 MiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SymbolStrips strips;
        std::string error;
        EXPECT_FALSE(strips.load(c.path, &error));
        EXPECT_NE(error.find(c.words), std::string::npos) << error;
        EXPECT_TRUE(strips.empty());
    }
}

}  // namespace

#endif
