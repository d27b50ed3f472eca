// A host program for the kernel-path system test.  It uses nothing but the
// public library, so it sees exactly what a game sees: the sysfs texts, the
// device node and the ioctl, served by yarvo-sim's board file system.  Built
// three ways (64-bit, 32-bit, statically linked) from this one file.
//
//   kernel-host spin REELFILE                 configure four reels from the file,
//                                             spin to targets both ways, check
//                                             the resting symbols
//   kernel-host unplug REELFILE SOCKET        unplug the board mid-spin through the
//                                             control socket: TransferFailed; replug:
//                                             Init again and spin
//   kernel-host daemon-death REELFILE RESULT  kill the simulator mid-spin; the next
//                                             request must fail, not hang; the
//                                             verdict goes to the file RESULT
//   kernel-host address A SPEED               InitUSBBoard(A) works and the board
//                                             reports SPEED (12 or 480)
//   kernel-host no-board                      Init() finds no board
//   kernel-host transfers N                   N input reports in a row, each must work
//   kernel-host exit N                        open the board, exit with N
//   kernel-host signal                        open the board, die of SIGTERM
//
// Exit status 0 on success; otherwise a message on stderr and status 1
// (usage: 2).
#include <yarvo.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "control_client.h"

namespace {

constexpr unsigned char kMovingFlag = 0x01;   // status byte 1 of the virtual board's reel status

struct ReelPlan {
    unsigned char reel;
    const char* type;
    unsigned symbols;
};
const ReelPlan kReels[] = {
    {0, "band-a", 4}, {1, "classic-12", 12}, {2, "classic-20", 20}, {3, "deluxe-22", 22}};

int fail(Yarvo& board, const char* what) {
    std::fprintf(stderr, "kernel-host: %s failed, code %u\n", what, static_cast<unsigned>(board.GetLastError()));
    return 1;
}

int failText(const std::string& text) {
    std::fprintf(stderr, "kernel-host: %s\n", text.c_str());
    return 1;
}

bool configure(Yarvo& board, const char* file) {
    if (!board.VendorSetReelFilePath(const_cast<char*>(file))) {
        return false;
    }
    for (const ReelPlan& p : kReels) {
        if (!board.VendorConfigureReel(p.reel, const_cast<char*>(p.type))) {
            return false;
        }
    }
    return true;
}

// Waits until no reel moves; false on a failed request or after `limit`.
bool waitStopped(Yarvo& board, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        bool moving = false;
        for (const ReelPlan& p : kReels) {
            KReelStatus status;
            if (!board.GetReelStatus(p.reel, &status)) {
                return false;
            }
            moving = moving || (status.statusByte1 & kMovingFlag) != 0;
        }
        if (!moving) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            std::fprintf(stderr, "kernel-host: reels still moving after %lld ms\n",
                         static_cast<long long>(limit.count()));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Spins every reel to a symbol (forwards with a positive speed, backwards
// with a negative one) and checks where each comes to rest.
int spinRound(Yarvo& board, unsigned shift, int speed) {
    for (const ReelPlan& p : kReels) {
        const unsigned target = (p.symbols - 1 + shift) % p.symbols;
        if (!board.VendorSpinReelToSymbol(p.reel, target, speed)) {
            return fail(board, "VendorSpinReelToSymbol");
        }
    }
    if (!waitStopped(board, std::chrono::seconds(15))) {
        return fail(board, "waiting for the reels");
    }
    for (const ReelPlan& p : kReels) {
        const unsigned target = (p.symbols - 1 + shift) % p.symbols;
        KReelStatusEx status;
        if (!board.VendorGetReelStatus(p.reel, &status)) {
            return fail(board, "VendorGetReelStatus");
        }
        if (status.nearestSymbol != target || status.symbolOffset != 0) {
            return failText("reel " + std::to_string(p.reel) + " (" + p.type + ") rests at position " +
                            std::to_string(status.position) + ", symbol " + std::to_string(status.nearestSymbol) +
                            " offset " + std::to_string(status.symbolOffset) + "; wanted symbol " +
                            std::to_string(target));
        }
    }
    return 0;
}

// One command to the simulator's control socket; true on an "ok" reply.
bool control(const char* socketPath, const std::string& command) {
    const std::string reply = yarvo::testing::controlReply(socketPath, command);
    if (reply.compare(0, 2, "ok") != 0) {
        std::fprintf(stderr, "kernel-host: \"%s\" answered \"%s\"\n", command.c_str(), reply.c_str());
        return false;
    }
    return true;
}

int spinTest(const char* file) {
    Yarvo board;
    if (!board.Init()) {
        return fail(board, "Init");
    }
    USBBoardSpeed speed;
    if (!board.GetBoardSpeed(&speed) || speed != USBBoardSpeedFull) {
        return failText("board speed is not full speed");
    }
    unsigned char version[256] = {};
    if (!board.GetFirmwareVersion(version)) {
        return fail(board, "GetFirmwareVersion");
    }
    if (!configure(board, file)) {
        return fail(board, "configuring the reels");
    }
    if (int r = spinRound(board, 0, 150)) {
        return r;
    }
    if (int r = spinRound(board, 5, -100)) {
        return r;
    }
    // Lamps and outputs travel too.
    if (!board.SetReelLamps(1, true) || !board.SetOutputBit(KReelOutput40, true)) {
        return fail(board, "lamps and outputs");
    }
    std::printf("kernel-host: reels rest on their targets (firmware %s)\n", reinterpret_cast<char*>(version));
    return 0;
}

int unplugTest(const char* file, const char* socketPath) {
    Yarvo board;
    if (!board.Init()) {
        return fail(board, "Init");
    }
    if (!configure(board, file)) {
        return fail(board, "configuring the reels");
    }
    if (!board.VendorSpinReelNumberOfSymbols(2, 60, 180)) {
        return fail(board, "VendorSpinReelNumberOfSymbols");
    }
    if (!control(socketPath, "unplug 0")) {
        return 1;
    }
    KReelStatus status;
    if (board.GetReelStatus(2, &status) || board.GetLastError() != ReelMsgTransferFailed) {
        return failText("a request to the unplugged board did not fail with ReelMsgTransferFailed (code " +
                        std::to_string(board.GetLastError()) + ")");
    }
    Yarvo other;
    if (other.Init()) {
        return failText("Init found a board while it was unplugged");
    }
    if (!control(socketPath, "replug 0")) {
        return 1;
    }
    if (!board.Init()) {
        return fail(board, "Init after replug");
    }
    if (!configure(board, file)) {
        return fail(board, "configuring the reels after replug");
    }
    if (!waitStopped(board, std::chrono::seconds(15))) {
        return fail(board, "waiting for the reels after replug");
    }
    if (int r = spinRound(board, 3, 100)) {
        return r;
    }
    std::printf("kernel-host: unplug failed the transfer, replug and Init worked\n");
    return 0;
}

int daemonDeathTest(const char* file, const char* resultPath) {
    FILE* result = std::fopen(resultPath, "w");
    if (result == nullptr) {
        return failText(std::string("cannot write ") + resultPath);
    }
    auto verdict = [&](const std::string& text, int code) {
        std::fprintf(result, "%s\n", text.c_str());
        std::fclose(result);
        return code;
    };
    Yarvo board;
    if (!board.Init() || !configure(board, file) || !board.VendorSpinReelNumberOfSymbols(1, 30, 60)) {
        return verdict("set-up failed, code " + std::to_string(board.GetLastError()), 1);
    }
    ::kill(::getppid(), SIGKILL);
    // The daemon's end takes a moment; requests until then may still work.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    KReelStatus status;
    while (board.GetReelStatus(1, &status)) {
        if (std::chrono::steady_clock::now() > end) {
            return verdict("requests still succeed 10 s after the daemon was killed", 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (board.GetLastError() != ReelMsgTransferFailed) {
        return verdict("the failed request gave code " + std::to_string(board.GetLastError()), 1);
    }
    return verdict("ok", 0);
}

int addressTest(unsigned address, const char* speedText) {
    Yarvo board;
    if (!board.InitUSBBoard(address)) {
        return fail(board, "InitUSBBoard");
    }
    USBBoardSpeed speed;
    board.GetBoardSpeed(&speed);
    const USBBoardSpeed wanted = std::strcmp(speedText, "480") == 0 ? USBBoardSpeedHigh : USBBoardSpeedFull;
    if (speed != wanted) {
        return failText("board speed " + std::to_string(speed) + ", wanted " + speedText);
    }
    unsigned short low = 0;
    unsigned char high = 0;
    if (!board.GetInputs(&low, &high) || (high & 0x07) != address) {
        return fail(board, "GetInputs");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "spin" && argc == 3) {
        return spinTest(argv[2]);
    }
    if (mode == "unplug" && argc == 4) {
        return unplugTest(argv[2], argv[3]);
    }
    if (mode == "daemon-death" && argc == 4) {
        return daemonDeathTest(argv[2], argv[3]);
    }
    if (mode == "address" && argc == 4) {
        return addressTest(static_cast<unsigned>(std::atoi(argv[2])), argv[3]);
    }
    if (mode == "transfers" && argc == 3) {
        Yarvo board;
        if (!board.Init()) {
            return fail(board, "Init");
        }
        for (long i = std::atol(argv[2]); i > 0; --i) {
            unsigned short low = 0;
            unsigned char high = 0;
            if (!board.GetInputs(&low, &high)) {
                return fail(board, "GetInputs");
            }
        }
        return 0;
    }
    if (mode == "no-board" && argc == 2) {
        Yarvo board;
        return board.Init() ? failText("Init found a board") : 0;
    }
    if ((mode == "exit" && argc == 3) || (mode == "signal" && argc == 2)) {
        Yarvo board;
        if (!board.Init()) {
            return fail(board, "Init");
        }
        if (mode == "signal") {
            ::raise(SIGTERM);
            return failText("still alive after SIGTERM");
        }
        return std::atoi(argv[2]);
    }
    std::fprintf(stderr, "usage: kernel-host spin|unplug|daemon-death|address|transfers|no-board|exit|signal ...\n");
    return 2;
}
