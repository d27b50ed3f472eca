// A virtual cabinet in a line or two, for tests and tools:
//
//   VirtualCabinet cab;                       // resets the process's driver
//   cab.board(0).address(3).speed("480\n");   // board at instance 0
//   cab.board(2).inputs(0x000105);
//   cab.advance(std::chrono::milliseconds(500));
//   cab.board(0).jam(1).loseSteps(2, 3);       // reel faults (board_fault.h)
//   cab.board(0).faultAt(5s, fault);           // at a time on the boards' clock
//
// Builder calls apply to the board most recently named with board().
#ifndef YARVO_SIM_CABINET_H
#define YARVO_SIM_CABINET_H

#include <chrono>
#include <string>

#include "virtual_driver.h"

namespace yarvo::sim {

class VirtualCabinet {
public:
    VirtualCabinet();    // resets driver(): nothing plugged, empty log, clock at 0
    ~VirtualCabinet();   // resets it again

    VirtualCabinet(const VirtualCabinet&) = delete;
    VirtualCabinet& operator=(const VirtualCabinet&) = delete;

    VirtualCabinet& board(unsigned instance);           // plug (if absent) and select
    VirtualCabinet& address(uint8_t address);
    VirtualCabinet& speed(const std::string& text);
    VirtualCabinet& product(const std::string& text);
    VirtualCabinet& inputs(uint32_t bits);
    VirtualCabinet& nodeRefuses();

    // Reel and power faults of the selected board, now (reel.h, firmware.h).
    VirtualCabinet& jam(unsigned reel, uint32_t afterSteps = 0);
    VirtualCabinet& loseSteps(unsigned reel, uint16_t perSpin);
    VirtualCabinet& indexSensor(unsigned reel, IndexSensor sensor);
    VirtualCabinet& power(uint8_t status);
    VirtualCabinet& heal(unsigned reel);
    VirtualCabinet& fault(const BoardFault& fault);
    // ... or when the boards' clock reaches `at`.
    VirtualCabinet& faultAt(std::chrono::microseconds at, const BoardFault& fault);

    VirtualDriver& driver();
    // Runs f(Firmware&) on a board under the driver's lock.
    template <class F> auto firmware(unsigned instance, F f) { return driver().withBoard(instance, f); }
    ReelState reel(unsigned instance, unsigned reel);

    void advance(std::chrono::microseconds by);
    std::vector<TransferRecord> log() const;
    void clearLog();

private:
    unsigned current_ = 0;
};

}  // namespace yarvo::sim

#endif
