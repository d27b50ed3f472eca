// Taking and giving back the terminal (ncurses).
#include "terminal.h"

#include <curses.h>
#include <unistd.h>

#include <cstdlib>

namespace yarvo::simtool {

bool Terminal::take(std::string* error) {
    if (::isatty(STDOUT_FILENO) == 0) {
        *error = "the live view needs a terminal on standard output";
        return false;
    }
    const char* term = std::getenv("TERM");
    screen_ = newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr) {
        *error = std::string("the live view cannot draw on this terminal (TERM=") + (term != nullptr ? term : "") +
                 "); --no-view runs without it";
        return false;
    }
    cbreak();   // Ctrl-C stays a signal
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    keyboard_ = ::isatty(STDIN_FILENO) != 0;
    return true;
}

void Terminal::giveBack() {
    if (screen_ == nullptr) {
        return;
    }
    endwin();
    delscreen(screen_);
    screen_ = nullptr;
}

}  // namespace yarvo::simtool
