// What the live view needs from the reel-definition file: per reel type its
// turn length and symbol positions, and which type each reel of each board
// carries, so that a reel's position can be shown as the symbol under the
// window.  The library decodes the same file for the host; the view only
// reads the symbol tables and ignores everything else.
#ifndef YARVO_SIM_TOOL_REEL_LABELS_H
#define YARVO_SIM_TOOL_REEL_LABELS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace yarvo::simtool {

struct SymbolStrip {
    std::string type;
    uint32_t turnLength = 0;             // half steps: 2 x steps-per-turn
    std::vector<uint32_t> positions;     // symbol i at positions[i]
};

// The symbol tables of a reel-definition file, by type name (matched
// ignoring letter case; the first reel-def of a name wins, as in the
// library).
class SymbolStrips {
public:
    // False with a message when the file cannot be read or has no reel types.
    // A reel-def whose symbol table is incomplete is skipped.
    bool load(const std::string& path, std::string* error);
    const SymbolStrip* find(const std::string& type) const;
    std::vector<std::string> types() const;   // in file order
    bool empty() const { return strips_.empty(); }

private:
    std::vector<SymbolStrip> strips_;
};

// Which reel type each reel carries, per board instance.  Built from
// --reel-types values:
//   "band-a,classic-12,,deluxe-22"   reels 0, 1 and 3 of every board
//   "2:classic-20,classic-20"        reels 0 and 1 of the board at instance 2
// A later value overrides an earlier one for the reels it names.
class ReelAssignment {
public:
    bool add(const std::string& value, std::string* error);
    // The type of a reel, or "" when none was given.
    std::string typeOf(unsigned instance, unsigned reel) const;
    // Every type named, to check against the file.
    std::vector<std::string> namedTypes() const;

private:
    static constexpr int kEveryBoard = -1;
    std::map<std::pair<int, unsigned>, std::string> types_;
};

}  // namespace yarvo::simtool

#endif
