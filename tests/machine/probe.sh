#!/usr/bin/env bash
# What this machine lets the tests run: the one place that decides skips.
#
#   probe.sh [--cached] [--quiet] [--sim YARVO_SIM] FILE
#
# Writes FILE, shell assignments that the test scripts source:
#   native32      yes: the kernel runs 32-bit x86 programs itself (its compat
#                 ioctl path is reachable); no otherwise
#   exec32        yes: a 32-bit program can be started directly, natively or
#                 through binfmt_misc handing it to an emulator
#   qemu_i386     path of qemu-i386, or empty
#   fuse          yes: /dev/fuse opens for reading and writing
#   namespaces    yes: a private mount namespace can be made (a user
#                 namespace first when not root)
#   kernel_path   yes: yarvo-sim's board file system mounts here (only with
#                 --sim; "unknown" without)
#   switch_user   yes: a test can run a program as a throw-away user (a uid
#                 in no account, through setpriv): root only
#   vm_copy       yes: a program may have the kernel copy from its own memory
#                 (process_vm_readv), which the interposer uses to tell bad
#                 block addresses; vm_copy32 the same for the i386 suite's
#                 programs as they run here (natively or under qemu-i386)
#   each with a *_why text saying why not.
# and prints the same as lines "machine: ..." (unless --quiet).
#
# --cached reuses FILE when it was written since the machine booted, with the
# same forcing and the same --sim.
#
# YARVO_TEST_NATIVE32=no makes the probe answer native32=no whatever the
# kernel does (to check the suite's other path); =yes insists on native
# execution and fails the probe when the kernel refuses it.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cached=0 quiet=0 sim=""
while [[ $# -gt 1 ]]; do
  case $1 in
    --cached) cached=1 ;;
    --quiet) quiet=1 ;;
    --sim) sim=$2; shift ;;
    *) break ;;
  esac
  shift
done
file=${1:?usage: probe.sh [--cached] [--quiet] [--sim YARVO_SIM] FILE}
force=${YARVO_TEST_NATIVE32:-}
boot=$(cat /proc/sys/kernel/random/boot_id 2>/dev/null || echo unknown)
key="$boot|$force|$sim|switch_user|vm_copy"

print() {
  [[ $quiet -eq 1 ]] && return
  # shellcheck disable=SC1090
  . "$file"
  say() { if [[ $2 == yes ]]; then echo "machine: $1: yes"; else echo "machine: $1: $2 ($3)"; fi; }
  say "native 32-bit programs" "$native32" "$native32_why"
  say "32-bit programs start directly" "$exec32" "$exec32_why"
  if [[ -n $qemu_i386 ]]; then echo "machine: qemu-i386: $qemu_i386"; else echo "machine: qemu-i386: no (absent: Debian package qemu-user)"; fi
  say "/dev/fuse usable" "$fuse" "$fuse_why"
  say "mount and user namespaces" "$namespaces" "$namespaces_why"
  [[ $kernel_path == unknown ]] || say "kernel path (yarvo-sim)" "$kernel_path" "$kernel_path_why"
  say "programs as a throw-away user" "$switch_user" "$switch_user_why"
  say "process_vm_readv on itself (64-bit)" "$vm_copy" "$vm_copy_why"
  say "process_vm_readv on itself (32-bit, as run here)" "$vm_copy32" "$vm_copy32_why"
}

if [[ $cached -eq 1 && -f $file ]] && grep -qxF "probe_key=$(printf %q "$key")" "$file"; then
  print
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/yarvo-probe.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- 32-bit programs: build a static probe and let the kernel start it.
native32=no exec32=no native32_why="" exec32_why=""
if ! ${CC:-cc} -m32 -static -O1 "$here/probe32.c" -o "$work/probe32" 2>"$work/cc.log"; then
  native32_why="no 32-bit C compiler and libc to test with: Debian package gcc-multilib"
  exec32_why=$native32_why
else
  "$work/probe32" >"$work/probe32.out" 2>&1
  case $? in
    0) native32=yes exec32=yes ;;
    1) native32_why="binfmt_misc hands 32-bit programs to an emulator, which cannot carry the board's ioctl"
       exec32=yes ;;
    126) native32_why="the kernel refuses 32-bit programs: Exec format error, IA32 emulation is off"
         exec32_why="the kernel refuses them and no binfmt_misc entry hands them to qemu-i386" ;;
    *) native32_why="the 32-bit probe failed: $(head -c 200 "$work/probe32.out")"
       exec32_why=$native32_why ;;
  esac
fi
case $force in
  no) native32=no native32_why="forced off by YARVO_TEST_NATIVE32=no" ;;
  yes) if [[ $native32 != yes ]]; then
         echo "probe: YARVO_TEST_NATIVE32=yes, but $native32_why" >&2
         exit 1
       fi ;;
  "") ;;
  *) echo "probe: YARVO_TEST_NATIVE32 must be yes or no, not '$force'" >&2; exit 2 ;;
esac

qemu_i386=$(command -v qemu-i386 || true)

# --- process_vm_readv on a program's own memory, 64-bit and 32-bit.
cat >"$work/vmcopy.c" <<'PROGRAM'
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>
int main(void) {
    char from[8] = "probe", to[8];
    struct iovec local = {to, sizeof to}, remote = {from, sizeof from};
    if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == (ssize_t)sizeof to) return 0;
    printf("%s\n", strerror(errno));
    return 1;
}
PROGRAM
vm_copy=no vm_copy_why="" vm_copy32=no vm_copy32_why=""
if ! ${CC:-cc} -O1 "$work/vmcopy.c" -o "$work/vmcopy" 2>>"$work/cc.log"; then
  vm_copy_why="no C compiler to test with"
elif "$work/vmcopy" >"$work/vmcopy.out" 2>&1; then
  vm_copy=yes
else
  vm_copy_why="the kernel refuses it: $(head -n1 "$work/vmcopy.out")"
fi
if ! ${CC:-cc} -m32 -static -O1 "$work/vmcopy.c" -o "$work/vmcopy32" 2>>"$work/cc.log"; then
  vm_copy32_why="no 32-bit C compiler and libc to test with: Debian package gcc-multilib"
else
  runner=()
  [[ $native32 == yes || -z $qemu_i386 ]] || runner=("$qemu_i386")
  if "${runner[@]}" "$work/vmcopy32" >"$work/vmcopy32.out" 2>&1; then
    vm_copy32=yes
  else
    vm_copy32_why="refused for a 32-bit program${runner:+ under qemu-i386}: $(head -n1 "$work/vmcopy32.out")"
  fi
fi

# --- FUSE and namespaces, as the kernel path needs them.
fuse=yes fuse_why=""
if [[ ! -c /dev/fuse ]]; then
  fuse=no fuse_why="/dev/fuse does not exist (no FUSE in this kernel or container)"
elif ! (exec 3<>/dev/fuse) 2>/dev/null; then
  fuse=no fuse_why="/dev/fuse does not open for this user"
fi
namespaces=yes namespaces_why=""
if [[ $(id -u) -eq 0 ]]; then
  unshare --mount true 2>"$work/ns.log" || { namespaces=no namespaces_why="no mount namespace: $(head -n1 "$work/ns.log")"; }
else
  unshare --user --map-current-user --mount true 2>"$work/ns.log" ||
    { namespaces=no namespaces_why="no user namespace with a mount namespace: $(head -n1 "$work/ns.log")"; }
fi

switch_user=yes switch_user_why=""
if ! command -v setpriv >/dev/null; then
  switch_user=no switch_user_why="setpriv is absent (Debian package util-linux)"
elif ! setpriv --reuid=65533 --regid=65533 --clear-groups true 2>/dev/null; then
  switch_user=no switch_user_why="only root can run a program as another user"
fi

kernel_path=unknown kernel_path_why=""
if [[ -n $sim ]]; then
  if "$sim" check >"$work/check.log" 2>&1; then
    kernel_path=yes
  else
    kernel_path=no
    kernel_path_why=$(sed -n 's/^  - //p' "$work/check.log" | paste -sd';' -)
    [[ -n $kernel_path_why ]] || kernel_path_why="yarvo-sim check: $(head -n1 "$work/check.log")"
  fi
fi

{
  for v in native32 native32_why exec32 exec32_why qemu_i386 fuse fuse_why namespaces namespaces_why \
           kernel_path kernel_path_why switch_user switch_user_why vm_copy vm_copy_why vm_copy32 vm_copy32_why; do
    printf '%s=%q\n' "$v" "${!v}"
  done
  printf 'probe_key=%q\n' "$key"
} >"$work/env"
mkdir -p "$(dirname "$file")"
mv "$work/env" "$file"
print
