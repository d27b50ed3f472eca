// Symbol-level motion: geometry, speed selection, symbol spins, skill stops, extended status.
// Not built yet: every operation fails cleanly with ReelMsgBadParameter.
#include "yarvo.h"

#include <tinyxml.h>

bool Yarvo::findNearestSymbol(unsigned char*, unsigned int*, SymbolTableDef*, unsigned int, bool) {
    setLastError(ReelMsgBadParameter);
    return false;
}

unsigned int Yarvo::calcInterSymbolSteps(SymbolTableDef*, unsigned char, unsigned char, bool) {
    return 0;
}

RampTableDef* Yarvo::findNearestSpeed(signed char*, ReelDataDef*, unsigned char, int) {
    return nullptr;
}

RampTableDef* Yarvo::findAlternativeSpeed(signed char*, ReelDataDef*, unsigned char, unsigned int, int) {
    return nullptr;
}

bool Yarvo::VendorSpinReelToSymbol(unsigned char, unsigned int, int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorSpinReelNumberOfSymbols(unsigned char, unsigned int, int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorSynchroniseReel(unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorSpinReelStartSkill(unsigned char, int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorSpinReelStopSkill(unsigned char) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorStopReelSpinAtPosition(unsigned char, unsigned int) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorGetReelStatus(unsigned char, KReelStatusEx*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

