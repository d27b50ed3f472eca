// Board-level subcommands: detect, info, inputs, changed-inputs, output,
// outputs, modify-outputs, lamps.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "board_name.h"
#include "common.h"
#include "wire.h"

namespace yarvoctl {
namespace {

constexpr char kBoardIdentity[] = "K-Mora Yarvo Board";

// One sysfs attribute as text, without its line end; false when absent.
bool readAttribute(const std::string& path, std::string* text) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    char buffer[129] = {};
    const size_t n = std::fread(buffer, 1, 128, file);
    std::fclose(file);
    text->assign(buffer, n);
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    return true;
}

const char* speedName(const std::string& text) { return yarvo::names::usbSpeedName(text.c_str()); }

// Reads the board address of one instance the way the library's search
// does: the input report through the node, bits 0-2 of its third byte.
// Returns the address, or -1 with a reason.
int probeAddress(unsigned instance, std::string* reason) {
    const std::string node = "/dev/Kmora_" + std::to_string(instance);
    const int fd = ::open(node.c_str(), O_RDWR);
    if (fd < 0) {
        *reason = node + ": " + std::strerror(errno);
        return -1;
    }
    yarvo::wire::TransferBlock block;
    std::memset(&block, 0, sizeof block);
    block.word0 = yarvo::wire::kBlockWord0;
    block.word1 = yarvo::wire::kBlockWord1;
    block.requestLength = 1;
    block.responseLength = yarvo::wire::kResponseOffered;
    block.buffer[0] = yarvo::wire::kCmdInputReport;
    const int result = ::ioctl(fd, yarvo::wire::kTransferRequest, &block);
    const int err = errno;
    ::close(fd);
    if (result != 0) {
        *reason = std::string("input report failed: ") + std::strerror(err);
        return -1;
    }
    if (block.responseLength < 5 || block.responseLength > yarvo::wire::kMaxResponseLength ||
        block.buffer[0] != yarvo::wire::kCmdInputReport || block.buffer[1] != 0) {
        *reason = "input report refused";
        return -1;
    }
    return block.buffer[4] & 0x07;
}

int runDetect() {
    Json list = Json::array();
    std::vector<std::string> lines;
    for (unsigned instance = 0; instance < 16; ++instance) {
        const std::string base = "/sys/class/Kmora/Kmora_" + std::to_string(instance) + "/device/";
        const std::string name = "Kmora_" + std::to_string(instance);
        Json entry = Json::object();
        entry.set("instance", instance);
        std::string product;
        if (!readAttribute(base + "product", &product)) {
            entry.set("present", false);
            list.push(entry);
            lines.push_back(name + ": absent");
            continue;
        }
        const bool identifies = product.compare(0, 18, kBoardIdentity) == 0;
        std::string speed;
        const bool speedKnown = readAttribute(base + "speed", &speed);
        entry.set("present", true).set("product", product).set("board", identifies);
        std::string line = name + ": \"" + product + "\"";
        if (speedKnown) {
            entry.set("speed", speed).set("usbSpeed", speedName(speed));
            line += ", speed " + speed + " (" + speedName(speed) + ")";
        } else {
            entry.set("speed", Json());
            line += ", no speed attribute";
        }
        if (!identifies) {
            line += ", not a Yarvo board";
        } else {
            std::string reason;
            const int address = probeAddress(instance, &reason);
            if (address >= 0) {
                entry.set("address", address);
                line += ", address " + std::to_string(address);
            } else {
                entry.set("address", Json()).set("error", reason);
                line += ", " + reason;
            }
        }
        list.push(entry);
        lines.push_back(line);
    }
    emit(Json::object().set("instances", list), lines);
    return kExitOk;
}

std::string usbSpeedText(USBBoardSpeed speed) {
    switch (speed) {
    case USBBoardSpeedFull: return "full";
    case USBBoardSpeedHigh: return "high";
    default: return "none";
    }
}

int runInfo() {
    Yarvo yarvo;
    unsigned char library[8] = {}, product[8] = {};
    check(yarvo.GetDllVersion(library), "GetDllVersion", yarvo);
    check(yarvo.GetProductVersion(product), "GetProductVersion", yarvo);
    openBoard(yarvo);
    unsigned char firmware[256] = {};
    check(yarvo.GetFirmwareVersion(firmware), "GetFirmwareVersion", yarvo);
    KReelPowerStatus power{};
    check(yarvo.GetPowerStatus(&power), "GetPowerStatus", yarvo);
    USBBoardSpeed speed = USBBoardSpeedNone;
    check(yarvo.GetBoardSpeed(&speed), "GetBoardSpeed", yarvo);

    // The firmware's text has no terminator of its own; the buffer was
    // cleared, so it ends at the first NUL.
    const std::string version =
        printable(firmware, strnlen(reinterpret_cast<const char*>(firmware), sizeof firmware - 1));
    Json json = Json::object();
    json.set("library", reinterpret_cast<const char*>(library))
        .set("product", reinterpret_cast<const char*>(product))
        .set("firmware", version)
        .set("power", power.value)
        .set("usbSpeed", usbSpeedText(speed));
    emit(json, {std::string("library version:  ") + reinterpret_cast<const char*>(library),
                std::string("product version:  ") + reinterpret_cast<const char*>(product),
                "firmware version: " + version,
                "power status:     " + std::to_string(power.value) + " (" +
                    hexWord(power.value, 2) + ")",
                "USB speed:        " + usbSpeedText(speed)});
    return kExitOk;
}

std::string bitList(uint32_t bits, unsigned count) {
    std::string out;
    for (unsigned i = 0; i < count; ++i) {
        if (bits & (1u << i)) out += (out.empty() ? "" : " ") + std::to_string(i);
    }
    return out.empty() ? "none" : out;
}

struct WatchOptions {
    bool watch = false;
    unsigned interval = 100;  // milliseconds
    unsigned count = 0;       // reads before stopping; 0: until interrupted
};

void addWatchOptions(CLI::App* sub, WatchOptions& w, const char* what) {
    sub->add_flag("--watch,-w", w.watch, std::string("keep reading and report each change of ") + what +
                                             " until interrupted");
    sub->add_option("--interval", w.interval, "milliseconds between reads when watching")
        ->transform(integer(1, 60000));
    sub->add_option("--count", w.count, "when watching, stop after this many reads")->transform(integer(0, UINT32_MAX));
}

int runInputs(const WatchOptions& w) {
    Yarvo yarvo;
    openBoard(yarvo);
    installInterruptHandler();
    unsigned reads = 0;
    bool first = true;
    uint32_t last = 0;
    do {
        ++reads;
        unsigned short low = 0;
        unsigned char high = 0;
        check(yarvo.GetInputs(&low, &high), "GetInputs", yarvo);
        const uint32_t bits = low | (static_cast<uint32_t>(high) << 16);
        if (first || bits != last) {
            Json json = Json::object();
            Json list = Json::array();
            for (unsigned i = 0; i < 24; ++i) list.push(Json((bits >> i & 1u) != 0));
            json.set("inputs", bits).set("low", unsigned(low)).set("high", unsigned(high))
                .set("address", unsigned(high & 0x07)).set("bits", list);
            emit(json, {"inputs: " + hexWord(bits, 6) + " (on: " + bitList(bits, 24) + ")" +
                        ", address " + std::to_string(high & 0x07)});
            first = false;
            last = bits;
        }
        if (!w.watch || (w.count != 0 && reads >= w.count)) break;
    } while (sleepMillis(w.interval));
    return kExitOk;
}

int runChangedInputs() {
    Yarvo yarvo;
    openBoard(yarvo);
    unsigned short changed = 0;
    check(yarvo.GetChangedInputs(&changed), "GetChangedInputs", yarvo);
    emit(Json::object().set("changed", unsigned(changed)),
         {"changed inputs: " + hexWord(changed, 4) + " (" + bitList(changed, 16) + ")"});
    return kExitOk;
}

bool onOff(const std::string& word) { return word == "on"; }

}  // namespace

void addBoardCommands(CLI::App& app) {
    Context& ctx = context();

    CLI::App* detect = app.add_subcommand(
        "detect", "list driver instances 0 to 15: presence, product text, USB speed, board address");
    detect->callback([&ctx] { ctx.action = runDetect; });

    CLI::App* info = app.add_subcommand(
        "info", "library and product versions, firmware version, power status, USB speed");
    info->callback([&ctx] { ctx.action = runInfo; });

    auto inputsWatch = std::make_shared<WatchOptions>();
    CLI::App* inputs = app.add_subcommand("inputs", "read the 24 inputs (and the board address)");
    addWatchOptions(inputs, *inputsWatch, "the inputs");
    inputs->callback([&ctx, inputsWatch] { ctx.action = [inputsWatch] { return runInputs(*inputsWatch); }; });

    CLI::App* changed = app.add_subcommand(
        "changed-inputs", "read the board's changed-inputs value (the board may clear it on reading)");
    changed->callback([&ctx] { ctx.action = runChangedInputs; });

    struct OutputArgs {
        int output = 0;
        std::string state;
    };
    auto out = std::make_shared<OutputArgs>();
    CLI::App* output = app.add_subcommand("output", "switch one output (0 to 63) on or off");
    output->add_option("output", out->output, "output number, 0 to 63")->required()->transform(integer(0, 255));
    output->add_option("state", out->state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    output->callback([&ctx, out] {
        ctx.action = [out] {
            Yarvo yarvo;
            openBoard(yarvo);
            const bool on = onOff(out->state);
            check(yarvo.SetOutputBit(static_cast<KReelOutputBit>(out->output), on), "SetOutputBit", yarvo);
            emit(Json::object().set("output", out->output).set("on", on),
                 {"output " + std::to_string(out->output) + " " + out->state});
            return kExitOk;
        };
    });

    auto words = std::make_shared<std::vector<uint32_t>>();
    CLI::App* outputs = app.add_subcommand("outputs", "set all 64 outputs from two 32-bit words");
    outputs->add_option("words", *words, "first and second output word (decimal or 0x...)")
        ->required()->expected(2)->transform(integer(0, UINT32_MAX));
    outputs->callback([&ctx, words] {
        ctx.action = [words] {
            Yarvo yarvo;
            openBoard(yarvo);
            const uint32_t first = (*words)[0], second = (*words)[1];
            check(yarvo.SetOutputs(first, second), "SetOutputs", yarvo);
            emit(Json::object().set("first", first).set("second", second),
                 {"outputs set: first " + hexWord(first, 8) + ", second " + hexWord(second, 8)});
            return kExitOk;
        };
    });

    auto masks = std::make_shared<std::vector<uint32_t>>();
    CLI::App* modify = app.add_subcommand(
        "modify-outputs",
        "switch outputs by masks: W2 switches lamp-word outputs on and W4 off; W1 and W3 as the "
        "board firmware defines");
    modify->add_option("words", *masks, "the four mask words W1 W2 W3 W4 (decimal or 0x...)")
        ->required()->expected(4)->transform(integer(0, UINT32_MAX));
    modify->callback([&ctx, masks] {
        ctx.action = [masks] {
            Yarvo yarvo;
            openBoard(yarvo);
            const auto& m = *masks;
            check(yarvo.ModifyOutputs(m[0], m[1], m[2], m[3]), "ModifyOutputs", yarvo);
            Json json = Json::object();
            json.set("w1", m[0]).set("w2", m[1]).set("w3", m[2]).set("w4", m[3]);
            emit(json, {"outputs modified: " + hexWord(m[0], 8) + " " + hexWord(m[1], 8) + " " +
                        hexWord(m[2], 8) + " " + hexWord(m[3], 8)});
            return kExitOk;
        };
    });

    struct LampArgs {
        unsigned reel = 0;
        std::string state;
        ReelSetup setup;
    };
    auto lamp = std::make_shared<LampArgs>();
    CLI::App* lamps = app.add_subcommand("lamps", "switch the three lamps of a configured reel");
    addReelArgument(lamps, lamp->reel);
    lamps->add_option("state", lamp->state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    addReelSetupOptions(lamps, lamp->setup);
    lamps->callback([&ctx, lamp] {
        ctx.action = [lamp] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, lamp->reel, lamp->setup);
            const bool on = onOff(lamp->state);
            check(yarvo.SetReelLamps(reelArgument(lamp->reel), on), "SetReelLamps", yarvo);
            emit(Json::object().set("reel", lamp->reel).set("on", on),
                 {"reel " + std::to_string(lamp->reel) + " lamps " + lamp->state});
            return kExitOk;
        };
    });
}

}  // namespace yarvoctl
