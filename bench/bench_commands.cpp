// yarvo-bench: what the library costs on top of the board, measured side by
// side in one run against the in-process transport (the interposer linked
// into this executable, exactly as in yarvo-tests).
//
//  * overhead/<operation>/library: the library operation, against
//    overhead/<operation>/bare: the same board commands as prebuilt 528-byte
//    transfer blocks handed straight to ioctl on a board descriptor.  The
//    blocks are the ones the library itself sent (taken from the virtual
//    driver's transfer log), so both sides make the same requests and the
//    board does the same work; the difference is the library.
//  * allocations: heap allocations per call of every board command and every
//    symbol-level operation, counted by the allocation counter around each
//    call alone.
//  * config/library: VendorSetReelFilePath plus VendorConfigureReel of all
//    eight reels from the largest reel-definition file, against
//    config/tinyxml-load: TinyXML's LoadFile of the same file alone.
//
// Repetitions of all benchmarks run in random interleaved order, so that a
// disturbance of this shared machine hits both sides of a pair alike; the
// medians of the repetitions, in thread CPU time, are compared.
//
//   yarvo-bench [--results FILE] [google benchmark flags]
//
// --results writes "key value" lines for bench/run-benchmarks.sh.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include "alloc_counter.h"
#include "cabinet.h"
#include "reel_file.h"
#include "virtual_driver.h"
#include "wire.h"
#include "yarvo.h"

namespace {

using yarvo::bench::allocationCount;
using yarvo::sim::driver;
namespace wire = yarvo::wire;

constexpr unsigned kSymbolBoard = 0;   // reels configured from their definitions
constexpr unsigned kStepBoard = 1;     // reels declared with ConfigureReels
constexpr unsigned kConfigBoard = 2;   // reel configuration benchmark
constexpr unsigned kTimedRepetitions = 15;

// ---------------------------------------------------------------- cabinet

struct Bench {
    yarvo::sim::VirtualCabinet cabinet;   // resets the process's virtual driver
    yarvo::bench::ScratchDirectory scratch;
    std::string reelFile;
    Yarvo symbol;   // board 0
    Yarvo step;     // board 1
    Yarvo config;   // board 2
    int bareFd = -1;   // board 0's node, opened as the library opens it
    std::string error;

    bool setUp();
};

Bench* gBench = nullptr;

char* text(std::string& s) { return s.data(); }

bool Bench::setUp() {
    cabinet.board(kSymbolBoard).address(0).board(kStepBoard).address(1).board(kConfigBoard).address(2);
    driver().setLogging(false);
    reelFile = scratch.write("max-reel-definitions.xml", yarvo::bench::maximalReelFile());
    if (reelFile.empty()) {
        error = "cannot write the reel-definition file";
        return false;
    }
    if (!symbol.InitUSBBoard(0) || !step.InitUSBBoard(1) || !config.InitUSBBoard(2)) {
        error = "cannot open the virtual boards";
        return false;
    }
    if (!symbol.VendorSetReelFilePath(text(reelFile))) {
        error = "VendorSetReelFilePath failed with code " + std::to_string(symbol.GetLastError());
        return false;
    }
    for (unsigned char reel = 0; reel < 8; ++reel) {
        std::string type = yarvo::bench::reelTypeName(reel);
        if (!symbol.VendorConfigureReel(reel, text(type))) {
            error = "VendorConfigureReel failed with code " + std::to_string(symbol.GetLastError());
            return false;
        }
    }
    if (!step.ConfigureReels(8, 96, 8, 5, 1)) {
        error = "ConfigureReels failed";
        return false;
    }
    bareFd = ::open("/dev/Kmora_0", O_RDWR);
    if (bareFd < 0) {
        error = "cannot open /dev/Kmora_0";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- bare transfers

// The request part of a transfer block as the library sent it.
struct BareRequest {
    wire::TransferBlock block;
    size_t bytes;   // header and request bytes: what a caller has to write
};

// Runs `op` once with the transfer log on and returns the blocks it sent.
std::vector<BareRequest> captureRequests(const std::function<bool()>& op) {
    driver().clearLog();
    driver().setLogging(true);
    const bool ok = op();
    driver().setLogging(false);
    std::vector<yarvo::sim::TransferRecord> log = driver().log();
    driver().clearLog();
    std::vector<BareRequest> requests;
    if (!ok) {
        return requests;
    }
    for (const yarvo::sim::TransferRecord& r : log) {
        BareRequest request{};
        request.block.word0 = r.word0;
        request.block.word1 = r.word1;
        request.block.requestLength = r.requestLength;
        request.block.responseLength = r.responseOffered;
        request.block.buffer[0] = r.command;
        std::copy(r.payload.begin(), r.payload.end(), request.block.buffer + 1);
        request.bytes = offsetof(wire::TransferBlock, buffer) + r.requestLength;
        requests.push_back(request);
    }
    return requests;
}

// ---------------------------------------------------------------- timed pairs

struct OverheadCase {
    std::string name;
    std::function<bool()> op;
    std::vector<BareRequest> requests;
};

void reportAllocations(benchmark::State& state, uint64_t before) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocationCount() - before),
                                                  benchmark::Counter::kAvgIterations);
}

void runLibrary(benchmark::State& state, const OverheadCase* c) {
    const uint64_t before = allocationCount();
    for (auto _ : state) {
        if (!c->op()) {
            state.SkipWithError("the operation failed");
            break;
        }
    }
    reportAllocations(state, before);
}

// The floor: the same requests, prebuilt, each written into the block the
// transfer overwrites (header and request bytes only) and handed to ioctl.
void runBare(benchmark::State& state, const OverheadCase* c) {
    wire::TransferBlock block;
    const int fd = gBench->bareFd;
    const uint64_t before = allocationCount();
    for (auto _ : state) {
        for (const BareRequest& r : c->requests) {
            std::memcpy(&block, &r.block, r.bytes);
            if (::ioctl(fd, wire::kTransferRequest, &block) != 0) {
                state.SkipWithError("the transfer failed");
                break;
            }
            benchmark::DoNotOptimize(block.responseLength);
        }
        benchmark::ClobberMemory();
    }
    reportAllocations(state, before);
}

std::vector<std::unique_ptr<OverheadCase>> overheadCases(Bench& b) {
    std::vector<std::unique_ptr<OverheadCase>> cases;
    auto add = [&](const char* name, std::function<bool()> op) {
        auto c = std::make_unique<OverheadCase>();
        c->name = name;
        c->op = std::move(op);
        // One call first, so that a speed change is behind us and the
        // captured requests are the ones every later call makes.
        c->op();
        c->requests = captureRequests(c->op);
        cases.push_back(std::move(c));
    };
    static KReelStatus status;
    add("GetReelStatus", [&b] { return b.symbol.GetReelStatus(0, &status); });
    add("SpinReelStepForward", [&b] { return b.symbol.SpinReelStepForward(1, 1, 100); });
    add("SetOutputs", [&b] { return b.symbol.SetOutputs(0x12345678u, 0x9ABCDEF0u); });
    // The reels do not move (the clock is not advanced), so every call sees
    // the same position and the speed in force: a status read and a spin.
    add("VendorSpinReelToSymbol", [&b] { return b.symbol.VendorSpinReelToSymbol(2, 77, 120); });
    return cases;
}

// ---------------------------------------------------------------- reel configuration

void runConfigLibrary(benchmark::State& state) {
    Bench& b = *gBench;
    // The last eight reel types: the search for a type walks the whole file.
    std::string types[8];
    for (unsigned i = 0; i < 8; ++i) {
        types[i] = yarvo::bench::reelTypeName(yarvo::bench::kReelTypes - 8 + i);
    }
    for (auto _ : state) {
        if (!b.config.VendorSetReelFilePath(text(b.reelFile))) {
            state.SkipWithError("VendorSetReelFilePath failed");
            break;
        }
        for (unsigned char reel = 0; reel < 8; ++reel) {
            if (!b.config.VendorConfigureReel(reel, text(types[reel]))) {
                state.SkipWithError("VendorConfigureReel failed");
                break;
            }
        }
    }
}

void runConfigLoadOnly(benchmark::State& state) {
    const char* path = gBench->reelFile.c_str();
    for (auto _ : state) {
        TiXmlDocument document;
        if (!document.LoadFile(path, TIXML_DEFAULT_ENCODING)) {
            state.SkipWithError("LoadFile failed");
            break;
        }
        benchmark::DoNotOptimize(document.RootElement());
    }
}

// ---------------------------------------------------------------- allocation census

struct CensusEntry {
    std::string name;
    std::function<bool(unsigned)> op;   // call number -> success
};

// Every board command and every symbol-level operation, with arguments that
// change from call to call so that the paths with extra commands (ramp
// tables for a new speed, the alternative speed, lamps on and off) are taken.
std::vector<CensusEntry> censusEntries(Bench& b) {
    Yarvo& s = b.step;
    Yarvo& v = b.symbol;
    static unsigned char version[256];
    static KReelStatus status;
    static KReelStatusEx statusEx;
    static KReelPowerStatus power;
    static KReelRampTable ramp = [] {
        KReelRampTable t{};
        t.length = 60;
        for (unsigned i = 0; i < 60; ++i) t.entries[i] = static_cast<unsigned char>(200 - 2 * i);
        return t;
    }();
    static unsigned short low;
    static unsigned char high;
    static bool bit;
    static std::string types[8];
    for (unsigned i = 0; i < 8; ++i) types[i] = yarvo::bench::reelTypeName(10 + i);
    auto reel = [](unsigned i) { return static_cast<unsigned char>(i % 8); };
    auto speed = [](unsigned i) { return (i % 3 == 0 ? 1 : -1) * (10 + static_cast<int>(i * 37 % 250)); };
    return {
        {"GetInputs", [&s](unsigned) { return s.GetInputs(&low, &high); }},
        {"GetInputBit", [&s](unsigned i) { return s.GetInputBit(static_cast<KReelInputBit>(8 + i % 16), &bit); }},
        {"GetChangedInputs", [&s](unsigned) { return s.GetChangedInputs(&low); }},
        {"SetOutputs", [&s](unsigned i) { return s.SetOutputs(i * 2654435761u, ~i); }},
        {"ModifyOutputs", [&s](unsigned i) { return s.ModifyOutputs(i, ~i, i << 3, i << 7); }},
        {"SetOutputBit", [&s](unsigned i) { return s.SetOutputBit(static_cast<KReelOutputBit>(32 + i % 32), i & 1); }},
        {"SetReelLamps", [&s, reel](unsigned i) { return s.SetReelLamps(reel(i), i & 1); }},
        {"GetFirmwareVersion", [&s](unsigned) { return s.GetFirmwareVersion(version); }},
        {"GetPowerStatus", [&s](unsigned) { return s.GetPowerStatus(&power); }},
        {"ConfigureReels", [&s](unsigned) { return s.ConfigureReels(8, 96, 8, 5, 1); }},
        {"SetDutyCycle", [&s, reel](unsigned i) { return s.SetDutyCycle(reel(i), 40, 200); }},
        {"SpinRampUp", [&s, reel](unsigned i) { ramp.length = static_cast<unsigned char>(1 + i % 60); return s.SpinRampUp(reel(i), &ramp); }},
        {"SpinRampDown", [&s, reel](unsigned i) { ramp.length = static_cast<unsigned char>(i % 61); return s.SpinRampDown(reel(i), &ramp); }},
        {"ReelSynchroniseEnable", [&s, reel](unsigned i) { return s.ReelSynchroniseEnable(reel(i)); }},
        {"ClearTamperedState", [&s, reel](unsigned i) { return s.ClearTamperedState(reel(i)); }},
        {"SpinReels", [&s, reel](unsigned i) { return s.SpinReels(reel(i), static_cast<char>(i & 1 ? -2 : 1), 50 + i); }},
        {"SpinReelStepForward", [&s, reel](unsigned i) { return s.SpinReelStepForward(reel(i), 1 + (i & 1), 100); }},
        {"SpinReelStepBack", [&s, reel](unsigned i) { return s.SpinReelStepBack(reel(i), 1 + (i & 1), 100); }},
        {"SpinReelSymbolForward", [&s, reel](unsigned i) { return s.SpinReelSymbolForward(reel(i), 2, 12); }},
        {"SpinReelSymbolBack", [&s, reel](unsigned i) { return s.SpinReelSymbolBack(reel(i), 1, 12); }},
        {"SpinStartSkill", [&s, reel](unsigned i) { return s.SpinStartSkill(reel(i), static_cast<char>(i & 1 ? 2 : -1)); }},
        {"SpinStopSkill", [&s, reel](unsigned i) { return s.SpinStopSkill(reel(i)); }},
        {"StopCurrentSpinAtPosition", [&s, reel](unsigned i) { return s.StopCurrentSpinAtPosition(reel(i), i * 7 % 96); }},
        {"GetReelStatus", [&s, reel](unsigned i) { return s.GetReelStatus(reel(i), &status); }},
        {"VendorConfigureReel", [&v, reel](unsigned i) { return v.VendorConfigureReel(reel(i), text(types[i % 8])); }},
        {"VendorSpinReelToSymbol", [&v, reel, speed](unsigned i) { return v.VendorSpinReelToSymbol(reel(i), i * 13 % 200, speed(i)); }},
        {"VendorSpinReelNumberOfSymbols", [&v, reel, speed](unsigned i) { return v.VendorSpinReelNumberOfSymbols(reel(i), 150 + i % 50, speed(i)); }},
        {"VendorSynchroniseReel", [&v, reel](unsigned i) { return v.VendorSynchroniseReel(reel(i)); }},
        {"VendorSpinReelStartSkill", [&v, reel, speed](unsigned i) { return v.VendorSpinReelStartSkill(reel(i), speed(i)); }},
        {"VendorSpinReelStopSkill", [&v, reel](unsigned i) { return v.VendorSpinReelStopSkill(reel(i)); }},
        {"VendorStopReelSpinAtPosition", [&v, reel](unsigned i) { return v.VendorStopReelSpinAtPosition(reel(i), i * 11 % 200); }},
        {"VendorGetReelStatus", [&v, reel](unsigned i) { return v.VendorGetReelStatus(reel(i), &statusEx); }},
    };
}

struct CensusResult {
    std::string name;
    double perCall = 0;
    unsigned failures = 0;
};

// Warm-up calls first (a reel's first ramp table may size the virtual
// board's own storage), then counted calls; the clock moves between calls,
// outside the count, so that the reels turn and positions vary.
std::vector<CensusResult> takeCensus(Bench& b) {
    // Long enough for every reel to have had every ramp length (8 reels x 61
    // lengths), so that the virtual reels' ramp storage has reached its size.
    constexpr unsigned kWarmUp = 8 * 61;
    constexpr unsigned kCounted = 400;
    std::vector<CensusResult> results;
    for (const CensusEntry& e : censusEntries(b)) {
        CensusResult r;
        r.name = e.name;
        uint64_t counted = 0;
        for (unsigned i = 0; i < kWarmUp + kCounted; ++i) {
            const uint64_t before = allocationCount();
            const bool ok = e.op(i);
            const uint64_t used = allocationCount() - before;
            driver().advance(std::chrono::microseconds(2500));
            if (i < kWarmUp) {
                continue;
            }
            counted += used;
            if (!ok) {
                ++r.failures;
            }
        }
        r.perCall = static_cast<double>(counted) / kCounted;
        results.push_back(r);
    }
    return results;
}

// ---------------------------------------------------------------- collecting results

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            // Thread CPU time, not wall time: on a shared machine the wall
            // clock also counts the time the thread waited for a core.
            const double ns = run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations);
            times_[run.run_name.function_name].push_back(ns);
            auto allocs = run.counters.find("allocs");
            if (allocs != run.counters.end()) {
                allocs_[run.run_name.function_name] = allocs->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Median time per iteration in nanoseconds, or -1.
    double median(const std::string& name) const {
        auto it = times_.find(name);
        if (it == times_.end() || it->second.empty()) {
            return -1;
        }
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double allocs(const std::string& name) const {
        auto it = allocs_.find(name);
        return it == allocs_.end() ? -1 : it->second;
    }

private:
    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, double> allocs_;
};

bool hasFlag(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Our own option, taken out before Google Benchmark sees the rest.
    std::string resultsPath;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--results") == 0 && i + 1 < argc) {
            resultsPath = argv[++i];
        } else {
            args.push_back(argv[i]);
        }
    }
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (!hasFlag(static_cast<int>(args.size()), args.data(), "--benchmark_enable_random_interleaving")) {
        args.push_back(interleave);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }

    static Bench bench;
    gBench = &bench;
    if (!bench.setUp()) {
        std::fprintf(stderr, "yarvo-bench: %s\n", bench.error.c_str());
        return 1;
    }

    // The census first: it moves the reels and changes their speeds, and the
    // timed pairs below need the state that their captured requests saw.
    const std::vector<CensusResult> census = takeCensus(bench);
    std::printf("Heap allocations per call (%zu operations):\n", census.size());
    for (const CensusResult& r : census) {
        std::printf("  %-32s %6.3f%s\n", r.name.c_str(), r.perCall,
                    r.failures != 0 ? "  (some calls failed: the count is not meaningful)" : "");
    }
    std::fflush(stdout);

    std::vector<std::unique_ptr<OverheadCase>> cases = overheadCases(bench);
    for (const auto& c : cases) {
        if (c->requests.empty()) {
            std::fprintf(stderr, "yarvo-bench: %s failed while its requests were captured\n", c->name.c_str());
            return 1;
        }
        benchmark::RegisterBenchmark(("overhead/" + c->name + "/library").c_str(), runLibrary, c.get())
            ->Repetitions(kTimedRepetitions)->MinTime(0.05)->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark(("overhead/" + c->name + "/bare").c_str(), runBare, c.get())
            ->Repetitions(kTimedRepetitions)->MinTime(0.05)->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("config/library", runConfigLibrary)
        ->Repetitions(kTimedRepetitions)->MinTime(0.1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("config/tinyxml-load", runConfigLoadOnly)
        ->Repetitions(kTimedRepetitions)->MinTime(0.1)->Unit(benchmark::kMillisecond);

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    FILE* out = resultsPath.empty() ? nullptr : std::fopen(resultsPath.c_str(), "w");
    if (!resultsPath.empty() && out == nullptr) {
        std::fprintf(stderr, "yarvo-bench: cannot write %s\n", resultsPath.c_str());
        return 1;
    }
    if (out != nullptr) {
        for (const auto& c : cases) {
            std::fprintf(out, "overhead.%s.library_ns %.2f\n", c->name.c_str(),
                         collector.median("overhead/" + c->name + "/library"));
            std::fprintf(out, "overhead.%s.bare_ns %.2f\n", c->name.c_str(),
                         collector.median("overhead/" + c->name + "/bare"));
            std::fprintf(out, "overhead.%s.commands %zu\n", c->name.c_str(), c->requests.size());
        }
        unsigned failing = 0;
        double worst = 0;
        std::string worstName = "-";
        for (const CensusResult& r : census) {
            if (r.failures != 0) {
                ++failing;
            }
            if (r.perCall > worst || worstName == "-") {
                worst = r.perCall;
                worstName = r.name;
            }
            std::fprintf(out, "alloc.%s %.3f %u\n", r.name.c_str(), r.perCall, r.failures);
        }
        std::fprintf(out, "alloc.summary %zu %.3f %s %u\n", census.size(), worst, worstName.c_str(), failing);
        std::fprintf(out, "config.library_ns %.0f\n", collector.median("config/library"));
        std::fprintf(out, "config.load_ns %.0f\n", collector.median("config/tinyxml-load"));
        std::fclose(out);
    }
    return 0;
}
