// Reel and power faults of the virtual board as a host sees them through the
// library (status byte 1, the power status, refused commands), injected
// in-process, from the control channel and on a schedule.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "board_fault.h"
#include "cabinet.h"
#include "control_protocol.h"
#include "yarvo.h"

namespace {

using namespace std::chrono_literals;
using namespace yarvo::sim;

constexpr unsigned char kReel = 0;
constexpr int kTurn = 96;   // classic-12: 48 motor steps, deadband 2, 60 the half-step speed

class Host {
public:
    Host() {
        cab.board(0);
        cab.driver().setLogging(false);
        EXPECT_TRUE(y.Init());
        std::string path = YARVO_EXAMPLE_REEL_FILE, type = "classic-12";
        EXPECT_TRUE(y.VendorSetReelFilePath(&path[0]));
        EXPECT_TRUE(y.VendorConfigureReel(kReel, &type[0])) << y.GetLastError();
    }
    KReelStatus status() {
        KReelStatus s{};
        EXPECT_TRUE(y.GetReelStatus(kReel, &s)) << y.GetLastError();
        return s;
    }
    void settle() {
        for (int i = 0; i < 600 && (status().statusByte1 & kFlagMoving) != 0; ++i) cab.advance(50ms);
        ASSERT_FALSE(status().statusByte1 & kFlagMoving);
    }
    // The board's counter minus where the reel is, in (-T/2, T/2].
    int counterAhead() {
        const ReelState s = cab.reel(0, kReel);
        const int d = (int(s.position) - int(s.truePosition) + kTurn) % kTurn;
        return d > kTurn / 2 ? d - kTurn : d;
    }
    VirtualCabinet cab;
    Yarvo y;
};

// What a host reads once the reel rests after the board commands of each
// case: the flags of status byte 1 set and clear, and how far the counter
// ended up from the reel.
TEST(BoardFaults, HostSeesEachFaultInTheStatusByte) {
    constexpr uint8_t kPosition = kFlagPositionError, kIndex = kFlagIndexMissing;
    constexpr uint8_t kSync = kFlagSynchronised, kArmed = kFlagSyncArmed;
    auto turnAndAHalf = [](Host& h) { ASSERT_TRUE(h.y.SpinReelStepForward(kReel, 1, 144)); };
    auto synchronise = [](Host& h) { ASSERT_TRUE(h.y.VendorSynchroniseReel(kReel)) << h.y.GetLastError(); };
    struct Case {
        const char* name;
        std::function<void(Host&)> act;
        uint8_t set, clear;
        int counterAhead;
    };
    const Case cases[] = {
        {"healthy", turnAndAHalf, 0, kPosition | kIndex, 0},
        {"jammed at once", [&](Host& h) { h.cab.jam(kReel); turnAndAHalf(h); }, kPosition | kIndex, 0, 48},
        {"jammed after 10 steps", [&](Host& h) { h.cab.jam(kReel, 10); turnAndAHalf(h); }, kPosition | kIndex, 0, 38},
        {"3 steps lost", [&](Host& h) { h.cab.loseSteps(kReel, 3); turnAndAHalf(h); }, kPosition, kIndex, 3},
        {"2 steps lost: within the deadband", [&](Host& h) { h.cab.loseSteps(kReel, 2); turnAndAHalf(h); }, 0,
         kPosition | kIndex, 2},
        {"index dead: synchronisation never completes",
         [&](Host& h) { h.cab.indexSensor(kReel, IndexSensor::Dead); synchronise(h); }, kArmed | kPosition | kIndex,
         kSync, 0},
        {"index stuck: synchronisation completes at the first step",
         [&](Host& h) { h.cab.fault({BoardFault::Tamper, kReel, 20}).indexSensor(kReel, IndexSensor::Stuck); synchronise(h); },
         kSync | kPosition | kIndex, kArmed, -21},
        {"turned by hand: synchronisation puts the counter right",
         [&](Host& h) { h.cab.fault({BoardFault::Tamper, kReel, 20}); synchronise(h); }, kSync | kPosition,
         kArmed | kIndex | kFlagTampered, 0},
        {"jammed, healed, synchronised: clean again",
         [&](Host& h) {
             h.cab.jam(kReel);
             turnAndAHalf(h);
             h.settle();
             h.cab.heal(kReel);
             synchronise(h);
             h.settle();
             EXPECT_TRUE(h.status().statusByte1 & kPosition);   // the synchronisation found the counter off
             turnAndAHalf(h);
         },
         kSync, kPosition | kIndex | kArmed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Host h;
        c.act(h);
        h.settle();
        const uint8_t flags = h.status().statusByte1;
        EXPECT_EQ(flags & c.set, c.set) << std::hex << unsigned(flags);
        EXPECT_EQ(flags & c.clear, 0) << std::hex << unsigned(flags);
        EXPECT_EQ(h.counterAhead(), c.counterAhead);
        if (c.set & (kPosition | kIndex)) {
            // A new motion clears the flags until the fault shows again.
            ASSERT_TRUE(h.y.SpinReelStepBack(kReel, 1, 1));
            EXPECT_EQ(h.status().statusByte1 & (kPosition | kIndex), 0);
        }
    }
}

TEST(BoardFaults, FailedPowerStopsTheReelsWhereTheyAre) {
    Host h;
    ASSERT_TRUE(h.y.SpinReelStepForward(kReel, 1, 500));
    h.cab.advance(300ms);
    h.cab.power(kPowerFailed);
    const KReelStatus stopped = h.status();
    EXPECT_FALSE(stopped.statusByte1 & kFlagMoving);
    EXPECT_GT(stopped.position, 0);
    h.cab.advance(2s);
    EXPECT_EQ(h.status().position, stopped.position);
    EXPECT_EQ(h.counterAhead(), 0);
    KReelPowerStatus power{};
    ASSERT_TRUE(h.y.GetPowerStatus(&power));
    EXPECT_EQ(power.value, kPowerFailed);
    // Motion commands are refused (status 3) until the supply is back.
    EXPECT_FALSE(h.y.SpinReelStepForward(kReel, 1, 10));
    EXPECT_EQ(h.y.GetLastError(), ReelMsgBadResponse);
    EXPECT_FALSE(h.y.VendorSpinReelStartSkill(kReel, 60));
    h.cab.power(kPowerLow);
    ASSERT_TRUE(h.y.GetPowerStatus(&power));
    EXPECT_EQ(power.value, kPowerLow);
    EXPECT_TRUE(h.y.SpinReelStepForward(kReel, 1, 10));
}

// A scheduled fault happens at its time on the boards' clock, however late
// the board is next served: the same as injecting it by hand at that time.
TEST(BoardFaults, ScheduledFaultHappensAtItsTime) {
    ReelState byHand, scheduled;
    {
        Host h;
        ASSERT_TRUE(h.y.SpinReelStepForward(kReel, 1, 300));
        h.cab.advance(500ms);
        h.cab.jam(kReel);
        h.cab.advance(10s);
        byHand = h.cab.reel(0, kReel);
    }
    {
        Host h;
        h.cab.faultAt(500ms, {BoardFault::Jam, kReel, 0});
        ASSERT_TRUE(h.y.SpinReelStepForward(kReel, 1, 300));
        EXPECT_EQ(h.cab.driver().scheduledFaults(0), 1u);
        h.cab.advance(10s);
        scheduled = h.cab.reel(0, kReel);
        EXPECT_EQ(h.cab.driver().scheduledFaults(0), 0u);
    }
    EXPECT_TRUE(scheduled.jammed);
    EXPECT_NE(scheduled.truePosition, scheduled.position);
    EXPECT_EQ(scheduled.truePosition, byHand.truePosition);
    EXPECT_EQ(scheduled.position, byHand.position);
}

// The control channel's fault commands, and the schedule lines built on them.
TEST(BoardFaults, ControlCommandsAndScheduleLines) {
    VirtualCabinet cab;
    cab.board(0).board(1);
    ControlSession session(cab.driver(), {0, 1});
    const struct {
        const char* line;
        const char* reply;
    } commands[] = {
        {"jam 1 2", "ok board=1 reel2 jammed"},
        {"jam 1 3 40", "ok board=1 reel3 jams after 40 steps"},
        {"lose-steps 0 2 3", "ok board=0 reel2 loses 3 steps a spin"},
        {"index 0 4 dead", "ok board=0 reel4 index dead"},
        {"index 0 5 stuck", "ok board=0 reel5 index stuck"},
        {"power 1 low", "ok board=1 power=low"},
        {"heal 0 4", "ok board=0 reel4 healed"},
        {"jam 0 8", "error: reel \"8\" is not 0 to 7"},
        {"jam 0 1 -1", "error: steps \"-1\" is not 0 to 10000000"},
        {"index 0 1 broken", "error: index \"broken\" is not dead or stuck"},
        {"power 0 weak", "error: power \"weak\" is not good, low or failed"},
        {"lose-steps 0 1", "error: usage: lose-steps B REEL N"},
        {"heal 2 0", "error: no board at instance 2"},
    };
    for (const auto& c : commands) EXPECT_EQ(session.handle(c.line), c.reply);
    const std::string status0 = session.handle("status 0"), status1 = session.handle("status 1");
    EXPECT_NE(status0.find(" power=good "), std::string::npos) << status0;
    EXPECT_NE(status0.find("reel2=0/96,stopped,loses=3 "), std::string::npos) << status0;
    EXPECT_NE(status0.find("reel5=0/96,stopped,index-stuck "), std::string::npos) << status0;
    EXPECT_NE(status0.find("reel4=0/96,stopped reel5"), std::string::npos) << status0;   // healed
    EXPECT_NE(status1.find(" power=low "), std::string::npos) << status1;
    EXPECT_NE(status1.find("reel2=0/96,stopped,jammed "), std::string::npos) << status1;
    EXPECT_NE(status1.find("reel3=0/96,stopped,jams-in=40 "), std::string::npos) << status1;

    const struct {
        const char* text;
        bool ok;
        unsigned instance;
        uint64_t at;
        BoardFault::Kind kind;
        const char* errorPart;
    } schedules[] = {
        {"at 5s jam 0 2", true, 0, 5000000, BoardFault::Jam, ""},
        {"at 250ms power 1 failed", true, 1, 250000, BoardFault::Power, ""},
        {"at 1.5s tamper 0 1 -7", true, 0, 1500000, BoardFault::Tamper, ""},
        {"at 0s heal 3 7", true, 3, 0, BoardFault::Heal, ""},
        {"at 5 jam 0 2", false, 0, 0, BoardFault::Jam, "not a time"},
        {"at 5s unplug 0", false, 0, 0, BoardFault::Jam, "can be scheduled"},
        {"at 5s jam 0", false, 0, 0, BoardFault::Jam, "usage: jam B REEL"},
        {"5s jam 0 2", false, 0, 0, BoardFault::Jam, "at TIME COMMAND"},
        {"at 5s", false, 0, 0, BoardFault::Jam, "at TIME COMMAND"},
    };
    for (const auto& s : schedules) {
        SCOPED_TRACE(s.text);
        ScheduledFault f;
        std::string error;
        ASSERT_EQ(parseScheduledFault(s.text, &f, &error), s.ok) << error;
        if (s.ok) {
            EXPECT_EQ(f.instance, s.instance);
            EXPECT_EQ(f.atMicros, s.at);
            EXPECT_EQ(f.fault.kind, s.kind);
        } else {
            EXPECT_NE(error.find(s.errorPart), std::string::npos) << error;
        }
    }
}

}  // namespace
