#include "reel_check.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "reel_file_check.h"
#include "reel_file_format.h"

namespace yarvo::tools {
namespace {

// The file's names and limits are the library's (reel_file_format.h).
using namespace yarvo::format;

const TiXmlAttribute* findAttribute(const TiXmlElement* element, const char* name) {
    for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
        if (std::strcmp(a->Name(), name) == 0) return a;
    }
    return nullptr;
}

// How the integer query reads a text: white space, an optional sign, decimal
// digits, and whatever follows.
struct IntegerText {
    bool digits = false;      // begins with an integer
    bool overflow = false;    // more than a 32-bit integer can hold
    std::string rest;         // what follows the digits, trailing white space removed
};

IntegerText inspectInteger(const char* text) {
    IntegerText out;
    const char* p = text;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    uint64_t magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        out.digits = true;
        if (magnitude <= (1ull << 40)) magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    if (magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull)) out.overflow = true;
    out.rest = p;
    while (!out.rest.empty() && std::isspace(static_cast<unsigned char>(out.rest.back())))
        out.rest.pop_back();
    return out;
}

// An element's place for messages, e.g. "ramp-table 2 > ramp-up".
std::string rampLabel(unsigned table, const char* ramp) {
    std::string label = std::string(kRampTableName) + " " + std::to_string(table);
    if (ramp != nullptr) label += std::string(" > ") + ramp;
    return label;
}

class Checker {
public:
    explicit Checker(ReelFileReport& report) : report_(report) {}

    void run(const TiXmlDocument& document, const char* onlyType);

private:
    ReelFileReport& report_;
    unsigned sequence_ = 0;
    std::string type_;        // reel type being checked
    bool reachable_ = true;   // problems in unreachable types are only warnings

    void add(Severity severity, const TiXmlBase* where, const std::string& element,
             const std::string& attribute, const std::string& message) {
        Diagnostic d;
        d.severity = severity;
        if (where != nullptr) {
            d.line = where->Row();
            d.column = where->Column();
        }
        d.reelType = type_;
        d.element = element;
        d.attribute = attribute;
        d.message = message;
        if (severity == Severity::Error && !reachable_) {
            d.severity = Severity::Warning;
            d.message += " (in an unreachable reel type)";
        }
        d.sequence = sequence_++;
        report_.diagnostics.push_back(std::move(d));
    }
    void error(const TiXmlBase* where, const std::string& element, const std::string& attribute,
               const std::string& message) {
        add(Severity::Error, where, element, attribute, message);
    }
    void warning(const TiXmlBase* where, const std::string& element,
                 const std::string& attribute, const std::string& message) {
        add(Severity::Warning, where, element, attribute, message);
    }

    // A required child element: the first of its name, or an error that
    // points at a child whose name differs only in case.
    const TiXmlElement* requireChild(const TiXmlElement* parent, const std::string& parentLabel,
                                     const char* name);
    // Later elements of the same name are never read.
    void warnIgnoredDuplicates(const TiXmlElement* first, const std::string& label);

    // Reads an integer attribute as the library does; reports a missing or
    // non-integer attribute as an error and trailing garbage or overflow as
    // warnings.
    bool readInt(const TiXmlElement* element, const std::string& label, const char* name,
                 int* value);
    // The low 8 bits of a value, with a warning when that loses something.
    unsigned char store8(const TiXmlElement* element, const std::string& label, const char* name,
                         int value);
    // A 32-bit value of which only the low 8 bits reach the board.
    void warnIfSentAs8(const TiXmlElement* element, const std::string& label, const char* name,
                       int value);
    // Attributes named like entries (s000, r000) beyond the count are ignored.
    void warnEntriesBeyond(const TiXmlElement* element, const std::string& label, char letter,
                           unsigned count, unsigned limit);

    bool checkParams(const TiXmlElement* params, ReelParamDef* data);
    bool checkSymbolTable(const TiXmlElement* table, SymbolTableDef* data, bool* turnKnown);
    bool checkRamp(const TiXmlElement* ramp, const std::string& label, KReelRampTable* data);
    bool checkRampTable(const TiXmlElement* rampTable, unsigned index, RampTableDef* data,
                        bool* rampsRead);
    void checkReelDef(const TiXmlElement* reelDef, ReelTypeReport* type);
};

const TiXmlElement* Checker::requireChild(const TiXmlElement* parent,
                                          const std::string& parentLabel, const char* name) {
    const TiXmlElement* child = parent->FirstChildElement(name);
    if (child != nullptr) return child;
    std::string message = "required element " + std::string(name) + " is missing";
    for (const TiXmlElement* other = parent->FirstChildElement(); other != nullptr;
         other = other->NextSiblingElement()) {
        if (equalIgnoringAsciiCase(other->Value(), name)) {
            message += "; " + std::string(other->Value()) + " at line " +
                       std::to_string(other->Row()) + " does not count (names are case-sensitive)";
            break;
        }
    }
    error(parent, parentLabel, "", message);
    return nullptr;
}

void Checker::warnIgnoredDuplicates(const TiXmlElement* first, const std::string& label) {
    for (const TiXmlElement* next = first->NextSiblingElement(first->Value()); next != nullptr;
         next = next->NextSiblingElement(first->Value())) {
        warning(next, label, "",
                "only the first " + std::string(first->Value()) + " (line " +
                    std::to_string(first->Row()) + ") is read; this one is ignored");
    }
}

bool Checker::readInt(const TiXmlElement* element, const std::string& label, const char* name,
                      int* value) {
    const TiXmlAttribute* attribute = findAttribute(element, name);
    if (attribute == nullptr) {
        error(element, label, name, "required attribute is missing");
        return false;
    }
    int read = 0;
    if (element->QueryIntAttribute(name, &read) != TIXML_SUCCESS) {
        error(attribute, label, name,
              "\"" + std::string(attribute->Value()) + "\" does not begin with an integer");
        return false;
    }
    const IntegerText text = inspectInteger(attribute->Value());
    if (text.overflow) {
        warning(attribute, label, name,
                "\"" + std::string(attribute->Value()) +
                    "\" does not fit in 32 bits; it is read as " + std::to_string(read));
    } else if (!text.rest.empty()) {
        warning(attribute, label, name,
                "\"" + std::string(attribute->Value()) + "\" is read as " + std::to_string(read) +
                    "; \"" + text.rest + "\" after the number is ignored");
    }
    *value = read;
    return true;
}

unsigned char Checker::store8(const TiXmlElement* element, const std::string& label,
                              const char* name, int value) {
    const unsigned char stored = static_cast<unsigned char>(value);
    if (value < 0 || value > 255) {
        warning(findAttribute(element, name), label, name,
                std::to_string(value) + " is stored in 8 bits as " + std::to_string(stored));
    }
    return stored;
}

void Checker::warnIfSentAs8(const TiXmlElement* element, const std::string& label,
                            const char* name, int value) {
    if (value < 0 || value > 255) {
        warning(findAttribute(element, name), label, name,
                std::to_string(value) + ": only its low 8 bits (" +
                    std::to_string(static_cast<unsigned char>(value)) + ") reach the board");
    }
}

void Checker::warnEntriesBeyond(const TiXmlElement* element, const std::string& label,
                                char letter, unsigned count, unsigned limit) {
    for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
        const char* n = a->Name();
        if (n[0] != letter || std::strlen(n) != 4 || !std::isdigit(static_cast<unsigned char>(n[1])) ||
            !std::isdigit(static_cast<unsigned char>(n[2])) ||
            !std::isdigit(static_cast<unsigned char>(n[3])))
            continue;
        const unsigned index = static_cast<unsigned>(std::atoi(n + 1));
        if (index >= count) {
            std::string why = index >= limit ? "beyond the largest index " + std::to_string(limit - 1)
                                             : "beyond the count " + std::to_string(count);
            warning(a, label, n, "ignored: " + why);
        }
    }
}

bool Checker::checkParams(const TiXmlElement* p, ReelParamDef* data) {
    const std::string label = kParamsName;
    bool ok = true;
    int v = 0;
    bool offRead = false, onRead = false;
    if (readInt(p, label, "position-detection-method", &v)) {
        data->positionDetectionMethod = v;
        warnIfSentAs8(p, label, "position-detection-method", v);
    } else ok = false;
    if (readInt(p, label, "tamper-detection-method", &v)) {
        data->tamperDetectionMethod = v;
        warnIfSentAs8(p, label, "tamper-detection-method", v);
    } else ok = false;
    if (readInt(p, label, "duty-cycle-off", &v)) {
        data->dutyCycleOff = store8(p, label, "duty-cycle-off", v);
        offRead = true;
    } else ok = false;
    if (readInt(p, label, "duty-cycle-on", &v)) {
        data->dutyCycleOn = store8(p, label, "duty-cycle-on", v);
        onRead = true;
    } else ok = false;
    if (readInt(p, label, "tab-width", &v)) {
        data->tabWidth = store8(p, label, "tab-width", v);
    } else ok = false;
    if (readInt(p, label, "tab-type", &v)) {
        data->tabType = v;
        warnIfSentAs8(p, label, "tab-type", v);
    } else ok = false;
    if (readInt(p, label, "tab-offset", &v)) {
        data->tabOffset = store8(p, label, "tab-offset", v);
    } else ok = false;
    if (readInt(p, label, "error-deadband", &v)) {
        data->errorDeadband = store8(p, label, "error-deadband", v);
    } else ok = false;

    if (offRead && onRead && unsigned(data->dutyCycleOff) + unsigned(data->dutyCycleOn) >= 256) {
        warning(findAttribute(p, "duty-cycle-on"), label, "duty-cycle-on",
                "duty-cycle-off " + std::to_string(data->dutyCycleOff) + " + duty-cycle-on " +
                    std::to_string(data->dutyCycleOn) +
                    " is 256 or more: configuring a reel of this type fails with "
                    "ReelMsgBadDutyCycle (14)");
    }
    return ok;
}

bool Checker::checkSymbolTable(const TiXmlElement* t, SymbolTableDef* data, bool* turnKnown) {
    const std::string label = kSymbolTableName;
    bool ok = true;
    int v = 0;
    *turnKnown = false;
    if (readInt(t, label, "steps-per-turn", &v)) {
        data->stepsPerTurn = static_cast<unsigned int>(v);
        *turnKnown = v > 0 && data->stepsPerTurn <= kMaxStepsPerTurn;
        if (v == 0) {
            warning(findAttribute(t, "steps-per-turn"), label, "steps-per-turn",
                    "0 gives a turn of 0 half steps: no reel position can be placed among the symbols");
        } else if (data->stepsPerTurn > kMaxStepsPerTurn) {
            error(findAttribute(t, "steps-per-turn"), label, "steps-per-turn",
                  std::to_string(v) + " is above " + std::to_string(kMaxStepsPerTurn) +
                      ": a turn of that many full steps does not fit the board's 16 bits of half steps");
            ok = false;
        }
    } else {
        ok = false;
    }

    if (!readInt(t, label, "symbols-per-turn", &v)) return false;
    const unsigned char count = store8(t, label, "symbols-per-turn", v);
    if (count > kMaxSymbols) {
        error(findAttribute(t, "symbols-per-turn"), label, "symbols-per-turn",
              "stored value " + std::to_string(count) + " is above " + std::to_string(kMaxSymbols));
        return false;
    }
    data->symbolsPerTurn = count;
    if (count == 0) {
        warning(findAttribute(t, "symbols-per-turn"), label, "symbols-per-turn",
                "no symbols: every symbol-level operation on this reel type fails");
    }

    const uint64_t turn = 2ull * data->stepsPerTurn;
    char name[8];
    bool previousRead = false;
    uint32_t previous = 0;
    std::string previousName;
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "s%03u", i);
        if (!readInt(t, label, name, &v)) {
            ok = false;
            previousRead = false;
            continue;
        }
        const uint32_t position = static_cast<uint32_t>(v);
        data->symbolPositions[i] = position;
        const TiXmlAttribute* where = findAttribute(t, name);
        if (*turnKnown && position >= turn) {
            warning(where, label, name,
                    "position " + std::to_string(position) + " is not below one turn (" +
                        std::to_string(turn) + " half steps)");
        }
        if (previousRead && position <= previous) {
            warning(where, label, name,
                    "position " + std::to_string(position) + " is not above " + previousName +
                        " (" + std::to_string(previous) + "): positions must ascend");
        }
        previousRead = true;
        previous = position;
        previousName = name;
    }
    warnEntriesBeyond(t, label, 's', count, kMaxSymbols);
    return ok;
}

bool Checker::checkRamp(const TiXmlElement* ramp, const std::string& label,
                        KReelRampTable* data) {
    int v = 0;
    if (!readInt(ramp, label, "num-entries", &v)) return false;
    const unsigned char count = store8(ramp, label, "num-entries", v);
    if (count > kMaxRampEntries) {
        error(findAttribute(ramp, "num-entries"), label, "num-entries",
              "stored value " + std::to_string(count) + " is above " +
                  std::to_string(kMaxRampEntries));
        return false;
    }
    data->length = count;
    bool ok = true;
    char name[8];
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "r%03u", i);
        if (!readInt(ramp, label, name, &v)) {
            ok = false;
            continue;
        }
        data->entries[i] = store8(ramp, label, name, v);
    }
    warnEntriesBeyond(ramp, label, 'r', count, kMaxRampEntries);
    return ok;
}

bool Checker::checkRampTable(const TiXmlElement* rt, unsigned index, RampTableDef* data,
                             bool* rampsRead) {
    const std::string label = rampLabel(index, nullptr);
    bool ok = true;
    int v = 0;
    if (readInt(rt, label, "speed", &v)) {
        data->speed = v;
        if (v < 0) {
            warning(findAttribute(rt, "speed"), label, "speed",
                    "negative speed " + std::to_string(v) +
                        ": speeds are magnitudes and the host's sign gives the direction");
        }
    } else {
        ok = false;
    }

    const TiXmlAttribute* stepType = findAttribute(rt, "step-type");
    if (stepType == nullptr) {
        error(rt, label, "step-type", "required attribute is missing");
        ok = false;
    } else if (equalIgnoringAsciiCase(stepType->Value(), "half")) {
        data->stepType = 0;
    } else if (equalIgnoringAsciiCase(stepType->Value(), "full")) {
        data->stepType = 1;
    } else {
        error(stepType, label, "step-type",
              "\"" + std::string(stepType->Value()) + "\" is neither half nor full");
        ok = false;
    }

    bool upRead = false, downRead = false;
    const TiXmlElement* up = requireChild(rt, label, kRampUpName);
    if (up != nullptr) {
        upRead = checkRamp(up, rampLabel(index, kRampUpName), &data->rampUp);
        ok = ok && upRead;
        warnIgnoredDuplicates(up, rampLabel(index, kRampUpName));
    } else {
        ok = false;
    }
    const TiXmlElement* down = requireChild(rt, label, kRampDownName);
    if (down != nullptr) {
        downRead = checkRamp(down, rampLabel(index, kRampDownName), &data->rampDown);
        ok = ok && downRead;
        warnIgnoredDuplicates(down, rampLabel(index, kRampDownName));
    } else {
        ok = false;
    }
    *rampsRead = upRead && downRead;
    return ok;
}

void Checker::checkReelDef(const TiXmlElement* reelDef, ReelTypeReport* type) {
    ReelDataDef& d = type->data;
    bool ok = true;

    const TiXmlElement* params = requireChild(reelDef, kReelDefName, kParamsName);
    if (params != nullptr) {
        ok = checkParams(params, &d.params) && ok;
        warnIgnoredDuplicates(params, kParamsName);
    } else {
        ok = false;
    }

    bool turnRead = false;
    const TiXmlElement* symbols = requireChild(reelDef, kReelDefName, kSymbolTableName);
    if (symbols != nullptr) {
        ok = checkSymbolTable(symbols, &d.symbolTable, &turnRead) && ok;
        warnIgnoredDuplicates(symbols, kSymbolTableName);
    } else {
        ok = false;
    }

    const TiXmlElement* rt = requireChild(reelDef, kReelDefName, kRampTableName);
    if (rt == nullptr) ok = false;
    unsigned decoded = 0;
    bool rampsRead[kMaxRampTables] = {};
    for (; rt != nullptr; rt = rt->NextSiblingElement(kRampTableName)) {
        if (decoded == kMaxRampTables) {
            error(rt, rampLabel(decoded, nullptr), "",
                  "a 26th ramp-table: a reel type has at most 25");
            ok = false;
            break;
        }
        ok = checkRampTable(rt, decoded, &d.rampTables[decoded], &rampsRead[decoded]) && ok;
        ++decoded;
    }
    if (ok) d.rampTableCount = static_cast<unsigned char>(decoded);
    type->accepted = ok;

    // What the board set-up or the motion computations make of the tables.
    const TiXmlElement* table = reelDef->FirstChildElement(kRampTableName);
    const uint64_t turn = 2ull * d.symbolTable.stepsPerTurn;
    for (unsigned i = 0; i < decoded && table != nullptr;
         ++i, table = table->NextSiblingElement(kRampTableName)) {
        if (!rampsRead[i]) continue;
        const RampTableDef& r = d.rampTables[i];
        if (i == 0 && r.rampUp.length == 0) {
            warning(table->FirstChildElement(kRampUpName), rampLabel(0, kRampUpName), "num-entries",
                    "ramp table 0 has an empty ramp-up: configuring a reel of this type fails "
                    "with ReelMsgBadRampLength (12)");
        }
        const unsigned stepSize = r.stepType != 0 ? 2 : 1;
        const int steps = int(r.rampUp.length) + int(r.rampDown.length) - 1;
        if (turnRead && steps > 0 && uint64_t(steps) * stepSize > turn) {
            warning(table, rampLabel(i, nullptr), "",
                    "its ramps need " + std::to_string(steps) + " steps (" +
                        std::to_string(steps * stepSize) + " half steps), more than one turn (" +
                        std::to_string(turn) + " half steps)");
        }
    }
}

void Checker::run(const TiXmlDocument& document, const char* onlyType) {
    const TiXmlElement* root = document.FirstChildElement(kRootName);
    if (root == nullptr) {
        const TiXmlElement* other = document.RootElement();
        std::string message = "no root element tamso-reel-definitions";
        if (other != nullptr) message += " (the root is " + std::string(other->Value()) + ")";
        error(other, "", "", message);
        return;
    }
    const TiXmlElement* first = root->FirstChildElement(kReelDefName);
    if (first == nullptr) {
        error(root, kRootName, "", "no reel-def element: no reel type can be found");
        return;
    }

    if (onlyType != nullptr) {
        // The library's search: the first match ignoring case, ending at a
        // reel-def without type.
        for (const TiXmlElement* r = first; r != nullptr; r = r->NextSiblingElement(kReelDefName)) {
            const char* name = r->Attribute("type");
            if (name == nullptr) {
                error(r, kReelDefName, "type",
                      "the type search ends at this reel-def without type: reel type \"" +
                          std::string(onlyType) + "\" is not found");
                return;
            }
            if (equalIgnoringAsciiCase(name, onlyType)) {
                ReelTypeReport type;
                type.name = name;
                type.line = r->Row();
                type.column = r->Column();
                type_ = name;
                checkReelDef(r, &type);
                report_.types.push_back(type);
                return;
            }
        }
        error(root, kRootName, "", "reel type \"" + std::string(onlyType) + "\" is not found");
        return;
    }

    // First the reachability of every reel-def, then the checks in document
    // order, each reel-def's own warnings where it stands.
    const TiXmlElement* typeless = nullptr;
    std::vector<const TiXmlElement*> hidden;
    for (const TiXmlElement* r = first; r != nullptr; r = r->NextSiblingElement(kReelDefName)) {
        if (r->Attribute("type") == nullptr) {
            if (typeless == nullptr) typeless = r;
        } else if (typeless != nullptr) {
            hidden.push_back(r);
        }
    }
    std::vector<std::pair<std::string, int>> seen;  // reachable names and their lines
    bool pastTypeless = false;
    for (const TiXmlElement* r = first; r != nullptr; r = r->NextSiblingElement(kReelDefName)) {
        const char* name = r->Attribute("type");
        type_.clear();
        reachable_ = true;
        if (name == nullptr) {
            if (r != typeless) continue;
            pastTypeless = true;
            std::string message = "reel-def without type: the type search ends here";
            if (hidden.empty()) {
                message += "; its content is never read";
            } else {
                message += ", so the " + std::to_string(hidden.size()) + " later reel type" +
                           (hidden.size() == 1 ? " is" : "s are") + " unreachable:";
                for (const TiXmlElement* h : hidden) message += " " + std::string(h->Attribute("type"));
            }
            warning(r, kReelDefName, "type", message);
            continue;
        }
        bool reachable = !pastTypeless;
        if (reachable) {
            for (const auto& earlier : seen) {
                if (equalIgnoringAsciiCase(earlier.first.c_str(), name)) {
                    warning(findAttribute(r, "type"), kReelDefName, "type",
                            "\"" + std::string(name) + "\" duplicates \"" + earlier.first +
                                "\" (line " + std::to_string(earlier.second) +
                                ") ignoring case: this reel type is unreachable");
                    reachable = false;
                    break;
                }
            }
            if (reachable) seen.emplace_back(name, r->Row());
        }
        ReelTypeReport type;
        type.name = name;
        type.line = r->Row();
        type.column = r->Column();
        type.reachable = reachable;
        type_ = type.name;
        reachable_ = reachable;
        checkReelDef(r, &type);
        report_.types.push_back(type);
    }
    type_.clear();
    reachable_ = true;
}

}  // namespace

size_t ReelFileReport::errors() const {
    return static_cast<size_t>(std::count_if(diagnostics.begin(), diagnostics.end(), [](const Diagnostic& d) {
        return d.severity == Severity::Error;
    }));
}

size_t ReelFileReport::warnings() const { return diagnostics.size() - errors(); }

ReelFileReport checkReelFile(const std::string& path, const char* onlyType) {
    ReelFileReport report;
    report.path = path;
    Diagnostic failed;
    failed.severity = Severity::Error;
    // Loaded by the library's own loader.
    yarvo::detail::ReelFileLoad load;
    std::unique_ptr<TiXmlDocument> owned(yarvo::detail::loadReelFile(path.c_str(), &load));
    if (!owned) {
        failed.line = load.status == yarvo::detail::ReelFileLoad::Refused ? load.screening.row : load.row;
        failed.column = load.status == yarvo::detail::ReelFileLoad::Refused ? load.screening.column : load.column;
        switch (load.status) {
        case yarvo::detail::ReelFileLoad::CannotOpen:
            failed.message = std::string("cannot be opened (") + std::strerror(load.systemError) + ")";
            break;
        case yarvo::detail::ReelFileLoad::Refused:
            failed.message = "refused before parsing (elements nested deeper than " +
                             std::to_string(yarvo::detail::kMaxReelFileNesting) +
                             ", broken UTF-8, a malformed character reference or a byte the host's locale decides)";
            break;
        case yarvo::detail::ReelFileLoad::ParseFailed:
            failed.message = load.parserError;
            break;
        default:
            failed.message = "cannot be read";
            break;
        }
        failed.message += ": configuring any reel fails with ReelMsgFileLoadFailed (27)";
        report.diagnostics.push_back(failed);
        return report;
    }
    const TiXmlDocument& document = *owned;
    report.loaded = true;
    Checker checker(report);
    checker.run(document, onlyType);
    std::stable_sort(report.diagnostics.begin(), report.diagnostics.end(),
                     [](const Diagnostic& a, const Diagnostic& b) {
                         if (a.severity != b.severity) return a.severity == Severity::Error;
                         return a.sequence < b.sequence;
                     });
    return report;
}

std::string formatDiagnostic(const std::string& path, const Diagnostic& d) {
    std::string line = path;
    if (d.line > 0) line += ":" + std::to_string(d.line) + ":" + std::to_string(d.column);
    line += d.severity == Severity::Error ? ": error: " : ": warning: ";
    std::string where;
    if (!d.reelType.empty()) where = "reel type \"" + d.reelType + "\"";
    if (!d.element.empty()) where += (where.empty() ? "" : ", ") + d.element;
    if (!d.attribute.empty()) where += (where.empty() ? "" : ", ") + std::string("attribute ") + d.attribute;
    if (!where.empty()) line += where + ": ";
    line += d.message;
    return line;
}

}  // namespace yarvo::tools
