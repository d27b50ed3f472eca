// Fuzz target: arbitrary bytes as the reel-definition file.
//
// The bytes are written to a scratch file that VendorSetReelFilePath loads
// into an object opened on a virtual board; every reel is then configured
// with several reel-type names (the example file's, names taken from the
// input's own type attributes, and a missing one), and each reel that
// configures is driven through the symbol-level operations, so that any
// decoded definition reaches the geometry and speed computations.  Status
// codes must stay documented, and afterwards a good file must still load and
// configure: a hostile file may fail, never break the object.
//
//   build:  cmake --preset fuzz && cmake --build build/fuzz
//   run:    make fuzz  (or build/fuzz/fuzz/fuzz-reel_file with a scratch corpus
//           directory and fuzz/corpus/reel_file; see the Makefile)

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cabinet.h"
#include "fuzz_common.h"
#include "yarvo.h"

using yarvo::fuzz::check;
using yarvo::fuzz::checkOutcome;

namespace {

const char* const kExampleTypes[] = {"band-a", "classic-12", "classic-20", "deluxe-22", "BAND-A", "missing"};
constexpr size_t kMaxTypeNames = 4;   // taken from the input
constexpr size_t kMaxTypeLength = 64;

// The scratch file, made once per process.
const std::string& scratchPath() {
    static const std::string path = [] {
        char name[] = "/tmp/yarvo-fuzz-reel-file-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        return std::string(name);
    }();
    return path;
}

void writeScratch(const uint8_t* data, size_t size) {
    const int fd = open(scratchPath().c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) std::abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
}

// The values of the first few type="..." attributes in the input.
std::vector<std::string> typeNamesIn(const uint8_t* data, size_t size) {
    std::vector<std::string> names;
    const char key[] = "type=\"";
    const size_t keyLength = sizeof key - 1;
    for (size_t i = 0; i + keyLength <= size && names.size() < kMaxTypeNames; ++i) {
        if (std::memcmp(data + i, key, keyLength) != 0) continue;
        size_t end = i + keyLength;
        while (end < size && data[end] != '"' && data[end] != 0 && end - i - keyLength < kMaxTypeLength) ++end;
        names.emplace_back(reinterpret_cast<const char*>(data + i + keyLength), end - i - keyLength);
        i = end;
    }
    return names;
}

// Symbol-level use of a configured reel; only the invariants are checked.
void drive(Yarvo& yarvo, unsigned char reel, const uint8_t* data, size_t size) {
    const int speed = size > 0 ? static_cast<int8_t>(data[size - 1]) * 7 : 100;
    const unsigned symbol = size > 1 ? data[size / 2] : 0;
    KReelStatusEx status;
    KReelMsg before = yarvo.GetLastError();
    bool ok = yarvo.VendorSpinReelToSymbol(reel, symbol, speed);
    checkOutcome(yarvo, ok, before, "VendorSpinReelToSymbol");
    before = yarvo.GetLastError();
    ok = yarvo.VendorSpinReelNumberOfSymbols(reel, symbol + 1, speed == 0 ? 1 : speed);
    checkOutcome(yarvo, ok, before, "VendorSpinReelNumberOfSymbols");
    before = yarvo.GetLastError();
    ok = yarvo.VendorSpinReelStartSkill(reel, -speed - 1);
    checkOutcome(yarvo, ok, before, "VendorSpinReelStartSkill");
    yarvo::sim::driver().advance(std::chrono::milliseconds(20));
    before = yarvo.GetLastError();
    ok = yarvo.VendorSpinReelStopSkill(reel);
    checkOutcome(yarvo, ok, before, "VendorSpinReelStopSkill");
    before = yarvo.GetLastError();
    ok = yarvo.VendorStopReelSpinAtPosition(reel, symbol);
    checkOutcome(yarvo, ok, before, "VendorStopReelSpinAtPosition");
    before = yarvo.GetLastError();
    ok = yarvo.VendorGetReelStatus(reel, &status);
    checkOutcome(yarvo, ok, before, "VendorGetReelStatus");
    if (ok) check(status.nearestSymbol < 200, "nearest symbol beyond the symbol table", status.nearestSymbol);
    before = yarvo.GetLastError();
    ok = yarvo.VendorSynchroniseReel(reel);
    checkOutcome(yarvo, ok, before, "VendorSynchroniseReel");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    writeScratch(data, size);

    yarvo::sim::VirtualCabinet cabinet;
    cabinet.driver().setLogging(false);
    cabinet.board(0);
    Yarvo yarvo;
    check(yarvo.Init(), "the virtual board does not open");

    std::string path = scratchPath();
    KReelMsg before = yarvo.GetLastError();
    const bool loaded = yarvo.VendorSetReelFilePath(&path[0]);
    checkOutcome(yarvo, loaded, before, "VendorSetReelFilePath");
    if (!loaded) check(yarvo.GetLastError() == ReelMsgFileLoadFailed, "load failure code", yarvo.GetLastError());

    std::vector<std::string> names(std::begin(kExampleTypes), std::end(kExampleTypes));
    for (std::string& name : typeNamesIn(data, size)) names.push_back(std::move(name));
    for (unsigned char reel = 0; reel < 8; ++reel) {
        for (size_t i = 0; i < names.size(); ++i) {
            std::string type = names[(i + reel) % names.size()];
            before = yarvo.GetLastError();
            const bool ok = yarvo.VendorConfigureReel(reel, &type[0]);
            checkOutcome(yarvo, ok, before, "VendorConfigureReel");
            if (ok) drive(yarvo, reel, data, size);
        }
    }

    // The object is still whole: a good file loads and configures.
    std::string example = YARVO_EXAMPLE_REEL_FILE;
    check(yarvo.VendorSetReelFilePath(&example[0]), "the example file no longer loads", yarvo.GetLastError());
    char type[] = "classic-12";
    check(yarvo.VendorConfigureReel(7, type), "the example type no longer configures", yarvo.GetLastError());
    return 0;
}
