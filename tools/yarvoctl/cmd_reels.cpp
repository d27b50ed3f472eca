// Reel subcommands: configure, configure-reels, duty, sync, clear-tamper,
// spin, skill start/stop, status.
//
// The library keeps nothing between processes, so a reel that one run
// configured is unconfigured again in the next.  Every subcommand that works
// on a reel therefore takes --type T (configure it from the reel-definition
// file first) or --declare COUNT (declare reels for step-level use first).
#include <cstdio>
#include <memory>

#include "common.h"
#include "decode.h"
#include "reel_check.h"

namespace yarvoctl {
namespace {

// What the reel-definition file says about a type, by the library's rules.
void describeType(const std::string& type, Json* json, std::vector<std::string>* lines) {
    ReelDataDef d{};
    if (!yarvo::tools::readDefinition(reelFilePath(), type, &d)) return;
    Json speeds = Json::array();
    std::string text;
    for (unsigned i = 0; i < d.rampTableCount; ++i) {
        const RampTableDef& r = d.rampTables[i];
        const char* step = r.stepType ? "full" : "half";
        speeds.push(Json::object()
                        .set("speed", r.speed)
                        .set("stepType", step)
                        .set("rampUp", unsigned(r.rampUp.length))
                        .set("rampDown", unsigned(r.rampDown.length)));
        text += (text.empty() ? "" : ", ") + std::to_string(r.speed) + " (" + step + ")";
    }
    const unsigned turn = 2u * d.symbolTable.stepsPerTurn;
    json->set("turn", turn).set("symbols", unsigned(d.symbolTable.symbolsPerTurn)).set("speeds", speeds);
    lines->push_back("  turn " + std::to_string(turn) + " half steps, " +
                     std::to_string(d.symbolTable.symbolsPerTurn) + " symbols, speeds " + text);
}

std::string signedText(int value) { return (value > 0 ? "+" : "") + std::to_string(value); }

struct StatusArgs {
    unsigned reel = 0;
    ReelSetup setup;
    bool watch = false;
    unsigned interval = 100;
    unsigned count = 0;
};

// One status reading, with the nearest symbol when the reel has a definition.
struct Reading {
    KReelStatus status{};
    bool extended = false;
    KReelStatusEx ex{};
    bool operator==(const Reading& o) const {
        return status.position == o.status.position && status.statusWord1 == o.status.statusWord1 &&
               status.statusByte1 == o.status.statusByte1 &&
               status.statusByte2 == o.status.statusByte2 &&
               status.statusByte3 == o.status.statusByte3 &&
               status.statusWord2 == o.status.statusWord2 &&
               (!extended || (ex.nearestSymbol == o.ex.nearestSymbol &&
                              ex.symbolOffset == o.ex.symbolOffset && ex.reelSpeed == o.ex.reelSpeed));
    }
};

Reading readStatus(Yarvo& yarvo, unsigned reel) {
    Reading r;
    if (context().definedReels.count(reel) != 0) {
        r.extended = true;
        check(yarvo.VendorGetReelStatus(reelArgument(reel), &r.ex), "VendorGetReelStatus", yarvo);
        r.status = {r.ex.position, r.ex.statusWord1, r.ex.statusByte1, r.ex.statusByte2,
                    r.ex.statusByte3, r.ex.statusWord2};
    } else {
        check(yarvo.GetReelStatus(reelArgument(reel), &r.status), "GetReelStatus", yarvo);
    }
    return r;
}

// The status fields as the library passes them on: their meaning is the
// firmware's, so they keep neutral names ...
void neutralStatus(const KReelStatus& s, Json* json, std::string* line) {
    json->set("word1", unsigned(s.statusWord1))
        .set("byte1", unsigned(s.statusByte1))
        .set("byte2", unsigned(s.statusByte2))
        .set("byte3", unsigned(s.statusByte3))
        .set("word2", unsigned(s.statusWord2));
    *line += ", word1 " + std::to_string(s.statusWord1) + ", byte1 " + hexWord(s.statusByte1, 2) + ", byte2 " +
             std::to_string(s.statusByte2) + ", byte3 " + std::to_string(s.statusByte3) + ", word2 " +
             std::to_string(s.statusWord2);
}

// ... except on the virtual board, whose model documents them.
void modelStatus(const KReelStatus& s, Json* json, std::string* line) {
    const std::vector<std::string> names = yarvo::decode::flagNames(s.statusByte1);
    Json flags = Json::array();
    std::string flagText;
    for (const std::string& name : names) {
        flags.push(name);
        flagText += (flagText.empty() ? "" : " ") + name;
    }
    const int stepMode = static_cast<signed char>(s.statusByte2);
    json->set("stepsToGo", unsigned(s.statusWord1))
        .set("flags", unsigned(s.statusByte1))
        .set("flagNames", flags)
        .set("stepMode", stepMode)
        .set("dutyOn", unsigned(s.statusByte3))
        .set("turnLength", unsigned(s.statusWord2));
    *line += ", steps to go " + std::to_string(s.statusWord1) + ", flags " +
             (flagText.empty() ? std::string("none") : flagText) + ", step mode " + std::to_string(stepMode) +
             ", duty on " + std::to_string(s.statusByte3) + ", turn " + std::to_string(s.statusWord2);
}

void emitStatus(unsigned reel, const Reading& r, bool model) {
    const KReelStatus& s = r.status;
    Json json = Json::object();
    json.set("reel", reel).set("position", unsigned(s.position));
    std::string line = "reel " + std::to_string(reel) + ": position " + std::to_string(s.position);
    if (model) {
        modelStatus(s, &json, &line);
    } else {
        neutralStatus(s, &json, &line);
    }
    if (r.extended) {
        json.set("nearestSymbol", r.ex.nearestSymbol)
            .set("symbolOffset", int(r.ex.symbolOffset))
            .set("speed", r.ex.reelSpeed);
        line += "; nearest symbol " + std::to_string(r.ex.nearestSymbol) + " offset " +
                signedText(r.ex.symbolOffset) + ", speed " + std::to_string(r.ex.reelSpeed);
    }
    emit(json, {line});
}

int runStatus(const StatusArgs& a) {
    Yarvo yarvo;
    openBoard(yarvo);
    prepareReel(yarvo, a.reel, a.setup);
    const bool model = virtualBoard(yarvo);
    installInterruptHandler();
    Reading last;
    unsigned reads = 0;
    do {
        const Reading r = readStatus(yarvo, a.reel);
        if (reads++ == 0 || !(r == last)) {
            emitStatus(a.reel, r, model);
            last = r;
        }
        if (!a.watch || (a.count != 0 && reads >= a.count)) break;
    } while (sleepMillis(a.interval));
    return kExitOk;
}

struct SpinArgs {
    unsigned reel = 0;
    ReelSetup setup;
    unsigned steps = 0;
    int mode = 0;
    unsigned toSymbol = 0;
    unsigned symbols = 0;
    int speed = 0;
    CLI::Option* stepsOpt = nullptr;
    CLI::Option* modeOpt = nullptr;
    CLI::Option* toSymbolOpt = nullptr;
    CLI::Option* symbolsOpt = nullptr;
    CLI::Option* speedOpt = nullptr;
};

int runSpin(const SpinArgs& a) {
    Yarvo yarvo;
    openBoard(yarvo);
    prepareReel(yarvo, a.reel, a.setup);
    Json json = Json::object();
    json.set("reel", a.reel);
    std::string line = "reel " + std::to_string(a.reel) + ": ";
    if (a.stepsOpt->count() != 0) {
        check(yarvo.SpinReels(reelArgument(a.reel), static_cast<char>(a.mode), a.steps), "SpinReels", yarvo);
        json.set("steps", a.steps).set("mode", a.mode);
        line += "spinning " + std::to_string(a.steps) + " steps, step mode " + signedText(a.mode);
    } else if (a.toSymbolOpt->count() != 0) {
        check(yarvo.VendorSpinReelToSymbol(reelArgument(a.reel), a.toSymbol, a.speed),
              "VendorSpinReelToSymbol", yarvo);
        json.set("toSymbol", a.toSymbol).set("speed", a.speed);
        line += "spinning to symbol " + std::to_string(a.toSymbol) + " at speed " + std::to_string(a.speed);
    } else {
        check(yarvo.VendorSpinReelNumberOfSymbols(reelArgument(a.reel), a.symbols, a.speed),
              "VendorSpinReelNumberOfSymbols", yarvo);
        json.set("symbols", a.symbols).set("speed", a.speed);
        line += "spinning " + std::to_string(a.symbols) + " symbols at speed " + std::to_string(a.speed);
    }
    emit(json, {line});
    return kExitOk;
}

}  // namespace

void addReelCommands(CLI::App& app) {
    Context& ctx = context();

    // configure REEL TYPE
    struct ConfigureArgs {
        unsigned reel = 0;
        std::string type;
    };
    auto cfg = std::make_shared<ConfigureArgs>();
    CLI::App* configure = app.add_subcommand(
        "configure", "configure a reel from a reel type of the reel-definition file (--reels FILE)");
    addReelArgument(configure, cfg->reel);
    configure->add_option("type", cfg->type, "reel type, compared ignoring case")->required();
    configure->callback([&ctx, cfg] {
        ctx.action = [cfg] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, cfg->reel, ReelSetup{cfg->type, ""});
            Json json = Json::object();
            json.set("reel", cfg->reel).set("type", cfg->type);
            std::vector<std::string> lines{"reel " + std::to_string(cfg->reel) + " configured as " + cfg->type};
            describeType(cfg->type, &json, &lines);
            emit(json, lines);
            return kExitOk;
        };
    });

    // configure-reels COUNT PARAM16 STEPS-PER-SYMBOL PARAM4 PARAM5
    struct DeclareArgs {
        unsigned count = 0;
        unsigned param16 = 0;
        unsigned stepsPerSymbol = 0;
        int param4 = 0;
        int param5 = 0;
    };
    auto decl = std::make_shared<DeclareArgs>();
    CLI::App* declare = app.add_subcommand(
        "configure-reels",
        "declare reels 0..COUNT-1 for step-level use (command 40); the values other than COUNT and "
        "STEPS-PER-SYMBOL are passed to the board as they are");
    declare->add_option("count", decl->count, "number of reels, 0 to 8")->required()->transform(integer(0, UINT32_MAX));
    declare->add_option("param16", decl->param16, "16-bit reel parameter (low 16 bits sent)")->required()->transform(integer(0, UINT32_MAX));
    declare->add_option("steps-per-symbol", decl->stepsPerSymbol, "motor steps per symbol")->required()->transform(integer(0, UINT32_MAX));
    declare->add_option("param4", decl->param4, "reel parameter, 1 to 127")
        ->required()->transform(integer(-128, 255));
    declare->add_option("param5", decl->param5, "reel parameter the board receives negated")
        ->required()->transform(integer(-128, 255));
    declare->callback([&ctx, decl] {
        ctx.action = [decl] {
            Yarvo yarvo;
            openBoard(yarvo);
            check(yarvo.ConfigureReels(decl->count, decl->param16, decl->stepsPerSymbol,
                                       static_cast<char>(decl->param4), static_cast<char>(decl->param5)),
                  "ConfigureReels", yarvo);
            Json json = Json::object();
            json.set("count", decl->count).set("param16", decl->param16)
                .set("stepsPerSymbol", decl->stepsPerSymbol).set("param4", decl->param4)
                .set("param5", decl->param5);
            emit(json, {"reels 0 to " + std::to_string(int(decl->count) - 1) + " declared"});
            return kExitOk;
        };
    });

    // duty REEL OFF ON
    struct DutyArgs {
        unsigned reel = 0, off = 0, on = 0;
        ReelSetup setup;
    };
    auto duty = std::make_shared<DutyArgs>();
    CLI::App* dutySub = app.add_subcommand("duty", "set a reel's duty cycle (off + on below 256)");
    addReelArgument(dutySub, duty->reel);
    dutySub->add_option("off", duty->off, "duty-cycle off value, 0 to 255")->required()->transform(integer(0, 255));
    dutySub->add_option("on", duty->on, "duty-cycle on value, 0 to 255")->required()->transform(integer(0, 255));
    addReelSetupOptions(dutySub, duty->setup);
    dutySub->callback([&ctx, duty] {
        ctx.action = [duty] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, duty->reel, duty->setup);
            check(yarvo.SetDutyCycle(reelArgument(duty->reel), static_cast<unsigned char>(duty->off),
                                     static_cast<unsigned char>(duty->on)),
                  "SetDutyCycle", yarvo);
            emit(Json::object().set("reel", duty->reel).set("off", duty->off).set("on", duty->on),
                 {"reel " + std::to_string(duty->reel) + " duty cycle off " + std::to_string(duty->off) +
                  " on " + std::to_string(duty->on)});
            return kExitOk;
        };
    });

    // sync REEL
    struct SyncArgs {
        unsigned reel = 0;
        bool enableOnly = false;
        ReelSetup setup;
    };
    auto sync = std::make_shared<SyncArgs>();
    CLI::App* syncSub = app.add_subcommand(
        "sync", "synchronise a reel: enable synchronisation and spin it two turns and a symbol at the "
                "definition speed nearest 70 (needs --type), or only enable it (--enable-only)");
    addReelArgument(syncSub, sync->reel);
    syncSub->add_flag("--enable-only", sync->enableOnly, "only enable synchronisation (mode 0), no spin");
    addReelSetupOptions(syncSub, sync->setup);
    syncSub->callback([&ctx, sync] {
        ctx.action = [sync] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, sync->reel, sync->setup);
            if (sync->enableOnly) {
                check(yarvo.ReelSynchroniseEnable(reelArgument(sync->reel)), "ReelSynchroniseEnable", yarvo);
            } else {
                check(yarvo.VendorSynchroniseReel(reelArgument(sync->reel)), "VendorSynchroniseReel", yarvo);
            }
            emit(Json::object().set("reel", sync->reel).set("spin", !sync->enableOnly),
                 {"reel " + std::to_string(sync->reel) +
                  (sync->enableOnly ? " synchronisation enabled" : " synchronising")});
            return kExitOk;
        };
    });

    // clear-tamper REEL
    struct ReelOnly {
        unsigned reel = 0;
        ReelSetup setup;
    };
    auto tamper = std::make_shared<ReelOnly>();
    CLI::App* tamperSub = app.add_subcommand("clear-tamper", "clear a reel's tampered state");
    addReelArgument(tamperSub, tamper->reel);
    addReelSetupOptions(tamperSub, tamper->setup);
    tamperSub->callback([&ctx, tamper] {
        ctx.action = [tamper] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, tamper->reel, tamper->setup);
            check(yarvo.ClearTamperedState(reelArgument(tamper->reel)), "ClearTamperedState", yarvo);
            emit(Json::object().set("reel", tamper->reel),
                 {"reel " + std::to_string(tamper->reel) + " tampered state cleared"});
            return kExitOk;
        };
    });

    // spin REEL (--steps N --mode M | --to-symbol S --speed V | --symbols N --speed V)
    auto spin = std::make_shared<SpinArgs>();
    CLI::App* spinSub = app.add_subcommand(
        "spin", "spin a reel by motor steps, to a symbol, or by a number of symbols");
    addReelArgument(spinSub, spin->reel);
    spin->stepsOpt = spinSub->add_option("--steps", spin->steps, "motor steps, 0 to 32767")->transform(integer(0, UINT32_MAX));
    spin->modeOpt = spinSub->add_option("--mode", spin->mode, "step mode for --steps: -2, -1, 1 or 2")
                        ->transform(integer(-128, 127));
    spin->toSymbolOpt = spinSub->add_option("--to-symbol", spin->toSymbol, "target symbol number")->transform(integer(0, UINT32_MAX));
    spin->symbolsOpt = spinSub->add_option("--symbols", spin->symbols, "number of symbols to travel")->transform(integer(0, UINT32_MAX));
    spin->speedOpt = spinSub->add_option("--speed", spin->speed,
                                         "speed for symbol spins (negative: backwards)")
                         ->transform(integer(INT32_MIN, INT32_MAX));
    spin->stepsOpt->needs(spin->modeOpt);
    spin->modeOpt->needs(spin->stepsOpt);
    spin->stepsOpt->excludes(spin->toSymbolOpt)->excludes(spin->symbolsOpt)->excludes(spin->speedOpt);
    spin->toSymbolOpt->excludes(spin->symbolsOpt)->needs(spin->speedOpt);
    spin->symbolsOpt->needs(spin->speedOpt);
    addReelSetupOptions(spinSub, spin->setup);
    spinSub->callback([&ctx, spin] {
        if (spin->stepsOpt->count() + spin->toSymbolOpt->count() + spin->symbolsOpt->count() == 0) {
            throw CLI::RequiredError("one of --steps, --to-symbol or --symbols");
        }
        ctx.action = [spin] { return runSpin(*spin); };
    });

    // skill start REEL (--speed V | --mode M); skill stop REEL [--symbol S | --position P | --plain]
    CLI::App* skill = app.add_subcommand("skill", "start and stop skill spins");
    skill->require_subcommand(1);
    struct SkillArgs {
        unsigned reel = 0;
        int speed = 0;
        int mode = 0;
        unsigned symbol = 0;
        unsigned position = 0;
        bool plain = false;
        ReelSetup setup;
        CLI::Option* speedOpt = nullptr;
        CLI::Option* modeOpt = nullptr;
        CLI::Option* symbolOpt = nullptr;
        CLI::Option* positionOpt = nullptr;
    };
    auto start = std::make_shared<SkillArgs>();
    CLI::App* startSub = skill->add_subcommand(
        "start", "start a skill spin at the definition speed nearest --speed, or in step mode --mode");
    addReelArgument(startSub, start->reel);
    start->speedOpt = startSub->add_option("--speed", start->speed, "speed, not 0 (negative: backwards)")
                          ->transform(integer(INT32_MIN, INT32_MAX));
    start->modeOpt = startSub->add_option("--mode", start->mode, "step mode -2, -1, 1 or 2 (no definition needed)")
                         ->transform(integer(-128, 127));
    start->speedOpt->excludes(start->modeOpt);
    addReelSetupOptions(startSub, start->setup);
    startSub->callback([&ctx, start] {
        if (start->speedOpt->count() + start->modeOpt->count() == 0) {
            throw CLI::RequiredError("--speed or --mode");
        }
        ctx.action = [start] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, start->reel, start->setup);
            Json json = Json::object();
            json.set("reel", start->reel);
            if (start->speedOpt->count() != 0) {
                check(yarvo.VendorSpinReelStartSkill(reelArgument(start->reel), start->speed),
                      "VendorSpinReelStartSkill", yarvo);
                json.set("speed", start->speed);
            } else {
                check(yarvo.SpinStartSkill(reelArgument(start->reel), static_cast<char>(start->mode)),
                      "SpinStartSkill", yarvo);
                json.set("mode", start->mode);
            }
            emit(json, {"reel " + std::to_string(start->reel) + " skill spin started"});
            return kExitOk;
        };
    });

    auto stop = std::make_shared<SkillArgs>();
    CLI::App* stopSub = skill->add_subcommand(
        "stop", "stop a skill spin on the next symbol past the predicted stop point (needs --type), "
                "on a named symbol, at a position, or plainly");
    addReelArgument(stopSub, stop->reel);
    stop->symbolOpt = stopSub->add_option("--symbol", stop->symbol, "stop on this symbol")->transform(integer(0, UINT32_MAX));
    stop->positionOpt = stopSub->add_option("--position", stop->position, "stop at this position (half steps)")
                            ->transform(integer(0, UINT32_MAX));
    CLI::Option* plainOpt = stopSub->add_flag("--plain", stop->plain,
                                              "stop through the board's ramp-down wherever the reel is");
    stop->symbolOpt->excludes(stop->positionOpt)->excludes(plainOpt);
    stop->positionOpt->excludes(plainOpt);
    addReelSetupOptions(stopSub, stop->setup);
    stopSub->callback([&ctx, stop] {
        ctx.action = [stop] {
            Yarvo yarvo;
            openBoard(yarvo);
            prepareReel(yarvo, stop->reel, stop->setup);
            const unsigned char reel = reelArgument(stop->reel);
            Json json = Json::object();
            json.set("reel", stop->reel);
            std::string how;
            if (stop->symbolOpt->count() != 0) {
                check(yarvo.VendorStopReelSpinAtPosition(reel, stop->symbol), "VendorStopReelSpinAtPosition", yarvo);
                json.set("symbol", stop->symbol);
                how = " on symbol " + std::to_string(stop->symbol);
            } else if (stop->positionOpt->count() != 0) {
                check(yarvo.StopCurrentSpinAtPosition(reel, stop->position), "StopCurrentSpinAtPosition", yarvo);
                json.set("position", stop->position);
                how = " at position " + std::to_string(stop->position);
            } else if (stop->plain) {
                check(yarvo.SpinStopSkill(reel), "SpinStopSkill", yarvo);
                json.set("plain", true);
            } else {
                check(yarvo.VendorSpinReelStopSkill(reel), "VendorSpinReelStopSkill", yarvo);
                how = " on the next symbol";
            }
            emit(json, {"reel " + std::to_string(stop->reel) + " stopping" + how});
            return kExitOk;
        };
    });

    // status REEL [--watch]
    auto status = std::make_shared<StatusArgs>();
    CLI::App* statusSub = app.add_subcommand(
        "status", "read a reel's status; with --type also the nearest symbol, its offset and the speed");
    addReelArgument(statusSub, status->reel);
    statusSub->add_flag("--watch,-w", status->watch, "keep reading and report each change until interrupted");
    statusSub->add_option("--interval", status->interval, "milliseconds between reads when watching")
        ->transform(integer(1, 60000));
    statusSub->add_option("--count", status->count, "when watching, stop after this many reads")->transform(integer(0, UINT32_MAX));
    addReelSetupOptions(statusSub, status->setup);
    statusSub->callback([&ctx, status] { ctx.action = [status] { return runStatus(*status); }; });
}

}  // namespace yarvoctl
