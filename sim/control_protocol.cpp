// The control channel's commands: parsing and execution against the
// virtual driver.
#include "control_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <sstream>

#include "numbers.h"
#include "transport.h"

namespace yarvo::sim {

namespace {

constexpr long long kMaxFailCount = 1000000;
constexpr long long kMaxHalfSteps = 65535;
constexpr unsigned kAddressInput = 16;   // inputs 16-18 carry the board address
constexpr unsigned kInputCount = 24;

const char kHelp[] =
    "ok commands: status [B] | boards | board B | input N on|off|toggle | inputs HEX | address A"
    " | unplug B | replug B | fail B N [ERRNO] | tamper B REEL HALFSTEPS"
    " | jam B REEL [AFTER_STEPS] | lose-steps B REEL N | index B REEL dead|stuck | power B good|low|failed"
    " | heal B REEL";

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) {
        out.push_back(w);
    }
    return out;
}

bool number(const std::string& text, long long min, long long max, long long* value) {
    std::string ignored;
    return tools::parseInteger(text, min, max, value, &ignored);
}

struct Syntax {
    ControlCommand::Op op;
    size_t minArgs, maxArgs;
    const char* usage;
};

const std::map<std::string, Syntax>& syntaxTable() {
    static const std::map<std::string, Syntax> table = {
        {"help", {ControlCommand::Help, 0, 0, "help"}},
        {"status", {ControlCommand::Status, 0, 1, "status [B]"}},
        {"boards", {ControlCommand::Boards, 0, 0, "boards"}},
        {"board", {ControlCommand::Board, 1, 1, "board B"}},
        {"input", {ControlCommand::Input, 2, 2, "input N on|off|toggle"}},
        {"inputs", {ControlCommand::Inputs, 1, 1, "inputs HEX"}},
        {"address", {ControlCommand::Address, 1, 1, "address A"}},
        {"unplug", {ControlCommand::Unplug, 1, 1, "unplug B"}},
        {"replug", {ControlCommand::Replug, 1, 1, "replug B"}},
        {"fail", {ControlCommand::Fail, 2, 3, "fail B N [ERRNO]"}},
        {"tamper", {ControlCommand::Tamper, 3, 3, "tamper B REEL HALFSTEPS"}},
        {"jam", {ControlCommand::Jam, 2, 3, "jam B REEL [AFTER_STEPS]"}},
        {"lose-steps", {ControlCommand::LoseSteps, 3, 3, "lose-steps B REEL N"}},
        {"index", {ControlCommand::Index, 3, 3, "index B REEL dead|stuck"}},
        {"power", {ControlCommand::Power, 2, 2, "power B good|low|failed"}},
        {"heal", {ControlCommand::Heal, 2, 2, "heal B REEL"}},
    };
    return table;
}

std::string errnoChoices() {
    size_t count = 0;
    const ErrnoName* names = injectableErrors(&count);
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += (i ? ", " : "") + std::string(names[i].name);
    }
    return text;
}

}  // namespace

std::string escapeControlText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E || c == '\\') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

const char* motionName(const ReelSnapshot& reel) {
    if (!reel.moving) {
        return "stopped";
    }
    if (reel.stopping) {
        return "stopping";
    }
    return reel.skill ? "skill" : "moving";
}

std::string statusLine(const BoardSnapshot& board, const SymbolNamer& namer) {
    char head[160];
    std::snprintf(head, sizeof head, "board=%u plugged=%s address=%u inputs=0x%06x outputs=0x%016llx",
                  board.instance, board.plugged ? "yes" : "no", (board.inputs >> kAddressInput) & 7u,
                  static_cast<unsigned>(board.inputs & 0xFFFFFFu), static_cast<unsigned long long>(board.outputs));
    std::string text = head;
    text += " power=" + powerName(board.power);
    for (unsigned r = 0; r < kBoardReels; ++r) {
        const ReelSnapshot& reel = board.reels[r];
        char item[96];
        std::snprintf(item, sizeof item, " reel%u=%u/%u,%s%s%s", r, reel.position, reel.turnLength,
                      motionName(reel), reel.synchronised ? ",sync" : "", reel.tampered ? ",tampered" : "");
        text += item + reelFaultText(reel);
        const std::string symbol = namer ? namer(board.instance, r, reel.truePosition) : std::string();
        if (!symbol.empty()) {
            text += "," + symbol;
        }
    }
    return text;
}

bool parseControlLine(const std::string& line, ControlCommand* command, std::string* error, bool* blank) {
    const std::vector<std::string> w = words(line);
    const bool nothing = w.empty() || w[0][0] == '#';
    if (blank != nullptr) {
        *blank = nothing;
    }
    if (nothing) {
        *error = "empty line";
        return false;
    }
    const auto entry = syntaxTable().find(w[0]);
    if (entry == syntaxTable().end()) {
        *error = "unknown command \"" + w[0] + "\" (try help)";
        return false;
    }
    const Syntax& syntax = entry->second;
    const size_t args = w.size() - 1;
    if (args < syntax.minArgs || args > syntax.maxArgs) {
        *error = std::string("usage: ") + syntax.usage;
        return false;
    }
    ControlCommand c;
    c.op = syntax.op;
    long long v = 0;
    auto board = [&](const std::string& text) {
        if (!number(text, 0, kInstances - 1, &v)) {
            *error = "board \"" + text + "\" is not an instance 0 to 15";
            return false;
        }
        c.board = static_cast<int>(v);
        return true;
    };
    switch (c.op) {
    case ControlCommand::Help:
    case ControlCommand::Boards:
        break;
    case ControlCommand::Status:
        if (args == 1 && !board(w[1])) {
            return false;
        }
        break;
    case ControlCommand::Board:
    case ControlCommand::Unplug:
    case ControlCommand::Replug:
        if (!board(w[1])) {
            return false;
        }
        break;
    case ControlCommand::Input:
        if (!number(w[1], 0, kInputCount - 1, &v)) {
            *error = "input \"" + w[1] + "\" is not 0 to 23";
            return false;
        }
        c.number = static_cast<unsigned>(v);
        if (w[2] == "on" || w[2] == "1") {
            c.state = ControlCommand::On;
        } else if (w[2] == "off" || w[2] == "0") {
            c.state = ControlCommand::Off;
        } else if (w[2] == "toggle") {
            c.state = ControlCommand::Toggle;
        } else {
            *error = "input state \"" + w[2] + "\" is not on, off or toggle";
            return false;
        }
        break;
    case ControlCommand::Inputs: {
        unsigned long long bits = 0;
        std::string ignored;
        if (!tools::parseHexadecimal(w[1], 0xFFFFFF, &bits, &ignored)) {
            *error = "inputs \"" + w[1] + "\" is not a hexadecimal number up to FFFFFF";
            return false;
        }
        c.bits = static_cast<uint32_t>(bits);
        break;
    }
    case ControlCommand::Address:
        if (!number(w[1], 0, 7, &v)) {
            *error = "address \"" + w[1] + "\" is not 0 to 7";
            return false;
        }
        c.number = static_cast<unsigned>(v);
        break;
    case ControlCommand::Fail:
        if (!board(w[1])) {
            return false;
        }
        if (!number(w[2], 1, kMaxFailCount, &v)) {
            *error = "count \"" + w[2] + "\" is not 1 to 1000000";
            return false;
        }
        c.number = static_cast<unsigned>(v);
        c.err = EIO;
        if (args == 3 && (c.err = injectableErrno(w[3])) < 0) {
            *error = "\"" + w[3] + "\" is not an errno a board's driver returns; one of " + errnoChoices();
            return false;
        }
        break;
    case ControlCommand::Tamper:
        if (!board(w[1])) {
            return false;
        }
        if (!number(w[2], 0, kBoardReels - 1, &v)) {
            *error = "reel \"" + w[2] + "\" is not 0 to 7";
            return false;
        }
        c.number = static_cast<unsigned>(v);
        if (!number(w[3], -kMaxHalfSteps, kMaxHalfSteps, &v) || v == 0) {
            *error = "half steps \"" + w[3] + "\" is not a non-zero number of half steps";
            return false;
        }
        c.halfSteps = static_cast<int32_t>(v);
        break;
    case ControlCommand::Jam:
    case ControlCommand::LoseSteps:
    case ControlCommand::Index:
    case ControlCommand::Power:
    case ControlCommand::Heal:
        if (!board(w[1]) || !parseBoardFault(w, &c.fault, error)) {
            return false;
        }
        break;
    }
    *command = c;
    return true;
}

ControlSession::ControlSession(VirtualDriver& driver, std::vector<unsigned> instances, SymbolNamer namer)
    : driver_(&driver), instances_(std::move(instances)), namer_(std::move(namer)),
      selected_(instances_.empty() ? 0 : instances_.front()) {}

bool ControlSession::serves(unsigned instance) const {
    return std::find(instances_.begin(), instances_.end(), instance) != instances_.end();
}

std::string ControlSession::handle(const std::string& line) {
    ControlCommand command;
    std::string error;
    bool blank = false;
    if (!parseControlLine(line, &command, &error, &blank)) {
        return blank ? std::string() : escapeControlText("error: " + error);
    }
    return execute(command);
}

std::string ControlSession::execute(const ControlCommand& command) { return escapeControlText(run(command)); }

std::string ControlSession::run(const ControlCommand& c) {
    const unsigned board = c.board >= 0 ? static_cast<unsigned>(c.board) : selected_;
    const std::string name = "board=" + std::to_string(board);
    if (c.op != ControlCommand::Help && c.op != ControlCommand::Boards && !serves(board)) {
        return "error: no board at instance " + std::to_string(board);
    }
    switch (c.op) {
    case ControlCommand::Help:
        return kHelp;
    case ControlCommand::Boards: {
        std::string text = "ok selected=" + std::to_string(selected_) + " boards=";
        for (size_t i = 0; i < instances_.size(); ++i) {
            text += (i ? "," : "") + std::to_string(instances_[i]);
        }
        return text;
    }
    case ControlCommand::Status:
        return "ok " + statusLine(driver_->snapshot(board), namer_);
    case ControlCommand::Board:
        selected_ = board;
        return "ok selected=" + std::to_string(board);
    case ControlCommand::Input: {
        // Inputs 16-18 read the board's address, so they are set through it.
        bool now = false;
        driver_->withBoard(board, [&](Firmware& fw) {
            const uint32_t current = fw.inputs();
            const bool was = ((current >> c.number) & 1u) != 0;
            now = c.state == ControlCommand::Toggle ? !was : c.state == ControlCommand::On;
            if (c.number >= kAddressInput && c.number < kAddressInput + 3) {
                const uint32_t bit = 1u << (c.number - kAddressInput);
                const uint32_t address = (current >> kAddressInput) & 7u;
                fw.setInput(c.number, false);
                fw.setAddress(static_cast<uint8_t>(now ? (address | bit) : (address & ~bit)));
            } else {
                fw.setInput(c.number, now);
            }
        });
        return "ok " + name + " input" + std::to_string(c.number) + "=" + (now ? "on" : "off");
    }
    case ControlCommand::Inputs:
        driver_->withBoard(board, [&](Firmware& fw) {
            fw.setInputs(c.bits & ~(7u << kAddressInput));
            fw.setAddress(static_cast<uint8_t>((c.bits >> kAddressInput) & 7u));
        });
        return "ok " + name;
    case ControlCommand::Address:
        driver_->withBoard(board, [&](Firmware& fw) { fw.setAddress(static_cast<uint8_t>(c.number)); });
        return "ok " + name + " address=" + std::to_string(c.number);
    case ControlCommand::Unplug:
        driver_->unplug(board);
        return "ok " + name + " unplugged";
    case ControlCommand::Replug:
        driver_->replug(board);
        return "ok " + name + " plugged";
    case ControlCommand::Fail:
        if (!driver_->failNext(board, c.err, c.number)) {
            return "error: " + name + " has " + std::to_string(VirtualDriver::kMaxFaultRuns) +
                   " different faults waiting already";
        }
        return "ok " + name + " failing next " + std::to_string(c.number);
    case ControlCommand::Tamper:
        driver_->withBoard(board, [&](Firmware& fw) { fw.reel(c.number).nudge(c.halfSteps); });
        return "ok " + name + " reel" + std::to_string(c.number) + " tampered";
    case ControlCommand::Jam:
    case ControlCommand::LoseSteps:
    case ControlCommand::Index:
    case ControlCommand::Power:
    case ControlCommand::Heal:
        driver_->withBoard(board, [&](Firmware& fw) { applyBoardFault(fw, c.fault); });
        return "ok " + name + " " + describeBoardFault(c.fault);
    }
    return "error: unhandled command";
}

}  // namespace yarvo::sim
