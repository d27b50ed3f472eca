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

std::string lowerAscii(const char* s) {
    std::string out(s);
    for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const TiXmlAttribute* attributeNamed(const TiXmlElement& element, const char* name) {
    const TiXmlAttribute* a = element.FirstAttribute();
    while (a != nullptr && std::strcmp(a->Name(), name) != 0) a = a->Next();
    return a;
}

// What follows the number TinyXML's integer query read from a text (trailing
// white space aside), and whether its digits overflow 32 bits.
std::string afterNumber(const char* text, bool* overflow) {
    const char* p = text;
    while (isSpace(*p)) ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= (1ull << 40)) magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
    }
    *overflow = magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull);
    size_t n = std::strlen(p);
    while (n > 0 && isSpace(p[n - 1])) --n;
    return std::string(p, n);
}

std::string label(const Place& place) {
    const std::string table = std::string(kRampTableName) + " " + std::to_string(place.table);
    switch (place.part) {
    case Part::ReelDef: return kReelDefName;
    case Part::Params: return kParamsName;
    case Part::SymbolTable: return kSymbolTableName;
    case Part::RampTable: return table;
    case Part::RampUp: return table + " > " + kRampUpName;
    case Part::RampDown: return table + " > " + kRampDownName;
    }
    return "";
}

class Checker : public DecodeObserver {
public:
    explicit Checker(ReelFileReport& report) : report_(report) {}

    // Checks the document; the report gets the errors first, then the
    // warnings, each in the order a host meets them.
    void run(const TiXmlDocument& document, const char* onlyType) {
        check(document, onlyType);
        report_.diagnostics.insert(report_.diagnostics.end(), std::make_move_iterator(warnings_.begin()),
                                   std::make_move_iterator(warnings_.end()));
    }

    void integerRead(const Place& place, const TiXmlAttribute& attribute, int value, Storage storage) override;
    void rejected(const Place& place, Rejection rule, const TiXmlBase* where, const char* name,
                  unsigned value) override;
    void elementDone(const Place& place, bool accepted) override;

private:
    void add(Severity severity, const TiXmlBase* where, const std::string& element, const char* attribute,
             std::string message);
    void error(const TiXmlBase* where, const std::string& element, const char* attribute, std::string message) {
        add(Severity::Error, where, element, attribute, std::move(message));
    }
    void warning(const TiXmlBase* where, const std::string& element, const char* attribute, std::string message) {
        add(Severity::Warning, where, element, attribute, std::move(message));
    }
    void check(const TiXmlDocument& document, const char* onlyType);
    void checkType(const TiXmlElement& reelDef, const char* name, bool reachable);
    // Later elements of the same name, and numbered attributes beyond the
    // count, are never read.
    void warnIgnored(const Place& place, char letter, unsigned count, unsigned limit);
    // A name of the file one or two letters off `name`, which the decoder
    // does not read: "unknown element 'parms' (did you mean 'params'?)".
    std::string misspelt(const Place& place, const char* name, bool element, const TiXmlBase** where);

    ReelFileReport& report_;
    std::vector<Diagnostic> warnings_;
    unsigned sequence_ = 0;
    std::string type_;       // reel type being checked
    bool reachable_ = true;  // problems in unreachable types are only warnings

    // What the decode of one reel type has shown so far.
    ReelDataDef data_{};
    bool offRead_ = false, onRead_ = false;
    bool turnRead_ = false;      // steps-per-turn read and usable
    bool countRead_ = false;     // symbols-per-turn or num-entries read within its limit
    const TiXmlAttribute* previous_ = nullptr;  // the previous symbol read, for the ascending test
    bool rampRead_[2] = {};                // ramp-up, ramp-down of the current ramp table
    bool rampsRead_[kMaxRampTables] = {};  // both ramps of each ramp table
};

void Checker::add(Severity severity, const TiXmlBase* where, const std::string& element, const char* attribute,
                  std::string message) {
    Diagnostic d;
    d.severity = severity;
    if (where != nullptr) {
        d.line = where->Row();
        d.column = where->Column();
    }
    d.reelType = type_;
    d.element = element;
    d.attribute = attribute != nullptr ? attribute : "";
    d.message = std::move(message);
    if (severity == Severity::Error && !reachable_) {
        d.severity = Severity::Warning;
        d.message += " (in an unreachable reel type)";
    }
    d.sequence = sequence_++;
    (d.severity == Severity::Error ? report_.diagnostics : warnings_).push_back(std::move(d));
}

void Checker::integerRead(const Place& place, const TiXmlAttribute& attribute, int value, Storage storage) {
    const char* name = attribute.Name();
    auto warn = [&](const std::string& message) { warning(&attribute, label(place), name, message); };
    bool overflow = false;
    const std::string rest = afterNumber(attribute.Value(), &overflow);
    const std::string text = "\"" + std::string(attribute.Value()) + "\"";
    if (overflow) {
        warn(text + " does not fit in 32 bits; it is read as " + std::to_string(value));
    } else if (!rest.empty()) {
        warn(text + " is read as " + std::to_string(value) + "; \"" + rest + "\" after the number is ignored");
    }
    const unsigned low = static_cast<unsigned char>(value);
    if ((value < 0 || value > 255) && storage == Storage::Low8Bits) {
        warn(std::to_string(value) + " is stored in 8 bits as " + std::to_string(low));
    } else if ((value < 0 || value > 255) && storage == Storage::SentLow8Bits) {
        warn(std::to_string(value) + ": only its low 8 bits (" + std::to_string(low) + ") reach the board");
    }

    const std::string n = name;
    if (place.part == Part::Params) {
        offRead_ = offRead_ || n == "duty-cycle-off";
        onRead_ = onRead_ || n == "duty-cycle-on";
    } else if (n == "num-entries") {
        countRead_ = low <= kMaxRampEntries;
    } else if (n == "speed" && value < 0) {
        warn("negative speed " + std::to_string(value) + ": speeds are magnitudes and the host's sign gives the direction");
    } else if (n == "steps-per-turn") {
        turnRead_ = value > 0 && static_cast<unsigned>(value) <= kMaxStepsPerTurn;
        if (value == 0) warn("0 gives a turn of 0 half steps: no reel position can be placed among the symbols");
    } else if (n == "symbols-per-turn") {
        countRead_ = low <= kMaxSymbols;
        if (low == 0) warn("no symbols: every symbol-level operation on this reel type fails");
    } else if (place.part == Part::SymbolTable) {
        const uint32_t position = static_cast<uint32_t>(value);
        const uint64_t turn = 2ull * data_.symbolTable.stepsPerTurn;
        if (turnRead_ && position >= turn) {
            warn("position " + std::to_string(position) + " is not below one turn (" + std::to_string(turn) +
                 " half steps)");
        }
        int before = 0;
        if (previous_ != nullptr && previous_->QueryIntValue(&before) == TIXML_SUCCESS &&
            position <= static_cast<uint32_t>(before)) {
            warn("position " + std::to_string(position) + " is not above " + previous_->Name() + " (" +
                 std::to_string(static_cast<uint32_t>(before)) + "): positions must ascend");
        }
        previous_ = &attribute;
    }
}

void Checker::rejected(const Place& place, Rejection rule, const TiXmlBase* where, const char* name,
                       unsigned value) {
    // The attribute's text, where `where` is the attribute.
    auto text = [where] { return "\"" + std::string(static_cast<const TiXmlAttribute*>(where)->Value()) + "\""; };
    if (place.part == Part::SymbolTable && name[0] == 's') previous_ = nullptr;
    switch (rule) {
    case Rejection::MissingElement: {
        std::string message = "required element " + std::string(name) + " is missing";
        const std::string hint = misspelt(place, name, true, &where);
        error(where, label(place), nullptr, hint.empty() ? message : hint + ": " + message);
        break;
    }
    case Rejection::MissingAttribute:
        error(where, label(place), name, "required attribute is missing" + misspelt(place, name, false, &where));
        break;
    case Rejection::NotAnInteger:
        error(where, label(place), name, text() + " does not begin with an integer");
        break;
    case Rejection::AboveLimit:
        countRead_ = false;
        error(where, label(place), name,
              "stored value " + std::to_string(value) + " is above " +
                  std::to_string(place.part == Part::SymbolTable ? kMaxSymbols : kMaxRampEntries));
        break;
    case Rejection::TurnTooLong:
        error(where, label(place), name,
              std::to_string(static_cast<int>(value)) + " is above " + std::to_string(kMaxStepsPerTurn) +
                  ": a turn of that many full steps does not fit the board's 16 bits of half steps");
        break;
    case Rejection::BadStepType:
        error(where, label(place), name, text() + " is neither half nor full");
        break;
    case Rejection::TooManyRampTables:
        error(where, label(place), nullptr, "a 26th ramp-table: a reel type has at most 25");
        break;
    }
}

void Checker::elementDone(const Place& place, bool accepted) {
    switch (place.part) {
    case Part::Params:
        if (offRead_ && onRead_ && unsigned(data_.params.dutyCycleOff) + data_.params.dutyCycleOn >= 256) {
            warning(attributeNamed(*place.element, "duty-cycle-on"), kParamsName, "duty-cycle-on",
                    "duty-cycle-off " + std::to_string(data_.params.dutyCycleOff) + " + duty-cycle-on " +
                        std::to_string(data_.params.dutyCycleOn) +
                        " is 256 or more: configuring a reel of this type fails with ReelMsgBadDutyCycle (14)");
        }
        warnIgnored(place, 0, 0, 0);
        break;
    case Part::SymbolTable:
        warnIgnored(place, countRead_ ? 's' : 0, data_.symbolTable.symbolsPerTurn, kMaxSymbols);
        break;
    case Part::RampUp:
    case Part::RampDown: {
        const RampTableDef& table = data_.rampTables[place.table];
        const bool up = place.part == Part::RampUp;
        warnIgnored(place, countRead_ ? 'r' : 0, up ? table.rampUp.length : table.rampDown.length, kMaxRampEntries);
        rampRead_[up ? 0 : 1] = accepted;
        break;
    }
    case Part::RampTable:
        rampsRead_[place.table] = rampRead_[0] && rampRead_[1];
        rampRead_[0] = rampRead_[1] = false;
        break;
    case Part::ReelDef: break;
    }
    countRead_ = false;
}

void Checker::warnIgnored(const Place& place, char letter, unsigned count, unsigned limit) {
    const TiXmlElement& e = *place.element;
    for (const TiXmlAttribute* a = letter != 0 ? e.FirstAttribute() : nullptr; a != nullptr; a = a->Next()) {
        if (a->Name()[0] != letter || std::strlen(a->Name()) != 4 || !readsAttribute(place.part, a->Name())) continue;
        const unsigned index = static_cast<unsigned>(std::atoi(a->Name() + 1));
        if (index >= count) {
            warning(a, label(place), a->Name(),
                    "ignored: " + (index >= limit ? "beyond the largest index " + std::to_string(limit - 1)
                                                  : "beyond the count " + std::to_string(count)));
        }
    }
    for (const TiXmlElement* next = e.NextSiblingElement(e.Value()); next != nullptr;
         next = next->NextSiblingElement(e.Value())) {
        warning(next, label(place), nullptr,
                "only the first " + std::string(e.Value()) + " (line " + std::to_string(e.Row()) +
                    ") is read; this one is ignored");
    }
}

std::string Checker::misspelt(const Place& place, const char* name, bool element, const TiXmlBase** where) {
    const TiXmlBase* near = nullptr;
    std::string nearName;
    unsigned best = 3;
    auto consider = [&](const TiXmlBase* candidate, const char* candidateName) {
        const unsigned d = distance(lowerAscii(candidateName), name, 2);
        if (d < best) {
            best = d;
            near = candidate;
            nearName = candidateName;
        }
    };
    if (element) {
        for (const TiXmlElement* e = place.element->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
            if (equalIgnoringAsciiCase(e->Value(), name)) {
                return std::string(e->Value()) + " at line " + std::to_string(e->Row()) +
                       " does not count (names are case-sensitive)";
            }
            if (!readsChild(place.part, e->Value())) consider(e, e->Value());
        }
    } else {
        for (const TiXmlAttribute* a = place.element->FirstAttribute(); a != nullptr; a = a->Next()) {
            if (!readsAttribute(place.part, a->Name())) consider(a, a->Name());
        }
    }
    if (near == nullptr) return "";
    *where = near;
    const std::string hint = std::string(element ? "unknown element '" : "unknown attribute '") + nearName +
                             "' (did you mean '" + name + "'?)";
    return element ? hint : "; " + hint;
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
    offRead_ = onRead_ = turnRead_ = countRead_ = false;
    previous_ = nullptr;
    std::fill(std::begin(rampsRead_), std::end(rampsRead_), false);
    type.accepted = decodeReelType(reelDef, &data_, this);

    // What the board set-up or the motion computations make of the tables.
    const uint64_t turn = 2ull * data_.symbolTable.stepsPerTurn;
    const TiXmlElement* table = reelDef.FirstChildElement(kRampTableName);
    for (unsigned i = 0; i < kMaxRampTables && table != nullptr; ++i, table = table->NextSiblingElement(kRampTableName)) {
        if (!rampsRead_[i]) continue;
        const RampTableDef& r = data_.rampTables[i];
        if (i == 0 && r.rampUp.length == 0) {
            warning(table->FirstChildElement(kRampUpName), label(Place{Part::RampUp, 0, table}), "num-entries",
                    "ramp table 0 has an empty ramp-up: configuring a reel of this type fails "
                    "with ReelMsgBadRampLength (12)");
        }
        const unsigned stepSize = r.stepType != 0 ? 2 : 1;
        const int steps = int(r.rampUp.length) + int(r.rampDown.length) - 1;
        if (turnRead_ && steps > 0 && uint64_t(steps) * stepSize > turn) {
            warning(table, label(Place{Part::RampTable, i, table}), nullptr,
                    "its ramps need " + std::to_string(steps) + " steps (" + std::to_string(steps * stepSize) +
                        " half steps), more than one turn (" + std::to_string(turn) + " half steps)");
        }
    }
    report_.types.push_back(std::move(type));
}

void Checker::check(const TiXmlDocument& document, const char* onlyType) {
    const TiXmlElement* root = document.FirstChildElement(kRootName);
    const TiXmlElement* first = firstReelDef(document);
    if (root == nullptr) {
        const TiXmlElement* other = document.RootElement();
        error(other, "", nullptr,
              "no root element tamso-reel-definitions" +
                  (other != nullptr ? " (the root is " + std::string(other->Value()) + ")" : std::string()));
        return;
    }
    if (first == nullptr) {
        error(root, kRootName, nullptr, "no reel-def element: no reel type can be found");
        return;
    }
    if (onlyType != nullptr) {
        if (const TiXmlElement* found = findReelType(document, onlyType)) {
            checkType(*found, found->Attribute("type"), true);
            return;
        }
        // Not found: say where the library's search ended.
        const TiXmlElement* typeless = first;
        while (typeless != nullptr && typeless->Attribute("type") != nullptr) typeless = nextReelDef(*typeless);
        const std::string notFound = "reel type \"" + std::string(onlyType) + "\" is not found";
        if (typeless != nullptr) {
            error(typeless, kReelDefName, "type", "the type search ends at this reel-def without type: " + notFound);
        } else {
            error(root, kRootName, nullptr, notFound);
        }
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
    std::unordered_map<std::string, const TiXmlElement*> seen;  // reachable names in lower case
    bool pastTypeless = false;
    for (const TiXmlElement* r = first; r != nullptr; r = nextReelDef(*r)) {
        const char* name = r->Attribute("type");
        type_.clear();
        reachable_ = true;
        if (r == typeless) {
            pastTypeless = true;
            std::string message = "reel-def without type: the type search ends here";
            if (hidden.empty()) message += "; its content is never read";
            else message += ", so the " + std::to_string(hidden.size()) + " later reel type" +
                            (hidden.size() == 1 ? " is" : "s are") + " unreachable:";
            for (size_t i = 0; i < hidden.size() && i < 20; ++i) message += " " + std::string(hidden[i]);
            if (hidden.size() > 20) message += " ...";
            warning(r, kReelDefName, "type", message);
        }
        if (name == nullptr) continue;
        bool reachable = !pastTypeless;
        if (reachable) {
            const auto inserted = seen.emplace(lowerAscii(name), r);
            if (!inserted.second) {
                const TiXmlElement* earlier = inserted.first->second;
                reachable = false;
                warning(attributeNamed(*r, "type"), kReelDefName, "type",
                        "\"" + std::string(name) + "\" duplicates \"" + earlier->Attribute("type") + "\" (line " +
                            std::to_string(earlier->Row()) + ") ignoring case: this reel type is unreachable");
            }
        }
        checkType(*r, name, reachable);
    }
    type_.clear();
    reachable_ = true;
}

// "file:line:col: " and, when asked, the severity, then where and what.
std::string format(const std::string& path, const Diagnostic& d, bool severity) {
    std::string line = path;
    if (d.line > 0) line += ":" + std::to_string(d.line) + ":" + std::to_string(d.column);
    line += ": ";
    if (severity) line += d.severity == Severity::Error ? "error: " : "warning: ";
    std::string where;
    if (!d.reelType.empty()) where = "reel type \"" + d.reelType + "\"";
    if (!d.element.empty()) where += (where.empty() ? "" : ", ") + d.element;
    if (!d.attribute.empty()) where += (where.empty() ? "" : ", ") + std::string("attribute ") + d.attribute;
    if (!where.empty()) line += where + ": ";
    return line + d.message;
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
    Checker(report).run(*document, onlyType);
    return report;
}

std::string formatDiagnostic(const std::string& path, const Diagnostic& d) { return format(path, d, true); }

bool readDefinition(const std::string& path, const std::string& type, ReelDataDef* data) {
    detail::ReelFileLoad load;
    const std::unique_ptr<TiXmlDocument> document = loadReelFileForTool(path, &load);
    const TiXmlElement* reelDef = document ? findReelType(*document, type.c_str()) : nullptr;
    return reelDef != nullptr && decodeReelType(*reelDef, data, nullptr);
}

std::string explainReelFileFailure(const std::string& path, const std::string& type, unsigned code) {
    const std::string more = " (yarvoctl check-reels " + path + " tells more)";
    if (code == ReelMsgPathTooLong) {
        return "the path " + path + " has " + std::to_string(path.size()) + " characters, more than 250";
    }
    if (code == ReelMsgFileLoadFailed) {
        if (const std::string problem = reelFilePathProblem(path); !problem.empty()) return problem;
        detail::ReelFileLoad load;
        if (loadReelFileForTool(path, &load)) return "";
        const LoadFailure f = describeLoadFailure(path, load);
        return f.line == 0 ? f.message
                           : path + ":" + std::to_string(f.line) + ":" + std::to_string(f.column) + ": " + f.message;
    }
    if (code != ReelMsgReelTypeNotFound && code != ReelMsgReelDataError) return "";
    const ReelFileReport report = checkReelFile(path, type.c_str());
    for (const Diagnostic& d : report.diagnostics) {
        if (d.severity == Severity::Error) return format(path, d, false) + more;
    }
    return "reel type \"" + type + "\" in " + path + more;
}

}  // namespace yarvo::tools
