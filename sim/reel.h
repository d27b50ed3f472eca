// One reel of the virtual board: a stepper motor that turns over time.
//
// Positions are half steps within one turn (0 .. turnLength - 1).  The board
// keeps a step counter (the position it reports) and the reel has a true
// mechanical position; they agree until someone turns the reel by hand
// (nudge), which marks the reel tampered and unsynchronised.  Synchronisation
// puts the counter right the next time the reel passes its index mark (true
// position 0).
//
// Ramp entries are step periods in units of 100 microseconds (an entry of 0
// counts as 1).  A counted spin takes its first steps at the ramp-up periods,
// cruises at the last ramp-up period and takes its last steps at the
// ramp-down periods, in table order, so that it ends exactly on the commanded
// step.  A step's movement happens at the end of its period.  A skill spin
// ramps up and cruises until it is stopped: stopping a skill spin takes the
// next ramp-down-table-length steps at the ramp-down periods; a stop at a
// position finishes the motion as a counted move, adding whole turns until
// the ramp-down fits, and lands exactly on the position (at full step an odd
// distance ends with a single half step).  Time passes only in advance(),
// which works out where the reel is in closed form: only the ramps are
// walked step by step, a stretch at the cruising period is taken at once, so
// an hour of spinning costs no more than a millisecond of it.
// See firmware.h for the whole list of choices the model makes.
#ifndef YARVO_SIM_REEL_H
#define YARVO_SIM_REEL_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace yarvo::sim {

constexpr uint32_t kRampUnitMicros = 100;
constexpr uint32_t kDefaultTurnLength = 96;    // half steps, until command 40 or 51 says otherwise
constexpr uint8_t kDefaultStepPeriod = 50;     // ramp units, used when a reel has no ramp tables
constexpr size_t kMaxRampEntries = 60;         // the longest ramp table the board takes

// Status flags reported in status byte 1 (command 47).
enum ReelFlag : uint8_t {
    kFlagMoving = 0x01,
    kFlagSkill = 0x02,
    kFlagSynchronised = 0x04,
    kFlagTampered = 0x08,
    kFlagStopping = 0x10,     // decelerating through the ramp-down table
    kFlagSyncArmed = 0x20,    // waiting to pass the index mark
};

// A reel's motion and flags in fixed-size fields, cheap to copy: what views
// and status lines need.
struct ReelSnapshot {
    uint32_t turnLength = kDefaultTurnLength;
    uint32_t position = 0;       // the board's step counter, as reported
    uint32_t truePosition = 0;   // where the reel really is
    bool moving = false;
    bool skill = false;          // a skill spin is running (until stopped)
    bool stopping = false;
    bool synchronised = false;
    bool syncArmed = false;
    uint8_t syncMode = 0;
    bool tampered = false;
    int8_t stepMode = 0;         // of the running or last motion
    uint32_t stepsToGo = 0;      // motor steps still to go (0 for a skill spin that is not stopping)
    bool hasParameters = false;  // command 51 received
    uint8_t dutyOff = 0, dutyOn = 0;
    uint64_t stepsTaken = 0;     // motor steps since power-up
    uint32_t stepPeriodMicros = 0;  // period of the step in progress; 0 at rest
    bool rampingUp = false;      // still taking the ramp-up table's steps
    // How the host set the reel up, so that a view can tell its reel type:
    // the last command 51 payload and the ramp tables as stored.
    uint8_t parameters[9] = {};
    uint8_t rampUpLength = 0, rampDownLength = 0;
    uint8_t rampUpEntries[kMaxRampEntries] = {}, rampDownEntries[kMaxRampEntries] = {};
};

// Everything about a reel, as the test side reads it.
struct ReelState : ReelSnapshot {
    std::vector<uint8_t> rampUp, rampDown;
};

class Reel {
public:
    Reel();

    // Set-up.
    void setTurnLength(uint32_t halfSteps);        // 0 is ignored
    void setParameters(const uint8_t payload[9]);  // command 51: bytes 1-2 are the turn length
    void setDefaultTurnLength(uint32_t halfSteps); // command 40: applies unless command 51 was received
    void setDefaultStepPeriod(uint8_t units);      // command 40 fourth parameter
    void setRampUp(const uint8_t* entries, size_t count);
    void setRampDown(const uint8_t* entries, size_t count);
    void setDutyCycle(uint8_t off, uint8_t on);
    void armSynchronise(uint8_t mode);             // command 46
    void clearTamper();                            // command 45

    // Motion commands.  Each returns false when the firmware refuses it
    // (a bad step mode); a new command replaces a running one.
    bool spin(int8_t stepMode, uint16_t steps);    // command 41
    bool startSkill(int8_t stepMode);              // command 48
    void stopSkill();                              // command 49 (a skill spin only)
    void stopAtPosition(uint16_t position);        // command 50

    // Test side.
    void nudge(int32_t halfSteps);                 // turn by hand: tampered, unsynchronised
    void advance(uint64_t micros);                 // let time pass

    ReelState state() const;
    const ReelSnapshot& snapshot() const { return s_; }
    // The 9-byte status reply of command 47 (layout in firmware.h).
    void status(uint8_t out[9]) const;

private:
    // Kept by value: the firmware model owns exactly eight reels.
    ReelState s_;
    uint8_t defaultPeriod_ = kDefaultStepPeriod;
    bool counted_ = false;         // the motion ends after stepsTotal_ steps
    uint64_t stepIndex_ = 0;       // steps taken in the running motion: its place in the speed profile
    uint64_t stepsTotal_ = 0;      // profile index at which a counted motion ends
    uint64_t halfStepsLeft_ = 0;   // half steps a counted motion still travels
    uint64_t sinceLastStep_ = 0;   // micros accumulated toward the next step

    void beginMotion(int8_t stepMode, bool skill);
    void finishAfter(uint64_t halfSteps);   // the motion becomes counted from here
    void takeStep();
    void takeSteps(uint64_t count);         // `count` whole steps of the motion's size at once
    void travel(uint64_t halfSteps, uint64_t steps);  // counter and reel move; the index may be found
    uint64_t cruiseStepsAhead() const;      // whole steps from here at the cruising period
    void halt();
    void refresh();                // derived state: stepsToGo, stopping
    uint64_t periodMicros() const; // of the step in progress
};

}  // namespace yarvo::sim

#endif
