// The reel soak of `yarvoctl soak`: configure reels from their reel types,
// synchronise them, spin each many times to random symbols at random speeds
// of its definition in both directions, and check every rest.
//
// The host reads the board's counter, which a lost step or a jam does not
// move, so the soak also synchronises each reel again every few spins and
// after the last one: a counter the synchronisation moves by more than the
// limit (half the smallest gap between neighbouring symbols) is a miss.  On
// the virtual board, whose status flags are documented, a rest that shows a
// position error or a missing index is a miss too, and a synchronisation
// after which the board is still waiting for the index is one (the flags of
// other firmware are only collected, as raw bytes).  The reels run at the
// same time, each through its own spins; the engine polls their status.
//
// It is free of the command line so that tests can run it against the
// virtual board in-process, on the virtual clock.
#ifndef YARVOCTL_SOAK_H
#define YARVOCTL_SOAK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "yarvo.h"

namespace yarvoctl::soak {

struct Plan {
    std::vector<unsigned> reels;
    std::vector<std::string> types;         // one per reel
    std::vector<ReelDataDef> definitions;   // one per reel: the types as the library decodes them
    unsigned spins = 100;                   // per reel
    unsigned resyncEvery = 10;              // spins between synchronisations
    uint32_t seed = 1;
};

// How the soak waits and tells time: the wall clock in yarvoctl, a test's
// virtual clock in the tests.
struct Clock {
    std::function<uint64_t()> nowMicros;
    std::function<bool(uint64_t micros)> sleep;   // false: stop now (interrupted)
    uint64_t pollMicros = 1000;                   // between status reads
};

// One rest of a reel, after a spin or a synchronisation.
struct Rest {
    enum Kind : uint8_t { FirstSync, Spin, Resync } kind = Spin;
    unsigned target = 0;       // symbol aimed at (a synchronisation: where it should end)
    int speed = 0;
    unsigned symbol = 0;       // nearest symbol at rest, by the board's counter
    int offset = 0;            // the counter's offset from it, half steps
    int moved = 0;             // a synchronisation: where it ended minus where it should have
    uint8_t flags = 0;         // status byte 1 at rest
    double stopMs = 0;         // from the command to the rest seen, milliseconds
    bool timedOut = false;
    bool miss = false;
};

struct ReelReport {
    unsigned reel = 0;
    std::string type;
    unsigned limit = 0;        // half the smallest gap between neighbouring symbols
    unsigned spins = 0, resyncs = 0, misses = 0;
    // Fault flags seen at rest (the virtual board's firmware), timeouts.
    unsigned positionErrors = 0, indexMissing = 0, syncFailed = 0, timeouts = 0;
    std::vector<uint8_t> rawFlags;   // other firmware: distinct status bytes 1 seen at rest
    std::vector<Rest> rests;
    bool clean() const;
};

struct Report {
    std::string firmware;
    bool virtualFirmware = false;
    uint32_t powerAtStart = 0, powerAtEnd = 0;
    uint32_t seed = 0;
    unsigned spins = 0, resyncEvery = 0;
    bool interrupted = false;
    std::vector<ReelReport> reels;
    bool clean() const;
};

// A library call that failed: its name and the status code it stored.
struct LibraryFailure {
    std::string operation;
    unsigned code = 0;
};

// Runs the soak on an opened board whose reels are configured from their
// types.
// `progress` is called after every round of status reads.  Throws
// LibraryFailure.
Report run(Yarvo& yarvo, const Plan& plan, const Clock& clock,
           const std::function<void(const Report&)>& progress = nullptr);

// Stop times of a reel's spins, milliseconds: least, median, 99th percentile
// (nearest rank); zeros without spins.
struct StopTimes {
    double min = 0, median = 0, p99 = 0;
};
StopTimes stopTimes(const ReelReport& reel);

// Least and greatest offset at rest after a spin.
void offsetSpread(const ReelReport& reel, int* least, int* greatest);

}  // namespace yarvoctl::soak

#endif
