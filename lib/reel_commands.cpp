// Reel commands: declaring reels, duty cycles, ramp tables, synchronisation
// and tamper reset; step spins, skill spins and stops; the reel status.
// Each operation checks its arguments (reel number first), writes the shadow
// state it keeps, then sends exactly one board command.  Shadow state stays
// as written when the command fails.  The boards' replies to everything but
// the reel status are received into a 256-byte local and discarded.
#include "yarvo.h"

#include <cstring>

#include "wire.h"

namespace {

constexpr size_t kReceiveBuffer = 256;
constexpr unsigned int kMaxReels = 8;
constexpr unsigned kMaxRampLength = 60;
constexpr unsigned int kMaxStepCount = 0x7FFF;
constexpr unsigned kDutyCycleLimit = 256;  // off + on must stay below

// Step modes: the sign is the direction, the magnitude the step size.
bool isStepMode(signed char mode) {
    return mode == 1 || mode == 2 || mode == -1 || mode == -2;
}

bool isStepSize(unsigned char size) { return size == 1 || size == 2; }

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
    unsigned char response[kReceiveBuffer];
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
    unsigned char response[kReceiveBuffer];
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
    unsigned char request[2 + kMaxRampLength];
    request[0] = reel;
    request[1] = table->length;
    std::memcpy(&request[2], table->entries, table->length);
    unsigned char response[kReceiveBuffer];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdRampUp, request, 2u + table->length, response, &length);
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
    unsigned char request[2 + kMaxRampLength];
    request[0] = reel;
    request[1] = table->length;
    std::memcpy(&request[2], table->entries, table->length);
    unsigned char response[kReceiveBuffer];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdRampDown, request, 2u + table->length, response,
                        &length);
}

bool Yarvo::ReelSynchroniseEnable(unsigned char reel) { return synchroniseEnable(reel, 0); }

bool Yarvo::synchroniseEnable(unsigned char reel, unsigned char mode) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    unsigned char request[2] = {reel, mode};
    unsigned char response[kReceiveBuffer];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdSynchronise, request, sizeof request, response, &length);
}

bool Yarvo::ClearTamperedState(unsigned char reel) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    unsigned char request[1] = {reel};
    unsigned char response[kReceiveBuffer];
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
    unsigned char response[kReceiveBuffer];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdSpinReel, request, sizeof request, response, &length);
}

bool Yarvo::SpinReelStepForward(unsigned char reel, unsigned char stepSize,
                                unsigned int stepCount) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (!isStepSize(stepSize)) {
        setLastError(ReelMsgBadStepMode);
        return false;
    }
    if (stepCount > kMaxStepCount) {
        setLastError(ReelMsgBadStepCount);
        return false;
    }
    return SpinReels(reel, static_cast<char>(stepSize), stepCount);
}

bool Yarvo::SpinReelStepBack(unsigned char reel, unsigned char stepSize, unsigned int stepCount) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (!isStepSize(stepSize)) {
        setLastError(ReelMsgBadStepMode);
        return false;
    }
    if (stepCount > kMaxStepCount) {
        setLastError(ReelMsgBadStepCount);
        return false;
    }
    return SpinReels(reel, static_cast<char>(-static_cast<int>(stepSize)), stepCount);
}

bool Yarvo::SpinReelSymbolForward(unsigned char reel, unsigned char stepSize,
                                  unsigned char symbols) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (!isStepSize(stepSize)) {
        setLastError(ReelMsgBadStepMode);
        return false;
    }
    // SpinReels refuses a product above the largest step count.
    const unsigned int steps = static_cast<unsigned int>(symbols) * stepsPerSymbol;
    return SpinReels(reel, static_cast<char>(stepSize), steps);
}

bool Yarvo::SpinReelSymbolBack(unsigned char reel, unsigned char stepSize,
                               unsigned char symbols) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    if (!isStepSize(stepSize)) {
        setLastError(ReelMsgBadStepMode);
        return false;
    }
    const unsigned int steps = static_cast<unsigned int>(symbols) * stepsPerSymbol;
    return SpinReels(reel, static_cast<char>(-static_cast<int>(stepSize)), steps);
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
    unsigned char response[kReceiveBuffer];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdStartSkill, request, sizeof request, response, &length);
}

bool Yarvo::SpinStopSkill(unsigned char reel) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    unsigned char request[1] = {reel};
    unsigned char response[kReceiveBuffer];
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
    unsigned char response[kReceiveBuffer];
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
    unsigned char response[kReceiveBuffer];
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
