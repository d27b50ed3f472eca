#!/usr/bin/python3
"""yarvoctl soak as a technician runs it: against yarvo-sim with the boards'
clock 100 times as fast and steps lost on reel 2 from the start (through the
kernel path, or --preload where the machine probe says it is not available,
with a line saying so), then its usage and library failures.

  soak_under_sim.py --under-sim SCRIPT --machine FILE --sim YARVO_SIM
                    --yarvoctl YARVOCTL --reels FILE --work DIR
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def main():
    parser = argparse.ArgumentParser()
    for name in ("under-sim", "machine", "sim", "yarvoctl", "reels", "work"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    work = pathlib.Path(a.work)
    work.mkdir(parents=True, exist_ok=True)
    report = work / "soak.html"
    if report.exists():
        report.unlink()

    soak = [a.yarvoctl, "--reels", a.reels, "--json", "soak", "--type", "classic-12,band-a,classic-12",
            "--spins", "40", "--seed", "3", "--report", str(report)]
    run = subprocess.run(["bash", a.under_sim, a.machine, a.sim, "--time-scale", "100",
                          "--fault", "at 0s lose-steps 0 2 3", "--"] + soak,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    lines = run.stdout.splitlines()
    for line in lines:
        if line.startswith("skipped: "):
            print(line)
    check(run.returncode == 1, "soak with lost steps exits 1, not %d: %s" % (run.returncode, run.stderr))
    try:
        result = json.loads(lines[-1])
    except (IndexError, ValueError):
        result = {"reels": []}
        check(False, "soak --json prints one JSON document: %r" % run.stdout)
    reels = {r["reel"]: r for r in result["reels"]}
    check(sorted(reels) == [0, 1, 2], "reels 0, 1 and 2 soaked: %s" % sorted(reels))
    for reel in (0, 1):
        r = reels.get(reel, {})
        check(r.get("clean") is True and r.get("misses") == 0 and r.get("spins") == 40,
              "reel %d is clean: %s" % (reel, r))
    r2 = reels.get(2, {})
    check(r2.get("clean") is False and r2.get("misses", 0) > 0 and r2.get("flags", {}).get("positionError", 0) > 0,
          "reel 2 has misses and position errors: %s" % r2)
    check(result.get("virtualFirmware") is True and result.get("clean") is False, "the report as a whole: %s" % result)
    page = report.read_text() if report.exists() else ""
    check(page.startswith("<!DOCTYPE html>") and page.count("<svg") == 9 and "Not clean: reel 2" in page,
          "the HTML report has three plots per reel and names reel 2")
    check("http:" not in page.replace('xmlns="http://www.w3.org/2000/svg"', "") and "https:" not in page
          and "<script" not in page and "src=" not in page, "the HTML report fetches nothing")

    # Usage errors exit 2 before a board is opened; a failed library call
    # exits 4 with its code, as the other subcommands print it.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    cases = [
        (["soak", "--type", "a,b,c", "--reel", "0,1"], 2, "3 reel types for 2 reels"),
        (["soak", "--type", "classic-12", "--reel", "0,0"], 2, "reel 0 is given twice"),
        (["soak", "--type", "classic-12", "--reel", "8"], 2, "out of range"),
        (["soak", "--type", "classic-12", "--spins", "0"], 2, "out of range"),
        (["soak", "--reel", "1"], 2, "--type is required"),
        (["soak", "--type", "classic-12", "--report", str(work)], 2, "--report"),
        (["soak", "--type", "classic-12"], 4, "yarvoctl: Init: no board found"),
    ]
    for args, status, text in cases:
        got = subprocess.run([a.yarvoctl, "--reels", a.reels] + args, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env, timeout=30)
        check(got.returncode == status and text in got.stderr,
              "%s exits %d saying %r, not %d: %r" % (" ".join(args), status, text, got.returncode, got.stderr))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
