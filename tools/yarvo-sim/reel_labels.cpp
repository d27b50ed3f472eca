// Symbol tables of the reel-definition file, for the live view.
#include "reel_labels.h"

#include <memory>

#include <tinyxml.h>

#include "reel_file_format.h"
#include "reel_files.h"

namespace yarvo::simtool {

bool SymbolStrips::load(const std::string& path, std::string* error) {
    strips_.clear();
    if (const std::string problem = tools::reelFilePathProblem(path); !problem.empty()) {
        *error = problem;
        return false;
    }
    detail::ReelFileLoad load;
    const std::unique_ptr<TiXmlDocument> document = tools::loadReelFileForTool(path, &load);
    if (!document) {
        const tools::LoadFailure failure = tools::describeLoadFailure(path, load);
        *error = failure.line == 0 ? failure.message
                                   : path + ":" + std::to_string(failure.line) + ":" +
                                         std::to_string(failure.column) + ": " + failure.message;
        return false;
    }
    for (const TiXmlElement* def = format::firstReelDef(*document); def != nullptr; def = format::nextReelDef(*def)) {
        const char* type = def->Attribute("type");
        if (type == nullptr) break;  // the library's search ends here
        if (find(type) != nullptr) continue;
        SymbolStrip strip;
        if (!format::decodeReelType(*def, &strip.definition, nullptr)) continue;
        strip.type = type;
        const SymbolTableDef& table = strip.definition.symbolTable;
        strip.turnLength = 2u * table.stepsPerTurn;
        strip.positions.assign(table.symbolPositions, table.symbolPositions + table.symbolsPerTurn);
        strips_.push_back(std::move(strip));
    }
    if (strips_.empty()) {
        *error = path + ": no reel type the library can configure (yarvoctl check-reels " + path + " says why)";
        return false;
    }
    return true;
}

const SymbolStrip* SymbolStrips::find(const std::string& type) const {
    for (const SymbolStrip& s : strips_) {
        if (format::equalIgnoringAsciiCase(s.type.c_str(), type.c_str())) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<std::string> SymbolStrips::types() const {
    std::vector<std::string> names;
    for (const SymbolStrip& s : strips_) {
        names.push_back(s.type);
    }
    return names;
}

bool ReelAssignment::add(const std::string& value, std::string* error) {
    int board = kEveryBoard;
    std::string list = value;
    const size_t colon = value.find(':');
    if (colon != std::string::npos) {
        const std::string prefix = value.substr(0, colon);
        unsigned n = 0;
        bool digits = !prefix.empty() && prefix.size() <= 2;
        for (char c : prefix) {
            digits = digits && c >= '0' && c <= '9';
            n = n * 10 + static_cast<unsigned>(c - '0');
        }
        if (!digits || n > 15) {
            *error = "reel types \"" + value + "\": the prefix before ':' must be a board instance 0 to 15";
            return false;
        }
        board = static_cast<int>(n);
        list = value.substr(colon + 1);
    }
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        items.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    if (items.size() > 8) {
        *error = "reel types \"" + value + "\": a board has at most 8 reels";
        return false;
    }
    for (unsigned reel = 0; reel < items.size(); ++reel) {
        if (!items[reel].empty()) {
            types_[{board, reel}] = items[reel];
        }
    }
    return true;
}

std::string ReelAssignment::typeOf(unsigned instance, unsigned reel) const {
    auto it = types_.find({static_cast<int>(instance), reel});
    if (it != types_.end()) {
        return it->second;
    }
    it = types_.find({kEveryBoard, reel});
    return it != types_.end() ? it->second : std::string();
}

std::vector<std::string> ReelAssignment::namedTypes() const {
    std::vector<std::string> names;
    for (const auto& entry : types_) {
        names.push_back(entry.second);
    }
    return names;
}

}  // namespace yarvo::simtool
