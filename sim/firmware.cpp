// Firmware model of one virtual board: decodes each command, keeps the
// inputs, the changed-inputs latch and the outputs, and hands reel commands
// to the eight reels.  The choices it makes are listed in firmware.h.
#include "firmware.h"

#include <cstring>
#include <stdexcept>

#include "../lib/wire.h"

namespace yarvo::sim {

namespace {

constexpr uint32_t kInputMask = 0xFFFFFF;
constexpr uint32_t kAddressShift = 16;
constexpr uint8_t kReels = 8;
constexpr uint8_t kMaxRampLength = 60;

bool validStepMode(uint8_t byte) {
    const int8_t mode = static_cast<int8_t>(byte);
    return mode == 1 || mode == 2 || mode == -1 || mode == -2;
}

}  // namespace

Firmware::Firmware() = default;

uint8_t Firmware::handle(const uint8_t* request, uint32_t requestLength, uint8_t* payload,
                         uint32_t* payloadLength) {
    *payloadLength = 0;
    if (request == nullptr || requestLength == 0) {
        return kStatusBadArgument;
    }
    const uint8_t command = request[0];
    const uint8_t* p = request + 1;          // request payload
    const uint32_t n = requestLength - 1;    // its length

    // Reel commands: the reel number (payload byte 0) is checked first, then
    // the payload length.
    auto reelCommand = [&](uint32_t needed, uint8_t* reel) -> uint8_t {
        if (n >= 1 && p[0] >= kReels) {
            return kStatusBadReel;
        }
        if (n < needed) {
            return kStatusBadArgument;
        }
        *reel = p[0];
        return kStatusOk;
    };

    uint8_t r = 0;
    uint8_t status = kStatusOk;
    switch (command) {
    case wire::kCmdFirmwareVersion: {
        const size_t len = version_.size() < wire::kMaxResponsePayload ? version_.size()
                                                                       : wire::kMaxResponsePayload;
        std::memcpy(payload, version_.data(), len);
        *payloadLength = static_cast<uint32_t>(len);
        return kStatusOk;
    }
    case wire::kCmdPowerStatus:
        payload[0] = power_;
        *payloadLength = 1;
        return kStatusOk;
    case wire::kCmdInputReport: {
        const uint32_t bits = inputs();
        payload[0] = static_cast<uint8_t>(bits);
        payload[1] = static_cast<uint8_t>(bits >> 8);
        payload[2] = static_cast<uint8_t>(bits >> 16);
        *payloadLength = 3;
        return kStatusOk;
    }
    case wire::kCmdChangedInputs:
        wire::putLE16(payload, changed_);
        *payloadLength = 2;
        changed_ = 0;
        return kStatusOk;
    case wire::kCmdSetOutputBit: {
        if (n < 2 || p[0] > 63) {
            return kStatusBadArgument;
        }
        const uint64_t bit = uint64_t{1} << p[0];
        outputs_ = p[1] != 0 ? (outputs_ | bit) : (outputs_ & ~bit);
        return kStatusOk;
    }
    case wire::kCmdSetOutputs: {
        if (n < 8) {
            return kStatusBadArgument;
        }
        const uint64_t upper = wire::getLE32(p);
        const uint64_t lamps = wire::getLE32(p + 4);
        outputs_ = (upper << 32) | lamps;
        return kStatusOk;
    }
    case wire::kCmdModifyOutputs: {
        if (n < 16) {
            return kStatusBadArgument;
        }
        const uint64_t on = (uint64_t{wire::getLE32(p)} << 32) | wire::getLE32(p + 4);
        const uint64_t off = (uint64_t{wire::getLE32(p + 8)} << 32) | wire::getLE32(p + 12);
        outputs_ = (outputs_ | on) & ~off;
        return kStatusOk;
    }
    case wire::kCmdConfigureReels: {
        if (n < 6 || p[0] > kReels) {
            return kStatusBadArgument;
        }
        reelCount_ = p[0];
        const uint16_t turn = wire::getBE16(p + 1);
        stepsPerSymbol_ = p[3];
        fifth_ = static_cast<uint8_t>(-p[5]);   // the board receives it negated
        for (Reel& reel : reels_) {
            if (turn != 0) {
                reel.setDefaultTurnLength(turn);
            }
            reel.setDefaultStepPeriod(p[4]);
        }
        return kStatusOk;
    }
    case wire::kCmdSpinReel:
        if ((status = reelCommand(4, &r)) != kStatusOk) {
            return status;
        }
        if (!validStepMode(p[1])) {
            return kStatusBadArgument;
        }
        if (power_ == kPowerFailed) {
            return kStatusNoPower;
        }
        return reels_[r].spin(static_cast<int8_t>(p[1]), wire::getBE16(p + 2)) ? kStatusOk
                                                                                : kStatusBadArgument;
    case wire::kCmdRampUp:
    case wire::kCmdRampDown: {
        if ((status = reelCommand(2, &r)) != kStatusOk) {
            return status;
        }
        const uint8_t length = p[1];
        const bool up = command == wire::kCmdRampUp;
        if (length > kMaxRampLength || (up && length == 0) || n < 2u + length) {
            return kStatusBadArgument;
        }
        if (up) {
            reels_[r].setRampUp(p + 2, length);
        } else {
            reels_[r].setRampDown(p + 2, length);
        }
        return kStatusOk;
    }
    case wire::kCmdDutyCycle:
        if ((status = reelCommand(3, &r)) != kStatusOk) {
            return status;
        }
        if (unsigned{p[1]} + p[2] > 255) {
            return kStatusBadArgument;
        }
        reels_[r].setDutyCycle(p[1], p[2]);
        return kStatusOk;
    case wire::kCmdClearTamper:
        if ((status = reelCommand(1, &r)) != kStatusOk) {
            return status;
        }
        reels_[r].clearTamper();
        return kStatusOk;
    case wire::kCmdSynchronise:
        if ((status = reelCommand(2, &r)) != kStatusOk) {
            return status;
        }
        if (p[1] > 1) {
            return kStatusBadArgument;
        }
        reels_[r].armSynchronise(p[1]);
        return kStatusOk;
    case wire::kCmdReelStatus:
        if ((status = reelCommand(1, &r)) != kStatusOk) {
            return status;
        }
        reels_[r].status(payload);
        *payloadLength = wire::kReelStatusLength;
        return kStatusOk;
    case wire::kCmdStartSkill:
        if ((status = reelCommand(2, &r)) != kStatusOk) {
            return status;
        }
        if (!validStepMode(p[1])) {
            return kStatusBadArgument;
        }
        if (power_ == kPowerFailed) {
            return kStatusNoPower;
        }
        return reels_[r].startSkill(static_cast<int8_t>(p[1])) ? kStatusOk : kStatusBadArgument;
    case wire::kCmdStopSkill:
        if ((status = reelCommand(1, &r)) != kStatusOk) {
            return status;
        }
        reels_[r].stopSkill();
        return kStatusOk;
    case wire::kCmdStopAtPosition:
        if ((status = reelCommand(3, &r)) != kStatusOk) {
            return status;
        }
        reels_[r].stopAtPosition(wire::getBE16(p + 1));
        return kStatusOk;
    case wire::kCmdReelParameters:
        if ((status = reelCommand(9, &r)) != kStatusOk) {
            return status;
        }
        reels_[r].setParameters(p);
        return kStatusOk;
    default:
        return kStatusOk;   // unknown commands are answered and ignored
    }
}

void Firmware::advance(uint64_t micros) {
    for (Reel& reel : reels_) {
        reel.advance(micros);
    }
}

void Firmware::setInputs(uint32_t bits) {
    bits &= kInputMask;
    changed_ = static_cast<uint16_t>(changed_ | ((inputs_ ^ bits) & 0xFFFF));
    inputs_ = bits;
}

void Firmware::setInput(unsigned input, bool on) {
    if (input >= 24) {
        return;
    }
    const uint32_t bit = uint32_t{1} << input;
    setInputs(on ? (inputs_ | bit) : (inputs_ & ~bit));
}

uint32_t Firmware::inputs() const { return inputs_ | (uint32_t{address_} << kAddressShift); }

void Firmware::setAddress(uint8_t address) { address_ = address & 0x7; }

uint16_t Firmware::changedInputs() const { return changed_; }

uint64_t Firmware::outputs() const { return outputs_; }

bool Firmware::output(unsigned n) const { return n < 64 && ((outputs_ >> n) & 1u) != 0; }

void Firmware::setPowerStatus(uint8_t status) {
    power_ = status;
    if (status == kPowerFailed) {
        for (Reel& reel : reels_) {
            reel.cutPower();
        }
    }
}

void Firmware::setFirmwareVersion(const std::string& text) { version_ = text; }

uint8_t Firmware::reelCount() const { return reelCount_; }
uint8_t Firmware::stepsPerSymbol() const { return stepsPerSymbol_; }
uint8_t Firmware::fifthParameter() const { return fifth_; }

Reel& Firmware::reel(unsigned r) {
    if (r >= kReels) {
        throw std::out_of_range("reel number above 7");
    }
    return reels_[r];
}

const Reel& Firmware::reel(unsigned r) const {
    if (r >= kReels) {
        throw std::out_of_range("reel number above 7");
    }
    return reels_[r];
}

}  // namespace yarvo::sim
