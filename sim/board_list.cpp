// Parsing of the board list entries of a virtual cabinet.
#include "board_list.h"

#include "numbers.h"
#include "virtual_driver.h"

namespace yarvo::sim {

namespace {

bool parseUnsigned(const std::string& text, unsigned limit, unsigned* value) {
    long long v = 0;
    std::string ignored;
    if (!tools::parseInteger(text, 0, limit, &v, &ignored)) {
        return false;
    }
    *value = static_cast<unsigned>(v);
    return true;
}

}  // namespace

// A speed text is printable ASCII without ':' or ',' (those separate the
// entries of the preload's board list).
bool validSpeedText(const std::string& text) {
    if (text.empty() || text.size() > 32) {
        return false;
    }
    for (char c : text) {
        if (c <= ' ' || c > '~' || c == ':' || c == ',') {
            return false;
        }
    }
    return true;
}

bool parseBoardEntry(const std::string& text, BoardEntry* entry, std::string* error) {
    BoardEntry result;
    const size_t first = text.find(':');
    const std::string instance = text.substr(0, first);
    if (!parseUnsigned(instance, kInstances - 1, &result.instance)) {
        *error = "board \"" + text + "\": instance must be 0 to 15";
        return false;
    }
    if (first != std::string::npos) {
        const size_t second = text.find(':', first + 1);
        const std::string address =
            text.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (!parseUnsigned(address, 7, &result.address)) {
            *error = "board \"" + text + "\": address must be 0 to 7";
            return false;
        }
        if (second != std::string::npos) {
            result.speed = text.substr(second + 1);
            if (!validSpeedText(result.speed)) {
                *error = "board \"" + text + "\": speed must be a word such as 12 or 480";
                return false;
            }
        }
    }
    *entry = result;
    return true;
}

}  // namespace yarvo::sim
