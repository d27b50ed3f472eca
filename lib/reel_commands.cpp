// Reel commands: set-up, motion and status, one board command each.
// Not built yet: every operation fails cleanly with ReelMsgBadParameter.
#include "yarvo.h"

#include <tinyxml.h>

bool Yarvo::ConfigureReels(unsigned int, unsigned int, unsigned int, char, char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SetDutyCycle(unsigned char, unsigned char, unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinRampUp(unsigned char, KReelRampTable*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinRampDown(unsigned char, KReelRampTable*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::ReelSynchroniseEnable(unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::synchroniseEnable(unsigned char, unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::ClearTamperedState(unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinReels(unsigned char, char, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinReelStepForward(unsigned char, unsigned char, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinReelStepBack(unsigned char, unsigned char, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinReelSymbolForward(unsigned char, unsigned char, unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinReelSymbolBack(unsigned char, unsigned char, unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinStartSkill(unsigned char, char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SpinStopSkill(unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::StopCurrentSpinAtPosition(unsigned char, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::GetReelStatus(unsigned char, KReelStatus*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

