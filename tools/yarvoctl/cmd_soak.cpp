// soak: checks a cabinet's reels through the library (soak.h), with one line
// per reel (or JSON), an HTML report for a technician, and progress on a
// terminal.
//
// Exit status: 0 every reel clean, 1 a reel missed or raised a fault flag,
// 2 usage error (a --report file that cannot be written included), 4 a
// library call failed, 130 interrupted.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "codes.h"
#include "firmware.h"
#include "numbers.h"
#include "common.h"
#include "output_file.h"
#include "reel_check.h"
#include "soak.h"
#include "soak_report.h"

namespace yarvoctl {
namespace {

constexpr int kExitLibrary = 4;
constexpr int kExitInterrupted = 130;

struct SoakArgs {
    std::string types;
    std::string reels;
    unsigned spins = 100;
    unsigned resyncEvery = 10;
    uint32_t seed = 0;
    CLI::Option* seedOpt = nullptr;
    std::string reportPath;
};

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) items.push_back(item);
    if (!text.empty() && text.back() == ',') items.push_back("");
    return items;
}

// The reels and their types, as the options pair them.
void planReels(const SoakArgs& a, soak::Plan* plan) {
    plan->types = splitList(a.types);
    for (const std::string& t : plan->types) {
        if (t.empty()) throw CLI::ValidationError("--type", "an empty reel type in \"" + a.types + "\"");
    }
    if (a.reels.empty()) {
        for (unsigned r = 0; r < plan->types.size(); ++r) plan->reels.push_back(r);
    } else {
        std::set<unsigned> seen;
        for (const std::string& item : splitList(a.reels)) {
            long long v = 0;
            std::string error;
            if (!yarvo::tools::parseInteger(item, 0, 7, &v, &error)) {
                throw CLI::ValidationError("--reel", "reel " + error);
            }
            if (!seen.insert(unsigned(v)).second) throw CLI::ValidationError("--reel", "reel " + item + " is given twice");
            plan->reels.push_back(unsigned(v));
        }
    }
    if (plan->types.size() == 1) plan->types.resize(plan->reels.size(), plan->types[0]);
    if (plan->types.size() != plan->reels.size()) {
        throw CLI::ValidationError("--type", std::to_string(plan->types.size()) + " reel types for " +
                                                 std::to_string(plan->reels.size()) +
                                                 " reels: give one type for all, or one per reel");
    }
}

std::string countText(unsigned n, const char* what) { return std::to_string(n) + " " + what; }

// Stop times as whole microseconds, numbers for scripts.
long long micros(double ms) { return std::llround(ms * 1000.0); }

std::string msText(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, ms < 10 ? "%.1f" : "%.0f", ms);
    return text;
}

std::string powerText(const soak::Report& report, uint32_t power) {
    const char* name = report.virtualFirmware ? yarvo::sim::powerStatusName(uint8_t(power)) : nullptr;
    return name != nullptr ? std::string(name) : std::to_string(power);
}

// What the reel's misses and flags were, e.g. "position error x3, counter moved at the index x1".
std::string faultsText(const soak::Report& report, const soak::ReelReport& r) {
    std::vector<std::string> parts;
    auto add = [&parts](unsigned n, const char* what) {
        if (n) parts.push_back(std::string(what) + " x" + std::to_string(n));
    };
    unsigned wrong = 0, moved = 0;
    for (const soak::Rest& rest : r.rests) {
        wrong += rest.kind == soak::Rest::Spin && (rest.symbol != rest.target || unsigned(std::abs(rest.offset)) > r.limit);
        moved += rest.kind == soak::Rest::Resync && unsigned(std::abs(rest.moved)) > r.limit;
    }
    add(wrong, "wrong symbol");
    add(moved, "counter moved at the index");
    add(r.positionErrors, "position error");
    add(r.indexMissing, "index missing");
    add(r.syncFailed, "synchronisation not completed");
    add(r.timeouts, "did not stop in time");
    if (!report.virtualFirmware && !r.rawFlags.empty()) {
        std::string raw = "status byte 1 at rest";
        for (uint8_t f : r.rawFlags) raw += " " + hexWord(f, 2);
        parts.push_back(raw);
    }
    std::string text;
    for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
    return text;
}

Json reelJson(const soak::Report& report, const soak::ReelReport& r) {
    const soak::StopTimes t = soak::stopTimes(r);
    int least = 0, greatest = 0;
    soak::offsetSpread(r, &least, &greatest);
    Json json = Json::object();
    json.set("reel", r.reel).set("type", r.type).set("spins", r.spins).set("resyncs", r.resyncs)
        .set("misses", r.misses).set("clean", r.clean()).set("limit", r.limit);
    if (report.virtualFirmware) {
        json.set("flags", Json::object()
                              .set("positionError", r.positionErrors)
                              .set("indexMissing", r.indexMissing)
                              .set("syncFailed", r.syncFailed));
    } else {
        Json raw = Json::array();
        for (uint8_t f : r.rawFlags) raw.push(unsigned(f));
        json.set("statusByte1", raw);
    }
    json.set("timeouts", r.timeouts)
        .set("stopMicros", Json::object().set("min", micros(t.min)).set("median", micros(t.median)).set("p99", micros(t.p99)))
        .set("offset", Json::object().set("min", least).set("max", greatest));
    return json;
}

void printReport(const soak::Report& report) {
    Json reels = Json::array();
    std::vector<std::string> lines;
    const size_t count = report.reels.size();
    lines.push_back("soak: " + countText(unsigned(count), count == 1 ? "reel" : "reels") + " x " +
                    countText(report.spins, "spins") + ", synchronised every " + std::to_string(report.resyncEvery) +
                    " and after the last, seed " + std::to_string(report.seed) + "; firmware \"" +
                    printable(reinterpret_cast<const unsigned char*>(report.firmware.data()), report.firmware.size()) +
                    "\", power " + powerText(report, report.powerAtStart) +
                    (report.powerAtEnd != report.powerAtStart ? " then " + powerText(report, report.powerAtEnd) : ""));
    std::string missed;
    for (const soak::ReelReport& r : report.reels) {
        reels.push(reelJson(report, r));
        const soak::StopTimes t = soak::stopTimes(r);
        int least = 0, greatest = 0;
        soak::offsetSpread(r, &least, &greatest);
        const std::string faults = faultsText(report, r);
        lines.push_back("reel " + std::to_string(r.reel) + " (" + r.type + "): " + countText(r.spins, "spins") + ", " +
                        countText(r.misses, r.misses == 1 ? "miss" : "misses") + (faults.empty() ? "" : " (" + faults + ")") +
                        ", stop " + msText(t.min) + "/" + msText(t.median) + "/" + msText(t.p99) +
                        " ms (min/median/p99), offset " + std::to_string(least) + ".." + std::to_string(greatest) +
                        " (limit " + std::to_string(r.limit) + "): " + (r.clean() ? "clean" : "NOT CLEAN"));
        if (!r.clean()) missed += (missed.empty() ? "" : ", ") + std::to_string(r.reel);
    }
    lines.push_back(report.interrupted ? "result: interrupted"
                    : missed.empty()   ? "result: every reel clean"
                                       : "result: reel " + missed + " not clean");
    Json json = Json::object();
    json.set("firmware", report.firmware).set("virtualFirmware", report.virtualFirmware)
        .set("power", Json::object().set("start", powerText(report, report.powerAtStart))
                                    .set("end", powerText(report, report.powerAtEnd)))
        .set("seed", report.seed).set("spins", report.spins).set("resyncEvery", report.resyncEvery)
        .set("interrupted", report.interrupted).set("clean", report.clean()).set("reels", reels);
    emit(json, lines);
}

// "soak: reel 0 120/1000  reel 1 118/1000", redrawn in place at most ten
// times a second, on a terminal only.
class Progress {
public:
    Progress() : terminal_(::isatty(STDERR_FILENO) == 1) {}
    void show(const soak::Report& report, unsigned total) {
        if (!terminal_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        std::string line = "\rsoak:";
        for (const soak::ReelReport& r : report.reels) {
            line += "  reel " + std::to_string(r.reel) + " " + std::to_string(r.spins) + "/" + std::to_string(total);
        }
        std::fprintf(stderr, "%s\033[K", line.c_str());
        shown_ = true;
    }
    void clear() {
        if (shown_) std::fprintf(stderr, "\r\033[K");
    }

private:
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

int runSoak(const SoakArgs& a) {
    soak::Plan plan;
    planReels(a, &plan);
    plan.spins = a.spins;
    plan.resyncEvery = a.resyncEvery;
    plan.seed = a.seedOpt->count() != 0 ? a.seed : std::random_device{}();
    // The report's file is opened first, so that a path that cannot be
    // written is told before the soak rather than after it.
    int reportFd = -1;
    if (!a.reportPath.empty()) {
        std::string error;
        yarvo::tools::OutputFileOptions options;
        options.truncate = true;
        if ((reportFd = yarvo::tools::openOutputFile(a.reportPath, options, &error)) < 0) {
            std::cerr << "yarvoctl: --report: " << error << "\n";
            return kExitUsage;
        }
    }
    const struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closeReport{reportFd};
    Progress progress;
    try {
        Yarvo yarvo;
        openBoard(yarvo);
        for (size_t i = 0; i < plan.reels.size(); ++i) {
            prepareReel(yarvo, plan.reels[i], ReelSetup{plan.types[i], ""});
            ReelDataDef d{};
            yarvo::tools::readDefinition(reelFilePath(), plan.types[i], &d);
            if (d.symbolTable.symbolsPerTurn == 0) {
                throw Failure("soak", "reel type \"" + plan.types[i] + "\" has no symbols to spin to");
            }
            plan.definitions.push_back(d);
        }
        installInterruptHandler();
        soak::Clock clock;
        clock.nowMicros = [] {
            return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now().time_since_epoch()).count());
        };
        clock.sleep = [](uint64_t micros) { return sleepMillis(unsigned(micros / 1000)); };
        const soak::Report report =
            soak::run(yarvo, plan, clock, [&](const soak::Report& r) { progress.show(r, plan.spins); });
        progress.clear();
        printReport(report);
        if (reportFd >= 0) {
            std::string error;
            if (!writeSoakReport(reportFd, a.reportPath, report, &error)) {
                std::cerr << "yarvoctl: --report: " << error << "\n";
                return kExitUsage;
            }
        }
        return report.interrupted ? kExitInterrupted : report.clean() ? kExitOk : kExitFailed;
    } catch (const soak::LibraryFailure& f) {
        progress.clear();
        std::cout.flush();
        std::cerr << "yarvoctl: " << f.operation << ": " << yarvo::tools::statusCodeName(f.code) << " (" << f.code
                  << ")\n";
        return kExitLibrary;
    } catch (const Failure& f) {
        progress.clear();
        std::cout.flush();
        std::cerr << "yarvoctl: " << f.operation() << ": " << f.what() << "\n";
        return kExitLibrary;
    }
}

}  // namespace

void addSoakCommand(CLI::App& app) {
    auto a = std::make_shared<SoakArgs>();
    CLI::App* sub = app.add_subcommand(
        "soak", "spin reels many times to random symbols at random speeds and check every rest; exit 0 when "
                "every reel is clean, 1 when one missed or raised a fault flag, 4 when a library call failed");
    sub->add_option("--type", a->types, "reel type of every reel, or TYPE,TYPE,... one per reel in order")->required();
    sub->add_option("--reel", a->reels, "the reels to soak, R,R,... (default: 0, 1, ... one per type)");
    sub->add_option("--spins", a->spins, "spins per reel")->transform(integer(1, 1000000))->capture_default_str();
    a->seedOpt = sub->add_option("--seed", a->seed, "seed of the random targets and speeds (default: a new one, printed)")
                     ->transform(integer(0, UINT32_MAX));
    sub->add_option("--resync-every", a->resyncEvery,
                    "synchronise each reel again after this many spins (and after the last)")
        ->transform(integer(1, 1000000))->capture_default_str();
    sub->add_option("--report", a->reportPath, "also write a self-contained HTML report to this file");
    sub->callback([a] { context().action = [a] { return runSoak(*a); }; });
}

}  // namespace yarvoctl
