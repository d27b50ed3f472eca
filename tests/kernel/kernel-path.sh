#!/usr/bin/env bash
# System test of the kernel path: yarvo-sim serves virtual boards through
# FUSE in a private mount namespace; unmodified test hosts (64-bit, 32-bit,
# static) reach them through the real open/ioctl path.
#
#   kernel-path.sh MACHINE_FILE YARVO_SIM KERNEL_HOST KERNEL_HOST_I386 KERNEL_HOST_STATIC REEL_FILE DEMO|-
#
# A host that was not built is given as skip:REASON or missing:REASON.
# What the machine offers comes from tests/machine/probe.sh (MACHINE_FILE):
# without FUSE or namespaces the whole test is skipped (exit 77), without
# native 32-bit programs the compat-ioctl case is; each skip says why.
# KERNEL_PATH_ONLY=compat runs the compat-ioctl case alone.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
machine=$1 sim=$2 host=$3 host32=$4 hoststatic=$5 reels=$6 demo=$7
work=$(mktemp -d "${TMPDIR:-/tmp}/yarvo-kernel.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0 passed=0 skipped=0

. "$here/../machine/kernel-path-or-skip.sh" "$machine" "$sim" "kernel path"
if [ "$kernel_path" != yes ]; then
    echo "FAIL the machine offers FUSE and namespaces, yet yarvo-sim check says: $kernel_path_why"
    exit 1
fi

# Mounts of ours in the host's namespace (there must never be any).
our_mounts() { grep -c -E 'fuse\.yarvo-sim|Kmora' /proc/self/mountinfo; }
mounts_before=$(our_mounts)

pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failures=$((failures + 1)); echo "FAIL $1"; }
skip() { skipped=$((skipped + 1)); echo "skipped: $1"; }

# expect NAME STATUS COMMAND...: runs the command, checks its exit status.
expect() {
    local name=$1 want=$2
    shift 2
    local out="$work/out.$passed.$failures" status
    timeout 60 "$@" >"$out" 2>&1
    status=$?
    if [ "$status" -eq "$want" ]; then
        pass "$name"
    else
        fail "$name: status $status, wanted $want"
        sed 's/^/     | /' "$out"
    fi
}

run=("$sim" run --no-view)
only=${KERNEL_PATH_ONLY:-}

# 1. Reels spin to their targets through the kernel path, for each build of the host.
[ -z "$only" ] && expect "64-bit host spins to targets" 0 "${run[@]}" -- "$host" spin "$reels"
# A host that could not be built comes as "skip:REASON" (left out on
# purpose, as in sanitizer builds) or "missing:REASON" (a failure).
built() {
    case $1 in
        skip:*) skip "${1#skip:}"; return 1 ;;
        missing:*) fail "${1#missing:}"; return 1 ;;
    esac
}
compat="32-bit host spins to targets (compat ioctl)"
if [ "$native32" != yes ]; then
    skip "$compat: $native32_why"
elif built "$host32"; then
    expect "$compat" 0 "${run[@]}" -- "$host32" spin "$reels"
fi
if [ "$only" = compat ]; then
    echo "$passed passed, $failures failed, $skipped skipped"
    [ "$failures" -eq 0 ]
    exit
fi
if built "$hoststatic"; then
    expect "statically linked host spins to targets" 0 "${run[@]}" -- "$hoststatic" spin "$reels"
fi

# 2. Unplug mid-spin through the control socket, replug, Init again.
expect "unplug mid-spin fails the transfer; replug and re-Init work" 0 \
    "${run[@]}" --control "$work/ctl.sock" -- "$host" unplug "$reels" "$work/ctl.sock"
if [ -e "$work/ctl.sock" ]; then
    fail "control socket left behind"
fi

# 3. Options: boards, addresses, speed, product override.
expect "board at instance 5, address 3, high speed" 0 "${run[@]}" --board 5:3:480 -- "$host" address 3 480
expect "two boards, the second found by address" 0 "${run[@]}" --board 0:1 --board 2:6 -- "$host" address 6 12
expect "--speed applies to boards without their own" 0 "${run[@]}" --board 1:2 --speed 480 -- "$host" address 2 480
expect "a wrong product text hides the board" 0 "${run[@]}" --product "Other Board" -- "$host" no-board

# The transfer log: each transfer the boards served, decoded, time-stamped,
# emptied first.  (The tool tests compare it with yarvoctl trace.)
# log_has NAME FILE LINE: every line of FILE is a decoded transfer and one
# of them, without its time stamp, is LINE.
log_has() {
    local name=$1 file=$2 want=$3
    if [ -s "$file" ] && ! grep -qvE '^\[ *[0-9]+\.[0-9]{6}\] Kmora_[0-9]+ [A-Z][A-Z-]+( .*)? -> .+$' "$file" &&
        sed 's/^\[[^]]*\] //' "$file" | grep -qxF "$want"; then
        pass "$name"
    else
        fail "$name"
        sed 's/^/     | /' "$file" 2>/dev/null | head -20
    fi
}
echo "stale line" >"$work/transfers.log"
expect "--transfer-log with a board at instance 5" 0 "${run[@]}" --board 5:3:480 --transfer-log "$work/transfers.log" \
    -- "$host" address 3 480
log_has "--transfer-log writes the decoded transfers" "$work/transfers.log" "Kmora_5 INPUTS -> inputs=0x030000 address=3"

# 4. The program's exit status comes back.
expect "exit status 7 comes back" 7 "${run[@]}" -- "$host" exit 7
expect "death by SIGTERM comes back as 143" 143 "${run[@]}" -- "$host" signal
expect "a missing program gives 127" 127 "${run[@]}" -- "$work/no-such-program"

# 5. The daemon dies mid-spin: the host gets transfer errors and carries on.
# (The subshell keeps the shell's "Killed" notice out of the output.)
status=$( (timeout 60 "${run[@]}" -- "$host" daemon-death "$reels" "$work/death" >"$work/death.out" 2>&1
           echo $?) 2>/dev/null)
for _ in $(seq 1 100); do
    [ -s "$work/death" ] && break
    sleep 0.1
done
if [ "$status" -eq 137 ] && [ "$(cat "$work/death" 2>/dev/null)" = ok ]; then
    pass "killed daemon: the host's requests fail instead of hanging"
else
    fail "killed daemon: yarvo-sim status $status, host said: $(cat "$work/death" 2>/dev/null)"
    sed 's/^/     | /' "$work/death.out"
fi

# 6. The in-process transport: a dynamically linked host works, a static
#    one (which it cannot reach) sees no board.
#    (In sanitizer builds the preloaded library comes before the sanitizer
#    runtime, which the runtime must be told to accept.)
preload=(env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" "$sim" run --preload)
expect "--preload serves a dynamically linked host" 0 "${preload[@]}" --board 4:6:480 \
    --transfer-log "$work/preload-transfers.log" -- "$host" address 6 480
log_has "--preload --transfer-log writes the decoded transfers" "$work/preload-transfers.log" \
    "Kmora_4 INPUTS -> inputs=0x060000 address=6"
if [ -x "$hoststatic" ]; then
    expect "--preload does not reach a static host" 0 "${preload[@]}" -- "$hoststatic" no-board
fi

# 7. The example host runs unchanged.
if [ "$demo" != - ]; then
    expect "yarvo-demo runs against the virtual board" 0 "${run[@]}" -- "$demo" --reels "$reels" --seed 7
fi

# 8. Nothing is left behind: mounts, board files, processes.
sleep 0.2
mounts_after=$(our_mounts)
if [ "$mounts_before" -eq 0 ] && [ "$mounts_after" -eq 0 ]; then
    pass "no mount left behind"
else
    fail "mounts of ours in the host's namespace: before $mounts_before, after $mounts_after"
    grep -E 'fuse\.yarvo-sim|Kmora' /proc/self/mountinfo
fi
if ls /dev/Kmora_* /sys/class/Kmora >/dev/null 2>&1; then
    fail "board files visible outside the namespace"
else
    pass "no board files outside the namespace"
fi
# Any process still running one of the programs of this test?
leftover=
for exe in /proc/[0-9]*/exe; do
    target=$(readlink "$exe" 2>/dev/null) || continue
    for program in "$sim" "$host" "$host32" "$hoststatic"; do
        [ -e "$program" ] || continue
        if [ "$target" = "$(readlink -f "$program")" ]; then
            leftover="$leftover ${exe#/proc/}"
        fi
    done
done
if [ -z "$leftover" ]; then
    pass "no process left behind"
else
    fail "processes left behind:$leftover"
fi

echo "$passed passed, $failures failed, $skipped skipped"
[ "$failures" -eq 0 ]
