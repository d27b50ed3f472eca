// Reel and power faults of a virtual board (reel.h and firmware.h say what
// each does), as the control channel, a fault schedule (yarvo-sim --fault,
// YARVO_SIM_FAULTS) and the virtual cabinet inject them.
#ifndef YARVO_SIM_BOARD_FAULT_H
#define YARVO_SIM_BOARD_FAULT_H

#include <cstdint>
#include <string>
#include <vector>

#include "firmware.h"

namespace yarvo::sim {

// The largest step counts a jam waits for and a spin loses.
constexpr long kMaxJamAfterSteps = 10000000;
constexpr long kMaxLostStepsPerSpin = 10000;

struct BoardFault {
    enum Kind : uint8_t { Jam, LoseSteps, Index, Power, Heal, Tamper } kind = Heal;
    uint8_t reel = 0;
    // Jam: motor steps the reel still turns (0: at once); LoseSteps: steps
    // lost per motion; Index: an IndexSensor; Power: the power status byte;
    // Tamper: half steps turned by hand.
    int32_t value = 0;
};

// Applies a fault to a board (under its lock, as VirtualDriver::withBoard
// gives it).
void applyBoardFault(Firmware& firmware, const BoardFault& fault);

// What a fault does, for the control channel's reply: "reel1 jammed",
// "reel2 loses 3 steps a spin", "power=failed", ...
std::string describeBoardFault(const BoardFault& fault);

// "good", "low", "failed", or the byte as 0xNN.
std::string powerName(uint8_t status);

// A reel's faults and the flags the board raised, each as ",name" for the
// status line: ",jammed", ",jams-in=20", ",loses=3", ",index-dead",
// ",index-stuck", ",position-error", ",index-missing".  Empty for a healthy
// reel.
std::string reelFaultText(const ReelSnapshot& reel);

// The arguments of a fault command after its board ("jam B REEL
// [AFTER_STEPS]", "lose-steps B REEL N", "index B REEL dead|stuck", "power B
// good|low|failed", "heal B REEL"): `words` is the whole line split into
// words.  False with a message.
bool parseBoardFault(const std::vector<std::string>& words, BoardFault* fault, std::string* error);

// A fault at a time on the boards' clock (microseconds since they came up).
struct ScheduledFault {
    unsigned instance = 0;
    uint64_t atMicros = 0;
    BoardFault fault;
};

// "at T COMMAND": T a time such as 5s or 250ms, COMMAND a control command
// that injects a fault (jam, lose-steps, index, power, heal, tamper).
// False with a message.
bool parseScheduledFault(const std::string& text, ScheduledFault* scheduled, std::string* error);

}  // namespace yarvo::sim

#endif
