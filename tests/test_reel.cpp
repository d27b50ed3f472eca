// Reel motion model: distances, timing, skill spins, stops at a position,
// tamper and synchronisation, status bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "reel.h"

namespace yarvo::sim {
namespace {

using Table = std::vector<uint8_t>;
using Times = std::vector<uint64_t>;
constexpr uint64_t kForever = uint64_t(1) << 40;

Reel makeReel(const Table& up, const Table& down, uint32_t turn = kDefaultTurnLength) {
    Reel r;
    r.setTurnLength(turn);
    r.setRampUp(up.data(), up.size());
    r.setRampDown(down.data(), down.size());
    return r;
}

// Micros from now at which each remaining motor step happens (within 10 ms).
Times stepTimes(Reel& r) {
    Times times;
    for (uint64_t t = 1, taken = r.state().stepsTaken; r.state().moving && t <= 10000;
         ++t, taken = r.state().stepsTaken) {
        r.advance(1);
        if (r.state().stepsTaken != taken) times.push_back(t);
    }
    return times;
}

void moveTo(Reel& r, uint32_t position) {
    if (position) r.spin(1, uint16_t(position));   // from a reel at 0
    r.advance(kForever);
}

TEST(ReelMotion, SpinEndsStepsTimesModeAway) {
    struct Case { uint32_t start; int8_t mode; uint16_t steps; uint32_t end; };
    for (const Case& c : {Case{0, 1, 10, 10}, {0, -1, 5, 91}, {90, 2, 5, 4}, {3, -2, 3, 93},
                          {0, 2, 200, 16}, {7, -1, 96, 7}, {95, 1, 1, 0}, {1, -2, 1, 95}}) {
        Reel r = makeReel({5, 3}, {4, 6});
        moveTo(r, c.start);
        const uint64_t before = r.state().stepsTaken;
        ASSERT_TRUE(r.spin(c.mode, c.steps));
        r.stopSkill();   // leaves a counted spin alone
        r.advance(kForever);
        const ReelState s = r.state();
        EXPECT_EQ(s.position, c.end) << int(c.mode) << " x " << c.steps << " from " << c.start;
        EXPECT_EQ(s.truePosition, c.end);
        EXPECT_EQ(s.stepsTaken - before, c.steps);
        EXPECT_EQ(s.stepMode, c.mode);
    }
    Reel r;
    EXPECT_FALSE(r.spin(0, 5));
    EXPECT_FALSE(r.startSkill(3));
    EXPECT_TRUE(r.spin(-2, 0));   // accepted, but nothing moves
    EXPECT_FALSE(r.state().moving);
}

TEST(ReelMotion, SpinTakesTheSumOfItsPeriodsHoweverTimeIsSliced) {
    struct Case { Table up, down; uint8_t defaultPeriod; uint16_t steps; uint64_t micros; };
    const Case cases[] = {
        {{30, 20, 10}, {15, 25, 40}, 50, 8, 16000},   // 30+20+10+10+10+15+25+40
        {{30, 20, 10}, {15, 25, 40}, 50, 4, 11000},   // 30, then the whole ramp-down
        {{30, 20, 10}, {15, 25, 40}, 50, 2, 6500},    // the last two ramp-down entries only
        {{}, {}, 50, 3, 15000},                       // no tables: the default period
        {{}, {}, 0, 5, 500},                          // a zero period counts as one unit
        {{0}, {0, 2}, 50, 3, 400},
    };
    for (const Case& c : cases) {
        for (uint64_t slice : {c.micros, uint64_t(1000), uint64_t(7), uint64_t(1)}) {
            Reel r = makeReel(c.up, c.down);
            r.setDefaultStepPeriod(c.defaultPeriod);
            r.spin(1, c.steps);
            for (uint64_t t = 0; t < c.micros - 1; t += slice) r.advance(std::min(slice, c.micros - 1 - t));
            EXPECT_TRUE(r.state().moving) << c.steps << " steps, slice " << slice;
            EXPECT_EQ(r.state().position, c.steps - 1u);
            r.advance(1);
            EXPECT_FALSE(r.state().moving) << c.steps << " steps, slice " << slice;
            EXPECT_EQ(r.state().position, c.steps);
        }
    }
}

TEST(ReelMotion, StepsFollowRampUpCruiseRampDown) {
    Reel r = makeReel({3, 2}, {4, 1});
    r.spin(-1, 6);
    EXPECT_EQ(stepTimes(r), (Times{300, 500, 700, 900, 1300, 1400}));

    // A new command replaces the running one, from the start of the profile.
    r = makeReel({3, 1}, {});
    r.spin(1, 100);
    r.advance(450);   // steps at 300 and 400, half way through the third
    r.spin(2, 2);
    EXPECT_EQ(stepTimes(r), (Times{300, 400}));
    EXPECT_EQ(r.state().position, 6u);

    // A skill spin ramps up and cruises until stopped, then takes the ramp-down steps.
    r = makeReel({3, 2, 1}, {2, 4});
    ASSERT_TRUE(r.startSkill(1));
    r.advance(10'000'800);   // steps at 300, 500, 600, then every 100
    ReelState s = r.state();
    EXPECT_TRUE(s.moving && s.skill && !s.stopping);
    EXPECT_EQ(s.stepsToGo, 0u);
    EXPECT_EQ(s.stepsTaken, 100'005u);
    r.advance(50);   // half way through a cruise step: the ramp-down takes over
    r.stopSkill();
    s = r.state();
    EXPECT_TRUE(s.stopping && s.skill);
    EXPECT_EQ(s.stepsToGo, 2u);
    EXPECT_EQ(stepTimes(r), (Times{150, 550}));
    s = r.state();
    EXPECT_FALSE(s.moving || s.skill || s.stopping);
    EXPECT_EQ(s.position, 100'007u % 96u);

    r = makeReel({3}, {});   // without a ramp-down table the reel stops at once
    r.startSkill(-2);
    r.advance(650);
    r.stopSkill();
    EXPECT_FALSE(r.state().moving);
    EXPECT_EQ(r.state().position, 92u);
}

TEST(ReelMotion, StopAtPositionLandsExactlyOnIt) {
    const uint32_t nd = 3;
    for (int8_t mode : {-2, -1, 1, 2}) {
        const uint32_t size = mode < 0 ? -mode : mode;
        for (uint32_t start : {0u, 1u, 50u}) {
            for (uint32_t p = 0; p < 96; ++p) {
                Reel r = makeReel({2, 1}, {5, 4, 3});
                moveTo(r, start);
                r.startSkill(mode);
                r.advance(700);   // six steps into the spin
                const uint32_t from = r.state().position;
                r.stopAtPosition(uint16_t(p + 96 * (p % 3)));   // beyond a turn counts modulo
                uint32_t ahead = mode > 0 ? (p + 96 - from) % 96 : (from + 96 - p) % 96;
                if ((ahead + size - 1) / size < nd) ahead += 96;   // a turn more to fit the ramp-down
                EXPECT_EQ(r.state().stepsToGo, (ahead + size - 1) / size) << int(mode) << " " << from << "->" << p;
                r.advance(kForever);
                EXPECT_EQ(r.state().position, p) << int(mode) << " from " << from;
                EXPECT_EQ(r.state().truePosition, p);
                EXPECT_FALSE(r.state().skill);
            }
        }
    }
    // The last steps use the ramp-down table; a reel at rest ignores the stop.
    Reel r = makeReel({1}, {2, 7});
    r.startSkill(1);
    r.advance(100);
    r.stopAtPosition(4);
    EXPECT_EQ(stepTimes(r), (Times{100, 300, 1000}));
    r.stopAtPosition(10);
    r.advance(kForever);
    EXPECT_EQ(r.state().position, 4u);
}

TEST(ReelTamper, NudgeAndSynchronise) {
    struct Case { int32_t nudge; uint8_t syncMode; int8_t mode; uint16_t stepsBefore; uint32_t found; };
    const Case cases[] = {
        {10, 0, 1, 85, 0},      // true 10: the index is 86 steps ahead
        {10, 1, 1, 85, 0},
        {3, 1, 2, 46, 1},       // full steps pass over the index: 95 -> 1
        {-10, 0, -1, 85, 0},    // true 86, backwards
        {-11, 1, -2, 42, 95},   // true 85, backwards by full steps: 1 -> 95
    };
    for (const Case& c : cases) {
        Reel r = makeReel({}, {});
        r.nudge(c.nudge);
        ReelState s = r.state();
        EXPECT_TRUE(s.tampered && !s.synchronised);
        EXPECT_EQ(s.position, 0u);
        EXPECT_EQ(s.truePosition, uint32_t((96 + c.nudge) % 96));
        r.armSynchronise(c.syncMode);
        r.spin(c.mode, c.stepsBefore + 5);
        r.advance(uint64_t(c.stepsBefore) * 5000);   // up to the step before the index
        s = r.state();
        EXPECT_TRUE(s.syncArmed && !s.synchronised && s.position != s.truePosition) << c.nudge;
        r.advance(5000);
        s = r.state();
        EXPECT_TRUE(s.synchronised && !s.syncArmed) << c.nudge;
        EXPECT_EQ(s.position, c.found);
        EXPECT_EQ(s.truePosition, c.found);
        EXPECT_EQ(s.tampered, c.syncMode == 0);
        r.clearTamper();
        EXPECT_FALSE(r.state().tampered);
    }
    Reel r;   // leaving the index is not finding it; coming back onto it is
    r.armSynchronise(0);
    r.spin(-1, 1);
    r.advance(5000);
    EXPECT_FALSE(r.state().synchronised);
    r.spin(1, 1);
    r.advance(5000);
    EXPECT_TRUE(r.state().synchronised);
}

TEST(ReelStatus, BytesAndTurnLength) {
    Reel r = makeReel({}, {1, 1, 1});
    r.setDefaultTurnLength(200);
    moveTo(r, 150);
    const uint8_t params[9] = {3, 0x01, 0x2C, 0, 0, 0, 0, 0, 0};
    r.setParameters(params);
    r.setDefaultTurnLength(96);   // the reel's own parameters take precedence
    r.setDefaultTurnLength(0);
    r.setDutyCycle(9, 7);
    r.nudge(1);
    r.spin(-2, 1000);
    r.advance(5000);   // one step: 148

    uint8_t out[9];
    r.status(out);
    EXPECT_EQ(Table(out, out + 9), (Table{0, 148, 0x03, 0xE7, kFlagMoving | kFlagTampered, 0xFE, 7, 0x01, 0x2C}));
    r.advance(5000 * 996);
    r.status(out);
    EXPECT_EQ(out[3], 3);
    // On the way the reel passed its index with the counter one half step off
    // (deadband 0): the board noticed.
    EXPECT_EQ(out[4], kFlagMoving | kFlagTampered | kFlagStopping | kFlagPositionError);
    r.setTurnLength(100);
    EXPECT_EQ(r.state().position, 56u);   // 150 - 2 * 997 = 256 (mod 300), kept modulo 100

    // Steps still to go saturate at 0xFFFF.
    r = makeReel({1}, Table(60, 1), 65535);
    r.armSynchronise(1);
    r.startSkill(1);
    r.advance(100);
    r.stopAtPosition(10);   // 9 ahead, too short for the ramp-down: a turn more
    r.status(out);
    EXPECT_EQ(r.state().stepsToGo, 65535u + 9u);
    EXPECT_EQ(Table(out + 2, out + 5), (Table{0xFF, 0xFF, kFlagMoving | kFlagSkill | kFlagSyncArmed}));
}

}  // namespace
}  // namespace yarvo::sim

namespace yarvo::sim {
namespace {

// The reel after `micros` given in one call, and after the same time given
// in slices shorter than any step, from the start of a skill spin or of a
// spin of `steps`.
std::pair<ReelState, ReelState> inOneCallAndInSlices(Reel once, bool skill, int8_t mode, uint16_t steps,
                                                     uint64_t micros) {
    Reel sliced = once;
    for (Reel* r : {&once, &sliced}) skill ? r->startSkill(mode) : r->spin(mode, steps);
    once.advance(micros);
    for (uint64_t t = 0; t < micros; t += 37) sliced.advance(std::min<uint64_t>(37, micros - t));
    return {once.state(), sliced.state()};
}

void expectSameMotion(const ReelState& a, const ReelState& b) {
    EXPECT_EQ(a.position, b.position);
    EXPECT_EQ(a.truePosition, b.truePosition);
    EXPECT_EQ(a.stepsTaken, b.stepsTaken);
    EXPECT_EQ(a.moving, b.moving);
    EXPECT_EQ(a.stepsToGo, b.stepsToGo);
    EXPECT_EQ(a.synchronised, b.synchronised);
    EXPECT_EQ(a.tampered, b.tampered);
    EXPECT_EQ(a.jammed, b.jammed);
    EXPECT_EQ(a.positionError, b.positionError);
    EXPECT_EQ(a.indexMissing, b.indexMissing);
}

// Time given in one call leaves the reel where step-by-step time (slices
// shorter than any step) leaves it: the stretch at the cruising period that
// one call covers is taken at once, and the index inside it is found.
TEST(ReelMotion, AdvanceInOneCallMatchesSmallSlices) {
    struct Case { Table up, down; int8_t mode; bool skill; uint16_t steps; int32_t nudge; uint64_t micros; };
    const Case cases[] = {
        {{30, 20, 10}, {15, 25, 40}, 1, false, 60000, 0, 400'000},     // cruising when time is up
        {{3, 2, 1}, {1, 2, 4}, -2, false, 2000, 7, 2'500'000},        // finished, index found
        {{5, 1}, {2, 2, 2}, 2, true, 0, -3, 1'234'567},               // skill spin, index found
        {{}, {}, -1, false, 9000, 11, 1'000'000},                    // default period, no tables
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.micros);
        Reel once = makeReel(c.up, c.down);
        once.setDefaultStepPeriod(2);
        if (c.nudge != 0) once.nudge(c.nudge);
        once.armSynchronise(1);
        const auto [a, b] = inOneCallAndInSlices(once, c.skill, c.mode, c.steps, c.micros);
        expectSameMotion(a, b);
    }
}

// With faults the board watches every step; time given in one call still
// leaves counter, reel and flags where step-by-step time leaves them.
TEST(ReelMotion, FaultsSeenAlikeInOneCallAndInSmallSlices) {
    struct Case {
        const char* name;
        int8_t mode;
        bool skill;
        uint16_t steps;
        void (*fault)(Reel&);
        uint64_t micros;
        bool positionError, indexMissing;   // as the board ends up seeing it
    };
    const Case cases[] = {
        {"jams after 1000 steps", 1, true, 0, [](Reel& r) { r.jam(1000); }, 3'000'000, true, true},
        {"jammed, counted", -2, false, 5000, [](Reel& r) { r.jam(0); }, 2'000'000, true, true},
        {"loses 7 steps", 1, false, 4000, [](Reel& r) { r.loseSteps(7); }, 1'500'000, true, false},
        {"loses 300 steps, skill", -1, true, 0, [](Reel& r) { r.loseSteps(300); }, 1'800'000, true, true},
        {"index dead", 2, true, 0, [](Reel& r) { r.setIndexSensor(IndexSensor::Dead); }, 2'000'000, true, true},
        {"index stuck", -1, false, 6000, [](Reel& r) { r.setIndexSensor(IndexSensor::Stuck); }, 2'000'000, true, true},
        {"turned by hand, not armed", 1, true, 0, [](Reel& r) { r.nudge(9); }, 2'500'000, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reel once = makeReel({6, 4, 2}, {2, 4});
        const uint8_t params[9] = {0, 0, 96, 0, 0, 0, 0, 0, 3};   // deadband 3
        once.setParameters(params);
        c.fault(once);
        const auto [a, b] = inOneCallAndInSlices(once, c.skill, c.mode, c.steps, c.micros);
        EXPECT_GE(a.stepsTaken, 4000u);
        EXPECT_EQ(a.positionError, c.positionError);
        EXPECT_EQ(a.indexMissing, c.indexMissing);
        expectSameMotion(a, b);
    }
}

TEST(ReelMotion, AnHourOfSkillSpinningAtOneHundredMicrosecondsAStep) {
    Reel r = makeReel({1}, {1, 1});
    r.nudge(5);
    r.armSynchronise(1);
    ASSERT_TRUE(r.startSkill(-2));
    r.advance(3'600'000'000);
    ReelState s = r.state();
    EXPECT_EQ(s.stepsTaken, 36'000'000u);
    EXPECT_TRUE(s.moving && s.skill && s.synchronised && !s.tampered);
    EXPECT_EQ(s.truePosition, uint32_t((5 + 96 * 750'000 - 72'000'000 % 96) % 96));
    EXPECT_EQ(s.position, s.truePosition);
    r.stopSkill();
    r.advance(200);
    EXPECT_FALSE(r.state().moving);
    EXPECT_EQ(r.state().stepsTaken, 36'000'002u);
}

}  // namespace
}  // namespace yarvo::sim
