// The live view's model: a board's snapshot (taken without ever waiting for
// the board), turned into the texts the terminal view draws (reel rows,
// output and input maps), plus the keyboard map and the symbol names the
// status command adds.  Free of any terminal code so that tests can check
// what the view would say.
#ifndef YARVO_SIM_TOOL_VIEW_MODEL_H
#define YARVO_SIM_TOOL_VIEW_MODEL_H

#include <cstdint>
#include <string>
#include <unordered_map>
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

// How the view knows a reel's type.
enum class TypeSource {
    None,      // not known: no type named, none matched
    Named,     // --reel-types named it
    Matched,   // the one type of the file whose set-up the host sent
    Guessed,   // the first of several types whose set-up the host sent
};

struct ReelRow {
    unsigned reel = 0;
    std::string type;               // reel type named for it or matched, or ""
    TypeSource typeSource = TypeSource::None;
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
    bool configured = false;        // the host sent the reel's parameters
    bool turned = false;            // the reel has taken steps
};

struct BoardFrame {
    unsigned instance = 0;
    bool plugged = true;
    unsigned address = 0;
    std::string speed;              // the speed attribute's text ("12", "480", ...)
    uint32_t inputs = 0;
    uint64_t outputs = 0;
    ReelRow reels[kReels];
    uint8_t power = 0;              // the power status byte
    uint64_t timeMicros = 0;        // the boards' clock
    uint32_t timeScale = 1;         // board seconds per wall-clock second (--time-scale)
};

// A reel's type as told from what the host sent when it configured the
// reel: the reel parameters (turn length, tab and detection values), the
// duty cycle and, once any were sent, the ramp tables (one speed's ramp-up
// and ramp-down).  A reel that never received reel parameters has none.
struct TypeMatch {
    const SymbolStrip* strip = nullptr;   // the first matching type in file order
    bool guess = false;                   // more than one type matches
};

// Matches reels against the reel types of a file.  Types are indexed by
// their reel parameters and duty cycle, so a look costs the same for a file
// of many types; matching is read-only and safe from several threads.
class ReelTypeMatcher {
public:
    ReelTypeMatcher() = default;
    // `strips` must outlive the matcher and not be reloaded meanwhile.
    explicit ReelTypeMatcher(const SymbolStrips& strips);
    TypeMatch match(const sim::ReelSnapshot& reel) const;

private:
    std::unordered_map<std::string, std::vector<const SymbolStrip*>> bySetUp_;
};

// Reel types, so that the view and status can name the symbol under each
// window: those named (--reel-types) first, else those matched.
struct ReelLabels {
    SymbolStrips strips;
    ReelAssignment assignment;
    ReelTypeMatcher matcher;   // built over `strips` once they are loaded
};

// A reel's type: the one named for it, else the one it matches.
struct ReelType {
    std::string name;
    const SymbolStrip* strip = nullptr;
    TypeSource source = TypeSource::None;
};
ReelType reelTypeOf(const ReelLabels& labels, unsigned instance, unsigned reel, const sim::ReelSnapshot& state);

ReelRow makeReelRow(unsigned reel, const sim::ReelSnapshot& state, uint64_t outputs,
                    const SymbolStrip* strip, const std::string& type);

// One board as the view shows it, from its snapshot.
BoardFrame captureBoard(sim::VirtualDriver& driver, unsigned instance, const SymbolStrips& strips,
                        const ReelAssignment& assignment);
// The same with the reel types matched where none is named.
BoardFrame captureBoard(sim::VirtualDriver& driver, unsigned instance, const ReelLabels& labels);

// The status command's symbol names ("symbol3"), from the labels; nothing
// without them.
sim::SymbolNamer symbolNamer(const ReelLabels* labels);
// The same with the reel types matched where none is named (each name
// looks at the reel's snapshot, never waiting for the board).
sim::SymbolNamer symbolNamer(const ReelLabels* labels, sim::VirtualDriver& driver);

// Texts of the view.
std::string reelFlagsText(const ReelRow& row);   // e.g. "moving sync", "stopped TAMPERED"
std::string symbolText(const ReelRow& row);      // e.g. "#3", "#3+2", "#11-1", "-"
std::string lampsText(const ReelRow& row);       // three characters, '*' lit, '.' dark
std::string reelLine(const ReelRow& row);        // one line of the reel table
std::string bitMap(uint64_t bits, unsigned count, unsigned groupSize);  // "#..# ....", bit 0 first
std::string typeText(const ReelRow& row);        // "classic-20", "classic-20?" for a guess, "-"
std::string boardText(const BoardFrame& frame);  // "board 0: plugged in, address 0, USB full speed (12)"

// The frame as lines of text: the reel table, outputs and inputs, each
// with how it stands out (the terminal view draws them; at the end of a
// run they are printed as they are).
struct FrameLine {
    enum Style { Normal, Heading, Idle, Alert } style = Normal;
    std::string text;
};
std::vector<FrameLine> frameLines(const BoardFrame& frame, bool withKeys = true);
// One line per reel that was set up or has turned, for the end of a run:
// "board 0 reel 1: classic-20, position 120/400, symbol #7, stopped sync".
std::vector<std::string> reelSummary(const BoardFrame& frame);

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
