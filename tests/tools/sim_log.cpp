// Test helper linked into a variant of the virtual board's preload
// (libyarvo-sim-logged.so): with YARVO_SIM_LOG=FILE set, the virtual
// driver's transfer log is kept and written to FILE at exit, one transfer a
// line, decoded by the same decoder the tracer uses:
//
//   Kmora_0 SPIN reel=2 mode=-2 steps=118 -> ok
//
// The tool tests compare it line by line with what `yarvoctl trace` printed.
// This file is linked after preload.cpp, so its constructor runs after the
// preload has set the boards up (and switched logging off).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "decode.h"
#include "virtual_driver.h"

namespace {

__attribute__((constructor)) void keepTransferLog() {
    if (std::getenv("YARVO_SIM_LOG") != nullptr) yarvo::sim::driver().setLogging(true);
}

__attribute__((destructor)) void writeTransferLog() {
    const char* path = std::getenv("YARVO_SIM_LOG");
    if (path == nullptr) return;
    FILE* file = std::fopen(path, "a");
    if (file == nullptr) return;
    for (const yarvo::sim::TransferRecord& r : yarvo::sim::driver().log()) {
        yarvo::decode::Exchange e;
        e.command = r.command;
        e.request = r.payload.data();
        e.requestLength = r.payload.size();
        e.word0 = r.word0;
        e.word1 = r.word1;
        e.responseOffered = r.responseOffered;
        e.error = r.error;
        e.responseLength = r.responseLength;
        std::vector<uint8_t> response{r.echo, r.status};
        response.insert(response.end(), r.response.begin(), r.response.end());
        response.resize(yarvo::wire::kBufferSize, 0);
        e.response = response.data();
        std::fprintf(file, "Kmora_%u %s\n", r.instance, yarvo::decode::describe(e).c_str());
    }
    std::fclose(file);
}

}  // namespace
