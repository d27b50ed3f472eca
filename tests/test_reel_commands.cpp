// Reel set-up, motion and status commands, driven through the virtual board.
#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet.h"
#include "yarvo.h"

using yarvo::sim::Fault;
using yarvo::sim::VirtualCabinet;

namespace {

using Bytes = std::vector<uint8_t>;
using Call = std::function<bool(Yarvo&)>;

// One opened board at instance 0 with reels 0 to 5 configured at 129 steps
// per symbol (reels 6 and 7 are not), an empty log and ReelMsgNullPointer
// recorded.
struct Bench {
    explicit Bench(unsigned reels = 6) {
        cab.board(0);
        EXPECT_TRUE(y.Init());
        if (reels != 0) {
            EXPECT_TRUE(y.ConfigureReels(reels, 96, 129, 1, 0));
        }
        y.GetDllVersion(nullptr);
        cab.clearLog();
    }
    // The payload of the only command sent since the last look.
    Bytes sentOnce(uint8_t command) {
        const auto log = cab.log();
        cab.clearLog();
        EXPECT_EQ(log.size(), 1u);
        if (log.size() != 1) return {};
        EXPECT_EQ(log[0].command, command);
        return log[0].payload;
    }
    VirtualCabinet cab;
    Yarvo y;
};

KReelRampTable rampTable(unsigned char length) {
    KReelRampTable table{length, {}};
    for (unsigned i = 0; i < 60; ++i) table.entries[i] = static_cast<unsigned char>(i + 1);
    return table;
}

KReelRampTable gRamp = rampTable(60);
KReelStatus gStatus;

// Every operation that takes a reel number, with arguments that pass every
// other check, and the command it sends.
const struct ReelOp {
    const char* name;
    std::function<bool(Yarvo&, unsigned char)> call;
    uint8_t command;
} kReelOps[] = {
    {"SetDutyCycle", [](Yarvo& y, unsigned char r) { return y.SetDutyCycle(r, 10, 20); }, 44},
    {"SpinRampUp", [](Yarvo& y, unsigned char r) { return y.SpinRampUp(r, &gRamp); }, 42},
    {"SpinRampDown", [](Yarvo& y, unsigned char r) { return y.SpinRampDown(r, &gRamp); }, 43},
    {"ReelSynchroniseEnable", [](Yarvo& y, unsigned char r) { return y.ReelSynchroniseEnable(r); },
     46},
    {"ClearTamperedState", [](Yarvo& y, unsigned char r) { return y.ClearTamperedState(r); }, 45},
    {"SpinReels", [](Yarvo& y, unsigned char r) { return y.SpinReels(r, 1, 10); }, 41},
    {"SpinReelStepForward",
     [](Yarvo& y, unsigned char r) { return y.SpinReelStepForward(r, 1, 10); }, 41},
    {"SpinReelStepBack", [](Yarvo& y, unsigned char r) { return y.SpinReelStepBack(r, 1, 10); },
     41},
    {"SpinReelSymbolForward",
     [](Yarvo& y, unsigned char r) { return y.SpinReelSymbolForward(r, 1, 1); }, 41},
    {"SpinReelSymbolBack",
     [](Yarvo& y, unsigned char r) { return y.SpinReelSymbolBack(r, 1, 1); }, 41},
    {"SpinStartSkill", [](Yarvo& y, unsigned char r) { return y.SpinStartSkill(r, 1); }, 48},
    {"SpinStopSkill", [](Yarvo& y, unsigned char r) { return y.SpinStopSkill(r); }, 49},
    {"StopCurrentSpinAtPosition",
     [](Yarvo& y, unsigned char r) { return y.StopCurrentSpinAtPosition(r, 5); }, 50},
    {"GetReelStatus", [](Yarvo& y, unsigned char r) { return y.GetReelStatus(r, &gStatus); }, 47},
};

}  // namespace

TEST(ReelCommands, ReelNumberCheckedFirstAndTransferCodeStands) {
    for (const ReelOp& op : kReelOps) {
        SCOPED_TRACE(op.name);
        Bench b;
        for (const auto& [reel, error] : {std::pair<unsigned char, KReelMsg>{8, ReelMsgBadReelNumber},
                                          {255, ReelMsgBadReelNumber},
                                          {6, ReelMsgReelNotConfigured}}) {
            EXPECT_FALSE(op.call(b.y, reel));
            EXPECT_EQ(b.y.GetLastError(), error);
        }
        EXPECT_TRUE(b.cab.log().empty());
        b.cab.driver().failNext(0, EIO);
        EXPECT_FALSE(op.call(b.y, 5));
        EXPECT_EQ(b.y.GetLastError(), ReelMsgTransferFailed);
        b.sentOnce(op.command);
        EXPECT_TRUE(op.call(b.y, 5));
    }
}

TEST(ReelCommands, ArgumentChecksSendNothing) {
    KReelRampTable empty = rampTable(0), tooLong = rampTable(61);
    const struct {
        const char* name;
        Call call;
        KReelMsg error;
    } cases[] = {
        {"nine reels", [](Yarvo& y) { return y.ConfigureReels(9, 96, 4, 1, 0); },
         ReelMsgBadParameter},
        {"fourth parameter 0", [](Yarvo& y) { return y.ConfigureReels(3, 96, 4, 0, 0); },
         ReelMsgBadParameter},
        {"fourth parameter 0xFF", [](Yarvo& y) { return y.ConfigureReels(3, 96, 4, char(0xFF), 0); },
         ReelMsgBadParameter},
        {"duty cycle 256", [](Yarvo& y) { return y.SetDutyCycle(0, 200, 56); }, ReelMsgBadDutyCycle},
        {"ramp up null", [](Yarvo& y) { return y.SpinRampUp(0, nullptr); }, ReelMsgNullPointer},
        {"ramp up empty", [&](Yarvo& y) { return y.SpinRampUp(0, &empty); }, ReelMsgBadRampLength},
        {"ramp up 61", [&](Yarvo& y) { return y.SpinRampUp(0, &tooLong); }, ReelMsgBadRampLength},
        {"ramp down null", [](Yarvo& y) { return y.SpinRampDown(0, nullptr); },
         ReelMsgNullPointer},
        {"ramp down 61", [&](Yarvo& y) { return y.SpinRampDown(0, &tooLong); },
         ReelMsgBadRampLength},
        {"step mode 0", [](Yarvo& y) { return y.SpinReels(0, 0, 1); }, ReelMsgBadStepMode},
        {"step mode 3", [](Yarvo& y) { return y.SpinReels(0, 3, 1); }, ReelMsgBadStepMode},
        {"step mode -3", [](Yarvo& y) { return y.SpinReels(0, -3, 1); }, ReelMsgBadStepMode},
        {"step count 32768", [](Yarvo& y) { return y.SpinReels(0, 1, 32768); },
         ReelMsgBadStepCount},
        {"mode checked before count", [](Yarvo& y) { return y.SpinReels(0, 3, 40000); },
         ReelMsgBadStepMode},
        {"forward size 0", [](Yarvo& y) { return y.SpinReelStepForward(0, 0, 1); },
         ReelMsgBadStepMode},
        {"forward size 3", [](Yarvo& y) { return y.SpinReelStepForward(0, 3, 1); },
         ReelMsgBadStepMode},
        {"forward count 32768", [](Yarvo& y) { return y.SpinReelStepForward(0, 1, 32768); },
         ReelMsgBadStepCount},
        {"back size 255", [](Yarvo& y) { return y.SpinReelStepBack(0, 255, 1); },
         ReelMsgBadStepMode},
        {"symbols size 3", [](Yarvo& y) { return y.SpinReelSymbolForward(0, 3, 1); },
         ReelMsgBadStepMode},
        {"255 symbols of 129 steps", [](Yarvo& y) { return y.SpinReelSymbolForward(0, 1, 255); },
         ReelMsgBadStepCount},
        {"skill mode 0", [](Yarvo& y) { return y.SpinStartSkill(0, 0); }, ReelMsgBadStepMode},
        {"status null", [](Yarvo& y) { return y.GetReelStatus(0, nullptr); }, ReelMsgNullPointer},
        {"status null, reel 8", [](Yarvo& y) { return y.GetReelStatus(8, nullptr); },
         ReelMsgBadReelNumber},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        EXPECT_FALSE(c.call(b.y));
        EXPECT_EQ(b.y.GetLastError(), c.error);
        EXPECT_TRUE(b.cab.log().empty());
    }
}

TEST(ReelCommands, BytesOnTheWire) {
    KReelRampTable full = rampTable(60), one = rampTable(1), none = rampTable(0);
    Bytes fullRequest = {2, 60};
    for (unsigned char i = 1; i <= 60; ++i) fullRequest.push_back(i);
    const struct {
        const char* name;
        Call call;
        uint8_t command;
        Bytes payload;
    } cases[] = {
        {"configure", [](Yarvo& y) { return y.ConfigureReels(2, 400, 300, 4, 5); }, 40,
         {0x02, 0x01, 0x90, 0x2C, 0x04, 0xFB}},
        {"configure, wide values", [](Yarvo& y) { return y.ConfigureReels(8, 0x12345, 1, 127, -128); },
         40, {0x08, 0x23, 0x45, 0x01, 0x7F, 0x80}},
        {"configure no reels", [](Yarvo& y) { return y.ConfigureReels(0, 0, 7, 1, 0); }, 40,
         {0x00, 0x00, 0x00, 0x07, 0x01, 0x00}},
        {"duty cycle 255", [](Yarvo& y) { return y.SetDutyCycle(1, 200, 55); }, 44,
         {0x01, 0xC8, 0x37}},
        {"ramp up 60", [&](Yarvo& y) { return y.SpinRampUp(2, &full); }, 42, fullRequest},
        {"ramp up 1", [&](Yarvo& y) { return y.SpinRampUp(3, &one); }, 42, {0x03, 0x01, 0x01}},
        {"ramp down empty", [&](Yarvo& y) { return y.SpinRampDown(3, &none); }, 43, {0x03, 0x00}},
        {"synchronise", [](Yarvo& y) { return y.ReelSynchroniseEnable(3); }, 46, {0x03, 0x00}},
        {"clear tamper", [](Yarvo& y) { return y.ClearTamperedState(2); }, 45, {0x02}},
        {"spin -2, 32767", [](Yarvo& y) { return y.SpinReels(0, -2, 32767); }, 41,
         {0x00, 0xFE, 0x7F, 0xFF}},
        {"spin zero steps", [](Yarvo& y) { return y.SpinReels(5, 1, 0); }, 41,
         {0x05, 0x01, 0x00, 0x00}},
        {"step forward", [](Yarvo& y) { return y.SpinReelStepForward(1, 1, 5); }, 41,
         {0x01, 0x01, 0x00, 0x05}},
        {"step back", [](Yarvo& y) { return y.SpinReelStepBack(1, 2, 100); }, 41,
         {0x01, 0xFE, 0x00, 0x64}},
        {"254 symbols of 129 steps", [](Yarvo& y) { return y.SpinReelSymbolForward(0, 2, 254); },
         41, {0x00, 0x02, 0x7F, 0xFE}},
        {"3 symbols back", [](Yarvo& y) { return y.SpinReelSymbolBack(4, 1, 3); }, 41,
         {0x04, 0xFF, 0x01, 0x83}},
        {"skill backwards", [](Yarvo& y) { return y.SpinStartSkill(4, -1); }, 48, {0x04, 0xFF}},
        {"skill stop", [](Yarvo& y) { return y.SpinStopSkill(5); }, 49, {0x05}},
        {"stop at position mod 65536", [](Yarvo& y) { return y.StopCurrentSpinAtPosition(5, 0x12345); },
         50, {0x05, 0x23, 0x45}},
        {"status", [](Yarvo& y) { return y.GetReelStatus(5, &gStatus); }, 47, {0x05}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        EXPECT_TRUE(c.call(b.y));
        EXPECT_EQ(b.y.GetLastError(), ReelMsgNullPointer);
        EXPECT_EQ(b.sentOnce(c.command), c.payload);
    }
}

// A symbol spin's step count is symbols x steps per symbol, never wrapped:
// a product of 0x8000 or more is refused with nothing sent.
TEST(ReelCommands, SymbolSpinStepCountsNeverWrap) {
    const struct {
        unsigned perSymbol;
        unsigned char symbols;
        int steps;  // sent, or -1: refused with ReelMsgBadStepCount
    } cases[] = {
        {16843010, 255, -1},  // 2^32 + 254 in 32 bits
        {0x80000000u, 2, -1},  // 2^32
        {16384, 2, -1},
        {32767, 1, 0x7FFF},
        {128, 255, 32640},
        {0xFFFFFFFFu, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.perSymbol) + " x " + std::to_string(c.symbols));
        for (bool forward : {true, false}) {
            Bench b(0);
            ASSERT_TRUE(b.y.ConfigureReels(1, 0, c.perSymbol, 1, 0));
            b.cab.clearLog();
            const bool ok = forward ? b.y.SpinReelSymbolForward(0, 2, c.symbols)
                                    : b.y.SpinReelSymbolBack(0, 2, c.symbols);
            EXPECT_EQ(ok, c.steps >= 0);
            if (c.steps < 0) {
                EXPECT_EQ(b.y.GetLastError(), ReelMsgBadStepCount);
                EXPECT_TRUE(b.cab.log().empty());
            } else {
                EXPECT_EQ(b.sentOnce(41), (Bytes{0, static_cast<uint8_t>(forward ? 2 : 0xFE),
                                                 static_cast<uint8_t>(c.steps >> 8), static_cast<uint8_t>(c.steps)}));
            }
        }
    }
}

// What ConfigureReels leaves behind, seen through the reel checks and the
// step count of a one-symbol spin.
TEST(ReelCommands, ConfigureReelsStateSurvivesFailures) {
    Bench b(0);
    const auto symbolSteps = [&]() -> int {
        b.cab.clearLog();
        if (!b.y.SpinReelSymbolForward(0, 1, 1)) return -1;
        const Bytes sent = b.sentOnce(41);
        return sent.size() == 4 ? (sent[2] << 8 | sent[3]) : -1;
    };
    const auto configured = [&](unsigned char reel) { return b.y.SpinStopSkill(reel); };

    ASSERT_TRUE(b.y.ConfigureReels(1, 96, 10, 1, 0));
    EXPECT_FALSE(b.y.ConfigureReels(9, 96, 20, 1, 0));  // refused whole
    EXPECT_FALSE(configured(1));
    EXPECT_EQ(symbolSteps(), 10);

    b.cab.clearLog();
    EXPECT_FALSE(b.y.ConfigureReels(3, 96, 7, 0, 0));  // refused after taking effect
    EXPECT_TRUE(b.cab.log().empty());
    EXPECT_TRUE(configured(2));
    EXPECT_FALSE(configured(3));
    EXPECT_EQ(symbolSteps(), 7);

    ASSERT_TRUE(b.y.ConfigureReels(5, 96, 8, 1, 0));
    ASSERT_TRUE(b.y.ConfigureReels(2, 96, 9, 1, 0));  // a smaller count keeps reels 2 to 4
    EXPECT_TRUE(configured(4));
    EXPECT_EQ(symbolSteps(), 9);

    b.cab.driver().failNext(0, EIO);
    EXPECT_FALSE(b.y.ConfigureReels(6, 96, 11, 1, 0));
    EXPECT_EQ(b.y.GetLastError(), ReelMsgTransferFailed);
    EXPECT_TRUE(configured(5));
    EXPECT_EQ(symbolSteps(), 11);

    ASSERT_TRUE(b.y.ConfigureReels(0, 96, 0, 1, 0));
    EXPECT_EQ(symbolSteps(), 0);
    EXPECT_TRUE(configured(5));
}

TEST(ReelStatusQuery, DecodesNineBytesAndRefusesOtherLengths) {
    const auto withPayload = [](Bytes payload) {
        Fault f;
        f.kind = Fault::Payload;
        f.payload = std::move(payload);
        return f;
    };
    const Bytes nine = {0x01, 0x2C, 0x00, 0x05, 0x03, 0x00, 0x01, 0xFF, 0xFE};
    Bench b;
    KReelStatus status{};
    b.cab.driver().injectFault(0, withPayload(nine));
    ASSERT_TRUE(b.y.GetReelStatus(1, &status));
    EXPECT_EQ(status.position, 300);
    EXPECT_EQ(status.statusWord1, 5);
    EXPECT_EQ(status.statusByte1, 3);
    EXPECT_EQ(status.statusByte2, 0);
    EXPECT_EQ(status.statusByte3, 1);
    EXPECT_EQ(status.statusWord2, 65534);

    Fault refusal;
    refusal.kind = Fault::Status;
    refusal.value = 1;
    const struct { Fault fault; KReelMsg error; } failures[] = {
        {withPayload(Bytes(nine.begin(), nine.end() - 1)), ReelMsgBadResponseLength},
        {withPayload([&] { Bytes b10 = nine; b10.push_back(0); return b10; }()),
         ReelMsgBadResponseLength},
        {withPayload({}), ReelMsgBadResponseLength},
        {refusal, ReelMsgBadResponse},
    };
    for (const auto& f : failures) {
        const KReelStatus before = {0xAAAA, 0xBBBB, 0xCC, 0xDD, 0xEE, 0xFFFF};
        KReelStatus after = before;
        b.cab.driver().injectFault(0, f.fault);
        EXPECT_FALSE(b.y.GetReelStatus(1, &after));
        EXPECT_EQ(b.y.GetLastError(), f.error);
        EXPECT_EQ(after.position, before.position);
        EXPECT_EQ(after.statusWord1, before.statusWord1);
        EXPECT_EQ(after.statusByte1, before.statusByte1);
        EXPECT_EQ(after.statusByte2, before.statusByte2);
        EXPECT_EQ(after.statusByte3, before.statusByte3);
        EXPECT_EQ(after.statusWord2, before.statusWord2);
    }
}
