// The live view's model: board snapshots and the texts drawn from them.
#include "view_model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace yarvo::simtool {

SymbolUnderWindow symbolAt(const SymbolStrip& strip, uint32_t position) {
    SymbolUnderWindow best;
    const int64_t turn = strip.turnLength;
    if (turn <= 0 || strip.positions.empty()) {
        return best;
    }
    const int64_t pos = static_cast<int64_t>(position) % turn;
    int64_t bestDistance = turn + 1;
    for (size_t i = 0; i < strip.positions.size(); ++i) {
        // Offset of the position past the symbol, folded into
        // (-turn/2, turn/2] so that the reel's wrap does not matter.
        int64_t offset = ((pos - static_cast<int64_t>(strip.positions[i])) % turn + turn) % turn;
        if (offset > turn / 2) {
            offset -= turn;
        }
        const int64_t distance = offset < 0 ? -offset : offset;
        // Halfway between two symbols, the window shows the one passed.
        if (distance < bestDistance || (distance == bestDistance && offset > 0)) {
            bestDistance = distance;
            best.known = true;
            best.symbol = static_cast<unsigned>(i);
            best.offset = static_cast<int>(offset);
        }
    }
    return best;
}

ReelRow makeReelRow(unsigned reel, const sim::ReelSnapshot& s, uint64_t outputs,
                    const SymbolStrip* strip, const std::string& type) {
    ReelRow row;
    row.reel = reel;
    row.type = type;
    row.position = s.position;
    row.truePosition = s.truePosition;
    row.turnLength = s.turnLength;
    if (strip != nullptr) {
        row.symbol = symbolAt(*strip, s.truePosition);
    }
    row.motion = sim::motionName(s);
    row.synchronised = s.synchronised;
    row.syncArmed = s.syncArmed;
    row.tampered = s.tampered;
    for (unsigned lamp = 0; lamp < 3; ++lamp) {
        row.lamps[lamp] = ((outputs >> (4 * reel + lamp)) & 1u) != 0;
    }
    row.stepsToGo = s.stepsToGo;
    row.stepMode = s.stepMode;
    row.faults = sim::reelFaultText(s);
    std::replace(row.faults.begin(), row.faults.end(), ',', ' ');
    return row;
}

BoardFrame captureBoard(sim::VirtualDriver& driver, unsigned instance, const SymbolStrips& strips,
                        const ReelAssignment& assignment) {
    const sim::BoardSnapshot board = driver.snapshot(instance);
    BoardFrame frame;
    frame.instance = instance;
    frame.plugged = board.plugged;
    frame.inputs = board.inputs;
    frame.outputs = board.outputs;
    frame.address = (frame.inputs >> 16) & 0x7;
    for (unsigned r = 0; r < kReels; ++r) {
        const std::string type = assignment.typeOf(instance, r);
        const SymbolStrip* strip = type.empty() ? nullptr : strips.find(type);
        frame.reels[r] = makeReelRow(r, board.reels[r], frame.outputs, strip, type);
    }
    frame.power = board.power;
    frame.timeMicros = board.timeMicros;
    frame.timeScale = driver.clock().scale();
    return frame;
}

sim::SymbolNamer symbolNamer(const ReelLabels* labels) {
    if (labels == nullptr) {
        return nullptr;
    }
    return [labels](unsigned instance, unsigned reel, uint32_t truePosition) {
        const std::string type = labels->assignment.typeOf(instance, reel);
        const SymbolStrip* strip = type.empty() ? nullptr : labels->strips.find(type);
        const SymbolUnderWindow symbol = strip != nullptr ? symbolAt(*strip, truePosition) : SymbolUnderWindow();
        return symbol.known ? "symbol" + std::to_string(symbol.symbol) : std::string();
    };
}

std::string reelFlagsText(const ReelRow& row) {
    std::string text = row.motion;
    if (row.synchronised) {
        text += " sync";
    } else if (row.syncArmed) {
        text += " sync-armed";
    }
    if (row.tampered) {
        text += " TAMPERED";
    }
    return text + row.faults;
}

std::string symbolText(const ReelRow& row) {
    if (!row.symbol.known) {
        return "-";
    }
    char text[24];
    if (row.symbol.offset == 0) {
        std::snprintf(text, sizeof text, "#%u", row.symbol.symbol);
    } else {
        std::snprintf(text, sizeof text, "#%u%+d", row.symbol.symbol, row.symbol.offset);
    }
    return text;
}

std::string lampsText(const ReelRow& row) {
    std::string text;
    for (bool lit : row.lamps) {
        text += lit ? '*' : '.';
    }
    return text;
}

std::string reelLine(const ReelRow& row) {
    char position[32];
    if (row.position == row.truePosition) {
        std::snprintf(position, sizeof position, "%4u/%-4u", row.position, row.turnLength);
    } else {
        // A tampered reel: the board's counter and where the reel really is.
        std::snprintf(position, sizeof position, "%4u/%-4u (at %u)", row.position, row.turnLength,
                      row.truePosition);
    }
    char line[160];
    std::snprintf(line, sizeof line, "%u  %-11.11s %-19s %-7s %-24s %s", row.reel,
                  row.type.empty() ? "-" : row.type.c_str(), position, symbolText(row).c_str(),
                  reelFlagsText(row).c_str(), lampsText(row).c_str());
    return line;
}

std::string bitMap(uint64_t bits, unsigned count, unsigned groupSize) {
    std::string text;
    for (unsigned i = 0; i < count; ++i) {
        if (i != 0 && groupSize != 0 && i % groupSize == 0) {
            text += ' ';
        }
        text += ((bits >> i) & 1u) != 0 ? '#' : '.';
    }
    return text;
}

int inputForKey(int key) {
    if (key >= 'a' && key < 'a' + static_cast<int>(kInputs)) {
        return key - 'a';
    }
    return -1;
}

char keyForInput(unsigned input) {
    return input < kInputs ? static_cast<char>('a' + input) : '?';
}

BoardSelection::BoardSelection(std::vector<unsigned> instances) : instances_(std::move(instances)) {}

unsigned BoardSelection::current() const { return instances_.empty() ? 0 : instances_[index_]; }

void BoardSelection::next() {
    if (!instances_.empty()) {
        index_ = (index_ + 1) % instances_.size();
    }
}

void BoardSelection::previous() {
    if (!instances_.empty()) {
        index_ = (index_ + instances_.size() - 1) % instances_.size();
    }
}

}  // namespace yarvo::simtool
