// yarvo-bench-kernel: one board command on the kernel path, against the
// floors of that path.  A host program like any other: yarvo-sim runs it in
// its namespace, where /dev/Kmora_0 is served by its FUSE daemon:
//
//   yarvo-sim run --bench-noop -- yarvo-bench-kernel --results FILE
//
// Three calls, timed in interleaved rounds so that a disturbance of the
// machine hits all three alike; the medians of the rounds are compared:
//
//   board   GetReelStatus through the library: the FUSE-served virtual board
//   noop    the same 528-byte ioctl on /dev/Kmora_noop, which the same daemon
//           answers at once (the floor of the FUSE path)
//   devnull an ioctl on /dev/null, refused by the kernel at once (the floor
//           of a system call)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "yarvo.h"

namespace {

constexpr unsigned long kTransferRequest = 0xC2108100UL;   // read/write, 528 bytes, type 0x81, number 0
constexpr size_t kBlockSize = 528;

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? -1 : n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A request block of the board's layout: words 2 and 6, lengths, command 47
// for reel 0.  Its content does not matter to the no-op file or /dev/null;
// its size does (the kernel copies 528 bytes each way).
void fillBlock(unsigned char* block) {
    std::memset(block, 0, kBlockSize);
    const unsigned words[4] = {2, 6, 2, 257};
    for (unsigned i = 0; i < 4; ++i) {
        for (unsigned b = 0; b < 4; ++b) {
            block[4 * i + b] = static_cast<unsigned char>(words[i] >> (8 * b));
        }
    }
    block[16] = 47;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "yarvo-bench-kernel: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string resultsPath;
    const char* noopPath = "/dev/Kmora_noop";
    unsigned rounds = 31;
    unsigned calls = 2000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--results" && i + 1 < argc) {
            resultsPath = argv[++i];
        } else if (arg == "--noop" && i + 1 < argc) {
            noopPath = argv[++i];
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (arg == "--calls" && i + 1 < argc) {
            calls = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: yarvo-bench-kernel [--results FILE] [--noop PATH] [--rounds N] [--calls N]\n");
            return 2;
        }
    }
    if (rounds == 0 || calls == 0) {
        return fail("--rounds and --calls must be positive");
    }

    Yarvo board;
    if (!board.Init()) {
        return fail("no board found (run me under yarvo-sim run)");
    }
    if (!board.ConfigureReels(8, 96, 8, 5, 1)) {
        return fail("ConfigureReels failed with code " + std::to_string(board.GetLastError()));
    }
    const int noop = ::open(noopPath, O_RDWR | O_CLOEXEC);
    if (noop < 0) {
        return fail(std::string("cannot open ") + noopPath + ": " + std::strerror(errno) +
                    " (yarvo-sim serves it with --bench-noop)");
    }
    const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devnull < 0) {
        return fail(std::string("cannot open /dev/null: ") + std::strerror(errno));
    }

    alignas(8) unsigned char block[kBlockSize];
    fillBlock(block);
    if (::ioctl(noop, kTransferRequest, block) != 0) {
        return fail(std::string("the no-op ioctl failed: ") + std::strerror(errno));
    }

    std::vector<double> boardNs, noopNs, nullNs;
    KReelStatus status;
    for (unsigned round = 0; round < rounds + 1; ++round) {   // round 0 warms up
        double t0 = now();
        for (unsigned i = 0; i < calls; ++i) {
            if (!board.GetReelStatus(0, &status)) {
                return fail("GetReelStatus failed with code " + std::to_string(board.GetLastError()));
            }
        }
        double t1 = now();
        for (unsigned i = 0; i < calls; ++i) {
            fillBlock(block);
            if (::ioctl(noop, kTransferRequest, block) != 0) {
                return fail(std::string("the no-op ioctl failed: ") + std::strerror(errno));
            }
        }
        double t2 = now();
        for (unsigned i = 0; i < calls; ++i) {
            (void)::ioctl(devnull, kTransferRequest, block);   // ENOTTY, at once
        }
        double t3 = now();
        if (round > 0) {
            boardNs.push_back((t1 - t0) / calls);
            noopNs.push_back((t2 - t1) / calls);
            nullNs.push_back((t3 - t2) / calls);
        }
    }

    const double b = median(boardNs), n = median(noopNs), d = median(nullNs);
    std::printf("kernel path, medians of %u rounds of %u calls:\n", rounds, calls);
    std::printf("  GetReelStatus on the FUSE-served board  %10.0f ns\n", b);
    std::printf("  no-op FUSE ioctl, same daemon           %10.0f ns   (board / no-op %.2f)\n", n, b / n);
    std::printf("  ioctl on /dev/null                      %10.0f ns   (board / /dev/null %.1f)\n", d, b / d);
    if (!resultsPath.empty()) {
        FILE* out = std::fopen(resultsPath.c_str(), "w");
        if (out == nullptr) {
            return fail("cannot write " + resultsPath);
        }
        std::fprintf(out, "kernel.board_ns %.1f\nkernel.noop_ns %.1f\nkernel.devnull_ns %.1f\n", b, n, d);
        std::fclose(out);
    }
    return 0;
}
