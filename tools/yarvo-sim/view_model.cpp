// The live view's model: board snapshots and the texts drawn from them.
#include "view_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "board_name.h"
#include "wire.h"

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
    row.configured = s.hasParameters;
    row.turned = s.stepsTaken != 0;
    return row;
}

namespace {

// The bytes of a reel's set-up that single out its type: the reel
// parameters after the reel number, then duty cycle off and on.
constexpr size_t kSetUpKeyLength = wire::kReelParametersLength - 1 + 2;

std::string setUpKey(const uint8_t* parameters, uint8_t dutyOff, uint8_t dutyOn) {
    std::string key(reinterpret_cast<const char*>(parameters) + 1, wire::kReelParametersLength - 1);
    key += static_cast<char>(dutyOff);
    key += static_cast<char>(dutyOn);
    return key;
}

// The board's own part of a frame; the reels are the caller's.
BoardFrame frameOf(const sim::BoardSnapshot& board) {
    BoardFrame frame;
    frame.instance = board.instance;
    frame.plugged = board.plugged;
    frame.inputs = board.inputs;
    frame.outputs = board.outputs;
    frame.address = (frame.inputs >> 16) & 0x7;
    frame.speed.assign(board.speed, strnlen(board.speed, sizeof board.speed));
    frame.power = board.power;
    frame.timeMicros = board.timeMicros;
    return frame;
}

bool sameRamp(const KReelRampTable& table, uint8_t length, const uint8_t* entries) {
    return table.length == length && std::equal(entries, entries + length, table.entries);
}

// The ramp tables a reel holds are one speed's of the type (the library
// sends a speed's ramp-up and ramp-down together), or none were sent yet.
bool rampsFit(const ReelDataDef& type, const sim::ReelSnapshot& reel) {
    if (reel.rampUpLength == 0 && reel.rampDownLength == 0) {
        return true;
    }
    for (unsigned i = 0; i < type.rampTableCount && i < 25; ++i) {
        const RampTableDef& speed = type.rampTables[i];
        if (sameRamp(speed.rampUp, reel.rampUpLength, reel.rampUpEntries) &&
            sameRamp(speed.rampDown, reel.rampDownLength, reel.rampDownEntries)) {
            return true;
        }
    }
    return false;
}

}  // namespace

ReelTypeMatcher::ReelTypeMatcher(const SymbolStrips& strips) {
    for (const SymbolStrip& strip : strips.all()) {
        const ReelDataDef& d = strip.definition;
        uint8_t parameters[wire::kReelParametersLength];
        wire::putReelParameters(parameters, 0, strip.turnLength, d.params);
        bySetUp_[setUpKey(parameters, d.params.dutyCycleOff, d.params.dutyCycleOn)].push_back(&strip);
    }
}

TypeMatch ReelTypeMatcher::match(const sim::ReelSnapshot& reel) const {
    TypeMatch found;
    if (!reel.hasParameters) {
        return found;
    }
    const auto candidates = bySetUp_.find(setUpKey(reel.parameters, reel.dutyOff, reel.dutyOn));
    if (candidates == bySetUp_.end()) {
        return found;
    }
    for (const SymbolStrip* strip : candidates->second) {
        if (!rampsFit(strip->definition, reel)) {
            continue;
        }
        if (found.strip != nullptr) {
            found.guess = true;
            break;
        }
        found.strip = strip;
    }
    return found;
}

ReelType reelTypeOf(const ReelLabels& labels, unsigned instance, unsigned reel, const sim::ReelSnapshot& state) {
    ReelType type;
    type.name = labels.assignment.typeOf(instance, reel);
    if (!type.name.empty()) {
        type.strip = labels.strips.find(type.name);
        type.source = TypeSource::Named;
        return type;
    }
    const TypeMatch match = labels.matcher.match(state);
    if (match.strip != nullptr) {
        type.name = match.strip->type;
        type.strip = match.strip;
        type.source = match.guess ? TypeSource::Guessed : TypeSource::Matched;
    }
    return type;
}

BoardFrame captureBoard(sim::VirtualDriver& driver, unsigned instance, const ReelLabels& labels) {
    const sim::BoardSnapshot board = driver.snapshot(instance);
    BoardFrame frame = frameOf(board);
    for (unsigned r = 0; r < kReels; ++r) {
        const ReelType type = reelTypeOf(labels, instance, r, board.reels[r]);
        frame.reels[r] = makeReelRow(r, board.reels[r], frame.outputs, type.strip, type.name);
        frame.reels[r].typeSource = type.source;
    }
    frame.timeScale = driver.clock().scale();
    return frame;
}

BoardFrame captureBoard(sim::VirtualDriver& driver, unsigned instance, const SymbolStrips& strips,
                        const ReelAssignment& assignment) {
    const sim::BoardSnapshot board = driver.snapshot(instance);
    BoardFrame frame = frameOf(board);
    for (unsigned r = 0; r < kReels; ++r) {
        const std::string type = assignment.typeOf(instance, r);
        const SymbolStrip* strip = type.empty() ? nullptr : strips.find(type);
        frame.reels[r] = makeReelRow(r, board.reels[r], frame.outputs, strip, type);
        frame.reels[r].typeSource = type.empty() ? TypeSource::None : TypeSource::Named;
    }
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

sim::SymbolNamer symbolNamer(const ReelLabels* labels, sim::VirtualDriver& driver) {
    if (labels == nullptr) {
        return nullptr;
    }
    sim::VirtualDriver* board = &driver;
    return [labels, board](unsigned instance, unsigned reel, uint32_t truePosition) {
        const sim::BoardSnapshot snapshot = board->snapshot(instance);
        const ReelType type = reelTypeOf(*labels, instance, reel, snapshot.reels[reel % kReels]);
        const SymbolUnderWindow symbol = type.strip != nullptr ? symbolAt(*type.strip, truePosition) : SymbolUnderWindow();
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

std::string typeText(const ReelRow& row) {
    if (row.type.empty()) {
        return "-";
    }
    return row.typeSource == TypeSource::Guessed ? row.type + "?" : row.type;
}

std::string boardText(const BoardFrame& frame) {
    char text[128];
    std::snprintf(text, sizeof text, "board %u: %s, address %u, USB %s speed (%s)", frame.instance,
                  frame.plugged ? "plugged in" : "UNPLUGGED", frame.address,
                  names::usbSpeedName(frame.speed.c_str()), frame.speed.empty() ? "no text" : frame.speed.c_str());
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
    // The column holds 11 characters; a guess keeps its mark when cut.
    std::string type = typeText(row);
    if (type.size() > 11 && row.typeSource == TypeSource::Guessed) {
        type = type.substr(0, 10) + "?";
    }
    char line[160];
    std::snprintf(line, sizeof line, "%u  %-11.11s %-19s %-7s %-24s %s", row.reel, type.c_str(), position,
                  symbolText(row).c_str(), reelFlagsText(row).c_str(), lampsText(row).c_str());
    return line;
}

std::vector<FrameLine> frameLines(const BoardFrame& frame, bool withKeys) {
    std::vector<FrameLine> lines;
    lines.push_back({FrameLine::Heading, "r  type        position            symbol  state                    lamps"});
    for (const ReelRow& reel : frame.reels) {
        const bool active = std::strcmp(reel.motion, "stopped") != 0;
        lines.push_back({reel.tampered ? FrameLine::Alert : (active ? FrameLine::Normal : FrameLine::Idle),
                         reelLine(reel)});
    }
    lines.push_back({});
    lines.push_back({FrameLine::Normal, "outputs  0-31  " + bitMap(frame.outputs & 0xFFFFFFFFull, 32, 8)});
    lines.push_back({FrameLine::Normal, "        32-63  " + bitMap(frame.outputs >> 32, 32, 8)});
    if (withKeys) {
        std::string keys;
        for (unsigned i = 0; i < kInputs; ++i) {
            if (i != 0 && i % 8 == 0) {
                keys += ' ';
            }
            keys += keyForInput(i);
        }
        lines.push_back({FrameLine::Normal, "inputs   keys  " + keys});
    }
    lines.push_back({FrameLine::Normal, std::string(withKeys ? "        " : "inputs  ") + " 0-23  " +
                                            bitMap(frame.inputs, kInputs, 8)});
    return lines;
}

std::vector<std::string> reelSummary(const BoardFrame& frame) {
    std::vector<std::string> lines;
    for (const ReelRow& row : frame.reels) {
        if (row.typeSource == TypeSource::None && !row.configured && !row.turned) {
            continue;   // a reel the host never touched
        }
        char position[32];
        std::snprintf(position, sizeof position, "%u/%u", row.position, row.turnLength);
        std::string line = "board " + std::to_string(frame.instance) + " reel " + std::to_string(row.reel) + ": " +
                           (row.type.empty() ? "type unknown" : typeText(row)) + ", position " + position;
        if (row.truePosition != row.position) {
            line += " (at " + std::to_string(row.truePosition) + ")";
        }
        line += ", symbol " + symbolText(row) + ", " + reelFlagsText(row);
        lines.push_back(line);
    }
    return lines;
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
