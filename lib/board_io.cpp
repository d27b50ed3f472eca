// Board I/O: inputs, outputs and reel lamps, firmware version and power status.
// Not built yet: every operation fails cleanly with ReelMsgBadParameter.
#include "yarvo.h"

#include <tinyxml.h>

bool Yarvo::getInputs(unsigned char*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::GetInputs(unsigned short*, unsigned char*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::GetInputBit(KReelInputBit, bool*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::GetChangedInputs(unsigned short*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SetOutputs(unsigned int, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::ModifyOutputs(unsigned int, unsigned int, unsigned int, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SetOutputBit(KReelOutputBit, bool) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::SetReelLamps(unsigned char, bool) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::GetFirmwareVersion(unsigned char*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::GetPowerStatus(KReelPowerStatus*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

