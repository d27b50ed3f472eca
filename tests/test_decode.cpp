// The transfer decoder that the tracer and the virtual board's logs share.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "decode.h"
#include "firmware.h"
#include "wire.h"

namespace {

using yarvo::decode::Exchange;

struct RequestCase {
    uint8_t command;
    std::vector<uint8_t> payload;
    const char* expected;
};

// One line per command code, fields as a technician reads them.
TEST(Decode, RequestFieldsOfEveryCommand) {
    const RequestCase cases[] = {
        {10, {}, "FIRMWARE-VERSION"},
        {11, {}, "POWER-STATUS"},
        {20, {}, "INPUTS"},
        {21, {}, "CHANGED-INPUTS"},
        {22, {0x0D, 0x01}, "OUTPUT-BIT output=13 state=on"},
        {22, {0x28, 0x00}, "OUTPUT-BIT output=40 state=off"},
        {22, {0x28, 0x05}, "OUTPUT-BIT output=40 state=5"},
        {23, {0x01, 0, 0, 0, 0, 0x80, 0, 0}, "OUTPUTS first=0x00000001 second=0x00008000"},
        {24, {0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x70},
         "MODIFY-OUTPUTS w1=0x00000000 w2=0x00000700 w3=0x00000000 w4=0x70000000"},
        {40, {0x02, 0x01, 0x90, 0x2C, 0x04, 0xFB},
         "CONFIGURE-REELS count=2 param16=400 steps-per-symbol=44 param4=4 param5=5"},
        {41, {0x02, 0xFE, 0x00, 0x76}, "SPIN reel=2 mode=-2 steps=118"},
        {41, {0x01, 0x01, 0x7F, 0xFF}, "SPIN reel=1 mode=1 steps=32767"},
        {42, {0x02, 0x03, 90, 60, 40}, "RAMP-UP reel=2 len=3"},
        {43, {0x02, 0x00}, "RAMP-DOWN reel=2 len=0"},
        {43, {0x02, 0x03, 90}, "RAMP-DOWN reel=2 len=3 (1 entries sent)"},
        {44, {0x03, 40, 200}, "DUTY-CYCLE reel=3 off=40 on=200"},
        {45, {0x04}, "CLEAR-TAMPER reel=4"},
        {46, {0x05, 0x01}, "SYNC-ENABLE reel=5 mode=1"},
        {47, {0x02}, "STATUS reel=2"},
        {48, {0x06, 0xFF}, "SKILL-START reel=6 mode=-1"},
        {49, {0x07}, "SKILL-STOP reel=7"},
        {50, {0x02, 0x00, 0x80}, "STOP-AT reel=2 pos=128"},
        {51, {0x01, 0x01, 0x90, 6, 0, 1, 1, 0, 3},
         "REEL-PARAMS reel=1 turn=400 tab-width=6 tab-offset=0 tab-type=1 position-method=1 "
         "tamper-method=0 deadband=3"},
        // Too short, too long, unknown.
        {41, {0x02, 0xFE}, "SPIN short payload: 2 of 4 bytes [02 fe]"},
        {45, {0x04, 0x09}, "CLEAR-TAMPER reel=4 +1 bytes"},
        {99, {0x01, 0xAB}, "CMD-99 [01 ab]"},
    };
    for (const RequestCase& c : cases) {
        std::string line = yarvo::decode::commandLabel(c.command);
        const std::string fields = yarvo::decode::requestFields(c.command, c.payload.data(), c.payload.size());
        if (!fields.empty()) line += " " + fields;
        EXPECT_EQ(line, c.expected) << "command " << int(c.command);
    }
}

struct Transfer {
    uint8_t command;
    std::vector<uint8_t> request;  // payload
    int error;
    uint32_t responseLength;
    std::vector<uint8_t> response;  // from echo on
    const char* expected;
};

// The outcome follows the host's own order of checks: the request failing,
// the length, the echo, the status byte, then the response fields.
TEST(Decode, OutcomesInTheHostsOrderOfChecks) {
    const Transfer cases[] = {
        {41, {2, 0xFE, 0, 118}, 0, 2, {41, 0}, "SPIN reel=2 mode=-2 steps=118 -> ok"},
        {41, {2, 0xFE, 0, 118}, 0, 4, {41, 0, 9, 9}, "SPIN reel=2 mode=-2 steps=118 -> ok +2 bytes"},
        {47, {2}, 0, 11, {47, 0, 0x01, 0x2C, 0x00, 0x05, 0x03, 0x00, 0x01, 0xFF, 0xFE},
         "STATUS reel=2 -> pos=300 word1=5 byte1=3 byte2=0 byte3=1 word2=65534"},
        {47, {2}, 0, 10, {47, 0, 1, 2, 3, 4, 5, 6, 7, 8},
         "STATUS reel=2 -> status of 8 bytes, 9 expected [01 02 03 04 05 06 07 08]"},
        {20, {}, 0, 5, {20, 0, 0x05, 0x80, 0x03}, "INPUTS -> inputs=0x038005 address=3"},
        {20, {}, 0, 4, {20, 0, 0x05, 0x80}, "INPUTS -> short payload: 2 of 3 bytes [05 80]"},
        {21, {}, 0, 4, {21, 0, 0x34, 0x12}, "CHANGED-INPUTS -> changed=0x1234"},
        {11, {}, 0, 3, {11, 0, 0x85}, "POWER-STATUS -> power=133"},
        {10, {}, 0, 6, {10, 0, 'V', '1', 0x00, '"'}, "FIRMWARE-VERSION -> version=\"V1\\x00\\\"\""},
        {20, {}, ENODEV, 0, {}, "INPUTS -> failed: ENODEV (No such device)"},
        {20, {}, 0, 1, {20}, "INPUTS -> bad response length 1"},
        {20, {}, 0, 256, {20, 0}, "INPUTS -> bad response length 256"},
        {20, {}, 0, 5, {21, 0, 0, 0, 0}, "INPUTS -> bad echo 21 (expected 20)"},
        {41, {1, 3, 0, 1}, 0, 2, {41, 2}, "SPIN reel=1 mode=3 steps=1 -> board status 2"},
        // An echo that is wrong and a bad status: the echo is judged first.
        {41, {1, 1, 0, 1}, 0, 2, {40, 2}, "SPIN reel=1 mode=1 steps=1 -> bad echo 40 (expected 41)"},
    };
    for (const Transfer& c : cases) {
        Exchange e;
        e.command = c.command;
        e.request = c.request.data();
        e.requestLength = c.request.size();
        e.error = c.error;
        e.responseLength = c.responseLength;
        std::vector<uint8_t> response = c.response;
        response.resize(512, 0);
        e.response = c.error == 0 ? response.data() : nullptr;
        EXPECT_EQ(yarvo::decode::describe(e), c.expected);
    }
}

// The tracer builds its exchange from copies of the block taken around the
// driver request.
TEST(Decode, ExchangeFromTransferBlocks) {
    yarvo::wire::TransferBlock before{};
    before.word0 = 2;
    before.word1 = 6;
    before.requestLength = 5;
    before.responseLength = 257;
    const uint8_t request[] = {41, 2, 0xFE, 0, 118};
    std::memcpy(before.buffer, request, sizeof request);
    yarvo::wire::TransferBlock after = before;
    after.responseLength = 2;
    after.buffer[0] = 41;
    after.buffer[1] = 0;

    EXPECT_EQ(yarvo::decode::describe(yarvo::decode::fromBlocks(before, after, 0, 0)),
              "SPIN reel=2 mode=-2 steps=118 -> ok");
    EXPECT_EQ(yarvo::decode::describe(yarvo::decode::fromBlocks(before, after, -1, ETIMEDOUT)),
              "SPIN reel=2 mode=-2 steps=118 -> failed: ETIMEDOUT (Connection timed out)");

    // Block words other than the fixed ones are pointed out.
    before.word1 = 7;
    before.responseLength = 100;
    EXPECT_EQ(yarvo::decode::describe(yarvo::decode::fromBlocks(before, after, 0, 0)),
              "SPIN reel=2 mode=-2 steps=118 [block words 2,7 offered 100] -> ok");

    // A request length beyond the buffer is clamped, never read past it.
    before.requestLength = 100000;
    const Exchange e = yarvo::decode::fromBlocks(before, after, 0, 0);
    EXPECT_EQ(e.requestLength, yarvo::wire::kBufferSize - 1);
}

TEST(Decode, HexAndNames) {
    const uint8_t bytes[] = {0x00, 0x7F, 0xFF};
    EXPECT_EQ(yarvo::decode::hex(bytes, 3), "00 7f ff");
    EXPECT_EQ(yarvo::decode::hex(bytes, 0), "");
    EXPECT_EQ(yarvo::decode::commandName(47), std::string("STATUS"));
    EXPECT_EQ(yarvo::decode::commandName(12), nullptr);
    EXPECT_EQ(yarvo::decode::errnoName(EIO), "EIO");
}

}  // namespace

// A board that names itself the virtual one in its firmware version gets its
// status replies decoded by the model's names, read from a real reply of the
// firmware model; other boards keep the neutral names.
TEST(Decode, StatusByTheVirtualBoardsNamesOnceItSaysWhatItIs) {
    yarvo::sim::Firmware fw;
    const uint8_t duty[] = {44, 2, 40, 200};
    const uint8_t spin[] = {41, 2, 0xFF, 0, 10};   // reel 2, step mode -1, 10 steps
    const uint8_t status[] = {47, 2};
    const uint8_t version[] = {10};
    uint8_t reply[256];
    uint32_t length = 0;
    fw.handle(duty, sizeof duty, reply + 2, &length);
    fw.handle(spin, sizeof spin, reply + 2, &length);

    auto exchange = [&](const uint8_t* request, uint32_t size) {
        reply[0] = request[0];
        reply[1] = fw.handle(request, size, reply + 2, &length);
        Exchange e;
        e.command = request[0];
        e.request = request + 1;
        e.requestLength = size - 1;
        e.responseLength = length + 2;
        e.response = reply;
        return e;
    };
    yarvo::decode::FirmwareNotes notes;
    const std::string neutral = "STATUS reel=2 -> pos=0 word1=10 byte1=1 byte2=255 byte3=200 word2=96";
    EXPECT_EQ(notes.describe(3, exchange(status, sizeof status)), neutral);
    EXPECT_EQ(notes.describe(3, exchange(version, sizeof version)), "FIRMWARE-VERSION -> version=\"YARVO-SIM 1.0\"");
    EXPECT_TRUE(notes.virtualBoard(3));
    EXPECT_FALSE(notes.virtualBoard(4));
    EXPECT_EQ(notes.describe(3, exchange(status, sizeof status)),
              "STATUS reel=2 -> pos=0 to-go=10 flags=moving mode=-1 duty-on=200 turn=96");
    EXPECT_EQ(notes.describe(4, exchange(status, sizeof status)), neutral);

    // Another firmware on the same board: the neutral names again.
    fw.setFirmwareVersion("K-MORA 2.04");
    notes.note(3, exchange(version, sizeof version));
    EXPECT_FALSE(notes.virtualBoard(3));
    EXPECT_TRUE(yarvo::decode::namesVirtualBoard(reinterpret_cast<const uint8_t*>(yarvo::sim::kFirmwareVersion),
                                                 std::strlen(yarvo::sim::kFirmwareVersion)));
    EXPECT_EQ(yarvo::decode::flagNames(0x2C | 0x40), (std::vector<std::string>{"synchronised", "tampered", "sync-armed", "0x40"}));
}
