// The control channel of a running simulator: one command per line, one
// reply line per command ("ok ..." or "error: ...").  The same commands come
// from the UNIX socket given with --control, from `yarvo-sim ctl`, and from
// the live view's keys.
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
//   fail B N [ERRNO]         the next N requests to board B fail (EIO by default;
//                            ERRNO a number or a name such as ETIMEDOUT)
//   tamper B REEL HALFSTEPS  turn reel REEL of board B by hand: it is tampered
//                            and unsynchronised, its counter no longer agrees
//
// Empty lines and lines beginning with '#' get no reply.
#ifndef YARVO_SIM_TOOL_CONTROL_H
#define YARVO_SIM_TOOL_CONTROL_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "reel_labels.h"
#include "virtual_driver.h"

namespace yarvo::simtool {

struct ControlCommand {
    enum Op { Help, Status, Boards, Board, Input, Inputs, Address, Unplug, Replug, Fail, Tamper } op = Help;
    enum Switch { Off, On, Toggle };
    int board = -1;          // named board, -1: the selected one
    unsigned number = 0;     // input, reel, address or transfer count
    Switch state = Off;      // input
    uint32_t bits = 0;       // inputs
    int32_t halfSteps = 0;   // tamper
    int err = 0;             // fail
};

// Parses one command line.  False with a message for a line that is not a
// command; *blank is set for lines that need no reply.
bool parseControlLine(const std::string& line, ControlCommand* command, std::string* error,
                      bool* blank = nullptr);

// errno value of "EIO", "ENODEV", ... or a decimal number; -1 if neither.
int errnoFromText(const std::string& text);

// Reel types, so that status can name the symbol under each window.
struct ReelLabels {
    SymbolStrips strips;
    ReelAssignment assignment;
};

// Executes commands against a driver and keeps the board selection of one
// client (a socket connection or the view).  `instances` are the boards
// served; the first is selected at the start.
class ControlSession {
public:
    ControlSession(sim::VirtualDriver& driver, std::vector<unsigned> instances,
                   const ReelLabels* labels = nullptr);
    // The reply to one line, without line end; "" for a line that needs none.
    std::string handle(const std::string& line);
    std::string execute(const ControlCommand& command);
    unsigned selected() const { return selected_; }
    void select(unsigned instance) { selected_ = instance; }

private:
    sim::VirtualDriver* driver_;
    std::vector<unsigned> instances_;
    const ReelLabels* labels_;
    unsigned selected_;
    bool serves(unsigned instance) const;
};

// Serves the control channel on a UNIX stream socket, one thread, any
// number of clients, each with its own selection.
class ControlServer {
public:
    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds `path` (a stale socket left there is replaced; anything else is
    // refused) and starts serving.  False with a message.
    bool start(const std::string& path, sim::VirtualDriver& driver, std::vector<unsigned> instances,
               const ReelLabels* labels, std::string* error);
    // Stops serving and removes the socket.
    void stop();

private:
    std::string path_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::thread thread_;
    void serve(sim::VirtualDriver* driver, std::vector<unsigned> instances, const ReelLabels* labels);
};

// Client side: sends each command to the socket at `path` and writes each
// reply line to `replies`.  Returns 0 when every reply was "ok", 1 when one
// was an error, 2 when the socket could not be reached (message in *error).
int sendControlCommands(const std::string& path, const std::vector<std::string>& commands,
                        std::vector<std::string>* replies, std::string* error);

}  // namespace yarvo::simtool

#endif
