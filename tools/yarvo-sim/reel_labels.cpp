// Symbol tables of the reel-definition file, for the live view.
#include "reel_labels.h"

#include <cstdio>
#include <strings.h>

#include <tinyxml.h>

namespace yarvo::simtool {

namespace {

bool sameType(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool readStrip(TiXmlElement* reelDef, const char* type, SymbolStrip* strip) {
    TiXmlElement* table = reelDef->FirstChildElement("symbol-table");
    if (table == nullptr) {
        return false;
    }
    int steps = 0, count = 0;
    if (table->QueryIntAttribute("steps-per-turn", &steps) != TIXML_SUCCESS ||
        table->QueryIntAttribute("symbols-per-turn", &count) != TIXML_SUCCESS || steps <= 0) {
        return false;
    }
    count &= 0xFF;   // stored in 8 bits by the library
    if (count > 200) {
        return false;
    }
    strip->type = type;
    strip->turnLength = 2u * static_cast<uint32_t>(steps);
    strip->positions.clear();
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "s%03d", i);
        int position = 0;
        if (table->QueryIntAttribute(name, &position) != TIXML_SUCCESS) {
            return false;
        }
        strip->positions.push_back(static_cast<uint32_t>(position));
    }
    return true;
}

}  // namespace

bool SymbolStrips::load(const std::string& path, std::string* error) {
    TiXmlDocument document;
    if (!document.LoadFile(path.c_str(), TIXML_DEFAULT_ENCODING)) {
        *error = path + ": " + (document.ErrorDesc() != nullptr ? document.ErrorDesc() : "cannot be read");
        return false;
    }
    TiXmlElement* root = document.FirstChildElement("tamso-reel-definitions");
    if (root == nullptr) {
        *error = path + ": no tamso-reel-definitions element";
        return false;
    }
    strips_.clear();
    for (TiXmlElement* def = root->FirstChildElement("reel-def"); def != nullptr;
         def = def->NextSiblingElement("reel-def")) {
        const char* type = def->Attribute("type");
        if (type == nullptr || find(type) != nullptr) {
            continue;
        }
        SymbolStrip strip;
        if (readStrip(def, type, &strip)) {
            strips_.push_back(strip);
        }
    }
    if (strips_.empty()) {
        *error = path + ": no reel type with a complete symbol table";
        return false;
    }
    return true;
}

const SymbolStrip* SymbolStrips::find(const std::string& type) const {
    for (const SymbolStrip& s : strips_) {
        if (sameType(s.type, type)) {
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
