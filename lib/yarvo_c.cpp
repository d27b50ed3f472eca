// The C interface: each function forwards to one method of the object
// behind the handle.  Records cross by copy into their C++ twins, whose
// layouts are checked equal below; strings and tables the class only reads
// are passed through.
#include "yarvo_c.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "status_codes.h"
#include "yarvo.h"

struct yarvo_object {
    Yarvo object;
};

namespace {

template <class C, class Cpp>
constexpr bool sameEnum() {
    return sizeof(C) == sizeof(Cpp) &&
           std::is_same_v<std::underlying_type_t<C>, std::underlying_type_t<Cpp>>;
}
static_assert(sameEnum<yarvo_reel_msg_t, KReelMsg>());
static_assert(sameEnum<yarvo_usb_board_speed_t, USBBoardSpeed>());
static_assert(sameEnum<yarvo_reel_input_bit_t, KReelInputBit>());
static_assert(sameEnum<yarvo_reel_output_bit_t, KReelOutputBit>());
static_assert(+YARVO_REEL_MSG_REEL_DATA_ERROR == +ReelMsgReelDataError &&
              +YARVO_USB_BOARD_SPEED_HIGH == +USBBoardSpeedHigh &&
              +YARVO_REEL_INPUT_23 == +KReelInput23 && +YARVO_REEL_OUTPUT_63 == +KReelOutput63);

#define YARVO_SAME_FIELD(C, Cpp, cField, cppField)                      \
    static_assert(offsetof(C, cField) == offsetof(Cpp, cppField) &&     \
                  sizeof(C::cField) == sizeof(Cpp::cppField),           \
                  #C "." #cField " differs from " #Cpp "." #cppField)

static_assert(sizeof(yarvo_reel_power_status_t) == sizeof(KReelPowerStatus));
YARVO_SAME_FIELD(yarvo_reel_power_status_t, KReelPowerStatus, value, value);

static_assert(sizeof(yarvo_reel_ramp_table_t) == sizeof(KReelRampTable));
YARVO_SAME_FIELD(yarvo_reel_ramp_table_t, KReelRampTable, length, length);
YARVO_SAME_FIELD(yarvo_reel_ramp_table_t, KReelRampTable, entries, entries);

#define YARVO_SAME_STATUS_FIELDS(C, Cpp)                                 \
    static_assert(sizeof(C) == sizeof(Cpp));                             \
    YARVO_SAME_FIELD(C, Cpp, position, position);                        \
    YARVO_SAME_FIELD(C, Cpp, status_word1, statusWord1);                 \
    YARVO_SAME_FIELD(C, Cpp, status_byte1, statusByte1);                 \
    YARVO_SAME_FIELD(C, Cpp, status_byte2, statusByte2);                 \
    YARVO_SAME_FIELD(C, Cpp, status_byte3, statusByte3);                 \
    YARVO_SAME_FIELD(C, Cpp, status_word2, statusWord2)

YARVO_SAME_STATUS_FIELDS(yarvo_reel_status_t, KReelStatus);
YARVO_SAME_STATUS_FIELDS(yarvo_reel_status_ex_t, KReelStatusEx);
YARVO_SAME_FIELD(yarvo_reel_status_ex_t, KReelStatusEx, nearest_symbol, nearestSymbol);
YARVO_SAME_FIELD(yarvo_reel_status_ex_t, KReelStatusEx, symbol_offset, symbolOffset);
YARVO_SAME_FIELD(yarvo_reel_status_ex_t, KReelStatusEx, reel_speed, reelSpeed);

// Runs `call` on the C++ twin of a host record: copied in (fields the class
// leaves alone keep the host's bytes) and back out, so the host's record ends
// exactly as the class leaves its own.  A null record stays null, for the
// class's own null check.
template <class Cpp, class C, class Call>
bool throughRecord(C* record, Call call) {
    static_assert(sizeof(Cpp) == sizeof(C) && std::is_trivially_copyable_v<Cpp>);
    if (record == nullptr) return call(static_cast<Cpp*>(nullptr));
    Cpp twin;
    std::memcpy(&twin, record, sizeof twin);
    const bool ok = call(&twin);
    std::memcpy(record, &twin, sizeof twin);
    return ok;
}

bool rampTable(yarvo_t* board, unsigned char reel, const yarvo_reel_ramp_table_t* table,
               bool (Yarvo::*upload)(unsigned char, KReelRampTable*)) {
    if (board == nullptr) return false;
    if (table == nullptr) return (board->object.*upload)(reel, nullptr);
    KReelRampTable copy;
    std::memcpy(&copy, table, sizeof copy);
    return (board->object.*upload)(reel, &copy);
}

}  // namespace

extern "C" {

yarvo_t* yarvo_new(void) { return new (std::nothrow) yarvo_object; }

void yarvo_free(yarvo_t* board) { delete board; }

bool yarvo_close(yarvo_t* board) { return board != nullptr && board->object.Close(); }

unsigned int yarvo_last_error(const yarvo_t* board) {
    // GetLastError only reads, though the class does not declare it const.
    return board != nullptr ? const_cast<yarvo_t*>(board)->object.GetLastError() : 0u;
}

bool yarvo_get_dll_version(yarvo_t* board, unsigned char* version) {
    return board != nullptr && board->object.GetDllVersion(version);
}

bool yarvo_get_product_version(yarvo_t* board, unsigned char* version) {
    return board != nullptr && board->object.GetProductVersion(version);
}

bool yarvo_init(yarvo_t* board) { return board != nullptr && board->object.Init(); }

bool yarvo_init_usb_board(yarvo_t* board, unsigned int address) {
    return board != nullptr && board->object.InitUSBBoard(address);
}

bool yarvo_get_board_speed(yarvo_t* board, yarvo_usb_board_speed_t* speed) {
    return board != nullptr && throughRecord<USBBoardSpeed>(speed, [&](USBBoardSpeed* s) {
               return board->object.GetBoardSpeed(s);
           });
}

bool yarvo_get_inputs(yarvo_t* board, unsigned short* low, unsigned char* high) {
    return board != nullptr && board->object.GetInputs(low, high);
}

bool yarvo_get_input_bit(yarvo_t* board, yarvo_reel_input_bit_t input, bool* state) {
    return board != nullptr && board->object.GetInputBit(static_cast<KReelInputBit>(input), state);
}

bool yarvo_get_changed_inputs(yarvo_t* board, unsigned short* changed) {
    return board != nullptr && board->object.GetChangedInputs(changed);
}

bool yarvo_set_outputs(yarvo_t* board, unsigned int first, unsigned int second) {
    return board != nullptr && board->object.SetOutputs(first, second);
}

bool yarvo_modify_outputs(yarvo_t* board, unsigned int first, unsigned int second, unsigned int third,
                          unsigned int fourth) {
    return board != nullptr && board->object.ModifyOutputs(first, second, third, fourth);
}

bool yarvo_set_output_bit(yarvo_t* board, yarvo_reel_output_bit_t output, bool on) {
    return board != nullptr && board->object.SetOutputBit(static_cast<KReelOutputBit>(output), on);
}

bool yarvo_set_reel_lamps(yarvo_t* board, unsigned char reel, bool on) {
    return board != nullptr && board->object.SetReelLamps(reel, on);
}

bool yarvo_get_firmware_version(yarvo_t* board, unsigned char* version) {
    return board != nullptr && board->object.GetFirmwareVersion(version);
}

bool yarvo_get_power_status(yarvo_t* board, yarvo_reel_power_status_t* status) {
    return board != nullptr && throughRecord<KReelPowerStatus>(status, [&](KReelPowerStatus* s) {
               return board->object.GetPowerStatus(s);
           });
}

bool yarvo_configure_reels(yarvo_t* board, unsigned int count, unsigned int param16,
                           unsigned int steps_per_symbol, char param4, char param5) {
    return board != nullptr && board->object.ConfigureReels(count, param16, steps_per_symbol, param4, param5);
}

bool yarvo_set_duty_cycle(yarvo_t* board, unsigned char reel, unsigned char off, unsigned char on) {
    return board != nullptr && board->object.SetDutyCycle(reel, off, on);
}

bool yarvo_spin_ramp_up(yarvo_t* board, unsigned char reel, const yarvo_reel_ramp_table_t* table) {
    return rampTable(board, reel, table, &Yarvo::SpinRampUp);
}

bool yarvo_spin_ramp_down(yarvo_t* board, unsigned char reel, const yarvo_reel_ramp_table_t* table) {
    return rampTable(board, reel, table, &Yarvo::SpinRampDown);
}

bool yarvo_reel_synchronise_enable(yarvo_t* board, unsigned char reel) {
    return board != nullptr && board->object.ReelSynchroniseEnable(reel);
}

bool yarvo_clear_tampered_state(yarvo_t* board, unsigned char reel) {
    return board != nullptr && board->object.ClearTamperedState(reel);
}

bool yarvo_spin_reels(yarvo_t* board, unsigned char reel, char step_mode, unsigned int step_count) {
    return board != nullptr && board->object.SpinReels(reel, step_mode, step_count);
}

bool yarvo_spin_reel_step_forward(yarvo_t* board, unsigned char reel, unsigned char step_size,
                                  unsigned int step_count) {
    return board != nullptr && board->object.SpinReelStepForward(reel, step_size, step_count);
}

bool yarvo_spin_reel_step_back(yarvo_t* board, unsigned char reel, unsigned char step_size,
                               unsigned int step_count) {
    return board != nullptr && board->object.SpinReelStepBack(reel, step_size, step_count);
}

bool yarvo_spin_reel_symbol_forward(yarvo_t* board, unsigned char reel, unsigned char step_size,
                                    unsigned char symbols) {
    return board != nullptr && board->object.SpinReelSymbolForward(reel, step_size, symbols);
}

bool yarvo_spin_reel_symbol_back(yarvo_t* board, unsigned char reel, unsigned char step_size,
                                 unsigned char symbols) {
    return board != nullptr && board->object.SpinReelSymbolBack(reel, step_size, symbols);
}

bool yarvo_spin_start_skill(yarvo_t* board, unsigned char reel, char step_mode) {
    return board != nullptr && board->object.SpinStartSkill(reel, step_mode);
}

bool yarvo_spin_stop_skill(yarvo_t* board, unsigned char reel) {
    return board != nullptr && board->object.SpinStopSkill(reel);
}

bool yarvo_stop_current_spin_at_position(yarvo_t* board, unsigned char reel, unsigned int position) {
    return board != nullptr && board->object.StopCurrentSpinAtPosition(reel, position);
}

bool yarvo_get_reel_status(yarvo_t* board, unsigned char reel, yarvo_reel_status_t* status) {
    return board != nullptr && throughRecord<KReelStatus>(status, [&](KReelStatus* s) {
               return board->object.GetReelStatus(reel, s);
           });
}

// The class takes these strings as char* but only reads them.
bool yarvo_vendor_set_reel_file_path(yarvo_t* board, const char* path) {
    return board != nullptr && board->object.VendorSetReelFilePath(const_cast<char*>(path));
}

bool yarvo_vendor_configure_reel(yarvo_t* board, unsigned char reel, const char* type) {
    return board != nullptr && board->object.VendorConfigureReel(reel, const_cast<char*>(type));
}

bool yarvo_vendor_spin_reel_to_symbol(yarvo_t* board, unsigned char reel, unsigned int symbol, int speed) {
    return board != nullptr && board->object.VendorSpinReelToSymbol(reel, symbol, speed);
}

bool yarvo_vendor_spin_reel_number_of_symbols(yarvo_t* board, unsigned char reel, unsigned int count,
                                              int speed) {
    return board != nullptr && board->object.VendorSpinReelNumberOfSymbols(reel, count, speed);
}

bool yarvo_vendor_synchronise_reel(yarvo_t* board, unsigned char reel) {
    return board != nullptr && board->object.VendorSynchroniseReel(reel);
}

bool yarvo_vendor_spin_reel_start_skill(yarvo_t* board, unsigned char reel, int speed) {
    return board != nullptr && board->object.VendorSpinReelStartSkill(reel, speed);
}

bool yarvo_vendor_spin_reel_stop_skill(yarvo_t* board, unsigned char reel) {
    return board != nullptr && board->object.VendorSpinReelStopSkill(reel);
}

bool yarvo_vendor_stop_reel_spin_at_position(yarvo_t* board, unsigned char reel, unsigned int symbol) {
    return board != nullptr && board->object.VendorStopReelSpinAtPosition(reel, symbol);
}

bool yarvo_vendor_get_reel_status(yarvo_t* board, unsigned char reel, yarvo_reel_status_ex_t* status) {
    return board != nullptr && throughRecord<KReelStatusEx>(status, [&](KReelStatusEx* s) {
               return board->object.VendorGetReelStatus(reel, s);
           });
}

const char* yarvo_status_name(unsigned int code) { return yarvo::status::name(code); }

}  // extern "C"
