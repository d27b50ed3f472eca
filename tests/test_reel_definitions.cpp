// Reel definitions: decoding the reel-definition file, finding a reel type,
// configuring a reel from it, and loading the file.  Decoded values are
// checked where they become visible on the wire: command 51 (reel
// parameters), 44 (duty cycle), 42/43 (ramp tables), and through the
// symbol-level commands 50 (stop at a symbol's position) and 48 (skill start).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cabinet.h"
#include "yarvo.h"

namespace {

namespace fs = std::filesystem;
using yarvo::sim::Fault;
using yarvo::sim::VirtualCabinet;
using Bytes = std::vector<uint8_t>;

std::string ramp(const std::string& name, const std::vector<int>& entries, int count = -1) {
    std::string s = "<" + name + " num-entries=\"" +
                    std::to_string(count < 0 ? int(entries.size()) : count) + "\"";
    char attr[32];
    for (size_t i = 0; i < entries.size(); ++i) {
        std::snprintf(attr, sizeof attr, " r%03zu=\"%d\"", i, entries[i]);
        s += attr;
    }
    return s + "/>";
}

std::string rampTable(int speed, const std::string& stepType, const std::vector<int>& up,
                      const std::vector<int>& down) {
    return "<ramp-table speed=\"" + std::to_string(speed) + "\" step-type=\"" + stepType + "\">" +
           ramp("ramp-up", up) + ramp("ramp-down", down) + "</ramp-table>";
}

// A small, valid reel type; a test rewrites one piece of it (`from` must occur).
std::string probe(const std::string& type = "probe", const std::string& from = "",
                  const std::string& to = "") {
    std::string s =
        "<reel-def type=\"" + type + "\">"
        "<params position-detection-method=\"1\" tamper-detection-method=\"0\" "
        "duty-cycle-off=\"40\" duty-cycle-on=\"200\" tab-width=\"6\" tab-type=\"1\" "
        "tab-offset=\"0\" error-deadband=\"3\"/>"
        "<symbol-table steps-per-turn=\"48\" symbols-per-turn=\"4\" s000=\"0\" s001=\"24\" "
        "s002=\"48\" s003=\"72\"/>" +
        rampTable(100, "half", {90, 60, 40}, {60, 90}) + "</reel-def>";
    if (!from.empty()) {
        const size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
    }
    return s;
}

std::string doc(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<tamso-reel-definitions>" + body + "</tamso-reel-definitions>\n";
}

class ReelDefinitions : public ::testing::Test {
protected:
    void SetUp() override {
        cab.board(0);
        ASSERT_TRUE(yarvo.Init());
        char tmpl[] = "/tmp/yarvo-defs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& text, const std::string& name = "defs.xml") {
        const std::string path = (dir / name).string();
        std::ofstream(path) << text;
        return path;
    }
    bool setPath(Yarvo& y, std::string path) { return y.VendorSetReelFilePath(&path[0]); }
    bool load(const std::string& body) { return setPath(yarvo, write(doc(body))); }
    bool configure(unsigned char reel, std::string type, Yarvo* y = nullptr) {
        cab.clearLog();
        return (y ? *y : yarvo).VendorConfigureReel(reel, &type[0]);
    }
    Bytes commands() {
        Bytes c;
        for (const auto& r : cab.log()) c.push_back(r.command);
        return c;
    }
    Bytes sent(uint8_t command) {
        for (const auto& r : cab.log())
            if (r.command == command) return r.payload;
        return {};
    }
    // Position sent by a stop on `symbol`, or -1 when the stop was refused.
    int symbolPosition(unsigned symbol) {
        cab.clearLog();
        if (!yarvo.VendorStopReelSpinAtPosition(0, symbol)) return -1;
        const Bytes p = sent(50);
        return p.size() == 3 ? (p[1] << 8 | p[2]) : -2;
    }
    bool configured(unsigned char reel) { return yarvo.SetReelLamps(reel, false); }

    VirtualCabinet cab;
    Yarvo yarvo;
    fs::path dir;
};

TEST_F(ReelDefinitions, RejectsMissingOrInvalidItems) {
    struct Case { std::string from, to; KReelMsg code; };
    const Case cases[] = {
        {"<params ", "<Params ", ReelMsgReelDataError},
        {"<params ", "<params/><params ", ReelMsgReelDataError},  // only the first is read
        {"position-detection-method=\"1\"", "", ReelMsgReelDataError},
        {"tamper-detection-method=\"0\"", "", ReelMsgReelDataError},
        {"duty-cycle-off=\"40\"", "", ReelMsgReelDataError},
        {"duty-cycle-on=\"200\"", "", ReelMsgReelDataError},
        {"tab-width=\"6\"", "", ReelMsgReelDataError},
        {"tab-type=\"1\"", "", ReelMsgReelDataError},
        {"tab-offset=\"0\"", "", ReelMsgReelDataError},
        {"error-deadband=\"3\"", "error-deadband=\"x3\"", ReelMsgReelDataError},
        {"<symbol-table ", "<symbol-Table ", ReelMsgReelDataError},
        {"steps-per-turn=\"48\"", "", ReelMsgReelDataError},
        {"symbols-per-turn=\"4\"", "", ReelMsgReelDataError},
        {"steps-per-turn=\"48\"", "steps-per-turn=\"32768\"", ReelMsgReelDataError},  // a turn beyond 16 bits
        {"steps-per-turn=\"48\"", "steps-per-turn=\"40000\"", ReelMsgReelDataError},
        {"steps-per-turn=\"48\"", "steps-per-turn=\"-1\"", ReelMsgReelDataError},
        {"symbols-per-turn=\"4\"", "symbols-per-turn=\"201\"", ReelMsgReelDataError},
        {"symbols-per-turn=\"4\"", "symbols-per-turn=\"457\"", ReelMsgReelDataError},  // stores 201
        {"s000=\"0\"", "s0=\"0\"", ReelMsgReelDataError},
        {"s003=\"72\"", "", ReelMsgReelDataError},
        {rampTable(100, "half", {90, 60, 40}, {60, 90}), "<ramp-tables/>", ReelMsgReelDataError},
        {"speed=\"100\"", "", ReelMsgReelDataError},
        {"step-type=\"half\"", "", ReelMsgReelDataError},
        {"step-type=\"half\"", "step-type=\"quarter\"", ReelMsgReelDataError},
        {"<ramp-up ", "<rampup ", ReelMsgReelDataError},
        {"<ramp-down ", "<Ramp-down ", ReelMsgReelDataError},
        {"num-entries=\"3\"", "num-entries=\"61\"", ReelMsgReelDataError},
        {"num-entries=\"3\"", "num-entries=\"317\"", ReelMsgReelDataError},  // stores 61
        {"num-entries=\"2\"", "", ReelMsgReelDataError},
        {"r002=\"40\"", "", ReelMsgReelDataError},
        {"type=\"probe\"", "kind=\"probe\"", ReelMsgReelTypeNotFound},
        {"type=\"probe\"", "type=\"probe2\"", ReelMsgReelTypeNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from + " -> " + c.to);
        ASSERT_TRUE(load(probe("probe", c.from, c.to)));
        EXPECT_FALSE(configure(0, "probe"));
        EXPECT_EQ(yarvo.GetLastError(), c.code);
        EXPECT_TRUE(cab.log().empty());
        EXPECT_FALSE(configured(0));
    }
}

TEST_F(ReelDefinitions, StoresValuesAtTheirWidthAndReadsFirstOfName) {
    std::vector<int> sixty(60, 7), fortyFour(44, 9);
    struct Case { std::string from, to; uint8_t command; size_t length, index; uint8_t value; };
    const Case cases[] = {
        {"tab-width=\"6\"", "tab-width=\"-1\"", 51, 9, 3, 255},
        {"tab-width=\"6\"", "tab-width=\"0x1F\"", 51, 9, 3, 0},
        {"tab-offset=\"0\"", "tab-offset=\"12abc\"", 51, 9, 4, 12},
        {"tab-type=\"1\"", "tab-type=\"258\"", 51, 9, 5, 2},
        {"position-detection-method=\"1\"", "position-detection-method=\"-2\"", 51, 9, 6, 0xFE},
        {"tamper-detection-method=\"0\"", "tamper-detection-method=\"513\"", 51, 9, 7, 1},
        {"error-deadband=\"3\"", "error-deadband=\"300\"", 51, 9, 8, 44},
        {"steps-per-turn=\"48\"", "steps-per-turn=\"200\"", 51, 9, 1, 0x01},
        {"steps-per-turn=\"48\"", "steps-per-turn=\"200\"", 51, 9, 2, 0x90},
        {"steps-per-turn=\"48\"", "steps-per-turn=\"32767\"", 51, 9, 1, 0xFF},  // a turn of 65534
        {"steps-per-turn=\"48\"", "steps-per-turn=\"32767\"", 51, 9, 2, 0xFE},
        {"duty-cycle-on=\"200\"", "duty-cycle-on=\"257\"", 44, 3, 2, 1},
        {"r002=\"40\"", "r002=\"300\"", 42, 5, 4, 44},
        {"r002=\"40\"", "r002=\"-1\" r003=\"5\"", 42, 5, 4, 255},  // r003 beyond the count
        {"<ramp-up num-entries=\"3\" r000=\"90\" r001=\"60\" r002=\"40\"/>",
         ramp("ramp-up", sixty), 42, 62, 1, 60},
        {"<ramp-up num-entries=\"3\" r000=\"90\" r001=\"60\" r002=\"40\"/>",
         ramp("ramp-up", fortyFour, 300), 42, 46, 1, 44},
        {"<ramp-down num-entries=\"2\" r000=\"60\" r001=\"90\"/>", ramp("ramp-down", {}), 43, 2, 1, 0},
        {"<params ", "<!--params--><note/><params ", 51, 9, 3, 6},
        {"<symbol-table ", "<params position-detection-method=\"9\" tamper-detection-method=\"9\" "
         "duty-cycle-off=\"9\" duty-cycle-on=\"9\" tab-width=\"99\" tab-type=\"9\" "
         "tab-offset=\"9\" error-deadband=\"9\"/><symbol-table ", 51, 9, 3, 6},
        {"</reel-def>", "<symbol-table steps-per-turn=\"200\" symbols-per-turn=\"0\"/></reel-def>",
         51, 9, 2, 0x60},
        {"<ramp-down ", "<ramp-up num-entries=\"1\" r000=\"9\"/><ramp-down ", 42, 5, 1, 3},
        {"step-type=\"half\"", "step-type=\"HALF\"", 42, 5, 2, 90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from + " -> " + c.to);
        ASSERT_TRUE(load(probe("probe", c.from, c.to)));
        ASSERT_TRUE(configure(0, "probe")) << yarvo.GetLastError();
        const Bytes p = sent(c.command);
        ASSERT_EQ(p.size(), c.length);
        EXPECT_EQ(p[c.index], c.value);
    }
}

TEST_F(ReelDefinitions, SymbolCountsAndStepTypesAsTheSymbolCommandsSeeThem) {
    std::string many = "<symbol-table steps-per-turn=\"200\" symbols-per-turn=\"456\"";  // 200 symbols
    char attr[32];
    for (int i = 0; i < 200; ++i) many += (std::snprintf(attr, sizeof attr, " s%03d=\"%d\"", i, 2 * i), attr);
    const std::string table = "<symbol-table steps-per-turn=\"48\" symbols-per-turn=\"4\" s000=\"0\" "
                              "s001=\"24\" s002=\"48\" s003=\"72\"/>";
    struct Case { std::string from, to; unsigned symbol; int position; };
    const Case cases[] = {
        {"symbols-per-turn=\"4\"", "symbols-per-turn=\"0\"", 0, -1},
        {"symbols-per-turn=\"4\"", "symbols-per-turn=\"256\"", 0, -1},
        {"symbols-per-turn=\"4\"", "symbols-per-turn=\"3\"", 2, 48},
        {"symbols-per-turn=\"4\"", "symbols-per-turn=\"3\"", 3, -1},
        {table, many + "/>", 199, 398},
        {table, many + "/>", 200, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to.substr(0, 40) + " symbol " + std::to_string(c.symbol));
        ASSERT_TRUE(load(probe("probe", c.from, c.to)));
        ASSERT_TRUE(configure(0, "probe"));
        EXPECT_EQ(symbolPosition(c.symbol), c.position);
    }
    for (const char* stepType : {"Full", "fULL", "HALF"}) {
        SCOPED_TRACE(stepType);
        ASSERT_TRUE(load(probe("probe", "step-type=\"half\"", std::string("step-type=\"") + stepType + "\"")));
        ASSERT_TRUE(configure(0, "probe"));
        ASSERT_TRUE(yarvo.VendorSpinReelStartSkill(0, 100));
        EXPECT_EQ(sent(48), (Bytes{0, uint8_t((stepType[0] | 0x20) == 'f' ? 2 : 1)}));
    }
}

TEST_F(ReelDefinitions, TwentyFiveRampTablesAtMost) {
    for (int count : {25, 26}) {
        std::string tables;
        for (int i = 0; i < count; ++i) tables += "<!-- speed --><note/>" + rampTable(10 * (i + 1), "full", {i + 1}, {1});
        ASSERT_TRUE(load(probe("probe", rampTable(100, "half", {90, 60, 40}, {60, 90}), tables)));
        if (count == 26) {
            EXPECT_FALSE(configure(0, "probe"));
            EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelDataError);
            continue;
        }
        ASSERT_TRUE(configure(0, "probe"));
        EXPECT_EQ(sent(42), (Bytes{0, 1, 1}));  // table 0 is the first in the document
        cab.clearLog();
        ASSERT_TRUE(yarvo.VendorSpinReelStartSkill(0, 250));
        EXPECT_EQ(sent(42), (Bytes{0, 1, 25}));
    }
}

TEST_F(ReelDefinitions, FindsFirstTypeIgnoringCaseAndStopsAtATypelessReelDef) {
    const std::string noType = "<reel-def>" + probe("x").substr(std::string("<reel-def type=\"x\">").size());
    struct Case { std::string body; const char* request; int tabWidth; };  // -1: not found
    const Case cases[] = {
        {probe("band-a", "tab-width=\"6\"", "tab-width=\"11\"") + probe("BAND-A"), "Band-A", 11},
        {probe("other") + probe("band-a", "tab-width=\"6\"", "tab-width=\"13\""), "BAND-a", 13},
        {noType + probe("band-a"), "band-a", -1},
        {probe("band-a") + noType, "band-a", 6},
        {"<group>" + probe("band-a") + "</group>", "band-a", -1},
        {"", "band-a", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        ASSERT_TRUE(load(c.body));
        EXPECT_EQ(configure(1, c.request), c.tabWidth >= 0);
        if (c.tabWidth >= 0) EXPECT_EQ(sent(51).at(3), c.tabWidth);
        else EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelTypeNotFound);
    }
    ASSERT_TRUE(setPath(yarvo, write("<Tamso-reel-definitions>" + probe("band-a") + "</Tamso-reel-definitions>")));
    EXPECT_FALSE(configure(1, "band-a"));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelTypeNotFound);
}

// Once a configuration has begun rewriting a reel's record and fails (a
// rejected decode, or a board step after it), no symbol-level operation runs
// on the reel until a configuration succeeds; step-level ones go on.  A
// failure before the record is touched leaves a good definition usable.
TEST_F(ReelDefinitions, AFailedConfigurationLeavesNoUsableDefinition) {
    const std::vector<std::function<bool(Yarvo&)>> symbolLevel = {
        [](Yarvo& y) { return y.VendorSpinReelToSymbol(0, 1, 100); },
        [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(0, 1, 100); },
        [](Yarvo& y) { return y.VendorSynchroniseReel(0); },
        [](Yarvo& y) { return y.VendorSpinReelStartSkill(0, 100); },
        [](Yarvo& y) { return y.VendorSpinReelStopSkill(0); },
        [](Yarvo& y) { return y.VendorStopReelSpinAtPosition(0, 1); },
        [](Yarvo& y) { KReelStatusEx s; return y.VendorGetReelStatus(0, &s); },
    };
    // The code each symbol-level operation ends with (Ok: it succeeds).
    auto expectSymbolLevel = [&](KReelMsg code) {
        for (size_t i = 0; i < symbolLevel.size(); ++i) {
            SCOPED_TRACE(i);
            cab.clearLog();
            yarvo.GetDllVersion(nullptr);
            EXPECT_EQ(symbolLevel[i](yarvo), code == ReelMsgOk);
            if (code != ReelMsgOk) {
                EXPECT_EQ(yarvo.GetLastError(), code);
                EXPECT_TRUE(cab.log().empty());
            }
        }
    };
    // "mixed" changes the record (tab width) and then fails (s001 missing);
    // "short" fails at the same place having written only what "good" holds.
    std::string mixed = probe("mixed", "tab-width=\"6\"", "tab-width=\"7\"");
    mixed.erase(mixed.find("s001=\"24\" "), std::strlen("s001=\"24\" "));
    ASSERT_TRUE(load(probe("good") + probe("short", "s001=\"24\" ", "") + mixed +
                     probe("wide", "steps-per-turn=\"48\"", "steps-per-turn=\"32768\"") +
                     probe("bad-duty", "duty-cycle-off=\"40\"", "duty-cycle-off=\"56\"") +
                     probe("no-params", "<params", "<parms")));
    struct Step { const char* type; KReelMsg configure; KReelMsg symbolLevel; };
    const Step steps[] = {
        {"short", ReelMsgReelDataError, ReelMsgReelNotConfigured},  // never configured: code 9 first
        {"good", ReelMsgOk, ReelMsgOk},
        {"missing", ReelMsgReelTypeNotFound, ReelMsgOk},             // the record is not touched
        {"short", ReelMsgReelDataError, ReelMsgOk},                  // nor changed
        {"no-params", ReelMsgReelDataError, ReelMsgOk},              // refused before any change
        {"mixed", ReelMsgReelDataError, ReelMsgReelDataError},
        {"missing", ReelMsgReelTypeNotFound, ReelMsgReelDataError},  // still the mixed record
        {"good", ReelMsgOk, ReelMsgOk},
        {"wide", ReelMsgReelDataError, ReelMsgOk},                   // refused before the turn is stored
        {"good", ReelMsgOk, ReelMsgOk},
        {"bad-duty", ReelMsgBadDutyCycle, ReelMsgReelNotConfigured},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.type);
        EXPECT_EQ(configure(0, step.type), step.configure == ReelMsgOk);
        if (step.configure != ReelMsgOk) {
            EXPECT_EQ(yarvo.GetLastError(), step.configure);
        }
        expectSymbolLevel(step.symbolLevel);
    }
    // Declared again after the failed board step: step-level commands work,
    // symbol-level ones refuse the part "bad-duty", part "good" record.
    ASSERT_TRUE(yarvo.ConfigureReels(1, 96, 4, 1, 0));
    EXPECT_TRUE(yarvo.SpinReels(0, 1, 10));
    EXPECT_TRUE(configured(0));
    expectSymbolLevel(ReelMsgReelDataError);
    // The order of checks stays: a count of 0 is refused before the definition.
    EXPECT_FALSE(yarvo.VendorSpinReelNumberOfSymbols(0, 0, 100));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgBadParameter);
    // A file that does not load leaves a good definition usable.
    ASSERT_TRUE(configure(0, "good"));
    EXPECT_FALSE(setPath(yarvo, (dir / "absent.xml").string()));
    expectSymbolLevel(ReelMsgOk);
}

TEST_F(ReelDefinitions, ConfiguresFromTheExampleFileInBoardOrder) {
    struct Case { const char* type; unsigned char reel; Bytes params, duty, up, down; int speed; };
    const Case cases[] = {
        {"band-a", 2, {2, 0x00, 0x60, 6, 0, 1, 1, 0, 3}, {2, 40, 200}, {2, 3, 90, 60, 40},
         {2, 2, 60, 90}, 100},
        {"classic-12", 0, {0, 0x00, 0x60, 8, 2, 1, 1, 1, 2}, {0, 48, 192},
         {0, 5, 200, 160, 130, 115, 104}, {0, 4, 115, 130, 160, 200}, 60},
        {"Classic-20", 5, {5, 0x01, 0x90, 10, 4, 1, 1, 1, 4}, {5, 32, 208},
         {5, 10, 120, 90, 70, 55, 45, 38, 33, 29, 27, 25}, {5, 8, 27, 30, 35, 42, 52, 65, 85, 110}, 60},
        {"deluxe-22", 7, {7, 0x01, 0x90, 12, 6, 2, 2, 1, 4}, {7, 30, 210},
         {7, 6, 110, 80, 60, 48, 41, 37}, {7, 5, 41, 50, 64, 84, 110}, 40},
    };
    ASSERT_TRUE(setPath(yarvo, YARVO_EXAMPLE_REEL_FILE));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_TRUE(configure(c.reel, c.type)) << yarvo.GetLastError();
        EXPECT_EQ(commands(), (Bytes{51, 44, 42, 43}));
        EXPECT_EQ(sent(51), c.params);
        EXPECT_EQ(sent(44), c.duty);
        EXPECT_EQ(sent(42), c.up);
        EXPECT_EQ(sent(43), c.down);
        KReelStatusEx status{};
        ASSERT_TRUE(yarvo.VendorGetReelStatus(c.reel, &status));
        EXPECT_EQ(status.reelSpeed, c.speed);
    }
    // Reconfiguring resets a backwards speed to table 0's, forwards.
    ASSERT_TRUE(yarvo.VendorSpinReelStartSkill(2, -200));
    ASSERT_TRUE(configure(2, "band-a"));
    KReelStatusEx status{};
    ASSERT_TRUE(yarvo.VendorGetReelStatus(2, &status));
    EXPECT_EQ(status.reelSpeed, 100);
}

TEST_F(ReelDefinitions, BoardStepFailureLeavesTheReelNotConfigured) {
    struct Case { const char* from; const char* to; KReelMsg code; Bytes sent; };
    const Case cases[] = {
        {"duty-cycle-off=\"40\" duty-cycle-on=\"200\"", "duty-cycle-off=\"100\" duty-cycle-on=\"156\"",
         ReelMsgBadDutyCycle, {51}},
        {"duty-cycle-off=\"40\"", "duty-cycle-off=\"-1\"", ReelMsgBadDutyCycle, {51}},
        {"<ramp-up num-entries=\"3\"", "<ramp-up num-entries=\"0\"", ReelMsgBadRampLength, {51, 44}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        ASSERT_TRUE(load(probe("good") + probe("bad", c.from, c.to)));
        ASSERT_TRUE(configure(3, "good"));
        EXPECT_FALSE(configure(3, "bad"));
        EXPECT_EQ(yarvo.GetLastError(), c.code);
        EXPECT_EQ(commands(), c.sent);
        EXPECT_FALSE(configured(3));
        EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelNotConfigured);
    }
    const Bytes sequence{51, 44, 42, 43};
    ASSERT_TRUE(load(probe("good")));
    for (unsigned step = 0; step < 4; ++step) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(configure(3, "good"));
        cab.driver().injectFault(0, Fault{Fault::Status, 0, {}}, step);  // passes a step unchanged
        cab.driver().failNext(0, EIO);
        EXPECT_FALSE(configure(3, "good"));
        EXPECT_EQ(yarvo.GetLastError(), ReelMsgTransferFailed);
        EXPECT_EQ(commands(), Bytes(sequence.begin(), sequence.begin() + step + 1));
        EXPECT_FALSE(configured(3));
    }
}

struct InDirectory {
    explicit InDirectory(const fs::path& dir) : old(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(old); }
    fs::path old;
};

TEST_F(ReelDefinitions, PathLimitAndFailedLoadsKeepTheDocumentInUse) {
    InDirectory here(dir);  // holds no default file
    const std::string base = (dir / "").string();
    const std::string p250 = base + std::string(250 - base.size() - 4, 'd') + ".xml";
    const std::string p251 = base + std::string(251 - base.size() - 4, 'd') + ".xml";
    write(doc(probe("probe")), fs::path(p250).filename().string());
    write(doc(probe("probe")), fs::path(p251).filename().string());
    EXPECT_FALSE(setPath(yarvo, p251));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgPathTooLong);
    EXPECT_FALSE(configure(0, "probe"));  // nothing was loaded
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgFileLoadFailed);
    ASSERT_TRUE(setPath(yarvo, p250));
    EXPECT_TRUE(configure(0, "probe"));
    fs::remove(p250);  // the document in use must not depend on the file any more

    const std::string broken = "<tamso-reel-definitions>" + probe("other") + "<reel-def type=\"x\"><params";
    for (const std::string& path : {base + "missing.xml", write("", "empty.xml"), write(broken, "broken.xml")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(setPath(yarvo, path));
        EXPECT_EQ(yarvo.GetLastError(), ReelMsgFileLoadFailed);
        EXPECT_TRUE(configure(0, "probe"));
        EXPECT_FALSE(configure(0, "other"));
        EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelTypeNotFound);
    }
    EXPECT_FALSE(yarvo.VendorSetReelFilePath(nullptr));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgNullPointer);
}

TEST_F(ReelDefinitions, FirstConfigureReadsTheDefaultFileOnce) {
    InDirectory here(dir);
    const auto expectFailure = [&](unsigned char reel, char* type, KReelMsg code) {
        cab.clearLog();
        EXPECT_FALSE(yarvo.VendorConfigureReel(reel, type));
        EXPECT_EQ(yarvo.GetLastError(), code);
        EXPECT_TRUE(cab.log().empty());
    };
    char probeType[] = "probe";
    expectFailure(8, nullptr, ReelMsgBadReelNumber);
    expectFailure(0, nullptr, ReelMsgNullPointer);
    expectFailure(0, probeType, ReelMsgFileLoadFailed);  // no file here
    write("<tamso-reel-definitions><reel-def", "tamso-reel-definitions.xml");
    expectFailure(0, probeType, ReelMsgFileLoadFailed);
    write(doc(probe("probe")), "tamso-reel-definitions.xml");
    expectFailure(8, probeType, ReelMsgBadReelNumber);  // reads no file
    expectFailure(0, nullptr, ReelMsgNullPointer);
    write(doc(probe("second")), "tamso-reel-definitions.xml");
    EXPECT_TRUE(configure(0, "second"));
    write(doc(probe("third")), "tamso-reel-definitions.xml");
    EXPECT_FALSE(configure(0, "third"));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelTypeNotFound);
    EXPECT_TRUE(configure(1, "second"));
}

}  // namespace
