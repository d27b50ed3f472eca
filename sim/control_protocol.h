// The control channel of a virtual cabinet: one command per line, one reply
// line per command ("ok ..." or "error: ...").  The same commands come from
// yarvo-sim's control socket (and `yarvo-sim ctl`), from its live view's
// keys, and, under the preload transport, from yarvo_sim_control() inside
// the host (preload.cpp).  This file parses and executes them; serving them
// on a socket is the daemon's business.
//
//   help                     list the commands
//   status [B]               one line on board B (default: the selected board)
//   boards                   the instances served, the selected one first
//   board B                  select board B for the commands below
//   input N on|off|toggle    input N (0-23) of the selected board
//   inputs HEX               all 24 inputs of the selected board (bit n: input n)
//   address A                address of the selected board, 0-7
//
// Inputs 16-18 are the board's address bits: setting them changes the
// address the host finds the board by.
//   unplug B                 board B goes away: its sysfs entries vanish and
//                            every request fails with ENODEV
//   replug B                 board B comes back, state kept
//   fail B N [ERRNO]         the next N requests to board B fail (EIO by
//                            default; ERRNO one of the names of transport.h,
//                            or its number; any other is refused)
//   tamper B REEL HALFSTEPS  turn reel REEL of board B by hand: it is tampered
//                            and unsynchronised, its counter no longer agrees
//   jam B REEL [AFTER_STEPS] the reel stops turning, at once or after that many
//                            more motor steps; the board keeps counting
//   lose-steps B REEL N      each new spin of the reel loses its first N steps
//                            (0: none)
//   index B REEL dead|stuck  the reel's index sensor never / always reports
//   power B good|low|failed  board B's power status; failed stops its reels
//   heal B REEL              the reel's faults are gone (its counter is not
//                            put right until it is synchronised)
//
// Numbers are decimal or 0x hexadecimal (inputs: hexadecimal).  Empty lines
// and lines beginning with '#' get no reply.  Replies never carry control
// characters or bytes above 0x7E: those (and the backslash) are written as
// \xNN, so that a reply is always one line of plain text.
#ifndef YARVO_SIM_CONTROL_PROTOCOL_H
#define YARVO_SIM_CONTROL_PROTOCOL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board_fault.h"
#include "virtual_driver.h"

namespace yarvo::sim {

struct ControlCommand {
    enum Op {
        Help, Status, Boards, Board, Input, Inputs, Address, Unplug, Replug, Fail, Tamper,
        Jam, LoseSteps, Index, Power, Heal   // reel and power faults (board_fault.h)
    } op = Help;
    enum Switch { Off, On, Toggle };
    int board = -1;          // named board, -1: the selected one
    unsigned number = 0;     // input, reel, address or transfer count
    Switch state = Off;      // input
    uint32_t bits = 0;       // inputs
    int32_t halfSteps = 0;   // tamper
    int err = 0;             // fail
    BoardFault fault;        // jam, lose-steps, index, power, heal
};

// Parses one command line.  False with a message for a line that is not a
// command; *blank is set for lines that need no reply.
bool parseControlLine(const std::string& line, ControlCommand* command, std::string* error,
                      bool* blank = nullptr);

// `text` with control characters, bytes above 0x7E and the backslash
// written as \xNN.
std::string escapeControlText(const std::string& text);

// "stopped", "moving", "skill" or "stopping".
const char* motionName(const ReelSnapshot& reel);

// Names what a reel's window shows ("symbol3"), or "" where nothing is
// known; the daemon's reel-definition file gives one.
using SymbolNamer = std::function<std::string(unsigned instance, unsigned reel, uint32_t truePosition)>;

// The status command's line (without "ok "): board, plugged, address,
// inputs, outputs, power, then each reel's position, motion, flags, faults
// (board_fault.h) and symbol.
std::string statusLine(const BoardSnapshot& board, const SymbolNamer& namer);

// Executes commands against a driver and keeps the board selection of one
// client (a socket connection, the view, the preload's entry point).
// `instances` are the boards served; the first is selected at the start.
class ControlSession {
public:
    ControlSession(VirtualDriver& driver, std::vector<unsigned> instances, SymbolNamer namer = nullptr);
    // The reply to one line, without line end; "" for a line that needs none.
    std::string handle(const std::string& line);
    std::string execute(const ControlCommand& command);
    unsigned selected() const { return selected_; }
    void select(unsigned instance) { selected_ = instance; }

private:
    VirtualDriver* driver_;
    std::vector<unsigned> instances_;
    SymbolNamer namer_;
    unsigned selected_;
    bool serves(unsigned instance) const;
    std::string run(const ControlCommand& command);
};

}  // namespace yarvo::sim

#endif
