// The virtual kernel driver: instances and their texts, node opening, the
// transfer entry point, fault injection, the transfer log and the clock.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet.h"
#include "wire.h"

namespace {

using namespace yarvo::sim;
using yarvo::wire::TransferBlock;
using Bytes = std::vector<uint8_t>;

TransferBlock makeBlock(uint8_t command, const Bytes& payload = {}) {
    TransferBlock block{};
    block.word0 = 2;
    block.word1 = 6;
    block.requestLength = static_cast<uint32_t>(payload.size() + 1);
    block.responseLength = 257;
    block.buffer[0] = command;
    for (size_t i = 0; i < payload.size(); ++i) {
        block.buffer[1 + i] = payload[i];
    }
    return block;
}

Bytes responsePayload(const TransferBlock& block) {
    if (block.responseLength < 2 || block.responseLength > 512) {
        return {};
    }
    return Bytes(block.buffer + 2, block.buffer + block.responseLength);
}

TEST(VirtualDriver, AttributesOfPresentPluggedInstances) {
    VirtualCabinet cab;
    cab.board(0);
    cab.board(15).speed("480\n");
    cab.board(7).product("Something Else\n");
    cab.board(9);
    cab.driver().unplug(9);

    struct Case {
        const char* path;
        bool served;
        const char* text;
    } cases[] = {
        {"/sys/class/Kmora/Kmora_0/device/product", true, kProductText},
        {"/sys/class/Kmora/Kmora_0/device/speed", true, kFullSpeedText},
        {"/sys/class/Kmora/Kmora_15/device/speed", true, kHighSpeedText},
        {"/sys/class/Kmora/Kmora_7/device/product", true, "Something Else\n"},
        {"/sys/class/Kmora/Kmora_1/device/product", false, nullptr},    // absent
        {"/sys/class/Kmora/Kmora_9/device/product", false, nullptr},    // unplugged
        {"/sys/class/Kmora/Kmora_00/device/product", false, nullptr},
        {"/sys/class/Kmora/Kmora_16/device/product", false, nullptr},
        {"/sys/class/Kmora/Kmora_0/device/product/", false, nullptr},
        {"/sys/class/Kmora/Kmora_0/product", false, nullptr},
        {"/sys/class/Kmora/Kmora_0/device/serial", false, nullptr},
        {"/sys/class/kmora/Kmora_0/device/product", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string text = "untouched";
        EXPECT_EQ(cab.driver().readAttribute(c.path, &text), c.served);
        EXPECT_EQ(text, c.served ? c.text : "untouched");
    }
}

TEST(VirtualDriver, NodeInstanceParsesOnlyNodeNames) {
    struct Case {
        const char* path;
        int instance;
    } cases[] = {
        {"/dev/Kmora_0", 0},    {"/dev/Kmora_9", 9},   {"/dev/Kmora_15", 15},
        {"/dev/Kmora_16", -1},  {"/dev/Kmora_01", -1}, {"/dev/Kmora_", -1},
        {"/dev/Kmora_1x", -1},  {"/dev/kmora_1", -1},  {"/dev/Kmora_-1", -1},
        {"/dev/Kmora_100", -1}, {"dev/Kmora_1", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(VirtualDriver::nodeInstance(c.path), c.instance);
    }
}

TEST(VirtualDriver, PlugUnplugReplugAndRemove) {
    VirtualCabinet cab;
    VirtualDriver& d = cab.driver();
    EXPECT_FALSE(d.present(3));
    EXPECT_EQ(d.openNode(3), ENOENT);
    TransferBlock block = makeBlock(20);
    EXPECT_EQ(d.transfer(3, &block), ENODEV);

    cab.board(3).inputs(0x000042);
    EXPECT_TRUE(d.present(3));
    EXPECT_TRUE(d.pluggedIn(3));
    EXPECT_EQ(d.openNode(3), 0);

    d.unplug(3);
    EXPECT_TRUE(d.present(3));
    EXPECT_FALSE(d.pluggedIn(3));
    EXPECT_EQ(d.openNode(3), ENOENT);
    EXPECT_FALSE(d.readAttribute("/sys/class/Kmora/Kmora_3/device/product", nullptr));
    block = makeBlock(20);
    EXPECT_EQ(d.transfer(3, &block), ENODEV);

    // Back with the same board: the inputs set before are still there.
    d.replug(3);
    block = makeBlock(20);
    ASSERT_EQ(d.transfer(3, &block), 0);
    EXPECT_EQ(responsePayload(block), (Bytes{0x42, 0, 0}));

    // Plugging again brings a fresh board; removing makes it absent.
    d.plug(3);
    block = makeBlock(20);
    ASSERT_EQ(d.transfer(3, &block), 0);
    EXPECT_EQ(responsePayload(block), (Bytes{0, 0, 0}));
    d.remove(3);
    EXPECT_FALSE(d.present(3));
    EXPECT_EQ(d.openNode(3), ENOENT);

    cab.board(4).nodeRefuses();
    EXPECT_EQ(d.openNode(4), EACCES);
    EXPECT_TRUE(d.readAttribute("/sys/class/Kmora/Kmora_4/device/product", nullptr));
    EXPECT_EQ(d.openNode(16), ENOENT);
}

TEST(VirtualDriver, MalformedBlocksAreRefused) {
    VirtualCabinet cab;
    cab.board(0);
    struct Case {
        const char* what;
        uint32_t word0, word1, requestLength;
        int error;
    } cases[] = {
        {"good", 2, 6, 1, 0},
        {"largest request", 2, 6, 256, 0},
        {"word 0", 3, 6, 1, EINVAL},
        {"word 1", 2, 5, 1, EINVAL},
        {"empty request", 2, 6, 0, EINVAL},
        {"request too long", 2, 6, 257, EINVAL},
        {"request beyond the buffer", 2, 6, 100000, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TransferBlock block = makeBlock(11);
        block.word0 = c.word0;
        block.word1 = c.word1;
        block.requestLength = c.requestLength;
        EXPECT_EQ(cab.driver().transfer(0, &block), c.error);
        EXPECT_EQ(block.responseLength, c.error == 0 ? 3u : 257u);
    }
}

// A fault built by a call: GCC 12 at -O3 misreads a vector member inside a
// braced aggregate as uninitialised.
Fault fault(Fault::Kind kind, int value, Bytes payload) {
    Fault f;
    f.kind = kind;
    f.value = value;
    f.payload = std::move(payload);
    return f;
}

TEST(VirtualDriver, FaultsAlterOneResponseEach) {
    struct Case {
        const char* what;
        Fault fault;
        int error;
        uint32_t length;
        uint8_t echo, status;
        Bytes payload;
    };
    const std::vector<Case> cases = {
        {"errno", fault(Fault::Errno, EIO, {}), EIO, 257, 23, 1, {}},  // block untouched
        {"length 1", fault(Fault::ResponseLength, 1, {}), 0, 1, 23, 0, {}},
        {"length 300", fault(Fault::ResponseLength, 300, {}), 0, 300, 23, 0, {}},
        {"echo", fault(Fault::Echo, 47, {}), 0, 2, 47, 0, {}},
        {"status", fault(Fault::Status, 7, {}), 0, 2, 23, 7, {}},
        {"payload", fault(Fault::Payload, 0, {1, 2, 3}), 0, 5, 23, 0, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualCabinet cab;
        cab.board(1);
        cab.driver().injectFault(1, c.fault, 2);
        for (int round = 0; round < 2; ++round) {
            TransferBlock block = makeBlock(23, {1, 0, 0, 0, 0, 0, 0, 0});
            EXPECT_EQ(cab.driver().transfer(1, &block), c.error);
            EXPECT_EQ(block.responseLength, c.length);
            EXPECT_EQ(block.buffer[0], c.echo);
            EXPECT_EQ(block.buffer[1], c.status);
            if (c.error == 0 && c.length <= 255) {
                EXPECT_EQ(responsePayload(block), c.payload);
            }
        }
        // A failed request never reached the board; the others did.
        const uint64_t expected = c.error == 0 ? (uint64_t{1} << 32) : 0;
        EXPECT_EQ(cab.firmware(1, [](Firmware& fw) { return fw.outputs(); }), expected);
        // The faults are used up: the third request is answered normally.
        TransferBlock block = makeBlock(23, {0, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(cab.driver().transfer(1, &block), 0);
        EXPECT_EQ(block.responseLength, 2u);
        EXPECT_EQ(block.buffer[1], 0);
        const auto log = cab.log();
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[0].error, c.error);
        EXPECT_EQ(log[1].echo, c.error == 0 ? c.echo : 0);
    }
}

TEST(VirtualDriver, FaultsStayWithTheirInstanceAndClear) {
    VirtualCabinet cab;
    cab.board(0);
    cab.board(1);
    cab.driver().failNext(1, EPIPE);
    TransferBlock block = makeBlock(11);
    EXPECT_EQ(cab.driver().transfer(0, &block), 0);
    EXPECT_EQ(cab.driver().transfer(1, &block), EPIPE);
    EXPECT_EQ(cab.driver().transfer(1, &block), 0);
    cab.driver().failNext(0, EIO, 3);
    cab.driver().clearFaults();
    EXPECT_EQ(cab.driver().transfer(0, &block), 0);
}

TEST(VirtualDriver, LogRecordsEachTransfer) {
    VirtualCabinet cab;
    cab.board(0);
    cab.board(2).inputs(0x030201);
    cab.advance(std::chrono::milliseconds(5));

    TransferBlock block = makeBlock(22, {13, 1});
    block.responseLength = 99;
    ASSERT_EQ(cab.driver().transfer(0, &block), 0);
    block = makeBlock(20);
    ASSERT_EQ(cab.driver().transfer(2, &block), 0);
    cab.driver().unplug(2);
    EXPECT_EQ(cab.driver().transfer(2, &block), ENODEV);

    const auto log = cab.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].instance, 0u);
    EXPECT_EQ(log[0].timeMicros, 5000u);
    EXPECT_EQ(log[0].word0, 2u);
    EXPECT_EQ(log[0].word1, 6u);
    EXPECT_EQ(log[0].requestLength, 3u);
    EXPECT_EQ(log[0].responseOffered, 99u);
    EXPECT_EQ(log[0].command, 22);
    EXPECT_EQ(log[0].payload, (Bytes{13, 1}));
    EXPECT_EQ(log[0].responseLength, 2u);
    EXPECT_TRUE(log[0].response.empty());
    EXPECT_EQ(log[1].instance, 2u);
    EXPECT_TRUE(log[1].payload.empty());
    EXPECT_EQ(log[1].echo, 20);
    EXPECT_EQ(log[1].response, (Bytes{1, 2, 3}));
    EXPECT_EQ(log[2].error, ENODEV);
    EXPECT_EQ(cab.driver().log(2).size(), 2u);
    EXPECT_EQ(cab.driver().transferCount(), 3u);

    cab.clearLog();
    EXPECT_TRUE(cab.log().empty());
    cab.driver().setLogging(false);
    ASSERT_EQ(cab.driver().transfer(0, &block), 0);
    EXPECT_EQ(cab.driver().transferCount(), 0u);
}

TEST(VirtualDriver, ResetForgetsEverything) {
    VirtualDriver& d = driver();
    {
        VirtualCabinet cab;
        cab.board(5).speed("480\n");
        d.failNext(5, EIO);
        d.advance(std::chrono::seconds(2));
        TransferBlock block = makeBlock(11);
        d.transfer(5, &block);
        d.setLogging(false);
    }
    EXPECT_FALSE(d.present(5));
    EXPECT_EQ(d.transferCount(), 0u);
    EXPECT_EQ(d.nowMicros(), 0u);
    d.plug(5);
    EXPECT_TRUE(d.readAttribute("/sys/class/Kmora/Kmora_5/device/speed", nullptr));
    std::string speed;
    d.readAttribute("/sys/class/Kmora/Kmora_5/device/speed", &speed);
    EXPECT_EQ(speed, kFullSpeedText);
    TransferBlock block = makeBlock(11);
    EXPECT_EQ(d.transfer(5, &block), 0);   // the fault went with the reset
    EXPECT_EQ(d.transferCount(), 1u);      // logging is back on
    d.reset();
}

TEST(VirtualDriver, ClockManualAndRealTime) {
    VirtualCabinet cab;
    cab.board(0);
    VirtualDriver& d = cab.driver();
    d.advance(std::chrono::microseconds(1500));
    d.advance(std::chrono::microseconds(-5));
    EXPECT_EQ(d.nowMicros(), 1500u);
    d.syncToWallClock();   // manual clock: no effect
    EXPECT_EQ(d.nowMicros(), 1500u);

    d.useRealTime(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    TransferBlock block = makeBlock(11);
    ASSERT_EQ(d.transfer(0, &block), 0);
    const uint64_t after = d.nowMicros();
    EXPECT_GE(after, 1500u + 20000u);
    EXPECT_EQ(d.log().back().timeMicros, after);
    d.advance(std::chrono::seconds(1));   // adds on top of the wall clock
    EXPECT_GE(d.nowMicros(), after + 1000000u);
    d.useRealTime(false);
    const uint64_t frozen = d.nowMicros();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(d.transfer(0, &block), 0);
    EXPECT_EQ(d.nowMicros(), frozen);
}

}  // namespace

namespace {

using namespace yarvo::sim;
using yarvo::wire::TransferBlock;

// Injecting a fault again adds to a count: twenty "fail 0 1000000" are one
// run of twenty million, used up one per transfer.
TEST(VirtualDriver, FaultsAreCountedNotQueuedOneByOne) {
    VirtualCabinet cab;
    cab.board(0);
    VirtualDriver& d = cab.driver();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(d.failNext(0, EIO, 1000000));
    }
    EXPECT_EQ(d.pendingFaultRuns(0), 1u);
    EXPECT_EQ(d.pendingFaults(0), 20000000u);
    TransferBlock block = makeBlock(11, {});
    EXPECT_EQ(d.transfer(0, &block), EIO);
    EXPECT_EQ(d.pendingFaults(0), 19999999u);
    EXPECT_EQ(d.snapshot(0).pendingFaults, 19999999u);
    // Different faults in turn are runs of their own, up to a limit.
    for (size_t i = 1; i < VirtualDriver::kMaxFaultRuns; ++i) {
        ASSERT_TRUE(d.failNext(0, i % 2 ? ETIMEDOUT : EIO));
    }
    EXPECT_FALSE(d.failNext(0, EPIPE));
    EXPECT_EQ(d.pendingFaultRuns(0), VirtualDriver::kMaxFaultRuns);
    EXPECT_FALSE(d.failNext(0, 0));
    EXPECT_FALSE(d.failNext(16, EIO));
}

// A view's snapshot never waits for the board: while the board is held it
// gets the latest snapshot taken.
TEST(VirtualDriver, SnapshotNeverWaitsForTheBoard) {
    VirtualCabinet cab;
    cab.board(3).inputs(0x5);
    VirtualDriver& d = cab.driver();
    const BoardSnapshot first = d.snapshot(3);
    EXPECT_TRUE(first.present && first.plugged);
    EXPECT_EQ(first.inputs, 0x5u);
    d.withBoard(3, [&](Firmware& fw) {
        fw.setInputs(0x7);
        auto view = std::async(std::launch::async, [&] { return d.snapshot(3); });
        ASSERT_EQ(view.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the view waited";
        EXPECT_EQ(view.get().inputs, 0x5u);
    });
    EXPECT_EQ(d.snapshot(3).inputs, 0x7u);
    EXPECT_FALSE(d.snapshot(16).present);
}

// Eight reels skill-spinning at 100 us a step, then an hour without a
// transfer: the next transfer finds each reel where an hour put it.
TEST(VirtualDriver, AnIdleHourIsCaughtUpByTheNextTransfer) {
    VirtualCabinet cab;
    cab.board(0);
    VirtualDriver& d = cab.driver();
    for (uint8_t reel = 0; reel < 8; ++reel) {
        TransferBlock up = makeBlock(42, {reel, 1, 1});
        TransferBlock skill = makeBlock(48, {reel, static_cast<uint8_t>(reel % 2 ? 1 : 0xFE)});
        ASSERT_EQ(d.transfer(0, &up), 0);
        ASSERT_EQ(d.transfer(0, &skill), 0);
    }
    d.advance(std::chrono::hours(1));
    for (uint8_t reel = 0; reel < 8; ++reel) {
        TransferBlock status = makeBlock(47, {reel});
        ASSERT_EQ(d.transfer(0, &status), 0);
        // 36,000,000 steps of one half step forwards, or two backwards.
        const uint32_t expected = reel % 2 ? 36000000u % 96u : (96u - 72000000u % 96u) % 96u;
        EXPECT_EQ((status.buffer[2] << 8) | status.buffer[3], static_cast<int>(expected)) << int(reel);
        EXPECT_EQ(status.buffer[6] & kFlagSkill, kFlagSkill);
    }
    EXPECT_EQ(cab.reel(0, 5).stepsTaken, 36000000u);
}

TEST(VirtualDriver, ClockRunsFasterWhenScaled) {
    BoardClock clock;
    EXPECT_FALSE(clock.setScale(0));
    EXPECT_FALSE(clock.setScale(BoardClock::kMaxScale + 1));
    ASSERT_TRUE(clock.setScale(100));
    clock.followWall(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(clock.now(), 2000000u);   // 20 ms of wall time are 2 s of board time
    clock.followWall(false);
    const uint64_t frozen = clock.now();
    clock.advance(5);
    EXPECT_EQ(clock.now(), frozen + 5);
}

}  // namespace
