"""Types of the yarvo module, for editors and type checkers."""

import enum
import os
from types import TracebackType
from typing import Optional, Sequence, Tuple, Type, Union

__version__: str

class BoardError(Exception):
    operation: str
    code: int
    name: str
    def __init__(self, operation: str, code: int, name: str) -> None: ...

class NoBoardError(BoardError): ...

class KReelMsg(enum.IntEnum):
    ReelMsgOk = 0
    ReelMsgNullPointer = 2
    ReelMsgBadParameter = 3
    ReelMsgInputOwnedByReel = 6
    ReelMsgOutputOwnedByReel = 7
    ReelMsgBadReelNumber = 8
    ReelMsgReelNotConfigured = 9
    ReelMsgBadRampLength = 12
    ReelMsgBadStepMode = 13
    ReelMsgBadDutyCycle = 14
    ReelMsgBadStepCount = 15
    ReelMsgNoSuitableSpeed = 16
    ReelMsgTransferFailed = 19
    ReelMsgBadResponseLength = 20
    ReelMsgBadResponse = 21
    ReelMsgFileLoadFailed = 27
    ReelMsgPathTooLong = 28
    ReelMsgReelTypeNotFound = 29
    ReelMsgReelDataError = 30

class USBBoardSpeed(enum.IntEnum):
    USBBoardSpeedNone = 0
    USBBoardSpeedFull = 1
    USBBoardSpeedHigh = 2

class KReelInputBit(enum.IntEnum):
    KReelInput0 = 0
    KReelInput1 = 1
    KReelInput2 = 2
    KReelInput3 = 3
    KReelInput4 = 4
    KReelInput5 = 5
    KReelInput6 = 6
    KReelInput7 = 7
    KReelInput8 = 8
    KReelInput9 = 9
    KReelInput10 = 10
    KReelInput11 = 11
    KReelInput12 = 12
    KReelInput13 = 13
    KReelInput14 = 14
    KReelInput15 = 15
    KReelInput16 = 16
    KReelInput17 = 17
    KReelInput18 = 18
    KReelInput19 = 19
    KReelInput20 = 20
    KReelInput21 = 21
    KReelInput22 = 22
    KReelInput23 = 23

class KReelOutputBit(enum.IntEnum):
    KReelOutput0 = 0
    KReelOutput1 = 1
    KReelOutput2 = 2
    KReelOutput3 = 3
    KReelOutput4 = 4
    KReelOutput5 = 5
    KReelOutput6 = 6
    KReelOutput7 = 7
    KReelOutput8 = 8
    KReelOutput9 = 9
    KReelOutput10 = 10
    KReelOutput11 = 11
    KReelOutput12 = 12
    KReelOutput13 = 13
    KReelOutput14 = 14
    KReelOutput15 = 15
    KReelOutput16 = 16
    KReelOutput17 = 17
    KReelOutput18 = 18
    KReelOutput19 = 19
    KReelOutput20 = 20
    KReelOutput21 = 21
    KReelOutput22 = 22
    KReelOutput23 = 23
    KReelOutput24 = 24
    KReelOutput25 = 25
    KReelOutput26 = 26
    KReelOutput27 = 27
    KReelOutput28 = 28
    KReelOutput29 = 29
    KReelOutput30 = 30
    KReelOutput31 = 31
    KReelOutput32 = 32
    KReelOutput33 = 33
    KReelOutput34 = 34
    KReelOutput35 = 35
    KReelOutput36 = 36
    KReelOutput37 = 37
    KReelOutput38 = 38
    KReelOutput39 = 39
    KReelOutput40 = 40
    KReelOutput41 = 41
    KReelOutput42 = 42
    KReelOutput43 = 43
    KReelOutput44 = 44
    KReelOutput45 = 45
    KReelOutput46 = 46
    KReelOutput47 = 47
    KReelOutput48 = 48
    KReelOutput49 = 49
    KReelOutput50 = 50
    KReelOutput51 = 51
    KReelOutput52 = 52
    KReelOutput53 = 53
    KReelOutput54 = 54
    KReelOutput55 = 55
    KReelOutput56 = 56
    KReelOutput57 = 57
    KReelOutput58 = 58
    KReelOutput59 = 59
    KReelOutput60 = 60
    KReelOutput61 = 61
    KReelOutput62 = 62
    KReelOutput63 = 63

class KReelStatus:
    @property
    def position(self) -> int: ...
    @property
    def status_word1(self) -> int: ...
    @property
    def status_byte1(self) -> int: ...
    @property
    def status_byte2(self) -> int: ...
    @property
    def status_byte3(self) -> int: ...
    @property
    def status_word2(self) -> int: ...

class KReelStatusEx:
    @property
    def position(self) -> int: ...
    @property
    def status_word1(self) -> int: ...
    @property
    def status_byte1(self) -> int: ...
    @property
    def status_byte2(self) -> int: ...
    @property
    def status_byte3(self) -> int: ...
    @property
    def status_word2(self) -> int: ...
    @property
    def nearest_symbol(self) -> int: ...
    @property
    def symbol_offset(self) -> int: ...
    @property
    def reel_speed(self) -> int: ...

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class Board:
    def __init__(self, address: Optional[int] = None) -> None: ...
    def __enter__(self) -> Board: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def get_last_error(self) -> KReelMsg: ...
    def get_dll_version(self) -> str: ...
    def get_product_version(self) -> str: ...
    def init(self) -> None: ...
    def init_usb_board(self, address: int) -> None: ...
    def get_board_speed(self) -> USBBoardSpeed: ...
    def get_inputs(self) -> Tuple[int, int]: ...
    def get_input_bit(self, input: int) -> bool: ...
    def get_changed_inputs(self) -> int: ...
    def set_outputs(self, first: int, second: int) -> None: ...
    def modify_outputs(self, first: int, second: int, third: int, fourth: int) -> None: ...
    def set_output_bit(self, output: int, on: bool) -> None: ...
    def set_reel_lamps(self, reel: int, on: bool) -> None: ...
    def get_firmware_version(self) -> str: ...
    def get_power_status(self) -> int: ...
    def configure_reels(self, count: int, param16: int, steps_per_symbol: int, param4: int, param5: int) -> None: ...
    def set_duty_cycle(self, reel: int, off: int, on: int) -> None: ...
    def spin_ramp_up(self, reel: int, entries: Sequence[int]) -> None: ...
    def spin_ramp_down(self, reel: int, entries: Sequence[int]) -> None: ...
    def reel_synchronise_enable(self, reel: int) -> None: ...
    def clear_tampered_state(self, reel: int) -> None: ...
    def spin_reels(self, reel: int, step_mode: int, step_count: int) -> None: ...
    def spin_reel_step_forward(self, reel: int, step_size: int, step_count: int) -> None: ...
    def spin_reel_step_back(self, reel: int, step_size: int, step_count: int) -> None: ...
    def spin_reel_symbol_forward(self, reel: int, step_size: int, symbols: int) -> None: ...
    def spin_reel_symbol_back(self, reel: int, step_size: int, symbols: int) -> None: ...
    def spin_start_skill(self, reel: int, step_mode: int) -> None: ...
    def spin_stop_skill(self, reel: int) -> None: ...
    def stop_current_spin_at_position(self, reel: int, position: int) -> None: ...
    def get_reel_status(self, reel: int) -> KReelStatus: ...
    def vendor_set_reel_file_path(self, path: _Path) -> None: ...
    def vendor_configure_reel(self, reel: int, type: str) -> None: ...
    def vendor_spin_reel_to_symbol(self, reel: int, symbol: int, speed: int) -> None: ...
    def vendor_spin_reel_number_of_symbols(self, reel: int, count: int, speed: int) -> None: ...
    def vendor_synchronise_reel(self, reel: int) -> None: ...
    def vendor_spin_reel_start_skill(self, reel: int, speed: int) -> None: ...
    def vendor_spin_reel_stop_skill(self, reel: int) -> None: ...
    def vendor_stop_reel_spin_at_position(self, reel: int, symbol: int) -> None: ...
    def vendor_get_reel_status(self, reel: int) -> KReelStatusEx: ...
