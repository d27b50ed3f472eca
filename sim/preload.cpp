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
// (yarvo-sim run --preload --transfer-log FILE sets it.)  Lines a stalled
// reader could not take are lost, never waited for; at exit the host's
// standard error says how many.
//
// YARVO_SIM_TIME_SCALE=N runs the boards' clock N times as fast as the wall
// clock (1 to 1000).  YARVO_SIM_FAULTS holds a fault schedule, one "at TIME
// COMMAND" per line (or separated by ';'), e.g. "at 5s jam 0 2" (see
// board_fault.h; yarvo-sim run --preload --fault sets it).  Values that do
// not parse are reported on standard error and ignored.
//
// The boards live inside the host, so there is no control socket; the same
// control commands (control_protocol.h) reach them from inside the host
// through one C function, found with dlsym(RTLD_DEFAULT, "yarvo_sim_control"):
//
//   int yarvo_sim_control(const char* line, char* reply, size_t size);
//
// It executes one command line and writes the reply line (without line
// end, cut to fit `size`, always terminated) to `reply`; it returns 0 for
// an "ok" reply, 1 for an "error: ..." reply, -1 for a line that needs none.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "board_fault.h"
#include "board_list.h"
#include "control_protocol.h"
#include "numbers.h"
#include "transfer_log.h"
#include "virtual_driver.h"

namespace {

// Plain data: set by the constructor below, before any C++ object of this
// library is sure to be initialised.
uint32_t servedBoards = 0;   // bit n: a board at instance n
yarvo::decode::DirectTransferLog* transferLog = nullptr;   // lives as long as the process

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
    servedBoards |= 1u << entry.instance;
}

void scheduleFaults(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of(";\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        yarvo::sim::ScheduledFault fault;
        std::string error;
        if (!yarvo::sim::parseScheduledFault(item, &fault, &error)) {
            std::fprintf(stderr, "yarvo-sim: YARVO_SIM_FAULTS: ignoring %s\n", error.c_str());
        } else if (((servedBoards >> fault.instance) & 1u) == 0) {
            std::fprintf(stderr, "yarvo-sim: YARVO_SIM_FAULTS: ignoring \"%s\": no board at instance %u\n",
                         item.c_str(), fault.instance);
        } else {
            yarvo::sim::driver().scheduleFault(fault.instance, fault.atMicros, fault.fault);
        }
    }
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
    if (const char* scale = std::getenv("YARVO_SIM_TIME_SCALE"); scale != nullptr && *scale != '\0') {
        long long value = 0;
        std::string error;
        if (!yarvo::tools::parseInteger(scale, 1, yarvo::sim::BoardClock::kMaxScale, &value, &error)) {
            std::fprintf(stderr, "yarvo-sim: YARVO_SIM_TIME_SCALE: ignoring %s\n", error.c_str());
        } else {
            d.clock().setScale(static_cast<uint32_t>(value));
        }
    }
    if (const char* faults = std::getenv("YARVO_SIM_FAULTS"); faults != nullptr) {
        scheduleFaults(faults);
    }
    if (const char* log = std::getenv("YARVO_SIM_LOG"); log != nullptr && *log != '\0') {
        std::string error;
        transferLog = new yarvo::decode::DirectTransferLog();
        if (!transferLog->start(d, log, &error)) {
            std::fprintf(stderr, "yarvo-sim: YARVO_SIM_LOG: %s\n", error.c_str());
        }
    }
}

__attribute__((destructor)) void reportLostLines() {
    if (transferLog != nullptr && transferLog->lost() > 0) {
        std::fprintf(stderr, "yarvo-sim: the transfer log lost %llu transfers: its reader did not keep up\n",
                     static_cast<unsigned long long>(transferLog->lost()));
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int yarvo_sim_control(const char* line, char* reply, size_t size) {
    static std::mutex mutex;
    static yarvo::sim::ControlSession* session = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (session == nullptr) {
        std::vector<unsigned> instances;
        for (unsigned i = 0; i < yarvo::sim::kInstances; ++i) {
            if ((servedBoards >> i) & 1u) {
                instances.push_back(i);
            }
        }
        session = new yarvo::sim::ControlSession(yarvo::sim::driver(), instances);
    }
    const std::string text = session->handle(line != nullptr ? line : "");
    if (reply != nullptr && size > 0) {
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(reply, text.data(), n);
        reply[n] = '\0';
    }
    if (text.empty()) {
        return -1;
    }
    return text.compare(0, 2, "ok") == 0 ? 0 : 1;
}
