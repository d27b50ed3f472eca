// The live view's terminal drawing.
#include "terminal_view.h"

#include <curses.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "view_model.h"

namespace yarvo::simtool {

namespace {

constexpr int kFrameMillis = 40;   // 25 frames a second

void drawLine(int row, const std::string& text, attr_t attributes = A_NORMAL) {
    if (row >= LINES) {
        return;
    }
    attron(attributes);
    mvaddnstr(row, 0, text.c_str(), COLS > 0 ? COLS : 0);
    attroff(attributes);
}

void drawFrame(const ViewSetup& setup, const BoardSelection& selection, const BoardFrame& frame,
               const std::string& message) {
    erase();
    int row = 0;
    char clock[96];
    std::snprintf(clock, sizeof clock, "   board time %.1f s%s   power %s", double(frame.timeMicros) / 1e6,
                  frame.timeScale > 1 ? (" (x" + std::to_string(frame.timeScale) + ")").c_str() : "",
                  sim::powerName(frame.power).c_str());
    drawLine(row++, "yarvo-sim  " + setup.title + clock, A_BOLD);
    std::string where = "output: " + setup.logPath;
    if (!setup.controlPath.empty()) {
        where += "   control: " + setup.controlPath;
    }
    drawLine(row++, where);

    std::string boards = "boards:";
    for (unsigned instance : selection.instances()) {
        boards += instance == selection.current() ? " [" + std::to_string(instance) + "]"
                                                  : "  " + std::to_string(instance) + " ";
    }
    char state[96];
    std::snprintf(state, sizeof state, "    board %u: %s, address %u", frame.instance,
                  frame.plugged ? "plugged in" : "UNPLUGGED", frame.address);
    drawLine(row++, boards + state, frame.plugged ? A_NORMAL : A_BOLD);
    ++row;

    drawLine(row++, "r  type        position            symbol  state                    lamps", A_UNDERLINE);
    for (const ReelRow& reel : frame.reels) {
        const bool active = std::strcmp(reel.motion, "stopped") != 0;
        drawLine(row++, reelLine(reel), reel.tampered ? A_BOLD : (active ? A_NORMAL : A_DIM));
    }
    ++row;
    drawLine(row++, "outputs  0-31  " + bitMap(frame.outputs & 0xFFFFFFFFull, 32, 8));
    drawLine(row++, "        32-63  " + bitMap(frame.outputs >> 32, 32, 8));
    std::string keys;
    for (unsigned i = 0; i < kInputs; ++i) {
        if (i != 0 && i % 8 == 0) {
            keys += ' ';
        }
        keys += keyForInput(i);
    }
    drawLine(row++, "inputs   keys  " + keys);
    drawLine(row++, "         0-23  " + bitMap(frame.inputs, kInputs, 8));
    ++row;
    drawLine(row++, "a-x toggle input   Tab next board   U unplug/replug   Q close view   Ctrl-C stop program",
             A_DIM);
    if (!message.empty()) {
        drawLine(row++, "> " + message);
    }
    refresh();
}

}  // namespace

void runTerminalView(const ViewSetup& setup, Terminal& terminal, const std::function<bool()>& running,
                     const volatile sig_atomic_t* stop) {
    timeout(kFrameMillis);
    BoardSelection selection(setup.instances);
    sim::ControlSession session(*setup.driver, setup.instances, symbolNamer(setup.labels));
    static const ReelLabels noLabels;
    const ReelLabels& labels = setup.labels != nullptr ? *setup.labels : noLabels;
    // Without a terminal on standard input there are no keys to wait for
    // (and reading would return at once): the frames are paced by sleeping.
    const bool keyboard = terminal.keyboard();
    std::string message = keyboard ? "" : "no keyboard: standard input is not a terminal";

    while (running() && *stop == 0) {
        session.select(selection.current());
        const BoardFrame frame = captureBoard(*setup.driver, selection.current(), labels.strips, labels.assignment);
        drawFrame(setup, selection, frame, message);

        if (!keyboard) {
            napms(kFrameMillis);
            continue;
        }
        const int key = getch();
        if (key == ERR || key == KEY_RESIZE) {
            continue;
        }
        const int input = inputForKey(key);
        if (input >= 0) {
            message = session.handle("input " + std::to_string(input) + " toggle");
        } else if (key == '\t' || key == KEY_RIGHT || key == ']') {
            selection.next();
        } else if (key == KEY_BTAB || key == KEY_LEFT || key == '[') {
            selection.previous();
        } else if (key == 'U') {
            const std::string board = std::to_string(selection.current());
            message = session.handle((frame.plugged ? "unplug " : "replug ") + board);
        } else if (key == 'Q') {
            break;
        }
    }
    terminal.giveBack();
}

}  // namespace yarvo::simtool
