// yarvo-demo: a small host program for the K-Mora Yarvo Board.
//
// Opens a board, shows what it reports (USB speed, versions, power status,
// inputs), declares three reels and switches their lamps and a few outputs.
// It uses nothing but yarvo.h, so it runs unchanged against a real board or
// the virtual one (`make demo` loads libyarvo-sim-preload.so with LD_PRELOAD).
//
// Each stage is one function that returns false after printing
// "yarvo-demo: <operation>: code <n>" for the call that failed.
#include <yarvo.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr const char* kProgram = "yarvo-demo";

// The reel set-up this demo declares with ConfigureReels.  The board
// firmware gives these values their meaning; the virtual board reads them as
// the turn length in half steps and a step period in units of 100 us.
constexpr unsigned kReelCount = 3;
constexpr unsigned kTurnHalfSteps = 96;
constexpr unsigned kStepsPerSymbol = 4;
constexpr char kStepPeriod = 50;
constexpr char kReelParam5 = 0;

// Outputs beyond those of the configured reels (reel r owns 4r .. 4r + 3).
constexpr KReelOutputBit kDemoOutputs[] = {KReelOutput12, KReelOutput13, KReelOutput40};

constexpr std::chrono::milliseconds kPause(150);

struct Options {
    bool byAddress = false;
    unsigned address = 0;
};

bool failed(Yarvo& board, const char* operation) {
    std::fprintf(stderr, "%s: %s: code %u\n", kProgram, operation,
                 static_cast<unsigned>(board.GetLastError()));
    return false;
}

void pause() { std::this_thread::sleep_for(kPause); }

const char* speedName(USBBoardSpeed speed) {
    switch (speed) {
    case USBBoardSpeedFull: return "full speed (12 Mbit/s)";
    case USBBoardSpeedHigh: return "high speed (480 Mbit/s)";
    default: return "not known";
    }
}

// Stage 1: open the first board found, or the board with a given address.
bool openBoard(Yarvo& board, const Options& options) {
    if (options.byAddress) {
        if (!board.InitUSBBoard(options.address)) {
            failed(board, "InitUSBBoard");
            std::fprintf(stderr, "%s: no K-Mora Yarvo Board found at address %u\n", kProgram,
                         options.address);
            return false;
        }
        std::printf("board at address %u opened\n", options.address);
    } else {
        if (!board.Init()) {
            failed(board, "Init");
            std::fprintf(stderr, "%s: no K-Mora Yarvo Board found\n", kProgram);
            return false;
        }
        std::printf("board opened\n");
    }
    return true;
}

// Stage 2: what the board and the library say about themselves.
bool showBoardInfo(Yarvo& board) {
    USBBoardSpeed speed = USBBoardSpeedNone;
    if (!board.GetBoardSpeed(&speed)) return failed(board, "GetBoardSpeed");
    std::printf("USB speed:        %s\n", speedName(speed));

    unsigned char version[16] = {};
    if (!board.GetDllVersion(version)) return failed(board, "GetDllVersion");
    std::printf("library version:  %s\n", reinterpret_cast<char*>(version));
    std::memset(version, 0, sizeof version);
    if (!board.GetProductVersion(version)) return failed(board, "GetProductVersion");
    std::printf("product version:  %s\n", reinterpret_cast<char*>(version));

    // The firmware's bytes come unterminated; the buffer starts zeroed and
    // has one byte beyond the 253 the board can send.
    unsigned char firmware[254] = {};
    if (!board.GetFirmwareVersion(firmware)) return failed(board, "GetFirmwareVersion");
    std::printf("firmware version: ");
    for (size_t i = 0; i < sizeof firmware && firmware[i] != 0; ++i) {
        std::putchar(std::isprint(firmware[i]) ? firmware[i] : '?');
    }
    std::printf("\n");

    KReelPowerStatus power = {};
    if (!board.GetPowerStatus(&power)) return failed(board, "GetPowerStatus");
    std::printf("power status:     0x%02x\n", power.value);
    return true;
}

// Stage 3: the 24 inputs; inputs 16-18 carry the board's address.
bool showInputs(Yarvo& board) {
    unsigned short low = 0;
    unsigned char high = 0;
    if (!board.GetInputs(&low, &high)) return failed(board, "GetInputs");
    std::printf("inputs 0-15:      0x%04x\n", low);
    std::printf("inputs 16-23:     0x%02x (board address %u)\n", high, high & 7u);
    return true;
}

// Stage 4: declare the reels for step-level use.
bool configureReels(Yarvo& board) {
    if (!board.ConfigureReels(kReelCount, kTurnHalfSteps, kStepsPerSymbol, kStepPeriod,
                              kReelParam5)) {
        return failed(board, "ConfigureReels");
    }
    std::printf("%u reels configured\n", kReelCount);
    return true;
}

// Stage 5: light the reels' lamps one after another, then put them out.
bool switchLamps(Yarvo& board) {
    for (unsigned char reel = 0; reel < kReelCount; ++reel) {
        if (!board.SetReelLamps(reel, true)) return failed(board, "SetReelLamps");
        std::printf("reel %u lamps on\n", reel);
        pause();
    }
    for (unsigned char reel = 0; reel < kReelCount; ++reel) {
        if (!board.SetReelLamps(reel, false)) return failed(board, "SetReelLamps");
    }
    std::printf("reel lamps off\n");
    return true;
}

// Stage 6: switch a few outputs that no reel owns on and off again.
bool switchOutputs(Yarvo& board) {
    for (KReelOutputBit output : kDemoOutputs) {
        if (!board.SetOutputBit(output, true)) return failed(board, "SetOutputBit");
        std::printf("output %d on\n", static_cast<int>(output));
        pause();
    }
    for (KReelOutputBit output : kDemoOutputs) {
        if (!board.SetOutputBit(output, false)) return failed(board, "SetOutputBit");
    }
    std::printf("outputs off\n");
    return true;
}

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: %s [--address N]\n"
                 "  Opens a K-Mora Yarvo Board (the first found, or the one at address N,\n"
                 "  0-15), shows its versions, power status and inputs, and switches the\n"
                 "  lamps of reels 0-%u and a few outputs.\n",
                 kProgram, kReelCount - 1);
}

// 0: run, 1: stop with success (--help), 2: usage error.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 1;
        }
        if (std::strcmp(argv[i], "--address") == 0 && i + 1 < argc) {
            char* end = nullptr;
            unsigned long value = std::strtoul(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || value > 15) {
                std::fprintf(stderr, "%s: bad address '%s' (0-15)\n", kProgram, argv[i]);
                return 2;
            }
            options->byAddress = true;
            options->address = static_cast<unsigned>(value);
            continue;
        }
        std::fprintf(stderr, "%s: unknown argument '%s'\n", kProgram, argv[i]);
        usage(stderr);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (parseOptions(argc, argv, &options)) {
    case 1: return 0;
    case 2: return 2;
    default: break;
    }

    Yarvo board;
    const bool ok = openBoard(board, options) && showBoardInfo(board) && showInputs(board) &&
                    configureReels(board) && switchLamps(board) && switchOutputs(board);
    return ok ? 0 : 1;
}
