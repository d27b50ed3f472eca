// yarvo-bench-cabinet: what a virtual cabinet costs a developer's machine.
//
// Eight virtual boards, each with eight reels configured from the largest
// reel-definition file and set turning in endless skill spins at its fastest
// speed (the most motor steps a second the file allows), run on the wall
// clock the way yarvo-sim runs them: the transfer log off, real time on, and
// a ticker thread that brings the boards up to the wall clock at the live
// view's frame rate.  The process's CPU time over the run, against the run's
// wall time, is the simulation's share of one core.
//
//   yarvo-bench-cabinet [--seconds S] [--fps F] [--results FILE]
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cabinet.h"
#include "reel_file.h"
#include "virtual_driver.h"
#include "yarvo.h"

namespace {

using yarvo::sim::driver;

constexpr unsigned kBoards = 8;
constexpr unsigned kReels = 8;

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint64_t stepsTaken() {
    uint64_t total = 0;
    for (unsigned b = 0; b < kBoards; ++b) {
        total += driver().withBoard(b, [](yarvo::sim::Firmware& fw) {
            uint64_t steps = 0;
            for (unsigned r = 0; r < kReels; ++r) {
                steps += fw.reel(r).state().stepsTaken;
            }
            return steps;
        });
    }
    return total;
}

unsigned reelsMoving() {
    unsigned moving = 0;
    for (unsigned b = 0; b < kBoards; ++b) {
        moving += driver().withBoard(b, [](yarvo::sim::Firmware& fw) {
            unsigned n = 0;
            for (unsigned r = 0; r < kReels; ++r) {
                n += fw.reel(r).state().moving ? 1 : 0;
            }
            return n;
        });
    }
    return moving;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "yarvo-bench-cabinet: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    double fps = 25;   // the live view's frame rate
    std::string resultsPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--fps" && i + 1 < argc) {
            fps = std::atof(argv[++i]);
        } else if (arg == "--results" && i + 1 < argc) {
            resultsPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: yarvo-bench-cabinet [--seconds S] [--fps F] [--results FILE]\n");
            return 2;
        }
    }
    if (seconds <= 0 || fps <= 0) {
        return fail("--seconds and --fps must be positive");
    }

    yarvo::sim::VirtualCabinet cabinet;
    for (unsigned b = 0; b < kBoards; ++b) {
        cabinet.board(b).address(static_cast<uint8_t>(b));
    }
    driver().setLogging(false);   // as yarvo-sim runs: the log would grow without end

    yarvo::bench::ScratchDirectory scratch;
    std::string file = scratch.write("max-reel-definitions.xml", yarvo::bench::maximalReelFile());
    if (file.empty()) {
        return fail("cannot write the reel-definition file");
    }
    std::vector<std::unique_ptr<Yarvo>> hosts;
    for (unsigned b = 0; b < kBoards; ++b) {
        auto host = std::make_unique<Yarvo>();
        if (!host->InitUSBBoard(b) || !host->VendorSetReelFilePath(file.data())) {
            return fail("cannot open board " + std::to_string(b) + " or load the reel file");
        }
        for (unsigned char r = 0; r < kReels; ++r) {
            std::string type = yarvo::bench::reelTypeName((b * kReels + r) % yarvo::bench::kReelTypes);
            if (!host->VendorConfigureReel(r, type.data()) ||
                !host->VendorSpinReelStartSkill(r, yarvo::bench::kFastestSpeed)) {
                return fail("cannot start reel " + std::to_string(r) + " of board " + std::to_string(b) +
                            " (code " + std::to_string(host->GetLastError()) + ")");
            }
        }
        hosts.push_back(std::move(host));
    }

    const uint64_t stepsBefore = stepsTaken();
    driver().useRealTime(true);
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);

    std::atomic<bool> stop{false};
    double tickerCpu = 0;
    unsigned frames = 0;
    std::thread ticker([&] {
        const auto frame = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(1.0 / fps));
        auto next = std::chrono::steady_clock::now();
        while (!stop.load(std::memory_order_relaxed)) {
            next += frame;
            std::this_thread::sleep_until(next);
            driver().syncToWallClock();
            ++frames;
        }
        tickerCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    ticker.join();

    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    driver().useRealTime(false);
    const uint64_t steps = stepsTaken() - stepsBefore;
    const unsigned moving = reelsMoving();

    const double percent = 100.0 * cpu / wall;
    std::printf("virtual cabinet: %u boards x %u reels, skill spins at %d turns a minute, %.0f frames a second\n",
                kBoards, kReels, yarvo::bench::kFastestSpeed, fps);
    std::printf("  wall %.2f s, CPU %.1f ms (ticker thread %.1f ms), %.3f %% of one core\n", wall, cpu * 1e3,
                tickerCpu * 1e3, percent);
    std::printf("  %u frames, %llu motor steps (%.0f a second), %u of %u reels still turning\n", frames,
                static_cast<unsigned long long>(steps), static_cast<double>(steps) / wall, moving,
                kBoards * kReels);
    if (moving != kBoards * kReels || steps == 0) {
        return fail("the reels did not keep turning: the measurement is void");
    }
    if (!resultsPath.empty()) {
        FILE* out = std::fopen(resultsPath.c_str(), "w");
        if (out == nullptr) {
            return fail("cannot write " + resultsPath);
        }
        std::fprintf(out, "cabinet.wall_s %.3f\n", wall);
        std::fprintf(out, "cabinet.cpu_ms %.3f\n", cpu * 1e3);
        std::fprintf(out, "cabinet.percent %.4f\n", percent);
        std::fprintf(out, "cabinet.steps_per_s %.0f\n", static_cast<double>(steps) / wall);
        std::fprintf(out, "cabinet.frames %u\n", frames);
        std::fclose(out);
    }
    return 0;
}
