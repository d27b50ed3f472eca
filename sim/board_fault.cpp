// Reel and power faults: applying them to a board, naming them, and reading
// them from the control channel's words and from a fault schedule.
#include "board_fault.h"

#include <cstdio>
#include <sstream>

#include "control_protocol.h"
#include "numbers.h"

namespace yarvo::sim {

namespace {

constexpr long long kReels = 8;
constexpr unsigned long long kMaxScheduleMicros = 1000000ull * 60 * 60 * 24 * 365;   // a year

const uint8_t kPowerStatuses[] = {kPowerGood, kPowerLow, kPowerFailed};

bool number(const std::string& text, long long min, long long max, const char* what, long long* value,
            std::string* error) {
    std::string ignored;
    if (tools::parseInteger(text, min, max, value, &ignored)) {
        return true;
    }
    *error = std::string(what) + " \"" + text + "\" is not " + std::to_string(min) + " to " + std::to_string(max);
    return false;
}

}  // namespace

void applyBoardFault(Firmware& firmware, const BoardFault& f) {
    switch (f.kind) {
    case BoardFault::Jam:
        firmware.reel(f.reel).jam(static_cast<uint32_t>(f.value));
        break;
    case BoardFault::LoseSteps:
        firmware.reel(f.reel).loseSteps(static_cast<uint16_t>(f.value));
        break;
    case BoardFault::Index:
        firmware.reel(f.reel).setIndexSensor(static_cast<IndexSensor>(f.value));
        break;
    case BoardFault::Power:
        firmware.setPowerStatus(static_cast<uint8_t>(f.value));
        break;
    case BoardFault::Heal:
        firmware.reel(f.reel).heal();
        break;
    case BoardFault::Tamper:
        firmware.reel(f.reel).nudge(f.value);
        break;
    }
}

std::string powerName(uint8_t status) {
    if (const char* name = powerStatusName(status)) return name;
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", status);
    return text;
}

std::string describeBoardFault(const BoardFault& f) {
    const std::string reel = "reel" + std::to_string(f.reel);
    switch (f.kind) {
    case BoardFault::Jam:
        return f.value == 0 ? reel + " jammed" : reel + " jams after " + std::to_string(f.value) + " steps";
    case BoardFault::LoseSteps:
        return reel + " loses " + std::to_string(f.value) + " steps a spin";
    case BoardFault::Index:
        return reel + " index " + (f.value == int32_t(IndexSensor::Dead) ? "dead" : "stuck");
    case BoardFault::Power:
        return "power=" + powerName(static_cast<uint8_t>(f.value));
    case BoardFault::Heal:
        return reel + " healed";
    case BoardFault::Tamper:
        return reel + " tampered";
    }
    return reel;
}

std::string reelFaultText(const ReelSnapshot& r) {
    std::string text;
    if (r.jammed) text += ",jammed";
    if (r.jamPending) text += ",jams-in=" + std::to_string(r.jamAfter);
    if (r.lostSteps != 0) text += ",loses=" + std::to_string(r.lostSteps);
    if (r.indexSensor == IndexSensor::Dead) text += ",index-dead";
    if (r.indexSensor == IndexSensor::Stuck) text += ",index-stuck";
    if (r.positionError) text += ",position-error";
    if (r.indexMissing) text += ",index-missing";
    return text;
}

bool parseBoardFault(const std::vector<std::string>& w, BoardFault* fault, std::string* error) {
    BoardFault f;
    long long v = 0;
    const std::string& name = w.at(0);
    if (name == "power") {
        f.kind = BoardFault::Power;
        for (uint8_t status : kPowerStatuses) {
            if (w.at(2) == powerStatusName(status)) {
                f.value = status;
                *fault = f;
                return true;
            }
        }
        *error = "power \"" + w.at(2) + "\" is not good, low or failed";
        return false;
    }
    if (!number(w.at(2), 0, kReels - 1, "reel", &v, error)) {
        return false;
    }
    f.reel = static_cast<uint8_t>(v);
    if (name == "jam") {
        f.kind = BoardFault::Jam;
        if (w.size() > 3 && !number(w[3], 0, kMaxJamAfterSteps, "steps", &v, error)) {
            return false;
        }
        f.value = w.size() > 3 ? static_cast<int32_t>(v) : 0;
    } else if (name == "lose-steps") {
        f.kind = BoardFault::LoseSteps;
        if (!number(w.at(3), 0, kMaxLostStepsPerSpin, "steps", &v, error)) {
            return false;
        }
        f.value = static_cast<int32_t>(v);
    } else if (name == "index") {
        f.kind = BoardFault::Index;
        if (w.at(3) != "dead" && w.at(3) != "stuck") {
            *error = "index \"" + w[3] + "\" is not dead or stuck";
            return false;
        }
        f.value = static_cast<int32_t>(w[3] == "dead" ? IndexSensor::Dead : IndexSensor::Stuck);
    } else if (name == "heal") {
        f.kind = BoardFault::Heal;
    } else {
        *error = "\"" + name + "\" is not a fault";
        return false;
    }
    *fault = f;
    return true;
}

bool parseScheduledFault(const std::string& text, ScheduledFault* scheduled, std::string* error) {
    std::istringstream in(text);
    std::string at, when;
    in >> at >> when;
    std::string command;
    std::getline(in, command);
    if (at != "at" || when.empty() || command.find_first_not_of(' ') == std::string::npos) {
        *error = "\"" + text + "\" is not \"at TIME COMMAND\", e.g. \"at 5s jam 0 2\"";
        return false;
    }
    unsigned long long micros = 0;
    if (!tools::parseDuration(when, kMaxScheduleMicros, &micros, error)) {
        return false;
    }
    ControlCommand c;
    if (!parseControlLine(command, &c, error)) {
        *error = "\"" + text + "\": " + *error;
        return false;
    }
    ScheduledFault s;
    s.atMicros = micros;
    s.instance = static_cast<unsigned>(c.board);
    switch (c.op) {
    case ControlCommand::Jam:
    case ControlCommand::LoseSteps:
    case ControlCommand::Index:
    case ControlCommand::Power:
    case ControlCommand::Heal:
        s.fault = c.fault;
        break;
    case ControlCommand::Tamper:
        s.fault.kind = BoardFault::Tamper;
        s.fault.reel = static_cast<uint8_t>(c.number);
        s.fault.value = c.halfSteps;
        break;
    default:
        *error = "\"" + text + "\": only jam, lose-steps, index, power, heal and tamper can be scheduled";
        return false;
    }
    *scheduled = s;
    return true;
}

}  // namespace yarvo::sim
