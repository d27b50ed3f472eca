// The driver object, board discovery and the command transfer, driven
// through the virtual board.
#include <dirent.h>

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

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count;
}

// The instance an object's commands reach, or -1 when none does.
int commandTarget(VirtualCabinet& cab, Yarvo& y) {
    cab.clearLog();
    unsigned short changed;
    y.GetChangedInputs(&changed);
    const auto log = cab.log();
    return log.empty() ? -1 : static_cast<int>(log.back().instance);
}

Fault fault(Fault::Kind kind, int value, std::vector<uint8_t> payload = {}) {
    Fault f;
    f.kind = kind;
    f.value = value;
    f.payload = std::move(payload);
    return f;
}

}  // namespace

TEST(DriverObject, FreshObjectVersionsAndStickyStatus) {
    Yarvo y;
    USBBoardSpeed speed = USBBoardSpeedHigh;
    unsigned char dll[4] = {0xAA, 0xAA, 0xAA, 0xAA}, product[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_EQ(y.GetLastError(), ReelMsgOk);
    EXPECT_TRUE(y.GetBoardSpeed(&speed) && y.Close());
    EXPECT_EQ(speed, USBBoardSpeedNone);
    EXPECT_TRUE(y.GetDllVersion(dll) && y.GetProductVersion(product));
    EXPECT_EQ(0, std::memcmp(dll, "14\0\xAA", 4));
    EXPECT_EQ(0, std::memcmp(product, "3\0\xAA", 3));
    for (auto call : {+[](Yarvo& o) { return o.GetDllVersion(nullptr); },
                      +[](Yarvo& o) { return o.GetProductVersion(nullptr); },
                      +[](Yarvo& o) { return o.GetBoardSpeed(nullptr); }}) {
        Yarvo fresh;
        EXPECT_FALSE(call(fresh));
        EXPECT_EQ(fresh.GetLastError(), ReelMsgNullPointer);
    }
    // Success never clears a recorded failure.
    ASSERT_FALSE(y.GetBoardSpeed(nullptr));
    EXPECT_TRUE(y.GetDllVersion(dll) && y.Close());
    EXPECT_EQ(y.GetLastError(), ReelMsgNullPointer);
}

TEST(DriverObject, CopiesStartAfreshAndAssignmentChangesNothing) {
    VirtualCabinet cab;
    cab.board(0).speed("480\n");
    Yarvo source;
    ASSERT_TRUE(source.Init());
    ASSERT_TRUE(source.ConfigureReels(8, 96, 4, 1, 0));
    source.GetDllVersion(nullptr);

    Yarvo copy(source);
    USBBoardSpeed speed;
    copy.GetBoardSpeed(&speed);
    EXPECT_EQ(speed, USBBoardSpeedNone);
    EXPECT_EQ(copy.GetLastError(), ReelMsgOk);
    EXPECT_FALSE(copy.SpinStopSkill(0));
    EXPECT_EQ(copy.GetLastError(), ReelMsgReelNotConfigured);
    EXPECT_EQ(commandTarget(cab, copy), -1);

    Yarvo target;
    target = source;
    EXPECT_EQ(target.GetLastError(), ReelMsgOk);
    EXPECT_EQ(commandTarget(cab, target), -1);
    EXPECT_EQ(source.GetLastError(), ReelMsgNullPointer);
    EXPECT_TRUE(source.SpinStopSkill(7));
    EXPECT_EQ(commandTarget(cab, source), 0);
}

// Init (address -1) and InitUSBBoard(address) against cabinets of various
// shapes.  Before the call the object carries ReelMsgNullPointer: Init
// replaces it with ReelMsgOk, InitUSBBoard never does.
struct Discovery {
    const char* name;
    std::function<void(VirtualCabinet&)> build;
    int address;
    bool opened;
    KReelMsg error;
    USBBoardSpeed speed;
    int target;   // instance the commands reach afterwards; -2: not checked
    size_t reports;  // input reports read during the call
};

TEST(BoardDiscovery, FindsTheRightInstance) {
    const auto plugged = [](std::vector<unsigned> instances) {
        return [instances](VirtualCabinet& cab) {
            for (unsigned i : instances) cab.board(i).address(static_cast<uint8_t>(i & 7));
        };
    };
    const auto product = [](const char* text) {
        return [text](VirtualCabinet& cab) { cab.board(0).product(text).board(1).address(1); };
    };
    const auto speedText = [](const char* text) {
        return [text](VirtualCabinet& cab) { cab.board(0).speed(text); };
    };
    const Discovery cases[] = {
        {"no driver", [](VirtualCabinet&) {}, -1, false, ReelMsgOk, USBBoardSpeedNone, -1, 0},
        {"board at instance 2", plugged({2}), -1, true, ReelMsgOk, USBBoardSpeedFull, 2, 0},
        {"Init reaches instance 15", plugged({15}), -1, true, ReelMsgOk, USBBoardSpeedFull, 15, 0},
        {"address search stops at 7", plugged({8}), 0, false, ReelMsgNullPointer,
         USBBoardSpeedNone, -1, 0},
        {"two boards, address 1", plugged({0, 1}), 1, true, ReelMsgNullPointer,
         USBBoardSpeedFull, 1, 2},
        {"two boards, address 0", plugged({0, 1}), 0, true, ReelMsgNullPointer,
         USBBoardSpeedFull, 0, 1},
        {"address 9 matches nothing", plugged({0, 1, 2, 3, 4, 5, 6, 7}), 9, false,
         ReelMsgNullPointer, USBBoardSpeedFull, -1, 8},
        {"address above 15 probes nothing", plugged({0}), 16, false, ReelMsgBadParameter,
         USBBoardSpeedNone, -1, 0},
        {"upper input bits are not address", [](VirtualCabinet& c) { c.board(0).inputs(0xF9FFFF); },
         1, true, ReelMsgNullPointer, USBBoardSpeedFull, 0, 1},
        {"identity one short", product("K-Mora Yarvo Boar\n"), -1, true, ReelMsgOk,
         USBBoardSpeedFull, 1, 0},
        {"identity in other case", product("k-mora yarvo board\n"), -1, true, ReelMsgOk,
         USBBoardSpeedFull, 1, 0},
        {"empty identity", product(""), -1, true, ReelMsgOk, USBBoardSpeedFull, 1, 0},
        {"identity without line end", product("K-Mora Yarvo Board"), -1, true, ReelMsgOk,
         USBBoardSpeedFull, 0, 0},
        {"identity with more text", product("K-Mora Yarvo Board rev 2\n"), -1, true, ReelMsgOk,
         USBBoardSpeedFull, 0, 0},
        {"speed 480", speedText("480\n"), -1, true, ReelMsgOk, USBBoardSpeedHigh, 0, 0},
        {"speed 12 without line end", speedText("12"), -1, true, ReelMsgOk, USBBoardSpeedFull, 0,
         0},
        {"low speed", speedText("1.5\n"), -1, false, ReelMsgOk, USBBoardSpeedNone, -1, 0},
        {"super speed", speedText("5000\n"), -1, false, ReelMsgOk, USBBoardSpeedNone, -1, 0},
        {"empty speed", speedText(""), -1, false, ReelMsgOk, USBBoardSpeedNone, -1, 0},
        {"speed 48", speedText("48\n"), -1, false, ReelMsgOk, USBBoardSpeedNone, -1, 0},
        {"node refuses, next board taken",
         [](VirtualCabinet& c) { c.board(0).speed("480\n").nodeRefuses().board(1); }, -1, true,
         ReelMsgOk, USBBoardSpeedFull, 1, 0},
        {"speed kept from a board passed over",
         [](VirtualCabinet& c) { c.board(0).speed("480\n").nodeRefuses(); }, -1, false, ReelMsgOk,
         USBBoardSpeedHigh, -1, 0},
        {"unknown speed clears the recorded one",
         [](VirtualCabinet& c) { c.board(0).speed("480\n").nodeRefuses().board(1).speed("x"); },
         -1, false, ReelMsgOk, USBBoardSpeedNone, -1, 0},
        {"failed report passed over",
         [](VirtualCabinet& c) {
             c.board(0).address(1).board(1).address(1);
             c.driver().failNext(0, EIO);
         },
         1, true, ReelMsgTransferFailed, USBBoardSpeedFull, 1, 2},
        {"short report passed over",
         [](VirtualCabinet& c) {
             c.board(0).board(1);
             c.driver().injectFault(0, fault(Fault::Payload, 0, {0, 0}));
         },
         0, true, ReelMsgBadResponseLength, USBBoardSpeedFull, 1, 2},
    };
    for (const Discovery& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualCabinet cab;
        c.build(cab);
        Yarvo y;
        y.GetDllVersion(nullptr);
        cab.clearLog();
        EXPECT_EQ(c.address < 0 ? y.Init() : y.InitUSBBoard(static_cast<unsigned>(c.address)),
                  c.opened);
        EXPECT_EQ(y.GetLastError(), c.error);
        size_t reports = 0;
        for (const auto& record : cab.log()) reports += record.command == 20;
        EXPECT_EQ(reports, c.reports);
        USBBoardSpeed speed;
        y.GetBoardSpeed(&speed);
        EXPECT_EQ(speed, c.speed);
        if (c.target != -2) {
            EXPECT_EQ(commandTarget(cab, y), c.target);
        }
    }
}

// A failed address search holds no board, not even the one held before it:
// later commands fail as on a never-opened object, and a later search or
// Init opens normally.
TEST(BoardDiscovery, FailedSearchHoldsNoBoard) {
    const struct {
        const char* name;
        std::function<bool(Yarvo&)> before;  // the opening the search follows
        unsigned address;
        KReelMsg error;
        size_t reports;
    } cases[] = {
        {"after Init", [](Yarvo& y) { return y.Init(); }, 5, ReelMsgOk, 2},
        {"after a search that found address 1", [](Yarvo& y) { return y.InitUSBBoard(1); }, 5, ReelMsgOk, 2},
        {"address 9", [](Yarvo& y) { return y.Init(); }, 9, ReelMsgOk, 2},
        {"address above 15 probes nothing and keeps the board", [](Yarvo& y) { return y.Init(); }, 16,
         ReelMsgBadParameter, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualCabinet cab;
        cab.board(0).address(0).board(1).address(1);
        Yarvo y;
        ASSERT_TRUE(c.before(y));
        cab.clearLog();
        EXPECT_FALSE(y.InitUSBBoard(c.address));
        EXPECT_EQ(y.GetLastError(), c.error);
        EXPECT_EQ(cab.log().size(), c.reports);
        const bool kept = c.address > 15;
        cab.clearLog();
        EXPECT_EQ(y.SetOutputs(~0u, ~0u), kept);
        EXPECT_EQ(cab.log().size(), kept ? 1u : 0u);
        EXPECT_EQ(y.GetLastError(), kept ? c.error : ReelMsgTransferFailed);
        ASSERT_TRUE(y.InitUSBBoard(1));
        EXPECT_EQ(commandTarget(cab, y), 1);
        ASSERT_FALSE(y.InitUSBBoard(6));
        ASSERT_TRUE(y.Init());
        EXPECT_EQ(commandTarget(cab, y), 0);
    }
    // A failed Init neither: the board held before no longer answers as ours.
    VirtualCabinet cab;
    cab.board(0);
    Yarvo y;
    ASSERT_TRUE(y.Init());
    cab.product("Other Board\n");
    EXPECT_FALSE(y.Init());
    cab.clearLog();
    EXPECT_FALSE(y.SetOutputs(~0u, ~0u));
    EXPECT_EQ(y.GetLastError(), ReelMsgTransferFailed);
    EXPECT_TRUE(cab.log().empty());
}

TEST(BoardDiscovery, DescriptorsAreNeitherLeakedNorShared) {
    VirtualCabinet cab;
    cab.board(0).address(0).board(1).address(1);
    cab.driver().setLogging(false);
    const int before = openDescriptors();
    {
        Yarvo y;
        for (int i = 0; i < 1000; ++i) {
            switch (i % 4) {
            case 0: ASSERT_TRUE(y.Init()); break;
            case 1: ASSERT_TRUE(y.InitUSBBoard(1)); break;  // opens instance 0, passes it over
            case 2: ASSERT_FALSE(y.InitUSBBoard(5)); break; // opens both, matches neither, keeps none
            case 3: ASSERT_TRUE(y.InitUSBBoard(0)); break;
            }
            ASSERT_EQ(openDescriptors(), before + (i % 4 == 2 ? 0 : 1)) << "cycle " << i;
        }
        {
            Yarvo copy(y);
            Yarvo assigned;
            assigned = y;
        }
        EXPECT_EQ(openDescriptors(), before + 1);
        unsigned short changed;
        EXPECT_TRUE(y.GetChangedInputs(&changed));  // still open after the copies died
        { Yarvo neverOpened; }
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// Every way a transfer can fail, seen through GetPowerStatus, whose record
// must stay untouched.
TEST(CommandTransfer, FailuresStoreTheirCodeAndLeaveOutputsAlone) {
    const struct {
        const char* name;
        Fault fault;
        KReelMsg error;
    } cases[] = {
        {"request fails with EIO", fault(Fault::Errno, EIO), ReelMsgTransferFailed},
        {"request fails with ETIMEDOUT", fault(Fault::Errno, ETIMEDOUT), ReelMsgTransferFailed},
        {"response length 0", fault(Fault::ResponseLength, 0), ReelMsgBadResponseLength},
        {"response length 1", fault(Fault::ResponseLength, 1), ReelMsgBadResponseLength},
        {"response length 256", fault(Fault::ResponseLength, 256), ReelMsgBadResponseLength},
        {"response length 257", fault(Fault::ResponseLength, 257), ReelMsgBadResponseLength},
        {"echo of another command", fault(Fault::Echo, 10), ReelMsgBadResponse},
        {"status 1", fault(Fault::Status, 1), ReelMsgBadResponse},
        {"status 0x80", fault(Fault::Status, 0x80), ReelMsgBadResponse},
        {"no payload byte", fault(Fault::Payload, 0, {}), ReelMsgBadResponseLength},
    };
    VirtualCabinet cab;
    cab.board(0);
    Yarvo y;
    ASSERT_TRUE(y.Init());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cab.driver().injectFault(0, c.fault);
        KReelPowerStatus status{0xDEADBEEF};
        EXPECT_FALSE(y.GetPowerStatus(&status));
        EXPECT_EQ(y.GetLastError(), c.error);
        EXPECT_EQ(status.value, 0xDEADBEEFu);
    }
    // The board is not left out of step: the next command goes through.
    KReelPowerStatus status{0};
    EXPECT_TRUE(y.GetPowerStatus(&status));

    cab.driver().unplug(0);
    EXPECT_FALSE(y.GetPowerStatus(&status));
    EXPECT_EQ(y.GetLastError(), ReelMsgTransferFailed);

    Yarvo neverOpened;
    cab.clearLog();
    EXPECT_FALSE(neverOpened.GetPowerStatus(&status));
    EXPECT_EQ(neverOpened.GetLastError(), ReelMsgTransferFailed);
    EXPECT_TRUE(cab.log().empty());
}

TEST(CommandTransfer, BlockHeaderWords) {
    VirtualCabinet cab;
    cab.board(0);
    Yarvo y;
    ASSERT_TRUE(y.Init());
    ASSERT_TRUE(y.ConfigureReels(1, 96, 4, 1, 0));
    KReelPowerStatus power;
    ASSERT_TRUE(y.GetPowerStatus(&power));
    ASSERT_TRUE(y.SetOutputs(0, 0));
    ASSERT_TRUE(y.ModifyOutputs(0, 0, 0, 0));
    KReelRampTable table{60, {}};
    ASSERT_TRUE(y.SpinRampUp(0, &table));
    const auto log = cab.log();
    const uint32_t lengths[] = {7, 1, 9, 17, 62 + 1};
    ASSERT_EQ(log.size(), 5u);
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(static_cast<int>(log[i].command));
        EXPECT_EQ(log[i].word0, 2u);
        EXPECT_EQ(log[i].word1, 6u);
        EXPECT_EQ(log[i].responseOffered, 257u);
        EXPECT_EQ(log[i].requestLength, lengths[i]);
        EXPECT_EQ(log[i].requestLength, log[i].payload.size() + 1);
    }
}
