// yarvo-sim's clock speed and fault schedule.
#include "time_plan.h"

#include <algorithm>
#include <cstdlib>

#include "numbers.h"

namespace yarvo::simtool {

bool planTime(const std::string& scale, const std::vector<std::string>& faults, const std::vector<unsigned>& instances,
              TimePlan* plan, std::string* error) {
    TimePlan p;
    if (!scale.empty()) {
        long long value = 0;
        if (!tools::parseInteger(scale, 1, sim::BoardClock::kMaxScale, &value, error)) {
            *error = "--time-scale: " + *error;
            return false;
        }
        p.scale = static_cast<uint32_t>(value);
    }
    if (faults.size() > sim::VirtualDriver::kMaxScheduledFaults) {
        *error = "--fault: at most " + std::to_string(sim::VirtualDriver::kMaxScheduledFaults) + " faults";
        return false;
    }
    for (const std::string& text : faults) {
        sim::ScheduledFault fault;
        if (!sim::parseScheduledFault(text, &fault, error)) {
            *error = "--fault: " + *error;
            return false;
        }
        if (std::find(instances.begin(), instances.end(), fault.instance) == instances.end()) {
            *error = "--fault \"" + text + "\": no board at instance " + std::to_string(fault.instance);
            return false;
        }
        p.faults.push_back(fault);
    }
    p.faultTexts = faults;
    *plan = p;
    return true;
}

void applyTimePlan(sim::VirtualDriver& driver, const TimePlan& plan) {
    driver.clock().setScale(plan.scale);
    for (const sim::ScheduledFault& f : plan.faults) {
        driver.scheduleFault(f.instance, f.atMicros, f.fault);
    }
}

void exportTimePlan(const TimePlan& plan) {
    ::setenv("YARVO_SIM_TIME_SCALE", std::to_string(plan.scale).c_str(), 1);
    std::string lines;
    for (const std::string& text : plan.faultTexts) {
        lines += text + "\n";
    }
    ::setenv("YARVO_SIM_FAULTS", lines.c_str(), 1);
}

}  // namespace yarvo::simtool
