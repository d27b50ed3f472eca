#!/usr/bin/env bash
# The transport contract's suite on the kernel path: transport-conformance
# run by yarvo-sim with boards at instances 0 and 1 and a control socket.
#
#   kernel.sh MACHINE_FILE YARVO_SIM TRANSPORT_CONFORMANCE
#
# Skipped (exit 77, with the reason) where the machine probe finds no FUSE or
# no namespaces.
set -u
machine=$1 sim=$2 program=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../machine/kernel-path-or-skip.sh" "$machine" "$sim" "conformance on the kernel path"
work=$(mktemp -d "${TMPDIR:-/tmp}/yarvo-conformance.XXXXXX")
trap 'rm -rf "$work"' EXIT
timeout 50 "$sim" run --no-view -b 0:0 -b 1:1 -c "$work/ctl.sock" -- "$program" --control "$work/ctl.sock" \
  --machine "$machine"
