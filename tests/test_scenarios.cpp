// End-to-end scenarios: reels configured from the example reel-definition
// file spin on the virtual board as its clock advances, and must come to
// rest exactly where the symbol-level operations aimed them.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "cabinet.h"
#include "yarvo.h"

namespace {

using namespace std::chrono_literals;
using yarvo::sim::VirtualCabinet;

struct ReelType {
    const char* name;
    std::vector<unsigned> symbols;  // positions in half steps, as in the file
    std::vector<int> speeds;        // as listed in the file
};

std::vector<unsigned> evenly(unsigned n, unsigned gap) {
    std::vector<unsigned> v;
    for (unsigned i = 0; i < n; ++i) v.push_back(i * gap);
    return v;
}

// The reel types of examples/tamso-reel-definitions.xml, on reels 0 to 3.
const ReelType kTypes[] = {
    {"band-a", {0, 24, 48, 72}, {100, 200}},
    {"classic-12", evenly(12, 8), {60, 90, 150}},
    {"classic-20", evenly(20, 20), {60, 120, 180}},
    {"deluxe-22",
     {0, 18, 36, 54, 72, 90, 108, 126, 144, 162, 180, 200, 218, 236, 254, 272, 290, 308, 326, 344, 362, 380},
     {40, 100, 150, 200}},
};
constexpr unsigned char kReels = 4;

class Scenarios : public ::testing::Test {
protected:
    void SetUp() override {
        cab.board(0);
        ASSERT_TRUE(y.Init());
        std::string path = YARVO_EXAMPLE_REEL_FILE;
        ASSERT_TRUE(y.VendorSetReelFilePath(&path[0])) << y.GetLastError();
        for (unsigned char r = 0; r < kReels; ++r) {
            std::string type = kTypes[r].name;
            ASSERT_TRUE(y.VendorConfigureReel(r, &type[0])) << type << ": " << y.GetLastError();
        }
    }

    KReelStatus status(unsigned char reel) {
        KReelStatus s{};
        EXPECT_TRUE(y.GetReelStatus(reel, &s)) << y.GetLastError();
        return s;
    }

    // Lets time pass until every reel has stopped (at most two minutes).
    void settle() {
        for (int i = 0; i < 1200; ++i) {
            bool moving = false;
            for (unsigned char r = 0; r < kReels; ++r) {
                moving = moving || (status(r).statusByte1 & yarvo::sim::kFlagMoving) != 0;
            }
            if (!moving) return;
            cab.advance(100ms);
        }
        ADD_FAILURE() << "reels still moving after two minutes";
    }

    // The reel rests on the symbol, by the board's status and by the library's.
    void expectOnSymbol(unsigned char reel, unsigned symbol) {
        EXPECT_EQ(status(reel).position, kTypes[reel].symbols.at(symbol));
        KReelStatusEx ex{};
        ASSERT_TRUE(y.VendorGetReelStatus(reel, &ex));
        EXPECT_EQ(ex.nearestSymbol, symbol);
        EXPECT_EQ(ex.symbolOffset, 0);
    }

    // The symbol a reel rests on (and that it does rest on one).
    unsigned restingSymbol(unsigned char reel) {
        KReelStatusEx ex{};
        EXPECT_TRUE(y.VendorGetReelStatus(reel, &ex));
        EXPECT_EQ(ex.symbolOffset, 0) << "reel " << int(reel) << " at " << ex.position;
        return ex.nearestSymbol;
    }

    // Position sent with the last stop-at-position command.
    unsigned lastStopPosition() {
        unsigned p = ~0u;
        for (const auto& r : cab.log()) {
            if (r.command == 50 && r.payload.size() == 3) p = (r.payload[1] << 8) | r.payload[2];
        }
        return p;
    }

    VirtualCabinet cab;
    Yarvo y;
};

TEST_F(Scenarios, SpinToSymbolAtEverySpeedBothWays) {
    for (unsigned char r = 0; r < kReels; ++r) {
        const ReelType& t = kTypes[r];
        const unsigned n = unsigned(t.symbols.size());
        for (int speed : t.speeds) {
            for (int sign : {1, -1}) {
                for (unsigned target : {1u, n / 2, n - 1, n - 1, 0u}) {
                    SCOPED_TRACE(std::string(t.name) + " speed " + std::to_string(sign * speed) + " to " +
                                 std::to_string(target));
                    ASSERT_TRUE(y.VendorSpinReelToSymbol(r, target, sign * speed)) << y.GetLastError();
                    settle();
                    expectOnSymbol(r, target);
                }
            }
        }
    }
}

TEST_F(Scenarios, OddDistanceAtFullStepRestsHalfAStepShort) {
    // One half step off symbol 0, then to symbol 5 (position 100) in full
    // steps: 99 half steps are 49 full steps.
    ASSERT_TRUE(y.SpinReelStepForward(2, 1, 1));
    settle();
    ASSERT_EQ(status(2).position, 1);
    ASSERT_TRUE(y.VendorSpinReelToSymbol(2, 5, 120));
    settle();
    EXPECT_EQ(status(2).position, 99);
    KReelStatusEx ex{};
    ASSERT_TRUE(y.VendorGetReelStatus(2, &ex));
    EXPECT_EQ(ex.nearestSymbol, 5u);
    EXPECT_EQ(ex.symbolOffset, -1);
    EXPECT_EQ(ex.reelSpeed, 120);
}

TEST_F(Scenarios, SpinByNumberOfSymbols) {
    for (unsigned char r = 0; r < kReels; ++r) {
        const ReelType& t = kTypes[r];
        const unsigned n = unsigned(t.symbols.size());
        unsigned at = 0;
        for (int speed : t.speeds) {
            for (int sign : {1, -1}) {
                for (unsigned count : {1u, 2u, n - 1, n, n + 3}) {
                    SCOPED_TRACE(std::string(t.name) + " speed " + std::to_string(sign * speed) + " by " +
                                 std::to_string(count));
                    ASSERT_TRUE(y.VendorSpinReelNumberOfSymbols(r, count, sign * speed)) << y.GetLastError();
                    settle();
                    at = sign > 0 ? (at + count) % n : (at + n - count % n) % n;
                    expectOnSymbol(r, at);
                }
            }
        }
    }
}

TEST_F(Scenarios, SkillSpinsStopOnSymbols) {
    for (unsigned char r = 0; r < kReels; ++r) {
        const ReelType& t = kTypes[r];
        for (int speed : t.speeds) {
            for (int sign : {1, -1}) {
                for (auto run : {300ms, 1100ms, 2700ms}) {
                    SCOPED_TRACE(std::string(t.name) + " speed " + std::to_string(sign * speed) + " for " +
                                 std::to_string(run.count()) + " ms");
                    ASSERT_TRUE(y.VendorSpinReelStartSkill(r, sign * speed)) << y.GetLastError();
                    cab.advance(run);
                    ASSERT_TRUE(status(r).statusByte1 & yarvo::sim::kFlagMoving);
                    ASSERT_TRUE(y.VendorSpinReelStopSkill(r)) << y.GetLastError();
                    const unsigned aimed = lastStopPosition();
                    settle();
                    const unsigned symbol = restingSymbol(r);
                    EXPECT_EQ(status(r).position, aimed);
                    EXPECT_EQ(t.symbols.at(symbol), aimed);
                }
            }
        }
    }
}

TEST_F(Scenarios, SkillSpinStoppedOnANamedSymbol) {
    for (unsigned char r = 0; r < kReels; ++r) {
        const ReelType& t = kTypes[r];
        const unsigned n = unsigned(t.symbols.size());
        for (int sign : {1, -1}) {
            for (unsigned target : {0u, n / 3, n - 1}) {
                SCOPED_TRACE(std::string(t.name) + (sign > 0 ? " forwards" : " backwards") + " to " +
                             std::to_string(target));
                ASSERT_TRUE(y.VendorSpinReelStartSkill(r, sign * t.speeds.back()));
                cab.advance(1500ms);
                ASSERT_TRUE(y.VendorStopReelSpinAtPosition(r, target));
                settle();
                expectOnSymbol(r, target);
            }
        }
    }
}

TEST_F(Scenarios, SynchroniseMarksTheReel) {
    for (unsigned char r = 0; r < kReels; ++r) {
        SCOPED_TRACE(kTypes[r].name);
        ASSERT_TRUE(y.VendorSpinReelToSymbol(r, 1, 0));
        settle();
        EXPECT_FALSE(status(r).statusByte1 & yarvo::sim::kFlagSynchronised);
        ASSERT_TRUE(y.VendorSynchroniseReel(r)) << y.GetLastError();
        settle();
        EXPECT_TRUE(status(r).statusByte1 & yarvo::sim::kFlagSynchronised);
        // Two whole turns and one symbol on from symbol 1.
        expectOnSymbol(r, 2);
    }
}

TEST_F(Scenarios, RandomTargetsAndSpeeds) {
    std::mt19937 random(20240611);
    unsigned at[kReels] = {};
    bool running[kReels] = {};
    for (int i = 0; i < 300; ++i) {
        const unsigned char r = static_cast<unsigned char>(random() % kReels);
        const ReelType& t = kTypes[r];
        const unsigned n = unsigned(t.symbols.size());
        const int speed = int(random() % 501) - 250;
        SCOPED_TRACE("step " + std::to_string(i) + ": " + t.name + " speed " + std::to_string(speed));
        // Several reels may run at once; a reel is commanded only at rest.
        if (running[r]) {
            settle();
            for (unsigned char q = 0; q < kReels; ++q) {
                if (running[q]) expectOnSymbol(q, at[q]);
                running[q] = false;
            }
            if (HasFailure()) return;
        }
        if (random() % 2 == 0 || speed == 0) {
            const unsigned target = random() % n;
            ASSERT_TRUE(y.VendorSpinReelToSymbol(r, target, speed)) << y.GetLastError();
            at[r] = target;
        } else {
            const unsigned count = 1 + random() % (3 * n);
            ASSERT_TRUE(y.VendorSpinReelNumberOfSymbols(r, count, speed)) << y.GetLastError();
            at[r] = speed > 0 ? (at[r] + count) % n : (at[r] + n - count % n) % n;
        }
        running[r] = true;
    }
    settle();
    for (unsigned char r = 0; r < kReels; ++r) {
        SCOPED_TRACE(kTypes[r].name);
        expectOnSymbol(r, at[r]);
    }
}

}  // namespace
