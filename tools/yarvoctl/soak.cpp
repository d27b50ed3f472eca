// The soak engine: every reel runs through its own spins at the same time;
// one loop starts what each idle reel does next, waits a poll interval and
// reads the status of each busy reel until it rests or runs out of time.
#include "soak.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "firmware.h"        // the virtual board's version text and status flags
#include "reel_geometry.h"

namespace yarvoctl::soak {

namespace {

namespace geo = yarvo::geometry;
namespace sim = yarvo::sim;

constexpr int kSyncSpeed = 70;                 // the speed the library synchronises at
constexpr uint64_t kStillMicros = 150000;      // other firmware: a position that long unchanged is a rest
constexpr uint64_t kSpareMicros = 2000000;     // time allowed beyond twice the ramps' own
constexpr uint64_t kRampUnitMicros = 100;      // the virtual board's ramp unit

[[noreturn]] void fail(const char* operation, Yarvo& yarvo) { throw LibraryFailure{operation, yarvo.GetLastError()}; }

void check(bool ok, const char* operation, Yarvo& yarvo) {
    if (!ok) fail(operation, yarvo);
}

bool isVirtualFirmware(const std::string& version) {
    const std::string name(sim::kFirmwareVersion, std::strcspn(sim::kFirmwareVersion, " "));
    return version.compare(0, name.size(), name) == 0;
}

uint32_t distance(uint32_t a, uint32_t b, uint32_t turn) {
    const uint32_t d = a > b ? a - b : b - a;
    return std::min(d, turn - d);
}

// Half the smallest gap between neighbouring symbols (the gap across the end
// of the turn included).
unsigned halfSmallestGap(const SymbolTableDef& t) {
    const uint32_t turn = geo::turnLength(t);
    const unsigned n = t.symbolsPerTurn;
    uint32_t gap = turn;
    for (unsigned i = 0; i + 1 < n; ++i) gap = std::min(gap, t.symbolPositions[i + 1] - t.symbolPositions[i]);
    if (n > 1) gap = std::min(gap, turn - t.symbolPositions[n - 1] + t.symbolPositions[0]);
    return gap / 2;
}

// Time a motion of `halfSteps` at a speed entry may take: twice what its
// ramps and cruise take on the virtual board, and two seconds more.
uint64_t timeLimit(const RampTableDef& r, uint32_t halfSteps) {
    const uint64_t steps = halfSteps / unsigned(geo::stepSize(r)) + 1;
    uint64_t units = 0;
    for (unsigned i = 0; i < r.rampUp.length; ++i) units += std::max<uint8_t>(r.rampUp.entries[i], 1);
    for (unsigned i = 0; i < r.rampDown.length; ++i) units += std::max<uint8_t>(r.rampDown.entries[i], 1);
    const uint8_t cruise = r.rampUp.length ? r.rampUp.entries[r.rampUp.length - 1] : 1;
    units += steps * std::max<uint8_t>(cruise, 1);
    return 2 * units * kRampUnitMicros + kSpareMicros;
}

// What a reel is doing between polls.
struct Track {
    bool busy = false, finished = false;
    Rest rest;
    uint64_t started = 0, deadline = 0;
    uint32_t expected = 0;          // a synchronisation: the counter it should end on
    uint16_t lastPosition = 0;
    uint64_t lastChange = 0;
    unsigned polls = 0;
    unsigned spinsDone = 0, sinceResync = 0;
    bool finalResyncDone = false;
};

class Soak {
public:
    Soak(Yarvo& yarvo, const Plan& plan, const Clock& clock)
        : yarvo_(yarvo), plan_(plan), clock_(clock), random_(plan.seed), tracks_(plan.reels.size()) {}

    Report run(const std::function<void(const Report&)>& progress);

private:
    Yarvo& yarvo_;
    const Plan& plan_;
    const Clock& clock_;
    std::mt19937 random_;
    std::vector<Track> tracks_;
    Report report_;

    unsigned char reel(size_t i) const { return static_cast<unsigned char>(plan_.reels[i]); }
    void startNext(size_t i);
    void startSpin(size_t i);
    void startSync(size_t i, Rest::Kind kind);
    void poll(size_t i);
    void finish(size_t i, const KReelStatusEx& status);
    void count(ReelReport& r, const Rest& rest);
};

Report Soak::run(const std::function<void(const Report&)>& progress) {
    unsigned char version[253] = {};
    check(yarvo_.GetFirmwareVersion(version), "GetFirmwareVersion", yarvo_);
    report_.firmware.assign(reinterpret_cast<const char*>(version), strnlen(reinterpret_cast<const char*>(version), sizeof version));
    report_.virtualFirmware = isVirtualFirmware(report_.firmware);
    KReelPowerStatus power{};
    check(yarvo_.GetPowerStatus(&power), "GetPowerStatus", yarvo_);
    report_.powerAtStart = power.value;
    report_.seed = plan_.seed;
    report_.spins = plan_.spins;
    report_.resyncEvery = plan_.resyncEvery;
    for (size_t i = 0; i < plan_.reels.size(); ++i) {
        ReelReport r;
        r.reel = plan_.reels[i];
        r.type = plan_.types[i];
        r.limit = halfSmallestGap(plan_.definitions[i].symbolTable);
        r.rests.reserve(plan_.spins + plan_.spins / std::max(plan_.resyncEvery, 1u) + 2);
        report_.reels.push_back(r);
    }
    for (size_t i = 0; i < tracks_.size(); ++i) startSync(i, Rest::FirstSync);
    for (;;) {
        for (size_t i = 0; i < tracks_.size(); ++i) {
            if (!tracks_[i].busy && !tracks_[i].finished) startNext(i);
        }
        if (std::all_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.finished; })) break;
        if (!clock_.sleep(clock_.pollMicros)) {
            report_.interrupted = true;
            break;
        }
        for (size_t i = 0; i < tracks_.size(); ++i) {
            if (tracks_[i].busy) poll(i);
        }
        if (progress) progress(report_);
    }
    check(yarvo_.GetPowerStatus(&power), "GetPowerStatus", yarvo_);
    report_.powerAtEnd = power.value;
    return report_;
}

void Soak::startNext(size_t i) {
    Track& t = tracks_[i];
    if (t.spinsDone == plan_.spins) {
        if (t.finalResyncDone || plan_.spins == 0) {
            t.finished = true;
        } else {
            t.finalResyncDone = true;
            startSync(i, Rest::Resync);
        }
    } else if (t.sinceResync == plan_.resyncEvery) {
        startSync(i, Rest::Resync);
    } else {
        startSpin(i);
    }
}

void Soak::startSpin(size_t i) {
    Track& t = tracks_[i];
    const ReelDataDef& d = plan_.definitions[i];
    const unsigned target = random_() % d.symbolTable.symbolsPerTurn;
    const RampTableDef& table = d.rampTables[random_() % d.rampTableCount];
    const int speed = random_() % 2 ? -table.speed : table.speed;
    check(yarvo_.VendorSpinReelToSymbol(reel(i), target, speed), "VendorSpinReelToSymbol", yarvo_);
    t.rest = Rest();
    t.rest.kind = Rest::Spin;
    t.rest.target = target;
    t.rest.speed = speed;
    t.started = clock_.nowMicros();
    // At most a turn to the symbol and a turn more for the ramps.
    t.deadline = t.started + timeLimit(table, 2 * geo::turnLength(d.symbolTable));
    t.busy = true;
    t.polls = 0;
    ++t.spinsDone;
    ++t.sinceResync;
}

// The library synchronises by a spin at the speed nearest 70 to the nearest
// symbol ahead, two whole turns and one symbol on: where that ends is known
// from the counter now, and a counter put right on the way ends elsewhere.
void Soak::startSync(size_t i, Rest::Kind kind) {
    Track& t = tracks_[i];
    const ReelDataDef& d = plan_.definitions[i];
    const SymbolTableDef& symbols = d.symbolTable;
    KReelStatusEx before{};
    check(yarvo_.VendorGetReelStatus(reel(i), &before), "VendorGetReelStatus", yarvo_);
    const RampTableDef& table = d.rampTables[geo::nearestSpeedIndex(d, kSyncSpeed)];
    const unsigned n = symbols.symbolsPerTurn;
    const uint32_t turn = geo::turnLength(symbols);
    geo::SymbolHit nearest{};
    uint32_t move = 0;
    if (geo::nearestSymbol(symbols, before.position, true, &nearest)) {
        geo::symbolCountMove(symbols, nearest.symbol, nearest.distance, 2 * n + 1, true, &move);
    }
    const unsigned size = unsigned(geo::stepSize(table));
    t.expected = uint32_t((uint64_t(before.position) + move / size * size) % turn);
    check(yarvo_.VendorSynchroniseReel(reel(i)), "VendorSynchroniseReel", yarvo_);
    t.rest = Rest();
    t.rest.kind = kind;
    t.rest.target = geo::symbolsOn(nearest.symbol, (2 * n + 1) % n, n, true);
    t.rest.speed = kSyncSpeed;
    t.started = clock_.nowMicros();
    t.deadline = t.started + timeLimit(table, move);
    t.busy = true;
    t.polls = 0;
    t.sinceResync = 0;
}

void Soak::poll(size_t i) {
    Track& t = tracks_[i];
    KReelStatusEx status{};
    check(yarvo_.VendorGetReelStatus(reel(i), &status), "VendorGetReelStatus", yarvo_);
    const uint64_t now = clock_.nowMicros();
    if (t.polls++ == 0 || status.position != t.lastPosition) {
        t.lastPosition = status.position;
        t.lastChange = now;
    }
    const bool rests = report_.virtualFirmware ? (status.statusByte1 & sim::kFlagMoving) == 0
                                               : t.polls > 1 && now - t.lastChange >= kStillMicros;
    if (!rests && now < t.deadline) return;
    t.rest.timedOut = !rests;
    t.rest.stopMs = double(now - t.started) / 1000.0;
    finish(i, status);
}

void Soak::finish(size_t i, const KReelStatusEx& status) {
    Track& t = tracks_[i];
    ReelReport& r = report_.reels[i];
    Rest& rest = t.rest;
    const uint32_t turn = geo::turnLength(plan_.definitions[i].symbolTable);
    rest.symbol = status.nearestSymbol;
    rest.offset = status.symbolOffset;
    rest.flags = status.statusByte1;
    const bool virtualBoard = report_.virtualFirmware;
    const uint8_t faults = virtualBoard ? rest.flags & (sim::kFlagPositionError | sim::kFlagIndexMissing) : 0;
    const bool syncFailed = virtualBoard && rest.kind != Rest::Spin && (rest.flags & sim::kFlagSyncArmed) != 0;
    if (rest.kind == Rest::Spin) {
        const bool off = rest.symbol != rest.target || unsigned(std::abs(rest.offset)) > r.limit;
        rest.miss = off || faults != 0 || rest.timedOut;
    } else {
        const uint32_t d = distance(status.position, t.expected, turn);
        const bool ahead = (status.position + turn - t.expected) % turn == d;
        rest.moved = ahead ? int(d) : -int(d);
        // The first synchronisation brings the reel to a known place: where
        // the counter was before it does not count, a broken reel does.
        const bool moved = rest.kind == Rest::Resync && d > r.limit;
        const uint8_t counted = rest.kind == Rest::FirstSync ? faults & sim::kFlagIndexMissing : faults;
        rest.miss = rest.kind == Rest::Resync && (moved || counted != 0 || syncFailed || rest.timedOut);
        rest.flags = virtualBoard && rest.kind == Rest::FirstSync ? uint8_t(rest.flags & ~sim::kFlagPositionError)
                                                                  : rest.flags;
    }
    count(r, rest);
    r.rests.push_back(rest);
    t.busy = false;
}

void Soak::count(ReelReport& r, const Rest& rest) {
    r.spins += rest.kind == Rest::Spin;
    r.resyncs += rest.kind == Rest::Resync;
    r.misses += rest.miss;
    r.timeouts += rest.timedOut;
    if (report_.virtualFirmware) {
        r.positionErrors += (rest.flags & sim::kFlagPositionError) != 0;
        r.indexMissing += (rest.flags & sim::kFlagIndexMissing) != 0;
        r.syncFailed += rest.kind != Rest::Spin && (rest.flags & sim::kFlagSyncArmed) != 0;
    } else if (std::find(r.rawFlags.begin(), r.rawFlags.end(), rest.flags) == r.rawFlags.end()) {
        r.rawFlags.push_back(rest.flags);
    }
}

}  // namespace

bool ReelReport::clean() const {
    return misses == 0 && positionErrors == 0 && indexMissing == 0 && syncFailed == 0 && timeouts == 0;
}

bool Report::clean() const {
    return !interrupted && std::all_of(reels.begin(), reels.end(), [](const ReelReport& r) { return r.clean(); });
}

Report run(Yarvo& yarvo, const Plan& plan, const Clock& clock, const std::function<void(const Report&)>& progress) {
    return Soak(yarvo, plan, clock).run(progress);
}

StopTimes stopTimes(const ReelReport& reel) {
    std::vector<double> times;
    for (const Rest& r : reel.rests) {
        if (r.kind == Rest::Spin) times.push_back(r.stopMs);
    }
    StopTimes s;
    if (times.empty()) return s;
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    s.min = times.front();
    s.median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    s.p99 = times[std::min(n - 1, (99 * n + 99) / 100 - 1)];
    return s;
}

void offsetSpread(const ReelReport& reel, int* least, int* greatest) {
    *least = *greatest = 0;
    bool first = true;
    for (const Rest& r : reel.rests) {
        if (r.kind != Rest::Spin) continue;
        *least = first ? r.offset : std::min(*least, r.offset);
        *greatest = first ? r.offset : std::max(*greatest, r.offset);
        first = false;
    }
}

}  // namespace yarvoctl::soak
