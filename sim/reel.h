// One reel of the virtual board: a stepper motor that turns over time.
//
// Positions are half steps within one turn (0 .. turnLength - 1).  The board
// keeps a step counter (the position it reports) and the reel has a true
// mechanical position; they agree until someone turns the reel by hand
// (nudge), which marks the reel tampered and unsynchronised, or until a
// fault parts them.  Synchronisation puts the counter right the next time
// the board sees the index mark (true position 0).
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
//
// Faults (injected from the test side, the control channel or a schedule):
//  * jam: the reel stops turning, at once or after N more motor steps; the
//    board goes on counting the steps it drives, so counter and reel part.
//  * lost steps: every new motion (command 41 or 48) loses its first N motor
//    steps, as a too-steep ramp or a weak motor would: they are counted but
//    do not turn the reel, so the counter runs ahead by N steps a spin.
//  * index sensor dead: it never reports the tab.  Stuck: it always does;
//    the board, which looks for the signal coming on, takes the first step
//    of every motion as the index, wherever the reel is.
//  * heal: the reel's faults are gone (a technician replaced the part); the
//    counter stays as wrong as it is until the next synchronisation.
// The board expects the index where its counter passes 0 and notices, within
// the reel's error deadband (byte 8 of command 51; 0 without it):
//  * position error (status flag 0x40): the index seen with the counter more
//    than the deadband away from 0, or the counter carried more than the
//    deadband past 0 without the index seen since it came within the
//    deadband of 0.  Where synchronisation is armed, the index seen also
//    sets the counter to 0 and the reel is synchronised.
//  * index missing (flag 0x80): the counter driven a turn and a half in one
//    direction without the index seen.
// Both flags tell of the running or last motion: a new motion (41 or 48)
// clears them, and a fault that persists raises them again.  A healthy reel
// never raises them; the synchronised flag is cleared only by a nudge.  So a
// jammed reel (or one whose sensor is dead) shows position error once its
// counter passes 0, index missing after a turn and a half, and
// synchronisation never completes (the armed flag stays).  Lost steps show
// position error where the index comes more than the deadband after the
// counter's 0; synchronisation then puts the counter right, and the reel
// rests short of its target by the steps it lost.  With a stuck sensor,
// synchronisation completes at the first step of the next motion with the
// counter set to 0 there (position error unless the counter was within the
// deadband of 0); as the reel turns on, position error and index missing
// follow.  A correction in the middle of a motion does not change how many
// steps the motion still takes.
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
    kFlagPositionError = 0x40,   // the counter did not agree with the index (see above)
    kFlagIndexMissing = 0x80,    // a turn and a half driven without the index
};

// What the reel's index sensor reports.
enum class IndexSensor : uint8_t { Working, Dead, Stuck };

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
    // Faults, and what the board noticed of them.
    bool jammed = false;         // the reel no longer turns; the counter still counts
    bool jamPending = false;     // it jams after jamAfter more steps
    uint32_t jamAfter = 0;
    uint16_t lostSteps = 0;      // motor steps each new motion loses at its start
    IndexSensor indexSensor = IndexSensor::Working;
    bool positionError = false;
    bool indexMissing = false;
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

    // Faults (see above).
    void jam(uint32_t afterSteps);                 // 0: at once
    void loseSteps(uint16_t perMotion);            // 0: none
    void setIndexSensor(IndexSensor sensor);
    void heal();
    void cutPower();                               // the motion ends where the reel is

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
    // What the board keeps to notice faults.
    uint64_t lostLeft_ = 0;        // steps the running motion still loses
    uint64_t sinceIndex_ = 0;      // half steps driven in this direction since the index was seen
    int runDirection_ = 0;         // direction of the last steps driven
    bool inWindow_ = false;        // the counter came within the deadband of 0 in this direction
    bool seenInWindow_ = false;    // and the index has been seen since
    bool firstStep_ = false;       // the motion has not taken a step yet

    void beginMotion(int8_t stepMode, bool skill);
    void finishAfter(uint64_t halfSteps);   // the motion becomes counted from here
    void takeStep();
    void takeSteps(uint64_t count);         // `count` whole steps of the motion's size at once
    void travel(uint64_t halfSteps, uint64_t steps);  // counter and reel move; the index may be found
    unsigned driveStep(uint32_t halfSteps);  // one step as the board drives and watches it
    bool seeIndex();                         // the board sees the index; true when it synchronised
    uint32_t deadband() const { return s_.parameters[8]; }
    uint64_t cruiseStepsAhead() const;      // whole steps from here at the cruising period
    void halt();
    void refresh();                // derived state: stepsToGo, stopping
    uint64_t periodMicros() const; // of the step in progress
};

}  // namespace yarvo::sim

#endif
