// yarvo-demo: a small host program for the K-Mora Yarvo Board.
//
// Opens a board, shows what it reports (USB speed, versions, power status,
// inputs), declares three reels and switches their lamps and a few outputs.
// Then it plays with five reels configured from the reel-definition file:
// it spins each by a number of motor steps and checks where it stopped, plays
// a round of the reel game (random target symbols, reels started left to
// right at different speeds, a live line per reel while they turn, resting
// symbols checked against the targets) and a skill stop.
//
// It uses nothing but yarvo.h, so it runs unchanged against a real board or
// the virtual one (`make demo` loads libyarvo-sim-preload.so with LD_PRELOAD;
// `yarvo-sim run -- yarvo-demo` goes through the kernel path).
//
// Each stage is one function that returns false after printing
// "yarvo-demo: <operation>: code <n>" for the call that failed, or
// "yarvo-demo: <stage>: <what went wrong>" for a reel that did not end where
// it should.
#include <yarvo.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kProgram = "yarvo-demo";
constexpr const char* kDefaultReelFile = "tamso-reel-definitions.xml";
#ifdef YARVO_DEMO_EXAMPLE_REELS
// Where the build found the example file: used when the working directory
// has no reel-definition file, so the demo also runs from anywhere in a
// build or source tree.
constexpr const char* kExampleReelFile = YARVO_DEMO_EXAMPLE_REELS;
#else
constexpr const char* kExampleReelFile = kDefaultReelFile;
#endif

// The reel file to use when none is named: the library's default name in the
// working directory if it is there, else the example file.
std::string defaultReelFile() {
    if (std::FILE* f = std::fopen(kDefaultReelFile, "r")) {
        std::fclose(f);
        return kDefaultReelFile;
    }
    return kExampleReelFile;
}

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

constexpr milliseconds kPause(150);

// Status byte 1 flags of a reel.
constexpr unsigned char kReelMoving = 0x01;
constexpr unsigned char kReelSkill = 0x02;
constexpr unsigned char kReelStopping = 0x10;

// The five reels of the game, left to right (reel 0 is the leftmost).  Type
// names, symbol counts and turn lengths (2 x steps-per-turn) are those of
// the example reel-definition file.  Each reel also has a move for the
// step-spin stage: a step mode (sign: direction, magnitude: half steps per
// step) and a count of motor steps.  The moves are even numbers of half
// steps, so reels stay on even positions that full steps reach exactly.
struct GameReel {
    const char* type;
    unsigned symbols;
    unsigned turn;
    int speed;          // turns per minute; the library takes the nearest of the type
    int stepMode;
    unsigned steps;
};
constexpr GameReel kGameReels[] = {
    {"classic-12", 12, 96, 60, 1, 24},
    {"classic-12", 12, 96, 90, -1, 40},
    {"classic-20", 20, 400, 120, 2, 50},
    {"deluxe-22", 22, 400, 100, -2, 77},
    {"deluxe-22", 22, 400, 150, 1, 150},
};
constexpr unsigned kGameReelCount = sizeof kGameReels / sizeof kGameReels[0];

constexpr milliseconds kPollPeriod(50);      // 20 status reads a second
constexpr milliseconds kStagger(200);        // between the starts of neighbouring reels
constexpr milliseconds kSkillRun(800);       // how long the skill reel runs before the stop
constexpr unsigned kSkillReel = 2;
// Longest waits for reels to stop; a spin takes about two seconds at most.
constexpr milliseconds kStepSpinLimit(5000);
constexpr milliseconds kGameLimit(8000);
constexpr milliseconds kSkillLimit(4000);

struct Options {
    bool byAddress = false;
    unsigned address = 0;
    std::string reelFile = defaultReelFile();
    uint32_t seed = 0;
    bool seedGiven = false;
    bool play = false;
};

bool failed(Yarvo& board, const char* operation) {
    std::fprintf(stderr, "%s: %s: code %u\n", kProgram, operation,
                 static_cast<unsigned>(board.GetLastError()));
    return false;
}

// "yarvo-demo: <stage>: <message>" on standard error; returns false.
__attribute__((format(printf, 2, 3))) bool complain(const char* stage, const char* format, ...) {
    std::fprintf(stderr, "%s: %s: ", kProgram, stage);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
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

// The library takes names and paths as char*; it does not keep them.
std::vector<char> mutableText(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

unsigned char reelNumber(unsigned reel) { return static_cast<unsigned char>(reel); }

bool isMoving(unsigned char flags) { return (flags & kReelMoving) != 0; }

// Where `steps` steps of `stepMode` take a reel from `position`.
unsigned positionAfter(unsigned position, int stepMode, unsigned steps, unsigned turn) {
    const long long moved = static_cast<long long>(position) +
                            static_cast<long long>(stepMode) * static_cast<long long>(steps);
    const long long wrapped = moved % static_cast<long long>(turn);
    return static_cast<unsigned>(wrapped < 0 ? wrapped + turn : wrapped);
}

// Polls every kPollPeriod until `tick` returns kDone or kFailed, or `limit`
// has passed (the result is then kRunning).  `tick` gets the time since the
// first call.
enum class Poll { kRunning, kDone, kFailed };

template <typename Tick>
Poll pollUntil(milliseconds limit, Tick tick) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        const milliseconds elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        const Poll result = tick(elapsed);
        if (result != Poll::kRunning || elapsed >= limit) return result;
        std::this_thread::sleep_for(kPollPeriod);
    }
}

// ------------------------------------------------------------ live view

// A block of lines, one per reel.  On a terminal each frame is drawn over
// the previous one (cursor up, clear line); elsewhere (a log, a pipe) only
// the final frame is printed, so logs stay short.  Under yarvo-sim's live
// view (YARVO_SIM_VIEW set) the terminal is a pseudo-terminal copied to a
// log, so the demo keeps to plain lines there too.
class LiveView {
public:
    LiveView() : terminal_(::isatty(STDOUT_FILENO) != 0 && std::getenv("YARVO_SIM_VIEW") == nullptr) {}

    void frame(const std::vector<std::string>& lines) {
        if (terminal_) draw(lines);
    }

    void finish(const std::vector<std::string>& lines) { draw(lines); }

private:
    void draw(const std::vector<std::string>& lines) {
        if (terminal_ && drawn_ > 0) std::printf("\x1b[%zuA", drawn_);
        for (const std::string& line : lines) {
            std::printf("%s%s\n", terminal_ ? "\r\x1b[2K" : "", line.c_str());
        }
        drawn_ = lines.size();
        std::fflush(stdout);
    }

    bool terminal_;
    size_t drawn_ = 0;
};

// One reel in play: its seat in kGameReels, its target symbol (if it has
// one), whether it was started and its last status.
struct ReelPlay {
    unsigned reel = 0;
    bool hasTarget = false;
    unsigned target = 0;
    bool started = false;
    KReelStatusEx status = {};
};

const char* stateName(const ReelPlay& play) {
    const unsigned char flags = play.status.statusByte1;
    if (!play.started) return "ready";
    if (flags & kReelStopping) return "stopping";
    if (flags & kReelSkill) return "skill";
    if (flags & kReelMoving) return "moving";
    return "stopped";
}

// "#07", or "#07+3" three half steps past symbol 7 ("#07-3" before it).
std::string symbolText(const KReelStatusEx& status) {
    char text[16];
    if (status.symbolOffset == 0) {
        std::snprintf(text, sizeof text, "#%02u", status.nearestSymbol);
    } else {
        std::snprintf(text, sizeof text, "#%02u%+d", status.nearestSymbol, status.symbolOffset);
    }
    return text;
}

std::string reelLine(const ReelPlay& play) {
    char line[128];
    char target[16] = "";
    if (play.hasTarget) std::snprintf(target, sizeof target, "  target #%02u", play.target);
    std::snprintf(line, sizeof line, "  reel %u  %-10s  %-7s  speed %4d  %-*s%s", play.reel,
                  kGameReels[play.reel].type, symbolText(play.status).c_str(),
                  play.status.reelSpeed, play.hasTarget ? 8 : 0, stateName(play), target);
    return line;
}

std::vector<std::string> reelLines(const std::vector<ReelPlay>& plays) {
    std::vector<std::string> lines;
    for (const ReelPlay& play : plays) lines.push_back(reelLine(play));
    return lines;
}

// A round of play: every kPollPeriod, `act(elapsed, &acted)` may start or
// stop reels (false: a call failed; *acted: it has nothing more to do), then
// every reel's status is read and drawn.  The round ends when `act` is done
// and no reel moves, or fails after `limit`.
template <typename Act>
bool playRound(Yarvo& board, const char* stage, std::vector<ReelPlay>& plays, milliseconds limit,
               Act act) {
    LiveView view;
    bool acted = false;
    const Poll result = pollUntil(limit, [&](milliseconds elapsed) {
        if (!acted && !act(elapsed, &acted)) return Poll::kFailed;
        bool moving = false;
        for (ReelPlay& play : plays) {
            if (!board.VendorGetReelStatus(reelNumber(play.reel), &play.status)) {
                failed(board, "VendorGetReelStatus");
                return Poll::kFailed;
            }
            moving = moving || isMoving(play.status.statusByte1);
        }
        view.frame(reelLines(plays));
        return acted && !moving ? Poll::kDone : Poll::kRunning;
    });
    if (result == Poll::kFailed) return false;
    view.finish(reelLines(plays));
    if (result == Poll::kRunning) {
        return complain(stage, "reels still turning after %lld ms",
                        static_cast<long long>(limit.count()));
    }
    return true;
}

// ------------------------------------------------------------ stages

// Stage 1: open the first board found, or the board with a given address.
// A missing board has no status code (Init leaves 0); any other code says
// what went wrong with a board that was there.
bool openBoard(Yarvo& board, const Options& options) {
    const bool opened = options.byAddress ? board.InitUSBBoard(options.address) : board.Init();
    if (!opened) {
        const char* operation = options.byAddress ? "InitUSBBoard" : "Init";
        if (board.GetLastError() != 0) {
            failed(board, operation);
        }
        if (options.byAddress) {
            std::fprintf(stderr, "%s: %s: no board found at address %u (yarvoctl detect lists the boards and their addresses)\n",
                         kProgram, operation, options.address);
        } else {
            std::fprintf(stderr,
                         "%s: %s: no board found: no K-Mora Yarvo Board driver is loaded, or no board is "
                         "plugged in; without hardware, run the demo on a virtual board: make demo, or "
                         "yarvo-sim run -- yarvo-demo\n",
                         kProgram, operation);
        }
        return false;
    }
    std::printf(options.byAddress ? "board at address %u opened\n" : "board opened\n", options.address);
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

// Stage 7: load the reel-definition file and configure the game's reels
// from their types.
bool configureGameReels(Yarvo& board, const std::string& reelFile) {
    std::printf("\nreel definitions: %s\n", reelFile.c_str());
    std::vector<char> path = mutableText(reelFile);
    if (!board.VendorSetReelFilePath(path.data())) {
        failed(board, "VendorSetReelFilePath");
        std::fprintf(stderr, "%s: cannot load reel definitions from '%s' (use --reels FILE)\n",
                     kProgram, reelFile.c_str());
        return false;
    }
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
        std::vector<char> type = mutableText(kGameReels[reel].type);
        if (!board.VendorConfigureReel(reelNumber(reel), type.data())) {
            failed(board, "VendorConfigureReel");
            std::fprintf(stderr, "%s: reel %u: type '%s'\n", kProgram, reel, kGameReels[reel].type);
            return false;
        }
        std::printf("reel %u configured as %s\n", reel, kGameReels[reel].type);
    }
    return true;
}

// Stage 8: spin every reel by its number of steps, wait until all have
// stopped and check each against the position its move leads to.
bool spinBySteps(Yarvo& board) {
    constexpr const char* kStage = "step spins";
    std::printf("\nstep spins\n");
    unsigned expected[kGameReelCount];
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
        const GameReel& seat = kGameReels[reel];
        KReelStatus status = {};
        if (!board.GetReelStatus(reelNumber(reel), &status)) return failed(board, "GetReelStatus");
        expected[reel] = positionAfter(status.position, seat.stepMode, seat.steps, seat.turn);
        const unsigned char size = static_cast<unsigned char>(std::abs(seat.stepMode));
        const bool forward = seat.stepMode > 0;
        const bool ok = forward ? board.SpinReelStepForward(reelNumber(reel), size, seat.steps)
                                : board.SpinReelStepBack(reelNumber(reel), size, seat.steps);
        if (!ok) return failed(board, forward ? "SpinReelStepForward" : "SpinReelStepBack");
        std::printf("  reel %u: %u %s steps %s from %u\n", reel, seat.steps,
                    size == 1 ? "half" : "full", forward ? "forward" : "back", status.position);
    }

    KReelStatus stopped[kGameReelCount] = {};
    const Poll result = pollUntil(kStepSpinLimit, [&](milliseconds) {
        bool moving = false;
        for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
            if (!board.GetReelStatus(reelNumber(reel), &stopped[reel])) {
                failed(board, "GetReelStatus");
                return Poll::kFailed;
            }
            moving = moving || isMoving(stopped[reel].statusByte1);
        }
        return moving ? Poll::kRunning : Poll::kDone;
    });
    if (result == Poll::kFailed) return false;
    if (result == Poll::kRunning) {
        return complain(kStage, "reels still turning after %lld ms",
                        static_cast<long long>(kStepSpinLimit.count()));
    }

    bool allThere = true;
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
        const bool there = stopped[reel].position == expected[reel];
        std::printf("  reel %u stopped at %u (expected %u)%s\n", reel, stopped[reel].position,
                    expected[reel], there ? "" : "  WRONG");
        if (!there) {
            allThere = complain(kStage, "reel %u stopped at %u, expected %u", reel,
                                stopped[reel].position, expected[reel]);
        }
    }
    return allThere;
}

// Stage 9: the reel game.  Random target symbols; the reels start left to
// right, kStagger apart, each at its own speed, and turn to their targets
// while a live line per reel shows them; then each must rest exactly on its
// target.
bool playGame(Yarvo& board, uint32_t seed) {
    constexpr const char* kStage = "game";
    std::printf("\ngame (seed %lu; --seed %lu plays it again)\n", static_cast<unsigned long>(seed),
                static_cast<unsigned long>(seed));
    std::mt19937 random(seed);
    std::vector<ReelPlay> plays(kGameReelCount);
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
        plays[reel].reel = reel;
        plays[reel].hasTarget = true;
        plays[reel].target = static_cast<unsigned>(random() % kGameReels[reel].symbols);
    }

    unsigned nextStart = 0;
    const auto startDue = [&](milliseconds elapsed, bool* acted) {
        for (; nextStart < kGameReelCount && elapsed >= nextStart * kStagger; ++nextStart) {
            ReelPlay& play = plays[nextStart];
            if (!board.VendorSpinReelToSymbol(reelNumber(play.reel), play.target,
                                              kGameReels[play.reel].speed)) {
                return failed(board, "VendorSpinReelToSymbol");
            }
            play.started = true;
        }
        *acted = nextStart == kGameReelCount;
        return true;
    };
    if (!playRound(board, kStage, plays, kGameLimit, startDue)) return false;

    bool allHit = true;
    for (const ReelPlay& play : plays) {
        const bool hit = play.status.symbolOffset == 0 && play.status.nearestSymbol == play.target;
        if (!hit) {
            allHit = complain(kStage, "reel %u rests at %s, target #%02u", play.reel,
                              symbolText(play.status).c_str(), play.target);
        }
    }
    std::printf(allHit ? "all reels rest on their targets\n" : "some reels missed their targets\n");
    return allHit;
}

// Stage 10: a skill stop.  One reel spins until the player stops it; the
// stop lands on the next symbol the reel can still reach.
bool playSkillStop(Yarvo& board) {
    constexpr const char* kStage = "skill stop";
    std::printf("\nskill stop: reel %u spins, the stop comes after %lld ms\n", kSkillReel,
                static_cast<long long>(kSkillRun.count()));
    std::vector<ReelPlay> plays(1);
    ReelPlay& play = plays[0];
    play.reel = kSkillReel;

    const auto startThenStop = [&](milliseconds elapsed, bool* acted) {
        if (!play.started) {
            if (!board.VendorSpinReelStartSkill(reelNumber(kSkillReel), kGameReels[kSkillReel].speed)) {
                return failed(board, "VendorSpinReelStartSkill");
            }
            play.started = true;
        } else if (elapsed >= kSkillRun) {
            if (!board.VendorSpinReelStopSkill(reelNumber(kSkillReel))) {
                return failed(board, "VendorSpinReelStopSkill");
            }
            *acted = true;
        }
        return true;
    };
    if (!playRound(board, kStage, plays, kSkillLimit, startThenStop)) return false;

    if (play.status.symbolOffset != 0) {
        return complain(kStage, "reel %u rests between symbols, at %s", kSkillReel,
                        symbolText(play.status).c_str());
    }
    std::printf("reel %u rests on symbol #%02u\n", kSkillReel, play.status.nearestSymbol);
    return true;
}

// ------------------------------------------------------------ --play

// The demo as a small game on the cabinet's buttons (yarvo-demo --play,
// e.g. in yarvo-sim's browser view): Start spins the five reels, the stop
// buttons stop them early by skill, and the lamps light a winning row.
constexpr unsigned kStartInput = 8;
constexpr unsigned kFirstStopInput = 9;            // 9-13 stop reels 0-4
constexpr milliseconds kPlayPoll(20);
constexpr milliseconds kAutoStop(1600);            // reel 0 stops by itself this long after Start
constexpr milliseconds kStopStagger(400);          // each reel to the right later
// A row wins when three or more reels from the left show the same kind of
// symbol; symbol i is of kind i % 4 (the demo's cabinet file labels them).
constexpr unsigned kKinds = 4;
constexpr const char* kKindNames[kKinds] = {"SEVEN", "BAR", "CHERRY", "BELL"};
constexpr const char* kRowNames[3] = {"top", "middle", "bottom"};

struct PlayReel {
    bool started = false, stopOrdered = false, skillStopped = false;
    unsigned target = 0;
    Clock::time_point startAt, stopAt;
};

// Presses since the last poll: inputs now on that were off, and (through
// the changed-inputs latch) presses that came and went between two polls.
bool readPresses(Yarvo& board, uint32_t* previous, uint32_t* presses) {
    unsigned short low = 0, changed = 0;
    unsigned char high = 0;
    if (!board.GetInputs(&low, &high)) return failed(board, "GetInputs");
    if (!board.GetChangedInputs(&changed)) return failed(board, "GetChangedInputs");
    const uint32_t now = low | (uint32_t(high) << 16);
    *presses = (now & ~*previous) | (changed & ~now & ~*previous);
    *previous = now;
    return true;
}

// The symbols a reel shows in its three rows when it rests on `symbol`:
// the next symbol above the window's middle, the previous one below.
unsigned rowSymbol(unsigned symbol, unsigned row, unsigned symbols) {
    return (symbol + symbols + 1 - row) % symbols;
}

// Lights the lamps of the winning rows and says what the round showed.
bool scoreRound(Yarvo& board, unsigned round) {
    unsigned shown[kGameReelCount];
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
        KReelStatusEx status = {};
        if (!board.VendorGetReelStatus(reelNumber(reel), &status)) return failed(board, "VendorGetReelStatus");
        shown[reel] = status.nearestSymbol;
    }
    unsigned lamps = 0;
    std::string result;
    for (unsigned row = 0; row < 3; ++row) {
        const unsigned kind = rowSymbol(shown[0], row, kGameReels[0].symbols) % kKinds;
        unsigned run = 1;
        while (run < kGameReelCount && rowSymbol(shown[run], row, kGameReels[run].symbols) % kKinds == kind) ++run;
        if (run < 3) continue;
        for (unsigned reel = 0; reel < run; ++reel) lamps |= 1u << (4 * reel + row);
        char text[64];
        std::snprintf(text, sizeof text, "%s%u x %s on the %s row", result.empty() ? "" : ", ", run,
                      kKindNames[kind], kRowNames[row]);
        result += text;
    }
    if (lamps != 0 && !board.ModifyOutputs(0, lamps, 0, 0)) return failed(board, "ModifyOutputs");
    std::printf("round %u: symbols", round);
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) std::printf(" %u", shown[reel]);
    std::printf(": %s\n", result.empty() ? "no win" : ("win, " + result).c_str());
    std::fflush(stdout);
    return true;
}

bool playCabinet(Yarvo& board, uint32_t seed) {
    std::printf("\nplaying (seed %lu): input %u starts a round, inputs %u-%u stop reels 0-%u early; "
                "Ctrl-C ends\n", static_cast<unsigned long>(seed), kStartInput, kFirstStopInput,
                kFirstStopInput + kGameReelCount - 1, kGameReelCount - 1);
    std::fflush(stdout);
    std::mt19937 random(seed);
    uint32_t inputs = 0, presses = 0;
    if (!readPresses(board, &inputs, &presses)) return false;   // the state before play
    PlayReel reels[kGameReelCount];
    bool spinning = false;
    unsigned round = 0;
    unsigned allLamps = 0;
    for (unsigned reel = 0; reel < kGameReelCount; ++reel) allLamps |= 7u << (4 * reel);
    for (;;) {
        std::this_thread::sleep_for(kPlayPoll);
        if (!readPresses(board, &inputs, &presses)) return false;
        const Clock::time_point now = Clock::now();
        if (!spinning && (presses >> kStartInput & 1u) != 0) {
            if (!board.ModifyOutputs(0, 0, 0, allLamps)) return failed(board, "ModifyOutputs");
            ++round;
            for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
                PlayReel& r = reels[reel];
                r = PlayReel();
                r.target = static_cast<unsigned>(random() % kGameReels[reel].symbols);
                r.startAt = now + reel * kStagger;
                r.stopAt = now + kAutoStop + reel * kStopStagger;
            }
            spinning = true;
        }
        if (!spinning) continue;
        bool allStopped = true;
        for (unsigned reel = 0; reel < kGameReelCount; ++reel) {
            PlayReel& r = reels[reel];
            const unsigned char n = reelNumber(reel);
            if (!r.started && now >= r.startAt) {
                if (!board.VendorSpinReelStartSkill(n, kGameReels[reel].speed)) {
                    return failed(board, "VendorSpinReelStartSkill");
                }
                r.started = true;
            }
            if (r.started && !r.stopOrdered && (presses >> (kFirstStopInput + reel) & 1u) != 0) {
                if (!board.VendorSpinReelStopSkill(n)) return failed(board, "VendorSpinReelStopSkill");
                r.stopOrdered = r.skillStopped = true;
            } else if (r.started && !r.stopOrdered && now >= r.stopAt) {
                if (!board.VendorStopReelSpinAtPosition(n, r.target)) {
                    return failed(board, "VendorStopReelSpinAtPosition");
                }
                r.stopOrdered = true;
            }
            KReelStatus status = {};
            if (!board.GetReelStatus(n, &status)) return failed(board, "GetReelStatus");
            allStopped = allStopped && r.stopOrdered && !isMoving(status.statusByte1);
        }
        if (allStopped) {
            spinning = false;
            if (!scoreRound(board, round)) return false;
        }
    }
}

// ------------------------------------------------------------ options

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: %s [--address N] [--reels FILE] [--seed N] [--play]\n"
                 "  Opens a K-Mora Yarvo Board (the first found, or the one at address N,\n"
                 "  0-15), shows its versions, power status and inputs, and switches the\n"
                 "  lamps of reels 0-%u and a few outputs.  Then it configures reels 0-%u\n"
                 "  from the reel-definition FILE (default %s in the working\n"
                 "  directory, else the example file %s),\n"
                 "  spins them by steps, plays a round of the reel game with random\n"
                 "  targets (seed N, default from the clock) and a skill stop, and checks\n"
                 "  where every reel rests.\n"
                 "  With --play it configures the reels and then plays on the cabinet's\n"
                 "  buttons until stopped: input 8 (Start) spins the five reels to random\n"
                 "  symbols, inputs 9-13 stop reels 0-4 early by skill stop, and the\n"
                 "  lamps light a row where three or more reels from the left show the same\n"
                 "  kind of symbol (symbol i is of kind i %% 4).\n"
                 "  Exit status: 0 when every reel ended where it should, 1 otherwise,\n"
                 "  2 for a usage error.\n",
                 kProgram, kReelCount - 1, kGameReelCount - 1, kDefaultReelFile, kExampleReelFile);
}

// A decimal number from 0 to max.
bool parseNumber(const char* text, unsigned long long max, unsigned long long* value) {
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

// 0: run, 1: stop with success (--help), 2: usage error.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            usage(stdout);
            return 1;
        }
        const bool hasValue = i + 1 < argc;
        unsigned long long value = 0;
        if (std::strcmp(arg, "--address") == 0 && hasValue) {
            if (!parseNumber(argv[++i], 15, &value)) {
                std::fprintf(stderr, "%s: bad address '%s' (0-15)\n", kProgram, argv[i]);
                return 2;
            }
            options->byAddress = true;
            options->address = static_cast<unsigned>(value);
        } else if (std::strcmp(arg, "--seed") == 0 && hasValue) {
            if (!parseNumber(argv[++i], UINT32_MAX, &value)) {
                std::fprintf(stderr, "%s: bad seed '%s' (0-%lu)\n", kProgram, argv[i],
                             static_cast<unsigned long>(UINT32_MAX));
                return 2;
            }
            options->seed = static_cast<uint32_t>(value);
            options->seedGiven = true;
        } else if (std::strcmp(arg, "--play") == 0) {
            options->play = true;
        } else if (std::strcmp(arg, "--reels") == 0 && hasValue) {
            options->reelFile = argv[++i];
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", kProgram, arg);
            usage(stderr);
            return 2;
        }
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
    if (!options.seedGiven) options.seed = static_cast<uint32_t>(std::time(nullptr));

    Yarvo board;
    if (options.play) {
        const bool played = openBoard(board, options) && configureGameReels(board, options.reelFile) &&
                            playCabinet(board, options.seed);
        return played ? 0 : 1;
    }
    const bool ok = openBoard(board, options) && showBoardInfo(board) && showInputs(board) &&
                    configureReels(board) && switchLamps(board) && switchOutputs(board) &&
                    configureGameReels(board, options.reelFile) && spinBySteps(board) &&
                    playGame(board, options.seed) && playSkillStop(board);
    return ok ? 0 : 1;
}
