// Inputs, outputs, reel lamps, firmware version and power status, driven
// through the virtual board.
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet.h"
#include "yarvo.h"

using yarvo::sim::Fault;
using yarvo::sim::VirtualCabinet;

namespace {

using Bytes = std::vector<uint8_t>;

// One opened board at instance 0 with reels 0 to reels - 1 configured, an
// empty log and ReelMsgNullPointer recorded, so that a success that touched
// the status would show.
struct Bench {
    explicit Bench(unsigned reels = 0) {
        cab.board(0);
        EXPECT_TRUE(y.Init());
        if (reels != 0) {
            EXPECT_TRUE(y.ConfigureReels(reels, 96, 4, 1, 0));
        }
        y.GetDllVersion(nullptr);
        cab.clearLog();
    }
    void respond(Bytes payload) {
        Fault f;
        f.kind = Fault::Payload;
        f.payload = std::move(payload);
        cab.driver().injectFault(0, f);
    }
    VirtualCabinet cab;
    Yarvo y;
};

}  // namespace

TEST(Inputs, ReportDecodesIntoWordsAndBits) {
    Bench b;
    b.cab.inputs(0x038005);  // report 05 80 03
    unsigned short low = 0;
    unsigned char high = 0;
    ASSERT_TRUE(b.y.GetInputs(&low, &high));
    EXPECT_EQ(low, 0x8005);
    EXPECT_EQ(high, 3);
    const struct { KReelInputBit input; bool on; } bits[] = {
        {KReelInput0, true},   {KReelInput1, false},  {KReelInput2, true},  {KReelInput8, false},
        {KReelInput15, true},  {KReelInput16, true},  {KReelInput17, true}, {KReelInput18, false},
    };
    for (const auto& bit : bits) {
        bool state = !bit.on;
        EXPECT_TRUE(b.y.GetInputBit(bit.input, &state)) << bit.input;
        EXPECT_EQ(state, bit.on) << bit.input;
    }
    EXPECT_EQ(b.y.GetLastError(), ReelMsgNullPointer);
}

// Every refused call stores its code and sends nothing.
TEST(BoardIo, ArgumentChecksSendNothing) {
    unsigned short word = 0;
    unsigned char byte = 0;
    bool state = false;
    const struct {
        const char* name;
        unsigned reels;
        std::function<bool(Yarvo&)> call;
        KReelMsg error;
    } cases[] = {
        {"input 24", 0, [&](Yarvo& y) { return y.GetInputBit(KReelInputBit(24), &state); },
         ReelMsgBadParameter},
        {"input -1", 0, [&](Yarvo& y) { return y.GetInputBit(KReelInputBit(-1), &state); },
         ReelMsgBadParameter},
        {"range before pointer", 0,
         [](Yarvo& y) { return y.GetInputBit(KReelInputBit(30), nullptr); }, ReelMsgBadParameter},
        {"input bit null", 0, [](Yarvo& y) { return y.GetInputBit(KReelInput12, nullptr); },
         ReelMsgNullPointer},
        {"input 3 of configured reel 3", 4,
         [&](Yarvo& y) { return y.GetInputBit(KReelInput3, &state); }, ReelMsgInputOwnedByReel},
        {"input 7 of configured reel 7", 8,
         [&](Yarvo& y) { return y.GetInputBit(KReelInput7, &state); }, ReelMsgInputOwnedByReel},
        {"inputs low null", 0, [&](Yarvo& y) { return y.GetInputs(nullptr, &byte); },
         ReelMsgNullPointer},
        {"inputs high null", 0, [&](Yarvo& y) { return y.GetInputs(&word, nullptr); },
         ReelMsgNullPointer},
        {"changed inputs null", 0, [](Yarvo& y) { return y.GetChangedInputs(nullptr); },
         ReelMsgNullPointer},
        {"output 64", 0, [](Yarvo& y) { return y.SetOutputBit(KReelOutputBit(64), true); },
         ReelMsgBadParameter},
        {"output -1", 0, [](Yarvo& y) { return y.SetOutputBit(KReelOutputBit(-1), true); },
         ReelMsgBadParameter},
        {"output 12 of configured reel 3", 4,
         [](Yarvo& y) { return y.SetOutputBit(KReelOutput12, true); }, ReelMsgOutputOwnedByReel},
        {"output 15 of configured reel 3", 4,
         [](Yarvo& y) { return y.SetOutputBit(KReelOutput15, false); }, ReelMsgOutputOwnedByReel},
        {"lamps of reel 8", 8, [](Yarvo& y) { return y.SetReelLamps(8, true); },
         ReelMsgBadReelNumber},
        {"lamps of unconfigured reel", 4, [](Yarvo& y) { return y.SetReelLamps(4, true); },
         ReelMsgReelNotConfigured},
        {"firmware version null", 0, [](Yarvo& y) { return y.GetFirmwareVersion(nullptr); },
         ReelMsgNullPointer},
        {"power status null", 0, [](Yarvo& y) { return y.GetPowerStatus(nullptr); },
         ReelMsgNullPointer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(c.reels);
        b.cab.driver().failNext(0, EIO);  // record a code that no check stores
        ASSERT_FALSE(b.y.SetOutputs(0, 0));
        b.cab.clearLog();
        EXPECT_FALSE(c.call(b.y));
        EXPECT_EQ(b.y.GetLastError(), c.error);
        EXPECT_TRUE(b.cab.log().empty());
    }
}

// Successful calls: one command with exactly these payload bytes, and the
// recorded status left alone.
TEST(BoardIo, BytesOnTheWire) {
    unsigned short word = 0;
    unsigned char byte = 0;
    bool state = false;
    unsigned char version[256];
    KReelPowerStatus power{};
    const Bytes none;
    const struct {
        const char* name;
        unsigned reels;
        std::function<bool(Yarvo&)> call;
        uint8_t command;
        Bytes payload;
    } cases[] = {
        {"set outputs", 0, [](Yarvo& y) { return y.SetOutputs(1, 0x8000); }, 23,
         {0x01, 0, 0, 0, 0, 0x80, 0, 0}},
        {"set outputs ignores reel ownership", 8,
         [](Yarvo& y) { return y.SetOutputs(0xFFFFFFFF, 0x12345678); }, 23,
         {0xFF, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12}},
        {"modify outputs", 8,
         [](Yarvo& y) { return y.ModifyOutputs(0x04030201, 0x08070605, 0x0C0B0A09, 0x100F0E0D); },
         24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"lamps of reel 2 on", 8, [](Yarvo& y) { return y.SetReelLamps(2, true); }, 24,
         {0, 0, 0, 0, 0x00, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"lamps of reel 0 on", 1, [](Yarvo& y) { return y.SetReelLamps(0, true); }, 24,
         {0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"lamps of reel 7 off", 8, [](Yarvo& y) { return y.SetReelLamps(7, false); }, 24,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x70}},
        {"output 13 of unconfigured reel 3", 3,
         [](Yarvo& y) { return y.SetOutputBit(KReelOutput13, true); }, 22, {0x0D, 0x01}},
        {"output 40 with every reel configured", 8,
         [](Yarvo& y) { return y.SetOutputBit(KReelOutput40, true); }, 22, {0x28, 0x01}},
        {"output 63 off", 0, [](Yarvo& y) { return y.SetOutputBit(KReelOutput63, false); }, 22,
         {0x3F, 0x00}},
        {"input 3 of unconfigured reel 3", 3,
         [&](Yarvo& y) { return y.GetInputBit(KReelInput3, &state); }, 20, none},
        {"input 12 with every reel configured", 8,
         [&](Yarvo& y) { return y.GetInputBit(KReelInput12, &state); }, 20, none},
        {"inputs", 8, [&](Yarvo& y) { return y.GetInputs(&word, &byte); }, 20, none},
        {"changed inputs", 0, [&](Yarvo& y) { return y.GetChangedInputs(&word); }, 21, none},
        {"firmware version", 0, [&](Yarvo& y) { return y.GetFirmwareVersion(version); }, 10,
         none},
        {"power status", 0, [&](Yarvo& y) { return y.GetPowerStatus(&power); }, 11, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b(c.reels);
        EXPECT_TRUE(c.call(b.y));
        EXPECT_EQ(b.y.GetLastError(), ReelMsgNullPointer);
        const auto log = b.cab.log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].command, c.command);
        EXPECT_EQ(log[0].payload, c.payload);
    }
}

// Responses of unusual lengths: too short fails with ReelMsgBadResponseLength
// and leaves the host's values alone; longer than needed is fine.
TEST(BoardIo, ResponseLengths) {
    const Bytes report = {0x05, 0x80, 0x03};
    const Bytes longReport = {0x05, 0x80, 0x03, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    for (const Bytes& payload : {Bytes{}, Bytes{0x05}, Bytes{0x05, 0x80}, report, longReport}) {
        SCOPED_TRACE(payload.size());
        const bool complete = payload.size() >= 3;
        Bench b;
        unsigned short low = 0xAAAA;
        unsigned char high = 0xAA;
        b.respond(payload);
        EXPECT_EQ(b.y.GetInputs(&low, &high), complete);
        EXPECT_EQ(low, complete ? 0x8005 : 0xAAAA);
        EXPECT_EQ(high, complete ? 0x03 : 0xAA);
        bool state = false;
        b.respond(payload);
        EXPECT_EQ(b.y.GetInputBit(KReelInput17, &state), complete);
        EXPECT_EQ(state, complete);
        EXPECT_EQ(b.y.GetLastError(), complete ? ReelMsgNullPointer : ReelMsgBadResponseLength);
    }
    for (const Bytes& payload : {Bytes{}, Bytes{0x34}, Bytes{0x34, 0x12}, Bytes{0x34, 0x12, 0x99}}) {
        SCOPED_TRACE(payload.size());
        const bool complete = payload.size() >= 2;
        Bench b;
        unsigned short changed = 0xAAAA;
        b.respond(payload);
        EXPECT_EQ(b.y.GetChangedInputs(&changed), complete);
        EXPECT_EQ(changed, complete ? 0x1234 : 0xAAAA);
        EXPECT_EQ(b.y.GetLastError(), complete ? ReelMsgNullPointer : ReelMsgBadResponseLength);
    }
    Bench b;
    KReelPowerStatus power{0xDEADBEEF};
    b.respond({0x85, 0x01});
    ASSERT_TRUE(b.y.GetPowerStatus(&power));
    EXPECT_EQ(power.value, 133u);  // zero-extended, never negative
}

TEST(BoardInformation, FirmwareVersionCopiesThePayloadAndNothingMore) {
    Bench b;
    unsigned char version[260];
    std::memset(version, 0xAA, sizeof version);
    ASSERT_TRUE(b.y.GetFirmwareVersion(version));
    const size_t textLength = std::strlen(yarvo::sim::kFirmwareVersion);
    EXPECT_EQ(0, std::memcmp(version, yarvo::sim::kFirmwareVersion, textLength));
    EXPECT_EQ(version[textLength], 0xAA);  // no terminator added

    std::memset(version, 0xAA, sizeof version);
    b.respond({});
    ASSERT_TRUE(b.y.GetFirmwareVersion(version));
    EXPECT_EQ(version[0], 0xAA);

    Bytes full(253);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i);
    b.respond(full);
    ASSERT_TRUE(b.y.GetFirmwareVersion(version));
    EXPECT_EQ(0, std::memcmp(version, full.data(), full.size()));
    EXPECT_EQ(version[253], 0xAA);

    Fault status;
    status.kind = Fault::Status;
    status.value = 3;
    b.cab.driver().injectFault(0, status);
    std::memset(version, 0xAA, sizeof version);
    EXPECT_FALSE(b.y.GetFirmwareVersion(version));
    EXPECT_EQ(b.y.GetLastError(), ReelMsgBadResponse);
    EXPECT_EQ(version[0], 0xAA);
}
