// make bench item 8's host: eight boards (addresses 0-7) of eight reels in
// endless skill spins, for as long as the browser view is measured.
//
//   yarvo-bench-web-host REEL_FILE TYPE SECONDS
#include <yarvo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: yarvo-bench-web-host REEL_FILE TYPE SECONDS\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    static Yarvo boards[8];
    std::string type = argv[2];
    for (unsigned address = 0; address < 8; ++address) {
        Yarvo& board = boards[address];
        if (!board.InitUSBBoard(address) || !board.VendorSetReelFilePath(argv[1])) {
            std::fprintf(stderr, "yarvo-bench-web-host: board %u: code %u\n", address, board.GetLastError());
            return 1;
        }
        for (unsigned char reel = 0; reel < 8; ++reel) {
            if (!board.VendorConfigureReel(reel, type.data()) || !board.VendorSpinReelStartSkill(reel, 1000)) {
                std::fprintf(stderr, "yarvo-bench-web-host: board %u reel %u: code %u\n", address, reel,
                             board.GetLastError());
                return 1;
            }
        }
    }
    std::printf("spinning\n");
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[3])));
    return 0;
}
