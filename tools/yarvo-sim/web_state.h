// The browser view's data, free of any HTTP code so that tests can check it:
// what the page is sent (the layout, sent when it changes, and the state,
// sent up to 30 times a second), the fault panel's table, what an action
// request may ask and the --web address.
//
// The state is compact JSON, one array per reel:
//   {"boards":[{"i":0,"plugged":1,"address":0,"inputs":N,"outputs":[LOW,HIGH],
//     "power":1,"faults":0,"transfers":N,"time":MICROS,
//     "reels":[[POSITION,TRUE_POSITION,TURN,STATE,FLAGS,SPEED,TO_GO,SYMBOL,OFFSET],...]}]}
// STATE indexes kReelStateNames, FLAGS has bit 0 synchronised, 1 tampered,
// 2 synchronisation armed, 3 in use (configured or moved), and its faults:
// 4 jammed, 5 loses steps, 6 index sensor dead, 7 index sensor stuck,
// 8 position error seen, 9 index missing, 10 jams after more steps; SPEED is half steps a second (negative: turning
// back), TO_GO the half steps a counted motion still travels (0 for a skill
// spin that was not told where to stop), SYMBOL the symbol under the window
// by the true position (-1: not known) and OFFSET the half steps past it.
#ifndef YARVO_SIM_TOOL_WEB_STATE_H
#define YARVO_SIM_TOOL_WEB_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "cabinet_file.h"
#include "control_protocol.h"
#include "view_model.h"

namespace yarvo::simtool::web {

// A reel's state as the page's data-state names it.  "skill": a skill spin
// waiting to be stopped; once stopped, it ramps down (or, stopped at a
// position, runs at speed to it first).
enum ReelState { kRampingUp, kAtSpeed, kRampingDown, kStopped, kSkill };
extern const char* const kReelStateNames[5];
ReelState reelState(const sim::ReelSnapshot& reel);
// Half steps a second, negative when turning back; 0 at rest.
int32_t reelSpeed(const sim::ReelSnapshot& reel);

// A board as the page shows it: the view model's frame (reel types, the
// symbol under each window) and the snapshot it came from.
struct WebBoard {
    BoardFrame frame;
    sim::BoardSnapshot snapshot;
};

// What does not change while a board runs.
struct BoardTexts {
    unsigned instance = 0;
    std::string product, speed, firmware;
};

std::string encodeState(const std::vector<WebBoard>& boards);

// Changes when the page's layout must be sent again (a reel's type).
std::string layoutKey(const std::vector<WebBoard>& boards);

// The layout: each board's texts and reel types, the symbols of the reel
// types in use (positions, and labels and colours from the cabinet file),
// the names of inputs and outputs, the fault panel, the errno choices and
// the power status bytes' names ({"1": "good", ...}).
std::string encodeLayout(const std::vector<BoardTexts>& texts, const std::vector<WebBoard>& boards,
                         const SymbolStrips& strips, const CabinetFile& cabinet);

// The fault panel, one row per control-channel command that breaks or
// mends a board.  The page builds the command line "COMMAND BOARD FIELD..."
// from a row; the accessible name is `label` with {board} replaced.
struct FaultField {
    const char* name;      // accessible name, with {board}
    const char* text;      // the field's visible label
    const char* kind;      // "reel" (0-7), "number", "errno" or "choice"
    long min, max, initial;
    const char* choices;   // kind "choice": words separated by '|'
};
struct FaultControl {
    const char* command;   // control-channel command
    const char* text;      // the button's text
    const char* label;     // accessible name, with {board}
    std::vector<FaultField> fields;
};
const std::vector<FaultControl>& faultControls();

// An action from the page: POST /action with the JSON body
//   {"board": B, "command": "input 5 on"}
// The command is a control-channel line carried out for board B as if a
// control client had selected it, so that it behaves as `yarvo-sim ctl`.
struct WebAction {
    unsigned board = 0;
    sim::ControlCommand command;
};
constexpr size_t kMaxActionBytes = 1024;
// False with the reason (answered 400): not that JSON, a board not served,
// a line the control channel refuses, a command that is no action (status,
// boards, board, help) or that names another board than B.
bool parseAction(const std::string& body, const std::vector<unsigned>& instances, WebAction* action,
                 std::string* reason);

// --web [HOST:]PORT.  Empty text: 127.0.0.1 and a free port (0).
struct WebAddress {
    std::string host = "127.0.0.1";
    unsigned port = 0;
    bool loopback = true;
    std::string urlHost() const;   // the host as a URL writes it ([::1])
};
bool parseWebAddress(const std::string& text, WebAddress* address, std::string* error);

}  // namespace yarvo::simtool::web

#endif
