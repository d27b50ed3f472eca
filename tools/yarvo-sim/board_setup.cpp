// Board specifications of the simulator's command line.
#include "board_setup.h"

#include <set>

namespace yarvo::simtool {

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
