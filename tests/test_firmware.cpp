// The firmware model: response bytes and effects of each command, and the
// status bytes of requests it refuses.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "firmware.h"
#include "wire.h"

namespace {

using namespace yarvo::sim;
using Bytes = std::vector<uint8_t>;

struct Answer {
    uint8_t status;
    Bytes payload;
};

Answer send(Firmware& fw, uint8_t command, const Bytes& payload = {}) {
    Bytes request{command};
    request.insert(request.end(), payload.begin(), payload.end());
    uint8_t out[yarvo::wire::kMaxResponsePayload];
    std::memset(out, 0xEE, sizeof out);
    uint32_t length = 999;
    const uint8_t status = fw.handle(request.data(), static_cast<uint32_t>(request.size()), out, &length);
    EXPECT_LE(length, yarvo::wire::kMaxResponsePayload);
    return {status, Bytes(out, out + length)};
}

// Reel 0, the length, and that many entries.
Bytes rampRequest(uint8_t length) {
    Bytes payload{0, length};
    payload.resize(2u + length, 10);
    return payload;
}

TEST(Firmware, VersionAndPower) {
    Firmware fw;
    Answer a = send(fw, 10);
    EXPECT_EQ(a.status, kStatusOk);
    EXPECT_EQ(std::string(a.payload.begin(), a.payload.end()), kFirmwareVersion);

    fw.setFirmwareVersion(std::string(300, 'v'));
    EXPECT_EQ(send(fw, 10).payload, Bytes(253, 'v'));
    fw.setFirmwareVersion("");
    EXPECT_TRUE(send(fw, 10).payload.empty());

    EXPECT_EQ(send(fw, 11).payload, Bytes{kPowerGood});
    fw.setPowerStatus(0x85);
    a = send(fw, 11);
    EXPECT_EQ(a.status, kStatusOk);
    EXPECT_EQ(a.payload, Bytes{0x85});
}

TEST(Firmware, InputReportCarriesInputsAndAddress) {
    struct Case {
        uint32_t inputs;
        int address;   // -1: not set
        Bytes report;
    } cases[] = {
        {0x000000, -1, {0, 0, 0}},
        {0x038005, -1, {0x05, 0x80, 0x03}},
        {0x008005, 3, {0x05, 0x80, 0x03}},
        {0xF80001, 5, {0x01, 0x00, 0xFD}},
        {0x010000, 6, {0x00, 0x00, 0x07}},   // the address holds inputs 16-18 on
        {0xFFFFFFFF, -1, {0xFF, 0xFF, 0xFF}},   // only 24 inputs
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inputs);
        // Both orders of setting give the same report.
        for (bool addressFirst : {true, false}) {
            Firmware fw;
            if (addressFirst && c.address >= 0) fw.setAddress(static_cast<uint8_t>(c.address));
            fw.setInputs(c.inputs);
            if (!addressFirst && c.address >= 0) fw.setAddress(static_cast<uint8_t>(c.address));
            const Answer a = send(fw, 20);
            EXPECT_EQ(a.status, kStatusOk);
            EXPECT_EQ(a.payload, c.report);
            EXPECT_EQ(fw.inputs(), uint32_t{c.report[0]} | uint32_t{c.report[1]} << 8 |
                                       uint32_t{c.report[2]} << 16);
        }
    }
}

TEST(Firmware, ChangedInputsLatch) {
    Firmware fw;
    fw.setInputs(0x0005);                 // inputs 0 and 2 come on
    fw.setInputs(0x0004);                 // input 0 goes off again: still latched
    fw.setInput(15, true);
    fw.setInputs(fw.inputs() | 0x070000);   // inputs 16-18 are not latched
    fw.setAddress(7);
    EXPECT_EQ(fw.changedInputs(), 0x8005);
    Answer a = send(fw, 21);
    EXPECT_EQ(a.status, kStatusOk);
    EXPECT_EQ(a.payload, (Bytes{0x05, 0x80}));
    // Reading cleared it.
    EXPECT_EQ(send(fw, 21).payload, (Bytes{0x00, 0x00}));
    fw.setInputs(fw.inputs());            // no change
    EXPECT_EQ(fw.changedInputs(), 0);
    fw.setInput(9, true);
    fw.setInput(24, true);                // no such input
    EXPECT_EQ(send(fw, 21).payload, (Bytes{0x00, 0x02}));
    // Other commands leave the latch alone.
    fw.setInput(1, true);
    send(fw, 20);
    EXPECT_EQ(fw.changedInputs(), 0x0002);
}

TEST(Firmware, OutputCommands) {
    struct Step {
        uint8_t command;
        Bytes payload;
        uint64_t outputs;   // after the step
    };
    const std::vector<Step> steps = {
        {23, {0x01, 0, 0, 0, 0x00, 0x80, 0, 0}, 0x0000000100008000ull},  // upper word, lamp word
        {22, {13, 1}, 0x0000000100008000ull | (1ull << 13)},
        {22, {40, 1}, 0x0000010100008000ull | (1ull << 13)},
        {22, {32, 0}, 0x0000010000008000ull | (1ull << 13)},
        {22, {13, 7}, 0x0000010000008000ull | (1ull << 13)},   // any non-zero state is on
        {24, {0, 0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x000001000000A700ull},  // lamps of reel 2 on
        {24, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}, 0x0000010000008700ull},  // output 13 off
        {24, {0x02, 0, 0, 0x80, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0}, 0x8000000200008700ull},
        {24, {0x10, 0, 0, 0, 0x01, 0, 0, 0, 0x10, 0, 0, 0, 0x01, 0, 0, 0}, 0x8000000200008700ull},  // on and off: off
        {23, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 0x00000000FFFFFFFFull},
        {24, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x70}, 0x000000008FFFFFFFull},  // reel 7 lamps off
        {22, {63, 1}, 0x800000008FFFFFFFull},
    };
    Firmware fw;
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const Answer a = send(fw, steps[i].command, steps[i].payload);
        EXPECT_EQ(a.status, kStatusOk);
        EXPECT_TRUE(a.payload.empty());
        EXPECT_EQ(fw.outputs(), steps[i].outputs);
    }
    EXPECT_TRUE(fw.output(63));
    EXPECT_FALSE(fw.output(62));
    EXPECT_FALSE(fw.output(64));
}

TEST(Firmware, RefusedRequestsAnswerStatusAndChangeNothing) {
    struct Case {
        const char* what;
        uint8_t command;
        Bytes payload;
        uint8_t status;
    } cases[] = {
        {"output 64", 22, {64, 1}, kStatusBadArgument},
        {"short 22", 22, {3}, kStatusBadArgument},
        {"short 23", 23, {1, 2, 3, 4, 5, 6, 7}, kStatusBadArgument},
        {"short 24", 24, Bytes(15, 0xFF), kStatusBadArgument},
        {"short 40", 40, {2, 1, 0x90, 0x2C, 4}, kStatusBadArgument},
        {"40 with 9 reels", 40, {9, 1, 0x90, 0x2C, 4, 0xFB}, kStatusBadArgument},
        {"spin reel 8", 41, {8, 1, 0, 10}, kStatusBadReel},
        {"spin reel 255, short", 41, {255}, kStatusBadReel},
        {"spin, short", 41, {0, 1, 0}, kStatusBadArgument},
        {"spin, no payload", 41, {}, kStatusBadArgument},
        {"spin, mode 0", 41, {0, 0, 0, 10}, kStatusBadArgument},
        {"spin, mode 3", 41, {0, 3, 0, 10}, kStatusBadArgument},
        {"spin, mode -3", 41, {0, 0xFD, 0, 10}, kStatusBadArgument},
        {"ramp-up reel 8", 42, {8, 1, 5}, kStatusBadReel},
        {"ramp-up of 0", 42, {0, 0}, kStatusBadArgument},
        {"ramp-up of 61", 42, rampRequest(61), kStatusBadArgument},
        {"ramp-up entries missing", 42, {0, 3, 5, 5}, kStatusBadArgument},
        {"ramp-down of 61", 43, rampRequest(61), kStatusBadArgument},
        {"ramp-down entries missing", 43, {0, 2, 5}, kStatusBadArgument},
        {"duty reel 9", 44, {9, 1, 1}, kStatusBadReel},
        {"duty sum 256", 44, {0, 200, 56}, kStatusBadArgument},
        {"short 44", 44, {0, 200}, kStatusBadArgument},
        {"tamper reel 8", 45, {8}, kStatusBadReel},
        {"short 45", 45, {}, kStatusBadArgument},
        {"sync mode 2", 46, {0, 2}, kStatusBadArgument},
        {"short 46", 46, {0}, kStatusBadArgument},
        {"status reel 8", 47, {8}, kStatusBadReel},
        {"short 47", 47, {}, kStatusBadArgument},
        {"skill mode 0", 48, {0, 0}, kStatusBadArgument},
        {"skill reel 8", 48, {8, 1}, kStatusBadReel},
        {"short 48", 48, {0}, kStatusBadArgument},
        {"stop skill reel 8", 49, {8}, kStatusBadReel},
        {"stop at reel 8", 50, {8, 0, 0}, kStatusBadReel},
        {"short 50", 50, {0, 1}, kStatusBadArgument},
        {"parameters reel 8", 51, {8, 0, 96, 0, 0, 0, 0, 0, 0}, kStatusBadReel},
        {"short 51", 51, {0, 0, 96, 0, 0, 0, 0, 0}, kStatusBadArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Firmware fw;
        const Answer a = send(fw, c.command, c.payload);
        EXPECT_EQ(a.status, c.status);
        EXPECT_TRUE(a.payload.empty());
        EXPECT_EQ(fw.outputs(), 0u);
        EXPECT_EQ(fw.reelCount(), 0);
        const ReelState s = fw.reel(0).state();
        EXPECT_TRUE(s.rampUp.empty());
        EXPECT_TRUE(s.rampDown.empty());
        EXPECT_EQ(s.dutyOff + s.dutyOn, 0);
        EXPECT_FALSE(s.syncArmed);
        EXPECT_FALSE(s.hasParameters);
        EXPECT_FALSE(s.moving);
    }
}

TEST(Firmware, ReelSetUpCommandsReachTheReel) {
    Firmware fw;
    EXPECT_EQ(send(fw, 40, {2, 0x01, 0x90, 0x2C, 4, 0xFB}).status, kStatusOk);
    EXPECT_EQ(fw.reelCount(), 2);
    EXPECT_EQ(fw.stepsPerSymbol(), 0x2C);
    EXPECT_EQ(fw.fifthParameter(), 5);   // sent negated
    EXPECT_EQ(send(fw, 40, {0, 0, 0, 0, 1, 0x80}).status, kStatusOk);
    EXPECT_EQ(fw.fifthParameter(), 0x80);

    EXPECT_EQ(send(fw, 42, {3, 3, 40, 30, 20}).status, kStatusOk);
    EXPECT_EQ(send(fw, 43, {3, 2, 25, 45}).status, kStatusOk);
    EXPECT_EQ(send(fw, 42, rampRequest(60)).status, kStatusOk);
    EXPECT_EQ(fw.reel(0).state().rampUp, Bytes(60, 10));
    EXPECT_EQ(send(fw, 44, {3, 200, 55}).status, kStatusOk);
    EXPECT_EQ(send(fw, 46, {3, 1}).status, kStatusOk);
    const Bytes params = {3, 0x01, 0x90, 4, 2, 1, 7, 8, 9};
    EXPECT_EQ(send(fw, 51, params).status, kStatusOk);
    const ReelState s = fw.reel(3).state();
    EXPECT_EQ(s.rampUp, (Bytes{40, 30, 20}));
    EXPECT_EQ(s.rampDown, (Bytes{25, 45}));
    EXPECT_EQ(s.dutyOff, 200);
    EXPECT_EQ(s.dutyOn, 55);
    EXPECT_TRUE(s.syncArmed);
    EXPECT_EQ(s.syncMode, 1);
    EXPECT_TRUE(s.hasParameters);
    EXPECT_EQ(Bytes(s.parameters, s.parameters + 9), params);
    // A ramp-down table may be emptied; other reels are untouched.
    EXPECT_EQ(send(fw, 43, {3, 0}).status, kStatusOk);
    EXPECT_TRUE(fw.reel(3).state().rampDown.empty());
    EXPECT_TRUE(fw.reel(2).state().rampUp.empty());

    fw.reel(5).nudge(3);
    ASSERT_TRUE(fw.reel(5).state().tampered);
    EXPECT_EQ(send(fw, 45, {5}).status, kStatusOk);
    EXPECT_FALSE(fw.reel(5).state().tampered);
}

TEST(Firmware, ReelStatusIsTheReelsNineBytes) {
    Firmware fw;
    send(fw, 51, {6, 0x00, 0x60, 0, 0, 0, 0, 0, 0});
    send(fw, 44, {6, 10, 90});
    for (unsigned r : {0u, 6u, 7u}) {
        SCOPED_TRACE(r);
        uint8_t expected[9];
        fw.reel(r).status(expected);
        const Answer a = send(fw, 47, {static_cast<uint8_t>(r)});
        EXPECT_EQ(a.status, kStatusOk);
        EXPECT_EQ(a.payload, Bytes(expected, expected + 9));
    }
}

TEST(Firmware, UnknownCommandsAnswerEmpty) {
    Firmware fw;
    for (uint8_t command : {0, 1, 12, 25, 39, 52, 127, 255}) {
        SCOPED_TRACE(int{command});
        const Answer a = send(fw, command, {1, 2, 3});
        EXPECT_EQ(a.status, kStatusOk);
        EXPECT_TRUE(a.payload.empty());
    }
    EXPECT_EQ(fw.outputs(), 0u);
}

}  // namespace
