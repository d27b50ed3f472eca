#!/usr/bin/env bash
# The probe's answer for 32-bit programs, checked both ways: forced off with
# YARVO_TEST_NATIVE32=no, the i386 runner uses qemu-i386 and the kernel
# path's compat-ioctl case is skipped with that reason; left to the kernel,
# where it runs 32-bit programs, the runner runs them natively and the case
# runs and passes.
#
#   probe-test.sh WORK_DIR KERNEL_PATH_ARGS...   (the kernel-path test's own
#                                                 arguments after its machine file)
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$1
shift
mkdir -p "$work"
passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }
skip() { skipped=$((skipped + 1)); echo "skipped: $1"; }

${CC:-cc} -m32 -static -O1 "$here/probe32.c" -o "$work/probe32" 2>"$work/cc.log" ||
  { fail "cannot build the 32-bit probe: $(head -n1 "$work/cc.log")"; exit 1; }

for mode in forced-off kernel; do
  file=$work/machine-$mode.env
  if [ $mode = forced-off ]; then export YARVO_TEST_NATIVE32=no; else unset YARVO_TEST_NATIVE32; fi
  bash "$here/probe.sh" --quiet "$file" || { fail "$mode: the probe failed"; continue; }
  . "$file"
  if [ $mode = kernel ] && [ "$native32" != yes ]; then
    skip "native 32-bit half: $native32_why"
    continue
  fi
  # The runner: 0 from the probe program means the kernel answered its ioctl.
  if [ $mode = forced-off ] && [ -z "$qemu_i386" ]; then
    skip "runner under qemu: qemu-i386 is absent (Debian package qemu-user)"
  else
    bash "$here/run-i386.sh" "$file" "$work/probe32" >/dev/null 2>&1
    got=$?
    want=0
    [ $mode = forced-off ] && want=1
    if [ $got -eq $want ]; then pass "$mode: the runner runs 32-bit programs $([ $want = 0 ] && echo natively || echo under qemu)"
    else fail "$mode: the runner's 32-bit program exited $got, wanted $want"; fi
  fi
  # The kernel path's compat case: skipped with the probe's reason, or run.
  if [ $# -eq 0 ]; then
    skip "$mode: compat case: this build has no yarvo-sim"
    continue
  fi
  KERNEL_PATH_ONLY=compat bash "$here/../kernel/kernel-path.sh" "$file" "$@" >"$work/compat.out" 2>&1
  status=$?
  if [ $status -eq 77 ]; then
    skip "$mode: compat case: $(sed -n 's/^skipped: //p' "$work/compat.out" | head -n1)"
  elif [ $mode = forced-off ] && [ $status -eq 0 ] &&
       grep -qx "skipped: 32-bit host spins to targets (compat ioctl): forced off by YARVO_TEST_NATIVE32=no" "$work/compat.out" &&
       grep -qx "0 passed, 0 failed, 1 skipped" "$work/compat.out"; then
    pass "forced-off: the compat case shows as skipped with the reason"
  elif [ $mode = kernel ] && [ $status -eq 0 ] && grep -qx "1 passed, 0 failed, 0 skipped" "$work/compat.out"; then
    pass "kernel: the compat case runs and passes"
  else
    fail "$mode: compat case, status $status:"
    sed 's/^/     | /' "$work/compat.out"
  fi
done
echo "$passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
