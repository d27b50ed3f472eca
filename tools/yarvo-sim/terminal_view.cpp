// The live view's terminal drawing.
#include "terminal_view.h"

#include <curses.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board_name.h"
#include "view_model.h"

namespace yarvo::simtool {

namespace {

constexpr int kFrameMillis = 40;   // 25 frames a second

const ReelLabels& noLabels() {
    static const ReelLabels none;
    return none;
}

std::string usbSpeed(const BoardFrame& board) {
    return std::string(names::usbSpeedName(board.speed.c_str())) + " speed";
}

void drawLine(int row, const std::string& text, attr_t attributes = A_NORMAL) {
    if (row >= LINES) {
        return;
    }
    attron(attributes);
    mvaddnstr(row, 0, text.c_str(), COLS > 0 ? COLS : 0);
    attroff(attributes);
}

attr_t attributesOf(FrameLine::Style style) {
    switch (style) {
    case FrameLine::Heading: return A_UNDERLINE;
    case FrameLine::Idle: return A_DIM;
    case FrameLine::Alert: return A_BOLD;
    case FrameLine::Normal: break;
    }
    return A_NORMAL;
}

// Each board served with its address and USB speed, the shown one in
// brackets, wrapped to the terminal's width.
std::vector<std::string> boardList(const ViewSetup& setup, const BoardSelection& selection, const BoardFrame& shown) {
    std::vector<std::string> lines{"boards:"};
    for (unsigned instance : selection.instances()) {
        const BoardFrame board = instance == shown.instance ? shown : captureBoard(*setup.driver, instance, noLabels());
        std::string item = std::to_string(instance) + ": address " + std::to_string(board.address) + ", " +
                           usbSpeed(board) + (board.plugged ? "" : ", unplugged");
        item = instance == shown.instance ? " [" + item + "]" : "  " + item + " ";
        if (lines.back().size() > 7 && static_cast<int>(lines.back().size() + item.size()) > COLS) {
            lines.emplace_back("      ");
        }
        lines.back() += item;
    }
    return lines;
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
    if (!setup.reelFile.empty()) {
        where += "   reel types: " + setup.reelFile;
    }
    if (!setup.controlPath.empty()) {
        where += "   control: " + setup.controlPath;
    }
    drawLine(row++, where);
    for (const std::string& line : boardList(setup, selection, frame)) {
        drawLine(row++, line);
    }
    drawLine(row++, boardText(frame), frame.plugged ? A_NORMAL : A_BOLD);
    ++row;
    for (const FrameLine& line : frameLines(frame)) {
        drawLine(row++, line.text, attributesOf(line.style));
    }
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
    sim::ControlSession session(*setup.driver, setup.instances, symbolNamer(setup.labels, *setup.driver));
    const ReelLabels& labels = setup.labels != nullptr ? *setup.labels : noLabels();
    // Without a terminal on standard input there are no keys to wait for
    // (and reading would return at once): the frames are paced by sleeping.
    const bool keyboard = terminal.keyboard();
    std::string message = keyboard ? "" : "no keyboard: standard input is not a terminal";

    while (running() && *stop == 0) {
        session.select(selection.current());
        const BoardFrame frame = captureBoard(*setup.driver, selection.current(), labels);
        if (setup.selected != nullptr) {
            *setup.selected = selection.current();
        }
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

void printLastFrame(const ViewSetup& setup, unsigned selected, std::FILE* out) {
    const ReelLabels& labels = setup.labels != nullptr ? *setup.labels : noLabels();
    const BoardFrame shown = captureBoard(*setup.driver, selected, labels);
    std::fprintf(out, "%s\n", boardText(shown).c_str());
    for (const FrameLine& line : frameLines(shown, false)) {
        std::fprintf(out, "%s\n", line.text.c_str());
    }
    std::fprintf(out, "\n");
    for (unsigned instance : setup.instances) {
        const BoardFrame board = instance == selected ? shown : captureBoard(*setup.driver, instance, labels);
        for (const std::string& line : reelSummary(board)) {
            std::fprintf(out, "%s\n", line.c_str());
        }
    }
    std::fflush(out);
}

}  // namespace yarvo::simtool
