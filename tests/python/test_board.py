"""The yarvo module against a virtual board: every method on the wire,
failures as exceptions, a spin followed to rest, closing, threads, types."""

import ast
import enum
import os
import pathlib
import subprocess
import sys
import threading

import pytest
import yarvo
from conftest import REEL_FILE, wait_until_still

K = yarvo.KReelMsg

# Every method in the class's order: arguments, what it returns (a value,
# or a type), and a line it must have sent to the board (None: sends
# nothing).  Reel 1 is declared for step-level use, reel 0 configured from
# the reel-definition file.
CALLS = [
    ("get_last_error", (), K.ReelMsgOk, None),
    ("get_dll_version", (), "14", None),
    ("get_product_version", (), "3", None),
    ("init", (), None, None),
    ("init_usb_board", (0,), None, "INPUTS -> inputs=0x000000 address=0"),
    ("get_board_speed", (), yarvo.USBBoardSpeed.USBBoardSpeedFull, None),
    ("get_inputs", (), (0, 0), "INPUTS -> inputs=0x000000 address=0"),
    ("get_input_bit", (yarvo.KReelInputBit.KReelInput12,), False, "INPUTS"),
    ("get_changed_inputs", (), 0, "CHANGED-INPUTS -> changed=0x0000"),
    ("set_outputs", (0x12345678, 0x9ABCDEF0), None, "OUTPUTS first=0x12345678 second=0x9abcdef0 -> ok"),
    ("modify_outputs", (1, 2, 3, 4), None,
     "MODIFY-OUTPUTS w1=0x00000001 w2=0x00000002 w3=0x00000003 w4=0x00000004 -> ok"),
    ("configure_reels", (2, 96, 4, 50, -3), None,
     "CONFIGURE-REELS count=2 param16=96 steps-per-symbol=4 param4=50 param5=-3 -> ok"),
    ("set_output_bit", (40, True), None, "OUTPUT-BIT output=40 state=on -> ok"),
    ("set_reel_lamps", (1, True), None, "MODIFY-OUTPUTS w1=0x00000000 w2=0x00000070"),
    ("get_firmware_version", (), "YARVO-SIM 1.0", 'FIRMWARE-VERSION -> version="YARVO-SIM 1.0"'),
    ("get_power_status", (), 1, "POWER-STATUS -> power=1"),
    ("set_duty_cycle", (1, 32, 200), None, "DUTY-CYCLE reel=1 off=32 on=200 -> ok"),
    ("spin_ramp_up", (1, [50, 40, 30]), None, "RAMP-UP reel=1 len=3 -> ok"),
    ("spin_ramp_down", (1, b"\x1e\x28"), None, "RAMP-DOWN reel=1 len=2 -> ok"),
    ("reel_synchronise_enable", (1,), None, "SYNC-ENABLE reel=1 mode=0 -> ok"),
    ("clear_tampered_state", (1,), None, "CLEAR-TAMPER reel=1 -> ok"),
    ("spin_reels", (1, -2, 10), None, "SPIN reel=1 mode=-2 steps=10 -> ok"),
    ("spin_reel_step_forward", (1, 1, 4), None, "SPIN reel=1 mode=1 steps=4 -> ok"),
    ("spin_reel_step_back", (1, 2, 5), None, "SPIN reel=1 mode=-2 steps=5 -> ok"),
    ("spin_reel_symbol_forward", (1, 1, 2), None, "SPIN reel=1 mode=1 steps=8 -> ok"),
    ("spin_reel_symbol_back", (1, 2, 3), None, "SPIN reel=1 mode=-2 steps=12 -> ok"),
    ("spin_start_skill", (1, 1), None, "SKILL-START reel=1 mode=1 -> ok"),
    ("spin_stop_skill", (1,), None, "SKILL-STOP reel=1 -> ok"),
    ("stop_current_spin_at_position", (1, 300), None, "STOP-AT reel=1 pos=300 -> ok"),
    ("get_reel_status", (1,), yarvo.KReelStatus, "STATUS reel=1 -> pos="),
    ("vendor_set_reel_file_path", (REEL_FILE,), None, None),
    ("vendor_configure_reel", (0, "classic-20"), None, "REEL-PARAMS reel=0 turn=400 tab-width=10"),
    ("vendor_spin_reel_to_symbol", (0, 5, 120), None, "SPIN reel=0 mode=2 steps=50 -> ok"),
    ("vendor_spin_reel_number_of_symbols", (0, 2, 60), None, "SPIN reel=0 mode=1 steps="),
    ("vendor_synchronise_reel", (0,), None, "SYNC-ENABLE reel=0 mode=1 -> ok"),
    ("vendor_spin_reel_start_skill", (0, -180), None, "SKILL-START reel=0 mode=-2 -> ok"),
    ("vendor_spin_reel_stop_skill", (0,), None, "STOP-AT reel=0 pos="),
    ("vendor_stop_reel_spin_at_position", (0, 3), None, "STOP-AT reel=0 pos=60 -> ok"),
    ("vendor_get_reel_status", (0,), yarvo.KReelStatusEx, "STATUS reel=0 -> pos="),
    ("close", (), None, None),
]


def public_methods(cls):
    return {name for name in vars(cls) if not name.startswith("_")} - {"closed"}


def test_every_method_reaches_the_board(board, wire):
    assert {row[0] for row in CALLS} == public_methods(yarvo.Board)
    for name, args, result, sent in CALLS:
        got = getattr(board, name)(*args)
        if isinstance(result, type):
            assert isinstance(got, result), name
        else:
            assert got == result and type(got) is type(result), name
        lines = wire.new(sent)
        if sent is None:
            assert lines == [], name
        else:
            assert any(sent in line for line in lines), (name, lines)


@pytest.mark.parametrize("call, code", [
    (lambda b: b.get_reel_status(8), K.ReelMsgBadReelNumber),
    (lambda b: b.set_reel_lamps(3, True), K.ReelMsgReelNotConfigured),
    (lambda b: b.set_output_bit(64, True), K.ReelMsgBadParameter),
    (lambda b: b.vendor_set_reel_file_path("x" * 251), K.ReelMsgPathTooLong),
    (lambda b: b.vendor_configure_reel(0, "no-such-type"), K.ReelMsgReelTypeNotFound),
    (lambda b: b.spin_ramp_up(0, range(61)), K.ReelMsgBadRampLength),
])
def test_a_failed_call_raises_board_error(board, wire, call, code):
    board.vendor_set_reel_file_path(REEL_FILE)
    board.configure_reels(1, 0, 1, 50, 0)
    wire.new()
    with pytest.raises(yarvo.BoardError) as raised:
        call(board)
    error = raised.value
    assert type(error) is yarvo.BoardError
    assert (error.code, error.name) == (code, code.name)
    assert str(error) == "%s: %s (%d)" % (error.operation, code.name, code)
    assert board.get_last_error() == code
    assert wire.new() == []  # refused before anything was sent


def test_opening():
    with pytest.raises(yarvo.NoBoardError) as none:
        yarvo.Board(address=5)
    assert isinstance(none.value, yarvo.BoardError) and (none.value.code, none.value.name) == (0, "ReelMsgOk")
    assert "no board with address 5" in str(none.value)
    with pytest.raises(yarvo.BoardError) as refused:
        yarvo.Board(address=16)
    assert type(refused.value) is yarvo.BoardError and refused.value.code == K.ReelMsgBadParameter
    with yarvo.Board(address=0) as board:
        assert board.get_dll_version() == "14"


@pytest.mark.parametrize("call", [
    lambda b: b.get_reel_status(256),
    lambda b: b.get_reel_status(-1),
    lambda b: b.set_outputs(1 << 32, 0),
    lambda b: b.spin_reels(0, 128, 1),
    lambda b: b.spin_ramp_up(0, [1, 256]),
    lambda b: b.vendor_configure_reel(0, "classic\0-20"),
])
def test_arguments_the_class_cannot_take_raise_value_error(board, wire, call):
    with pytest.raises(ValueError):
        call(board)
    assert wire.new() == []


def test_spin_to_symbol_comes_to_rest(board):
    board.vendor_set_reel_file_path(os.fsencode(REEL_FILE))
    for reel, symbol, speed in [(0, 13, 120), (1, 6, -60), (2, 19, 180)]:
        board.vendor_configure_reel(reel, "classic-20")
        board.vendor_spin_reel_to_symbol(reel, symbol, speed)
        assert board.vendor_get_reel_status(reel).status_byte1 & 0x01, "reel %d did not start" % reel
    for reel, symbol, speed in [(0, 13, 120), (1, 6, -60), (2, 19, 180)]:
        status = wait_until_still(board, reel)
        assert (status.nearest_symbol, status.symbol_offset, status.position) == (symbol, 0, 20 * symbol)
        assert status.reel_speed == speed
    with pytest.raises(AttributeError):
        status.position = 0  # records are read-only


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_context_manager_closes_the_board():
    before = open_descriptors()
    with yarvo.Board() as board:
        assert open_descriptors() == before + 1 and not board.closed
    assert open_descriptors() == before and board.closed
    with pytest.raises(ValueError, match="closed"):
        board.get_inputs()
    board.close()  # again: nothing happens
    with pytest.raises(RuntimeError):
        with yarvo.Board():
            raise RuntimeError("the game failed")
    assert open_descriptors() == before


def test_gil_released_and_one_thread_at_a_time(board, tmp_path):
    # Loading a large reel file keeps the library busy for a while: the main
    # thread runs meanwhile (the GIL is free), and the board refuses it.
    big = tmp_path / "reels.xml"
    text = pathlib.Path(REEL_FILE).read_text()
    root_end = text.rindex("</tamso-reel-definitions>")
    big.write_text(text[:root_end] + "<!-- " + "x" * (48 << 20) + " -->\n" + text[root_end:])
    done = threading.Event()
    outcome = []

    def load():
        try:
            board.vendor_set_reel_file_path(big)
            outcome.append("loaded")
        except yarvo.BoardError as error:
            outcome.append(error.code)
        finally:
            done.set()

    loader = threading.Thread(target=load)
    loader.start()
    refused = 0
    while not done.is_set():
        try:
            board.get_dll_version()
        except RuntimeError as error:
            assert "another thread" in str(error)
            refused += 1
    loader.join()
    assert outcome == ["loaded"] and refused > 0
    assert board.get_inputs() == (0, 0)


def test_types_docstrings_and_stub():
    assert yarvo.__version__ == os.environ["YARVO_TEST_VERSION"]
    for e in (yarvo.KReelMsg, yarvo.USBBoardSpeed, yarvo.KReelInputBit, yarvo.KReelOutputBit):
        assert issubclass(e, enum.IntEnum)
    assert [m.value for m in yarvo.KReelMsg][-1] == 30 and len(yarvo.KReelOutputBit) == 64
    assert issubclass(yarvo.NoBoardError, yarvo.BoardError)
    for name in set(yarvo.__all__) - {"__version__"}:
        assert getattr(yarvo, name).__doc__, name
    for name in public_methods(yarvo.Board):
        # pybind11 puts the signature first; a text must follow it.
        assert len(getattr(yarvo.Board, name).__doc__.strip().splitlines()) > 1, name
    # The stub names what the module has, and the Board methods it has.
    stub = ast.parse((pathlib.Path(yarvo.__file__).parent / "__init__.pyi").read_text())
    classes = {n.name: n for n in stub.body if isinstance(n, ast.ClassDef)}
    assert set(classes) == set(yarvo.__all__) - {"__version__"}
    stubbed = {n.name for n in classes["Board"].body if isinstance(n, ast.FunctionDef)}
    assert stubbed - {"__init__", "__enter__", "__exit__"} == public_methods(yarvo.Board) | {"closed"}


def test_python_example_spins_to_its_symbols():
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python" / "spin.py"
    run = subprocess.run([sys.executable, str(example), "--reels", str(REEL_FILE), "--speed", "-180", "5", "9"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert "reel 1: at rest on symbol 9 (position 180, offset 0)" in run.stdout.splitlines()
