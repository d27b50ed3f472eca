// What yarvo-sim's --time-scale and --fault ask of the boards: the clock's
// speed and the faults scheduled on it, checked before anything starts,
// then handed to the boards (kernel path) or to the preload library
// through YARVO_SIM_TIME_SCALE and YARVO_SIM_FAULTS.
#ifndef YARVO_SIM_TOOL_TIME_PLAN_H
#define YARVO_SIM_TOOL_TIME_PLAN_H

#include <string>
#include <vector>

#include "board_fault.h"
#include "virtual_driver.h"

namespace yarvo::simtool {

struct TimePlan {
    uint32_t scale = 1;
    std::vector<std::string> faultTexts;         // as given
    std::vector<sim::ScheduledFault> faults;
};

// `scale` (1 to 1000; empty: 1) and each "at TIME COMMAND" of `faults`,
// whose board must be one of `instances`.  False with a message.
bool planTime(const std::string& scale, const std::vector<std::string>& faults, const std::vector<unsigned>& instances,
              TimePlan* plan, std::string* error);

// The boards' clock runs at the plan's speed and the faults wait on it.
void applyTimePlan(sim::VirtualDriver& driver, const TimePlan& plan);

// The same for the boards of the preload library, in the environment.
void exportTimePlan(const TimePlan& plan);

}  // namespace yarvo::simtool

#endif
