// Fuzz target: arbitrary bytes as the reel-definition file.
//
// Every input goes through the library's loader in memory (line ends, the
// screen, TinyXML) and, when it parses, every reel type the library's
// search finds (the example file's names and names taken from the input's
// own type attributes) is decoded twice, plainly and with an observer as
// check-reels decodes: both must give the same verdict.  Only an input with
// a reel type that decodes goes on to a board: it is written to a scratch
// file that VendorSetReelFilePath loads into an object opened on a virtual
// board, every reel is configured with every name and driven through the
// symbol-level operations, and afterwards a good file must still load and
// configure.  Status codes must stay documented throughout.
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
#include <memory>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "virtual_driver.h"
#include "fuzz_common.h"
#include "reel_file_check.h"
#include "reel_file_format.h"
#include "yarvo.h"

using yarvo::detail::ReelFileLoad;
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

// Hears the decoder as check-reels does and checks what it is told.
class Listener : public yarvo::format::DecodeObserver {
public:
    void integerRead(const yarvo::format::Place& place, const TiXmlAttribute& attribute, int, yarvo::format::Storage) override {
        check(place.element != nullptr && attribute.Name() != nullptr, "an integer read without its place");
    }
    void rejected(const yarvo::format::Place& place, yarvo::format::Rejection, const TiXmlBase* where, const char* name,
                  unsigned) override {
        check(place.element != nullptr && where != nullptr && name != nullptr, "a rejection without its place");
        ++rejections;
    }
    void elementDone(const yarvo::format::Place&, bool accepted) override { refused += accepted ? 0 : 1; }
    unsigned rejections = 0;
    unsigned refused = 0;
};

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

// The library's whole path for an input with a reel type that decodes.
void configureAndDrive(const uint8_t* data, size_t size, const std::vector<std::string>& names) {
    writeScratch(data, size);
    // A fresh board at instance 0 for each input (the others stay absent).
    static const bool quiet = [] {
        yarvo::sim::driver().reset();
        yarvo::sim::driver().setLogging(false);
        return true;
    }();
    (void)quiet;
    yarvo::sim::driver().plug(0);
    Yarvo yarvo;
    check(yarvo.Init(), "the virtual board does not open");

    std::string path = scratchPath();
    check(yarvo.VendorSetReelFilePath(&path[0]), "a file that parses in memory does not load", yarvo.GetLastError());
    for (unsigned char reel = 0; reel < 8; ++reel) {
        for (size_t i = 0; i < names.size(); ++i) {
            std::string type = names[(i + reel) % names.size()];
            const KReelMsg before = yarvo.GetLastError();
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every input: what the loader makes of its bytes.
    std::vector<char> text(data, data + size);
    text.resize(size + yarvo::detail::kScreenPadding);
    ReelFileLoad load;
    const std::unique_ptr<TiXmlDocument> document(yarvo::detail::parseReelText(text.data(), size, &load));
    check(load.status == ReelFileLoad::Loaded || load.status == ReelFileLoad::Refused ||
              load.status == ReelFileLoad::ParseFailed || load.status == ReelFileLoad::OutOfMemory,
          "load status", load.status);
    check((document != nullptr) == (load.status == ReelFileLoad::Loaded), "document and status disagree");
    check((load.status == ReelFileLoad::Refused) == (load.screening.row > 0), "a refusal without its place");
    if (!document) return 0;

    // Inputs that parse: every reel type found, decoded as the library and
    // as check-reels decode it.
    std::vector<std::string> names(std::begin(kExampleTypes), std::end(kExampleTypes));
    for (std::string& name : typeNamesIn(data, size)) names.push_back(std::move(name));
    bool decodes = false;
    for (const std::string& name : names) {
        const TiXmlElement* reelDef = yarvo::format::findReelType(*document, name.c_str());
        if (reelDef == nullptr) continue;
        ReelDataDef plain{}, observed{};
        Listener listener;
        const bool accepted = yarvo::format::decodeReelType(*reelDef, &plain, nullptr);
        check(yarvo::format::decodeReelType(*reelDef, &observed, &listener) == accepted,
              "the observed decode disagrees with the library's");
        check(accepted == (listener.rejections == 0), "a verdict without its rejections", listener.rejections);
        check(accepted || listener.refused != 0, "a refusal with every element accepted");
        check(!accepted || std::memcmp(&plain, &observed, sizeof plain) == 0, "the observed decode stored other values");
        decodes = decodes || accepted;
    }
    if (decodes) configureAndDrive(data, size, names);
    return 0;
}
