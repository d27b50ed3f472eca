// The live view in the terminal (ncurses): the selected board's reels,
// outputs and inputs, redrawn 25 times a second; keys toggle inputs and
// unplug the board.  Terminal drawing only: what is shown comes from the
// view model, what keys do goes through the control channel's commands.
#ifndef YARVO_SIM_TOOL_TERMINAL_VIEW_H
#define YARVO_SIM_TOOL_TERMINAL_VIEW_H

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "terminal.h"
#include "view_model.h"

namespace yarvo::simtool {

struct ViewSetup {
    sim::VirtualDriver* driver = nullptr;
    std::vector<unsigned> instances;
    const ReelLabels* labels = nullptr;
    std::string title;         // the program and its pid
    std::string logPath;       // where the program's output goes
    std::string controlPath;   // "" without a control socket
    std::string reelFile;      // where reel types come from, "" without
    unsigned* selected = nullptr;   // receives the board shown last, when not null
};

// Draws on the taken terminal until `running()` turns false, the user
// closes the view (Q) or `*stop` becomes non-zero (set from a signal
// handler), then gives the terminal back.
void runTerminalView(const ViewSetup& setup, Terminal& terminal, const std::function<bool()>& running,
                     const volatile sig_atomic_t* stop);

// The view's last word, printed to `out` once the terminal is given back
// and the program has ended: the frame of board `selected` as it stands
// now, then one line per reel the host set up or turned, on every board.
void printLastFrame(const ViewSetup& setup, unsigned selected, std::FILE* out);

}  // namespace yarvo::simtool

#endif
