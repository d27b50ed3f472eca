// The virtual boards' clock, in microseconds since the boards came up.
// Manual by default: it moves only when advance() moves it (tests, which
// must be deterministic).  Following the wall clock (yarvo-sim, the preload
// transport), it runs `scale` times as fast as the wall clock, so that long
// runs on the virtual board can take less time; advance() still adds on top.
// Reading it is cheap and never waits on a board.
#ifndef YARVO_SIM_CLOCK_H
#define YARVO_SIM_CLOCK_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace yarvo::sim {

class BoardClock {
public:
    static constexpr uint32_t kMaxScale = 1000;

    // Manual, at 0, scale 1.
    void reset();
    // Board time now (brought up to the wall clock when following it).
    uint64_t now();
    // Board time as last read, without looking at the wall clock.
    uint64_t current() const { return now_.load(std::memory_order_acquire); }
    void advance(uint64_t micros);
    void followWall(bool on);
    bool followsWall() const { return wall_.load(std::memory_order_acquire); }
    // Board seconds per wall-clock second, 1 to kMaxScale; false otherwise.
    bool setScale(uint32_t scale);
    uint32_t scale() const;

private:
    std::atomic<uint64_t> now_{0};
    std::atomic<bool> wall_{false};
    mutable std::mutex mutex_;   // the wall-clock reference below
    std::chrono::steady_clock::time_point base_{};
    uint64_t baseMicros_ = 0;
    uint32_t scale_ = 1;
    uint64_t wallTargetLocked() const;
    void raiseTo(uint64_t micros);
};

}  // namespace yarvo::sim

#endif
