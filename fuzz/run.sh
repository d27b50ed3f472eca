#!/usr/bin/env bash
# Runs each libFuzzer target of a fuzz build for a bounded time.
#
# Usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]   (default: all targets)
#
# Each target works on the scratch corpus BUILD_DIR/corpus/TARGET (kept
# between runs, so later runs go on from where earlier ones stopped), read
# together with the seed corpus fuzz/corpus/TARGET.  Inputs that crash or
# break an invariant are saved as BUILD_DIR/findings/TARGET/crash-*; copy one
# into fuzz/regressions/TARGET/ once its cause is fixed, so that every build
# with tests replays it (CTest: fuzz-corpus-TARGET).  Prints, per target, the
# executions reached; exits non-zero when a target found something.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  sed -n '4p' "$0" | sed 's/^# //' >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
src=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(reel_file board_replies session)

status=0
for t in "${targets[@]}"; do
  exe=$build/fuzz/fuzz-$t
  [[ -x $exe ]] || { echo "fuzz: $exe is not built (cmake --preset fuzz)" >&2; exit 2; }
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  log=$build/fuzz-$t.log
  mkdir -p "$corpus" "$findings"
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048
           -artifact_prefix="$findings/")
  [[ -f $src/$t.dict ]] && options+=(-dict="$src/$t.dict")
  [[ $t == board_replies ]] && options+=(-max_len=4096)
  [[ $t == session ]] && options+=(-max_len=40000)   # past the longest line a session takes
  rc=0
  "$exe" "${options[@]}" "$corpus" "$src/corpus/$t" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  found=$(find "$findings" -type f | wc -l)
  echo "fuzz: $t: ${execs:-0} executions in ${seconds} s (${rate:-0}/s), corpus $(find "$corpus" -type f | wc -l) inputs, findings ${found}, exit ${rc}"
  if [[ $rc -ne 0 || $found -ne 0 ]]; then
    status=1
    echo "fuzz: $t found something; the end of its log ($log):" >&2
    tail -n 60 "$log" >&2
    find "$findings" -type f -printf 'fuzz:   %p\n' >&2
  fi
done
exit $status
