// The type search and the decoder of reel types (see reel_file_format.h).
//
// Values are written into the record as soon as they are read.  Element and
// attribute names match exactly, and only elements count: a comment or a
// text node that happens to read "params" is not a `params` element, which
// is why the searches go through FirstChildElement and NextSiblingElement.
#include "reel_file_format.h"

#include <cstring>

#include <tinyxml.h>

namespace yarvo::format {

namespace {

// The numbered attributes of an element (s000, s001, ... or r000, ...), in
// index order.  Files list them in that order, so each is looked for first
// just after the previous one (names are unique: TinyXML refuses repeats).
class NumberedAttributes {
public:
    NumberedAttributes(const TiXmlElement& element, char letter)
        : element_(element), next_(element.FirstAttribute()) {
        name_[0] = letter;
        name_[4] = '\0';
    }

    // The name of index `index` (below 1000): the letter and three digits,
    // as "%03u" writes them.
    const char* name(unsigned index) {
        name_[1] = static_cast<char>('0' + index / 100);
        name_[2] = static_cast<char>('0' + index / 10 % 10);
        name_[3] = static_cast<char>('0' + index % 10);
        return name_;
    }

    // The attribute of that name, or null.
    const TiXmlAttribute* find(unsigned index) {
        name(index);
        const TiXmlAttribute* attribute = next_;
        if (attribute == nullptr || std::strcmp(attribute->Name(), name_) != 0) {
            attribute = element_.FirstAttribute();
            while (attribute != nullptr && std::strcmp(attribute->Name(), name_) != 0) {
                attribute = attribute->Next();
            }
            if (attribute == nullptr) return nullptr;
        }
        next_ = attribute->Next();
        return attribute;
    }

private:
    const TiXmlElement& element_;
    const TiXmlAttribute* next_;
    char name_[5];
};
static_assert(kMaxSymbols < 1000 && kMaxRampEntries < 1000, "numbered attributes have three digits");

// The eight attributes of `params`, in the decoding order, and how each is kept.
struct ParamField {
    const char* name;
    Storage storage;
};
const ParamField kParamFields[] = {
    {"position-detection-method", Storage::SentLow8Bits}, {"tamper-detection-method", Storage::SentLow8Bits},
    {"duty-cycle-off", Storage::Low8Bits},                {"duty-cycle-on", Storage::Low8Bits},
    {"tab-width", Storage::Low8Bits},                     {"tab-type", Storage::SentLow8Bits},
    {"tab-offset", Storage::Low8Bits},                    {"error-deadband", Storage::Low8Bits},
};

bool isNumbered(const char* name, char letter) {
    return name[0] == letter && name[1] >= '0' && name[1] <= '9' && name[2] >= '0' && name[2] <= '9' &&
           name[3] >= '0' && name[3] <= '9' && name[4] == '\0';
}

const TiXmlAttribute* findAttribute(const TiXmlElement& element, const char* name) {
    for (const TiXmlAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        if (std::strcmp(a->Name(), name) == 0) return a;
    }
    return nullptr;
}

// One decode: the observer, if any, hears each rule applied.
class Decoding {
public:
    explicit Decoding(DecodeObserver* observer) : observer_(observer) {}

    bool observed() const { return observer_ != nullptr; }

    void reject(const Place& place, Rejection rule, const TiXmlBase* where, const char* name, unsigned value = 0) {
        if (observer_ != nullptr) observer_->rejected(place, rule, where, name, value);
    }

    // An integer attribute as TinyXML's integer query reads it: absent, not
    // an integer, or read.
    bool integer(const Place& place, const TiXmlAttribute* attribute, const char* name, Storage storage,
                 int* value) {
        if (attribute == nullptr) {
            reject(place, Rejection::MissingAttribute, place.element, name);
            return false;
        }
        if (attribute->QueryIntValue(value) != TIXML_SUCCESS) {
            reject(place, Rejection::NotAnInteger, attribute, name);
            return false;
        }
        if (observer_ != nullptr) observer_->integerRead(place, *attribute, *value, storage);
        return true;
    }
    bool integer(const Place& place, const char* name, Storage storage, int* value) {
        if (observer_ == nullptr) {
            return place.element->QueryIntAttribute(name, value) == TIXML_SUCCESS;
        }
        return integer(place, findAttribute(*place.element, name), name, storage, value);
    }

    // A required child: the first of its name.
    const TiXmlElement* child(const Place& parent, const char* name) {
        const TiXmlElement* found = parent.element->FirstChildElement(name);
        if (found == nullptr) reject(parent, Rejection::MissingElement, parent.element, name);
        return found;
    }

    bool done(const Place& place, bool accepted) {
        if (observer_ != nullptr) observer_->elementDone(place, accepted);
        return accepted;
    }

private:
    DecodeObserver* observer_;
};

// A count stored in 8 bits, tested against its limit before it is stored.
bool count8(Decoding& d, const Place& place, const char* name, unsigned limit, unsigned char* stored) {
    int value = 0;
    if (!d.integer(place, name, Storage::Low8Bits, &value)) return false;
    const unsigned char count = static_cast<unsigned char>(value);
    if (count > limit) {
        d.reject(place, Rejection::AboveLimit, findAttribute(*place.element, name), name, count);
        return false;
    }
    *stored = count;
    return true;
}

// A `ramp-up` or `ramp-down`: its entry count (at most 60 after keeping the
// low 8 bits), then entries r000 upwards, low 8 bits each.
bool decodeRamp(Decoding& d, const Place& place, KReelRampTable* table) {
    if (!count8(d, place, "num-entries", kMaxRampEntries, &table->length)) return d.done(place, false);
    bool ok = true;
    NumberedAttributes entries(*place.element, 'r');
    for (unsigned i = 0; i < table->length && (ok || d.observed()); ++i) {
        int value = 0;
        const TiXmlAttribute* entry = entries.find(i);
        if (d.integer(place, entry, entries.name(i), Storage::Low8Bits, &value)) {
            table->entries[i] = static_cast<unsigned char>(value);
        } else {
            ok = false;
        }
    }
    return d.done(place, ok);
}

bool params(Decoding& d, const TiXmlElement& element, ReelParamDef* data) {
    const Place place{Part::Params, 0, &element};
    bool ok = true;
    for (unsigned i = 0; i < 8 && (ok || d.observed()); ++i) {
        int value = 0;
        if (!d.integer(place, kParamFields[i].name, kParamFields[i].storage, &value)) {
            ok = false;
            continue;
        }
        const unsigned char low = static_cast<unsigned char>(value);
        switch (i) {
        case 0: data->positionDetectionMethod = value; break;
        case 1: data->tamperDetectionMethod = value; break;
        case 2: data->dutyCycleOff = low; break;
        case 3: data->dutyCycleOn = low; break;
        case 4: data->tabWidth = low; break;
        case 5: data->tabType = value; break;
        case 6: data->tabOffset = low; break;
        case 7: data->errorDeadband = low; break;
        }
    }
    return d.done(place, ok);
}

bool symbolTable(Decoding& d, const TiXmlElement& element, SymbolTableDef* data) {
    const Place place{Part::SymbolTable, 0, &element};
    bool ok = true;
    int value = 0;
    if (!d.integer(place, "steps-per-turn", Storage::Whole, &value)) {
        ok = false;
    } else if (static_cast<unsigned>(value) > kMaxStepsPerTurn) {
        // The board takes a turn of at most 16 bits of half steps.
        d.reject(place, Rejection::TurnTooLong, findAttribute(element, "steps-per-turn"), "steps-per-turn",
                 static_cast<unsigned>(value));
        ok = false;
    } else {
        data->stepsPerTurn = static_cast<unsigned>(value);
    }
    if (!ok && !d.observed()) return false;
    if (!count8(d, place, "symbols-per-turn", kMaxSymbols, &data->symbolsPerTurn)) return d.done(place, false);
    NumberedAttributes positions(element, 's');
    for (unsigned i = 0; i < data->symbolsPerTurn && (ok || d.observed()); ++i) {
        const TiXmlAttribute* position = positions.find(i);
        if (d.integer(place, position, positions.name(i), Storage::Whole, &value)) {
            data->symbolPositions[i] = static_cast<unsigned>(value);
        } else {
            ok = false;
        }
    }
    return d.done(place, ok);
}

bool rampTable(Decoding& d, const TiXmlElement& element, unsigned index, RampTableDef* data) {
    const Place place{Part::RampTable, index, &element};
    bool ok = true;
    int value = 0;
    if (d.integer(place, "speed", Storage::Whole, &value)) {
        data->speed = value;
    } else {
        ok = false;
    }
    if (!ok && !d.observed()) return false;

    const char* stepType = element.Attribute("step-type");
    if (stepType == nullptr) {
        d.reject(place, Rejection::MissingAttribute, &element, "step-type");
        ok = false;
    } else if (equalIgnoringAsciiCase(stepType, "half")) {
        data->stepType = 0;
    } else if (equalIgnoringAsciiCase(stepType, "full")) {
        data->stepType = 1;
    } else {
        d.reject(place, Rejection::BadStepType, findAttribute(element, "step-type"), "step-type");
        ok = false;
    }
    if (!ok && !d.observed()) return false;

    const struct {
        Part part;
        const char* name;
        KReelRampTable* table;
    } ramps[] = {{Part::RampUp, kRampUpName, &data->rampUp}, {Part::RampDown, kRampDownName, &data->rampDown}};
    for (const auto& ramp : ramps) {
        const TiXmlElement* found = d.child(place, ramp.name);
        if (found == nullptr || !decodeRamp(d, Place{ramp.part, index, found}, ramp.table)) {
            ok = false;
            if (!d.observed()) return false;
        }
    }
    return d.done(place, ok);
}

bool reelType(Decoding& d, const TiXmlElement& reelDef, ReelDataDef* data) {
    const Place place{Part::ReelDef, 0, &reelDef};
    bool ok = true;
    const TiXmlElement* found = d.child(place, kParamsName);
    if (found == nullptr || !params(d, *found, &data->params)) {
        ok = false;
        if (!d.observed()) return false;
    }
    found = d.child(place, kSymbolTableName);
    if (found == nullptr || !symbolTable(d, *found, &data->symbolTable)) {
        ok = false;
        if (!d.observed()) return false;
    }
    unsigned decoded = 0;
    found = d.child(place, kRampTableName);
    if (found == nullptr) ok = false;
    for (; found != nullptr; found = found->NextSiblingElement(kRampTableName)) {
        if (decoded == kMaxRampTables) {
            d.reject(Place{Part::RampTable, decoded, found}, Rejection::TooManyRampTables, found, kRampTableName);
            ok = false;
            break;
        }
        if (!rampTable(d, *found, decoded, &data->rampTables[decoded])) {
            ok = false;
            if (!d.observed()) return false;
        }
        ++decoded;
    }
    if (ok) data->rampTableCount = static_cast<unsigned char>(decoded);
    return d.done(place, ok);
}

}  // namespace

bool readsAttribute(Part part, const char* name) {
    auto is = [name](const char* known) { return std::strcmp(name, known) == 0; };
    switch (part) {
    case Part::ReelDef: return is("type");
    case Part::Params:
        for (const ParamField& field : kParamFields) {
            if (is(field.name)) return true;
        }
        return false;
    case Part::SymbolTable: return isNumbered(name, 's') || is("steps-per-turn") || is("symbols-per-turn");
    case Part::RampTable: return is("speed") || is("step-type");
    case Part::RampUp:
    case Part::RampDown: return isNumbered(name, 'r') || is("num-entries");
    }
    return false;
}

bool readsChild(Part part, const char* name) {
    auto is = [name](const char* known) { return std::strcmp(name, known) == 0; };
    if (part == Part::ReelDef) return is(kParamsName) || is(kSymbolTableName) || is(kRampTableName);
    return part == Part::RampTable && (is(kRampUpName) || is(kRampDownName));
}

const TiXmlElement* firstReelDef(const TiXmlDocument& document) {
    const TiXmlElement* root = document.FirstChildElement(kRootName);
    return root == nullptr ? nullptr : root->FirstChildElement(kReelDefName);
}

const TiXmlElement* nextReelDef(const TiXmlElement& reelDef) { return reelDef.NextSiblingElement(kReelDefName); }

const TiXmlElement* findReelType(const TiXmlDocument& document, const char* type) {
    for (const TiXmlElement* reelDef = firstReelDef(document); reelDef != nullptr; reelDef = nextReelDef(*reelDef)) {
        const char* name = reelDef->Attribute("type");
        if (name == nullptr) return nullptr;
        if (equalIgnoringAsciiCase(name, type)) return reelDef;
    }
    return nullptr;
}

bool decodeParams(const TiXmlElement& element, ReelParamDef* data, DecodeObserver* observer) {
    Decoding d(observer);
    return params(d, element, data);
}

bool decodeSymbolTable(const TiXmlElement& element, SymbolTableDef* data, DecodeObserver* observer) {
    Decoding d(observer);
    return symbolTable(d, element, data);
}

bool decodeRampTable(const TiXmlElement& element, unsigned index, RampTableDef* data, DecodeObserver* observer) {
    Decoding d(observer);
    return rampTable(d, element, index, data);
}

bool decodeReelType(const TiXmlElement& reelDef, ReelDataDef* data, DecodeObserver* observer) {
    Decoding d(observer);
    return reelType(d, reelDef, data);
}

}  // namespace yarvo::format
