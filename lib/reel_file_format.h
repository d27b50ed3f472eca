// The reel-definition file's vocabulary and the one decoder of its reel
// types: element names, limits, the search for a type, and the decoding of
// a reel-def into a ReelDataDef.  The library decodes without an observer;
// yarvoctl check-reels passes one to hear every rule the decoder applies,
// with the element and attribute concerned, and so reports by the
// library's own rules.
#ifndef YARVO_REEL_FILE_FORMAT_H
#define YARVO_REEL_FILE_FORMAT_H

#include "yarvo.h"

class TiXmlAttribute;
class TiXmlBase;
class TiXmlDocument;
class TiXmlElement;

namespace yarvo::format {

constexpr char kRootName[] = "tamso-reel-definitions";
constexpr char kReelDefName[] = "reel-def";
constexpr char kParamsName[] = "params";
constexpr char kSymbolTableName[] = "symbol-table";
constexpr char kRampTableName[] = "ramp-table";
constexpr char kRampUpName[] = "ramp-up";
constexpr char kRampDownName[] = "ramp-down";

constexpr unsigned kMaxSymbols = 200;      // on the stored 8-bit symbols-per-turn
constexpr unsigned kMaxRampEntries = 60;   // on the stored 8-bit num-entries
constexpr unsigned kMaxRampTables = 25;
constexpr unsigned kMaxStepsPerTurn = 32767;  // a turn of 2 x 32767 half steps fits 16 bits

// Compares two texts ignoring the case of ASCII letters only, whatever the
// host's locale says about other characters.
inline bool equalIgnoringAsciiCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

// ------------------------------------------------------------ the search

// The root's reel-def elements in document order, as the type search walks
// them (null when there are no more).
const TiXmlElement* firstReelDef(const TiXmlDocument& document);
const TiXmlElement* nextReelDef(const TiXmlElement& reelDef);

// The first reel-def whose type equals `type` ignoring ASCII case; the
// search ends at a reel-def without type.  Null when not found.
const TiXmlElement* findReelType(const TiXmlDocument& document, const char* type);

// ------------------------------------------------------------ decoding

// The parts of a reel type.
enum class Part { ReelDef, Params, SymbolTable, RampTable, RampUp, RampDown };

// Where the decoder is: the part, the ramp table's index for the last
// three, and the element (the parent, for a missing element).
struct Place {
    Part part;
    unsigned table;
    const TiXmlElement* element;
};

// How a value read is kept.
enum class Storage {
    Whole,         // 32 bits
    Low8Bits,      // an 8-bit field: the low 8 bits
    SentLow8Bits,  // kept whole, but only the low 8 bits reach the board
};

// The rules that reject a reel type.
enum class Rejection {
    MissingElement,     // `name`: the required element
    MissingAttribute,   // `name`: the required attribute
    NotAnInteger,       // the attribute does not begin with a decimal integer
    AboveLimit,         // a stored count (`value`) above its limit
    TurnTooLong,        // steps-per-turn (`value`) above kMaxStepsPerTurn
    BadStepType,        // step-type neither half nor full (case ignored)
    TooManyRampTables,  // a 26th ramp-table (`where`)
};

class DecodeObserver {
public:
    virtual ~DecodeObserver() = default;
    // An integer attribute read as the library reads it; `value` is the
    // number read, before storage.
    virtual void integerRead(const Place& place, const TiXmlAttribute& attribute, int value, Storage storage) = 0;
    // A rule rejected the reel type.  `where` is the attribute, or the
    // element when the attribute or a child element is missing.
    virtual void rejected(const Place& place, Rejection rule, const TiXmlBase* where, const char* name,
                          unsigned value) = 0;
    // The decoder is done with an element.
    virtual void elementDone(const Place& place, bool accepted) = 0;
};

// Whether the decoder reads an attribute of that name in a part (s000 ...
// and r000 ... by their form), or a child element of that name.
bool readsAttribute(Part part, const char* name);
bool readsChild(Part part, const char* name);

// Decode into the record, value by value, in the library's order; true when
// the reel type is accepted.  Without an observer the first rejection ends
// the decode.  With one it goes on wherever the rest does not depend on
// what was rejected, so that every rejection is heard; counts above their
// limits are never stored either way.
bool decodeParams(const TiXmlElement& params, ReelParamDef* data, DecodeObserver* observer);
bool decodeSymbolTable(const TiXmlElement& table, SymbolTableDef* data, DecodeObserver* observer);
bool decodeRampTable(const TiXmlElement& rampTable, unsigned index, RampTableDef* data,
                     DecodeObserver* observer);
bool decodeReelType(const TiXmlElement& reelDef, ReelDataDef* data, DecodeObserver* observer);

}  // namespace yarvo::format

#endif
