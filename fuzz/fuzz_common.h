// Shared pieces of the fuzz targets: the invariants every call must keep.
#ifndef YARVO_FUZZ_COMMON_H
#define YARVO_FUZZ_COMMON_H

#include <cstdio>
#include <cstdlib>

#include "yarvo.h"

namespace yarvo::fuzz {

// A finding: print what broke and abort, so that libFuzzer keeps the input.
[[noreturn]] inline void violated(const char* what, unsigned detail) {
    std::fprintf(stderr, "fuzz invariant violated: %s (%u)\n", what, detail);
    std::abort();
}

inline void check(bool ok, const char* what, unsigned detail = 0) {
    if (!ok) violated(what, detail);
}

// Only the documented status codes are ever stored.
inline bool isStatusCode(KReelMsg code) {
    switch (code) {
    case ReelMsgOk: case ReelMsgNullPointer: case ReelMsgBadParameter:
    case ReelMsgInputOwnedByReel: case ReelMsgOutputOwnedByReel: case ReelMsgBadReelNumber:
    case ReelMsgReelNotConfigured: case ReelMsgBadRampLength: case ReelMsgBadStepMode:
    case ReelMsgBadDutyCycle: case ReelMsgBadStepCount: case ReelMsgNoSuitableSpeed:
    case ReelMsgTransferFailed: case ReelMsgBadResponseLength: case ReelMsgBadResponse:
    case ReelMsgFileLoadFailed: case ReelMsgPathTooLong: case ReelMsgReelTypeNotFound:
    case ReelMsgReelDataError:
        return true;
    }
    return false;
}

// After a call: a failure leaves a documented code other than ReelMsgOk
// (which only the constructor and Init store), a success leaves the code
// that was there before.
inline void checkOutcome(Yarvo& yarvo, bool ok, KReelMsg before, const char* call) {
    const KReelMsg after = yarvo.GetLastError();
    check(isStatusCode(after), call, after);
    if (ok) {
        check(after == before, "a success changed the status code", after);
    } else {
        check(after != ReelMsgOk, "a failure left ReelMsgOk", 0);
    }
}

}  // namespace yarvo::fuzz

#endif
