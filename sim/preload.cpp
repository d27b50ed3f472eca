// Set-up of the virtual board when the in-process transport is preloaded
// into an unmodified host program:
//
//   YARVO_SIM_BOARDS=0:3,2:1:480 LD_PRELOAD=libyarvo-sim-preload.so ./host
//
// YARVO_SIM_BOARDS is a comma-separated list of INSTANCE[:ADDRESS[:SPEED]]
// entries: a board at driver instance INSTANCE (0-15) whose address inputs
// read ADDRESS (0-7, default 0), with the speed attribute SPEED ("12" when left out; a
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

#include "board_list.h"
#include "transfer_log.h"
#include "virtual_driver.h"

namespace {

void configureBoard(const std::string& text) {
    yarvo::sim::BoardEntry entry;
    std::string error;
    if (!yarvo::sim::parseBoardEntry(text, &entry, &error)) {
        std::fprintf(stderr, "yarvo-sim: YARVO_SIM_BOARDS: ignoring %s\n", error.c_str());
        return;
    }
    const std::string speed = entry.speed.empty() ? std::string("12") : entry.speed;
    yarvo::sim::VirtualDriver& d = yarvo::sim::driver();
    d.plug(entry.instance);
    d.setSpeed(entry.instance, speed + "\n");
    d.withBoard(entry.instance, [&entry](yarvo::sim::Firmware& fw) {
        fw.setAddress(static_cast<uint8_t>(entry.address));
    });
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
        if (!entry.empty()) {
            configureBoard(entry);
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
