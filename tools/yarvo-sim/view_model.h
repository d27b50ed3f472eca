// The live view's model: a board's snapshot (taken without ever waiting for
// the board), turned into the texts the terminal view draws (reel rows,
// output and input maps), plus the keyboard map and the symbol names the
// status command adds.  Free of any terminal code so that tests can check
// what the view would say.
#ifndef YARVO_SIM_TOOL_VIEW_MODEL_H
#define YARVO_SIM_TOOL_VIEW_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "control_protocol.h"
#include "reel_labels.h"
#include "virtual_driver.h"

namespace yarvo::simtool {

constexpr unsigned kReels = 8;
constexpr unsigned kInputs = 24;
constexpr unsigned kOutputs = 64;

// The symbol nearest to a position, looking both ways round the reel;
// halfway between two, the one the position has passed.
struct SymbolUnderWindow {
    bool known = false;     // false: no strip, or a strip without symbols
    unsigned symbol = 0;
    int offset = 0;         // position minus the symbol's position, within half a turn
};
SymbolUnderWindow symbolAt(const SymbolStrip& strip, uint32_t position);

struct ReelRow {
    unsigned reel = 0;
    std::string type;               // reel type named for it, or ""
    uint32_t position = 0;          // the board's step counter
    uint32_t truePosition = 0;      // where the reel really is
    uint32_t turnLength = 0;
    SymbolUnderWindow symbol;       // under the window, by the true position
    const char* motion = "stopped"; // "stopped", "moving", "skill" or "stopping"
    bool synchronised = false, syncArmed = false, tampered = false;
    bool lamps[3] = {false, false, false};
    uint32_t stepsToGo = 0;
    int8_t stepMode = 0;
    std::string faults;             // the reel's faults and fault flags, e.g. " jammed position-error"
};

struct BoardFrame {
    unsigned instance = 0;
    bool plugged = true;
    unsigned address = 0;
    uint32_t inputs = 0;
    uint64_t outputs = 0;
    ReelRow reels[kReels];
    uint8_t power = 0;              // the power status byte
    uint64_t timeMicros = 0;        // the boards' clock
    uint32_t timeScale = 1;         // board seconds per wall-clock second (--time-scale)
};

// Reel types, so that the view and status can name the symbol under each
// window.
struct ReelLabels {
    SymbolStrips strips;
    ReelAssignment assignment;
};

ReelRow makeReelRow(unsigned reel, const sim::ReelSnapshot& state, uint64_t outputs,
                    const SymbolStrip* strip, const std::string& type);

// One board as the view shows it, from its snapshot.
BoardFrame captureBoard(sim::VirtualDriver& driver, unsigned instance, const SymbolStrips& strips,
                        const ReelAssignment& assignment);

// The status command's symbol names ("symbol3"), from the labels; nothing
// without them.
sim::SymbolNamer symbolNamer(const ReelLabels* labels);

// Texts of the view.
std::string reelFlagsText(const ReelRow& row);   // e.g. "moving sync", "stopped TAMPERED"
std::string symbolText(const ReelRow& row);      // e.g. "#3", "#3+2", "#11-1", "-"
std::string lampsText(const ReelRow& row);       // three characters, '*' lit, '.' dark
std::string reelLine(const ReelRow& row);        // one line of the reel table
std::string bitMap(uint64_t bits, unsigned count, unsigned groupSize);  // "#..# ....", bit 0 first

// Keyboard: 'a' to 'x' toggle inputs 0 to 23 of the selected board.
int inputForKey(int key);        // -1 when the key toggles no input
char keyForInput(unsigned input);

// Keeps which board the view shows among the boards served.
class BoardSelection {
public:
    explicit BoardSelection(std::vector<unsigned> instances);
    unsigned current() const;
    void next();
    void previous();
    const std::vector<unsigned>& instances() const { return instances_; }

private:
    std::vector<unsigned> instances_;
    size_t index_ = 0;
};

}  // namespace yarvo::simtool

#endif
