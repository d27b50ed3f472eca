#include "common.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "codes.h"
#include "decode.h"
#include "numbers.h"
#include "reel_check.h"
#include "reel_files.h"

namespace yarvoctl {

namespace {

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

void appendEscaped(std::string& out, const std::string& text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

// The --declare list: COUNT[,PARAM16[,STEPS-PER-SYMBOL[,PARAM4[,PARAM5]]]],
// each within the range of ConfigureReels' parameter, as configure-reels
// takes them.  False with a message.
bool parseDeclaration(const std::string& text, std::vector<long long>* values, std::string* error) {
    static const long long kLimits[5][2] = {
        {0, UINT32_MAX}, {0, UINT32_MAX}, {0, UINT32_MAX}, {-128, 255}, {-128, 255}};
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        const size_t i = values->size();
        long long value = 0;
        if (i == 5) {
            *error = "at most five values";
            return false;
        }
        if (!yarvo::tools::parseInteger(item, kLimits[i][0], kLimits[i][1], &value, error)) {
            return false;
        }
        values->push_back(value);
    }
    if (values->empty()) {
        *error = "no count";
        return false;
    }
    return true;
}

}  // namespace

Context& context() {
    static Context instance;
    return instance;
}

// What a newcomer needs after a reel code: the board's reel numbers, or how
// a reel gets configured in a run of its own.
std::string reelHint(unsigned code) {
    const Context& ctx = context();
    if (ctx.reel < 0) return "";
    const std::string reel = "reel " + std::to_string(ctx.reel);
    if (code == ReelMsgBadReelNumber) return reel + ": a board has reels 0 to 7";
    if (code != ReelMsgReelNotConfigured) return "";
    if (ctx.declared > 0 && ctx.declared <= ctx.reel) {
        const std::string declared = ctx.declared == 1 ? "reel 0 only"
                                                        : "reels 0 to " + std::to_string(ctx.declared - 1);
        return reel + " is not configured in this run: --declare " + std::to_string(ctx.declared) + " declares " +
               declared + "; add --type TYPE or --declare " + std::to_string(ctx.reel + 1);
    }
    return reel + " is not configured in this run: add --type TYPE or --declare";
}

void failFromLibrary(const char* operation, Yarvo& yarvo) {
    const unsigned code = yarvo.GetLastError();
    std::string text = std::string(yarvo::tools::statusCodeName(code)) + " (" + std::to_string(code) + ")";
    if (const std::string hint = reelHint(code); !hint.empty()) text += ": " + hint;
    throw Failure(operation, text, static_cast<int>(code));
}

Json& Json::set(const std::string& key, Json value) {
    for (auto& member : members_) {
        if (member.first == key) {
            member.second = std::move(value);
            return *this;
        }
    }
    members_.emplace_back(key, std::move(value));
    return *this;
}

Json& Json::push(Json value) {
    items_.push_back(std::move(value));
    return *this;
}

std::string Json::dump() const {
    std::string out;
    switch (kind_) {
    case Kind::Null: return "null";
    case Kind::Bool: return integer_ ? "true" : "false";
    case Kind::Integer: return std::to_string(integer_);
    case Kind::String: appendEscaped(out, text_); return out;
    case Kind::Array:
        out = "[";
        for (size_t i = 0; i < items_.size(); ++i) {
            if (i) out += ",";
            out += items_[i].dump();
        }
        return out + "]";
    case Kind::Object:
        out = "{";
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i) out += ",";
            appendEscaped(out, members_[i].first);
            out += ":";
            out += members_[i].second.dump();
        }
        return out + "}";
    }
    return out;
}

void emit(const Json& json, const std::vector<std::string>& lines) {
    if (context().json) {
        std::cout << json.dump() << "\n";
    } else {
        for (const std::string& line : lines) std::cout << line << "\n";
    }
    std::cout.flush();
}

void openBoard(Yarvo& yarvo) {
    const int address = context().address;
    if (address < 0) {
        if (!yarvo.Init()) {
            if (yarvo.GetLastError() == ReelMsgOk) throw Failure("Init", "no board found");
            failFromLibrary("Init", yarvo);
        }
        return;
    }
    if (!yarvo.InitUSBBoard(static_cast<unsigned>(address))) {
        if (yarvo.GetLastError() == ReelMsgOk) {
            throw Failure("InitUSBBoard", "no board with address " + std::to_string(address));
        }
        failFromLibrary("InitUSBBoard", yarvo);
    }
}

std::string reelFilePath() {
    return context().reels.empty() ? std::string("tamso-reel-definitions.xml") : context().reels;
}

// A failure of the library's reel-file operations, with the file's own cause.
[[noreturn]] void failReelFile(const char* operation, Yarvo& yarvo, const std::string& type) {
    const unsigned code = yarvo.GetLastError();
    std::string text = std::string(yarvo::tools::statusCodeName(code)) + " (" + std::to_string(code) + ")";
    const std::string why = yarvo::tools::explainReelFileFailure(reelFilePath(), type, code);
    if (!why.empty()) text += ": " + why;
    if (const std::string hint = reelHint(code); !hint.empty()) text += ": " + hint;
    throw Failure(operation, text, static_cast<int>(code));
}

void loadReelFile(Yarvo& yarvo) {
    if (context().reels.empty()) return;
    // What the tools refuse to read at all (a FIFO, a device, a directory, a
    // file beyond 64 MiB), before the library is given it.
    if (const std::string problem = yarvo::tools::reelFilePathProblem(context().reels); !problem.empty()) {
        throw Failure("--reels", problem);
    }
    std::vector<char> path(context().reels.begin(), context().reels.end());
    path.push_back('\0');
    if (!yarvo.VendorSetReelFilePath(path.data())) failReelFile("VendorSetReelFilePath", yarvo, "");
}

void prepareReel(Yarvo& yarvo, unsigned reel, const ReelSetup& setup) {
    context().reel = reel;
    if (!setup.declare.empty()) {
        std::vector<long long> v;
        std::string error;
        if (!parseDeclaration(setup.declare, &v, &error)) {
            throw CLI::ValidationError("--declare",
                                       error + "; it takes COUNT[,PARAM16[,STEPS-PER-SYMBOL[,PARAM4[,PARAM5]]]]");
        }
        // Defaults: keep the turn length, one step per symbol, a step
        // period of 50 and no fifth parameter.
        const long long defaults[5] = {0, 0, 1, 50, 0};
        for (size_t i = v.size(); i < 5; ++i) v.push_back(defaults[i]);
        check(yarvo.ConfigureReels(static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                                   static_cast<unsigned>(v[2]), static_cast<char>(v[3]),
                                   static_cast<char>(v[4])),
              "ConfigureReels", yarvo);
        context().declared = v[0];
    }
    if (!setup.type.empty()) {
        loadReelFile(yarvo);
        std::vector<char> type(setup.type.begin(), setup.type.end());
        type.push_back('\0');
        if (!yarvo.VendorConfigureReel(reelArgument(reel), type.data())) {
            failReelFile("VendorConfigureReel", yarvo, setup.type);
        }
        context().definedReels.insert(reel);
    }
}

void addReelSetupOptions(CLI::App* sub, ReelSetup& setup) {
    sub->add_option("--type", setup.type,
                    "configure the reel from this reel type of the reel-definition file first "
                    "(the library keeps nothing between runs)");
    sub->add_option("--declare", setup.declare,
                    "declare reels 0..COUNT-1 for step-level use first: "
                    "COUNT[,PARAM16[,STEPS-PER-SYMBOL[,PARAM4[,PARAM5]]]] (defaults 0,1,50,0)");
}

CLI::Validator integer(long long min, long long max) {
    return CLI::Validator(
        [min, max](std::string& text) {
            long long value = 0;
            std::string error;
            if (!yarvo::tools::parseInteger(text, min, max, &value, &error)) {
                return error;
            }
            text = std::to_string(value);
            return std::string();
        },
        "INT in " + std::to_string(min) + " to " + std::to_string(max));
}

CLI::Option* addReelArgument(CLI::App* sub, unsigned& reel) {
    return sub->add_option("reel", reel, "reel number, 0 to 7")->required()->transform(integer(0, UINT32_MAX));
}

unsigned char reelArgument(unsigned reel) { return static_cast<unsigned char>(reel < 255 ? reel : 255); }

bool virtualBoard(Yarvo& yarvo) {
    unsigned char version[256] = {};
    return yarvo.GetFirmwareVersion(version) &&
           yarvo::decode::namesVirtualBoard(version, strnlen(reinterpret_cast<const char*>(version), sizeof version - 1));
}

bool sleepMillis(unsigned millis) {
    if (interrupted) return false;
    timespec delay{static_cast<time_t>(millis / 1000), static_cast<long>(millis % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
        if (interrupted) return false;
    }
    return !interrupted;
}

void installInterruptHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string hexWord(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

std::string printable(const unsigned char* bytes, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        }
    }
    return out;
}

}  // namespace yarvoctl
