#!/usr/bin/env python3
"""Record and replay against the virtual board, as the README's
"Reproducing a field session" does it.

The demo is recorded with a fixed seed by yarvo-sim (kernel path) and by
yarvoctl record (preload); each recording replays on the kernel path with
the same output and status, the same recording played with another seed
diverges at the first spin that differs (both requests decoded, exit 3), a
file cut in a line replays up to the cut, and hostile files are refused
with their line.  `yarvoctl trace --from` must print the transfers as the
virtual board's transfer log did.  Without the kernel path (machine probe)
only the preload half runs; each replay case says why it was skipped.
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

FAILURES, SKIPPED = [], []
PASSED = 0
STATE_READS = {10, 11, 20, 21, 47}   # polls: firmware version, power, inputs, changed inputs, reel status


def check(name, condition, detail=""):
    global PASSED
    if condition:
        PASSED += 1
    else:
        FAILURES.append(name + (": " + detail if detail else ""))


def start(argv, env=None):
    full = dict(os.environ, ASAN_OPTIONS="verify_asan_link_order=0")
    full.update(env or {})
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=full)


def finish(proc, timeout=60):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        err += "\n(timed out)"
    return proc.returncode, out, err


def commands(path):
    """(line, request hex) of each state-changing transfer of board 0."""
    found = []
    with open(path) as f:
        for number, text in enumerate(f, 1):
            if number == 1:
                continue
            line = json.loads(text)
            if line["event"] == "transfer" and int(line["request"][:2], 16) not in STATE_READS:
                found.append((number, line["request"]))
    return found


def spaced(hex_bytes):
    return " ".join(hex_bytes[i:i + 2] for i in range(0, len(hex_bytes), 2))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--sim", "--yarvoctl", "--sim-preload", "--demo", "--reels", "--machine"):
        parser.add_argument(option, required=True)
    parser.add_argument("--python-module", help="the yarvo module's build directory, where it is built")
    a = parser.parse_args()
    probe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "machine", "probe.sh")
    subprocess.run(["bash", probe, "--cached", "--quiet", "--sim", a.sim, a.machine], check=True)
    machine = {}
    with open(a.machine) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            machine[key] = " ".join(shlex.split(value))
    kernel = machine.get("kernel_path") == "yes"
    why = machine.get("kernel_path_why") or "no kernel path"
    demo = [a.demo, "--reels", a.reels]
    preload = {"LD_PRELOAD": a.sim_preload}

    with tempfile.TemporaryDirectory() as tmp:
        s7, s8, log7 = (os.path.join(tmp, n) for n in ("s7.jsonl", "s8.jsonl", "s7.log"))
        # Recording: the virtual board's own (kernel path) and the tracer's (preload), side by side.
        runs = {"s8": start([a.yarvoctl, "record", "-o", s8, "--"] + demo + ["--seed", "8"], preload)}
        if kernel:
            runs["s7"] = start([a.sim, "run", "--no-view", "--record", s7, "--transfer-log", log7, "--"] +
                               demo + ["--seed", "7"])
        rec = {name: finish(p) for name, p in runs.items()}
        check("yarvoctl record exits with the demo's status", rec["s8"][0] == 0, rec["s8"][2])
        with open(s8) as f:
            last = json.loads(f.read().splitlines()[-1])
        check("yarvoctl record ends the session with the status", last == {**last, "event": "end", "status": 0}, str(last))

        rc, out, err = finish(start([a.yarvoctl, "trace", "--from", s8]))
        traced = out.splitlines()
        check("trace --from decodes every line", rc == 0 and traced[0].startswith("# session recorded by yarvoctl record")
              and not any("CMD-" in l for l in traced) and traced[-1].startswith("# the program ended with status 0"),
              err + "\n".join(traced[:3] + traced[-2:]))

        bad = os.path.join(tmp, "bad.jsonl")
        with open(s8) as f:
            head = f.read().splitlines()[:2]
        with open(bad, "w") as f:
            f.write("\n".join(head) + '\n{"event":"transfer","t":\n')
        rc, out, err = finish(start([a.yarvoctl, "trace", "--from", bad]))
        check("trace --from refuses a bad line with its number", rc == 1 and
              err.strip() == "yarvoctl: trace: %s:3: not a JSON object (bad JSON)" % bad, "rc=%d %r" % (rc, err))

        # A program that closes every descriptor it does not know (close_range
        # too) and opens a file of its own: the file keeps its own contents.
        if a.python_module:
            own = os.path.join(tmp, "own.txt")
            script = ("import os, sys, yarvo\nyarvo.Board().get_inputs()\nos.closerange(3, 4096)\n"
                      "with open(sys.argv[1], 'w') as f:\n    yarvo.Board().get_inputs()\n    f.write('mine')\n")
            rc, out, err = finish(start([a.yarvoctl, "record", "-o", os.path.join(tmp, "closer.jsonl"), "--",
                                         "/usr/bin/python3", "-c", script, own],
                                        dict(preload, PYTHONPATH=a.python_module)))
            with open(own) as f:
                check("record never writes into a file the program opened", rc == 0 and f.read() == "mine", err)
        else:
            SKIPPED.append("record around a program that closes its descriptors: the Python module is not built here")

        if not kernel:
            SKIPPED.append("record and replay on the kernel path: " + why)
            return report()

        check("yarvo-sim run --record exits with the demo's status", rec["s7"][0] == 0, rec["s7"][2])
        # trace --from prints each transfer as the virtual board logged it.
        rc, out, err = finish(start([a.yarvoctl, "trace", "--from", s7]))
        strip = re.compile(r"^\[\s*\d+\.\d{6}\] ")
        from_session = [strip.sub("", l) for l in out.splitlines() if l.startswith("[") and " ATTRIBUTE " not in l
                        and " OPEN " not in l]
        with open(log7) as f:
            logged = [strip.sub("", l) for l in f.read().splitlines()]
        check("trace --from decodes as the transfer log", rc == 0 and from_session == logged and len(logged) > 100,
              "%d from the session, %d logged" % (len(from_session), len(logged)))
        rc, out, err = finish(start([a.yarvoctl, "trace", "--from", s7, "--filter", "SPIN,reel=3"]))
        filtered = [strip.sub("", l) for l in out.splitlines() if not l.startswith("#")]
        wanted = [l for l in logged if l.startswith("Kmora_0 SPIN reel=3 ")]
        check("trace --from --filter prints the transfers the filter chooses", rc == 0 and filtered == wanted
              and len(wanted) >= 2, err + "\n".join(filtered))

        # A copy cut in the middle of a line about two thirds in.
        cut = os.path.join(tmp, "cut.jsonl")
        with open(s7) as f:
            lines = f.read().splitlines(True)
        keep = len(lines) * 2 // 3
        with open(cut, "w") as f:
            f.write("".join(lines[:keep]) + lines[keep][:len(lines[keep]) // 2])
        replays = {
            "same": start([a.sim, "replay", s7, "--no-view", "--"] + demo + ["--seed", "7"]),
            "other seed": start([a.sim, "replay", s7, "--no-view", "--"] + demo + ["--seed", "8"]),
            "from yarvoctl record": start([a.sim, "replay", s8, "--no-view", "--timing", "recorded", "--"] + demo +
                                          ["--seed", "8"]),
            "cut": start([a.sim, "replay", cut, "--no-view", "--divergence-status", "42", "--"] + demo + ["--seed", "7"]),
        }
        got = {name: finish(p) for name, p in replays.items()}

        rc, out, err = got["same"]
        check("replay: same output, exit 0", rc == 0 and out == rec["s7"][1], "rc=%d %s" % (rc, err))
        rc, out, err = got["from yarvoctl record"]
        check("replay of yarvoctl's recording with recorded timing: same output, exit 0",
              rc == 0 and out == rec["s8"][1], "rc=%d %s" % (rc, err))

        rc, out, err = got["other seed"]
        first = next((x, y) for x, y in zip(commands(s7), commands(s8)) if x[1] != y[1])
        (line, recorded), (_, requested) = first
        rows = [l for l in err.splitlines() if l.startswith("  recorded:") or l.startswith("  requested:")]
        check("replay with another seed diverges at the first differing spin, exit 3",
              rc == 3 and "left the recording at %s:%d (Kmora_0" % (s7, line) in err and len(rows) == 2 and
              rows[0].startswith("  recorded:  SPIN ") and rows[0].endswith("[%s]" % spaced(recorded)) and
              rows[1].startswith("  requested: SPIN ") and rows[1].endswith("[%s]" % spaced(requested)),
              "rc=%d line %d %s\n%s" % (rc, line, recorded, err))

        rc, out, err = got["cut"]
        check("a file cut in a line replays up to the cut, then reports its end",
              rc == 42 and "nothing more: the recording is cut short after line %d" % keep in err and
              out.startswith(rec["s7"][1][:200]), "rc=%d %s" % (rc, err))

        rc, out, err = finish(start([a.sim, "replay", bad, "--no-view", "--", "true"]))
        check("replay refuses a hostile file with its line", rc == 125 and
              "replay: %s:3: not a JSON object (bad JSON)" % bad in err, "rc=%d %r" % (rc, err))
        rc, out, err = finish(start([a.sim, "replay", s7, "--preload", "--", "true"]))
        check("replay refuses --preload, saying why", rc == 125 and "no daemon to answer from" in err, err)
    return report()


def report():
    for failure in FAILURES:
        print("FAIL: " + failure)
    for reason in SKIPPED:
        print("skipped: " + reason)
    print("%d passed, %d failed, %d skipped" % (PASSED, len(FAILURES), len(SKIPPED)))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
