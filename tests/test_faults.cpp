// Faults on the board link: a transfer failing at every exchange of every
// composite operation, a board unplugged in the middle of a spin or of a
// reel's configuration and plugged back in, and descriptors across many
// openings.  What a failure leaves is the "no undo" rule: every shadow value
// written before the failing exchange stays, nothing after it is written,
// and nothing more is sent.
//
// The shadow state is read back without changing it:
//  * configured: GetInputBit on the reel's own input is refused (code 6)
//    without a transfer exactly when the reel is configured;
//  * current speed: VendorGetReelStatus reports it;
//  * direction and ramp-down length: VendorSpinReelStopSkill predicts the
//    stop point from them.  With the reel reported at position 100 of a
//    192-half-step turn with a symbol every 2 half steps, the stop position
//    it sends is 104 + ramp-down length forwards and 96 - ramp-down length
//    backwards (even lengths).
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cabinet.h"
#include "yarvo.h"

namespace {

namespace fs = std::filesystem;
using yarvo::sim::Fault;
using yarvo::sim::VirtualCabinet;
using Bytes = std::vector<uint8_t>;

constexpr unsigned char kReel = 1;

std::string rampTable(int speed, const char* stepType, unsigned up, unsigned down) {
    std::string s = "<ramp-table speed=\"" + std::to_string(speed) + "\" step-type=\"" + stepType + "\">";
    s += "<ramp-up num-entries=\"" + std::to_string(up) + "\"";
    for (unsigned i = 0; i < up; ++i) s += " r" + std::string(i < 10 ? "00" : "0") + std::to_string(i) + "=\"50\"";
    s += "/><ramp-down num-entries=\"" + std::to_string(down) + "\"";
    for (unsigned i = 0; i < down; ++i) s += " r" + std::string(i < 10 ? "00" : "0") + std::to_string(i) + "=\"60\"";
    return s + "/></ramp-table>";
}

// "probe": 96 steps per turn (192 half steps), a symbol every 2 half steps;
// speeds 100 (full steps, ramps 10/8), 200 (half, 20/16), 50 (half, 4/4).
// "other": the same reel with one speed, 70 (half, 6/6).
std::string reelFile() {
    std::string symbols = "<symbol-table steps-per-turn=\"96\" symbols-per-turn=\"96\"";
    char attr[24];
    for (unsigned i = 0; i < 96; ++i) {
        std::snprintf(attr, sizeof attr, " s%03u=\"%u\"", i, 2 * i);
        symbols += attr;
    }
    symbols += "/>";
    const std::string params =
        "<params position-detection-method=\"1\" tamper-detection-method=\"0\" duty-cycle-off=\"40\" "
        "duty-cycle-on=\"200\" tab-width=\"6\" tab-type=\"1\" tab-offset=\"0\" error-deadband=\"3\"/>";
    return "<tamso-reel-definitions>"
           "<reel-def type=\"probe\">" + params + symbols + rampTable(100, "full", 10, 8) +
           rampTable(200, "half", 20, 16) + rampTable(50, "half", 4, 4) + "</reel-def>"
           "<reel-def type=\"other\">" + params + symbols + rampTable(70, "half", 6, 6) + "</reel-def>"
           "</tamso-reel-definitions>";
}

struct Shadow {
    bool configured;
    int speed;
    int direction;  // 1 forwards, 0 backwards
    int rampDown;
    bool defined = true;  // false: symbol-level operations refuse the reel (code 30)
    bool operator==(const Shadow& o) const {
        return configured == o.configured && speed == o.speed && direction == o.direction &&
               rampDown == o.rampDown && defined == o.defined;
    }
};

std::ostream& operator<<(std::ostream& os, const Shadow& s) {
    return os << "{configured " << s.configured << ", speed " << s.speed << ", direction " << s.direction
              << ", ramp-down " << s.rampDown << ", defined " << s.defined << "}";
}

// A reel whose configuration failed part-way has no usable definition.
const Shadow kUndefined{false, 0, 0, 0, false};

Fault makeFault(Fault::Kind kind, int value, Bytes payload = {}) {
    Fault f;
    f.kind = kind;
    f.value = value;
    f.payload = std::move(payload);
    return f;
}

// A fault that lets the exchange through: the firmware's own status byte
// is 0 whenever it accepted the command.
Fault passThrough() { return makeFault(Fault::Status, 0); }

Bytes statusAt(unsigned position) {
    return {static_cast<uint8_t>(position >> 8), static_cast<uint8_t>(position), 0, 0, 0, 1, 200, 0, 192};
}

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// One virtual board at instance 0 and an object opened on it, with the
// probe file loaded.
class Rig {
public:
    explicit Rig(const std::string& file) {
        cab.board(0);
        EXPECT_TRUE(yarvo.Init());
        std::string path = file;
        EXPECT_TRUE(yarvo.VendorSetReelFilePath(&path[0]));
    }
    bool configure(unsigned char reel, std::string type) { return yarvo.VendorConfigureReel(reel, &type[0]); }
    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> c;
        for (const auto& r : cab.log()) c.push_back(r.command);
        return c;
    }
    Bytes sent(uint8_t command) const {
        Bytes last;
        for (const auto& r : cab.log())
            if (r.command == command) last = r.payload;
        return last;
    }
    bool configured(unsigned char reel) {
        bool state = false;
        const bool read = yarvo.GetInputBit(static_cast<KReelInputBit>(reel), &state);
        return !read && yarvo.GetLastError() == ReelMsgInputOwnedByReel;
    }
    // Reads the shadow state of `reel` (see the top of the file).  A reel
    // left unconfigured is flagged again with ConfigureReels, which touches
    // no other shadow value, so that its speed and ramps can be read.
    Shadow shadow(unsigned char reel) {
        Shadow s{};
        s.configured = configured(reel);
        if (!s.configured) {
            EXPECT_TRUE(yarvo.ConfigureReels(reel + 1u, 0, 0, 1, 0));
        }
        KReelStatusEx status{};
        cab.clearLog();
        if (!yarvo.VendorGetReelStatus(reel, &status)) {
            // Without a usable definition every symbol-level operation is
            // refused before anything is sent.
            EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelDataError);
            EXPECT_FALSE(yarvo.VendorSpinReelStopSkill(reel));
            EXPECT_TRUE(cab.log().empty());
            s.defined = false;
            return s;
        }
        s.speed = status.reelSpeed;
        cab.clearLog();
        cab.driver().injectFault(instance, makeFault(Fault::Payload, 0, statusAt(100)));
        EXPECT_TRUE(yarvo.VendorSpinReelStopSkill(reel)) << yarvo.GetLastError();
        const Bytes stop = sent(50);
        EXPECT_EQ(stop.size(), 3u);
        if (stop.size() == 3) {
            const int position = stop[1] << 8 | stop[2];
            s.direction = position >= 100 ? 1 : 0;
            s.rampDown = s.direction ? position - 104 : 96 - position;
        }
        cab.clearLog();
        return s;
    }

    VirtualCabinet cab;
    Yarvo yarvo;
    unsigned instance = 0;  // where the board is plugged in
};

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/yarvo-faults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        file = (dir / "reels.xml").string();
        std::ofstream(file) << reelFile();
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    std::string file;
};

// One composite operation: how to bring the reel to its starting state, the
// call, the exchanges it makes, and the shadow state after a failure at
// each exchange.
struct Composite {
    const char* name;
    std::function<void(Rig&)> prepare;
    std::function<bool(Rig&)> call;
    std::vector<uint8_t> commands;
    Shadow success;
    std::vector<Shadow> after;              // after a failure at each exchange
    std::vector<KReelMsg> codeOverride;     // per exchange: a code that replaces the transfer's, or Ok
};

std::vector<Composite> composites() {
    const Shadow a{true, 100, 1, 8};  // "probe" configured: speed 100, forwards, ramp-down 8
    return {
        {"VendorConfigureReel over a reel of another type, running backwards",
         [](Rig& r) {
             ASSERT_TRUE(r.configure(kReel, "other"));
             ASSERT_TRUE(r.yarvo.VendorSpinReelStartSkill(kReel, -70));  // same speed: only command 48
         },
         [](Rig& r) { return r.configure(kReel, "probe"); },
         {51, 44, 42, 43},
         a,
         // The flag comes down on any failure, and the reel is left without
         // a usable definition: its record is part "probe", part "other".
         {kUndefined, kUndefined, kUndefined, kUndefined},
         {}},
        {"VendorSpinReelToSymbol with a change of speed",
         [](Rig&) {},
         [](Rig& r) { return r.yarvo.VendorSpinReelToSymbol(kReel, 5, -160); },  // speed 200, half steps
         {47, 42, 43, 41},
         {true, -200, 0, 16},
         {a, a, {true, 100, 1, 16}, {true, -200, 0, 16}},
         {}},
        {"VendorSpinReelNumberOfSymbols with a substitute speed",
         [](Rig& r) { ASSERT_TRUE(r.yarvo.VendorSpinReelStartSkill(kReel, -50)); },  // speed 50, ramps 4/4
         // 4 symbols = 8 half steps: too short for speed 100's ramps, so
         // speed 50 substitutes and is uploaded again.
         [](Rig& r) { return r.yarvo.VendorSpinReelNumberOfSymbols(kReel, 4, 100); },
         {42, 43, 47, 42, 43, 41},
         {true, 50, 1, 4},
         {{true, -50, 0, 4}, {true, -50, 0, 8}, {true, 100, 1, 8}, {true, 100, 1, 8}, {true, 100, 1, 4},
          {true, 50, 1, 4}},
         {ReelMsgOk, ReelMsgOk, ReelMsgOk, ReelMsgNoSuitableSpeed, ReelMsgNoSuitableSpeed, ReelMsgOk}},
        {"VendorSynchroniseReel",
         [](Rig& r) { ASSERT_TRUE(r.yarvo.VendorSpinReelStartSkill(kReel, -100)); },  // same speed, backwards
         [](Rig& r) { return r.yarvo.VendorSynchroniseReel(kReel); },  // speed 70 is nearest 50
         {46, 42, 43, 47, 41},
         {true, 50, 1, 4},
         {{true, -100, 0, 8}, {true, -100, 0, 8}, {true, -100, 0, 4}, {true, 50, 1, 4}, {true, 50, 1, 4}},
         {}},
        {"VendorSpinReelStartSkill with a change of speed",
         [](Rig&) {},
         [](Rig& r) { return r.yarvo.VendorSpinReelStartSkill(kReel, -200); },
         {42, 43, 48},
         {true, -200, 0, 16},
         {a, {true, 100, 1, 16}, {true, -200, 0, 16}},
         {}},
        {"VendorSpinReelStopSkill",
         [](Rig&) {},
         [](Rig& r) { return r.yarvo.VendorSpinReelStopSkill(kReel); },
         {47, 50},
         a,
         {a, a},
         {}},
    };
}

TEST_F(Faults, TransferFailingAtEveryExchangeOfEveryCompositeOperation) {
    struct Kind {
        const char* name;
        Fault fault;
        KReelMsg code;
    };
    const Kind kinds[] = {
        {"board gone (ENODEV)", makeFault(Fault::Errno, ENODEV), ReelMsgTransferFailed},
        {"time-out (ETIMEDOUT)", makeFault(Fault::Errno, ETIMEDOUT), ReelMsgTransferFailed},
        {"response length 300", makeFault(Fault::ResponseLength, 300), ReelMsgBadResponseLength},
        {"wrong echo", makeFault(Fault::Echo, 0x7F), ReelMsgBadResponse},
        {"status 5", makeFault(Fault::Status, 5), ReelMsgBadResponse},
    };
    for (const Composite& op : composites()) {
        ASSERT_EQ(op.after.size(), op.commands.size()) << op.name;
        // Without a fault: every exchange, in order, and the last state.
        {
            SCOPED_TRACE(op.name);
            Rig rig(file);
            ASSERT_TRUE(rig.configure(kReel, "probe"));
            op.prepare(rig);
            rig.cab.clearLog();
            EXPECT_TRUE(op.call(rig)) << rig.yarvo.GetLastError();
            EXPECT_EQ(rig.commands(), op.commands);
            EXPECT_EQ(rig.shadow(kReel), op.success);
        }
        for (const Kind& kind : kinds) {
            for (size_t at = 0; at < op.commands.size(); ++at) {
                SCOPED_TRACE(std::string(op.name) + ", " + kind.name + " at exchange " + std::to_string(at));
                Rig rig(file);
                ASSERT_TRUE(rig.configure(kReel, "probe"));
                op.prepare(rig);
                rig.cab.clearLog();
                for (size_t i = 0; i < at; ++i) rig.cab.driver().injectFault(0, passThrough());
                rig.cab.driver().injectFault(0, kind.fault);
                EXPECT_FALSE(op.call(rig));
                const KReelMsg expected =
                    at < op.codeOverride.size() && op.codeOverride[at] != ReelMsgOk ? op.codeOverride[at] : kind.code;
                EXPECT_EQ(rig.yarvo.GetLastError(), expected);
                // Nothing is sent after the failing exchange and nothing is retried.
                EXPECT_EQ(rig.commands(), std::vector<uint8_t>(op.commands.begin(), op.commands.begin() + at + 1));
                EXPECT_EQ(rig.shadow(kReel), op.after[at]);
            }
        }
    }
}

// The board vanishes in the middle of an operation and stays away: every
// call fails with ReelMsgTransferFailed, nothing is lost or corrupted, and
// once it is back a new Init (on the same instance or another) makes the
// object work again with its shadow state as the failure left it.
TEST_F(Faults, UnpluggedMidSpinOrMidConfigurationThenPluggedBackIn) {
    const int baseline = openDescriptors();
    const std::vector<Composite> ops = composites();
    for (const Composite* op : {&ops[0], &ops[1]}) {
        for (size_t at = 0; at < op->commands.size(); ++at) {
            for (bool sameInstance : {true, false}) {
                SCOPED_TRACE(std::string(op->name) + ", unplugged at exchange " + std::to_string(at) +
                             (sameInstance ? ", back on instance 0" : ", back on instance 3"));
                {
                    Rig rig(file);
                    ASSERT_TRUE(rig.configure(kReel, "probe"));
                    ASSERT_TRUE(rig.configure(5, "probe"));
                    op->prepare(rig);
                    for (size_t i = 0; i < at; ++i) rig.cab.driver().injectFault(0, passThrough());
                    rig.cab.driver().failNext(0, ENODEV);
                    EXPECT_FALSE(op->call(rig));
                    EXPECT_EQ(rig.yarvo.GetLastError(), ReelMsgTransferFailed);
                    rig.cab.driver().unplug(0);

                    // Unplugged: every board command fails with 19; checks
                    // that send nothing still answer.
                    unsigned short low = 0;
                    unsigned char high = 0;
                    KReelStatusEx status{};
                    EXPECT_FALSE(rig.yarvo.GetInputs(&low, &high));
                    EXPECT_EQ(rig.yarvo.GetLastError(), ReelMsgTransferFailed);
                    EXPECT_FALSE(rig.yarvo.VendorGetReelStatus(5, &status));
                    EXPECT_EQ(rig.yarvo.GetLastError(), ReelMsgTransferFailed);
                    EXPECT_FALSE(rig.yarvo.SpinReels(5, 3, 10));
                    EXPECT_EQ(rig.yarvo.GetLastError(), ReelMsgBadStepMode);
                    EXPECT_FALSE(rig.configure(6, "probe"));
                    EXPECT_EQ(rig.yarvo.GetLastError(), ReelMsgTransferFailed);
                    EXPECT_FALSE(rig.yarvo.Init());
                    EXPECT_EQ(rig.yarvo.GetLastError(), ReelMsgOk);

                    if (sameInstance) {
                        rig.cab.driver().replug(0);
                    } else {
                        rig.cab.driver().remove(0);
                        rig.cab.board(3);
                        rig.instance = 3;
                    }
                    ASSERT_TRUE(rig.yarvo.Init());
                    EXPECT_EQ(rig.shadow(kReel), op->after[at]);
                    EXPECT_FALSE(rig.configured(6));
                    rig.cab.clearLog();
                    // The failed operation goes through now, on the board found.
                    EXPECT_TRUE(op->call(rig)) << rig.yarvo.GetLastError();
                    EXPECT_TRUE(rig.yarvo.VendorSpinReelToSymbol(5, 10, 100)) << rig.yarvo.GetLastError();
                    ASSERT_FALSE(rig.cab.log().empty());
                    for (const auto& record : rig.cab.log()) EXPECT_EQ(record.instance, sameInstance ? 0u : 3u);
                    // The held descriptor is the only one the object owns.
                    EXPECT_EQ(openDescriptors(), baseline + 1);
                }
                EXPECT_EQ(openDescriptors(), baseline);
            }
        }
    }
}

// Openings of every kind, 10,000 times over on one object: successful Init
// and InitUSBBoard (which opens and passes over other boards), openings
// that fail at the node or find no board, a board that vanishes and comes
// back.  The object holds one descriptor at most and none once destroyed.
TEST_F(Faults, TenThousandOpeningsLeaveNoDescriptorOpen) {
    VirtualCabinet cab;
    cab.driver().setLogging(false);
    cab.board(0).address(0);
    cab.board(1).address(1);
    cab.board(2).address(2).nodeRefuses();
    const int baseline = openDescriptors();
    ASSERT_GT(baseline, 0);
    {
        Yarvo yarvo;
        unsigned opened = 0;
        for (unsigned i = 0; i < 10000; ++i) {
            bool ok = false;
            switch (i % 5) {
            case 0: ok = yarvo.Init(); break;
            case 1: ok = yarvo.InitUSBBoard(1); break;  // opens instance 0 first
            case 2: ok = yarvo.InitUSBBoard(2); break;  // instance 2's node refuses: no board
            case 3:
                cab.driver().unplug(0);
                cab.driver().unplug(1);
                ok = yarvo.Init();  // nothing to open
                break;
            case 4:
                cab.driver().replug(0);
                cab.driver().replug(1);
                cab.driver().failNext(0, EIO);  // instance 0's input report fails
                ok = yarvo.InitUSBBoard(0);
                break;
            }
            opened += ok ? 1 : 0;
            if (i % 1000 == 0) {
                EXPECT_LE(openDescriptors(), baseline + 1) << "after opening " << i;
            }
        }
        EXPECT_EQ(opened, 4000u);
        EXPECT_LE(openDescriptors(), baseline + 1);
        // Still a working object.
        ASSERT_TRUE(yarvo.InitUSBBoard(1));
        unsigned short low = 0;
        unsigned char high = 0;
        ASSERT_TRUE(yarvo.GetInputs(&low, &high));
        EXPECT_EQ(high & 7, 1);
        EXPECT_EQ(openDescriptors(), baseline + 1);
    }
    EXPECT_EQ(openDescriptors(), baseline);
}

}  // namespace
