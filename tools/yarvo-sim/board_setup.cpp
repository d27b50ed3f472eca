// Board specifications of the simulator's command line.
#include "board_setup.h"

#include <set>

namespace yarvo::simtool {

namespace {

bool parseUnsigned(const std::string& text, unsigned limit, unsigned* value) {
    if (text.empty() || text.size() > 3) {
        return false;
    }
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > limit) {
        return false;
    }
    *value = v;
    return true;
}

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

}  // namespace

bool parseBoardEntry(const std::string& text, BoardEntry* entry, std::string* error) {
    BoardEntry result;
    const size_t first = text.find(':');
    const std::string instance = text.substr(0, first);
    if (!parseUnsigned(instance, sim::kInstances - 1, &result.instance)) {
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

bool validateCabinet(const CabinetPlan& cabinet, std::string* error) {
    std::set<unsigned> seen;
    for (const BoardEntry& b : cabinet.boards) {
        if (!seen.insert(b.instance).second) {
            *error = "instance " + std::to_string(b.instance) + " is given twice";
            return false;
        }
    }
    if (!validSpeedText(cabinet.speed)) {
        *error = "speed \"" + cabinet.speed + "\" must be a word such as 12 or 480";
        return false;
    }
    if (cabinet.product.find('\0') != std::string::npos || cabinet.product.size() > 200) {
        *error = "product text must be a short line";
        return false;
    }
    return true;
}

std::vector<BoardEntry> effectiveBoards(const CabinetPlan& cabinet) {
    std::vector<BoardEntry> boards = cabinet.boards;
    if (boards.empty()) {
        boards.push_back(BoardEntry());
    }
    for (BoardEntry& b : boards) {
        if (b.speed.empty()) {
            b.speed = cabinet.speed;
        }
    }
    return boards;
}

void buildCabinet(sim::VirtualDriver& driver, const CabinetPlan& cabinet) {
    driver.reset();
    for (const BoardEntry& b : effectiveBoards(cabinet)) {
        driver.plug(b.instance);
        driver.setSpeed(b.instance, b.speed + "\n");
        if (!cabinet.product.empty()) {
            driver.setProduct(b.instance, cabinet.product + "\n");
        }
        const uint8_t address = static_cast<uint8_t>(b.address);
        driver.withBoard(b.instance, [address](sim::Firmware& fw) { fw.setAddress(address); });
    }
}

std::string preloadBoardList(const CabinetPlan& cabinet) {
    std::string list;
    for (const BoardEntry& b : effectiveBoards(cabinet)) {
        if (!list.empty()) {
            list += ',';
        }
        list += std::to_string(b.instance) + ':' + std::to_string(b.address) + ':' + b.speed;
    }
    return list;
}

}  // namespace yarvo::simtool
