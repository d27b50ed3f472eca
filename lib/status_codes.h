// The names and meanings of the library's status codes: the one table that
// yarvo_status_name() serves to hosts and the tools print.
#ifndef YARVO_LIB_STATUS_CODES_H
#define YARVO_LIB_STATUS_CODES_H

#include "yarvo.h"

namespace yarvo::status {

struct Entry {
    KReelMsg code;
    const char* name;     // the enumerator's name, "ReelMsgBadReelNumber"
    const char* meaning;  // one line for --help texts and explanations
};

// Every code the library stores, in rising order.  The numbering has gaps.
inline constexpr Entry kCodes[] = {
    {ReelMsgOk, "ReelMsgOk", "no failure recorded"},
    {ReelMsgNullPointer, "ReelMsgNullPointer", "a required pointer argument is null"},
    {ReelMsgBadParameter, "ReelMsgBadParameter", "a numeric argument is out of range"},
    {ReelMsgInputOwnedByReel, "ReelMsgInputOwnedByReel", "the input belongs to a configured reel"},
    {ReelMsgOutputOwnedByReel, "ReelMsgOutputOwnedByReel", "the output belongs to a configured reel"},
    {ReelMsgBadReelNumber, "ReelMsgBadReelNumber", "reel number above 7"},
    {ReelMsgReelNotConfigured, "ReelMsgReelNotConfigured", "the reel is not configured"},
    {ReelMsgBadRampLength, "ReelMsgBadRampLength", "ramp table length not accepted"},
    {ReelMsgBadStepMode, "ReelMsgBadStepMode", "step mode or step size not accepted"},
    {ReelMsgBadDutyCycle, "ReelMsgBadDutyCycle", "duty-cycle off + on is 256 or more"},
    {ReelMsgBadStepCount, "ReelMsgBadStepCount", "step count of 0x8000 or more"},
    {ReelMsgNoSuitableSpeed, "ReelMsgNoSuitableSpeed", "no speed of the reel's definition can make the move"},
    {ReelMsgTransferFailed, "ReelMsgTransferFailed", "the driver's transfer request failed"},
    {ReelMsgBadResponseLength, "ReelMsgBadResponseLength",
     "the board's response has a length that is not accepted"},
    {ReelMsgBadResponse, "ReelMsgBadResponse",
     "the response does not echo the command or has a non-zero status"},
    {ReelMsgFileLoadFailed, "ReelMsgFileLoadFailed", "the reel-definition file failed to load or to parse"},
    {ReelMsgPathTooLong, "ReelMsgPathTooLong", "reel-definition path longer than 250 characters"},
    {ReelMsgReelTypeNotFound, "ReelMsgReelTypeNotFound", "the file has no reel definition of the requested type"},
    {ReelMsgReelDataError, "ReelMsgReelDataError",
     "the reel definition is incomplete or invalid, or a position lies outside the reel's turn"},
};

// The entry of a code, or null for a number the library never stores.
inline const Entry* find(unsigned code) {
    for (const Entry& entry : kCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

// The name of a code, "ReelMsgUnknown" for a number the library never stores.
inline const char* name(unsigned code) {
    const Entry* entry = find(code);
    return entry != nullptr ? entry->name : "ReelMsgUnknown";
}

inline const char* meaning(unsigned code) {
    const Entry* entry = find(code);
    return entry != nullptr ? entry->meaning : "a code the library does not define";
}

}  // namespace yarvo::status

#endif
