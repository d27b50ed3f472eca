// The browser test's host: configures reels from a reel-definition file,
// spins each to a symbol and switches output 40 on, then reports every
// change of the inputs until a call fails, which it reports with its status
// code before it exits.
//
//   cabinet-host REEL_FILE TYPE:SYMBOL...     reel 0, 1, ... in that order
#include <yarvo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

static int failed(Yarvo& board, const char* what) {
    std::printf("%s failed: code %u\n", what, board.GetLastError());
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: cabinet-host REEL_FILE TYPE:SYMBOL...\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Yarvo board;
    if (!board.Init()) {
        std::printf("no board\n");
        return 1;
    }
    if (!board.VendorSetReelFilePath(argv[1])) return failed(board, "VendorSetReelFilePath");
    for (int i = 2; i < argc; ++i) {
        const std::string item = argv[i];
        const size_t colon = item.find(':');
        std::string type = item.substr(0, colon);
        const unsigned char reel = static_cast<unsigned char>(i - 2);
        if (!board.VendorConfigureReel(reel, type.data())) return failed(board, "VendorConfigureReel");
        if (!board.VendorSpinReelToSymbol(reel, std::stoul(item.substr(colon + 1)), 120)) {
            return failed(board, "VendorSpinReelToSymbol");
        }
    }
    if (!board.SetOutputBit(KReelOutput40, true)) return failed(board, "SetOutputBit");
    std::printf("spinning\n");
    unsigned long last = ~0ul;
    for (int polls = 0; polls < 12000; ++polls) {   // two minutes at most
        unsigned short low = 0;
        unsigned char high = 0;
        if (!board.GetInputs(&low, &high)) return failed(board, "GetInputs");
        const unsigned long inputs = low | (static_cast<unsigned long>(high) << 16);
        if (inputs != last) {
            std::printf("inputs 0x%06lx\n", inputs);
            last = inputs;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("no failure came\n");
    return 1;
}
