// Set-up of the virtual board when the in-process transport is preloaded
// into an unmodified host program:
//
//   YARVO_SIM_BOARDS=0:3,2:1:480 LD_PRELOAD=libyarvo-sim-preload.so ./host
//
// YARVO_SIM_BOARDS is a comma-separated list of INSTANCE:ADDRESS[:SPEED]
// entries: a board at driver instance INSTANCE (0-15) whose address inputs
// read ADDRESS (0-7), with the speed attribute SPEED ("12" when left out; a
// line end is added).  Unset, it means "0:0": one full-speed board at
// instance 0 with address 0.  Entries that do not parse are reported on
// standard error and skipped.  The boards' clock follows the wall clock, so
// reels move while the host runs.
//
// YARVO_SIM_LOG=FILE appends each transfer the boards serve to FILE as it
// happens, one line each, decoded as `yarvoctl trace` decodes it:
//
//   [    0.000912] Kmora_0 SPIN reel=2 mode=-2 steps=118 -> ok
//
// (yarvo-sim run --preload --transfer-log FILE sets it.)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "transfer_log.h"
#include "virtual_driver.h"

namespace {

// Parses a decimal number in [0, limit]; false when the text is empty, not
// a number or out of range.
bool parseNumber(const std::string& text, unsigned limit, unsigned* value) {
    if (text.empty() || text.size() > 3) {
        return false;
    }
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > limit) {
        return false;
    }
    *value = v;
    return true;
}

bool configureBoard(const std::string& entry) {
    const size_t first = entry.find(':');
    if (first == std::string::npos) {
        return false;
    }
    const size_t second = entry.find(':', first + 1);
    unsigned instance = 0, address = 0;
    if (!parseNumber(entry.substr(0, first), yarvo::sim::kInstances - 1, &instance) ||
        !parseNumber(entry.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                         : second - first - 1),
                     7, &address)) {
        return false;
    }
    std::string speed = second == std::string::npos ? std::string("12") : entry.substr(second + 1);
    yarvo::sim::VirtualDriver& d = yarvo::sim::driver();
    d.plug(instance);
    d.setSpeed(instance, speed + "\n");
    d.withBoard(instance, [address](yarvo::sim::Firmware& fw) {
        fw.setAddress(static_cast<uint8_t>(address));
    });
    return true;
}

__attribute__((constructor)) void configureFromEnvironment() {
    const char* value = std::getenv("YARVO_SIM_BOARDS");
    const std::string list = value != nullptr ? value : "0:0";
    yarvo::sim::VirtualDriver& d = yarvo::sim::driver();
    d.reset();
    d.setLogging(false);   // a long-running host would grow the log without end
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string entry = list.substr(start, end - start);
        if (!entry.empty() && !configureBoard(entry)) {
            std::fprintf(stderr, "yarvo-sim: YARVO_SIM_BOARDS: ignoring \"%s\" (want INSTANCE:ADDRESS[:SPEED])\n",
                         entry.c_str());
        }
        start = end + 1;
    }
    d.useRealTime(true);
    if (const char* log = std::getenv("YARVO_SIM_LOG"); log != nullptr && *log != '\0') {
        std::string error;
        if (!yarvo::decode::streamTransferLog(d, log, false, &error)) {
            std::fprintf(stderr, "yarvo-sim: YARVO_SIM_LOG: %s\n", error.c_str());
        }
    }
}

}  // namespace
