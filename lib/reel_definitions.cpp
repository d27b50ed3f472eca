// Reel definitions: loading the reel-definition file (XML) and configuring a
// reel from one of its reel types.
//
// A reel type is a `reel-def` element under the root `tamso-reel-definitions`.
// Its `params`, `symbol-table` and `ramp-table` children are decoded straight
// into the reel's ReelDataDef record, value by value.  A decode that fails,
// or a board step after it, leaves the record with a ramp table count of 0:
// the reel has no usable definition until a configuration succeeds.  Counts
// are checked against their arrays before they are stored, so a record never
// claims more symbols, entries or tables than it can hold.
//
// Element and attribute names match exactly.  Only elements are considered:
// a comment or a text node that happens to read "params" is not a `params`
// element, which is why the searches go through FirstChildElement and
// NextSiblingElement.
#include "yarvo.h"

#include <cstring>

#include <tinyxml.h>

#include "reel_file_check.h"
#include "reel_file_format.h"
#include "wire.h"

namespace {

using namespace yarvo::format;

constexpr size_t kMaxPathLength = 250;
constexpr size_t kReelParametersLength = 9;

// Reads an integer attribute: true and the value when the attribute exists
// and begins with a decimal integer.
bool readInt(const TiXmlElement* element, const char* name, int* value) {
    return element->QueryIntAttribute(name, value) == TIXML_SUCCESS;
}

// Reads the numbered integer attributes of an element (s000, s001, ... or
// r000, r001, ...) in index order, as readInt does.  Files list them in that
// order, so each name is looked for first just after the attribute found for
// the previous index, and from the element's first attribute only when it is
// not there.  The parser refuses an element that repeats an attribute name,
// so both searches find the same attribute: the result is readInt's, without
// a search from the start (and a formatted name) for each of 200 symbols or
// 60 ramp entries.
class NumberedAttributes {
public:
    NumberedAttributes(const TiXmlElement* element, char letter)
        : element_(element), next_(element->FirstAttribute()) {
        name_[0] = letter;
        name_[4] = '\0';
    }

    // The attribute of index `index` (below 1000): its name is the letter
    // and three digits, as "%03u" writes them.
    bool read(unsigned index, int* value) {
        name_[1] = static_cast<char>('0' + index / 100);
        name_[2] = static_cast<char>('0' + index / 10 % 10);
        name_[3] = static_cast<char>('0' + index % 10);
        const TiXmlAttribute* attribute = next_;
        if (attribute == nullptr || std::strcmp(attribute->Name(), name_) != 0) {
            attribute = element_->FirstAttribute();
            while (attribute != nullptr && std::strcmp(attribute->Name(), name_) != 0) {
                attribute = attribute->Next();
            }
            if (attribute == nullptr) return false;
        }
        next_ = attribute->Next();
        return attribute->QueryIntValue(value) == TIXML_SUCCESS;
    }

private:
    const TiXmlElement* element_;
    const TiXmlAttribute* next_;
    char name_[5];
};
static_assert(kMaxSymbols < 1000 && kMaxRampEntries < 1000, "numbered attributes have three digits");

// Reads one ramp (`ramp-up` or `ramp-down`): its entry count, limited to 60
// after keeping the low 8 bits, then entries r000 upwards, low 8 bits each.
bool decodeRamp(const TiXmlElement* ramp, KReelRampTable* table) {
    int value = 0;
    if (!readInt(ramp, "num-entries", &value)) return false;
    const unsigned char count = static_cast<unsigned char>(value);
    if (count > kMaxRampEntries) return false;
    table->length = count;
    NumberedAttributes entries(ramp, 'r');
    for (unsigned i = 0; i < count; ++i) {
        if (!entries.read(i, &value)) return false;
        table->entries[i] = static_cast<unsigned char>(value);
    }
    return true;
}

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
    // From here the record is being rewritten: until this call succeeds the
    // reel has no usable definition (a ramp table count of 0 says so), so no
    // symbol-level operation runs on a mix of two types.
    ReelDataDef* data = &reelData[reel];
    if (!loadAllReelData(reelDef, data)) {
        data->rampTableCount = 0;
        setLastError(ReelMsgReelDataError);
        return false;
    }

    // The set-up commands refuse a reel that is not configured, so the flag
    // goes up first and comes down again if any board step fails.
    reelConfigured[reel] = true;

    unsigned char request[kReelParametersLength];
    const unsigned int turnLength = 2u * data->symbolTable.stepsPerTurn;
    request[0] = reel;
    yarvo::wire::putBE16(&request[1], turnLength);
    request[3] = data->params.tabWidth;
    request[4] = data->params.tabOffset;
    request[5] = static_cast<unsigned char>(data->params.tabType);
    request[6] = static_cast<unsigned char>(data->params.positionDetectionMethod);
    request[7] = static_cast<unsigned char>(data->params.tamperDetectionMethod);
    request[8] = data->params.errorDeadband;
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

// The first `reel-def` of the root whose `type` matches, ignoring ASCII case.
// A `reel-def` without a type ends the search: nothing after it is seen.
TiXmlNode* Yarvo::seekReelData(TiXmlDocument* document, char* type) {
    if (document == nullptr || type == nullptr) return nullptr;
    TiXmlElement* root = document->FirstChildElement(kRootName);
    if (root == nullptr) return nullptr;
    for (TiXmlElement* reelDef = root->FirstChildElement(kReelDefName); reelDef != nullptr;
         reelDef = reelDef->NextSiblingElement(kReelDefName)) {
        const char* name = reelDef->Attribute("type");
        if (name == nullptr) return nullptr;
        if (equalIgnoringAsciiCase(name, type)) return reelDef;
    }
    return nullptr;
}

bool Yarvo::loadAllReelData(TiXmlNode* reelDef, ReelDataDef* data) {
    if (reelDef == nullptr || data == nullptr) return false;

    TiXmlElement* params = reelDef->FirstChildElement(kParamsName);
    if (params == nullptr || !decodeParams(params, &data->params)) return false;

    TiXmlElement* symbols = reelDef->FirstChildElement(kSymbolTableName);
    if (symbols == nullptr || !decodeSymbolTable(symbols, &data->symbolTable)) return false;

    TiXmlElement* rampTable = reelDef->FirstChildElement(kRampTableName);
    if (rampTable == nullptr) return false;
    unsigned decoded = 0;
    for (;;) {
        if (!decodeRampTable(rampTable, &data->rampTables[decoded])) return false;
        ++decoded;
        TiXmlElement* next = rampTable->NextSiblingElement(kRampTableName);
        if (next == nullptr) break;
        if (decoded == kMaxRampTables) return false;  // a 26th table
        rampTable = next;
    }
    data->rampTableCount = static_cast<unsigned char>(decoded);
    return true;
}

bool Yarvo::decodeParams(TiXmlNode* node, ReelParamDef* data) {
    TiXmlElement* params = node == nullptr ? nullptr : node->ToElement();
    if (params == nullptr || data == nullptr) return false;
    int value = 0;
    if (!readInt(params, "position-detection-method", &value)) return false;
    data->positionDetectionMethod = value;
    if (!readInt(params, "tamper-detection-method", &value)) return false;
    data->tamperDetectionMethod = value;
    if (!readInt(params, "duty-cycle-off", &value)) return false;
    data->dutyCycleOff = static_cast<unsigned char>(value);
    if (!readInt(params, "duty-cycle-on", &value)) return false;
    data->dutyCycleOn = static_cast<unsigned char>(value);
    if (!readInt(params, "tab-width", &value)) return false;
    data->tabWidth = static_cast<unsigned char>(value);
    if (!readInt(params, "tab-type", &value)) return false;
    data->tabType = value;
    if (!readInt(params, "tab-offset", &value)) return false;
    data->tabOffset = static_cast<unsigned char>(value);
    if (!readInt(params, "error-deadband", &value)) return false;
    data->errorDeadband = static_cast<unsigned char>(value);
    return true;
}

bool Yarvo::decodeSymbolTable(TiXmlNode* node, SymbolTableDef* data) {
    TiXmlElement* table = node == nullptr ? nullptr : node->ToElement();
    if (table == nullptr || data == nullptr) return false;
    int value = 0;
    if (!readInt(table, "steps-per-turn", &value)) return false;
    // The board takes a turn of at most 16 bits of half steps.
    if (static_cast<unsigned int>(value) > kMaxStepsPerTurn) return false;
    data->stepsPerTurn = static_cast<unsigned int>(value);
    if (!readInt(table, "symbols-per-turn", &value)) return false;
    const unsigned char count = static_cast<unsigned char>(value);
    if (count > kMaxSymbols) return false;
    data->symbolsPerTurn = count;
    NumberedAttributes positions(table, 's');
    for (unsigned i = 0; i < count; ++i) {
        if (!positions.read(i, &value)) return false;
        data->symbolPositions[i] = static_cast<unsigned int>(value);
    }
    return true;
}

bool Yarvo::decodeRampTable(TiXmlNode* node, RampTableDef* data) {
    TiXmlElement* rampTable = node == nullptr ? nullptr : node->ToElement();
    if (rampTable == nullptr || data == nullptr) return false;
    int value = 0;
    if (!readInt(rampTable, "speed", &value)) return false;
    data->speed = value;

    const char* stepType = rampTable->Attribute("step-type");
    if (stepType == nullptr) return false;
    if (equalIgnoringAsciiCase(stepType, "half")) {
        data->stepType = 0;
    } else if (equalIgnoringAsciiCase(stepType, "full")) {
        data->stepType = 1;
    } else {
        return false;
    }

    const TiXmlElement* rampUp = rampTable->FirstChildElement(kRampUpName);
    if (rampUp == nullptr || !decodeRamp(rampUp, &data->rampUp)) return false;
    const TiXmlElement* rampDown = rampTable->FirstChildElement(kRampDownName);
    if (rampDown == nullptr || !decodeRamp(rampDown, &data->rampDown)) return false;
    return true;
}
