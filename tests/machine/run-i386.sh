#!/usr/bin/env bash
# Runs a 32-bit x86 program of the i386 build: directly where the kernel runs
# such programs itself, else under qemu-i386 (the probe decides which).
# CMake uses it as the i386 build's CMAKE_CROSSCOMPILING_EMULATOR, so every
# test and the test discovery go through it.
#
#   run-i386.sh MACHINE_FILE PROGRAM [ARGS...]
#
# A 32-bit library to preload comes in YARVO_GUEST_LD_PRELOAD: this script
# and qemu are 64-bit programs, into which the loader would refuse to
# preload it, loudly.  (LD_PRELOAD works too, at the price of that message.)
set -uo pipefail
guest_preload=${YARVO_GUEST_LD_PRELOAD:-${LD_PRELOAD:-}}
unset YARVO_GUEST_LD_PRELOAD
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
machine=$1
shift
bash "$here/probe.sh" --cached --quiet "$machine" || exit 125
# shellcheck disable=SC1090
. "$machine"
if [[ $native32 == yes ]]; then
  [[ -z $guest_preload ]] || export LD_PRELOAD=$guest_preload
  exec "$@"
fi
if [[ -z $qemu_i386 ]]; then
  echo "run-i386: cannot run $1: $native32_why, and qemu-i386 is absent (Debian package qemu-user)" >&2
  exit 125
fi
preload=()
if [[ -n $guest_preload ]]; then
  preload=(-E "LD_PRELOAD=$guest_preload")
fi
exec env -u LD_PRELOAD "$qemu_i386" "${preload[@]}" "$@"
