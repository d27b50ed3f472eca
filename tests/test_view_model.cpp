// The live view's reel types told from what a host sent when it configured
// its reels through the library, against the reel types of a file: one
// match, several (a guess), none, and the --reel-types override.  Built
// where yarvo-sim's view is (the tools).
#if __has_include("view_model.h")
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "cabinet.h"
#include "view_model.h"
#include "yarvo.h"

namespace {

using namespace yarvo::simtool;
using yarvo::sim::VirtualCabinet;

// A reel type: its tab width sets it apart, `symbol1` where its second
// symbol sits; two speeds whose ramp tables differ.
std::string reelDef(const std::string& type, int tabWidth, int symbol1) {
    return "<reel-def type=\"" + type +
           "\"><params position-detection-method=\"1\" tamper-detection-method=\"0\" duty-cycle-off=\"40\" "
           "duty-cycle-on=\"200\" tab-width=\"" + std::to_string(tabWidth) +
           "\" tab-type=\"1\" tab-offset=\"0\" error-deadband=\"3\"/>"
           "<symbol-table steps-per-turn=\"48\" symbols-per-turn=\"2\" s000=\"0\" s001=\"" + std::to_string(symbol1) +
           "\"/><ramp-table speed=\"100\" step-type=\"half\"><ramp-up num-entries=\"1\" r000=\"9\"/>"
           "<ramp-down num-entries=\"0\"/></ramp-table><ramp-table speed=\"200\" step-type=\"full\">"
           "<ramp-up num-entries=\"2\" r000=\"5\" r001=\"4\"/><ramp-down num-entries=\"1\" r000=\"6\"/>"
           "</ramp-table></reel-def>";
}

class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/yarvo-view-model-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
        std::ofstream(path) << text;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

TEST(SimViewModel, ReelTypesAreMatchedFromTheHostsSetUp) {
    // The view knows solo and the twins (same set-up, other symbols); the
    // host also has "far", which the view's file lacks.
    const std::string known = reelDef("solo", 6, 48) + reelDef("twin-a", 7, 48) + reelDef("twin-b", 7, 24);
    const TempFile viewFile("<tamso-reel-definitions>" + known + "</tamso-reel-definitions>");
    const TempFile hostFile("<tamso-reel-definitions>" + known + reelDef("far", 8, 48) + "</tamso-reel-definitions>");

    VirtualCabinet cab;
    cab.board(0).speed("480\n").address(2);
    Yarvo host;
    ASSERT_TRUE(host.Init());
    std::string path = hostFile.path;
    ASSERT_TRUE(host.VendorSetReelFilePath(&path[0]));
    ASSERT_TRUE(host.ConfigureReels(8, 96, 1, 50, 0));   // reel 4 stays declared only
    const struct {
        unsigned char reel;
        const char* configured;   // by the host; null: declared only
        const char* named;        // --reel-types for this reel; "" none
        const char* shown;
        TypeSource source;
        const char* symbol;       // at rest on position 0
    } cases[] = {
        {0, "solo", "", "solo", TypeSource::Matched, "#0"},
        {1, "twin-b", "", "twin-a?", TypeSource::Guessed, "#0"},
        {2, "far", "", "-", TypeSource::None, "-"},
        {3, "solo", "twin-b", "twin-b", TypeSource::Named, "#0"},
        {4, nullptr, "", "-", TypeSource::None, "-"},
    };
    ReelLabels labels;
    std::string error;
    ASSERT_TRUE(labels.strips.load(viewFile.path, &error)) << error;
    labels.matcher = ReelTypeMatcher(labels.strips);
    ASSERT_TRUE(labels.assignment.add(",,,twin-b", &error)) << error;
    for (const auto& c : cases) {
        if (c.configured != nullptr) {
            std::string type = c.configured;
            ASSERT_TRUE(host.VendorConfigureReel(c.reel, &type[0])) << type;
        }
    }
    // Reel 0 turns at its second speed: the ramp tables now on the board are
    // that speed's, and the type still matches.
    ASSERT_TRUE(host.VendorSpinReelToSymbol(0, 1, 200));
    cab.advance(std::chrono::seconds(2));

    const BoardFrame frame = captureBoard(cab.driver(), 0, labels);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reel);
        const ReelRow& row = frame.reels[c.reel];
        EXPECT_EQ(typeText(row), c.shown);
        EXPECT_EQ(row.typeSource, c.source);
        EXPECT_EQ(symbolText(row), c.reel == 0 ? "#1" : c.symbol);
    }

    // The board line, and one summary line per reel the host touched.
    EXPECT_EQ(boardText(frame), "board 0: plugged in, address 2, USB high speed (480)");
    const std::vector<std::string> summary = reelSummary(frame);
    ASSERT_EQ(summary.size(), 4u);   // reel 4 was only declared: never set up, never turned
    EXPECT_EQ(summary[0], "board 0 reel 0: solo, position 48/96, symbol #1, stopped");
    EXPECT_EQ(summary[1], "board 0 reel 1: twin-a?, position 0/96, symbol #0, stopped");
    EXPECT_EQ(summary[2], "board 0 reel 2: type unknown, position 0/96, symbol -, stopped");

    // The status command names symbols of matched reels too.
    const std::string status = yarvo::sim::statusLine(cab.driver().snapshot(0), symbolNamer(&labels, cab.driver()));
    EXPECT_NE(status.find("reel0=48/96,stopped,symbol1"), std::string::npos) << status;
    EXPECT_NE(status.find("reel2=0/96,stopped reel3"), std::string::npos) << status;
}

}  // namespace
#endif
