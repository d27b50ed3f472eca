#!/usr/bin/env python3
"""Tool tests for yarvoctl, run against the virtual board (preload transport).

Every subcommand is run as a technician would run it: exit status and output
are checked, readable and --json, and every failure path (no board, wrong
address, unconfigured reel, bad arguments).  check-reels runs on a set of
broken files with each expected diagnostic checked with its line; trace runs
around the demo and must decode every transfer the virtual board logged.

Each yarvoctl run is a new process with a fresh virtual board, configured by
YARVO_SIM_BOARDS ("INSTANCE:ADDRESS[:SPEED],...").
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

ARGS = None
FAILURES = []
PASSED = 0
SKIPPED = []


def run(argv, boards="0:0", preload=None, cwd=None, env_extra=None, timeout=60):
    env = dict(os.environ)
    # Through the i386 runner the preload goes to the 32-bit program only.
    env["YARVO_GUEST_LD_PRELOAD" if ARGS.runner else "LD_PRELOAD"] = preload or ARGS.sim_preload
    env["YARVO_SIM_BOARDS"] = boards
    env.pop("YARVO_TRACE_LIBRARY", None)
    # In sanitizer builds the preloaded libraries come before the sanitizer's
    # runtime, which is fine here.
    asan = env.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
    if env_extra:
        env.update(env_extra)
    argv = [ARGS.reel_file if a == "@REELS" else a for a in argv]
    try:
        proc = subprocess.run(ARGS.runner + [ARGS.yarvoctl] + argv, capture_output=True, text=True,
                              env=env, cwd=cwd or ARGS.workdir, timeout=timeout)
    except subprocess.TimeoutExpired:
        return -1, "", "timed out after %d s" % timeout
    return proc.returncode, proc.stdout, proc.stderr


def check(name, condition, detail=""):
    global PASSED
    if condition:
        PASSED += 1
    else:
        FAILURES.append(name + (": " + detail if detail else ""))


def machine():
    """What tests/machine/probe.sh found (the test's only source of skips)."""
    values = {}
    if ARGS.machine:
        with open(ARGS.machine) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition("=")
                values[key] = " ".join(shlex.split(value))
    return values


def reels(*extra):
    """Arguments naming the example reel-definition file (filled in by run)."""
    return ["--reels", "@REELS"] + list(extra)


# --- Subcommands that succeed: (arguments, boards, pattern in the readable
# output, a key the JSON output must carry).
SUCCESS = [
    (["detect"], "0:0", r'^Kmora_0: "K-Mora Yarvo Board", speed 12 \(full\), address 0$', "instances"),
    (["detect"], "0:0,2:5:480", r'^Kmora_2: "K-Mora Yarvo Board", speed 480 \(high\), address 5$', "instances"),
    (["detect"], "0:0", r"^Kmora_15: absent$", "instances"),
    (["info"], "0:0", r"^library version:  14\nproduct version:  3\nfirmware version: YARVO-SIM 1\.0\n"
                      r"power status:     1 \(0x01\)\nUSB speed:        full$", "firmware"),
    (["--address", "3", "info"], "0:0,1:3:480", r"USB speed:        high", "usbSpeed"),
    (["inputs"], "0:6", r"^inputs: 0x060000 \(on: 17 18\), address 6$", "bits"),
    (["inputs", "--watch", "--count", "3", "--interval", "5"], "0:0", r"^inputs: 0x000000 \(on: none\), address 0$", "inputs"),
    (["changed-inputs"], "0:0", r"^changed inputs: 0x0000 \(none\)$", "changed"),
    (["output", "40", "on"], "0:0", r"^output 40 on$", "output"),
    (["outputs", "0x1", "32768"], "0:0", r"^outputs set: first 0x00000001, second 0x00008000$", "second"),
    (["modify-outputs", "0", "0x700", "0", "0"], "0:0", r"^outputs modified: 0x00000000 0x00000700", "w2"),
    (["lamps", "0", "on", "--declare", "1"], "0:0", r"^reel 0 lamps on$", "reel"),
    (reels("configure", "2", "BAND-a"), "0:0", r"^reel 2 configured as BAND-a\n  turn 96 half steps, 4 symbols, speeds 100 \(half\), 200 \(full\)$", "speeds"),
    (["configure-reels", "3", "96", "4", "50", "0"], "0:0", r"^reels 0 to 2 declared$", "count"),
    (["duty", "1", "40", "200", "--declare", "2"], "0:0", r"^reel 1 duty cycle off 40 on 200$", "on"),
    (["sync", "0", "--enable-only", "--declare", "1"], "0:0", r"^reel 0 synchronisation enabled$", "spin"),
    (reels("sync", "2", "--type", "band-a"), "0:0", r"^reel 2 synchronising$", "spin"),
    (["clear-tamper", "0", "--declare", "1"], "0:0", r"^reel 0 tampered state cleared$", "reel"),
    (["spin", "0", "--steps", "10", "--mode", "-2", "--declare", "1"], "0:0", r"^reel 0: spinning 10 steps, step mode -2$", "mode"),
    (reels("spin", "2", "--to-symbol", "3", "--speed", "100", "--type", "band-a"), "0:0", r"^reel 2: spinning to symbol 3 at speed 100$", "toSymbol"),
    (reels("spin", "2", "--symbols", "5", "--speed", "-100", "--type", "band-a"), "0:0", r"^reel 2: spinning 5 symbols at speed -100$", "symbols"),
    (["skill", "start", "0", "--mode", "1", "--declare", "1"], "0:0", r"^reel 0 skill spin started$", "mode"),
    (reels("skill", "start", "2", "--speed", "200", "--type", "band-a"), "0:0", r"^reel 2 skill spin started$", "speed"),
    (reels("skill", "stop", "2", "--type", "band-a"), "0:0", r"^reel 2 stopping on the next symbol$", "reel"),
    (reels("skill", "stop", "2", "--symbol", "1", "--type", "band-a"), "0:0", r"^reel 2 stopping on symbol 1$", "symbol"),
    (["skill", "stop", "0", "--position", "10", "--declare", "1"], "0:0", r"^reel 0 stopping at position 10$", "position"),
    (["skill", "stop", "0", "--plain", "--declare", "1"], "0:0", r"^reel 0 stopping$", "plain"),
    # The virtual board's firmware names itself: the status fields by its model's names.
    (["status", "0", "--declare", "1"], "0:0", r"^reel 0: position 0, steps to go 0, flags none, step mode 0, duty on 0, turn \d+$", "turnLength"),
    (reels("status", "2", "--type", "band-a"), "0:0", r"; nearest symbol 0 offset 0, speed 100$", "nearestSymbol"),
    (["status", "0", "--declare", "1", "--watch", "--count", "3", "--interval", "5"], "0:0", r"^reel 0: position 0,", "position"),
    (["codes"], "0:0", r"^ 29  ReelMsgReelTypeNotFound ", "codes"),
]


def test_success():
    for argv, boards, pattern, key in SUCCESS:
        name = "yarvoctl " + " ".join(argv)
        rc, out, err = run(argv, boards)
        check(name + " exits 0", rc == 0, "rc=%d stderr=%r" % (rc, err))
        check(name + " output", re.search(pattern, out, re.M) is not None, "output %r" % out)
        check(name + " quiet stderr", err == "", err)
        rc, out, err = run(["--json"] + argv, boards)
        try:
            # --watch prints one JSON document a line.
            docs = [json.loads(line) for line in out.splitlines()]
        except ValueError:
            docs = []
        check(name + " --json", rc == 0 and docs and all(key in d for d in docs), "rc=%d out=%r" % (rc, out))


def test_json_values():
    rc, out, _ = run(reels("--json", "status", "2", "--type", "band-a"))
    doc = json.loads(out)
    check("status --json values", doc["reel"] == 2 and doc["speed"] == 100 and doc["nearestSymbol"] == 0
          and doc["symbolOffset"] == 0 and doc["turnLength"] == 96 and doc["dutyOn"] == 200 and doc["flagNames"] == [],
          out)
    rc, out, _ = run(["--json", "detect"], "0:0,3:2:480")
    doc = json.loads(out)
    present = [i for i in doc["instances"] if i["present"]]
    check("detect --json lists all 16 instances", len(doc["instances"]) == 16, out)
    check("detect --json present boards", [(i["instance"], i["address"], i["usbSpeed"]) for i in present]
          == [(0, 0, "full"), (3, 2, "high")], out)
    # Numbers are decimal or 0x hexadecimal, never octal.
    rc, out, _ = run(["--json", "outputs", "010", "0x10"])
    doc = json.loads(out) if rc == 0 else {}
    check("outputs 010 0x10 is ten and sixteen", doc.get("first") == 10 and doc.get("second") == 16, out)
    # The watch stops after --count reads and reports only changes.
    rc, out, _ = run(["--json", "inputs", "--watch", "--count", "4", "--interval", "5"])
    check("inputs --watch reports a steady input once", rc == 0 and len(out.splitlines()) == 1, out)


# --- Failures: (arguments, boards, exit status, the whole standard error).
NOT_IN_RUN = "reel %d is not configured in this run: add --type TYPE or --declare"
FAILURE = [
    (["info"], "", 1, "yarvoctl: Init: no board found"),
    (["detect"], "", 0, ""),  # detection with no board is not a failure
    (["--address", "5", "info"], "0:0", 1, "yarvoctl: InitUSBBoard: no board with address 5"),
    (["--address", "16", "info"], "0:0", 1, "yarvoctl: InitUSBBoard: ReelMsgBadParameter (3)"),
    (["--address", "1", "inputs"], "0:0,9:1", 1, "yarvoctl: InitUSBBoard: no board with address 1"),
    (["spin", "2", "--steps", "10", "--mode", "1"], "0:0", 1, "yarvoctl: SpinReels: ReelMsgReelNotConfigured (9): " + NOT_IN_RUN % 2),
    (["status", "3"], "0:0", 1, "yarvoctl: GetReelStatus: ReelMsgReelNotConfigured (9): " + NOT_IN_RUN % 3),
    (["lamps", "1", "off"], "0:0", 1, "yarvoctl: SetReelLamps: ReelMsgReelNotConfigured (9): " + NOT_IN_RUN % 1),
    (["skill", "stop", "1"], "0:0", 1, "yarvoctl: VendorSpinReelStopSkill: ReelMsgReelNotConfigured (9): " + NOT_IN_RUN % 1),
    (["status", "2", "--declare", "2"], "0:0", 1, "yarvoctl: GetReelStatus: ReelMsgReelNotConfigured (9): reel 2 is not "
     "configured in this run: --declare 2 declares reels 0 to 1; add --type TYPE or --declare 3"),
    # Any reel number above 7 is the library's code 8, however large.
    (["status", "8", "--declare", "8"], "0:0", 1, "yarvoctl: GetReelStatus: ReelMsgBadReelNumber (8): reel 8: a board has reels 0 to 7"),
    (["status", "9"], "0:0", 1, "yarvoctl: GetReelStatus: ReelMsgBadReelNumber (8): reel 9: a board has reels 0 to 7"),
    (["status", "300"], "0:0", 1, "yarvoctl: GetReelStatus: ReelMsgBadReelNumber (8): reel 300: a board has reels 0 to 7"),
    (["lamps", "4294967295", "on", "--declare", "1"], "0:0", 1,
     "yarvoctl: SetReelLamps: ReelMsgBadReelNumber (8): reel 4294967295: a board has reels 0 to 7"),
    (["output", "64", "on"], "0:0", 1, "yarvoctl: SetOutputBit: ReelMsgBadParameter (3)"),
    (["duty", "0", "200", "56", "--declare", "1"], "0:0", 1, "yarvoctl: SetDutyCycle: ReelMsgBadDutyCycle (14)"),
    (["spin", "0", "--steps", "32768", "--mode", "1", "--declare", "1"], "0:0", 1, "yarvoctl: SpinReels: ReelMsgBadStepCount (15)"),
    (["spin", "0", "--steps", "1", "--mode", "3", "--declare", "1"], "0:0", 1, "yarvoctl: SpinReels: ReelMsgBadStepMode (13)"),
    (["configure-reels", "9", "0", "0", "1", "0"], "0:0", 1, "yarvoctl: ConfigureReels: ReelMsgBadParameter (3)"),
    (["status", "0", "--declare", "1,0,1,0"], "0:0", 1, "yarvoctl: ConfigureReels: ReelMsgBadParameter (3)"),
    # A leading zero is decimal: 010 declares ten reels, which the library refuses (eight would pass).
    (["status", "0", "--declare", "010"], "0:0", 1, "yarvoctl: ConfigureReels: ReelMsgBadParameter (3)"),
    # Reel-file failures say more after the code: see test_reel_file_diagnostics.
    (reels("configure", "0", "no-such-type"), "0:0", 1, None),
    (["configure", "0", "band-a"], "0:0", 1, None),
    (["--reels", "missing.xml", "configure", "0", "band-a"], "0:0", 1, None),
    (reels("spin", "2", "--to-symbol", "4", "--speed", "100", "--type", "band-a"), "0:0", 1,
     "yarvoctl: VendorSpinReelToSymbol: ReelMsgBadParameter (3)"),
    (reels("skill", "start", "0", "--speed", "0", "--type", "band-a"), "0:0", 1,
     "yarvoctl: VendorSpinReelStartSkill: ReelMsgBadParameter (3)"),
    (reels("skill", "stop", "0", "--symbol", "4", "--type", "band-a"), "0:0", 1,
     "yarvoctl: VendorStopReelSpinAtPosition: ReelMsgBadParameter (3)"),
    (["sync", "0", "--declare", "1"], "0:0", 1, None),  # no definition: the library's choice of code
    # As yarvo-sim and a shell: 127 for a program not found, 126 for one that cannot run.
    (["trace", "--", "/nonexistent/program"], "0:0", 127, "yarvoctl: trace: cannot run /nonexistent/program: No such file or directory"),
    (["trace", "--", "/"], "0:0", 126, "yarvoctl: trace: cannot run /: Permission denied"),
]

# --- Usage errors: exit 2, "yarvoctl: ..." and a hint on standard error.
USAGE = [
    [],
    ["frobnicate"],
    ["output", "x", "on"],
    ["output", "1", "dim"],
    ["lamps", "0"],
    ["status", "-1"],
    ["duty", "0", "256", "0"],
    ["outputs", "1"],
    ["outputs", "1", "0x100000000"],
    ["spin", "0"],
    ["spin", "0", "--steps", "5"],
    ["spin", "0", "--steps", "5", "--mode", "1", "--to-symbol", "2", "--speed", "1"],
    ["spin", "0", "--to-symbol", "2"],
    ["skill"],
    ["skill", "start", "0"],
    ["skill", "start", "0", "--speed", "5", "--mode", "1"],
    ["status", "0", "--declare", "two"],
    # Numbers are never wrapped into range: refused here as configure-reels refuses them.
    ["status", "0", "--declare", "4294967297"],
    ["status", "0", "--declare", "1,0,1,300,-300"],
    ["status", "0", "--declare", "1,0,1,50,0,7"],
    ["configure-reels", "4294967297", "0", "1", "50", "0"],
    ["configure-reels", "1", "0", "1", "300", "0"],
    ["spin", "0", "--steps", "1e3", "--mode", "1"],
    ["outputs", "0x", "1"],
    ["check-reels"],
    ["trace"],
    ["trace", "--filter", "STATS", "--", "true"],
    ["trace", "--filter", "reel=x", "--", "true"],
    ["--address", "x", "info"],
    ["--json=maybe", "info"],
]

SUBCOMMANDS = ["detect", "info", "inputs", "changed-inputs", "output", "outputs", "modify-outputs", "lamps",
               "configure", "configure-reels", "duty", "sync", "clear-tamper", "spin", "skill", "skill start",
               "skill stop", "status", "check-reels", "trace", "codes"]


def test_failures():
    for argv, boards, status, stderr in FAILURE:
        name = "yarvoctl " + " ".join(argv) + " [boards %s]" % boards
        rc, out, err = run(argv, boards)
        check(name + " exit", rc == status, "rc=%d stderr=%r" % (rc, err))
        if stderr is not None:
            check(name + " message", err.strip() == stderr, "stderr=%r" % err)
        elif status == 1:
            check(name + " message format", re.fullmatch(r"yarvoctl: \w+: ReelMsg\w+ \(\d+\)(: .+)?\n", err) is not None, err)
        if status != 0:
            check(name + " prints no result", out == "", out)
    for argv in USAGE:
        name = "yarvoctl " + " ".join(argv)
        rc, out, err = run(argv)
        check(name + " is a usage error", rc == 2, "rc=%d stderr=%r" % (rc, err))
        check(name + " says why", err.startswith("yarvoctl: ") and "--help" in err, err)
    # An unknown subcommand is named, wherever the global options put it.
    for argv in (["frobnicate"], ["--address", "3", "frobnicate", "now"]):
        rc, out, err = run(argv)
        check("yarvoctl %s names it" % " ".join(argv), rc == 2 and "unknown command 'frobnicate'" in err, err)
    # With --json errors are also one JSON document on standard output; the
    # exit status stays what it is without.
    for argv, status, expected in [
            (["--json", "status", "3"], 1, {"operation": "GetReelStatus", "code": 9, "name": "ReelMsgReelNotConfigured"}),
            (["--json", "--address", "5", "info"], 1, {"operation": "InitUSBBoard", "message": "no board with address 5"}),
            (["--json", "frobnicate"], 2, {"usage": True, "message": "unknown command 'frobnicate'"}),
            (["--json", "status", "0", "--declare", "two"], 2, {"usage": True}),
            (["--json", "trace", "--", "/nonexistent/program"], 127, {"operation": "trace"})]:
        rc, out, err = run(argv)
        try:
            doc = json.loads(out)["error"]
        except (ValueError, KeyError, TypeError):
            doc = {}
        check("yarvoctl %s reports the error as JSON" % " ".join(argv),
              rc == status and all(doc.get(k) == v for k, v in expected.items()) and err.startswith("yarvoctl: "),
              "rc=%d out=%r err=%r" % (rc, out, err))
    for sub in SUBCOMMANDS:
        rc, out, err = run(sub.split() + ["--help"])
        check(sub + " --help", rc == 0 and "Usage:" in out and err == "", "rc=%d out=%r" % (rc, out[:200]))


# --- check-reels: each broken file with its expected diagnostics, in order.
# A diagnostic is (severity, text that marks its line, words of its message).
CHECKS = {
    "clean.xml": (0, []),
    "not-xml.xml": (1, [("error", "</reel-deff>", "Error reading end tag.: configuring any reel fails with ReelMsgFileLoadFailed (27)")]),
    "no-root.xml": (1, [("error", "<reel-definitions>", "no root element tamso-reel-definitions")]),
    "errors.xml": (1, [
        ("error", '<params position-detection-method="1" tamper', "attribute tab-offset: required attribute is missing"),
        ("error", '<symbol-table steps-per-turn="48" symbols-per-turn="3"', "attribute s002: required attribute is missing"),
        ("error", 'step-type="quarter"', '"quarter" is neither half nor full'),
        ("error", 'num-entries="61"', "stored value 61 is above 60"),
        ("error", 'step-type="quarter"', "required element ramp-down is missing"),
        ("error", '<reel-def type="wrong-case">', "Params at line 13 does not count"),
        ("error", 'steps-per-turn="x48"', '"x48" does not begin with an integer'),
        ("error", 'symbols-per-turn="201"', "stored value 201 is above 200"),
        ("error", 'speed="fast"', '"fast" does not begin with an integer'),
    ]),
    "too-many-speeds.xml": (1, [("error", 'speed="260"', "a 26th ramp-table")]),
    "warnings.xml": (3, [
        ("warning", 'tab-width="6abc"', '"6abc" is read as 6'),
        ("warning", 'error-deadband="259"', "259 is stored in 8 bits as 3"),
        ("warning", 'duty-cycle-on="216"', "is 256 or more"),
        ("warning", 's002="24"', "positions must ascend"),
        ("warning", 's003="100"', "not below one turn (96 half steps)"),
        ("warning", 's003="100"', "s004: ignored"),
        ("warning", 'num-entries="300"', "300 is stored in 8 bits as 44"),
        ("warning", '<ramp-table speed="200"', "more than one turn"),
        ("warning", 'num-entries="0"', "empty ramp-up"),
        ("warning", '<reel-def type="BAND-A">', '"BAND-A" duplicates "band-a"'),
        ("warning", '<reel-def name="no-type-attribute">', "unreachable: hidden-one"),
    ]),
}


def line_of(path, marker):
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if marker in line:
                return number
    raise AssertionError("marker %r not in %s" % (marker, path))


DIAGNOSTIC = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+):(?P<col>\d+): (?P<severity>error|warning): (?P<text>.*)$")


def test_check_reels():
    for name, (status, expected) in sorted(CHECKS.items()):
        path = os.path.join(ARGS.cases, "reels", name)
        rc, out, err = run(["check-reels", path])
        check("check-reels %s exit" % name, rc == status, "rc=%d out=%r" % (rc, out))
        lines = out.splitlines()
        found = [DIAGNOSTIC.match(l) for l in lines[:-1]]
        check("check-reels %s diagnostics are located" % name, all(found), out)
        found = [m for m in found if m]
        check("check-reels %s count" % name, len(found) == len(expected),
              "%d found, %d expected:\n%s" % (len(found), len(expected), out))
        for m, (severity, marker, words) in zip(found, expected):
            line = line_of(path, marker)
            ok = m.group("severity") == severity and int(m.group("line")) == line and words in m.group("text")
            check("check-reels %s: %s" % (name, words), ok, "got %r, expected %s at line %d" % (m.group(0), severity, line))
        check("check-reels %s summary" % name, re.search(r": \d+ reel types? checked, \d+ errors?, \d+ warnings?$", out) is not None, out)
        rc2, out2, _ = run(["--json", "check-reels", path])
        doc = json.loads(out2)
        check("check-reels --json %s" % name, rc2 == rc and len(doc["diagnostics"]) == len(expected)
              and [d["line"] for d in doc["diagnostics"]] == [int(m.group("line")) for m in found], out2)
    # The example file a host ships must be clean.
    rc, out, _ = run(["check-reels", ARGS.reel_file])
    check("check-reels on the example file", rc == 0 and out.endswith("0 errors, 0 warnings\n"), out)
    # --type: one type, found as the library finds it.
    warnings = os.path.join(ARGS.cases, "reels", "warnings.xml")
    rc, out, _ = run(["check-reels", warnings, "--type", "Empty-Start"])
    check("check-reels --type checks one type", rc == 3 and "1 reel type checked, 0 errors, 1 warning" in out, out)
    rc, out, _ = run(["check-reels", warnings, "--type", "hidden-one"])
    check("check-reels --type behind a reel-def without type", rc == 1 and
          ":%d:" % line_of(warnings, 'name="no-type-attribute"') in out and "is not found" in out, out)
    rc, out, _ = run(["check-reels", os.path.join(ARGS.cases, "reels", "absent.xml")])
    check("check-reels on a missing file", rc == 1 and "cannot open " in out and "No such file or directory" in out, out)
    # A file the library refuses before parsing it (elements nested too deep).
    with tempfile.TemporaryDirectory() as tmp:
        deep = os.path.join(tmp, "deep.xml")
        with open(deep, "w") as f:
            f.write("<tamso-reel-definitions>" + "<x>" * 70 + "</x>" * 70 + "</tamso-reel-definitions>\n")
        rc, out, _ = run(["check-reels", deep])
        check("check-reels on a file refused before parsing", rc == 1 and "refused before parsing" in out, out)
        rc, _, err = run(["--reels", deep, "configure", "0", "band-a"])
        check("the library refuses it too", "ReelMsgFileLoadFailed (27)" in err, err)


def test_reel_file_diagnostics():
    """Each way a reel-definition file fails names the file and the cause (with
    its line where it has one), in check-reels and in --reels / --type."""
    reels_dir = os.path.join(ARGS.cases, "reels")
    with open(os.path.join(reels_dir, "clean.xml")) as f:
        clean = f.read()
    with tempfile.TemporaryDirectory() as tmp:
        def file(name, text):
            path = os.path.join(tmp, name)
            with open(path, "w") as f:
                f.write(text)
            return path
        fifo = os.path.join(tmp, "fifo.xml")
        os.mkfifo(fifo)
        large = file("large.xml", "")
        os.truncate(large, (64 << 20) + 1)
        cut = file("cut.xml", clean[:clean.index('speed="200"') + 9])
        unclosed = file("unclosed.xml", clean.replace("</tamso-reel-definitions>", ""))
        quote = file("quote.xml", clean.replace('speed="100"', 'speed="100'))
        typo = file("typo.xml", clean.replace("<params ", "<parms ").replace("tab-offset=", "tab-offest="))
        attr = file("attr.xml", clean.replace("tab-offset=", "tab-offest="))
        errors = os.path.join(reels_dir, "errors.xml")
        long_path = "/" + "d" * 250 + ".xml"
        cases = [
            (["--reels", "/nonexistent.xml", "configure", "0", "classic-12"], 1,
             ["VendorSetReelFilePath", "(27)", "cannot open /nonexistent.xml: No such file or directory"]),
            (["configure", "0", "band-a"], 1, ["(27)", "cannot open tamso-reel-definitions.xml"]),
            (reels("configure", "0", "no-such-type"), 1,
             ["(29)", 'reel type "no-such-type" is not found', "check-reels " + ARGS.reel_file]),
            (["--reels", errors, "configure", "0", "missing-bits"], 1,
             ["(30)", errors + ":5:5:", 'reel type "missing-bits"', "tab-offset", "check-reels " + errors]),
            (["--reels", long_path, "configure", "0", "x"], 1, ["(28)", "more than 250"]),
            (["--reels", fifo, "configure", "0", "band-a"], 1, ["is a FIFO, not a reel-definition file"]),
            (["--reels", tmp, "configure", "0", "band-a"], 1, ["is a directory"]),
            (["--reels", large, "configure", "0", "band-a"], 1, ["more than the 64 MiB"]),
            (["--reels", cut, "configure", "0", "band-a"], 1, ["(27)", cut + ":11:", "the file ends before this quoted value is closed"]),
            (["check-reels", fifo], 1, ["is a FIFO"]),
            (["check-reels", "/dev/null"], 1, ["is a character device"]),
            (["check-reels", large], 1, ["more than the 64 MiB"]),
            (["check-reels", cut], 1, [":11:", "the file ends before this quoted value is closed"]),
            (["check-reels", unclosed], 1, [":2:1:", "element 'tamso-reel-definitions' is closed"]),
            (["check-reels", quote], 1, [":7:", "Error reading Attributes"]),
            (["check-reels", typo], 1, [":4:5:", "unknown element 'parms' (did you mean 'params'?)"]),
            (["check-reels", attr], 1, ["unknown attribute 'tab-offest' (did you mean 'tab-offset'?)"]),
        ]
        for argv, status, words in cases:
            name = "yarvoctl " + " ".join(a if len(a) < 60 else a[:20] + "..." for a in argv)
            rc, out, err = run(argv, timeout=20)
            text = out + err
            check(name + " exit", rc == status, "rc=%d out=%r err=%r" % (rc, out, err))
            for w in words:
                check(name + ": " + w, w in text, text)
            check(name + " names a cause", "refused before parsing" not in text, text)


def test_checker_agrees_with_library():
    """What check-reels accepts, the library's VendorConfigureReel decodes; what
    it rejects, the library rejects with ReelMsgReelDataError."""
    files = [ARGS.reel_file] + [os.path.join(ARGS.cases, "reels", n) for n in sorted(CHECKS)]
    compared = 0
    for path in files:
        rc, out, _ = run(["--json", "check-reels", path])
        for t in json.loads(out)["types"]:
            if not t["reachable"]:
                continue
            rc, _, err = run(["--reels", path, "configure", "0", t["name"]])
            library_rejects = "ReelMsgReelDataError (30)" in err
            check("library and check-reels agree on %s in %s" % (t["name"], os.path.basename(path)),
                  library_rejects == (not t["accepted"]), "accepted=%s stderr=%r" % (t["accepted"], err))
            compared += 1
    check("reel types compared with the library", compared >= 8, str(compared))


# Edge cases of the file rules, each a one-attribute change to clean.xml:
# (text replaced, replacement, exit status, words the report must contain).
EDGES = [
    ('symbols-per-turn="4"', 'symbols-per-turn="456"', 1, ["456 is stored in 8 bits as 200", "s004: required attribute is missing"]),
    ('symbols-per-turn="4"', 'symbols-per-turn="256"', 3, ["256 is stored in 8 bits as 0", "no symbols", "s000: ignored"]),
    ('symbols-per-turn="4"', 'symbols-per-turn="201"', 1, ["stored value 201 is above 200"]),
    ('symbols-per-turn="4"', 'symbols-per-turn="3"', 3, ["s003: ignored: beyond the count 3"]),
    ('<ramp-up num-entries="3"', '<ramp-up num-entries="0x3"', 3, ['"0x3" is read as 0', "empty ramp-up", "r000: ignored"]),
    ('tab-width="6"', 'tab-width="-1"', 3, ["-1 is stored in 8 bits as 255"]),
    ('duty-cycle-on="200"', 'duty-cycle-on="257"', 3, ["257 is stored in 8 bits as 1"]),
    ('tab-type="1"', 'tab-type="300"', 3, ["only its low 8 bits (44) reach the board"]),
    ('steps-per-turn="48"', 'steps-per-turn="0"', 3, ["turn of 0 half steps"]),
    ('steps-per-turn="48"', 'steps-per-turn="40000"', 1, ["40000 is above 32767"]),
    ('steps-per-turn="48"', 'steps-per-turn="32767"', 0, []),
    ('s000="0"', 's0="0"', 1, ["s000: required attribute is missing"]),
    ('step-type="half"', 'step-type="HALF"', 0, []),
    ('step-type="half"', 'step-type=" half"', 1, ['" half" is neither half nor full']),
    ('speed="100"', 'speed=" +100 "', 0, []),
    ('speed="100"', 'speed="99999999999"', 3, ["does not fit in 32 bits"]),
    ('<ramp-table speed="200"', '<params/><ramp-table speed="200"', 3, ["only the first params"]),
    ('<ramp-down num-entries="3"', '<ramp-down num-entries="61"', 1, ["stored value 61 is above 60"]),
    ('<ramp-table speed="100"', '<!-- params --><ramp-table speed="100"', 0, []),
]


def test_file_rule_edges():
    with open(os.path.join(ARGS.cases, "reels", "clean.xml")) as f:
        clean = f.read()
    with tempfile.TemporaryDirectory() as tmp:
        for number, (old, new, status, words) in enumerate(EDGES):
            assert old in clean, old
            path = os.path.join(tmp, "edge%02d.xml" % number)
            with open(path, "w") as f:
                f.write(clean.replace(old, new, 1))
            name = "check-reels with %s" % new
            rc, out, _ = run(["check-reels", path])
            check(name + " exit", rc == status, "rc=%d out=%r" % (rc, out))
            for w in words:
                check(name + ": " + w, w in out, out)
            # The library decodes what the checker accepts, rejects what it rejects.
            rc, _, err = run(["--reels", path, "configure", "0", "band-a"])
            check(name + " agrees with the library", ("ReelMsgReelDataError (30)" in err) == (status == 1),
                  "rc=%d err=%r" % (rc, err))


TRACE_LINE = re.compile(r"^\[\s*\d+\.\d{6}\] (?P<board>Kmora_\d+) (?P<text>[A-Z][A-Z-]+( .*)? -> .+)$")


def test_trace():
    # The tracer starts the traced program itself: a 32-bit yarvoctl under
    # qemu-i386 cannot start another 32-bit program unless the kernel can.
    if ARGS.runner and machine().get("exec32") != "yes":
        SKIPPED.append("trace: a 32-bit program that starts another needs the kernel to run it: " +
                       machine().get("exec32_why", "unknown"))
        return
    with tempfile.TemporaryDirectory() as tmp:
        trace_file = os.path.join(tmp, "trace.txt")
        sim_log = os.path.join(tmp, "sim.log")
        env = {"YARVO_SIM_LOG": sim_log}
        rc, out, err = run(["trace", "-o", trace_file, "--", ARGS.demo, "--reels", ARGS.reel_file],
                           env_extra=env)
        check("trace around the demo exits with the demo's status", rc == 0, "rc=%d err=%r" % (rc, err))
        check("trace -o leaves standard error to the program", "Kmora_" not in err, err)
        with open(trace_file) as f:
            traced = f.read().splitlines()
        with open(sim_log) as f:
            logged_lines = f.read().splitlines()
        # The virtual board stamps its lines with its own clock; the rest of
        # each line must be what the tracer printed.
        logged_parsed = [TRACE_LINE.match(l) for l in logged_lines]
        check("every logged line is time-stamped and decoded", logged_lines and all(logged_parsed),
              "\n".join(logged_lines[:5]))
        logged = [m.group("board") + " " + m.group("text") for m in logged_parsed if m]
        stamps = [float(m.group(0)[1:].split("]")[0]) for m in logged_parsed if m]
        check("the virtual board's log is in time order", stamps == sorted(stamps), str(stamps[:10]))
        parsed = [TRACE_LINE.match(l) for l in traced]
        check("every traced line is decoded", traced and all(parsed) and not any("CMD-" in l for l in traced),
              "\n".join(traced[:5]))
        check("trace count matches the virtual board's log", len(traced) == len(logged) > 0,
              "%d traced, %d logged" % (len(traced), len(logged)))
        check("trace decodes as the virtual board logged",
              [m.group("board") + " " + m.group("text") for m in parsed if m] == logged,
              "first traced %r, first logged %r" % (traced[:1], logged[:1]))
        names = {m.group("text").split()[0] for m in parsed if m}
        check("the demo's commands are all there", {"INPUTS", "CONFIGURE-REELS", "MODIFY-OUTPUTS"} <= names, str(names))
        # The demo asks the firmware version first, which names the virtual
        # board: its status replies are shown by the model's names.
        status = [l for l in traced if " STATUS reel=" in l]
        check("status replies by the virtual board's names", status and all(
            re.search(r" -> pos=\d+ to-go=\d+ flags=[a-z0-9+-]+ mode=-?\d duty-on=\d+ turn=\d+$", l) for l in status)
            and any("flags=moving mode=-" in l for l in status), "\n".join(status[:5]))

        # --filter: terms of one kind are alternatives, a '-' term leaves out.
        for terms, keep in [("-STATUS", lambda t: not t.startswith("STATUS ")),
                            ("reel=2", lambda t: " reel=2 " in t),
                            ("SPIN,STOP-AT,reel=2", lambda t: t.split()[0] in ("SPIN", "STOP-AT") and " reel=2 " in t),
                            ("-STATUS,board=0", lambda t: not t.startswith("STATUS "))]:
            open(sim_log, "w").close()
            rc, out, err = run(["trace", "--filter", terms, "-o", trace_file, "--", ARGS.demo, "--reels", ARGS.reel_file,
                                "--seed", "7"], env_extra=env)
            with open(trace_file) as f:
                shown = [TRACE_LINE.match(l) for l in f.read().splitlines()]
            with open(sim_log) as f:
                everything = [TRACE_LINE.match(l) for l in f.read().splitlines()]
            expected = [m.group("text") for m in everything if m and keep(m.group("text"))]
            check("trace --filter %s" % terms, rc == 0 and all(shown) and 0 < len(expected) < len(everything) and
                  [m.group("text") for m in shown if m] == expected,
                  "rc=%d: %d shown, %d expected of %d" % (rc, len(shown), len(expected), len(everything)))

        # --raw adds the bytes of each request and response.
        rc, out, err = run(["trace", "--raw", "--", ARGS.yarvoctl, "spin", "0", "--steps", "118", "--mode", "-2",
                            "--declare", "1"])
        lines = err.splitlines()
        spin = [i for i, l in enumerate(lines) if " SPIN " in l]
        check("trace --raw spin", rc == 0 and len(spin) == 1 and
              lines[spin[0]].endswith("SPIN reel=0 mode=-2 steps=118 -> ok") and
              lines[spin[0] + 1].strip() == "request:  29 00 fe 00 76" and
              lines[spin[0] + 2].strip() == "response: 29 00", "\n".join(lines))
        # A refused command shows the board status; the traced program's own
        # failure passes through as its exit status.
        rc, out, err = run(["trace", "--", ARGS.yarvoctl, "status", "0", "--declare", "1", "--address", "4"], boards="0:4")
        check("trace of a program on another board address", rc == 0 and "Kmora_0 INPUTS -> inputs=0x040000 address=4" in err, err)
        rc, out, err = run(["trace", "--", ARGS.yarvoctl, "status", "9"])
        check("trace passes the program's exit status", rc == 1 and "GetReelStatus" in err, err)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--yarvoctl", required=True)
    parser.add_argument("--sim-preload", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--cases", required=True)
    parser.add_argument("--machine", help="the machine probe's file (tests/machine/probe.sh)")
    parser.add_argument("--runner", default="", help="command that runs the build's programs (i386 builds)")
    ARGS = parser.parse_args()
    ARGS.runner = shlex.split(ARGS.runner)
    if ARGS.machine:
        probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "machine", "probe.sh")
        subprocess.run(["bash", probe, "--cached", "--quiet", ARGS.machine], check=True)
    ARGS.reel_file = os.path.join(ARGS.examples, "tamso-reel-definitions.xml")
    with tempfile.TemporaryDirectory() as workdir:
        ARGS.workdir = workdir  # no reel-definition file here
        for test in (test_success, test_json_values, test_failures, test_check_reels, test_reel_file_diagnostics,
                     test_checker_agrees_with_library, test_file_rule_edges, test_trace):
            before, skipped_before = len(FAILURES), len(SKIPPED)
            test()
            skipped = len(SKIPPED) > skipped_before
            print("%-40s %s" % (test.__name__, "ok" if len(FAILURES) == before and not skipped
                                 else "skipped" if len(FAILURES) == before else "FAILED"))
    for failure in FAILURES:
        print("FAIL: " + failure)
    for reason in SKIPPED:
        print("skipped: " + reason)
    print("%d passed, %d failed, %d skipped" % (PASSED, len(FAILURES), len(SKIPPED)))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
