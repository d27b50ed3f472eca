#!/usr/bin/python3
"""After a ctest run: what passed and what was skipped, with the reasons, so
that no skip passes unseen.

    skips.py JUNIT_FILE [LABEL]

JUNIT_FILE is ctest's --output-junit file.  A whole test is skipped when it
exits 77 (the kernel path) or GoogleTest skips it; a case inside a test that
ran is skipped when the test prints a line "skipped: <case>: <reason>".
Prints each skip with its reason, then one line:

    LABEL: N passed, N failed, N skipped; N cases skipped inside passed tests
"""
import sys
import xml.etree.ElementTree as ET


def reasons(case):
    out = case.findtext("system-out") or ""
    return [line[len("skipped: "):] for line in out.splitlines() if line.startswith("skipped: ")]


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    label = sys.argv[2] if len(sys.argv) == 3 else "ctest"
    try:
        suite = ET.parse(sys.argv[1]).getroot()
    except (OSError, ET.ParseError) as e:
        print("%s: no test results to report skips from (%s)" % (label, e))
        return 0
    passed = failed = skipped = inner = 0
    for case in suite.iter("testcase"):
        name = case.get("name")
        if case.find("skipped") is not None:
            skipped += 1
            why = reasons(case)
            if not why:
                out = (case.findtext("system-out") or "").splitlines()
                why = [l.split("] ", 1)[-1] for l in out if l.startswith("[  SKIPPED ]")][:1]
            print("%s: skipped test %s: %s" % (label, name, "; ".join(why) or "no reason given"))
        elif case.find("failure") is not None or case.get("status") == "fail":
            failed += 1
        else:
            passed += 1
            for why in reasons(case):
                inner += 1
                print("%s: skipped in %s: %s" % (label, name, why))
    print("%s: %d passed, %d failed, %d skipped; %d cases skipped inside passed tests"
          % (label, passed, failed, skipped, inner))
    return 0


if __name__ == "__main__":
    sys.exit(main())
