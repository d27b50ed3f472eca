// check-reels: the library's loader and decoder, with diagnostics on top.
#include "reel_check.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <unordered_map>

#include "reel_file_format.h"
#include "reel_files.h"

namespace yarvo::tools {
namespace {

using namespace yarvo::format;

const TiXmlAttribute* findAttribute(const TiXmlElement& element, const char* name) {
    for (const TiXmlAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        if (std::strcmp(a->Name(), name) == 0) return a;
    }
    return nullptr;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string lowerAscii(const char* s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Edit distance, given up beyond `limit`.
unsigned distance(const std::string& a, const std::string& b, unsigned limit) {
    if (a.size() > b.size() + limit || b.size() > a.size() + limit) return limit + 1;
    std::vector<unsigned> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<unsigned>(j);
    for (size_t i = 1; i <= a.size(); ++i) {
        unsigned diagonal = row[0];
        row[0] = static_cast<unsigned>(i);
        for (size_t j = 1; j <= b.size(); ++j) {
            const unsigned up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0u : 1u)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// A numbered attribute name: the letter and three digits.
bool isNumbered(const char* name, char letter) {
    return name[0] == letter && name[1] >= '0' && name[1] <= '9' && name[2] >= '0' && name[2] <= '9' &&
           name[3] >= '0' && name[3] <= '9' && name[4] == '\0';
}

// The names the decoder reads, per part, for "did you mean".
bool isKnownAttribute(Part part, const char* name) {
    static const char* const params[] = {"position-detection-method", "tamper-detection-method", "duty-cycle-off",
                                         "duty-cycle-on", "tab-width", "tab-type", "tab-offset", "error-deadband"};
    switch (part) {
    case Part::Params:
        return std::any_of(std::begin(params), std::end(params), [&](const char* p) { return std::strcmp(p, name) == 0; });
    case Part::SymbolTable:
        return isNumbered(name, 's') || !std::strcmp(name, "steps-per-turn") || !std::strcmp(name, "symbols-per-turn");
    case Part::RampTable: return !std::strcmp(name, "speed") || !std::strcmp(name, "step-type");
    case Part::RampUp:
    case Part::RampDown: return isNumbered(name, 'r') || !std::strcmp(name, "num-entries");
    case Part::ReelDef: return !std::strcmp(name, "type");
    }
    return false;
}

bool isKnownChild(Part part, const char* name) {
    if (part == Part::ReelDef) {
        return !std::strcmp(name, kParamsName) || !std::strcmp(name, kSymbolTableName) ||
               !std::strcmp(name, kRampTableName);
    }
    return !std::strcmp(name, kRampUpName) || !std::strcmp(name, kRampDownName);
}

// How TinyXML's integer query read a text: whether more digits than 32 bits
// hold followed, and what follows the number (trailing white space aside).
struct IntegerText {
    bool overflow = false;
    const char* rest = "";
    size_t restLength = 0;
};

IntegerText inspectInteger(const char* text) {
    IntegerText out;
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    uint64_t magnitude = 0;
    while (*p >= '0' && *p <= '9') {
        if (magnitude <= (1ull << 40)) magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    out.overflow = magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull);
    out.rest = p;
    out.restLength = std::strlen(p);
    while (out.restLength > 0 && (p[out.restLength - 1] == ' ' || (p[out.restLength - 1] >= '\t' && p[out.restLength - 1] <= '\r'))) {
        --out.restLength;
    }
    return out;
}

std::string label(const Place& place) {
    switch (place.part) {
    case Part::ReelDef: return kReelDefName;
    case Part::Params: return kParamsName;
    case Part::SymbolTable: return kSymbolTableName;
    case Part::RampTable: return std::string(kRampTableName) + " " + std::to_string(place.table);
    case Part::RampUp: return std::string(kRampTableName) + " " + std::to_string(place.table) + " > " + kRampUpName;
    case Part::RampDown: return std::string(kRampTableName) + " " + std::to_string(place.table) + " > " + kRampDownName;
    }
    return "";
}

class Checker : public DecodeObserver {
public:
    explicit Checker(ReelFileReport& report) : report_(report) {}

    // Checks the document; the report gets the errors first, then the
    // warnings, each in the order a host meets them.
    void run(const TiXmlDocument& document, const char* onlyType);

    void integerRead(const Place& place, const TiXmlAttribute& attribute, int value, Storage storage) override;
    void rejected(const Place& place, Rejection rule, const TiXmlBase* where, const char* name,
                  unsigned value) override;
    void elementDone(const Place& place, bool accepted) override;

private:
    void add(Severity severity, const TiXmlBase* where, const std::string& element, const std::string& attribute,
             const std::string& message);
    void error(const TiXmlBase* where, const std::string& element, const std::string& attribute,
               const std::string& message) {
        add(Severity::Error, where, element, attribute, message);
    }
    void warning(const TiXmlBase* where, const std::string& element, const std::string& attribute,
                 const std::string& message) {
        add(Severity::Warning, where, element, attribute, message);
    }
    void checkType(const TiXmlElement& reelDef, const char* name, bool reachable);
    // Later elements of the same name are never read.
    void warnIgnoredDuplicates(const TiXmlElement& first, const std::string& element);
    // Attributes named like entries (s000, r000) beyond the count are ignored.
    void warnEntriesBeyond(const TiXmlElement& element, const std::string& label, char letter, unsigned count,
                           unsigned limit);
    std::string missingElement(const Place& parent, const char* name, const TiXmlBase** where);
    std::string misspeltAttribute(const Place& place, const char* name, const TiXmlBase** where);

    void check(const TiXmlDocument& document, const char* onlyType);

    ReelFileReport& report_;
    std::vector<Diagnostic> warnings_;
    unsigned sequence_ = 0;
    std::string type_;       // reel type being checked
    bool reachable_ = true;  // problems in unreachable types are only warnings

    // What one reel type's decode has shown so far.
    ReelDataDef data_{};
    bool offRead_ = false, onRead_ = false;
    bool turnRead_ = false;      // steps-per-turn read and usable
    bool countRead_ = false;     // symbols-per-turn or num-entries read within its limit
    bool previousRead_ = false;  // the previous symbol's position, for the ascending test
    uint32_t previous_ = 0;
    std::string previousName_;
    bool rampRead_[2] = {};                 // ramp-up, ramp-down of the current ramp table
    bool rampsRead_[kMaxRampTables] = {};   // both ramps of each ramp table
};

void Checker::add(Severity severity, const TiXmlBase* where, const std::string& element,
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
    (d.severity == Severity::Error ? report_.diagnostics : warnings_).push_back(std::move(d));
}

void Checker::integerRead(const Place& place, const TiXmlAttribute& attribute, int value, Storage storage) {
    const auto where = [&] { return label(place); };
    const char* name = attribute.Name();
    const IntegerText text = inspectInteger(attribute.Value());
    if (text.overflow) {
        warning(&attribute, where(), name,
                "\"" + std::string(attribute.Value()) + "\" does not fit in 32 bits; it is read as " +
                    std::to_string(value));
    } else if (text.restLength != 0) {
        warning(&attribute, where(), name,
                "\"" + std::string(attribute.Value()) + "\" is read as " + std::to_string(value) + "; \"" +
                    std::string(text.rest, text.restLength) + "\" after the number is ignored");
    }
    const unsigned char low = static_cast<unsigned char>(value);
    if (value < 0 || value > 255) {
        if (storage == Storage::Low8Bits) {
            warning(&attribute, where(), name, std::to_string(value) + " is stored in 8 bits as " + std::to_string(low));
        } else if (storage == Storage::SentLow8Bits) {
            warning(&attribute, where(), name,
                    std::to_string(value) + ": only its low 8 bits (" + std::to_string(low) + ") reach the board");
        }
    }

    if (place.part == Part::Params) {
        offRead_ = offRead_ || !std::strcmp(name, "duty-cycle-off");
        onRead_ = onRead_ || !std::strcmp(name, "duty-cycle-on");
    } else if (place.part == Part::SymbolTable) {
        if (!std::strcmp(name, "steps-per-turn")) {
            turnRead_ = value > 0 && static_cast<unsigned>(value) <= kMaxStepsPerTurn;
            if (value == 0) {
                warning(&attribute, where(), name,
                        "0 gives a turn of 0 half steps: no reel position can be placed among the symbols");
            }
        } else if (!std::strcmp(name, "symbols-per-turn")) {
            countRead_ = low <= kMaxSymbols;
            if (low == 0) warning(&attribute, where(), name, "no symbols: every symbol-level operation on this reel type fails");
        } else {
            const uint32_t position = static_cast<uint32_t>(value);
            const uint64_t turn = 2ull * static_cast<unsigned>(data_.symbolTable.stepsPerTurn);
            if (turnRead_ && position >= turn) {
                warning(&attribute, where(), name,
                        "position " + std::to_string(position) + " is not below one turn (" + std::to_string(turn) +
                            " half steps)");
            }
            if (previousRead_ && position <= previous_) {
                warning(&attribute, where(), name,
                        "position " + std::to_string(position) + " is not above " + previousName_ + " (" +
                            std::to_string(previous_) + "): positions must ascend");
            }
            previousRead_ = true;
            previous_ = position;
            previousName_ = name;
        }
    } else if (place.part == Part::RampTable) {
        if (!std::strcmp(name, "speed") && value < 0) {
            warning(&attribute, where(), name,
                    "negative speed " + std::to_string(value) +
                        ": speeds are magnitudes and the host's sign gives the direction");
        }
    } else if (!std::strcmp(name, "num-entries")) {
        countRead_ = low <= kMaxRampEntries;
    }
}

void Checker::rejected(const Place& place, Rejection rule, const TiXmlBase* where, const char* name,
                       unsigned value) {
    const std::string element = label(place);
    switch (rule) {
    case Rejection::MissingElement: {
        const std::string message = missingElement(place, name, &where);
        error(where, element, "", message);
        break;
    }
    case Rejection::MissingAttribute: {
        const std::string message = misspeltAttribute(place, name, &where);
        error(where, element, name, "required attribute is missing" + message);
        if (name[0] == 's' && place.part == Part::SymbolTable) previousRead_ = false;
        break;
    }
    case Rejection::NotAnInteger: {
        const auto* attribute = static_cast<const TiXmlAttribute*>(where);
        error(where, element, name, "\"" + std::string(attribute->Value()) + "\" does not begin with an integer");
        if (name[0] == 's' && place.part == Part::SymbolTable) previousRead_ = false;
        break;
    }
    case Rejection::AboveLimit:
        error(where, element, name,
              "stored value " + std::to_string(value) + " is above " +
                  std::to_string(place.part == Part::SymbolTable ? kMaxSymbols : kMaxRampEntries));
        countRead_ = false;
        break;
    case Rejection::TurnTooLong:
        error(where, element, name,
              std::to_string(static_cast<int>(value)) + " is above " + std::to_string(kMaxStepsPerTurn) +
                  ": a turn of that many full steps does not fit the board's 16 bits of half steps");
        break;
    case Rejection::BadStepType:
        error(where, element, name,
              "\"" + std::string(static_cast<const TiXmlAttribute*>(where)->Value()) + "\" is neither half nor full");
        break;
    case Rejection::TooManyRampTables:
        error(where, element, "", "a 26th ramp-table: a reel type has at most 25");
        break;
    }
}

void Checker::elementDone(const Place& place, bool accepted) {
    const TiXmlElement& e = *place.element;
    switch (place.part) {
    case Part::Params:
        if (offRead_ && onRead_ && unsigned(data_.params.dutyCycleOff) + data_.params.dutyCycleOn >= 256) {
            warning(findAttribute(e, "duty-cycle-on"), kParamsName, "duty-cycle-on",
                    "duty-cycle-off " + std::to_string(data_.params.dutyCycleOff) + " + duty-cycle-on " +
                        std::to_string(data_.params.dutyCycleOn) +
                        " is 256 or more: configuring a reel of this type fails with ReelMsgBadDutyCycle (14)");
        }
        warnIgnoredDuplicates(e, kParamsName);
        break;
    case Part::SymbolTable:
        if (countRead_) warnEntriesBeyond(e, kSymbolTableName, 's', data_.symbolTable.symbolsPerTurn, kMaxSymbols);
        warnIgnoredDuplicates(e, kSymbolTableName);
        countRead_ = false;
        break;
    case Part::RampUp:
    case Part::RampDown: {
        const KReelRampTable& ramp = place.part == Part::RampUp ? data_.rampTables[place.table].rampUp
                                                                : data_.rampTables[place.table].rampDown;
        if (countRead_) warnEntriesBeyond(e, label(place), 'r', ramp.length, kMaxRampEntries);
        warnIgnoredDuplicates(e, label(place));
        rampRead_[place.part == Part::RampUp ? 0 : 1] = accepted;
        countRead_ = false;
        break;
    }
    case Part::RampTable:
        rampsRead_[place.table] = rampRead_[0] && rampRead_[1];
        rampRead_[0] = rampRead_[1] = false;
        break;
    case Part::ReelDef: break;
    }
}

// "required element params is missing", with what the file has instead: the
// name in another case, or a name one or two letters off.
std::string Checker::missingElement(const Place& parent, const char* name, const TiXmlBase** where) {
    std::string message = "required element " + std::string(name) + " is missing";
    const TiXmlElement* near = nullptr;
    unsigned best = 3;
    for (const TiXmlElement* other = parent.element->FirstChildElement(); other != nullptr;
         other = other->NextSiblingElement()) {
        if (equalIgnoringAsciiCase(other->Value(), name)) {
            return message + "; " + other->Value() + " at line " + std::to_string(other->Row()) +
                   " does not count (names are case-sensitive)";
        }
        if (isKnownChild(parent.part, other->Value())) continue;
        const unsigned d = distance(lowerAscii(other->Value()), name, 2);
        if (d < best) {
            best = d;
            near = other;
        }
    }
    if (near == nullptr) return message;
    *where = near;
    return "unknown element " + quoted(near->Value()) + " (did you mean " + quoted(name) + "?): " + message;
}

std::string Checker::misspeltAttribute(const Place& place, const char* name, const TiXmlBase** where) {
    const TiXmlAttribute* near = nullptr;
    unsigned best = 3;
    for (const TiXmlAttribute* a = place.element->FirstAttribute(); a != nullptr; a = a->Next()) {
        if (isKnownAttribute(place.part, a->Name())) continue;
        const unsigned d = distance(lowerAscii(a->Name()), name, 2);
        if (d < best) {
            best = d;
            near = a;
        }
    }
    if (near == nullptr) return "";
    *where = near;
    return "; unknown attribute " + quoted(near->Name()) + " (did you mean " + quoted(name) + "?)";
}

void Checker::warnIgnoredDuplicates(const TiXmlElement& first, const std::string& element) {
    for (const TiXmlElement* next = first.NextSiblingElement(first.Value()); next != nullptr;
         next = next->NextSiblingElement(first.Value())) {
        warning(next, element, "",
                "only the first " + std::string(first.Value()) + " (line " + std::to_string(first.Row()) +
                    ") is read; this one is ignored");
    }
}

void Checker::warnEntriesBeyond(const TiXmlElement& element, const std::string& label, char letter, unsigned count,
                                unsigned limit) {
    for (const TiXmlAttribute* a = element.FirstAttribute(); a != nullptr; a = a->Next()) {
        if (!isNumbered(a->Name(), letter)) continue;
        const unsigned index = static_cast<unsigned>(std::atoi(a->Name() + 1));
        if (index >= count) {
            warning(a, label, a->Name(),
                    "ignored: " + (index >= limit ? "beyond the largest index " + std::to_string(limit - 1)
                                                  : "beyond the count " + std::to_string(count)));
        }
    }
}

void Checker::checkType(const TiXmlElement& reelDef, const char* name, bool reachable) {
    ReelTypeReport type;
    type.name = name;
    type.line = reelDef.Row();
    type.column = reelDef.Column();
    type.reachable = reachable;
    type_ = name;
    reachable_ = reachable;
    data_ = ReelDataDef{};
    offRead_ = onRead_ = turnRead_ = countRead_ = previousRead_ = false;
    std::fill(std::begin(rampsRead_), std::end(rampsRead_), false);
    type.accepted = decodeReelType(reelDef, &data_, this);
    const ReelDataDef& d = data_;

    // What the board set-up or the motion computations make of the tables.
    const uint64_t turn = 2ull * d.symbolTable.stepsPerTurn;
    const TiXmlElement* table = reelDef.FirstChildElement(kRampTableName);
    for (unsigned i = 0; i < kMaxRampTables && table != nullptr; ++i, table = table->NextSiblingElement(kRampTableName)) {
        if (!rampsRead_[i]) continue;
        const RampTableDef& r = d.rampTables[i];
        if (i == 0 && r.rampUp.length == 0) {
            warning(table->FirstChildElement(kRampUpName), label(Place{Part::RampUp, 0, table}), "num-entries",
                    "ramp table 0 has an empty ramp-up: configuring a reel of this type fails "
                    "with ReelMsgBadRampLength (12)");
        }
        const unsigned stepSize = r.stepType != 0 ? 2 : 1;
        const int steps = int(r.rampUp.length) + int(r.rampDown.length) - 1;
        if (turnRead_ && steps > 0 && uint64_t(steps) * stepSize > turn) {
            warning(table, label(Place{Part::RampTable, i, table}), "",
                    "its ramps need " + std::to_string(steps) + " steps (" + std::to_string(steps * stepSize) +
                        " half steps), more than one turn (" + std::to_string(turn) + " half steps)");
        }
    }
    report_.types.push_back(std::move(type));
}

void Checker::run(const TiXmlDocument& document, const char* onlyType) {
    check(document, onlyType);
    report_.diagnostics.insert(report_.diagnostics.end(), std::make_move_iterator(warnings_.begin()),
                               std::make_move_iterator(warnings_.end()));
    warnings_.clear();
}

void Checker::check(const TiXmlDocument& document, const char* onlyType) {
    const TiXmlElement* root = document.FirstChildElement(kRootName);
    if (root == nullptr) {
        const TiXmlElement* other = document.RootElement();
        std::string message = "no root element tamso-reel-definitions";
        if (other != nullptr) message += " (the root is " + std::string(other->Value()) + ")";
        error(other, "", "", message);
        return;
    }
    const TiXmlElement* first = firstReelDef(document);
    if (first == nullptr) {
        error(root, kRootName, "", "no reel-def element: no reel type can be found");
        return;
    }

    if (onlyType != nullptr) {
        // The library's search, saying where it ends.
        for (const TiXmlElement* r = first; r != nullptr; r = nextReelDef(*r)) {
            const char* name = r->Attribute("type");
            if (name == nullptr) {
                error(r, kReelDefName, "type",
                      "the type search ends at this reel-def without type: reel type \"" + std::string(onlyType) +
                          "\" is not found");
                return;
            }
            if (equalIgnoringAsciiCase(name, onlyType)) {
                checkType(*r, name, true);
                return;
            }
        }
        error(root, kRootName, "", "reel type \"" + std::string(onlyType) + "\" is not found");
        return;
    }

    // The search ends at the first reel-def without type: the ones after it
    // are unreachable, and so is a name that repeats an earlier one.
    const TiXmlElement* typeless = nullptr;
    std::vector<const char*> hidden;
    for (const TiXmlElement* r = first; r != nullptr; r = nextReelDef(*r)) {
        if (r->Attribute("type") == nullptr) {
            if (typeless == nullptr) typeless = r;
        } else if (typeless != nullptr) {
            hidden.push_back(r->Attribute("type"));
        }
    }
    std::unordered_map<std::string, const TiXmlElement*> seen;  // reachable names, lower case
    bool pastTypeless = false;
    for (const TiXmlElement* r = first; r != nullptr; r = nextReelDef(*r)) {
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
                for (size_t i = 0; i < hidden.size() && i < 20; ++i) message += " " + std::string(hidden[i]);
                if (hidden.size() > 20) message += " ...";
            }
            warning(r, kReelDefName, "type", message);
            continue;
        }
        bool reachable = !pastTypeless;
        if (reachable) {
            const auto inserted = seen.emplace(lowerAscii(name), r);
            if (!inserted.second) {
                const TiXmlElement* earlier = inserted.first->second;
                warning(findAttribute(*r, "type"), kReelDefName, "type",
                        "\"" + std::string(name) + "\" duplicates \"" + earlier->Attribute("type") + "\" (line " +
                            std::to_string(earlier->Row()) + ") ignoring case: this reel type is unreachable");
                reachable = false;
            }
        }
        checkType(*r, name, reachable);
    }
    type_.clear();
    reachable_ = true;
}

}  // namespace

size_t ReelFileReport::errors() const {
    return static_cast<size_t>(std::count_if(diagnostics.begin(), diagnostics.end(),
                                             [](const Diagnostic& d) { return d.severity == Severity::Error; }));
}

size_t ReelFileReport::warnings() const { return diagnostics.size() - errors(); }

ReelFileReport checkReelFile(const std::string& path, const char* onlyType) {
    ReelFileReport report;
    report.path = path;
    detail::ReelFileLoad load;
    const std::unique_ptr<TiXmlDocument> document = loadReelFileForTool(path, &load);
    if (!document) {
        const LoadFailure failure = describeLoadFailure(path, load);
        Diagnostic d;
        d.line = failure.line;
        d.column = failure.column;
        d.message = failure.message + ": configuring any reel fails with ReelMsgFileLoadFailed (27)";
        report.diagnostics.push_back(std::move(d));
        return report;
    }
    report.loaded = true;
    Checker checker(report);
    checker.run(*document, onlyType);
    return report;
}

namespace {

// "file:line:col: " and, when asked, the severity.
std::string formatDiagnostic(const std::string& path, const Diagnostic& d, bool severity) {
    std::string line = path;
    if (d.line > 0) line += ":" + std::to_string(d.line) + ":" + std::to_string(d.column);
    line += ": ";
    if (severity) line += d.severity == Severity::Error ? "error: " : "warning: ";
    std::string where;
    if (!d.reelType.empty()) where = "reel type \"" + d.reelType + "\"";
    if (!d.element.empty()) where += (where.empty() ? "" : ", ") + d.element;
    if (!d.attribute.empty()) where += (where.empty() ? "" : ", ") + std::string("attribute ") + d.attribute;
    if (!where.empty()) line += where + ": ";
    line += d.message;
    return line;
}

}  // namespace

std::string formatDiagnostic(const std::string& path, const Diagnostic& d) { return formatDiagnostic(path, d, true); }

bool readDefinition(const std::string& path, const std::string& type, ReelDataDef* data) {
    detail::ReelFileLoad load;
    const std::unique_ptr<TiXmlDocument> document = loadReelFileForTool(path, &load);
    const TiXmlElement* reelDef = document ? findReelType(*document, type.c_str()) : nullptr;
    return reelDef != nullptr && decodeReelType(*reelDef, data, nullptr);
}

std::string explainReelFileFailure(const std::string& path, const std::string& type, unsigned code) {
    const std::string more = " (yarvoctl check-reels " + path + " tells more)";
    switch (code) {
    case ReelMsgPathTooLong:
        return "the path " + path + " has " + std::to_string(path.size()) + " characters, more than 250";
    case ReelMsgFileLoadFailed: {
        if (const std::string problem = reelFilePathProblem(path); !problem.empty()) return problem;
        detail::ReelFileLoad load;
        if (loadReelFileForTool(path, &load)) return "";
        const LoadFailure failure = describeLoadFailure(path, load);
        if (failure.line == 0) return failure.message;
        return path + ":" + std::to_string(failure.line) + ":" + std::to_string(failure.column) + ": " +
               failure.message;
    }
    case ReelMsgReelTypeNotFound:
    case ReelMsgReelDataError: {
        const ReelFileReport report = checkReelFile(path, type.c_str());
        for (const Diagnostic& d : report.diagnostics) {
            if (d.severity == Severity::Error) return formatDiagnostic(path, d, false) + more;
        }
        return "reel type \"" + type + "\" in " + path + more;
    }
    default:
        return "";
    }
}

}  // namespace yarvo::tools
