// The cabinet file (yarvo-sim run --cabinet FILE): names for a cabinet's
// inputs and outputs, and per reel type a label and a colour for each
// symbol, for the browser view.  A small JSON file:
//
//   {
//     "inputs":  {"8": "Start", "9": "Stop 1"},
//     "outputs": {"40": "Hopper"},
//     "reel-types": {
//       "classic-12": {"symbols": [{"label": "7", "colour": "#d01c1c"}, {"label": "BAR"}]}
//     }
//   }
//
// Every part is optional.  Inputs are 0-23, outputs 0-63; names and labels
// are one line of at most 40 and 12 characters; colours are "#rgb" or
// "#rrggbb"; a reel type has at most 200 symbols, symbol i being entry i.
// A key the file format does not know is an error (a misspelt "ouputs"
// would otherwise go unnoticed).
#ifndef YARVO_SIM_TOOL_CABINET_FILE_H
#define YARVO_SIM_TOOL_CABINET_FILE_H

#include <map>
#include <string>
#include <vector>

namespace yarvo::simtool {

struct SymbolLook {
    std::string label;    // "" : the page shows the symbol's number
    std::string colour;   // "" : the page's own
};

struct CabinetFile {
    static constexpr size_t kMaxBytes = 1u << 20;

    std::map<unsigned, std::string> inputNames;
    std::map<unsigned, std::string> outputNames;
    // By reel type as written in the file; looked up ignoring letter case.
    std::map<std::string, std::vector<SymbolLook>> symbols;

    // The symbols of a reel type, or null.
    const std::vector<SymbolLook>* symbolsOf(const std::string& type) const;

    // Reads `text` (named `source` in messages).  False with a message such
    // as "demo.json: inputs: \"24\" is not an input 0 to 23".
    bool parse(const std::string& text, const std::string& source, std::string* error);
    // Reads a regular file of at most kMaxBytes.
    bool load(const std::string& path, std::string* error);
};

}  // namespace yarvo::simtool

#endif
