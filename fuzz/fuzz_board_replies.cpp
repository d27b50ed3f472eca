// Fuzz target: whatever the board answers.
//
// The input is a program: a sequence of public operations with their
// arguments, each preceded by the replies to force on its board exchanges.
// The replies go through the virtual driver's fault injection, one fault
// per exchange: a failed request with any errno, any response length (the
// board's payload left in the buffer), any echo byte, any status byte, or a
// payload of any bytes and length.  The board may also be unplugged and
// plugged back in and the clock advanced between operations.  Every call
// must end with a documented status code, a success must leave the code
// alone, buffers the host hands in are never written past their documented
// size (the sanitizers see that), and a reel's extended status stays inside
// its symbol table.
//
//   build:  cmake --preset fuzz && cmake --build build/fuzz
//   run:    make fuzz  (or build/fuzz/fuzz/fuzz-board_replies with a scratch corpus
//           directory and fuzz/corpus/board_replies; see the Makefile)

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_common.h"
#include "virtual_driver.h"
#include "yarvo.h"

using yarvo::fuzz::check;
using yarvo::fuzz::checkOutcome;
using yarvo::sim::Fault;

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    int speed() { return static_cast<int16_t>(u16()); }
    unsigned char reel() { return static_cast<unsigned char>(u8() % 9); }  // 8: one beyond the last

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

const char* const kTypes[] = {"band-a", "classic-12", "classic-20", "deluxe-22", "missing"};

// The reel types the target works with: the example file's names and kinds
// (half and full steps, two or three speeds, one whose ramps fit no short
// move, an empty ramp-down, 4 to 22 symbols) with short ramp tables, so
// that loading it costs each input little.  Written once per process.
const std::string& reelFile() {
    static const std::string path = [] {
        auto ramp = [](const char* name, unsigned n) {
            std::string s = std::string("<") + name + " num-entries=\"" + std::to_string(n) + "\"";
            for (unsigned i = 0; i < n; ++i) {
                char attr[32];
                std::snprintf(attr, sizeof attr, " r%03u=\"%u\"", i, 90 - 9 * i);
                s += attr;
            }
            return s + "/>";
        };
        auto speed = [&](int v, const char* step, unsigned up, unsigned down) {
            return "<ramp-table speed=\"" + std::to_string(v) + "\" step-type=\"" + step + "\">" +
                   ramp("ramp-up", up) + ramp("ramp-down", down) + "</ramp-table>";
        };
        auto type = [](const char* name, unsigned steps, unsigned symbols, const std::string& speeds) {
            std::string s = std::string("<reel-def type=\"") + name +
                            "\"><params position-detection-method=\"1\" tamper-detection-method=\"0\" "
                            "duty-cycle-off=\"40\" duty-cycle-on=\"200\" tab-width=\"6\" tab-type=\"1\" "
                            "tab-offset=\"0\" error-deadband=\"3\"/><symbol-table steps-per-turn=\"" +
                            std::to_string(steps) + "\" symbols-per-turn=\"" + std::to_string(symbols) + "\"";
            for (unsigned i = 0; i < symbols; ++i) {
                char attr[32];
                std::snprintf(attr, sizeof attr, " s%03u=\"%u\"", i, 2 * steps * i / symbols);
                s += attr;
            }
            return s + "/>" + speeds + "</reel-def>";
        };
        const std::string text = "<tamso-reel-definitions>" +
            type("band-a", 48, 4, speed(100, "half", 3, 2) + speed(200, "full", 4, 3)) +
            type("classic-12", 48, 12, speed(60, "half", 5, 4) + speed(150, "full", 7, 6) + speed(30, "half", 9, 9)) +
            type("classic-20", 200, 20, speed(60, "half", 8, 0) + speed(120, "full", 6, 5)) +
            type("deluxe-22", 200, 22, speed(40, "half", 6, 5) + speed(80, "full", 3, 3)) +
            "</tamso-reel-definitions>";
        char name[] = "/tmp/yarvo-fuzz-board-replies-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
        close(fd);
        return std::string(name);
    }();
    return path;
}

// Queues the replies for the next exchanges of board 0.
void queueReplies(Input& in) {
    const unsigned count = in.u8() % 5;
    for (unsigned i = 0; i < count; ++i) {
        Fault fault;
        switch (in.u8() % 6) {
        case 0: fault.kind = Fault::Errno; fault.value = 1 + in.u8() % 133; break;
        case 1: fault.kind = Fault::ResponseLength; fault.value = static_cast<int>(in.u32()); break;
        case 2: fault.kind = Fault::Echo; fault.value = in.u8(); break;
        case 3: fault.kind = Fault::Status; fault.value = in.u8(); break;
        default: {
            fault.kind = Fault::Payload;
            const unsigned length = in.u16() % 520;  // beyond the 253 bytes a reply may carry
            fault.payload.resize(length);
            for (unsigned j = 0; j < length; ++j) fault.payload[j] = in.u8();
            break;
        }
        }
        yarvo::sim::driver().injectFault(0, fault);
    }
}

KReelRampTable rampTable(Input& in) {
    KReelRampTable table;
    table.length = in.u8();
    for (unsigned char& e : table.entries) e = in.u8();
    return table;
}

// Runs one operation; true when it was one whose outcome follows the
// status-code rules (opening is checked apart).
void runOne(Yarvo& yarvo, Input& in) {
    const KReelMsg before = yarvo.GetLastError();
    const uint8_t op = in.u8() % 42;
    bool ok = true;
    const char* name = "";
    switch (op) {
    case 0: {
        ok = yarvo.Init();
        check(yarvo.GetLastError() == ReelMsgOk, "Init left a code", yarvo.GetLastError());
        return;
    }
    case 1: {
        ok = yarvo.InitUSBBoard(in.u8() % 17);
        check(yarvo::fuzz::isStatusCode(yarvo.GetLastError()), "InitUSBBoard", yarvo.GetLastError());
        return;
    }
    case 2: { unsigned short low; unsigned char high; name = "GetInputs"; ok = yarvo.GetInputs(&low, &high); break; }
    case 3: { bool state; name = "GetInputBit"; ok = yarvo.GetInputBit(static_cast<KReelInputBit>(static_cast<int8_t>(in.u8())), &state); break; }
    case 4: { unsigned short changed; name = "GetChangedInputs"; ok = yarvo.GetChangedInputs(&changed); break; }
    case 5: { name = "SetOutputs"; const uint32_t a = in.u32(); ok = yarvo.SetOutputs(a, in.u32()); break; }
    case 6: {
        name = "ModifyOutputs";
        const uint32_t a = in.u32(), b = in.u32(), c = in.u32();
        ok = yarvo.ModifyOutputs(a, b, c, in.u32());
        break;
    }
    case 7: { name = "SetOutputBit"; const int bit = static_cast<int8_t>(in.u8()); ok = yarvo.SetOutputBit(static_cast<KReelOutputBit>(bit), in.u8() & 1); break; }
    case 8: { name = "SetReelLamps"; const unsigned char r = in.reel(); ok = yarvo.SetReelLamps(r, in.u8() & 1); break; }
    case 9: {
        // Exactly the documented 253 bytes: a longer write is a finding.
        name = "GetFirmwareVersion";
        std::unique_ptr<unsigned char[]> version(new unsigned char[253]);
        ok = yarvo.GetFirmwareVersion(version.get());
        break;
    }
    case 10: { KReelPowerStatus status; name = "GetPowerStatus"; ok = yarvo.GetPowerStatus(&status); if (ok) check(status.value < 256, "power status beyond a byte", status.value); break; }
    case 11: {
        name = "ConfigureReels";
        const unsigned count = in.u8() % 10;
        const unsigned p16 = in.u32(), steps = in.u32();
        const char p4 = static_cast<char>(in.u8());
        ok = yarvo.ConfigureReels(count, p16, steps, p4, static_cast<char>(in.u8()));
        break;
    }
    case 12: { name = "SetDutyCycle"; const unsigned char r = in.reel(); const unsigned char off = in.u8(); ok = yarvo.SetDutyCycle(r, off, in.u8()); break; }
    case 13: { name = "SpinRampUp"; const unsigned char r = in.reel(); KReelRampTable t = rampTable(in); ok = yarvo.SpinRampUp(r, &t); break; }
    case 14: { name = "SpinRampDown"; const unsigned char r = in.reel(); KReelRampTable t = rampTable(in); ok = yarvo.SpinRampDown(r, &t); break; }
    case 15: { name = "ReelSynchroniseEnable"; ok = yarvo.ReelSynchroniseEnable(in.reel()); break; }
    case 16: { name = "ClearTamperedState"; ok = yarvo.ClearTamperedState(in.reel()); break; }
    case 17: { name = "SpinReels"; const unsigned char r = in.reel(); const char mode = static_cast<char>(in.u8()); ok = yarvo.SpinReels(r, mode, in.u16() * 2u); break; }
    case 18: { name = "SpinReelStepForward"; const unsigned char r = in.reel(); const unsigned char k = in.u8() % 4; ok = yarvo.SpinReelStepForward(r, k, in.u16()); break; }
    case 19: { name = "SpinReelStepBack"; const unsigned char r = in.reel(); const unsigned char k = in.u8() % 4; ok = yarvo.SpinReelStepBack(r, k, in.u16()); break; }
    case 20: { name = "SpinReelSymbolForward"; const unsigned char r = in.reel(); const unsigned char k = in.u8() % 4; ok = yarvo.SpinReelSymbolForward(r, k, in.u8()); break; }
    case 21: { name = "SpinReelSymbolBack"; const unsigned char r = in.reel(); const unsigned char k = in.u8() % 4; ok = yarvo.SpinReelSymbolBack(r, k, in.u8()); break; }
    case 22: { name = "SpinStartSkill"; const unsigned char r = in.reel(); ok = yarvo.SpinStartSkill(r, static_cast<char>(in.u8())); break; }
    case 23: { name = "SpinStopSkill"; ok = yarvo.SpinStopSkill(in.reel()); break; }
    case 24: { name = "StopCurrentSpinAtPosition"; const unsigned char r = in.reel(); ok = yarvo.StopCurrentSpinAtPosition(r, in.u32()); break; }
    case 25: { KReelStatus s; name = "GetReelStatus"; ok = yarvo.GetReelStatus(in.reel(), &s); break; }
    case 26: {
        name = "VendorSetReelFilePath";
        std::string path = (in.u8() & 1) ? reelFile() : "/nonexistent/reels.xml";
        ok = yarvo.VendorSetReelFilePath(&path[0]);
        break;
    }
    case 27: case 28: {
        name = "VendorConfigureReel";
        const unsigned char r = in.reel();
        std::string type = kTypes[in.u8() % 5];
        ok = yarvo.VendorConfigureReel(r, &type[0]);
        break;
    }
    case 29: case 30: { name = "VendorSpinReelToSymbol"; const unsigned char r = in.reel(); const unsigned s = in.u8() % 24; ok = yarvo.VendorSpinReelToSymbol(r, s, in.speed()); break; }
    case 31: { name = "VendorSpinReelNumberOfSymbols"; const unsigned char r = in.reel(); const unsigned n = in.u16(); ok = yarvo.VendorSpinReelNumberOfSymbols(r, n, in.speed()); break; }
    case 32: { name = "VendorSynchroniseReel"; ok = yarvo.VendorSynchroniseReel(in.reel()); break; }
    case 33: { name = "VendorSpinReelStartSkill"; const unsigned char r = in.reel(); ok = yarvo.VendorSpinReelStartSkill(r, in.speed()); break; }
    case 34: case 35: { name = "VendorSpinReelStopSkill"; ok = yarvo.VendorSpinReelStopSkill(in.reel()); break; }
    case 36: { name = "VendorStopReelSpinAtPosition"; const unsigned char r = in.reel(); ok = yarvo.VendorStopReelSpinAtPosition(r, in.u8() % 24); break; }
    case 37: case 38: {
        name = "VendorGetReelStatus";
        KReelStatusEx s;
        ok = yarvo.VendorGetReelStatus(in.reel(), &s);
        if (ok) check(s.nearestSymbol < 22, "nearest symbol beyond the reel types' tables", s.nearestSymbol);
        break;
    }
    case 39: { USBBoardSpeed s; name = "GetBoardSpeed"; ok = yarvo.GetBoardSpeed(&s); break; }
    case 40: {
        const uint8_t what = in.u8() % 3;
        if (what == 0) yarvo::sim::driver().unplug(0);
        else if (what == 1) yarvo::sim::driver().replug(0);
        else yarvo::sim::driver().advance(std::chrono::milliseconds(in.u16() % 2000));
        return;
    }
    default: {
        unsigned char text[4];
        name = "versions";
        ok = yarvo.GetDllVersion(text) && yarvo.GetProductVersion(text) && yarvo.Close();
        break;
    }
    }
    checkOutcome(yarvo, ok, before, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fresh board at instance 0 for each input (the others stay absent).
    static const bool quiet = [] {
        yarvo::sim::driver().reset();
        yarvo::sim::driver().setLogging(false);
        return true;
    }();
    (void)quiet;
    yarvo::sim::driver().plug(0);
    yarvo::sim::driver().withBoard(0, [size](yarvo::sim::Firmware& fw) { fw.setAddress(static_cast<uint8_t>(size % 8)); });
    Yarvo yarvo;
    check(yarvo.Init(), "the virtual board does not open");
    // A cabinet as a game leaves it after start-up: four reel types on four
    // reels; the input then drives from there.
    std::string path = reelFile();
    check(yarvo.VendorSetReelFilePath(&path[0]), "the reel file does not load");
    for (unsigned char reel = 0; reel < 4; ++reel) {
        std::string type = kTypes[reel];
        check(yarvo.VendorConfigureReel(reel, &type[0]), "the reel types do not configure");
    }

    Input in(data, size);
    for (unsigned steps = 0; !in.empty() && steps < 256; ++steps) {
        queueReplies(in);
        runOne(yarvo, in);
        yarvo::sim::driver().clearFaults();
    }
    return 0;
}
