// Byte layout of the board channel: the 528-byte transfer block that the
// kernel driver carries, the command codes, and the one place that packs and
// unpacks multi-byte values.  Shared by the library and the virtual board.
#ifndef YARVO_WIRE_H
#define YARVO_WIRE_H

#include <cstddef>
#include <cstdint>

namespace yarvo::wire {

// ioctl request: read/write, 528-byte argument, type 0x81, number 0.
constexpr unsigned long kTransferRequest = 0xC2108100UL;

constexpr uint32_t kBlockWord0 = 2;
constexpr uint32_t kBlockWord1 = 6;
constexpr uint32_t kResponseOffered = 257;  // response length offered before each request
constexpr size_t kBufferSize = 512;
constexpr size_t kMaxRequestPayload = 255;
constexpr size_t kMaxResponsePayload = 253;
constexpr uint32_t kMinResponseLength = 2;   // echo and status byte
constexpr uint32_t kMaxResponseLength = 255;
// What every receiving operation hands the transfer: room for the largest payload.
constexpr size_t kReceiveBufferSize = 256;
static_assert(kReceiveBufferSize >= kMaxResponsePayload, "a reply fits the receive buffer");

// The transfer block, words in the host's (little-endian) order.
struct TransferBlock {
    uint32_t word0;           // fixed 2
    uint32_t word1;           // fixed 6
    uint32_t requestLength;   // command byte + payload bytes, 1..256
    uint32_t responseLength;  // 257 offered; bytes placed by the driver on return
    uint8_t buffer[kBufferSize];  // request, then response: [0] command echo, [1] status, payload
};
static_assert(sizeof(TransferBlock) == 528, "transfer block is 528 bytes");
static_assert(offsetof(TransferBlock, word1) == 4, "layout");
static_assert(offsetof(TransferBlock, requestLength) == 8, "layout");
static_assert(offsetof(TransferBlock, responseLength) == 12, "layout");
static_assert(offsetof(TransferBlock, buffer) == 16, "layout");
static_assert(((kTransferRequest >> 16) & 0x3FFF) == sizeof(TransferBlock), "request encodes block size");

enum Command : uint8_t {
    kCmdFirmwareVersion = 10,
    kCmdPowerStatus = 11,
    kCmdInputReport = 20,
    kCmdChangedInputs = 21,
    kCmdSetOutputBit = 22,
    kCmdSetOutputs = 23,
    kCmdModifyOutputs = 24,
    kCmdConfigureReels = 40,
    kCmdSpinReel = 41,
    kCmdRampUp = 42,
    kCmdRampDown = 43,
    kCmdDutyCycle = 44,
    kCmdClearTamper = 45,
    kCmdSynchronise = 46,
    kCmdReelStatus = 47,
    kCmdStartSkill = 48,
    kCmdStopSkill = 49,
    kCmdStopAtPosition = 50,
    kCmdReelParameters = 51,
};

constexpr size_t kReelStatusLength = 9;

// Reel quantities of 16 bits travel big-endian.
inline void putBE16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline uint16_t getBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
// Output words, the input report and the changed-inputs value travel little-endian.
inline void putLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t getLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t getLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void putLE16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Command 51's payload (reel parameters) from a reel's ReelParamDef: the
// reel, the turn length in half steps (low 16 bits), then tab width, tab
// offset and tab type (not the record's order), the position and tamper
// detection methods and the error deadband, each in 8 bits.  The virtual
// board's view packs a reel type the same way to recognise it.
constexpr size_t kReelParametersLength = 9;
template <class Params>
inline void putReelParameters(uint8_t* p, uint8_t reel, uint32_t turnLength, const Params& params) {
    p[0] = reel;
    putBE16(p + 1, turnLength);
    p[3] = static_cast<uint8_t>(params.tabWidth);
    p[4] = static_cast<uint8_t>(params.tabOffset);
    p[5] = static_cast<uint8_t>(params.tabType);
    p[6] = static_cast<uint8_t>(params.positionDetectionMethod);
    p[7] = static_cast<uint8_t>(params.tamperDetectionMethod);
    p[8] = static_cast<uint8_t>(params.errorDeadband);
}

}  // namespace yarvo::wire

#endif
