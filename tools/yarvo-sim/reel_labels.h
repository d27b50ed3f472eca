// What the live view needs from the reel-definition file: per reel type its
// turn length and symbol positions, and which type each reel of each board
// carries, so that a reel's position can be shown as the symbol under the
// window.  The file is read by the library's own loader and decoder, so the
// view sees exactly the reel types a host can configure.
#ifndef YARVO_SIM_TOOL_REEL_LABELS_H
#define YARVO_SIM_TOOL_REEL_LABELS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "yarvo.h"

namespace yarvo::simtool {

struct SymbolStrip {
    std::string type;
    uint32_t turnLength = 0;             // half steps: 2 x steps-per-turn
    std::vector<uint32_t> positions;     // symbol i at positions[i]
    ReelDataDef definition{};            // the whole decoded reel type
};

// The reel types of a reel-definition file that a host can configure, by
// name (matched ignoring letter case; the first reel-def of a name wins and
// the search ends at a reel-def without type, as in the library).
class SymbolStrips {
public:
    // False with a message when the file does not load (the tools' limits:
    // a regular file of at most 64 MiB) or has no reel type the library
    // accepts.  A reel-def the library rejects is left out.
    bool load(const std::string& path, std::string* error);
    const SymbolStrip* find(const std::string& type) const;
    std::vector<std::string> types() const;   // in file order
    const std::vector<SymbolStrip>& all() const { return strips_; }
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
