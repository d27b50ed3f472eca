#!/usr/bin/env bash
# Runs a host program against a virtual board the way a user would, with
# yarvo-sim: through the kernel path where the machine probe says it works,
# else with --preload (and a line saying which case was skipped and why).
# The board's transfers are logged to the file named by
# YARVO_TEST_TRANSFER_LOG when that is set.
#
#   under-sim.sh MACHINE_FILE YARVO_SIM [YARVO_SIM_RUN_OPTIONS...] -- PROGRAM [ARGS...]
#
# Exit status: the program's.
set -uo pipefail

usage() { sed -n '2,9s/^# \{0,1\}//p' "$0" >&2; exit 2; }
[[ $# -ge 4 ]] || usage
machine=$1 sim=$2
shift 2
options=()
while [[ $# -gt 0 && $1 != -- ]]; do
  options+=("$1")
  shift
done
[[ $# -ge 2 ]] || usage
shift

bash "$(dirname "${BASH_SOURCE[0]}")/probe.sh" --cached --quiet --sim "$sim" "$machine" || exit 1
# shellcheck disable=SC1090
. "$machine"

run=("$sim" run --no-view "${options[@]}")
[[ -z ${YARVO_TEST_TRANSFER_LOG:-} ]] || run+=(--transfer-log "$YARVO_TEST_TRANSFER_LOG")
if [[ $kernel_path != yes ]]; then
  echo "skipped: $(basename "$1") on the kernel path: ${kernel_path_why:-not available}; run with --preload"
  run+=(--preload)
fi
exec "${run[@]}" -- "$@"
