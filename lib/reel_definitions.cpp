// Reel definitions: loading the reel-definition file and configuring a reel from a reel type.
// Not built yet: every operation fails cleanly with ReelMsgBadParameter.
#include "yarvo.h"

#include <tinyxml.h>

bool Yarvo::VendorSetReelFilePath(char*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::VendorConfigureReel(unsigned char, char*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

TiXmlNode* Yarvo::seekReelData(TiXmlDocument*, char*) {
    return nullptr;
}

bool Yarvo::loadAllReelData(TiXmlNode*, ReelDataDef*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::decodeParams(TiXmlNode*, ReelParamDef*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::decodeSymbolTable(TiXmlNode*, SymbolTableDef*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

bool Yarvo::decodeRampTable(TiXmlNode*, RampTableDef*) {
    setLastError(ReelMsgBadParameter);
    return false;
}

