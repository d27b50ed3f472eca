// The test-side builder over the process-wide virtual driver.
#include "cabinet.h"

namespace yarvo::sim {

VirtualCabinet::VirtualCabinet() { sim::driver().reset(); }

VirtualCabinet::~VirtualCabinet() { sim::driver().reset(); }

VirtualCabinet& VirtualCabinet::board(unsigned instance) {
    if (!sim::driver().present(instance)) {
        sim::driver().plug(instance);
    }
    current_ = instance;
    return *this;
}

VirtualCabinet& VirtualCabinet::address(uint8_t address) {
    sim::driver().withBoard(current_, [address](Firmware& fw) { fw.setAddress(address); });
    return *this;
}

VirtualCabinet& VirtualCabinet::speed(const std::string& text) {
    sim::driver().setSpeed(current_, text);
    return *this;
}

VirtualCabinet& VirtualCabinet::product(const std::string& text) {
    sim::driver().setProduct(current_, text);
    return *this;
}

VirtualCabinet& VirtualCabinet::inputs(uint32_t bits) {
    sim::driver().withBoard(current_, [bits](Firmware& fw) { fw.setInputs(bits); });
    return *this;
}

VirtualCabinet& VirtualCabinet::nodeRefuses() {
    sim::driver().setNodeOpens(current_, false);
    return *this;
}

VirtualCabinet& VirtualCabinet::fault(const BoardFault& fault) {
    sim::driver().withBoard(current_, [&fault](Firmware& fw) { applyBoardFault(fw, fault); });
    return *this;
}

VirtualCabinet& VirtualCabinet::faultAt(std::chrono::microseconds at, const BoardFault& fault) {
    sim::driver().scheduleFault(current_, static_cast<uint64_t>(at.count()), fault);
    return *this;
}

VirtualCabinet& VirtualCabinet::jam(unsigned reel, uint32_t afterSteps) {
    return fault({BoardFault::Jam, static_cast<uint8_t>(reel), static_cast<int32_t>(afterSteps)});
}

VirtualCabinet& VirtualCabinet::loseSteps(unsigned reel, uint16_t perSpin) {
    return fault({BoardFault::LoseSteps, static_cast<uint8_t>(reel), perSpin});
}

VirtualCabinet& VirtualCabinet::indexSensor(unsigned reel, IndexSensor sensor) {
    return fault({BoardFault::Index, static_cast<uint8_t>(reel), static_cast<int32_t>(sensor)});
}

VirtualCabinet& VirtualCabinet::power(uint8_t status) { return fault({BoardFault::Power, 0, status}); }

VirtualCabinet& VirtualCabinet::heal(unsigned reel) {
    return fault({BoardFault::Heal, static_cast<uint8_t>(reel), 0});
}

VirtualDriver& VirtualCabinet::driver() { return sim::driver(); }

ReelState VirtualCabinet::reel(unsigned instance, unsigned reel) {
    return sim::driver().withBoard(instance, [reel](Firmware& fw) { return fw.reel(reel).state(); });
}

void VirtualCabinet::advance(std::chrono::microseconds by) { sim::driver().advance(by); }

std::vector<TransferRecord> VirtualCabinet::log() const { return sim::driver().log(); }

void VirtualCabinet::clearLog() { sim::driver().clearLog(); }

}  // namespace yarvo::sim
