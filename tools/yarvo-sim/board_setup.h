// The virtual cabinet that yarvo-sim serves: which boards sit at which driver
// instances, with which address, speed and product texts.  Shared by the
// kernel-path daemon (which builds the boards in its own virtual driver) and
// the LD_PRELOAD transport (which gets them through YARVO_SIM_BOARDS).
#ifndef YARVO_SIM_TOOL_BOARD_SETUP_H
#define YARVO_SIM_TOOL_BOARD_SETUP_H

#include <string>
#include <vector>

#include "board_list.h"
#include "virtual_driver.h"

namespace yarvo::simtool {

using sim::BoardEntry;
using sim::parseBoardEntry;
using sim::validSpeedText;

struct CabinetPlan {
    std::vector<BoardEntry> boards;    // empty: one board at instance 0, address 0
    std::string speed = "12";         // speed text of boards that name none
    std::string product;              // product text override for every board; empty: the real one
};

// Checks the cabinet as a whole (no instance twice); false with a message.
bool validateCabinet(const CabinetPlan& cabinet, std::string* error);

// The boards with the defaults filled in.
std::vector<BoardEntry> effectiveBoards(const CabinetPlan& cabinet);

// Resets `driver` and plugs the cabinet's boards into it.
void buildCabinet(sim::VirtualDriver& driver, const CabinetPlan& cabinet);

// The YARVO_SIM_BOARDS value that makes the preload library build the same
// boards (the product override has no equivalent there).
std::string preloadBoardList(const CabinetPlan& cabinet);

}  // namespace yarvo::simtool

#endif
