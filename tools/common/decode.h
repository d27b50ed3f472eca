// Decoding of board transfers into readable text: the command's name, the
// fields of its request payload and the outcome with the fields of the
// response.  One decoder serves the transfer tracer and the virtual board's
// logs, so that both print a transfer the same way:
//
//   SPIN reel=2 mode=-2 steps=118 -> ok
//   STATUS reel=2 -> pos=176 word1=0 byte1=4 byte2=254 byte3=200 word2=192
//   INPUTS -> failed: ENODEV (No such device)
//
// Field names follow the host interface; values whose meaning is the board
// firmware's (status words and bytes, ramp entries, the parameters of the
// reel declaration) are shown as numbers and not interpreted.  The one
// exception is a board whose firmware version text names the virtual
// board: its status reply has documented meanings (sim/firmware.h), and
// the decoder names them once the board has said what it is:
//
//   STATUS reel=2 -> pos=176 to-go=0 flags=sync mode=-2 duty-on=200 turn=192
#ifndef YARVO_TOOLS_DECODE_H
#define YARVO_TOOLS_DECODE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace yarvo::decode {

// The command's name ("SPIN", "RAMP-UP"), or null for a code the library
// never sends.
const char* commandName(uint8_t command);

// commandName, or "CMD-<code>" for an unknown code.
std::string commandLabel(uint8_t command);

// Fields of a request payload (the bytes after the command byte), e.g.
// "reel=2 mode=-2 steps=118".  Empty for commands without payload.  A payload
// shorter than the command needs is shown in hex and marked short; bytes
// beyond what the command uses are counted.
std::string requestFields(uint8_t command, const uint8_t* payload, size_t length);

// Fields of an accepted response payload (the bytes after echo and status),
// e.g. "pos=176 ...".  "ok" when the command's response carries nothing the
// host uses and none came, "ok +N bytes" when some came anyway.
std::string responseFields(uint8_t command, const uint8_t* payload, size_t length);

// One transfer as seen at the driver request.
struct Exchange {
    uint8_t command = 0;
    const uint8_t* request = nullptr;  // request payload (after the command byte)
    size_t requestLength = 0;
    // Block words as sent; anything other than 2, 6 and 257 is flagged.
    uint32_t word0 = wire::kBlockWord0;
    uint32_t word1 = wire::kBlockWord1;
    uint32_t responseOffered = wire::kResponseOffered;
    // Outcome: the errno the request failed with (0 when it returned 0) ...
    int error = 0;
    // ... else the response length the driver placed and the response bytes
    // from buffer byte 0 (echo, status, payload); `response` holds at least
    // min(responseLength, 512) bytes.
    uint32_t responseLength = 0;
    const uint8_t* response = nullptr;
};

// How the library would judge the response, in its own order of checks.
enum class Verdict { Ok, Failed, BadLength, BadEcho, BadStatus };
Verdict verdict(const Exchange& exchange);

// The outcome as text: the response fields on success, else "failed: ENODEV
// (No such device)", "bad response length 300", "bad echo 21 (expected 20)"
// or "board status 2".
std::string outcome(const Exchange& exchange);

// A whole line: "<COMMAND> <request fields> -> <outcome>".
std::string describe(const Exchange& exchange);

// Bytes as lower-case hex pairs separated by spaces.
std::string hex(const uint8_t* bytes, size_t length);

// The exchange of a transfer block, from a copy taken before the request
// (`before`) and the block after it (`after`); `result` and `err` are the
// request's return value and errno.  The pointers in the result point into
// the two blocks.
Exchange fromBlocks(const wire::TransferBlock& before, const wire::TransferBlock& after,
                    int result, int err);

// The errno's symbolic name ("ENODEV"), or "E<number>" when unknown.
std::string errnoName(int err);

// ------------------------------------------------------------ the virtual board

// Whether a firmware version text is the virtual board's ("YARVO-SIM ...").
bool namesVirtualBoard(const uint8_t* version, size_t length);

// The virtual board's status reply (command 47) by its model's meanings.
struct ModelStatus {
    uint16_t position = 0;
    uint16_t stepsToGo = 0;     // saturated at 0xFFFF
    uint8_t flags = 0;          // moving 0x01, skill 0x02, synchronised 0x04,
                                // tampered 0x08, stopping 0x10, sync-armed 0x20
    int8_t stepMode = 0;        // of the running or last motion
    uint8_t dutyOn = 0;
    uint16_t turnLength = 0;    // half steps
};
ModelStatus modelStatus(const uint8_t* reply);   // the nine payload bytes
// The names of the flags set, in bit order ("moving", "sync-armed");
// unknown bits as "0x40".
std::vector<std::string> flagNames(uint8_t flags);

// Status fields by the model's names: responseFields for a board known to
// be the virtual one.
std::string responseFields(uint8_t command, const uint8_t* payload, size_t length, bool virtualBoard);
std::string outcome(const Exchange& exchange, bool virtualBoard);
std::string describe(const Exchange& exchange, bool virtualBoard);

// What the decoder has learnt of each board (instances 0 to 15) from the
// transfers it saw: whether a FIRMWARE-VERSION reply named the virtual
// board.  Safe to use from several threads.
class FirmwareNotes {
public:
    // Takes note of a FIRMWARE-VERSION reply; other transfers change nothing.
    void note(int board, const Exchange& exchange);
    bool virtualBoard(int board) const;
    // note(), then describe() as the board is now known.
    std::string describe(int board, const Exchange& exchange);

private:
    std::atomic<uint32_t> virtual_{0};   // bit n: board n
};

// The reel a transfer is for (payload byte 0 of the reel commands), or -1.
int reelOf(const Exchange& exchange);

}  // namespace yarvo::decode

#endif
