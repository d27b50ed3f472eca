// Several boards driven side by side: eight Yarvo objects, each opened on
// its own virtual board by address, each used by its own thread for a few
// seconds of spins, skill stops, status reads, lamps, outputs and inputs,
// while the boards' reels turn in real time.  Objects share nothing, so
// every call succeeds and each board ends with what its own thread sent.
// The suite's ThreadSanitizer run executes these tests (--gtest_filter=
// 'Threads.*') to show that the library keeps no shared state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cabinet.h"
#include "yarvo.h"

namespace {

using yarvo::sim::VirtualCabinet;

constexpr unsigned kBoards = 8;
constexpr auto kRunTime = std::chrono::seconds(3);

struct TypeInfo {
    const char* name;
    unsigned symbols;
};
const TypeInfo kTypes[] = {{"band-a", 4}, {"classic-12", 12}, {"classic-20", 20}, {"deluxe-22", 22}};

uint32_t patternOf(unsigned board) { return 0x01010101u * (board + 1); }

// What one thread saw; checked on the main thread.
struct Report {
    unsigned calls = 0;
    unsigned failures = 0;
    std::string firstFailure;
    unsigned wrongAddress = 0;
    unsigned outOfTable = 0;
};

void drive(unsigned board, const std::chrono::steady_clock::time_point deadline, Report* report) {
    Yarvo yarvo;
    auto expect = [&](bool ok, const char* what) {
        ++report->calls;
        if (!ok && report->failures++ == 0) {
            report->firstFailure = std::string(what) + ": code " + std::to_string(yarvo.GetLastError());
        }
        return ok;
    };
    if (!expect(yarvo.InitUSBBoard(board), "InitUSBBoard")) return;
    std::string path = YARVO_EXAMPLE_REEL_FILE;
    if (!expect(yarvo.VendorSetReelFilePath(&path[0]), "VendorSetReelFilePath")) return;
    unsigned symbols[4];
    for (unsigned char reel = 0; reel < 4; ++reel) {
        const TypeInfo& type = kTypes[(reel + board) % 4];
        std::string name = type.name;
        symbols[reel] = type.symbols;
        if (!expect(yarvo.VendorConfigureReel(reel, &name[0]), "VendorConfigureReel")) return;
        // Every configured reel is set turning at once, however few rounds
        // a slow run (sanitizers, memcheck) gets through.
        expect(yarvo.VendorSpinReelToSymbol(reel, type.symbols - 1, 90), "VendorSpinReelToSymbol");
    }

    const uint32_t pattern = patternOf(board);
    for (unsigned round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        // Each reel gets a new motion every 32 rounds, so that it runs for a
        // while before the next command replaces the motion.
        const unsigned char reel = round % 4;
        const unsigned phase = round % 32;
        const int speed = (round % 3 == 0 ? -1 : 1) * static_cast<int>(60 + 30 * (round % 5));
        expect(yarvo.SetOutputs(pattern, ~pattern), "SetOutputs");
        expect(yarvo.SetReelLamps(reel, round % 2 == 0), "SetReelLamps");
        unsigned short low = 0;
        unsigned char high = 0;
        if (expect(yarvo.GetInputs(&low, &high), "GetInputs") && (high & 7) != board) ++report->wrongAddress;
        if (phase < 4) {
            expect(yarvo.VendorSpinReelToSymbol(reel, round % symbols[reel], speed), "VendorSpinReelToSymbol");
        } else if (phase >= 16 && phase < 20) {
            expect(yarvo.VendorSpinReelStartSkill(reel, speed), "VendorSpinReelStartSkill");
        } else if (phase >= 24 && phase < 28) {
            expect(yarvo.VendorSpinReelStopSkill(reel), "VendorSpinReelStopSkill");
        }
        KReelStatusEx status{};
        if (expect(yarvo.VendorGetReelStatus(reel, &status), "VendorGetReelStatus") &&
            status.nearestSymbol >= symbols[reel]) {
            ++report->outOfTable;
        }
        KReelStatus plain{};
        expect(yarvo.GetReelStatus(reel, &plain), "GetReelStatus");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The last word on the outputs is this thread's.
    expect(yarvo.SetOutputs(pattern, ~pattern), "SetOutputs");
}

TEST(Threads, EightObjectsDriveEightBoardsFromEightThreads) {
    VirtualCabinet cab;
    for (unsigned b = 0; b < kBoards; ++b) cab.board(b).address(static_cast<uint8_t>(b));
    cab.driver().setLogging(false);
    cab.driver().useRealTime(true);

    std::vector<Report> reports(kBoards);
    std::vector<std::thread> threads;
    const auto deadline = std::chrono::steady_clock::now() + kRunTime;
    for (unsigned b = 0; b < kBoards; ++b) threads.emplace_back(drive, b, deadline, &reports[b]);
    for (std::thread& t : threads) t.join();

    for (unsigned b = 0; b < kBoards; ++b) {
        SCOPED_TRACE("board " + std::to_string(b));
        const Report& r = reports[b];
        EXPECT_GT(r.calls, 20u);
        EXPECT_EQ(r.failures, 0u) << r.firstFailure;
        EXPECT_EQ(r.wrongAddress, 0u);
        EXPECT_EQ(r.outOfTable, 0u);
        const uint64_t outputs = cab.firmware(b, [](yarvo::sim::Firmware& fw) { return fw.outputs(); });
        // Command 23 sets the upper outputs from its first word and the lamp
        // outputs from its second.
        EXPECT_EQ(outputs >> 32, patternOf(b));
        EXPECT_EQ(static_cast<uint32_t>(outputs), ~patternOf(b));
        // The reels this board's thread configured are the ones that moved.
        for (unsigned reel = 0; reel < 8; ++reel) {
            EXPECT_EQ(cab.reel(b, reel).stepsTaken > 0, reel < 4) << "reel " << reel;
        }
    }
}

// Objects are independent even when they are created, opened and destroyed
// concurrently on the same boards' neighbours: openings by address from
// eight threads at once, over and over, each finding its own board.
TEST(Threads, ConcurrentOpeningsFindTheirOwnBoards) {
    VirtualCabinet cab;
    for (unsigned b = 0; b < kBoards; ++b) cab.board(b).address(static_cast<uint8_t>(b));
    cab.driver().setLogging(false);
    std::atomic<unsigned> wrong{0};
    std::atomic<unsigned> failed{0};
    std::vector<std::thread> threads;
    for (unsigned b = 0; b < kBoards; ++b) {
        threads.emplace_back([b, &wrong, &failed] {
            for (int i = 0; i < 200; ++i) {
                Yarvo yarvo;
                unsigned short low = 0;
                unsigned char high = 0;
                if (!yarvo.InitUSBBoard(b) || !yarvo.GetInputs(&low, &high)) {
                    ++failed;
                } else if ((high & 7) != b) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0u);
    EXPECT_EQ(wrong.load(), 0u);
}

}  // namespace
