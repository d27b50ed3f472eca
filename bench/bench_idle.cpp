// yarvo-bench-idle: what the first transfer costs after the host has left
// the board alone for an hour while eight reels spin.
//
// One virtual board, eight reels in endless skill spins at 100 us a step
// (ramp-up table of one entry of one unit), the board's clock moved on by an
// hour on the virtual clock before each timed GetReelStatus through the
// in-process transport.  That transfer brings the board's eight reels up to
// the clock: 36 million steps each.  The virtual board works the hour out
// in closed form, so the transfer should cost what any other does.
//
//   yarvo-bench-idle [--results FILE] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet.h"
#include "virtual_driver.h"
#include "yarvo.h"

namespace {

using yarvo::sim::driver;
constexpr unsigned kReels = 8;
constexpr auto kIdle = std::chrono::hours(1);

Yarvo* gHost = nullptr;
double gWorstNs = 0;
std::vector<double> gMedians;

bool setUp(Yarvo& host) {
    if (!host.Init() || !host.ConfigureReels(kReels, 96, 1, 1, 0)) {
        return false;
    }
    KReelRampTable fast{};
    fast.length = 1;
    fast.entries[0] = 1;   // one unit: 100 us a step
    for (unsigned char reel = 0; reel < kReels; ++reel) {
        if (!host.SpinRampUp(reel, &fast) || !host.SpinStartSkill(reel, reel % 2 ? 2 : -1)) {
            return false;
        }
    }
    return true;
}

void firstTransferAfterIdle(benchmark::State& state) {
    KReelStatus status{};
    for (auto _ : state) {
        driver().advance(kIdle);
        const auto start = std::chrono::steady_clock::now();
        const bool ok = gHost->GetReelStatus(0, &status);
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("GetReelStatus failed");
            break;
        }
        const double seconds = std::chrono::duration<double>(end - start).count();
        gWorstNs = std::max(gWorstNs, seconds * 1e9);
        state.SetIterationTime(seconds);
    }
}

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                gMedians.push_back(run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations));
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    std::string resultsPath;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--results") == 0 && i + 1 < argc) {
            resultsPath = argv[++i];
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    yarvo::sim::VirtualCabinet cabinet;
    cabinet.board(0);
    driver().setLogging(false);
    Yarvo host;
    if (!setUp(host)) {
        std::fprintf(stderr, "yarvo-bench-idle: cannot start the reels (code %u)\n", host.GetLastError());
        return 1;
    }
    gHost = &host;
    benchmark::RegisterBenchmark("idle/first-transfer-after-1h", firstTransferAfterIdle)
        ->UseManualTime()->Repetitions(15)->Iterations(200)->Unit(benchmark::kMicrosecond);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    // Sanity: the reels really turned an hour per iteration.
    const uint64_t steps = cabinet.reel(0, 3).stepsTaken;
    const bool moving = cabinet.reel(0, 7).moving;
    std::printf("reel 3 of board 0: %llu steps taken, reel 7 %s\n", static_cast<unsigned long long>(steps),
                moving ? "still turning" : "STOPPED");
    if (gMedians.empty() || steps < 36000000ull || !moving) {
        std::fprintf(stderr, "yarvo-bench-idle: the reels did not turn as set up: the measurement is void\n");
        return 1;
    }
    std::sort(gMedians.begin(), gMedians.end());
    const double median = gMedians[gMedians.size() / 2];
    if (!resultsPath.empty()) {
        FILE* out = std::fopen(resultsPath.c_str(), "w");
        if (out == nullptr) {
            std::fprintf(stderr, "yarvo-bench-idle: cannot write %s\n", resultsPath.c_str());
            return 1;
        }
        std::fprintf(out, "idle.first_transfer_ns %.0f\n", median);
        std::fprintf(out, "idle.worst_ns %.0f\n", gWorstNs);
        std::fclose(out);
    }
    return 0;
}
