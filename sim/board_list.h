// The board list of a virtual cabinet as people write it: entries
// "INSTANCE[:ADDRESS[:SPEED]]", comma-separated in YARVO_SIM_BOARDS and one
// per --board option of yarvo-sim.
#ifndef YARVO_SIM_BOARD_LIST_H
#define YARVO_SIM_BOARD_LIST_H

#include <string>

namespace yarvo::sim {

struct BoardEntry {
    unsigned instance = 0;   // 0-15: /dev/Kmora_<instance>
    unsigned address = 0;    // 0-7: what the board's address inputs read
    std::string speed;       // speed attribute text without line end; empty: the cabinet's default
};

// Parses one entry.  False with a message in *error when the instance is not
// 0-15, the address not 0-7, or the speed not a printable word.
bool parseBoardEntry(const std::string& text, BoardEntry* entry, std::string* error);

// A speed attribute text: a printable word without ':' or ','.
bool validSpeedText(const std::string& text);

}  // namespace yarvo::sim

#endif
