#!/usr/bin/env bash
# yarvo-sim as a careless or hostile local user meets it, on the kernel path:
# the control socket belongs to its owner, the files it writes are never
# someone else's, the host's whole process tree is supervised, a stalled
# reader of the transfer log never holds up the host, the terminal is
# checked before the host starts.  Each case asserts the sound outcome and
# finishes in seconds.
#
#   daemon-safety.sh MACHINE_FILE YARVO_SIM KERNEL_HOST KERNEL_HOST_STATIC
#
# The whole test is skipped (exit 77) without FUSE or namespaces; the cases
# that need a throw-away user are skipped, with the reason, where the
# machine probe says no program can run as one.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
machine=$1 sim=$2 host=$3 hoststatic=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/yarvo-daemon.XXXXXX")
chmod 755 "$work"
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failures=0 skipped=0

. "$here/../machine/kernel-path-or-skip.sh" "$machine" "$sim" "daemon safety"

pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failures=$((failures + 1)); echo "FAIL $1"; [ $# -lt 2 ] || sed 's/^/     | /' "$2"; }
skip() { skipped=$((skipped + 1)); echo "skipped: $1"; }
check() { if eval "$2"; then pass "$1"; else fail "$1" "${3:-/dev/null}"; fi; }

# A uid no account has: the throw-away user of the unprivileged cases.
throwaway=61000
while getent passwd "$throwaway" >/dev/null || getent group "$throwaway" >/dev/null; do
  throwaway=$((throwaway + 1))
done
as_other() { setpriv --reuid="$throwaway" --regid="$throwaway" --clear-groups "$@"; }

# Waits (up to 10 s) until the file exists.
await() { for _ in $(seq 1 100); do [ -e "$1" ] && return 0; sleep 0.1; done; return 1; }

run=("$sim" run --no-view)

# --- The control socket -------------------------------------------------------
sock=$work/ctl.sock
(umask 000; exec timeout 30 "${run[@]}" -c "$sock" -- sleep 30) >"$work/ctl.out" 2>&1 &
daemon=$!
await "$sock"
check "the control socket is 0600 under umask 000" '[ "$(stat -c %a "$sock")" = 600 ]' "$work/ctl.out"
if [ "$switch_user" = yes ]; then
  # Only the peer check stands in the way here: socket and directory opened up.
  chmod 666 "$sock"
  as_other "$sim" ctl "$sock" unplug 0 >"$work/other.out" 2>&1
  other=$?
  "$sim" ctl "$sock" status >"$work/status.out" 2>&1
  check "another user's ctl is refused and changes nothing" \
    '[ $other -eq 1 ] && grep -q "permission denied" "$work/other.out" && grep -q "plugged=yes" "$work/status.out"' \
    "$work/other.out"
else
  skip "another user's ctl is refused: $switch_user_why"
fi
# A client that floods the channel and never reads does not hold up the others.
/usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.setblocking(False)
data = b"status\n" * 5000
try:
    while data:
        data = data[s.send(data):]
except BlockingIOError:
    pass
time.sleep(60)' "$sock" &
flooder=$!
sleep 0.5
timeout 10 "$sim" ctl "$sock" boards >"$work/boards.out" 2>&1
check "a client that never reads its replies holds up no one" 'grep -qx "ok selected=0 boards=0" "$work/boards.out"' \
  "$work/boards.out"
started=$SECONDS
kill "$daemon" 2>/dev/null
wait "$daemon"
check "the daemon ends at once with a stalled client connected" \
  '[ $((SECONDS - started)) -lt 5 ] && [ ! -e "$sock" ] && kill -0 $flooder 2>/dev/null' "$work/ctl.out"
kill "$flooder" 2>/dev/null

# --- Files the daemon writes -----------------------------------------------------
shared=$work/shared
mkdir "$shared" && chmod 1777 "$shared"
echo "only root writes this" >"$work/precious"
chmod 600 "$work/precious"
ln -s "$work/precious" "$shared/yarvo-sim.log"
(cd "$shared" && timeout 20 "${run[@]}" --log yarvo-sim.log -- true) >"$work/link.out" 2>&1
status=$?
check "a symlinked log is refused and its target untouched" \
  '[ $status -eq 125 ] && grep -q "symbolic link" "$work/link.out" && [ "$(cat "$work/precious")" = "only root writes this" ]' \
  "$work/link.out"
echo "someone else's" >"$work/theirs.log"
chown "$throwaway" "$work/theirs.log"
timeout 20 "${run[@]}" --log "$work/theirs.log" -- true >"$work/theirs.out" 2>&1
status=$?
check "another user's log file is neither emptied nor written" \
  '[ $status -eq 125 ] && [ "$(cat "$work/theirs.log")" = "someone else'"'"'s" ]' "$work/theirs.out"
timeout 20 "${run[@]}" --transfer-log "$shared/yarvo-sim.log" -- true >"$work/tlink.out" 2>&1
status=$?
check "a symlinked transfer log is refused too" \
  '[ $status -eq 125 ] && [ "$(cat "$work/precious")" = "only root writes this" ]' "$work/tlink.out"

# --- The transfer log's reader ----------------------------------------------------
mkfifo "$work/fifo"
timeout 20 "${run[@]}" --transfer-log "$work/fifo" -- true >"$work/noreader.out" 2>&1
check "a FIFO nobody reads: the run still ends" '[ $? -eq 0 ]' "$work/noreader.out"
sleep 60 <"$work/fifo" &   # opens the FIFO for reading, then never reads
stalled=$!
timeout 60 "${run[@]}" --transfer-log "$work/fifo" -- "$host" transfers 3000 >"$work/stalled.out" 2>&1
status=$?
check "a reader that stops costs lines, not the host: 3000 transfers done, the loss reported" \
  '[ $status -eq 0 ] && grep -Eq "transfer log lost [0-9]+ of [0-9]+ transfers" "$work/stalled.out"' "$work/stalled.out"
kill "$stalled" 2>/dev/null

# --- The host's whole process tree --------------------------------------------------
timeout 30 "${run[@]}" -- sh -c "(sleep 0.5; '$host' transfers 50 && echo ok >'$work/orphan') & exit 3" \
  >"$work/orphan.out" 2>&1
status=$?
check "a host that forks and exits early: its child is served, the status is the host's" \
  '[ $status -eq 3 ] && [ "$(cat "$work/orphan" 2>/dev/null)" = ok ]' "$work/orphan.out"
# On SIGTERM, the descendants left get SIGTERM, then SIGKILL after the grace period.
timeout 30 "${run[@]}" -- sh -c "(trap '' TERM; exec sleep 40) & echo \$! >'$work/stubborn'; wait" \
  >"$work/term.out" 2>&1 &
daemon=$!
await "$work/stubborn"
sleep 0.3
kill -TERM "$daemon"
wait "$daemon"
status=$?
stubborn=$(cat "$work/stubborn")
check "SIGTERM: the host ends, a descendant that ignores SIGTERM is killed after the grace period" \
  '[ $status -eq 143 ] && ! kill -0 "$stubborn" 2>/dev/null' "$work/term.out"

# --- A host that drops root reaches the board ------------------------------------
if [ "$switch_user" != yes ]; then
  skip "a host that drops root reaches the board: $switch_user_why"
else
  # The throw-away user must be able to run the host from where it lies.
  target=$host
  case $hoststatic in skip:*|missing:*) ;; *) target=$hoststatic ;; esac
  if as_other test -x "$target"; then
    timeout 30 "${run[@]}" -- setpriv --reuid="$throwaway" --regid="$throwaway" --clear-groups \
      "$target" address 0 12 >"$work/drop.out" 2>&1
    check "a host that drops root reaches the board" '[ $? -eq 0 ]' "$work/drop.out"
  else
    skip "a host that drops root reaches the board: the throw-away user cannot reach $target"
  fi
fi

# --- The terminal is checked before the host starts --------------------------------
timeout 20 "$sim" run --view -- touch "$work/started" >"$work/view.out" 2>&1 </dev/null
status=$?
check "--view without a terminal: refused before the host starts" \
  '[ $status -eq 125 ] && [ ! -e "$work/started" ]' "$work/view.out"
TERM=no-such-terminal timeout 20 script -qec "'$sim' run --view -- touch '$work/started'" /dev/null \
  >"$work/term-bad.out" 2>&1
status=$?
check "--view on a terminal it cannot draw on: refused before the host starts" \
  '[ $status -eq 125 ] && [ ! -e "$work/started" ]' "$work/term-bad.out"

echo "$passed passed, $failures failed, $skipped skipped"
[ "$failures" -eq 0 ]
