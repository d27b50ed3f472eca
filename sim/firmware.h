// Firmware model of one virtual K-Mora Yarvo Board.
//
// Choices the model makes where the board's own behaviour is the firmware's
// business (the README's simulator section repeats them):
//
//  * Command 10 answers the version text kFirmwareVersion (no terminator,
//    at most 253 bytes).
//  * Command 11 answers one byte, the power status: kPowerGood (0x01, the
//    default), kPowerLow (0x02: the supply sags; the reels turn as usual) or
//    kPowerFailed (0x00: no supply; every reel stops at once where it is,
//    counter and reel together, and commands 41 and 48 answer status 3
//    until the supply is back).  Tests may set any other byte; only 0x00
//    stops the reels.
//  * Command 20 answers three bytes: inputs 0-7, 8-15, 16-23.  Bits 0-2 of the
//    third byte are the board address: the address jumpers hold inputs 16-18
//    on, so those inputs read as the inputs set OR the address bits
//    (setAddress and setInputs may come in either order).
//  * Command 21 answers the changed-inputs latch, two bytes little-endian:
//    bit n is set when input n (0-15) changed state since the latch was last
//    read; reading it clears it.  Inputs 16-23 are not latched, and setting
//    the address does not touch the latch.
//  * Outputs: 64 outputs.  Output n for n < 32 is bit n of the lamp word; the
//    outputs 4r..4r+3 form reel r's group, 4r..4r+2 being its lamps.  Outputs
//    32-63 are bits 0-31 of the upper word.  Command 23 (first word, second
//    word) sets the upper word and the lamp word, in that order.  Command 24
//    (w1, w2, w3, w4): w2 switches lamp-word outputs on and w4 off; w1 switches
//    upper-word outputs on and w3 off; an output named in both an on and an
//    off mask ends off.  Command 22 (output, state) sets output n on for a
//    non-zero state and off for 0; an output above 63 answers status 2.
//  * Command 40: byte 0 the reel count (recorded; above 8 answers status 2),
//    bytes 1-2 the turn length in half steps of every reel that has not
//    received command 51 (0 leaves it), byte 3 steps per symbol (recorded),
//    byte 4 the step period used by reels without ramp tables, in ramp units,
//    byte 5 the fifth parameter, which travels negated and is recorded
//    negated back (fifthParameter()).
//  * Commands 42/43 store the reel's ramp-up/ramp-down table; a ramp-up table
//    of 0 entries or a table of more than 60 answers status 2.  44 stores the
//    duty cycle (recorded, no effect on motion; off + on above 255 answers
//    status 2); 45 clears the tampered flag.
//  * Command 46 arms synchronisation: the next time the reel passes its index
//    mark the reported position is put right and the reel is synchronised.
//    Mode 0 keeps the tampered flag; mode 1 also clears it when the index is
//    found.  Other modes answer status 2.
//  * Command 47 answers nine bytes: position (BE16, half steps), steps still
//    to go (BE16, saturated at 0xFFFF), flags (ReelFlag bits: 0x01 moving,
//    0x02 skill spin, 0x04 synchronised, 0x08 tampered, 0x10 stopping, 0x20
//    synchronisation armed, 0x40 position error, 0x80 index missing), the
//    step mode of the running or last motion (two's complement), the
//    duty-cycle on value, the turn length (BE16, half steps).
//  * Command 51 hands its nine bytes to the reel (bytes 1-2: turn length).
//  * Motion timing and reel faults (jam, lost steps, index sensor dead or
//    stuck) with what the board notices of them: see reel.h.  Reel commands check the reel number first:
//    a reel number above 7 answers status 1; then a payload shorter than the
//    command needs answers status 2.  Unknown command codes answer status 0
//    and no payload.  A step mode outside -2, -1, 1, 2 answers status 2.
//    Commands that answer a non-zero status change nothing.
#ifndef YARVO_SIM_FIRMWARE_H
#define YARVO_SIM_FIRMWARE_H

#include <cstdint>
#include <string>

#include "reel.h"

namespace yarvo::sim {

constexpr const char* kFirmwareVersion = "YARVO-SIM 1.0";
constexpr uint8_t kPowerGood = 0x01;
constexpr uint8_t kPowerLow = 0x02;
constexpr uint8_t kPowerFailed = 0x00;

// "good", "low" or "failed" for those power status bytes, null for others.
inline const char* powerStatusName(uint8_t status) {
    return status == kPowerGood ? "good" : status == kPowerLow ? "low" : status == kPowerFailed ? "failed" : nullptr;
}

// Board status byte values.
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusBadReel = 1;
constexpr uint8_t kStatusBadArgument = 2;
constexpr uint8_t kStatusNoPower = 3;    // a motion command while the supply has failed

class Firmware {
public:
    Firmware();

    // Carries out one command.  `request` holds the command byte and its
    // payload (`requestLength` bytes in all).  Writes the response payload
    // to `payload` (room for 253 bytes) and its length to `payloadLength`;
    // returns the status byte.
    uint8_t handle(const uint8_t* request, uint32_t requestLength,
                   uint8_t* payload, uint32_t* payloadLength);

    // Lets time pass for every reel.
    void advance(uint64_t micros);

    // Test side: inputs (24 bits, input n in bit n) and the board address.
    void setInputs(uint32_t bits);
    void setInput(unsigned input, bool on);
    uint32_t inputs() const;
    void setAddress(uint8_t address);   // held on inputs 16-18 (0-7)
    uint16_t changedInputs() const;     // the latch, without clearing it

    // Test side: outputs, output n in bit n.
    uint64_t outputs() const;
    bool output(unsigned n) const;

    void setPowerStatus(uint8_t status);    // kPowerFailed stops every reel
    uint8_t powerStatus() const { return power_; }
    void setFirmwareVersion(const std::string& text);

    // Values recorded from command 40.
    uint8_t reelCount() const;
    uint8_t stepsPerSymbol() const;
    uint8_t fifthParameter() const;

    Reel& reel(unsigned r);
    const Reel& reel(unsigned r) const;

private:
    uint32_t inputs_ = 0;       // as set, without the address
    uint8_t address_ = 0;
    uint16_t changed_ = 0;
    uint64_t outputs_ = 0;
    uint8_t power_ = kPowerGood;
    std::string version_ = kFirmwareVersion;
    uint8_t reelCount_ = 0, stepsPerSymbol_ = 0, fifth_ = 0;
    Reel reels_[8];
};

}  // namespace yarvo::sim

#endif
