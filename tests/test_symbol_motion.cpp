// Symbol-level motion on the wire: each operation reads the reel's position
// from the board's status reply (set here through the reply itself), and the
// test checks the ramp uploads (42/43), the spin, skill and stop commands
// (41/48/50) and the status codes.
#include <algorithm>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cabinet.h"
#include "yarvo.h"

namespace {

using yarvo::sim::Fault;
using yarvo::sim::VirtualCabinet;
using Bytes = std::vector<uint8_t>;

constexpr unsigned char kReel = 2;

// Ramp entries are opaque to the library; each table gets its own values so
// that the test can tell which table went out.
uint8_t rampEntry(int table, bool up, unsigned i) {
    return static_cast<uint8_t>(up ? 10 + 40 * table + i : 250 - 40 * table - i);
}

std::string rampXml(const char* name, int table, bool up, unsigned n) {
    std::string s = std::string("<") + name + " num-entries=\"" + std::to_string(n) + "\"";
    char attr[32];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(attr, sizeof attr, " r%03u=\"%u\"", i, rampEntry(table, up, i));
        s += attr;
    }
    return s + "/>";
}

struct Speed {
    int speed;
    const char* stepType;
    unsigned up, down;
};

std::string reelXml(const std::string& type, unsigned stepsPerTurn, const std::vector<unsigned>& symbols,
                    const std::vector<Speed>& speeds, const std::string& stepTypeOverride = "") {
    std::string s = "<reel-def type=\"" + type + "\">"
                    "<params position-detection-method=\"1\" tamper-detection-method=\"0\" "
                    "duty-cycle-off=\"40\" duty-cycle-on=\"200\" tab-width=\"6\" tab-type=\"1\" "
                    "tab-offset=\"0\" error-deadband=\"3\"/>"
                    "<symbol-table steps-per-turn=\"" + std::to_string(stepsPerTurn) +
                    "\" symbols-per-turn=\"" + std::to_string(symbols.size()) + "\"";
    char attr[32];
    for (size_t i = 0; i < symbols.size(); ++i) {
        std::snprintf(attr, sizeof attr, " s%03zu=\"%u\"", i, symbols[i]);
        s += attr;
    }
    s += "/>";
    for (size_t t = 0; t < speeds.size(); ++t) {
        const Speed& sp = speeds[t];
        s += "<ramp-table speed=\"" + std::to_string(sp.speed) + "\" step-type=\"" +
             (stepTypeOverride.empty() ? sp.stepType : stepTypeOverride) + "\">" +
             rampXml("ramp-up", int(t), true, sp.up) + rampXml("ramp-down", int(t), false, sp.down) +
             "</ramp-table>";
    }
    return s + "</reel-def>";
}

// 96 steps per turn (T = 192), twelve symbols 16 apart; speeds 100 full
// 10/8, 200 half 20/16, 50 half 4/4.
const std::vector<unsigned> kTwelveSymbols = {0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176};
const std::vector<Speed> kThreeSpeeds = {{100, "full", 10, 8}, {200, "half", 20, 16}, {50, "half", 4, 4}};

struct Sent {
    uint8_t command;
    Bytes payload;
    bool operator==(const Sent& o) const { return command == o.command && payload == o.payload; }
};

std::ostream& operator<<(std::ostream& os, const Sent& s) {
    os << int(s.command) << ":";
    for (uint8_t b : s.payload) os << " " << int(b);
    return os;
}

Sent status(unsigned char reel = kReel) { return {47, {reel}}; }
Sent spin(int mode, unsigned steps, unsigned char reel = kReel) {
    return {41, {reel, uint8_t(mode), uint8_t(steps >> 8), uint8_t(steps)}};
}
Sent startSkill(int mode) { return {48, {kReel, uint8_t(mode)}}; }
Sent stopAt(unsigned position) { return {50, {kReel, uint8_t(position >> 8), uint8_t(position)}}; }
Sent ramp(bool up, int table, unsigned n, unsigned char reel = kReel) {
    Sent s{uint8_t(up ? 42 : 43), {reel, uint8_t(n)}};
    for (unsigned i = 0; i < n; ++i) s.payload.push_back(rampEntry(table, up, i));
    return s;
}
// Both tables of a speed of kThreeSpeeds.
std::vector<Sent> upload(int table) {
    const Speed& s = kThreeSpeeds[table];
    return {ramp(true, table, s.up), ramp(false, table, s.down)};
}

std::vector<Sent> operator+(std::vector<Sent> a, const std::vector<Sent>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SymbolMotion : public ::testing::Test {
protected:
    void SetUp() override {
        cab.board(0);
        ASSERT_TRUE(y.Init());
        path = ::testing::TempDir() + "symbol-motion-" + std::to_string(::getpid()) + ".xml";
        std::ofstream(path) << "<?xml version=\"1.0\"?><tamso-reel-definitions>"
                            << reelXml("twelve", 96, kTwelveSymbols, kThreeSpeeds)
                            << reelXml("blank", 96, {}, kThreeSpeeds)
                            << reelXml("long-ramps", 48, {0, 24, 48, 72}, {{100, "half", 60, 60}})
                            << reelXml("broken", 96, kTwelveSymbols, kThreeSpeeds, "quarter")
                            << "</tamso-reel-definitions>";
        ASSERT_TRUE(y.VendorSetReelFilePath(&path[0]));
        configure(kReel, "twelve");
        cab.clearLog();
    }
    void TearDown() override { std::remove(path.c_str()); }

    void configure(unsigned char reel, const char* type) {
        std::string t = type;
        ASSERT_TRUE(y.VendorConfigureReel(reel, &t[0])) << type << " " << y.GetLastError();
    }

    // The next status reply reports `position`; the `before` transfers that
    // precede it are answered unchanged.
    void reelAt(unsigned position, unsigned before = 0, Bytes rest = Bytes(7, 0)) {
        Fault pass;
        pass.kind = Fault::Status;
        pass.value = 0;
        if (before) cab.driver().injectFault(0, pass, before);
        Fault reply;
        reply.kind = Fault::Payload;
        reply.payload.assign(2 + rest.size(), 0);
        reply.payload[0] = uint8_t(position >> 8);
        reply.payload[1] = uint8_t(position);
        std::copy(rest.begin(), rest.end(), reply.payload.begin() + 2);
        cab.driver().injectFault(0, reply);
    }

    std::vector<Sent> sent() {
        std::vector<Sent> out;
        for (const auto& r : cab.log()) out.push_back({r.command, r.payload});
        cab.clearLog();
        return out;
    }

    int reelSpeed() {
        KReelStatusEx ex{};
        reelAt(0);
        EXPECT_TRUE(y.VendorGetReelStatus(kReel, &ex));
        cab.clearLog();
        return ex.reelSpeed;
    }

    VirtualCabinet cab;
    Yarvo y;
    std::string path;
};

TEST_F(SymbolMotion, SpinsOfTheWorkedExamples) {
    struct Case {
        const char* what;
        std::function<bool(Yarvo&)> call;
        unsigned position;
        unsigned before;  // transfers ahead of the status read
        std::vector<Sent> wire;
        int speedAfter;
    };
    const Case cases[] = {
        {"to 5 at 150: tie keeps 100", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 5, 150); }, 20, 0,
         {status(), spin(2, 30)}, 100},
        {"to 5 at 100, too short: one more turn", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 5, 100); },
         70, 0, {status(), spin(2, 101)}, 100},
        {"to the symbol it stands on: a whole turn",
         [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 2, 100); }, 32, 0, {status(), spin(2, 96)}, 100},
        {"to 11 backwards", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 11, -100); }, 20, 0,
         {status(), spin(-2, 18)}, -100},
        {"odd half step dropped", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 5, 100); }, 21, 0,
         {status(), spin(2, 29)}, 100},
        {"at -160: speed 200 uploaded", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 11, -160); }, 20, 0,
         std::vector<Sent>{status()} + upload(1) + std::vector<Sent>{spin(-1, 36)}, -200},
        {"at speed 0: forwards at 50", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 5, 0); }, 20, 0,
         std::vector<Sent>{status()} + upload(2) + std::vector<Sent>{spin(1, 60)}, 50},
        {"14 symbols", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 14, 100); }, 20, 0,
         {status(), spin(2, 118)}, 100},
        {"3 symbols back", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 3, -100); }, 20, 0,
         {status(), spin(-2, 26)}, -100},
        {"24 symbols: two whole turns", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 24, 100); },
         20, 0, {status(), spin(2, (12 + 384) / 2)}, 100},
        {"1 symbol: substitute speed 50", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 1, 100); },
         30, 0, std::vector<Sent>{status()} + upload(2) + std::vector<Sent>{spin(1, 18)}, 50},
        {"3 symbols at -200: tables before the status",
         [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 3, -200); }, 20, 2,
         upload(1) + std::vector<Sent>{status(), spin(-1, 52)}, -200},
        {"synchronise", [](Yarvo& y) { return y.VendorSynchroniseReel(kReel); }, 20, 3,
         std::vector<Sent>{{46, {kReel, 1}}} + upload(2) + std::vector<Sent>{status(), spin(1, 412)}, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Back to the state after configuration: speed 100, ramps 10 and 8.
        configure(kReel, "twelve");
        cab.clearLog();
        reelAt(c.position, c.before);
        EXPECT_TRUE(c.call(y)) << y.GetLastError();
        EXPECT_EQ(sent(), c.wire);
        EXPECT_EQ(reelSpeed(), c.speedAfter);
    }
}

TEST_F(SymbolMotion, ShortMoveStretchedOnceEvenWhenStillShort) {
    // Ramps of 60 and 60 half steps need 119 steps; a turn is 96.
    configure(1, "long-ramps");
    cab.clearLog();
    reelAt(24);
    EXPECT_TRUE(y.VendorSpinReelToSymbol(1, 1, 100));
    EXPECT_EQ(sent(), (std::vector<Sent>{status(1), spin(1, 96, 1)}));
}

TEST_F(SymbolMotion, SkillSpinsStopOnTheSymbolBeyondThePrediction) {
    // Lead 96 / 12 + 8 + 2 = 18.
    struct Case {
        int speed;
        unsigned position;
        unsigned stop;
    };
    const Case cases[] = {{100, 100, 128}, {100, 180, 16}, {-100, 100, 80}, {-100, 10, 176}, {100, 110, 128}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.speed) + " at " + std::to_string(c.position));
        ASSERT_TRUE(y.VendorSpinReelStartSkill(kReel, c.speed));
        reelAt(c.position);
        ASSERT_TRUE(y.VendorSpinReelStopSkill(kReel)) << y.GetLastError();
        EXPECT_EQ(sent(), (std::vector<Sent>{startSkill(c.speed < 0 ? -2 : 2), status(), stopAt(c.stop)}));
    }
    // A new speed sends its tables and the lead follows their ramp-down:
    // 8 + 16 + 2 = 26 from 100 backwards is 74, stopping on 64.
    ASSERT_TRUE(y.VendorSpinReelStartSkill(kReel, -250));
    reelAt(100);
    ASSERT_TRUE(y.VendorSpinReelStopSkill(kReel));
    EXPECT_EQ(sent(), (upload(1) + std::vector<Sent>{startSkill(-1), status(), stopAt(64)}));
    EXPECT_EQ(reelSpeed(), -200);

    ASSERT_TRUE(y.VendorStopReelSpinAtPosition(kReel, 11));
    EXPECT_EQ(sent(), std::vector<Sent>{stopAt(176)});
}

TEST_F(SymbolMotion, ExtendedStatus) {
    struct Case {
        unsigned position;
        unsigned symbol;
        int offset;
    };
    const Case cases[] = {{20, 1, +4}, {24, 2, -8}, {30, 2, -2}, {32, 2, 0}, {190, 0, -2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        reelAt(c.position, 0, {0x00, 0x05, 0x03, 0x00, 0x01, 0xFF, 0xFE});
        KReelStatusEx ex{};
        ASSERT_TRUE(y.VendorGetReelStatus(kReel, &ex));
        EXPECT_EQ(ex.position, c.position);
        EXPECT_EQ(ex.statusWord1, 5);
        EXPECT_EQ(ex.statusByte1, 3);
        EXPECT_EQ(ex.statusByte2, 0);
        EXPECT_EQ(ex.statusByte3, 1);
        EXPECT_EQ(ex.statusWord2, 0xFFFE);
        EXPECT_EQ(ex.nearestSymbol, c.symbol);
        EXPECT_EQ(ex.symbolOffset, c.offset);
        EXPECT_EQ(ex.reelSpeed, 100);
        EXPECT_EQ(sent(), std::vector<Sent>{status()});
    }
    // A position outside the turn: the status fields are written, the rest not.
    reelAt(192);
    KReelStatusEx ex{};
    ex.nearestSymbol = 77;
    ex.symbolOffset = 7;
    ex.reelSpeed = 7;
    EXPECT_FALSE(y.VendorGetReelStatus(kReel, &ex));
    EXPECT_EQ(y.GetLastError(), ReelMsgReelDataError);
    EXPECT_EQ(ex.position, 192);
    EXPECT_EQ(ex.nearestSymbol, 77u);
    EXPECT_EQ(ex.symbolOffset, 7);
    EXPECT_EQ(ex.reelSpeed, 7);
}

TEST_F(SymbolMotion, ArgumentChecksSendNothing) {
    struct Case {
        const char* what;
        std::function<bool(Yarvo&)> call;
        KReelMsg code;
    };
    const Case cases[] = {
        {"to symbol, reel 8", [](Yarvo& y) { return y.VendorSpinReelToSymbol(8, 0, 100); }, ReelMsgBadReelNumber},
        {"to symbol, unconfigured", [](Yarvo& y) { return y.VendorSpinReelToSymbol(4, 0, 100); },
         ReelMsgReelNotConfigured},
        {"to symbol N", [](Yarvo& y) { return y.VendorSpinReelToSymbol(kReel, 12, 100); }, ReelMsgBadParameter},
        {"by symbols, reel 8 before speed 0", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(8, 1, 0); },
         ReelMsgBadReelNumber},
        {"by symbols, speed 0", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 1, 0); },
         ReelMsgBadParameter},
        {"by symbols, count 0", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(kReel, 0, 100); },
         ReelMsgBadParameter},
        {"synchronise, unconfigured", [](Yarvo& y) { return y.VendorSynchroniseReel(4); },
         ReelMsgReelNotConfigured},
        {"skill start, speed 0", [](Yarvo& y) { return y.VendorSpinReelStartSkill(kReel, 0); },
         ReelMsgBadParameter},
        {"skill stop, reel 8", [](Yarvo& y) { return y.VendorSpinReelStopSkill(8); }, ReelMsgBadReelNumber},
        {"stop at symbol N", [](Yarvo& y) { return y.VendorStopReelSpinAtPosition(kReel, 12); },
         ReelMsgBadParameter},
        {"status, null record", [](Yarvo& y) { return y.VendorGetReelStatus(kReel, nullptr); },
         ReelMsgNullPointer},
        {"status, reel 8 before null", [](Yarvo& y) { return y.VendorGetReelStatus(8, nullptr); },
         ReelMsgBadReelNumber},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.call(y));
        EXPECT_EQ(y.GetLastError(), c.code);
        EXPECT_TRUE(cab.log().empty());
    }
}

// Reels declared with ConfigureReels have no definition; a failed decode
// leaves a reel without speeds.  Nothing may be sent for them.
TEST_F(SymbolMotion, ReelsWithoutDefinitionAreRefused) {
    ASSERT_TRUE(y.ConfigureReels(8, 192, 16, 10, 0));
    std::string broken = "broken";
    EXPECT_FALSE(y.VendorConfigureReel(6, &broken[0]));
    EXPECT_EQ(y.GetLastError(), ReelMsgReelDataError);
    cab.clearLog();
    KReelStatusEx ex{};
    struct Case {
        const char* what;
        std::function<bool(Yarvo&)> call;
        KReelMsg code;
    };
    const Case cases[] = {
        // Declared by ConfigureReels only: no reel data, whatever the arguments.
        {"to symbol", [](Yarvo& y) { return y.VendorSpinReelToSymbol(5, 0, 100); }, ReelMsgReelDataError},
        {"stop at symbol", [](Yarvo& y) { return y.VendorStopReelSpinAtPosition(5, 0); }, ReelMsgReelDataError},
        {"by symbols", [](Yarvo& y) { return y.VendorSpinReelNumberOfSymbols(5, 1, 100); }, ReelMsgReelDataError},
        {"synchronise", [](Yarvo& y) { return y.VendorSynchroniseReel(5); }, ReelMsgReelDataError},
        {"skill start", [](Yarvo& y) { return y.VendorSpinReelStartSkill(5, 100); }, ReelMsgReelDataError},
        {"skill stop", [](Yarvo& y) { return y.VendorSpinReelStopSkill(5); }, ReelMsgReelDataError},
        {"status", [&ex](Yarvo& y) { return y.VendorGetReelStatus(5, &ex); }, ReelMsgReelDataError},
        // Symbols decoded, speeds not.
        {"to symbol, half decoded", [](Yarvo& y) { return y.VendorSpinReelToSymbol(6, 5, 100); },
         ReelMsgReelDataError},
        {"stop at symbol, half decoded", [](Yarvo& y) { return y.VendorStopReelSpinAtPosition(6, 5); },
         ReelMsgReelDataError},
        {"synchronise, half decoded", [](Yarvo& y) { return y.VendorSynchroniseReel(6); }, ReelMsgReelDataError},
        {"skill stop, half decoded", [](Yarvo& y) { return y.VendorSpinReelStopSkill(6); }, ReelMsgReelDataError},
        {"status, half decoded", [&ex](Yarvo& y) { return y.VendorGetReelStatus(6, &ex); }, ReelMsgReelDataError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.call(y));
        EXPECT_EQ(y.GetLastError(), c.code);
        EXPECT_TRUE(cab.log().empty());
    }
}

TEST_F(SymbolMotion, DefinitionWithoutSymbols) {
    configure(3, "blank");
    cab.clearLog();
    // The skill stop never divides by the symbol count and sends nothing.
    EXPECT_FALSE(y.VendorSpinReelStopSkill(3));
    EXPECT_EQ(y.GetLastError(), ReelMsgReelDataError);
    EXPECT_TRUE(sent().empty());
    // The count spin finds no symbol after the status read.
    reelAt(0);
    EXPECT_FALSE(y.VendorSpinReelNumberOfSymbols(3, 5, 100));
    EXPECT_EQ(y.GetLastError(), ReelMsgReelDataError);
    EXPECT_EQ(sent(), std::vector<Sent>{status(3)});
    // The extended status fills the six status fields, then fails.
    reelAt(40);
    KReelStatusEx ex{};
    EXPECT_FALSE(y.VendorGetReelStatus(3, &ex));
    EXPECT_EQ(y.GetLastError(), ReelMsgReelDataError);
    EXPECT_EQ(ex.position, 40);
}

TEST_F(SymbolMotion, FailuresKeepEarlierEffects) {
    // Far more turns than 32 bits can count: refused, nothing after the status.
    reelAt(20);
    EXPECT_FALSE(y.VendorSpinReelNumberOfSymbols(kReel, 12u * 22369622u, 100));
    EXPECT_EQ(y.GetLastError(), ReelMsgBadStepCount);
    EXPECT_EQ(sent(), std::vector<Sent>{status()});
    // 400 turns fit 32 bits but not a step count: the speed change stays.
    reelAt(20, 2);
    EXPECT_FALSE(y.VendorSpinReelNumberOfSymbols(kReel, 12u * 400u, -200));
    EXPECT_EQ(y.GetLastError(), ReelMsgBadStepCount);
    EXPECT_EQ(sent(), (upload(1) + std::vector<Sent>{status()}));
    EXPECT_EQ(reelSpeed(), -200);

    // The status read fails: its code stands and nothing else is sent.
    cab.driver().failNext(0, 5);
    EXPECT_FALSE(y.VendorSpinReelToSymbol(kReel, 5, 100));
    EXPECT_EQ(y.GetLastError(), ReelMsgTransferFailed);
    EXPECT_EQ(sent(), std::vector<Sent>{status()});

    // The ramp-up upload of a new speed is refused: speed unchanged.
    Fault refuse;
    refuse.kind = Fault::Status;
    refuse.value = 1;
    cab.driver().injectFault(0, refuse);
    EXPECT_FALSE(y.VendorSpinReelStartSkill(kReel, 50));
    EXPECT_EQ(y.GetLastError(), ReelMsgBadResponse);
    EXPECT_EQ(sent(), std::vector<Sent>{ramp(true, 2, 4)});
    EXPECT_EQ(reelSpeed(), -200);

    // The substitute speed's upload fails: no suitable speed.
    reelAt(30);
    cab.driver().injectFault(0, refuse);
    EXPECT_FALSE(y.VendorSpinReelNumberOfSymbols(kReel, 1, 200));
    EXPECT_EQ(y.GetLastError(), ReelMsgNoSuitableSpeed);
    EXPECT_EQ(sent(), (std::vector<Sent>{status(), ramp(true, 2, 4)}));
}

}  // namespace
