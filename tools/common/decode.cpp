#include "decode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace yarvo::decode {
namespace {

using wire::getBE16;
using wire::getLE32;

struct CommandInfo {
    uint8_t code;
    const char* name;
    size_t requestLength;  // fixed request payload length; ramp tables use their own rule
};

constexpr CommandInfo kCommands[] = {
    {wire::kCmdFirmwareVersion, "FIRMWARE-VERSION", 0},
    {wire::kCmdPowerStatus, "POWER-STATUS", 0},
    {wire::kCmdInputReport, "INPUTS", 0},
    {wire::kCmdChangedInputs, "CHANGED-INPUTS", 0},
    {wire::kCmdSetOutputBit, "OUTPUT-BIT", 2},
    {wire::kCmdSetOutputs, "OUTPUTS", 8},
    {wire::kCmdModifyOutputs, "MODIFY-OUTPUTS", 16},
    {wire::kCmdConfigureReels, "CONFIGURE-REELS", 6},
    {wire::kCmdSpinReel, "SPIN", 4},
    {wire::kCmdRampUp, "RAMP-UP", 2},
    {wire::kCmdRampDown, "RAMP-DOWN", 2},
    {wire::kCmdDutyCycle, "DUTY-CYCLE", 3},
    {wire::kCmdClearTamper, "CLEAR-TAMPER", 1},
    {wire::kCmdSynchronise, "SYNC-ENABLE", 2},
    {wire::kCmdReelStatus, "STATUS", 1},
    {wire::kCmdStartSkill, "SKILL-START", 2},
    {wire::kCmdStopSkill, "SKILL-STOP", 1},
    {wire::kCmdStopAtPosition, "STOP-AT", 3},
    {wire::kCmdReelParameters, "REEL-PARAMS", 9},
};

const CommandInfo* findCommand(uint8_t code) {
    for (const CommandInfo& info : kCommands) {
        if (info.code == code) return &info;
    }
    return nullptr;
}

// Collects "name=value" fields separated by spaces.
class Fields {
public:
    Fields& add(const char* name, long long value) {
        char text[32];
        std::snprintf(text, sizeof text, "%lld", value);
        return add(name, text);
    }
    Fields& addHex(const char* name, unsigned long long value, int digits) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%0*llx", digits, value);
        return add(name, text);
    }
    Fields& add(const char* name, const std::string& value) {
        if (!text_.empty()) text_ += ' ';
        text_ += name;
        text_ += '=';
        text_ += value;
        return *this;
    }
    Fields& note(const std::string& words) {
        if (!text_.empty()) text_ += ' ';
        text_ += words;
        return *this;
    }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

std::string quoted(const uint8_t* bytes, size_t length) {
    std::string text = "\"";
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = bytes[i];
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    text += '"';
    return text;
}

// Marks a payload that is too short for its command, showing what came.
std::string shortPayload(const uint8_t* payload, size_t length, size_t needed) {
    char text[64];
    std::snprintf(text, sizeof text, "short payload: %zu of %zu bytes", length, needed);
    std::string out = text;
    if (length > 0) out += " [" + hex(payload, length) + "]";
    return out;
}

void noteExtra(Fields& fields, size_t length, size_t used) {
    if (length > used) {
        char text[32];
        std::snprintf(text, sizeof text, "+%zu bytes", length - used);
        fields.note(text);
    }
}

}  // namespace

const char* commandName(uint8_t command) {
    const CommandInfo* info = findCommand(command);
    return info != nullptr ? info->name : nullptr;
}

std::string commandLabel(uint8_t command) {
    const char* name = commandName(command);
    if (name != nullptr) return name;
    return "CMD-" + std::to_string(command);
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    text.reserve(length * 3);
    char pair[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::string requestFields(uint8_t command, const uint8_t* p, size_t length) {
    const CommandInfo* info = findCommand(command);
    if (info == nullptr) {
        return length == 0 ? std::string() : "[" + hex(p, length) + "]";
    }
    size_t needed = info->requestLength;
    if (length < needed) return shortPayload(p, length, needed);

    Fields f;
    switch (command) {
    case wire::kCmdSetOutputBit:
        f.add("output", p[0]);
        if (p[1] <= 1) {
            f.add("state", p[1] ? "on" : "off");
        } else {
            f.add("state", p[1]);
        }
        break;
    case wire::kCmdSetOutputs:
        f.addHex("first", getLE32(p), 8).addHex("second", getLE32(p + 4), 8);
        break;
    case wire::kCmdModifyOutputs:
        f.addHex("w1", getLE32(p), 8)
            .addHex("w2", getLE32(p + 4), 8)
            .addHex("w3", getLE32(p + 8), 8)
            .addHex("w4", getLE32(p + 12), 8);
        break;
    case wire::kCmdConfigureReels:
        // The board receives the fifth parameter negated: show it as the
        // host passed it.
        f.add("count", p[0])
            .add("param16", getBE16(p + 1))
            .add("steps-per-symbol", p[3])
            .add("param4", static_cast<int8_t>(p[4]))
            .add("param5", -static_cast<int>(static_cast<int8_t>(p[5])));
        break;
    case wire::kCmdSpinReel:
        f.add("reel", p[0]).add("mode", static_cast<int8_t>(p[1])).add("steps", getBE16(p + 2));
        break;
    case wire::kCmdRampUp:
    case wire::kCmdRampDown: {
        f.add("reel", p[0]).add("len", p[1]);
        const size_t entries = length - 2;
        if (entries != p[1]) {
            f.note("(" + std::to_string(entries) + " entries sent)");
        }
        needed = length;  // the entries are the rest of the payload
        break;
    }
    case wire::kCmdDutyCycle:
        f.add("reel", p[0]).add("off", p[1]).add("on", p[2]);
        break;
    case wire::kCmdClearTamper:
    case wire::kCmdReelStatus:
    case wire::kCmdStopSkill:
        f.add("reel", p[0]);
        break;
    case wire::kCmdSynchronise:
        f.add("reel", p[0]).add("mode", p[1]);
        break;
    case wire::kCmdStartSkill:
        f.add("reel", p[0]).add("mode", static_cast<int8_t>(p[1]));
        break;
    case wire::kCmdStopAtPosition:
        f.add("reel", p[0]).add("pos", getBE16(p + 1));
        break;
    case wire::kCmdReelParameters:
        f.add("reel", p[0])
            .add("turn", getBE16(p + 1))
            .add("tab-width", p[3])
            .add("tab-offset", p[4])
            .add("tab-type", p[5])
            .add("position-method", p[6])
            .add("tamper-method", p[7])
            .add("deadband", p[8]);
        break;
    default:
        break;
    }
    noteExtra(f, length, needed);
    return f.str();
}

std::string responseFields(uint8_t command, const uint8_t* p, size_t length) {
    return responseFields(command, p, length, false);
}

std::string responseFields(uint8_t command, const uint8_t* p, size_t length, bool virtualBoard) {
    Fields f;
    size_t used = 0;
    switch (command) {
    case wire::kCmdFirmwareVersion:
        return "version=" + quoted(p, length);
    case wire::kCmdPowerStatus:
        if (length < 1) return shortPayload(p, length, 1);
        f.add("power", p[0]);
        used = 1;
        break;
    case wire::kCmdInputReport:
        if (length < 3) return shortPayload(p, length, 3);
        f.addHex("inputs", p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16), 6)
            .add("address", p[2] & 0x07);
        used = 3;
        break;
    case wire::kCmdChangedInputs:
        if (length < 2) return shortPayload(p, length, 2);
        f.addHex("changed", wire::getLE16(p), 4);
        used = 2;
        break;
    case wire::kCmdReelStatus:
        // The host takes exactly nine bytes and refuses any other length.
        if (length != wire::kReelStatusLength) {
            return "status of " + std::to_string(length) + " bytes, 9 expected" +
                   (length > 0 ? " [" + hex(p, length) + "]" : std::string());
        }
        if (virtualBoard) {
            const ModelStatus m = modelStatus(p);
            std::string flags;
            for (const std::string& name : flagNames(m.flags)) {
                flags += (flags.empty() ? "" : "+") + name;
            }
            f.add("pos", m.position)
                .add("to-go", m.stepsToGo)
                .add("flags", flags.empty() ? "0" : flags)
                .add("mode", m.stepMode)
                .add("duty-on", m.dutyOn)
                .add("turn", m.turnLength);
        } else {
            f.add("pos", getBE16(p))
                .add("word1", getBE16(p + 2))
                .add("byte1", p[4])
                .add("byte2", p[5])
                .add("byte3", p[6])
                .add("word2", getBE16(p + 7));
        }
        used = 9;
        break;
    default:
        f.note("ok");
        break;
    }
    noteExtra(f, length, used);
    return f.str();
}

Verdict verdict(const Exchange& e) {
    if (e.error != 0) return Verdict::Failed;
    if (e.responseLength < wire::kMinResponseLength || e.responseLength > wire::kMaxResponseLength)
        return Verdict::BadLength;
    if (e.response == nullptr || e.response[0] != e.command) return Verdict::BadEcho;
    if (e.response[1] != 0) return Verdict::BadStatus;
    return Verdict::Ok;
}

std::string errnoName(int err) {
    const char* name = nullptr;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    name = strerrorname_np(err);
#endif
    if (name != nullptr) return name;
    return "E" + std::to_string(err);
}

std::string outcome(const Exchange& e) { return outcome(e, false); }

std::string outcome(const Exchange& e, bool virtualBoard) {
    switch (verdict(e)) {
    case Verdict::Failed:
        return "failed: " + errnoName(e.error) + " (" + std::strerror(e.error) + ")";
    case Verdict::BadLength:
        return "bad response length " + std::to_string(e.responseLength);
    case Verdict::BadEcho:
        return "bad echo " + std::to_string(e.response != nullptr ? e.response[0] : 0) +
               " (expected " + std::to_string(e.command) + ")";
    case Verdict::BadStatus:
        return "board status " + std::to_string(e.response[1]);
    case Verdict::Ok:
        break;
    }
    return responseFields(e.command, e.response + 2, e.responseLength - 2, virtualBoard);
}

std::string describe(const Exchange& e) { return describe(e, false); }

std::string describe(const Exchange& e, bool virtualBoard) {
    std::string line = commandLabel(e.command);
    const std::string request = requestFields(e.command, e.request, e.requestLength);
    if (!request.empty()) {
        line += ' ';
        line += request;
    }
    if (e.word0 != wire::kBlockWord0 || e.word1 != wire::kBlockWord1 ||
        e.responseOffered != wire::kResponseOffered) {
        line += " [block words " + std::to_string(e.word0) + "," + std::to_string(e.word1) +
                " offered " + std::to_string(e.responseOffered) + "]";
    }
    line += " -> ";
    line += outcome(e, virtualBoard);
    return line;
}

Exchange fromBlocks(const wire::TransferBlock& before, const wire::TransferBlock& after,
                    int result, int err) {
    Exchange e;
    e.command = before.buffer[0];
    e.word0 = before.word0;
    e.word1 = before.word1;
    e.responseOffered = before.responseLength;
    // The request length counts the command byte; clamp what a broken block
    // claims to the buffer.
    uint32_t requestLength = before.requestLength;
    if (requestLength > wire::kBufferSize) requestLength = wire::kBufferSize;
    e.request = before.buffer + 1;
    e.requestLength = requestLength > 0 ? requestLength - 1 : 0;
    if (result != 0) {
        e.error = err != 0 ? err : EIO;
        return e;
    }
    e.responseLength = after.responseLength;
    e.response = after.buffer;
    return e;
}

// ---------------------------------------------------------------- the virtual board

bool namesVirtualBoard(const uint8_t* version, size_t length) {
    static constexpr char kName[] = "YARVO-SIM ";
    return version != nullptr && length >= sizeof kName - 1 && std::memcmp(version, kName, sizeof kName - 1) == 0;
}

ModelStatus modelStatus(const uint8_t* reply) {
    ModelStatus m;
    m.position = getBE16(reply);
    m.stepsToGo = getBE16(reply + 2);
    m.flags = reply[4];
    m.stepMode = static_cast<int8_t>(reply[5]);
    m.dutyOn = reply[6];
    m.turnLength = getBE16(reply + 7);
    return m;
}

std::vector<std::string> flagNames(uint8_t flags) {
    static const char* const kNames[8] = {"moving", "skill", "synchronised", "tampered", "stopping", "sync-armed"};
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (kNames[bit] != nullptr) {
            names.emplace_back(kNames[bit]);
        } else {
            char text[8];
            std::snprintf(text, sizeof text, "0x%02x", 1u << bit);
            names.emplace_back(text);
        }
    }
    return names;
}

void FirmwareNotes::note(int board, const Exchange& e) {
    if (board < 0 || board >= 32 || e.command != wire::kCmdFirmwareVersion || verdict(e) != Verdict::Ok) return;
    const uint32_t bit = 1u << board;
    if (namesVirtualBoard(e.response + 2, e.responseLength - 2)) {
        virtual_.fetch_or(bit);
    } else {
        virtual_.fetch_and(~bit);
    }
}

bool FirmwareNotes::virtualBoard(int board) const {
    return board >= 0 && board < 32 && (virtual_.load() & (1u << board)) != 0;
}

std::string FirmwareNotes::describe(int board, const Exchange& e) {
    note(board, e);
    return decode::describe(e, virtualBoard(board));
}

int reelOf(const Exchange& e) {
    switch (e.command) {
    case wire::kCmdSpinReel:
    case wire::kCmdRampUp:
    case wire::kCmdRampDown:
    case wire::kCmdDutyCycle:
    case wire::kCmdClearTamper:
    case wire::kCmdSynchronise:
    case wire::kCmdReelStatus:
    case wire::kCmdStartSkill:
    case wire::kCmdStopSkill:
    case wire::kCmdStopAtPosition:
    case wire::kCmdReelParameters:
        return e.requestLength > 0 && e.request != nullptr ? e.request[0] : -1;
    default:
        return -1;
    }
}

}  // namespace yarvo::decode
