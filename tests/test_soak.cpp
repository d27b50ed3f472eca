// yarvoctl's soak against the in-process virtual board on its own clock: a
// clean cabinet, and each reel fault named on its reel only.  The engine
// lives in tools/yarvoctl (yarvo_soak), which a build without tools leaves
// out.
#if __has_include("soak.h")
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <tinyxml.h>

#include "board_fault.h"
#include "cabinet.h"
#include "reel_file_format.h"
#include "reel_files.h"
#include "soak.h"
#include "yarvo.h"

namespace {

using namespace std::chrono_literals;
using namespace yarvo::sim;
namespace soak = yarvoctl::soak;

const char* const kTypes[] = {"classic-12", "band-a", "classic-12"};   // reels 0, 1, 2

soak::Plan plan(unsigned spins) {
    soak::Plan p;
    yarvo::detail::ReelFileLoad load;
    const std::unique_ptr<TiXmlDocument> file = yarvo::tools::loadReelFileForTool(YARVO_EXAMPLE_REEL_FILE, &load);
    for (unsigned r = 0; r < 3; ++r) {
        ReelDataDef d{};
        const TiXmlElement* type = file ? yarvo::format::findReelType(*file, kTypes[r]) : nullptr;
        EXPECT_TRUE(type != nullptr && yarvo::format::decodeReelType(*type, &d, nullptr));
        p.reels.push_back(r);
        p.types.push_back(kTypes[r]);
        p.definitions.push_back(d);
    }
    p.spins = spins;
    p.resyncEvery = 5;
    p.seed = 11;
    return p;
}

// Configures the plan's reels and soaks them on the virtual clock.
soak::Report soakOn(VirtualCabinet& cab, Yarvo& y, const soak::Plan& p) {
    std::string path = YARVO_EXAMPLE_REEL_FILE;
    EXPECT_TRUE(y.VendorSetReelFilePath(&path[0]));
    for (size_t i = 0; i < p.reels.size(); ++i) {
        std::string type = p.types[i];
        EXPECT_TRUE(y.VendorConfigureReel(static_cast<unsigned char>(p.reels[i]), &type[0]));
    }
    soak::Clock clock;
    clock.nowMicros = [&cab] { return cab.driver().nowMicros(); };
    clock.sleep = [&cab](uint64_t micros) {
        cab.advance(std::chrono::microseconds(micros));
        return true;
    };
    clock.pollMicros = 10000;
    return soak::run(y, p, clock);
}

TEST(Soak, EachReelFaultIsNamedOnItsReelOnly) {
    struct Expect {
        bool clean;
        bool positionError, indexMissing, syncFailed;
    };
    constexpr Expect kClean{true, false, false, false};
    struct Case {
        const char* name;
        std::function<void(VirtualCabinet&, Yarvo&)> fault;
        Expect reels[3];
    };
    const Case cases[] = {
        {"clean cabinet", [](VirtualCabinet&, Yarvo&) {}, {kClean, kClean, kClean}},
        {"reel 2 loses steps", [](VirtualCabinet& c, Yarvo&) { c.loseSteps(2, 3); },
         {kClean, kClean, {false, true, false, false}}},
        {"reel 1 jams after its first turns", [](VirtualCabinet& c, Yarvo&) { c.faultAt(3s, {BoardFault::Jam, 1, 0}); },
         {kClean, {false, true, true, true}, kClean}},
        {"reel 0's index sensor is dead", [](VirtualCabinet& c, Yarvo&) { c.indexSensor(0, IndexSensor::Dead); },
         {{false, true, true, true}, kClean, kClean}},
        {"reel 2 healed and synchronised after losing steps",
         [](VirtualCabinet& c, Yarvo& y) {
             c.loseSteps(2, 5);
             const soak::Report before = soakOn(c, y, plan(10));
             EXPECT_FALSE(before.reels[2].clean());
             c.heal(2);   // the soak's own first synchronisation puts the counter right
         },
         {kClean, kClean, kClean}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualCabinet cab;
        cab.board(0);
        cab.driver().setLogging(false);
        Yarvo y;
        ASSERT_TRUE(y.Init());
        c.fault(cab, y);
        const soak::Report report = soakOn(cab, y, plan(20));
        EXPECT_TRUE(report.virtualFirmware);
        ASSERT_EQ(report.reels.size(), 3u);
        for (unsigned r = 0; r < 3; ++r) {
            SCOPED_TRACE("reel " + std::to_string(r));
            const soak::ReelReport& got = report.reels[r];
            const Expect& want = c.reels[r];
            EXPECT_EQ(got.spins, 20u);
            EXPECT_EQ(got.resyncs, 4u);
            EXPECT_EQ(got.clean(), want.clean);
            EXPECT_EQ(got.misses != 0, !want.clean) << got.misses;
            EXPECT_EQ(got.positionErrors != 0, want.positionError) << got.positionErrors;
            EXPECT_EQ(got.indexMissing != 0, want.indexMissing) << got.indexMissing;
            EXPECT_EQ(got.syncFailed != 0, want.syncFailed) << got.syncFailed;
            EXPECT_EQ(got.timeouts, 0u);
        }
        EXPECT_EQ(report.clean(), c.reels[0].clean && c.reels[1].clean && c.reels[2].clean);
    }
}

// A failed supply stops the soak at its next spin with the library's code.
TEST(Soak, FailedPowerIsALibraryFailure) {
    VirtualCabinet cab;
    cab.board(0).faultAt(2s, {BoardFault::Power, 0, kPowerFailed});
    cab.driver().setLogging(false);
    Yarvo y;
    ASSERT_TRUE(y.Init());
    try {
        soakOn(cab, y, plan(20));
        ADD_FAILURE() << "the soak went on without power";
    } catch (const soak::LibraryFailure& f) {
        EXPECT_EQ(f.code, unsigned(ReelMsgBadResponse));
        EXPECT_NE(f.operation.find("Vendor"), std::string::npos) << f.operation;
    }
    KReelPowerStatus power{};
    ASSERT_TRUE(y.GetPowerStatus(&power));
    EXPECT_EQ(power.value, kPowerFailed);
}

}  // namespace
#endif
