// Reel motion model of the virtual board.  Deterministic: the reel moves only
// when advance() lets time pass, one motor step at the end of each step
// period; steps at the cruising period are taken in bulk, so that the cost
// of advance() does not grow with the time it covers.  The board watches
// every step for its index (reel.h); a bulk stretch is watched step by step
// only until what it sees repeats from one turn to the next, and the rest of
// it is taken in whole turns at once.
#include "reel.h"

#include <algorithm>

namespace yarvo::sim {

namespace {

bool validStepMode(int8_t mode) {
    return mode == -2 || mode == -1 || mode == 1 || mode == 2;
}

uint32_t stepSize(int8_t mode) { return mode < 0 ? uint32_t(-mode) : uint32_t(mode); }

// `position` moved by `delta` half steps, wrapped into one turn.
uint32_t wrapped(uint32_t position, int64_t delta, uint32_t turnLength) {
    const int64_t t = turnLength;
    int64_t p = (int64_t(position) + delta) % t;
    if (p < 0) p += t;
    return uint32_t(p);
}

// Half steps between `a` and `b` the shorter way round.
uint32_t circularDistance(uint32_t a, uint32_t b, uint32_t turnLength) {
    const uint32_t d = a > b ? a - b : b - a;
    return d < turnLength - d ? d : turnLength - d;
}

uint64_t greatestCommonDivisor(uint64_t a, uint64_t b) {
    while (b != 0) {
        const uint64_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

// What one driven step did, for travel().
constexpr unsigned kStateChanged = 1;   // a fault began or ended, or the counter was put right
constexpr unsigned kIndexSeen = 2;

// A stored ramp table into the snapshot's fixed-size copy (the firmware
// refuses longer tables before they get here).
void copyRamp(const uint8_t* entries, size_t count, uint8_t* length, uint8_t* copy) {
    count = std::min(count, kMaxRampEntries);
    *length = uint8_t(count);
    std::copy(entries, entries + count, copy);
    std::fill(copy + count, copy + kMaxRampEntries, uint8_t{0});
}

void putBE16(uint8_t* out, uint32_t value) {
    out[0] = uint8_t(value >> 8);
    out[1] = uint8_t(value);
}

}  // namespace

Reel::Reel() = default;

// ---------------------------------------------------------------- set-up

void Reel::setTurnLength(uint32_t halfSteps) {
    if (halfSteps == 0) return;
    s_.turnLength = halfSteps;
    s_.position %= halfSteps;
    s_.truePosition %= halfSteps;
}

void Reel::setParameters(const uint8_t payload[9]) {
    for (int i = 0; i < 9; ++i) s_.parameters[i] = payload[i];
    s_.hasParameters = true;
    setTurnLength((uint32_t(payload[1]) << 8) | payload[2]);
}

void Reel::setDefaultTurnLength(uint32_t halfSteps) {
    if (!s_.hasParameters) setTurnLength(halfSteps);
}

void Reel::setDefaultStepPeriod(uint8_t units) { defaultPeriod_ = units; }

void Reel::setRampUp(const uint8_t* entries, size_t count) {
    s_.rampUp.assign(entries, entries + count);
    copyRamp(entries, count, &s_.rampUpLength, s_.rampUpEntries);
    refresh();
}

void Reel::setRampDown(const uint8_t* entries, size_t count) {
    s_.rampDown.assign(entries, entries + count);
    copyRamp(entries, count, &s_.rampDownLength, s_.rampDownEntries);
    refresh();
}

void Reel::setDutyCycle(uint8_t off, uint8_t on) {
    s_.dutyOff = off;
    s_.dutyOn = on;
}

void Reel::armSynchronise(uint8_t mode) {
    s_.syncArmed = true;
    s_.syncMode = mode;
}

void Reel::clearTamper() { s_.tampered = false; }

// ---------------------------------------------------------------- motion commands

void Reel::beginMotion(int8_t stepMode, bool skill) {
    s_.stepMode = stepMode;
    s_.moving = true;
    s_.skill = skill;
    counted_ = false;
    stepIndex_ = 0;
    stepsTotal_ = 0;
    halfStepsLeft_ = 0;
    sinceLastStep_ = 0;
    // The flags tell of this motion from here on.
    s_.positionError = false;
    s_.indexMissing = false;
    lostLeft_ = s_.lostSteps;
    firstStep_ = true;
}

void Reel::finishAfter(uint64_t halfSteps) {
    const uint32_t size = stepSize(s_.stepMode);
    counted_ = true;
    halfStepsLeft_ = halfSteps;
    stepsTotal_ = stepIndex_ + (halfSteps + size - 1) / size;
    if (halfSteps == 0) halt();
    refresh();
}

bool Reel::spin(int8_t stepMode, uint16_t steps) {
    if (!validStepMode(stepMode)) return false;
    if (steps == 0) return true;
    beginMotion(stepMode, false);
    finishAfter(uint64_t(steps) * stepSize(stepMode));
    return true;
}

bool Reel::startSkill(int8_t stepMode) {
    if (!validStepMode(stepMode)) return false;
    beginMotion(stepMode, true);
    refresh();
    return true;
}

void Reel::stopSkill() {
    // Only a skill spin that is not already finishing is affected.
    if (!s_.moving || !s_.skill || counted_) return;
    finishAfter(uint64_t(s_.rampDown.size()) * stepSize(s_.stepMode));
}

void Reel::stopAtPosition(uint16_t position) {
    if (!s_.moving) return;
    const uint32_t t = s_.turnLength;
    const uint32_t target = position % t;
    const uint32_t size = stepSize(s_.stepMode);
    uint64_t halfSteps = s_.stepMode > 0 ? (uint64_t(target) + t - s_.position) % t
                                         : (uint64_t(s_.position) + t - target) % t;
    // Whole turns more until the ramp-down table fits into the remaining steps.
    const uint64_t rampDown = s_.rampDown.size();
    while ((halfSteps + size - 1) / size < rampDown) halfSteps += t;
    finishAfter(halfSteps);
}

// ---------------------------------------------------------------- test side

void Reel::nudge(int32_t halfSteps) {
    s_.truePosition = wrapped(s_.truePosition, halfSteps, s_.turnLength);
    s_.tampered = true;
    s_.synchronised = false;
}

void Reel::jam(uint32_t afterSteps) {
    s_.jammed = afterSteps == 0;
    s_.jamPending = afterSteps != 0;
    s_.jamAfter = afterSteps;
}

void Reel::loseSteps(uint16_t perMotion) { s_.lostSteps = perMotion; }

void Reel::setIndexSensor(IndexSensor sensor) { s_.indexSensor = sensor; }

void Reel::heal() {
    s_.jammed = false;
    s_.jamPending = false;
    s_.jamAfter = 0;
    s_.lostSteps = 0;
    s_.indexSensor = IndexSensor::Working;
    lostLeft_ = 0;
}

void Reel::cutPower() {
    if (s_.moving) {
        halt();
        refresh();
    }
}

void Reel::advance(uint64_t micros) {
    while (s_.moving) {
        const uint64_t period = periodMicros();
        const uint64_t needed = period > sinceLastStep_ ? period - sinceLastStep_ : 0;
        if (micros < needed) {
            sinceLastStep_ += micros;
            return;
        }
        micros -= needed;
        sinceLastStep_ = 0;
        takeStep();
        // The stretch at the cruising period that the time covers, at once.
        const uint64_t ahead = s_.moving ? cruiseStepsAhead() : 0;
        if (ahead > 0) {
            const uint64_t cruise = periodMicros();
            const uint64_t bulk = std::min(ahead, micros / cruise);
            takeSteps(bulk);
            micros -= bulk * cruise;
        }
    }
}

// ---------------------------------------------------------------- stepping

uint64_t Reel::periodMicros() const {
    const std::vector<uint8_t>& up = s_.rampUp;
    const std::vector<uint8_t>& down = s_.rampDown;
    const uint64_t nd = down.size();
    uint8_t units;
    if (counted_ && stepsTotal_ > stepIndex_ && stepsTotal_ - stepIndex_ <= nd)
        units = down[nd - (stepsTotal_ - stepIndex_)];
    else if (stepIndex_ < up.size())
        units = up[stepIndex_];
    else if (!up.empty())
        units = up.back();
    else
        units = defaultPeriod_;
    if (units == 0) units = 1;
    return uint64_t(units) * kRampUnitMicros;
}

void Reel::takeStep() {
    uint64_t size = stepSize(s_.stepMode);
    if (counted_ && halfStepsLeft_ < size) size = halfStepsLeft_;
    travel(size, 1);
    if (counted_ && stepIndex_ >= stepsTotal_) halt();
    refresh();
}

uint64_t Reel::cruiseStepsAhead() const {
    if (stepIndex_ < s_.rampUp.size()) {
        return 0;   // still ramping up
    }
    if (!counted_) {
        return UINT64_MAX;   // a skill spin cruises until it is stopped
    }
    // The last step (which may be a half step) and the ramp-down are taken
    // one by one.
    const uint64_t tail = std::max<uint64_t>(s_.rampDown.size(), 1);
    const uint64_t left = stepsTotal_ - stepIndex_;
    return left > tail ? left - tail : 0;
}

void Reel::takeSteps(uint64_t count) {
    if (count == 0) return;
    travel(count * stepSize(s_.stepMode), count);
    refresh();
}

void Reel::travel(uint64_t halfSteps, uint64_t steps) {
    const int dir = s_.stepMode > 0 ? 1 : -1;
    if (dir != runDirection_) {
        runDirection_ = dir;
        sinceIndex_ = 0;
        inWindow_ = false;
    }
    // Every step but the last half step of a counted move has the motion's size.
    const uint32_t size = steps == 1 ? uint32_t(halfSteps) : stepSize(s_.stepMode);
    // After `period` steps counter and reel are where they were, so that
    // once two periods have gone by unchanged, each further one would see
    // exactly what the last one saw.
    const uint64_t period = s_.turnLength / greatestCommonDivisor(s_.turnLength, size);
    uint64_t unchanged = 0, sinceSeen = UINT64_MAX;
    for (uint64_t left = steps; left > 0;) {
        if (unchanged >= 2 * period && left > period && lostLeft_ == 0) {
            uint64_t periods = (left - 1) / period;
            if (s_.jamPending) {
                periods = std::min<uint64_t>(periods, s_.jamAfter / period);
                s_.jamAfter -= uint32_t(periods * period);
            }
            if (sinceSeen >= period) {
                sinceIndex_ += periods * period * size;   // no index in a turn: none in the next ones
            }
            left -= periods * period;
            unchanged = 0;
            if (left == 0) break;
        }
        const unsigned what = driveStep(size);
        unchanged = (what & kStateChanged) ? 0 : unchanged + 1;
        sinceSeen = (what & kIndexSeen) ? 0 : (sinceSeen == UINT64_MAX ? sinceSeen : sinceSeen + 1);
        --left;
    }
    stepIndex_ += steps;
    s_.stepsTaken += steps;
    if (counted_) halfStepsLeft_ -= halfSteps;
}

unsigned Reel::driveStep(uint32_t halfSteps) {
    unsigned what = 0;
    bool turns = true;   // whether the reel follows the counter
    if (lostLeft_ > 0) {
        --lostLeft_;
        turns = false;
        what |= kStateChanged;
    } else if (s_.jamPending && s_.jamAfter == 0) {
        s_.jamPending = false;
        s_.jammed = true;
        what |= kStateChanged;
    } else if (s_.jamPending) {
        --s_.jamAfter;
    }
    turns = turns && !s_.jammed;

    const int dir = s_.stepMode > 0 ? 1 : -1;
    const uint32_t t = s_.turnLength;
    const uint32_t band = deadband();
    // The counter positions at which it enters and leaves the deadband round
    // 0 in the direction of travel; no window when the band covers the turn.
    const bool window = 2 * uint64_t(band) + 1 < t;
    const uint32_t enters = window ? (dir > 0 ? t - band : band) % t : 0;
    const uint32_t leaves = window ? (dir > 0 ? band + 1 : t - band - 1) : 0;
    for (uint32_t i = 0; i < halfSteps; ++i) {
        s_.position = wrapped(s_.position, dir, t);
        if (turns) s_.truePosition = wrapped(s_.truePosition, dir, t);
        ++sinceIndex_;
        if (window && s_.position == enters) {
            inWindow_ = true;
            seenInWindow_ = false;
        }
        if (turns && s_.truePosition == 0 && s_.indexSensor == IndexSensor::Working) {
            what |= kIndexSeen | (seeIndex() ? kStateChanged : 0);
        }
        if (window && s_.position == leaves) {
            if (inWindow_ && !seenInWindow_) s_.positionError = true;
            inWindow_ = false;
        }
    }
    if (firstStep_) {
        // A stuck sensor is on as the motion begins: the board takes that as the index.
        firstStep_ = false;
        what |= kStateChanged;
        if (s_.indexSensor == IndexSensor::Stuck) what |= kIndexSeen | (seeIndex() ? kStateChanged : 0);
    }
    if (2 * sinceIndex_ >= 3 * uint64_t(t)) s_.indexMissing = true;
    return what;
}

bool Reel::seeIndex() {
    sinceIndex_ = 0;
    seenInWindow_ = true;
    if (circularDistance(s_.position, 0, s_.turnLength) > deadband()) s_.positionError = true;
    if (!s_.syncArmed) return false;
    // From the index on, the counter agrees with what the board takes for it.
    s_.position = 0;
    inWindow_ = true;
    s_.synchronised = true;
    s_.syncArmed = false;
    if (s_.syncMode == 1) s_.tampered = false;
    return true;
}

void Reel::halt() {
    s_.moving = false;
    s_.skill = false;
    counted_ = false;
    halfStepsLeft_ = 0;
    sinceLastStep_ = 0;
}

void Reel::refresh() {
    const uint64_t toGo = s_.moving && counted_ ? stepsTotal_ - stepIndex_ : 0;
    s_.stepsToGo = toGo > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(toGo);
    s_.stopping = toGo > 0 && toGo <= s_.rampDown.size();
    s_.stepPeriodMicros = s_.moving ? uint32_t(periodMicros()) : 0;
    s_.rampingUp = s_.moving && !s_.stopping && stepIndex_ < s_.rampUp.size();
}

// ---------------------------------------------------------------- status

ReelState Reel::state() const { return s_; }

void Reel::status(uint8_t out[9]) const {
    putBE16(out, s_.position);
    putBE16(out + 2, s_.stepsToGo > 0xFFFF ? 0xFFFF : s_.stepsToGo);
    uint8_t flags = 0;
    if (s_.moving) flags |= kFlagMoving;
    if (s_.skill) flags |= kFlagSkill;
    if (s_.synchronised) flags |= kFlagSynchronised;
    if (s_.tampered) flags |= kFlagTampered;
    if (s_.stopping) flags |= kFlagStopping;
    if (s_.syncArmed) flags |= kFlagSyncArmed;
    if (s_.positionError) flags |= kFlagPositionError;
    if (s_.indexMissing) flags |= kFlagIndexMissing;
    out[4] = flags;
    out[5] = uint8_t(s_.stepMode);
    out[6] = s_.dutyOn;
    putBE16(out + 7, s_.turnLength);
}

}  // namespace yarvo::sim
