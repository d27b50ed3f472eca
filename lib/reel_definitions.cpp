// Reel definitions: loading the reel-definition file (XML) and configuring a
// reel from one of its reel types.
//
// A reel type is decoded straight into the reel's ReelDataDef record, value
// by value (reel_file_format.cpp).  A decode that fails after changing the
// record, or a board step after it, leaves the record with a ramp table count
// of 0: the reel has no usable definition until a configuration succeeds.
#include "yarvo.h"

#include <cstring>

#include <tinyxml.h>

#include "reel_file_check.h"
#include "reel_file_format.h"
#include "wire.h"

namespace {

using namespace yarvo::format;

constexpr size_t kMaxPathLength = 250;

}  // namespace

bool Yarvo::VendorSetReelFilePath(char* path) {
    if (path == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    // Look no further than one character past the limit.
    const size_t length = strnlen(path, kMaxPathLength + 1);
    if (length > kMaxPathLength) {
        setLastError(ReelMsgPathTooLong);
        return false;
    }
    TiXmlDocument* document = yarvo::detail::loadReelFile(path, nullptr);
    if (document == nullptr) {
        setLastError(ReelMsgFileLoadFailed);
        return false;
    }
    reelDocument.reset(document);
    std::memcpy(reelFilePath, path, length + 1);
    reelDocumentLoaded = true;
    return true;
}

bool Yarvo::VendorConfigureReel(unsigned char reel, char* type) {
    if (reel > 7) {
        setLastError(ReelMsgBadReelNumber);
        return false;
    }
    if (type == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    // The file is read from disk once; afterwards only a new
    // VendorSetReelFilePath brings in changes.
    if (!reelDocumentLoaded) {
        TiXmlDocument* document = yarvo::detail::loadReelFile(reelFilePath, nullptr);
        if (document == nullptr) {
            setLastError(ReelMsgFileLoadFailed);
            return false;
        }
        reelDocument.reset(document);
        reelDocumentLoaded = true;
    }

    TiXmlNode* reelDef = seekReelData(reelDocument.get(), type);
    if (reelDef == nullptr) {
        setLastError(ReelMsgReelTypeNotFound);
        return false;
    }
    // A decode that changed the record and then failed leaves no usable
    // definition (a ramp table count of 0 says so), so that no symbol-level
    // operation runs on a mix of two types; one that failed before changing
    // anything leaves the reel's definition as it was.
    ReelDataDef* data = &reelData[reel];
    const ReelDataDef before = *data;
    if (!loadAllReelData(reelDef, data)) {
        if (std::memcmp(&before, data, sizeof before) != 0) {
            data->rampTableCount = 0;
        }
        setLastError(ReelMsgReelDataError);
        return false;
    }

    // The set-up commands refuse a reel that is not configured, so the flag
    // goes up first and comes down again if any board step fails.
    reelConfigured[reel] = true;

    unsigned char request[yarvo::wire::kReelParametersLength];
    yarvo::wire::putReelParameters(request, reel, 2u * data->symbolTable.stepsPerTurn, data->params);
    unsigned char response[yarvo::wire::kReceiveBufferSize];
    unsigned long responseLength = 0;

    RampTableDef* first = &data->rampTables[0];
    if (!performUSBIO(yarvo::wire::kCmdReelParameters, request, sizeof request, response,
                      &responseLength) ||
        !SetDutyCycle(reel, data->params.dutyCycleOff, data->params.dutyCycleOn) ||
        !SpinRampUp(reel, &first->rampUp) || !SpinRampDown(reel, &first->rampDown)) {
        reelConfigured[reel] = false;
        data->rampTableCount = 0;
        return false;
    }

    reelDirection[reel] = 1;
    currentSpeed[reel] = first->speed;
    return true;
}

// The type search and the decoders are the reel-definition file's own
// (reel_file_format.h); these are the class's names for them.
TiXmlNode* Yarvo::seekReelData(TiXmlDocument* document, char* type) {
    if (document == nullptr || type == nullptr) return nullptr;
    return const_cast<TiXmlElement*>(findReelType(*document, type));
}

bool Yarvo::loadAllReelData(TiXmlNode* reelDef, ReelDataDef* data) {
    const TiXmlElement* element = reelDef == nullptr ? nullptr : reelDef->ToElement();
    return element != nullptr && data != nullptr && decodeReelType(*element, data, nullptr);
}

bool Yarvo::decodeParams(TiXmlNode* node, ReelParamDef* data) {
    const TiXmlElement* element = node == nullptr ? nullptr : node->ToElement();
    return element != nullptr && data != nullptr && yarvo::format::decodeParams(*element, data, nullptr);
}

bool Yarvo::decodeSymbolTable(TiXmlNode* node, SymbolTableDef* data) {
    const TiXmlElement* element = node == nullptr ? nullptr : node->ToElement();
    return element != nullptr && data != nullptr && yarvo::format::decodeSymbolTable(*element, data, nullptr);
}

bool Yarvo::decodeRampTable(TiXmlNode* node, RampTableDef* data) {
    const TiXmlElement* element = node == nullptr ? nullptr : node->ToElement();
    return element != nullptr && data != nullptr && yarvo::format::decodeRampTable(*element, 0, data, nullptr);
}
