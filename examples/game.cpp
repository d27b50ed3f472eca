// game: a small host. It opens the first board, configures three reels from
// a reel-definition file, spins them, stops them one after another on
// symbols 7, 3 and 12, waits until they rest and prints where each rests.
//
//   game REEL_FILE     e.g. "$(pkg-config --variable=examplesdir yarvo)/tamso-reel-definitions.xml"
#include <yarvo.h>

#include <chrono>
#include <cstdio>
#include <thread>

static int failed(Yarvo& board, const char* what) {
    std::fprintf(stderr, "game: %s failed: code %u\n", what, board.GetLastError());
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: game REEL_FILE\n");
        return 2;
    }
    Yarvo board;                                    // opens nothing yet
    if (!board.Init()) {
        std::fprintf(stderr, "game: no board found\n");
        return 1;
    }
    char type[] = "classic-20";                     // a reel type of the file
    if (!board.VendorSetReelFilePath(argv[1])) return failed(board, "VendorSetReelFilePath");
    for (unsigned char reel = 0; reel < 3; ++reel) {
        if (!board.VendorConfigureReel(reel, type)) return failed(board, "VendorConfigureReel");
        if (!board.VendorSpinReelStartSkill(reel, 120)) return failed(board, "VendorSpinReelStartSkill");
    }

    // Calls never wait for a reel: the reels turn while the game sleeps, then
    // each is told where to stop, half a second apart.
    const unsigned targets[3] = {7, 3, 12};
    for (unsigned char reel = 0; reel < 3; ++reel) {
        std::this_thread::sleep_for(std::chrono::milliseconds(reel == 0 ? 1500 : 500));
        if (!board.VendorStopReelSpinAtPosition(reel, targets[reel])) return failed(board, "VendorStopReelSpinAtPosition");
    }

    // A reel rests when its position has not changed for 100 ms.
    KReelStatusEx status[3];
    unsigned short last[3] = {0, 0, 0};
    for (int still = 0, polls = 0; still < 5; ++polls) {
        if (polls == 500) {
            std::fprintf(stderr, "game: the reels did not come to rest within 10 s\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bool moved = false;
        for (unsigned char reel = 0; reel < 3; ++reel) {
            if (!board.VendorGetReelStatus(reel, &status[reel])) return failed(board, "VendorGetReelStatus");
            moved = moved || polls == 0 || status[reel].position != last[reel];
            last[reel] = status[reel].position;
        }
        still = moved ? 0 : still + 1;
    }
    for (unsigned char reel = 0; reel < 3; ++reel) {
        std::printf("reel %u rests on symbol %u (position %u, offset %d)\n", reel, status[reel].nearestSymbol,
                    status[reel].position, status[reel].symbolOffset);
    }
    return 0;
}
