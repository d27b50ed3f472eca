// Placeholder until the motion model lands: reels that never move.
#include "reel.h"

namespace yarvo::sim {

Reel::Reel() = default;
void Reel::setTurnLength(uint32_t halfSteps) { if (halfSteps) s_.turnLength = halfSteps; }
void Reel::setParameters(const uint8_t payload[9]) { s_.hasParameters = true; for (int i = 0; i < 9; ++i) s_.parameters[i] = payload[i]; }
void Reel::setDefaultTurnLength(uint32_t) {}
void Reel::setDefaultStepPeriod(uint8_t units) { defaultPeriod_ = units; }
void Reel::setRampUp(const uint8_t* e, size_t n) { s_.rampUp.assign(e, e + n); }
void Reel::setRampDown(const uint8_t* e, size_t n) { s_.rampDown.assign(e, e + n); }
void Reel::setDutyCycle(uint8_t off, uint8_t on) { s_.dutyOff = off; s_.dutyOn = on; }
void Reel::armSynchronise(uint8_t mode) { s_.syncArmed = true; s_.syncMode = mode; }
void Reel::clearTamper() { s_.tampered = false; }
bool Reel::spin(int8_t, uint16_t) { return true; }
bool Reel::startSkill(int8_t) { return true; }
void Reel::stopSkill() {}
void Reel::stopAtPosition(uint16_t) {}
void Reel::nudge(int32_t) { s_.tampered = true; }
void Reel::advance(uint64_t) {}
ReelState Reel::state() const { return s_; }
void Reel::status(uint8_t out[9]) const { for (int i = 0; i < 9; ++i) out[i] = 0; }
void Reel::takeStep() {}
uint32_t Reel::periodMicros() const { return 0; }

}  // namespace yarvo::sim
