#!/usr/bin/env bash
# yarvo-sim's live view as a user meets it, on a terminal (script(1) gives
# one): the host's output reaches the log line by line, even when Ctrl-C
# ends the host; the log holds plain lines; the reel types are matched from
# how the host set its reels up; at the end the last frame and one line per
# reel stay on the terminal, with the log's name.
#
#   live-view.sh MACHINE_FILE YARVO_SIM DEMO
#
# The whole test is skipped (exit 77) without FUSE or namespaces.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
machine=$1 sim=$2 demo=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/yarvo-view.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failures=0

. "$here/../machine/kernel-path-or-skip.sh" "$machine" "$sim" "live view"

pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failures=$((failures + 1)); echo "FAIL $1"; [ $# -lt 2 ] || sed 's/^/     | /' "$2"; }
check() { if eval "$2"; then pass "$1"; else fail "$1" "${3:-/dev/null}"; fi; }

# Runs yarvo-sim with the view on a terminal of its own, in $work (where no
# reel-definition file is: the example file is matched), its keyboard fed
# from standard input; the terminal's text goes to $1.
on_terminal() {
  local out=$1
  shift
  (cd "$work" && TERM=xterm timeout 60 script -qefc "$(printf '%q ' "$sim" run --view "$@")" /dev/null) >"$out" 2>&1
}

# --- A whole run -------------------------------------------------------------------
on_terminal "$work/run.out" -- "$demo" --seed 5 </dev/null
status=$?
check "the demo under the view ends with its status" '[ $status -eq 0 ]' "$work/run.out"
check "the host's output is in the log" 'grep -q "all reels rest on their targets" "$work/yarvo-sim.log"' \
  "$work/yarvo-sim.log"
check "the log holds plain lines: the host knows it is under the view" \
  '[ -s "$work/yarvo-sim.log" ] && ! grep -q $'"'"'[\x1b\r]'"'"' "$work/yarvo-sim.log"' "$work/yarvo-sim.log"
check "the last frame stays: the board with its address and USB speed" \
  'grep -q "^board 0: plugged in, address 0, USB full speed (12)" "$work/run.out"' "$work/run.out"
check "one line per reel the host set up, its type matched" \
  '[ "$(grep -c "^board 0 reel [0-4]: \(classic-12\|classic-20\|deluxe-22\), position [0-9]*/[0-9]*, symbol #[0-9]*, stopped" "$work/run.out")" -eq 5 ] && ! grep -q "^board 0 reel [5-7]:" "$work/run.out"' \
  "$work/run.out"
check "the log's name is given at the end" 'grep -q "output is in yarvo-sim.log" "$work/run.out"' "$work/run.out"

# --- Ctrl-C ------------------------------------------------------------------------
# The demo writes its lines with stdio; stopped by Ctrl-C, it never flushes.
# Its first lines reach the log while it runs, and Ctrl-C comes after them.
# --reel-types names a type without a reel-definition file here: the
# example file's.
rm -f "$work/yarvo-sim.log"
(for _ in $(seq 1 200); do
   grep -q "^firmware version:" "$work/yarvo-sim.log" 2>/dev/null && break
   sleep 0.05
 done
 printf '\003') | on_terminal "$work/stop.out" --reel-types ,,,band-a -- "$demo" --seed 5
status=$?
check "Ctrl-C stops the host: 128 + SIGINT" '[ $status -eq 130 ]' "$work/stop.out"
check "--reel-types takes its types from the example file, over the type matched" \
  'grep -q "^board 0 reel 3: band-a, position" "$work/stop.out"' "$work/stop.out"
check "the host's lines reach the log as they are printed, and Ctrl-C loses none" \
  'head -1 "$work/yarvo-sim.log" | grep -q "^board opened" && grep -q "^firmware version: YARVO-SIM" "$work/yarvo-sim.log"' \
  "$work/yarvo-sim.log"

# --- A reel-definition file named with --reels (as in yarvoctl) -------------------------
"$sim" run --no-view --reels "$work/none.xml" -- true >"$work/none.out" 2>&1
status=$?
check "--reels names the file the view reads; a missing one stops the run" \
  '[ $status -eq 125 ] && grep -q "none.xml" "$work/none.out"' "$work/none.out"

echo "$passed passed, $failures failed, 0 skipped"
[ "$failures" -eq 0 ]
