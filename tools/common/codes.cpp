#include "codes.h"

#include <cstddef>

namespace yarvo::tools {
namespace {

struct CodeEntry {
    unsigned code;
    const char* name;
    const char* meaning;
};

// Every code the library stores.  The numbering has gaps on purpose.
constexpr CodeEntry kCodes[] = {
    {0, "ReelMsgOk", "no failure recorded"},
    {2, "ReelMsgNullPointer", "a required pointer argument is null"},
    {3, "ReelMsgBadParameter", "a numeric argument is out of range"},
    {6, "ReelMsgInputOwnedByReel", "the input belongs to a configured reel"},
    {7, "ReelMsgOutputOwnedByReel", "the output belongs to a configured reel"},
    {8, "ReelMsgBadReelNumber", "reel number above 7"},
    {9, "ReelMsgReelNotConfigured", "the reel is not configured"},
    {12, "ReelMsgBadRampLength", "ramp table length not accepted"},
    {13, "ReelMsgBadStepMode", "step mode or step size not accepted"},
    {14, "ReelMsgBadDutyCycle", "duty-cycle off + on is 256 or more"},
    {15, "ReelMsgBadStepCount", "step count of 0x8000 or more"},
    {16, "ReelMsgNoSuitableSpeed", "no speed of the reel's definition can make the move"},
    {19, "ReelMsgTransferFailed", "the driver's transfer request failed"},
    {20, "ReelMsgBadResponseLength", "the board's response has a length that is not accepted"},
    {21, "ReelMsgBadResponse", "the response does not echo the command or has a non-zero status"},
    {27, "ReelMsgFileLoadFailed", "the reel-definition file failed to load or to parse"},
    {28, "ReelMsgPathTooLong", "reel-definition path longer than 250 characters"},
    {29, "ReelMsgReelTypeNotFound", "the file has no reel definition of the requested type"},
    {30, "ReelMsgReelDataError",
     "the reel definition is incomplete or invalid, or a position lies outside the reel's turn"},
};

const CodeEntry* find(unsigned code) {
    for (const CodeEntry& entry : kCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

}  // namespace

const char* statusCodeName(unsigned code) {
    const CodeEntry* entry = find(code);
    return entry != nullptr ? entry->name : "ReelMsgUnknown";
}

const char* statusCodeMeaning(unsigned code) {
    const CodeEntry* entry = find(code);
    return entry != nullptr ? entry->meaning : "a code the library does not define";
}

}  // namespace yarvo::tools
