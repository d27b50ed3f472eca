// The browser view's data: state and layout encoding, the fault panel's
// table, action requests and the --web address.
#include "web_state.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "board_fault.h"
#include "numbers.h"
#include "transport.h"

namespace yarvo::simtool::web {

using nlohmann::json;

const char* const kReelStateNames[5] = {"ramping-up", "at-speed", "ramping-down", "stopped", "skill"};

ReelState reelState(const sim::ReelSnapshot& reel) {
    if (!reel.moving) {
        return kStopped;
    }
    if (reel.stopping) {
        return kRampingDown;
    }
    if (reel.skill && reel.stepsToGo == 0) {
        return kSkill;
    }
    return reel.rampingUp ? kRampingUp : kAtSpeed;
}

int32_t reelSpeed(const sim::ReelSnapshot& reel) {
    if (!reel.moving || reel.stepPeriodMicros == 0) {
        return 0;
    }
    return static_cast<int32_t>(reel.stepMode * 1000000ll / reel.stepPeriodMicros);
}

namespace {

// A reel's faults and what the board noticed of them, bits 4 to 10 of FLAGS.
unsigned faultFlags(const sim::ReelSnapshot& reel) {
    return (reel.jammed ? 16u : 0u) | (reel.jamPending ? 1024u : 0u) | (reel.lostSteps != 0 ? 32u : 0u) |
           (reel.indexSensor == sim::IndexSensor::Dead ? 64u : 0u) |
           (reel.indexSensor == sim::IndexSensor::Stuck ? 128u : 0u) | (reel.positionError ? 256u : 0u) |
           (reel.indexMissing ? 512u : 0u);
}

}  // namespace

std::string encodeState(const std::vector<WebBoard>& boards) {
    std::string out = "{\"boards\":[";
    char text[256];
    for (size_t b = 0; b < boards.size(); ++b) {
        const sim::BoardSnapshot& s = boards[b].snapshot;
        const BoardFrame& f = boards[b].frame;
        std::snprintf(text, sizeof text,
                      "%s{\"i\":%u,\"plugged\":%d,\"address\":%u,\"inputs\":%u,\"outputs\":[%u,%u],"
                      "\"power\":%u,\"faults\":%llu,\"transfers\":%llu,\"time\":%llu,\"reels\":[",
                      b ? "," : "", f.instance, f.plugged ? 1 : 0, f.address, static_cast<unsigned>(f.inputs),
                      static_cast<unsigned>(f.outputs & 0xFFFFFFFFu), static_cast<unsigned>(f.outputs >> 32),
                      s.power, static_cast<unsigned long long>(s.pendingFaults),
                      static_cast<unsigned long long>(s.transfers), static_cast<unsigned long long>(s.timeMicros));
        out += text;
        for (unsigned r = 0; r < kReels; ++r) {
            const sim::ReelSnapshot& reel = s.reels[r];
            const ReelRow& row = f.reels[r];
            const bool used = reel.hasParameters || reel.stepsTaken > 0 || reel.moving;
            const unsigned flags = (row.synchronised ? 1u : 0u) | (row.tampered ? 2u : 0u) |
                                   (row.syncArmed ? 4u : 0u) | (used ? 8u : 0u) | faultFlags(reel);
            const uint64_t toGo = uint64_t(reel.stepsToGo) * uint64_t(std::abs(int(reel.stepMode)));
            std::snprintf(text, sizeof text, "%s[%u,%u,%u,%d,%u,%d,%llu,%d,%d]", r ? "," : "", row.position,
                          row.truePosition, row.turnLength, static_cast<int>(reelState(reel)), flags,
                          static_cast<int>(reelSpeed(reel)), static_cast<unsigned long long>(toGo),
                          row.symbol.known ? static_cast<int>(row.symbol.symbol) : -1, row.symbol.offset);
            out += text;
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

std::string layoutKey(const std::vector<WebBoard>& boards) {
    std::string key;
    for (const WebBoard& b : boards) {
        for (const ReelRow& row : b.frame.reels) {
            key += row.type;
            key += '\n';
        }
    }
    return key;
}

std::string encodeLayout(const std::vector<BoardTexts>& texts, const std::vector<WebBoard>& boards,
                         const SymbolStrips& strips, const CabinetFile& cabinet) {
    json layout;
    layout["boards"] = json::array();
    json types = json::object();
    for (const WebBoard& b : boards) {
        json board;
        board["i"] = b.frame.instance;
        for (const BoardTexts& t : texts) {
            if (t.instance == b.frame.instance) {
                board["product"] = t.product;
                board["speed"] = t.speed;
                board["firmware"] = t.firmware;
            }
        }
        board["reels"] = json::array();
        for (const ReelRow& row : b.frame.reels) {
            board["reels"].push_back(row.type);
            const SymbolStrip* strip = row.type.empty() ? nullptr : strips.find(row.type);
            if (strip == nullptr || types.contains(row.type)) {
                continue;
            }
            json type;
            type["turn"] = strip->turnLength;
            type["positions"] = strip->positions;
            type["labels"] = json::array();
            type["colours"] = json::array();
            const std::vector<SymbolLook>* looks = cabinet.symbolsOf(row.type);
            for (size_t i = 0; i < strip->positions.size(); ++i) {
                const bool given = looks != nullptr && i < looks->size();
                type["labels"].push_back(given ? (*looks)[i].label : std::string());
                type["colours"].push_back(given ? (*looks)[i].colour : std::string());
            }
            types[row.type] = type;
        }
        layout["boards"].push_back(board);
    }
    layout["types"] = types;
    json inputs = json::object(), outputs = json::object();
    for (const auto& name : cabinet.inputNames) {
        inputs[std::to_string(name.first)] = name.second;
    }
    for (const auto& name : cabinet.outputNames) {
        outputs[std::to_string(name.first)] = name.second;
    }
    layout["inputs"] = inputs;
    layout["outputs"] = outputs;
    layout["faults"] = json::array();
    for (const FaultControl& c : faultControls()) {
        json row = {{"command", c.command}, {"text", c.text}, {"label", c.label}, {"fields", json::array()}};
        for (const FaultField& f : c.fields) {
            row["fields"].push_back({{"name", f.name}, {"text", f.text}, {"kind", f.kind}, {"min", f.min}, {"max", f.max},
                                     {"initial", f.initial}, {"choices", f.choices}});
        }
        layout["faults"].push_back(row);
    }
    // The power status bytes the board defines, by name.
    layout["power"] = json::object();
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (const char* name = sim::powerStatusName(static_cast<uint8_t>(byte))) {
            layout["power"][std::to_string(byte)] = name;
        }
    }
    size_t count = 0;
    const sim::ErrnoName* errnos = sim::injectableErrors(&count);
    layout["errnos"] = json::array();
    for (size_t i = 0; i < count; ++i) {
        layout["errnos"].push_back(errnos[i].name);
    }
    // Names and labels from the file may hold any text: the page only ever
    // puts them into text nodes, and the JSON is kept plain ASCII.
    return layout.dump(-1, ' ', true, json::error_handler_t::replace);
}

const std::vector<FaultControl>& faultControls() {
    static const std::vector<FaultControl> table = {
        {"unplug", "Unplug", "Unplug board {board}", {}},
        {"replug", "Replug", "Replug board {board}", {}},
        {"fail", "Fail", "Fail the next transfers of board {board}",
         {{"Transfers to fail on board {board}", "transfers", "number", 1, 1000000, 1, ""},
          {"Errno for board {board}", "with", "errno", 0, 0, 0, ""}}},
        {"tamper", "Tamper", "Tamper with a reel of board {board}",
         {{"Reel to tamper on board {board}", "", "reel", 0, 7, 0, ""},
          {"Half steps to turn it on board {board}", "half steps", "number", -65535, 65535, 8, ""}}},
        {"jam", "Jam", "Jam a reel of board {board}",
         {{"Reel to jam on board {board}", "", "reel", 0, 7, 0, ""},
          {"Steps before it jams on board {board}", "after steps", "number", 0, sim::kMaxJamAfterSteps, 0, ""}}},
        {"lose-steps", "Lose steps", "Make a reel of board {board} lose steps",
         {{"Reel to lose steps on board {board}", "", "reel", 0, 7, 0, ""},
          {"Steps lost a spin on board {board}", "per spin", "number", 0, sim::kMaxLostStepsPerSpin, 3, ""}}},
        {"index", "Index", "Break the index sensor of a reel of board {board}",
         {{"Reel whose index breaks on board {board}", "", "reel", 0, 7, 0, ""},
          {"Index sensor fault on board {board}", "", "choice", 0, 0, 0, "dead|stuck"}}},
        {"heal", "Heal", "Heal a reel of board {board}",
         {{"Reel to heal on board {board}", "", "reel", 0, 7, 0, ""}}},
        {"power", "Power", "Set the power status of board {board}",
         {{"Power status of board {board}", "", "choice", 0, 0, 0, "good|low|failed"}}},
    };
    return table;
}

bool parseAction(const std::string& body, const std::vector<unsigned>& instances, WebAction* action,
                 std::string* reason) {
    if (body.size() > kMaxActionBytes) {
        *reason = "an action is at most 1024 bytes";
        return false;
    }
    const json request = json::parse(body, nullptr, false);
    if (!request.is_object() || request.size() != 2 || !request.contains("board") || !request.contains("command")) {
        *reason = "an action is a JSON object {\"board\": B, \"command\": \"...\"}";
        return false;
    }
    const json& board = request["board"];
    const json& command = request["command"];
    if (!board.is_number_unsigned() || !command.is_string()) {
        *reason = "\"board\" must be a board instance and \"command\" a control command";
        return false;
    }
    const uint64_t instance = board.get<uint64_t>();
    if (std::find(instances.begin(), instances.end(), instance) == instances.end()) {
        *reason = "board " + std::to_string(instance) + " is not served here";
        return false;
    }
    const std::string line = command.get<std::string>();
    if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r' || c == '\0'; })) {
        *reason = "the command must be one line";
        return false;
    }
    sim::ControlCommand parsed;
    bool blank = false;
    if (!sim::parseControlLine(line, &parsed, reason, &blank)) {
        if (blank) {
            *reason = "the command is empty";
        }
        return false;
    }
    using Op = sim::ControlCommand::Op;
    if (parsed.op == Op::Help || parsed.op == Op::Status || parsed.op == Op::Boards || parsed.op == Op::Board) {
        *reason = "\"" + line.substr(0, line.find(' ')) + "\" is not an action";
        return false;
    }
    if (parsed.board >= 0 && static_cast<uint64_t>(parsed.board) != instance) {
        *reason = "the command names board " + std::to_string(parsed.board) + ", the action is for board " +
                  std::to_string(instance);
        return false;
    }
    action->board = static_cast<unsigned>(instance);
    action->command = parsed;
    return true;
}

std::string WebAddress::urlHost() const {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool parseWebAddress(const std::string& text, WebAddress* address, std::string* error) {
    WebAddress a;
    std::string port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        a.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (a.host.size() >= 2 && a.host.front() == '[' && a.host.back() == ']') {
            a.host = a.host.substr(1, a.host.size() - 2);
        } else if (a.host.find(':') != std::string::npos) {
            *error = "--web " + text + ": write an IPv6 address in brackets, [::1]:PORT";
            return false;
        }
        if (a.host.empty()) {
            a.host = "127.0.0.1";
        }
    }
    long long number = 0;
    std::string ignored;
    if (!port.empty() && !tools::parseInteger(port, 0, 65535, &number, &ignored)) {
        *error = "--web " + text + ": wants [HOST:]PORT, a port 0 to 65535 (0: a free one)";
        return false;
    }
    a.port = static_cast<unsigned>(number);
    unsigned char bytes[16];
    if (a.host == "localhost" || a.host == "::1") {
        a.loopback = true;
    } else if (inet_pton(AF_INET, a.host.c_str(), bytes) == 1) {
        a.loopback = bytes[0] == 127;
    } else {
        a.loopback = false;
    }
    *address = a;
    return true;
}

}  // namespace yarvo::simtool::web
