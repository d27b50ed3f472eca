#include "clock.h"

namespace yarvo::sim {

void BoardClock::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    wall_.store(false, std::memory_order_release);
    now_.store(0, std::memory_order_release);
    baseMicros_ = 0;
    scale_ = 1;
}

uint64_t BoardClock::wallTargetLocked() const {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - base_);
    return baseMicros_ + static_cast<uint64_t>(elapsed.count()) * scale_;
}

// The clock never goes back, whichever thread read it last.
void BoardClock::raiseTo(uint64_t micros) {
    uint64_t seen = now_.load(std::memory_order_acquire);
    while (micros > seen && !now_.compare_exchange_weak(seen, micros, std::memory_order_acq_rel)) {
    }
}

uint64_t BoardClock::now() {
    if (wall_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (wall_.load(std::memory_order_relaxed)) {
            raiseTo(wallTargetLocked());
        }
    }
    return now_.load(std::memory_order_acquire);
}

void BoardClock::advance(uint64_t micros) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Following the wall, the reference moves too, so that the stretch is
    // not counted twice when the wall clock is next read.
    baseMicros_ += micros;
    now_.fetch_add(micros, std::memory_order_acq_rel);
}

void BoardClock::followWall(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was = wall_.load(std::memory_order_relaxed);
    if (on && !was) {
        base_ = std::chrono::steady_clock::now();
        baseMicros_ = now_.load(std::memory_order_acquire);
    } else if (!on && was) {
        raiseTo(wallTargetLocked());
    }
    wall_.store(on, std::memory_order_release);
}

bool BoardClock::setScale(uint32_t scale) {
    if (scale < 1 || scale > kMaxScale) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (wall_.load(std::memory_order_relaxed)) {
        raiseTo(wallTargetLocked());
        base_ = std::chrono::steady_clock::now();
        baseMicros_ = now_.load(std::memory_order_acquire);
    }
    scale_ = scale;
    return true;
}

uint32_t BoardClock::scale() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return scale_;
}

}  // namespace yarvo::sim
