// Reel commands: declaring reels, duty cycles, ramp tables, synchronisation
// and tamper reset; step spins, skill spins and stops; the reel status.
// Each operation checks its arguments (reel number first), writes the shadow
// state it keeps, then sends exactly one board command.  Shadow state stays
// as written when the command fails.  Replies other than the reel status are
// received and discarded.
#include "yarvo.h"

#include <cstring>

#include "wire.h"

namespace {

constexpr unsigned int kMaxReels = 8;
constexpr unsigned kMaxRampLength = 60;
constexpr unsigned int kMaxStepCount = 0x7FFF;
constexpr unsigned kDutyCycleLimit = 256;  // off + on must stay below
constexpr size_t kRampRequestSize = 2 + kMaxRampLength;

// Step modes: the sign is the direction, the magnitude the step size.
bool isStepMode(signed char mode) {
    return mode == 1 || mode == 2 || mode == -1 || mode == -2;
}

// The step mode of a step size in a direction; 0, which no spin accepts,
// for a size other than 1 or 2.
char stepMode(unsigned char size, bool forward) {
    if (size != 1 && size != 2) return 0;
    return static_cast<char>(forward ? size : -static_cast<int>(size));
}

// Symbols times steps per symbol without wrapping; any product beyond the
// largest step count gives one that SpinReels refuses.
unsigned int symbolSteps(unsigned char symbols, unsigned int perSymbol) {
    const unsigned long long steps = static_cast<unsigned long long>(symbols) * perSymbol;
    return steps > kMaxStepCount ? kMaxStepCount + 1 : static_cast<unsigned int>(steps);
}

// The payload of commands 42 and 43: reel, entry count, entries.  Returns
// its length.
unsigned long packRamp(unsigned char reel, const KReelRampTable& table, unsigned char* request) {
    request[0] = reel;
    request[1] = table.length;
    std::memcpy(&request[2], table.entries, table.length);
    return 2u + table.length;
}

}  // namespace

bool Yarvo::ConfigureReels(unsigned int count, unsigned int param16, unsigned int steps,
                           char param4, char param5) {
    if (count > kMaxReels) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    // Declaring reels only ever adds to the configured set.
    for (unsigned int reel = 0; reel < count; ++reel) {
        reelConfigured[reel] = true;
    }
    stepsPerSymbol = steps;
    const signed char fourth = static_cast<signed char>(param4);
    if (fourth <= 0) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    unsigned char request[6];
    request[0] = static_cast<unsigned char>(count);
    yarvo::wire::putBE16(&request[1], param16);
    request[3] = static_cast<unsigned char>(steps);
    request[4] = static_cast<unsigned char>(fourth);
    // The board takes the fifth parameter with its sign inverted.
    request[5] = static_cast<unsigned char>(-static_cast<int>(static_cast<signed char>(param5)));
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdConfigureReels, request, sizeof request, response,
                        &length);
}

bool Yarvo::SetDutyCycle(unsigned char reel, unsigned char off, unsigned char on) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (static_cast<unsigned>(off) + static_cast<unsigned>(on) >= kDutyCycleLimit) {
        setLastError(ReelMsgBadDutyCycle);
        return false;
    }
    unsigned char request[3] = {reel, off, on};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdDutyCycle, request, sizeof request, response, &length);
}

bool Yarvo::SpinRampUp(unsigned char reel, KReelRampTable* table) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (table == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    if (table->length == 0 || table->length > kMaxRampLength) {
        setLastError(ReelMsgBadRampLength);
        return false;
    }
    rampUpLength[reel] = table->length;
    unsigned char request[kRampRequestSize];
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdRampUp, request, packRamp(reel, *table, request), response,
                        &length);
}

bool Yarvo::SpinRampDown(unsigned char reel, KReelRampTable* table) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (table == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    // An empty ramp-down table is allowed: the reel then stops without easing.
    if (table->length > kMaxRampLength) {
        setLastError(ReelMsgBadRampLength);
        return false;
    }
    rampDownLength[reel] = table->length;
    unsigned char request[kRampRequestSize];
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdRampDown, request, packRamp(reel, *table, request), response,
                        &length);
}

bool Yarvo::ReelSynchroniseEnable(unsigned char reel) { return synchroniseEnable(reel, 0); }

bool Yarvo::synchroniseEnable(unsigned char reel, unsigned char mode) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    unsigned char request[2] = {reel, mode};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdSynchronise, request, sizeof request, response, &length);
}

bool Yarvo::ClearTamperedState(unsigned char reel) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    unsigned char request[1] = {reel};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdClearTamper, request, sizeof request, response, &length);
}

bool Yarvo::SpinReels(unsigned char reel, char stepMode, unsigned int stepCount) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    const signed char mode = static_cast<signed char>(stepMode);
    if (!isStepMode(mode)) {
        setLastError(ReelMsgBadStepMode);
        return false;
    }
    if (stepCount > kMaxStepCount) {
        setLastError(ReelMsgBadStepCount);
        return false;
    }
    unsigned char request[4];
    request[0] = reel;
    request[1] = static_cast<unsigned char>(mode);
    yarvo::wire::putBE16(&request[2], stepCount);
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdSpinReel, request, sizeof request, response, &length);
}

// The step and symbol spins are SpinReels with the step mode of their step
// size and direction, so they check and send exactly as it does.
bool Yarvo::SpinReelStepForward(unsigned char reel, unsigned char stepSize,
                                unsigned int stepCount) {
    return SpinReels(reel, stepMode(stepSize, true), stepCount);
}

bool Yarvo::SpinReelStepBack(unsigned char reel, unsigned char stepSize, unsigned int stepCount) {
    return SpinReels(reel, stepMode(stepSize, false), stepCount);
}

bool Yarvo::SpinReelSymbolForward(unsigned char reel, unsigned char stepSize,
                                  unsigned char symbols) {
    return SpinReels(reel, stepMode(stepSize, true), symbolSteps(symbols, stepsPerSymbol));
}

bool Yarvo::SpinReelSymbolBack(unsigned char reel, unsigned char stepSize,
                               unsigned char symbols) {
    return SpinReels(reel, stepMode(stepSize, false), symbolSteps(symbols, stepsPerSymbol));
}

bool Yarvo::SpinStartSkill(unsigned char reel, char stepMode) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    const signed char mode = static_cast<signed char>(stepMode);
    if (!isStepMode(mode)) {
        setLastError(ReelMsgBadStepMode);
        return false;
    }
    unsigned char request[2] = {reel, static_cast<unsigned char>(mode)};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdStartSkill, request, sizeof request, response, &length);
}

bool Yarvo::SpinStopSkill(unsigned char reel) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    unsigned char request[1] = {reel};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdStopSkill, request, sizeof request, response, &length);
}

bool Yarvo::StopCurrentSpinAtPosition(unsigned char reel, unsigned int position) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    // Positions travel as 16 bits; higher bits are dropped.
    unsigned char request[3];
    request[0] = reel;
    yarvo::wire::putBE16(&request[1], position);
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdStopAtPosition, request, sizeof request, response,
                        &length);
}

bool Yarvo::GetReelStatus(unsigned char reel, KReelStatus* status) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (status == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    unsigned char request[1] = {reel};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    if (!performUSBIO(yarvo::wire::kCmdReelStatus, request, sizeof request, response, &length)) {
        return false;
    }
    if (length != yarvo::wire::kReelStatusLength) {
        setLastError(ReelMsgBadResponseLength);
        return false;
    }
    status->position = yarvo::wire::getBE16(&response[0]);
    status->statusWord1 = yarvo::wire::getBE16(&response[2]);
    status->statusByte1 = response[4];
    status->statusByte2 = response[5];
    status->statusByte3 = response[6];
    status->statusWord2 = yarvo::wire::getBE16(&response[7]);
    return true;
}
