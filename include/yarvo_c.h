/*
 * yarvo_c.h - C interface of the K-Mora Yarvo Board library (C99 and C++).
 *
 * The same library as yarvo.h, for hosts that are not C++ (C programs, and
 * other languages through their foreign-function interfaces).  A yarvo_t is
 * one Yarvo object; each function is one of its public operations, in the
 * order of yarvo.h, named as the method in snake case with "yarvo_" in front
 * (GetReelStatus: yarvo_get_reel_status, VendorGetReelStatus:
 * yarvo_vendor_get_reel_status).  Pointer arguments that the class fills are
 * pointers here too.
 *
 * Everything yarvo.h states at its top holds here: each operation returns
 * true on success and otherwise stores a status code that yarvo_last_error()
 * returns (only yarvo_new() and yarvo_init() store YARVO_REEL_MSG_OK); checks
 * come before anything is sent; calls are synchronous; nothing is allocated
 * per board command; one handle is used by one thread at a time, several
 * handles side by side.
 *
 * A null handle is safe everywhere: the operation returns false (0 from
 * yarvo_last_error()) and does nothing else.  Records are written only where
 * the class writes them; strings and tables are read during the call only.
 *
 *   yarvo_t *board = yarvo_new();
 *   if (board == NULL || !yarvo_init(board)) { ... }
 *   ...
 *   yarvo_free(board);
 */
#ifndef YARVO_C_H
#define YARVO_C_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One board's object: made by yarvo_new(), released by yarvo_free(). */
typedef struct yarvo_object yarvo_t;

/* In C++ the enumerations get the underlying types of their yarvo.h twins,
 * so that any value a C caller passes is a valid value on the C++ side. */
#ifdef __cplusplus
#define YARVO_C_ENUM(name, type) enum name : type
#else
#define YARVO_C_ENUM(name, type) enum name
#endif

/* Status codes (KReelMsg).  The numbering has gaps; each code keeps its
 * number.  yarvo_status_name() gives the names the tools print. */
typedef YARVO_C_ENUM(yarvo_reel_msg, unsigned int) {
    YARVO_REEL_MSG_OK = 0,
    YARVO_REEL_MSG_NULL_POINTER = 2,
    YARVO_REEL_MSG_BAD_PARAMETER = 3,
    YARVO_REEL_MSG_INPUT_OWNED_BY_REEL = 6,
    YARVO_REEL_MSG_OUTPUT_OWNED_BY_REEL = 7,
    YARVO_REEL_MSG_BAD_REEL_NUMBER = 8,
    YARVO_REEL_MSG_REEL_NOT_CONFIGURED = 9,
    YARVO_REEL_MSG_BAD_RAMP_LENGTH = 12,
    YARVO_REEL_MSG_BAD_STEP_MODE = 13,
    YARVO_REEL_MSG_BAD_DUTY_CYCLE = 14,
    YARVO_REEL_MSG_BAD_STEP_COUNT = 15,
    YARVO_REEL_MSG_NO_SUITABLE_SPEED = 16,
    YARVO_REEL_MSG_TRANSFER_FAILED = 19,
    YARVO_REEL_MSG_BAD_RESPONSE_LENGTH = 20,
    YARVO_REEL_MSG_BAD_RESPONSE = 21,
    YARVO_REEL_MSG_FILE_LOAD_FAILED = 27,
    YARVO_REEL_MSG_PATH_TOO_LONG = 28,
    YARVO_REEL_MSG_REEL_TYPE_NOT_FOUND = 29,
    YARVO_REEL_MSG_REEL_DATA_ERROR = 30
} yarvo_reel_msg_t;

/* USB speed of the opened board (USBBoardSpeed). */
typedef YARVO_C_ENUM(yarvo_usb_board_speed, unsigned int) {
    YARVO_USB_BOARD_SPEED_NONE = 0,
    YARVO_USB_BOARD_SPEED_FULL = 1,
    YARVO_USB_BOARD_SPEED_HIGH = 2
} yarvo_usb_board_speed_t;

/* Input numbers 0 to 23 (KReelInputBit). */
typedef YARVO_C_ENUM(yarvo_reel_input_bit, int) {
    YARVO_REEL_INPUT_0 = 0, YARVO_REEL_INPUT_1, YARVO_REEL_INPUT_2, YARVO_REEL_INPUT_3,
    YARVO_REEL_INPUT_4, YARVO_REEL_INPUT_5, YARVO_REEL_INPUT_6, YARVO_REEL_INPUT_7,
    YARVO_REEL_INPUT_8, YARVO_REEL_INPUT_9, YARVO_REEL_INPUT_10, YARVO_REEL_INPUT_11,
    YARVO_REEL_INPUT_12, YARVO_REEL_INPUT_13, YARVO_REEL_INPUT_14, YARVO_REEL_INPUT_15,
    YARVO_REEL_INPUT_16, YARVO_REEL_INPUT_17, YARVO_REEL_INPUT_18, YARVO_REEL_INPUT_19,
    YARVO_REEL_INPUT_20, YARVO_REEL_INPUT_21, YARVO_REEL_INPUT_22, YARVO_REEL_INPUT_23
} yarvo_reel_input_bit_t;

/* Output numbers 0 to 63 (KReelOutputBit). */
typedef YARVO_C_ENUM(yarvo_reel_output_bit, int) {
    YARVO_REEL_OUTPUT_0 = 0, YARVO_REEL_OUTPUT_1, YARVO_REEL_OUTPUT_2, YARVO_REEL_OUTPUT_3,
    YARVO_REEL_OUTPUT_4, YARVO_REEL_OUTPUT_5, YARVO_REEL_OUTPUT_6, YARVO_REEL_OUTPUT_7,
    YARVO_REEL_OUTPUT_8, YARVO_REEL_OUTPUT_9, YARVO_REEL_OUTPUT_10, YARVO_REEL_OUTPUT_11,
    YARVO_REEL_OUTPUT_12, YARVO_REEL_OUTPUT_13, YARVO_REEL_OUTPUT_14, YARVO_REEL_OUTPUT_15,
    YARVO_REEL_OUTPUT_16, YARVO_REEL_OUTPUT_17, YARVO_REEL_OUTPUT_18, YARVO_REEL_OUTPUT_19,
    YARVO_REEL_OUTPUT_20, YARVO_REEL_OUTPUT_21, YARVO_REEL_OUTPUT_22, YARVO_REEL_OUTPUT_23,
    YARVO_REEL_OUTPUT_24, YARVO_REEL_OUTPUT_25, YARVO_REEL_OUTPUT_26, YARVO_REEL_OUTPUT_27,
    YARVO_REEL_OUTPUT_28, YARVO_REEL_OUTPUT_29, YARVO_REEL_OUTPUT_30, YARVO_REEL_OUTPUT_31,
    YARVO_REEL_OUTPUT_32, YARVO_REEL_OUTPUT_33, YARVO_REEL_OUTPUT_34, YARVO_REEL_OUTPUT_35,
    YARVO_REEL_OUTPUT_36, YARVO_REEL_OUTPUT_37, YARVO_REEL_OUTPUT_38, YARVO_REEL_OUTPUT_39,
    YARVO_REEL_OUTPUT_40, YARVO_REEL_OUTPUT_41, YARVO_REEL_OUTPUT_42, YARVO_REEL_OUTPUT_43,
    YARVO_REEL_OUTPUT_44, YARVO_REEL_OUTPUT_45, YARVO_REEL_OUTPUT_46, YARVO_REEL_OUTPUT_47,
    YARVO_REEL_OUTPUT_48, YARVO_REEL_OUTPUT_49, YARVO_REEL_OUTPUT_50, YARVO_REEL_OUTPUT_51,
    YARVO_REEL_OUTPUT_52, YARVO_REEL_OUTPUT_53, YARVO_REEL_OUTPUT_54, YARVO_REEL_OUTPUT_55,
    YARVO_REEL_OUTPUT_56, YARVO_REEL_OUTPUT_57, YARVO_REEL_OUTPUT_58, YARVO_REEL_OUTPUT_59,
    YARVO_REEL_OUTPUT_60, YARVO_REEL_OUTPUT_61, YARVO_REEL_OUTPUT_62, YARVO_REEL_OUTPUT_63
} yarvo_reel_output_bit_t;

/* The board's power status byte, zero-extended (KReelPowerStatus). */
typedef struct yarvo_reel_power_status {
    unsigned int value;
} yarvo_reel_power_status_t;

/* A ramp table: `length` entries in use out of 60 (KReelRampTable). */
typedef struct yarvo_reel_ramp_table {
    unsigned char length;
    unsigned char entries[60];
} yarvo_reel_ramp_table_t;

/* A reel's status as the board reports it (KReelStatus): position in half
 * steps, the other fields as the firmware gives them. */
typedef struct yarvo_reel_status {
    unsigned short position;
    unsigned short status_word1;
    unsigned char status_byte1;
    unsigned char status_byte2;
    unsigned char status_byte3;
    unsigned short status_word2;
} yarvo_reel_status_t;

/* The status plus the nearest symbol, the offset from it in half steps and
 * the reel's current speed (KReelStatusEx). */
typedef struct yarvo_reel_status_ex {
    unsigned short position;
    unsigned short status_word1;
    unsigned char status_byte1;
    unsigned char status_byte2;
    unsigned char status_byte3;
    unsigned short status_word2;
    unsigned int nearest_symbol;
    signed char symbol_offset;
    int reel_speed;
} yarvo_reel_status_ex_t;

/* A closed object (Yarvo()), or NULL when memory runs out. */
yarvo_t *yarvo_new(void);
/* Destroys the object (~Yarvo()), closing its board; NULL is ignored. */
void yarvo_free(yarvo_t *board);

bool yarvo_close(yarvo_t *board);
/* GetLastError(): the code stored by the most recent failing check. */
unsigned int yarvo_last_error(const yarvo_t *board);
bool yarvo_get_dll_version(yarvo_t *board, unsigned char *version);
bool yarvo_get_product_version(yarvo_t *board, unsigned char *version);

bool yarvo_init(yarvo_t *board);
bool yarvo_init_usb_board(yarvo_t *board, unsigned int address);
bool yarvo_get_board_speed(yarvo_t *board, yarvo_usb_board_speed_t *speed);

bool yarvo_get_inputs(yarvo_t *board, unsigned short *low, unsigned char *high);
bool yarvo_get_input_bit(yarvo_t *board, yarvo_reel_input_bit_t input, bool *state);
bool yarvo_get_changed_inputs(yarvo_t *board, unsigned short *changed);

bool yarvo_set_outputs(yarvo_t *board, unsigned int first, unsigned int second);
bool yarvo_modify_outputs(yarvo_t *board, unsigned int first, unsigned int second,
                          unsigned int third, unsigned int fourth);
bool yarvo_set_output_bit(yarvo_t *board, yarvo_reel_output_bit_t output, bool on);
bool yarvo_set_reel_lamps(yarvo_t *board, unsigned char reel, bool on);

/* Into a buffer of at least 253 bytes, unterminated: clear it first. */
bool yarvo_get_firmware_version(yarvo_t *board, unsigned char *version);
bool yarvo_get_power_status(yarvo_t *board, yarvo_reel_power_status_t *status);

bool yarvo_configure_reels(yarvo_t *board, unsigned int count, unsigned int param16,
                           unsigned int steps_per_symbol, char param4, char param5);
bool yarvo_set_duty_cycle(yarvo_t *board, unsigned char reel, unsigned char off, unsigned char on);
bool yarvo_spin_ramp_up(yarvo_t *board, unsigned char reel, const yarvo_reel_ramp_table_t *table);
bool yarvo_spin_ramp_down(yarvo_t *board, unsigned char reel, const yarvo_reel_ramp_table_t *table);
bool yarvo_reel_synchronise_enable(yarvo_t *board, unsigned char reel);
bool yarvo_clear_tampered_state(yarvo_t *board, unsigned char reel);

bool yarvo_spin_reels(yarvo_t *board, unsigned char reel, char step_mode, unsigned int step_count);
bool yarvo_spin_reel_step_forward(yarvo_t *board, unsigned char reel, unsigned char step_size,
                                  unsigned int step_count);
bool yarvo_spin_reel_step_back(yarvo_t *board, unsigned char reel, unsigned char step_size,
                               unsigned int step_count);
bool yarvo_spin_reel_symbol_forward(yarvo_t *board, unsigned char reel, unsigned char step_size,
                                    unsigned char symbols);
bool yarvo_spin_reel_symbol_back(yarvo_t *board, unsigned char reel, unsigned char step_size,
                                 unsigned char symbols);
bool yarvo_spin_start_skill(yarvo_t *board, unsigned char reel, char step_mode);
bool yarvo_spin_stop_skill(yarvo_t *board, unsigned char reel);
bool yarvo_stop_current_spin_at_position(yarvo_t *board, unsigned char reel, unsigned int position);

bool yarvo_get_reel_status(yarvo_t *board, unsigned char reel, yarvo_reel_status_t *status);

bool yarvo_vendor_set_reel_file_path(yarvo_t *board, const char *path);
bool yarvo_vendor_configure_reel(yarvo_t *board, unsigned char reel, const char *type);

bool yarvo_vendor_spin_reel_to_symbol(yarvo_t *board, unsigned char reel, unsigned int symbol, int speed);
bool yarvo_vendor_spin_reel_number_of_symbols(yarvo_t *board, unsigned char reel, unsigned int count,
                                              int speed);
bool yarvo_vendor_synchronise_reel(yarvo_t *board, unsigned char reel);
bool yarvo_vendor_spin_reel_start_skill(yarvo_t *board, unsigned char reel, int speed);
bool yarvo_vendor_spin_reel_stop_skill(yarvo_t *board, unsigned char reel);
bool yarvo_vendor_stop_reel_spin_at_position(yarvo_t *board, unsigned char reel, unsigned int symbol);
bool yarvo_vendor_get_reel_status(yarvo_t *board, unsigned char reel, yarvo_reel_status_ex_t *status);

/* The name of a status code as the tools print it ("ReelMsgBadReelNumber"),
 * "ReelMsgUnknown" for a number the library never stores.  A static string. */
const char *yarvo_status_name(unsigned int code);

#ifdef __cplusplus
}
#endif

#endif /* YARVO_C_H */
