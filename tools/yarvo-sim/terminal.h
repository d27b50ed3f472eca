// The terminal the live view draws on: taken before the host program starts
// (so that a terminal the view cannot use is found out while nothing runs
// yet) and given back as it was when the view ends, by Q, at the host's end
// or on Ctrl-C.
#ifndef YARVO_SIM_TOOL_TERMINAL_H
#define YARVO_SIM_TOOL_TERMINAL_H

#include <string>

struct screen;

namespace yarvo::simtool {

class Terminal {
public:
    Terminal() = default;
    ~Terminal() { giveBack(); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Takes the terminal on standard output for drawing, with keys from
    // standard input when that is a terminal too.  False with a message
    // when standard output is no terminal, or TERM names none the view can
    // draw on.
    bool take(std::string* error);
    // Restores the terminal's modes and screen; nothing when not taken.
    void giveBack();
    bool taken() const { return screen_ != nullptr; }
    bool keyboard() const { return keyboard_; }

private:
    screen* screen_ = nullptr;
    bool keyboard_ = false;
};

}  // namespace yarvo::simtool

#endif
