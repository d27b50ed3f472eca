// Board I/O: the 24 inputs (input report and changed-inputs value), the 64
// outputs and the reel lamps, and the board's firmware version and power
// status.  One board command per operation; the transfer copies whatever
// payload the board sends, so every reply goes into a full receive buffer.
#include "yarvo.h"

#include "wire.h"

namespace {

constexpr size_t kInputReportLength = 3;
constexpr size_t kChangedInputsLength = 2;
constexpr unsigned kHighestInput = 23;
constexpr int kHighestOutput = 63;
constexpr unsigned kReelOwnedGroups = 8;  // outputs 0-31: four per reel
constexpr unsigned kReelLampBits = 0x7;   // lamps are the first three outputs of a reel's group

}  // namespace

bool Yarvo::getInputs(unsigned char* report) {
    if (report == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    unsigned long length = 0;
    if (!performUSBIO(yarvo::wire::kCmdInputReport, nullptr, 0, report, &length)) {
        return false;
    }
    // A report without its three bytes carries neither the inputs nor the
    // board address; reading past it would report stale buffer content.
    if (length < kInputReportLength) {
        setLastError(ReelMsgBadResponseLength);
        return false;
    }
    return true;
}

bool Yarvo::GetInputs(unsigned short* low, unsigned char* high) {
    if (low == nullptr || high == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    unsigned char report[yarvo::wire::kReceiveBufferSize];
    if (!getInputs(report)) {
        return false;
    }
    *low = yarvo::wire::getLE16(report);
    *high = report[2];
    return true;
}

bool Yarvo::GetInputBit(KReelInputBit input, bool* state) {
    const unsigned number = static_cast<unsigned>(input);  // negative values become large
    if (number > kHighestInput) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    if (state == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    // Inputs 0-7 are the reels' own sensors while the reel is configured.
    if (number < 8 && reelConfigured[number]) {
        setLastError(ReelMsgInputOwnedByReel);
        return false;
    }
    unsigned char report[yarvo::wire::kReceiveBufferSize];
    if (!getInputs(report)) {
        return false;
    }
    *state = ((report[number / 8] >> (number % 8)) & 1) != 0;
    return true;
}

bool Yarvo::GetChangedInputs(unsigned short* changed) {
    if (changed == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    if (!performUSBIO(yarvo::wire::kCmdChangedInputs, nullptr, 0, response, &length)) {
        return false;
    }
    if (length < kChangedInputsLength) {
        setLastError(ReelMsgBadResponseLength);
        return false;
    }
    *changed = yarvo::wire::getLE16(response);
    return true;
}

bool Yarvo::SetOutputs(unsigned int first, unsigned int second) {
    unsigned char request[8];
    yarvo::wire::putLE32(&request[0], first);
    yarvo::wire::putLE32(&request[4], second);
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdSetOutputs, request, sizeof request, response, &length);
}

bool Yarvo::ModifyOutputs(unsigned int first, unsigned int second, unsigned int third,
                          unsigned int fourth) {
    unsigned char request[16];
    yarvo::wire::putLE32(&request[0], first);
    yarvo::wire::putLE32(&request[4], second);
    yarvo::wire::putLE32(&request[8], third);
    yarvo::wire::putLE32(&request[12], fourth);
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdModifyOutputs, request, sizeof request, response,
                        &length);
}

bool Yarvo::SetOutputBit(KReelOutputBit output, bool on) {
    const int number = static_cast<int>(output);
    if (number < 0 || number > kHighestOutput) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    // Outputs 4r..4r+3 belong to reel r while it is configured: 4r..4r+2 are
    // its lamps, 4r+3 is the reel's own output.
    const unsigned group = static_cast<unsigned>(number) / 4;
    if (group < kReelOwnedGroups && reelConfigured[group]) {
        setLastError(ReelMsgOutputOwnedByReel);
        return false;
    }
    unsigned char request[2] = {static_cast<unsigned char>(number),
                                static_cast<unsigned char>(on ? 1 : 0)};
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdSetOutputBit, request, sizeof request, response,
                        &length);
}

bool Yarvo::SetReelLamps(unsigned char reel, bool on) {
    if (!isReelNumberValid(reel)) {
        return false;
    }
    const unsigned int mask = kReelLampBits << (4u * reel);
    return on ? ModifyOutputs(0, mask, 0, 0) : ModifyOutputs(0, 0, 0, mask);
}

bool Yarvo::GetFirmwareVersion(unsigned char* version) {
    if (version == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    // The host's buffer (253 bytes or more) receives the version bytes as
    // the board sent them; their count is not passed on.
    unsigned long length = 0;
    return performUSBIO(yarvo::wire::kCmdFirmwareVersion, nullptr, 0, version, &length);
}

bool Yarvo::GetPowerStatus(KReelPowerStatus* status) {
    if (status == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long length = 0;
    if (!performUSBIO(yarvo::wire::kCmdPowerStatus, nullptr, 0, response, &length)) {
        return false;
    }
    if (length < 1) {
        setLastError(ReelMsgBadResponseLength);
        return false;
    }
    status->value = response[0];
    return true;
}
