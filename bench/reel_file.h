// The largest reel-definition file the library accepts, generated: 50 reel
// types, each with 200 symbols and 25 speeds whose ramp-up and ramp-down
// tables have 60 entries.  The benchmarks configure reels from it.
#ifndef YARVO_BENCH_REEL_FILE_H
#define YARVO_BENCH_REEL_FILE_H

#include <string>

namespace yarvo::bench {

constexpr unsigned kReelTypes = 50;
constexpr unsigned kSymbols = 200;
constexpr unsigned kSpeeds = 25;
constexpr unsigned kRampEntries = 60;
constexpr int kSlowestSpeed = 10;    // turns per minute
constexpr int kFastestSpeed = 250;

// Name of reel type `index` (0 .. kReelTypes - 1): "max-00" ...
std::string reelTypeName(unsigned index);

// The whole file as text.  Every type: a 200-step motor (one turn is 400
// half steps), symbol i at half step 2i, speeds 10, 20 ... 250 turns a
// minute, half steps up to 120, full steps above; ramp entries are step
// periods in 100-microsecond units that really give those speeds.
std::string maximalReelFile();

// A scratch directory that removes itself (and the files in it) when
// destroyed.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    // Writes `text` to `name` in the directory; its path, or "" on failure.
    std::string write(const std::string& name, const std::string& text);
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace yarvo::bench

#endif
