// The C interface: each function does what its method does (same result,
// same values written, same status code, same bytes on the wire), and a
// null handle is refused everywhere.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cabinet.h"
#include "codes.h"
#include "yarvo.h"
#include "yarvo_c.h"

using yarvo::sim::VirtualCabinet;

namespace {

using Text = std::string;

Text status(const KReelStatus& s) {
    char text[96];
    std::snprintf(text, sizeof text, " %u %u %u %u %u %u", s.position, s.statusWord1, s.statusByte1,
                  s.statusByte2, s.statusByte3, s.statusWord2);
    return text;
}
Text status(const yarvo_reel_status_t& s) {
    return status(KReelStatus{s.position, s.status_word1, s.status_byte1, s.status_byte2, s.status_byte3,
                              s.status_word2});
}
Text status(const KReelStatusEx& s) {
    return status(KReelStatus{s.position, s.statusWord1, s.statusByte1, s.statusByte2, s.statusByte3,
                              s.statusWord2}) +
           " " + std::to_string(s.nearestSymbol) + " " + std::to_string(s.symbolOffset) + " " +
           std::to_string(s.reelSpeed);
}
Text status(const yarvo_reel_status_ex_t& s) {
    return status(KReelStatusEx{s.position, s.status_word1, s.status_byte1, s.status_byte2, s.status_byte3,
                                s.status_word2, s.nearest_symbol, s.symbol_offset, s.reel_speed});
}

// What a call returned and wrote, as text: "1" or "0", then the values.
// (Call first, then read the values: arguments are evaluated in no set order.)
Text said(bool ok, const Text& values = "") { return (ok ? "1" : "0") + values; }
Text num(unsigned long value) { return " " + std::to_string(value); }

const yarvo_reel_ramp_table_t kCRamp = {3, {50, 40, 30}};
KReelRampTable ramp() { return {3, {50, 40, 30}}; }
char* text(const char* s) { return const_cast<char*>(s); }  // the class only reads it

struct Row {
    const char* name;
    std::function<Text(yarvo_t*)> c;
    std::function<Text(Yarvo&)> cpp;
};

// Every function of the C interface, in its order, beside its method.
const Row kRows[] = {
    {"close", [](yarvo_t* b) { return said(yarvo_close(b)); }, [](Yarvo& y) { return said(y.Close()); }},
    {"dll version",
     [](yarvo_t* b) { unsigned char v[8] = {}; const bool ok = yarvo_get_dll_version(b, v); return said(ok, (char*)v); },
     [](Yarvo& y) { unsigned char v[8] = {}; const bool ok = y.GetDllVersion(v); return said(ok, (char*)v); }},
    {"product version",
     [](yarvo_t* b) { unsigned char v[8] = {}; const bool ok = yarvo_get_product_version(b, v); return said(ok, (char*)v); },
     [](Yarvo& y) { unsigned char v[8] = {}; const bool ok = y.GetProductVersion(v); return said(ok, (char*)v); }},
    {"init", [](yarvo_t* b) { return said(yarvo_init(b)); }, [](Yarvo& y) { return said(y.Init()); }},
    {"init usb board", [](yarvo_t* b) { return said(yarvo_init_usb_board(b, 0)); },
     [](Yarvo& y) { return said(y.InitUSBBoard(0)); }},
    {"init usb board 16", [](yarvo_t* b) { return said(yarvo_init_usb_board(b, 16)); },
     [](Yarvo& y) { return said(y.InitUSBBoard(16)); }},
    {"board speed",
     [](yarvo_t* b) { yarvo_usb_board_speed_t s{}; const bool ok = yarvo_get_board_speed(b, &s); return said(ok, num(s)); },
     [](Yarvo& y) { USBBoardSpeed s{}; const bool ok = y.GetBoardSpeed(&s); return said(ok, num(s)); }},
    {"inputs",
     [](yarvo_t* b) { unsigned short l = 9; unsigned char h = 9; const bool ok = yarvo_get_inputs(b, &l, &h); return said(ok, num(l) + num(h)); },
     [](Yarvo& y) { unsigned short l = 9; unsigned char h = 9; const bool ok = y.GetInputs(&l, &h); return said(ok, num(l) + num(h)); }},
    {"input bit",
     [](yarvo_t* b) { bool s = true; const bool ok = yarvo_get_input_bit(b, YARVO_REEL_INPUT_15, &s); return said(ok, num(s)); },
     [](Yarvo& y) { bool s = true; const bool ok = y.GetInputBit(KReelInput15, &s); return said(ok, num(s)); }},
    {"input bit 24",
     [](yarvo_t* b) { bool s = true; return said(yarvo_get_input_bit(b, yarvo_reel_input_bit_t(24), &s)); },
     [](Yarvo& y) { bool s = true; return said(y.GetInputBit(KReelInputBit(24), &s)); }},
    {"changed inputs",
     [](yarvo_t* b) { unsigned short c = 9; const bool ok = yarvo_get_changed_inputs(b, &c); return said(ok, num(c)); },
     [](Yarvo& y) { unsigned short c = 9; const bool ok = y.GetChangedInputs(&c); return said(ok, num(c)); }},
    {"outputs", [](yarvo_t* b) { return said(yarvo_set_outputs(b, 0x12345678, 0x9ABCDEF0)); },
     [](Yarvo& y) { return said(y.SetOutputs(0x12345678, 0x9ABCDEF0)); }},
    {"modify outputs", [](yarvo_t* b) { return said(yarvo_modify_outputs(b, 1, 2, 3, 4)); },
     [](Yarvo& y) { return said(y.ModifyOutputs(1, 2, 3, 4)); }},
    {"output bit", [](yarvo_t* b) { return said(yarvo_set_output_bit(b, YARVO_REEL_OUTPUT_40, true)); },
     [](Yarvo& y) { return said(y.SetOutputBit(KReelOutput40, true)); }},
    {"owned output", [](yarvo_t* b) { return said(yarvo_set_output_bit(b, YARVO_REEL_OUTPUT_5, false)); },
     [](Yarvo& y) { return said(y.SetOutputBit(KReelOutput5, false)); }},
    {"reel lamps", [](yarvo_t* b) { return said(yarvo_set_reel_lamps(b, 1, true)); },
     [](Yarvo& y) { return said(y.SetReelLamps(1, true)); }},
    {"firmware",
     [](yarvo_t* b) { unsigned char v[256] = {}; const bool ok = yarvo_get_firmware_version(b, v); return said(ok, (char*)v); },
     [](Yarvo& y) { unsigned char v[256] = {}; const bool ok = y.GetFirmwareVersion(v); return said(ok, (char*)v); }},
    {"power",
     [](yarvo_t* b) { yarvo_reel_power_status_t p = {7}; const bool ok = yarvo_get_power_status(b, &p); return said(ok, num(p.value)); },
     [](Yarvo& y) { KReelPowerStatus p = {7}; const bool ok = y.GetPowerStatus(&p); return said(ok, num(p.value)); }},
    {"configure reels", [](yarvo_t* b) { return said(yarvo_configure_reels(b, 3, 96, 4, 50, -3)); },
     [](Yarvo& y) { return said(y.ConfigureReels(3, 96, 4, 50, -3)); }},
    {"duty cycle", [](yarvo_t* b) { return said(yarvo_set_duty_cycle(b, 1, 32, 200)); },
     [](Yarvo& y) { return said(y.SetDutyCycle(1, 32, 200)); }},
    {"ramp up", [](yarvo_t* b) { return said(yarvo_spin_ramp_up(b, 1, &kCRamp)); },
     [](Yarvo& y) { KReelRampTable t = ramp(); return said(y.SpinRampUp(1, &t)); }},
    {"ramp down", [](yarvo_t* b) { return said(yarvo_spin_ramp_down(b, 1, &kCRamp)); },
     [](Yarvo& y) { KReelRampTable t = ramp(); return said(y.SpinRampDown(1, &t)); }},
    {"null ramp", [](yarvo_t* b) { return said(yarvo_spin_ramp_down(b, 1, nullptr)); },
     [](Yarvo& y) { return said(y.SpinRampDown(1, nullptr)); }},
    {"sync enable", [](yarvo_t* b) { return said(yarvo_reel_synchronise_enable(b, 1)); },
     [](Yarvo& y) { return said(y.ReelSynchroniseEnable(1)); }},
    {"clear tamper", [](yarvo_t* b) { return said(yarvo_clear_tampered_state(b, 1)); },
     [](Yarvo& y) { return said(y.ClearTamperedState(1)); }},
    {"spin", [](yarvo_t* b) { return said(yarvo_spin_reels(b, 1, -2, 10)); },
     [](Yarvo& y) { return said(y.SpinReels(1, -2, 10)); }},
    {"step forward", [](yarvo_t* b) { return said(yarvo_spin_reel_step_forward(b, 1, 1, 4)); },
     [](Yarvo& y) { return said(y.SpinReelStepForward(1, 1, 4)); }},
    {"step back", [](yarvo_t* b) { return said(yarvo_spin_reel_step_back(b, 1, 2, 5)); },
     [](Yarvo& y) { return said(y.SpinReelStepBack(1, 2, 5)); }},
    {"symbol forward", [](yarvo_t* b) { return said(yarvo_spin_reel_symbol_forward(b, 1, 1, 2)); },
     [](Yarvo& y) { return said(y.SpinReelSymbolForward(1, 1, 2)); }},
    {"symbol back", [](yarvo_t* b) { return said(yarvo_spin_reel_symbol_back(b, 1, 2, 3)); },
     [](Yarvo& y) { return said(y.SpinReelSymbolBack(1, 2, 3)); }},
    {"skill start", [](yarvo_t* b) { return said(yarvo_spin_start_skill(b, 1, -1)); },
     [](Yarvo& y) { return said(y.SpinStartSkill(1, -1)); }},
    {"skill stop", [](yarvo_t* b) { return said(yarvo_spin_stop_skill(b, 1)); },
     [](Yarvo& y) { return said(y.SpinStopSkill(1)); }},
    {"stop at", [](yarvo_t* b) { return said(yarvo_stop_current_spin_at_position(b, 1, 300)); },
     [](Yarvo& y) { return said(y.StopCurrentSpinAtPosition(1, 300)); }},
    {"reel status",
     [](yarvo_t* b) { yarvo_reel_status_t s{}; const bool ok = yarvo_get_reel_status(b, 2, &s); return said(ok, status(s)); },
     [](Yarvo& y) { KReelStatus s{}; const bool ok = y.GetReelStatus(2, &s); return said(ok, status(s)); }},
    {"reel status 8",
     [](yarvo_t* b) { yarvo_reel_status_t s{7, 7, 7, 7, 7, 7}; const bool ok = yarvo_get_reel_status(b, 8, &s); return said(ok, status(s)); },
     [](Yarvo& y) { KReelStatus s{7, 7, 7, 7, 7, 7}; const bool ok = y.GetReelStatus(8, &s); return said(ok, status(s)); }},
    {"file path", [](yarvo_t* b) { return said(yarvo_vendor_set_reel_file_path(b, YARVO_EXAMPLE_REEL_FILE)); },
     [](Yarvo& y) { return said(y.VendorSetReelFilePath(text(YARVO_EXAMPLE_REEL_FILE))); }},
    {"configure reel", [](yarvo_t* b) { return said(yarvo_vendor_configure_reel(b, 3, "band-a")); },
     [](Yarvo& y) { return said(y.VendorConfigureReel(3, text("band-a"))); }},
    {"to symbol", [](yarvo_t* b) { return said(yarvo_vendor_spin_reel_to_symbol(b, 2, 5, 120)); },
     [](Yarvo& y) { return said(y.VendorSpinReelToSymbol(2, 5, 120)); }},
    {"by symbols", [](yarvo_t* b) { return said(yarvo_vendor_spin_reel_number_of_symbols(b, 2, 3, -60)); },
     [](Yarvo& y) { return said(y.VendorSpinReelNumberOfSymbols(2, 3, -60)); }},
    {"synchronise", [](yarvo_t* b) { return said(yarvo_vendor_synchronise_reel(b, 2)); },
     [](Yarvo& y) { return said(y.VendorSynchroniseReel(2)); }},
    {"vendor skill start", [](yarvo_t* b) { return said(yarvo_vendor_spin_reel_start_skill(b, 2, 180)); },
     [](Yarvo& y) { return said(y.VendorSpinReelStartSkill(2, 180)); }},
    {"vendor skill stop", [](yarvo_t* b) { return said(yarvo_vendor_spin_reel_stop_skill(b, 2)); },
     [](Yarvo& y) { return said(y.VendorSpinReelStopSkill(2)); }},
    {"stop on symbol", [](yarvo_t* b) { return said(yarvo_vendor_stop_reel_spin_at_position(b, 2, 3)); },
     [](Yarvo& y) { return said(y.VendorStopReelSpinAtPosition(2, 3)); }},
    {"vendor status",
     [](yarvo_t* b) { yarvo_reel_status_ex_t s{}; const bool ok = yarvo_vendor_get_reel_status(b, 2, &s); return said(ok, status(s)); },
     [](Yarvo& y) { KReelStatusEx s{}; const bool ok = y.VendorGetReelStatus(2, &s); return said(ok, status(s)); }},
    {"vendor status null", [](yarvo_t* b) { return said(yarvo_vendor_get_reel_status(b, 2, nullptr)); },
     [](Yarvo& y) { return said(y.VendorGetReelStatus(2, nullptr)); }},
};

struct Outcome {
    Text said;
    unsigned code;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> wire;
};

std::vector<std::pair<uint8_t, std::vector<uint8_t>>> wire(VirtualCabinet& cab) {
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> sent;
    for (const auto& record : cab.log()) sent.emplace_back(record.command, record.payload);
    return sent;
}

// Each side on a fresh board at instance 0: reels 0 and 1 declared for
// step-level use, reel 2 configured as classic-20 from the example file.
Outcome viaClass(const Row& row) {
    VirtualCabinet cab;
    cab.board(0).speed("480").inputs(0x218005);
    Yarvo y;
    char type[] = "classic-20";
    EXPECT_TRUE(y.Init() && y.ConfigureReels(2, 96, 4, 50, 0) &&
                y.VendorSetReelFilePath(text(YARVO_EXAMPLE_REEL_FILE)) && y.VendorConfigureReel(2, type));
    cab.clearLog();
    return Outcome{row.cpp(y), y.GetLastError(), wire(cab)};
}

Outcome viaC(const Row& row) {
    VirtualCabinet cab;
    cab.board(0).speed("480").inputs(0x218005);
    std::unique_ptr<yarvo_t, void (*)(yarvo_t*)> board(yarvo_new(), yarvo_free);
    EXPECT_TRUE(yarvo_init(board.get()) && yarvo_configure_reels(board.get(), 2, 96, 4, 50, 0) &&
                yarvo_vendor_set_reel_file_path(board.get(), YARVO_EXAMPLE_REEL_FILE) &&
                yarvo_vendor_configure_reel(board.get(), 2, "classic-20"));
    cab.clearLog();
    return Outcome{row.c(board.get()), yarvo_last_error(board.get()), wire(cab)};
}

}  // namespace

TEST(CInterface, EachFunctionIsItsMethod) {
    for (const Row& row : kRows) {
        const Outcome cpp = viaClass(row);
        const Outcome c = viaC(row);
        EXPECT_EQ(c.said, cpp.said) << row.name;
        EXPECT_EQ(c.code, cpp.code) << row.name;
        EXPECT_EQ(c.wire, cpp.wire) << row.name;
    }
}

TEST(CInterface, NullHandleIsRefusedEverywhere) {
    VirtualCabinet cab;
    cab.board(0);
    for (const Row& row : kRows) {
        EXPECT_EQ(row.c(nullptr).substr(0, 1), "0") << row.name;
    }
    EXPECT_EQ(yarvo_last_error(nullptr), 0u);
    yarvo_free(nullptr);
    EXPECT_TRUE(cab.log().empty());
}

TEST(CInterface, StatusNamesAreTheToolsNames) {
    const struct { unsigned code; const char* name; } cases[] = {
        {YARVO_REEL_MSG_OK, "ReelMsgOk"},
        {YARVO_REEL_MSG_BAD_REEL_NUMBER, "ReelMsgBadReelNumber"},
        {YARVO_REEL_MSG_REEL_DATA_ERROR, "ReelMsgReelDataError"},
        {1, "ReelMsgUnknown"},
        {0xFFFFFFFFu, "ReelMsgUnknown"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(yarvo_status_name(c.code), c.name);
        EXPECT_STREQ(yarvo::tools::statusCodeName(c.code), c.name);
    }
}
