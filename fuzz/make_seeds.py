#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/.

reel_file: the example reel-definition file and small files shaped like
the test suite's (limits, encodings, rejected items).
board_replies: operation programs in the target's input format (see
fuzz_board_replies.cpp): per step a reply count, the replies, an operation
code and its arguments.
session: session files (tools/common/session.h) of each kind of event,
one cut in its last line and one with a line the reader refuses.
"""
import json
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def reel_def(t, symbols='steps-per-turn="48" symbols-per-turn="4" s000="0" s001="24" s002="48" s003="72"',
             ramps=None, params=None):
    params = params or ('position-detection-method="1" tamper-detection-method="0" duty-cycle-off="40" '
                        'duty-cycle-on="200" tab-width="6" tab-type="1" tab-offset="0" error-deadband="3"')
    ramps = ramps or [ramp(100, "half", [90, 60, 40], [60, 90]), ramp(200, "full", [90, 60, 40, 25], [40, 60, 90])]
    return (f'<reel-def type="{t}"><params {params}/><symbol-table {symbols}/>' + "".join(ramps) + "</reel-def>")


def entries(letter, values):
    return "".join(f' {letter}{i:03d}="{v}"' for i, v in enumerate(values))


def ramp(speed, step, up, down):
    return (f'<ramp-table speed="{speed}" step-type="{step}">'
            f'<ramp-up num-entries="{len(up)}"{entries("r", up)}/>'
            f'<ramp-down num-entries="{len(down)}"{entries("r", down)}/></ramp-table>')


def doc(body, head='<?xml version="1.0"?>\n'):
    return head + "<tamso-reel-definitions>" + body + "</tamso-reel-definitions>\n"


def reel_file_seeds():
    out = HERE / "corpus" / "reel_file"
    (out / "example.xml").write_bytes((ROOT / "examples" / "tamso-reel-definitions.xml").read_bytes())
    many = f'steps-per-turn="1000" symbols-per-turn="200"{entries("s", range(0, 2000, 10))}'
    seeds = {
        "band-a.xml": doc(reel_def("band-a")),
        "limits.xml": doc(reel_def("classic-12", many,
                                   [ramp(10 * (i + 1), "full" if i % 2 else "half", [9] * 60, [9] * 60)
                                    for i in range(25)])),
        "beyond-limits.xml": doc(reel_def("band-a", 'steps-per-turn="48" symbols-per-turn="201"') +
                                 reel_def("classic-12", ramps=[ramp(100, "half", [1] * 61, [1])])),
        "width.xml": doc(reel_def("band-a", 'steps-per-turn="-1" symbols-per-turn="456"' + entries("s", range(200)),
                                  params='position-detection-method="300" tamper-detection-method="-1" '
                                  'duty-cycle-off="100" duty-cycle-on="156" tab-width="-1" tab-type="12abc" '
                                  'tab-offset="0x1F" error-deadband="257"')),
        "typeless-first.xml": doc('<reel-def/>' + reel_def("band-a")),
        "duplicates.xml": doc(reel_def("Band-A") + reel_def("BAND-A", 'steps-per-turn="96" symbols-per-turn="0"')),
        "step-types.xml": doc(reel_def("deluxe-22", ramps=[ramp(50, "Full", [5], []), ramp(60, "quarter", [5], [5])])),
        "empty-ramp.xml": doc(reel_def("classic-20", ramps=[ramp(100, "half", [], [1])])),
        "geometry.xml": doc(reel_def("band-a", 'steps-per-turn="48" symbols-per-turn="3" s000="90" s001="10" s002="500"')),
        "nested.xml": doc("<a><b><c>" + reel_def("band-a") + "</c></b></a>" + "<!-- <reel-def type='x'> -->"),
    }
    for name, text in seeds.items():
        (out / name).write_text(text)
    (out / "bom-utf8.xml").write_bytes(b"\xef\xbb\xbf" + doc(reel_def("gl\u00fcck")).encode())
    (out / "latin1.xml").write_bytes(doc(reel_def("caf\xe9"), '<?xml version="1.0" encoding="ISO-8859-1"?>')
                                     .encode("latin-1"))


# --- board_replies ------------------------------------------------------

OPS = {name: i for i, name in enumerate([
    "Init", "InitUSBBoard", "GetInputs", "GetInputBit", "GetChangedInputs", "SetOutputs", "ModifyOutputs",
    "SetOutputBit", "SetReelLamps", "GetFirmwareVersion", "GetPowerStatus", "ConfigureReels", "SetDutyCycle",
    "SpinRampUp", "SpinRampDown", "ReelSynchroniseEnable", "ClearTamperedState", "SpinReels",
    "SpinReelStepForward", "SpinReelStepBack", "SpinReelSymbolForward", "SpinReelSymbolBack", "SpinStartSkill",
    "SpinStopSkill", "StopCurrentSpinAtPosition", "GetReelStatus", "VendorSetReelFilePath",
    "VendorConfigureReel", "VendorConfigureReel2", "VendorSpinReelToSymbol", "VendorSpinReelToSymbol2",
    "VendorSpinReelNumberOfSymbols", "VendorSynchroniseReel", "VendorSpinReelStartSkill",
    "VendorSpinReelStopSkill", "VendorSpinReelStopSkill2", "VendorStopReelSpinAtPosition",
    "VendorGetReelStatus", "VendorGetReelStatus2", "GetBoardSpeed", "Cabinet", "Versions"])}


def errno_reply(e):
    return bytes([0, e])


def length_reply(n):
    return bytes([1]) + struct.pack("<I", n & 0xFFFFFFFF)


def echo_reply(b):
    return bytes([2, b])


def status_reply(b):
    return bytes([3, b])


def payload_reply(data):
    return bytes([4]) + struct.pack("<H", len(data)) + bytes(data)


def step(op, args=b"", replies=()):
    return bytes([len(replies)]) + b"".join(replies) + bytes([OPS[op]]) + bytes(args)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def status(position, word1=0, flags=0, mode=1, duty=200, turn=96):
    return [position >> 8, position & 255, word1 >> 8, word1 & 255, flags, mode & 255, duty, turn >> 8, turn & 255]


def board_reply_seeds():
    out = HERE / "corpus" / "board_replies"
    seeds = {
        "all-ops-clean": b"".join([
            step("GetInputs"), step("GetInputBit", [12]), step("GetChangedInputs"), step("SetOutputs", u32(1) + u32(0x8000)),
            step("ModifyOutputs", u32(0) + u32(7) + u32(0) + u32(0)), step("SetOutputBit", [40, 1]),
            step("SetReelLamps", [2, 1]), step("GetFirmwareVersion"), step("GetPowerStatus"),
            step("SetDutyCycle", [1, 200, 55]), step("SpinRampUp", [1, 3] + [90] * 60),
            step("SpinRampDown", [1, 2] + [60] * 60), step("ReelSynchroniseEnable", [0]),
            step("ClearTamperedState", [0]), step("SpinReels", [1, 0xFE] + list(u16(50))),
            step("SpinReelStepForward", [2, 2] + list(u16(100))), step("SpinReelStepBack", [2, 1] + list(u16(100))),
            step("SpinStartSkill", [3, 0xFF]), step("SpinStopSkill", [3]), step("StopCurrentSpinAtPosition", [3] + list(u32(40))),
            step("GetReelStatus", [1]), step("VendorSpinReelToSymbol", [1, 5] + list(u16(150))),
            step("VendorSpinReelNumberOfSymbols", [1] + list(u16(14)) + list(u16(100))),
            step("VendorSynchroniseReel", [2]), step("VendorSpinReelStartSkill", [3] + list(u16(-100))),
            step("Cabinet", [2] + list(u16(300))), step("VendorSpinReelStopSkill", [3]),
            step("VendorStopReelSpinAtPosition", [0, 3]), step("VendorGetReelStatus", [1]), step("GetBoardSpeed"),
            step("ConfigureReels", [8] + list(u32(400)) + list(u32(300)) + [4, 5]), step("SpinReelSymbolForward", [6, 1, 3]),
            step("SpinReelSymbolBack", [6, 2, 3]), step("Versions"),
        ]),
        "status-replies": b"".join([
            step("GetReelStatus", [1], [payload_reply(status(300, 5, 3, 0, 1))]),
            step("GetReelStatus", [1], [payload_reply(status(300)[:8])]),
            step("VendorGetReelStatus", [1], [payload_reply(status(190))]),
            step("VendorGetReelStatus", [1], [payload_reply(status(0xFFFF))]),
            step("VendorSpinReelToSymbol", [1, 11] + list(u16(-100)), [payload_reply(status(20))]),
            step("VendorSpinReelStopSkill", [1], [payload_reply(status(191))]),
        ]),
        "transfer-faults": b"".join([
            step("GetInputs", replies=[errno_reply(19)]), step("GetInputs", replies=[length_reply(1)]),
            step("GetInputs", replies=[length_reply(256)]), step("GetInputs", replies=[echo_reply(21)]),
            step("GetInputs", replies=[status_reply(1)]), step("GetInputs", replies=[payload_reply([5, 0x80])]),
            step("GetChangedInputs", replies=[payload_reply([0x34])]), step("GetPowerStatus", replies=[payload_reply([])]),
            step("GetFirmwareVersion", replies=[payload_reply([0x41] * 253)]),
            step("GetFirmwareVersion", replies=[payload_reply([0x42] * 300)]),
        ]),
        "configure-faults": b"".join(
            step("VendorConfigureReel", [5, i % 4], [payload_reply([]) for _ in range(i)] + [errno_reply(5)])
            for i in range(4)),
        "unplug-replug": b"".join([
            step("Cabinet", [0]), step("VendorSpinReelToSymbol", [0, 2] + list(u16(100))), step("Init"),
            step("Cabinet", [1]), step("Init"), step("InitUSBBoard", [3]), step("VendorConfigureReel", [0, 1]),
            step("VendorSpinReelToSymbol", [0, 2] + list(u16(100))),
        ]),
    }
    for name, data in seeds.items():
        (out / name).write_bytes(data)


def session_seeds():
    out = HERE / "corpus" / "session"
    out.mkdir(parents=True, exist_ok=True)

    def lines(*objects):
        return "".join(json.dumps(o, separators=(",", ":")) + "\n" for o in objects)

    header = {"format": "yarvo-session", "version": 1, "project": "1.2.0", "library": "14",
              "recorder": "yarvoctl record", "started": "2026-12-08T13:21:04.512337Z",
              "boards": [{"board": 0, "product": "K-Mora Yarvo Board\n", "speed": "12\n", "node": 0},
                         {"board": 2, "product": None, "product_hex": "4b2dff", "speed": None, "node": 13}]}

    def transfer(t, request, response=None, errno=0, **extra):
        line = {"event": "transfer", "t": t, "board": 0, "request": request}
        if errno:
            line.update(result=-1, errno=errno)
        else:
            line.update(result=0, response_length=len(response) // 2, response=response)
        line.update(extra)
        return line

    discovery = [
        {"event": "attribute", "t": 702, "board": 0, "name": "product", "text": "K-Mora Yarvo Board\n"},
        {"event": "attribute", "t": 731, "board": 0, "name": "speed", "text": "12\n"},
        {"event": "attribute", "t": 740, "board": 1, "name": "product", "errno": 2},
        {"event": "attribute", "t": 745, "board": 2, "name": "speed", "hex": "ff3132"},
        {"event": "open", "t": 760, "board": 0, "errno": 0},
    ]
    exchanges = [
        transfer(815, "0a", "0a00594152564f2d53494d20312e30"),
        transfer(820, "14", "1400000000"),
        transfer(830, "28030060043200", "2800"),
        transfer(840, "29000100ec", "2900"),
        transfer(850, "2f00", "2f0000600000042e00c0"),
        transfer(860, "2f00", errno=110),
        transfer(870, "14", "14" * 150, block=[2, 6, 1, 257]),
        {"event": "transfer", "t": 880, "board": 0, "request": "00" * 512, "block": [3, 6, 900, 257],
         "result": 0, "response_length": 300, "response": "15" * 300},
    ]
    whole = lines(header, *discovery, *exchanges, {"event": "end", "t": 5023112, "status": 0})
    seeds = {
        "whole.jsonl": whole,
        "cut.jsonl": whole[:len(whole) - 30],
        "bad-line.jsonl": lines(header, *discovery[:2]) + "{\"event\":\"transfer\",\"t\":\n" + lines(*exchanges[:2]),
    }
    for name, text in seeds.items():
        (out / name).write_text(text)


if __name__ == "__main__":
    reel_file_seeds()
    board_reply_seeds()
    session_seeds()
