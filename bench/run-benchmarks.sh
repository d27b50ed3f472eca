#!/usr/bin/env bash
# Runs every benchmark of bench/ on a built tree and ends by printing one
# table of the results against their goals.  `make bench` calls it after
# building the release preset.
#
#   bench/run-benchmarks.sh BUILD_DIR [PRESET]
#
#   1, 2, 4  yarvo-bench: library against bare transfers, allocation census,
#            reel configuration against TinyXML's LoadFile
#   3        yarvo-bench-kernel under `yarvo-sim run --bench-noop`, where the
#            kernel path (namespaces, FUSE) is available
#   5        yarvo-bench-cabinet: eight boards of eight reels for 10 s
#   6        `make test` on the same build, its wall-time line
#   7        yarvo-bench-idle: the first transfer after an hour of idle time on
#            the virtual clock, eight reels skill-spinning at 100 us a step
#   8        the browser view: yarvo-sim --web with 8 boards x 8 reels turning,
#            streamed to three clients (bench/web-bench.py), on the kernel path
#
# Each program's own output goes to BUILD_DIR/bench-results/, next to the
# "key value" files the table is made from.
#
# Environment: BENCH_CABINET_SECONDS and BENCH_WEB_SECONDS (default 10),
# BENCH_SKIP_TESTS=1 leaves item 6 out (for a quick look).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:?usage: run-benchmarks.sh BUILD_DIR [PRESET]}
preset=${2:-release}
case $build in /*) ;; *) build=$root/$build ;; esac
out=$build/bench-results
mkdir -p "$out"
rm -f "$out"/*.txt "$out"/*.log

say() { echo "bench: $*"; }

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null)
machine="${cpu:-unknown CPU}, $(nproc) cores, $(awk '{ printf "%.0f GiB", $2 / 1048576 }' <(grep MemTotal /proc/meminfo)), Linux $(uname -r)"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
say "machine: $machine; load average $load_before"

status=0

# ------------------------------------------------------------ 1, 2, 4
say "items 1, 2, 4: yarvo-bench (about half a minute)"
if ! "$build/bench/yarvo-bench" --results "$out/commands.txt" > "$out/commands.log" 2>&1; then
  say "yarvo-bench failed; its output:"
  tail -n 30 "$out/commands.log"
  status=1
fi

# ------------------------------------------------------------ 7
say "item 7: yarvo-bench-idle (a few seconds)"
if ! "$build/bench/yarvo-bench-idle" --results "$out/idle.txt" > "$out/idle.log" 2>&1; then
  say "yarvo-bench-idle failed; its output:"
  tail -n 20 "$out/idle.log"
  status=1
fi

# ------------------------------------------------------------ 5
seconds=${BENCH_CABINET_SECONDS:-10}
say "item 5: yarvo-bench-cabinet ($seconds s)"
if ! "$build/bench/yarvo-bench-cabinet" --seconds "$seconds" --results "$out/cabinet.txt" > "$out/cabinet.log" 2>&1; then
  say "yarvo-bench-cabinet failed; its output:"
  cat "$out/cabinet.log"
  status=1
fi

# ------------------------------------------------------------ 3
# Whether the kernel path can run here is the machine probe's answer (the
# one that decides the test suite's skips too).
sim=$build/tools/yarvo-sim/yarvo-sim
kernel_skip=""
if [[ ! -x $sim ]]; then
  kernel_skip="yarvo-sim is not built (it needs libfuse3-dev, libcli11-dev, libncurses-dev)"
elif [[ ! -x $build/bench/yarvo-bench-kernel ]]; then
  kernel_skip="yarvo-bench-kernel is not built"
elif ! bash "$root/tests/machine/probe.sh" --sim "$sim" "$build/machine.env" | sed 's/^/bench: /'; then
  kernel_skip="the machine probe failed"
else
  . "$build/machine.env"
  if [[ $fuse != yes ]]; then kernel_skip=$fuse_why
  elif [[ $namespaces != yes ]]; then kernel_skip=$namespaces_why
  elif [[ $kernel_path != yes ]]; then kernel_skip="yarvo-sim check: $kernel_path_why"
  fi
fi
if [[ -z $kernel_skip ]]; then
  say "item 3: yarvo-bench-kernel under yarvo-sim run --bench-noop"
  if ! (cd "$out" && "$sim" run --no-view --bench-noop -- "$build/bench/yarvo-bench-kernel" \
          --results "$out/kernel.txt") > "$out/kernel.log" 2>&1; then
    kernel_skip="yarvo-sim run --bench-noop failed: $(tail -n 1 "$out/kernel.log")"
    status=1
  fi
fi
[[ -n $kernel_skip ]] && say "item 3 not measured: $kernel_skip"

# ------------------------------------------------------------ 8
web_skip=$kernel_skip
[[ -z $web_skip && ! -x $build/bench/yarvo-bench-web-host ]] && web_skip="yarvo-bench-web-host is not built"
if [[ -z $web_skip ]]; then
  say "item 8: the browser view, 8 x 8 reels to three clients (${BENCH_WEB_SECONDS:-10} s, and half that idle)"
  if ! /usr/bin/python3 "$root/bench/web-bench.py" "$sim" "$build/bench/yarvo-bench-web-host" \
         "$root/examples/tamso-reel-definitions.xml" "$out/web.txt" "${BENCH_WEB_SECONDS:-10}" > "$out/web.log" 2>&1; then
    web_skip="web-bench.py failed: $(tail -n 1 "$out/web.log")"
    status=1
  fi
fi
[[ -n $web_skip ]] && say "item 8 not measured: $web_skip"

# ------------------------------------------------------------ 6
if [[ ${BENCH_SKIP_TESTS:-0} != 1 ]]; then
  say "item 6: make test PRESET=$preset (the whole suite)"
  if ! make -C "$root" --no-print-directory test PRESET="$preset" BUILD_DIR="$build" > "$out/test.log" 2>&1; then
    say "make test failed; the end of its output:"
    tail -n 20 "$out/test.log"
    status=1
  fi
  # What the suite skipped, and why (a skip is not a pass).
  grep -E '^make test: (skipped|[0-9]+ passed)' "$out/test.log" | sed 's/^make test: /bench: item 6: /'
  sed -n 's/^make test: test suite wall time \([0-9.]*\) s$/tests.wall_s \1/p' "$out/test.log" > "$out/tests.txt"
  sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/tests.count \2 \1/p' \
    "$out/test.log" >> "$out/tests.txt"
fi

# ------------------------------------------------------------ the table
cat "$out"/*.txt > "$out/all.txt" 2>/dev/null || true
echo
awk -v machine="$machine" -v load="$load_before" -v preset="$preset" -v kskip="$kernel_skip" -v wskip="$web_skip" \
    -v tskip="${BENCH_SKIP_TESTS:+BENCH_SKIP_TESTS is set}" \
    -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" '
  { v[$1] = $2; w[$1] = $3; x[$1] = $4; y[$1] = $5 }
  function have(k) { return (k in v) && v[k] != "" && v[k] >= 0 }
  # Widths in characters: each "µ" is two bytes to awk.
  function pad(text, width,    t) { t = text; return sprintf("%-" (width + gsub(/µ/, "µ", t)) "s", text) }
  function row(item, what, measured, ratio, goal, verdict) {
    printf " %-2s %-52s %s %-8s %s %s\n", item, what, pad(measured, 22), ratio, pad(goal, 19), verdict
  }
  function verdict(ok) { return ok ? "met" : "MISSED" }
  END {
    printf "Yarvo benchmarks, %s, preset %s\n", when, preset
    printf "machine: %s; load average at the start %s\n\n", machine, load
    row("#", "measured side by side in one run", "measured", "ratio", "goal", "result")
    split("GetReelStatus SpinReelStepForward SetOutputs VendorSpinReelToSymbol", ops, " ")
    for (i = 1; i <= 4; i++) {
      k = "overhead." ops[i]
      what = ops[i] (v[k ".commands"] > 1 ? sprintf(" (%d commands)", v[k ".commands"]) : "") ": library / bare"
      if (have(k ".library_ns") && have(k ".bare_ns")) {
        lib = v[k ".library_ns"]; bare = v[k ".bare_ns"]; d = lib - bare
        row("1", what, sprintf("%.0f / %.0f ns", lib, bare), sprintf("%.2f", lib / bare),
            "+1 µs at most", sprintf("%s (%+.0f ns)", verdict(d <= 1000), d))
      } else row("1", what, "-", "-", "+1 µs at most", "not measured: yarvo-bench failed (commands.log)")
    }
    if ("alloc.summary" in v) {
      n = v["alloc.summary"]; worst = w["alloc.summary"]; name = x["alloc.summary"]; failed = y["alloc.summary"]
      row("2", sprintf("heap allocations per call, %d operations", n),
          worst == 0 ? "0 in every one" : sprintf("up to %g (%s)", worst, name),
          "-", "0", failed > 0 ? "VOID (calls failed)" : verdict(worst == 0))
    } else row("2", "heap allocations per call", "-", "-", "0", "not measured: yarvo-bench failed (commands.log)")
    if (have("kernel.board_ns") && have("kernel.noop_ns") && have("kernel.devnull_ns")) {
      b = v["kernel.board_ns"]; nn = v["kernel.noop_ns"]; dn = v["kernel.devnull_ns"]
      row("3", "kernel path: GetReelStatus / no-op FUSE ioctl", sprintf("%.1f / %.1f us", b / 1000, nn / 1000),
          sprintf("%.2f", b / nn), "1.5 at most", verdict(b / nn <= 1.5))
      row("3", "kernel path: GetReelStatus / ioctl /dev/null", sprintf("%.1f us / %.0f ns", b / 1000, dn),
          sprintf("%.0f", b / dn), "(system-call floor)", "-")
    } else row("3", "kernel path", "-", "-", "1.5 at most", "not measured: " (kskip != "" ? kskip : "no result (kernel.log)"))
    if (have("config.library_ns") && have("config.load_ns")) {
      a = v["config.library_ns"]; l = v["config.load_ns"]
      row("4", "reel file + 8 reels / TinyXML LoadFile alone", sprintf("%.1f / %.1f ms", a / 1e6, l / 1e6),
          sprintf("%.2f", a / l), "1.25 at most", verdict(a / l <= 1.25))
    } else row("4", "reel configuration", "-", "-", "1.25 at most", "not measured: yarvo-bench failed (commands.log)")
    if (have("cabinet.percent")) {
      row("5", sprintf("cabinet 8 x 8 reels, %.0f s: CPU / wall", v["cabinet.wall_s"]),
          sprintf("%.0f ms / %.1f s", v["cabinet.cpu_ms"], v["cabinet.wall_s"]),
          sprintf("%.2f %%", v["cabinet.percent"]), "under 2 %", verdict(v["cabinet.percent"] < 2))
    } else row("5", "virtual cabinet", "-", "-", "under 2 %", "not measured: yarvo-bench-cabinet failed (cabinet.log)")
    if (have("idle.first_transfer_ns")) {
      i = v["idle.first_transfer_ns"]; worst = v["idle.worst_ns"]
      row("7", "first transfer after 1 h idle, 8 reels skill-spinning", sprintf("%.1f us (worst %.0f us)", i / 1000, worst / 1000),
          "-", "under 1 ms", verdict(worst < 1e6))
    } else row("7", "first transfer after 1 h idle, 8 reels skill-spinning", "-", "-", "under 1 ms",
               "not measured: yarvo-bench-idle failed (idle.log)")
    if (have("web.percent")) {
      row("8", "browser view, 8 x 8 reels to 3 clients: CPU / wall",
          sprintf("%.0f ms / %.1f s", v["web.cpu_ms"], v["web.seconds"]),
          sprintf("%.2f %%", v["web.percent"]), "under 5 %", verdict(v["web.percent"] < 5))
      row("8", "browser view: per client, 30 updates/s",
          sprintf("%.0f kB/s, %.1f/s", v["web.bytes_per_s"] / 1000, v["web.updates_per_s"]),
          "-", "(reported)", sprintf("-  (no viewer: %.2f %%)", v["web.idle_percent"]))
    } else row("8", "browser view, 8 x 8 reels to 3 clients", "-", "-", "under 5 %",
               "not measured: " (wskip != "" ? wskip : "no result (web.log)"))
    if (have("tests.wall_s")) {
      what = "test suite wall time (make test)"
      if ("tests.count" in v) what = sprintf("test suite wall time, %d tests (make test)", v["tests.count"])
      row("6", what, sprintf("%.1f s", v["tests.wall_s"]), "-", "under 60 s",
          ("tests.count" in v && w["tests.count"] > 0) ? "TESTS FAILED" : verdict(v["tests.wall_s"] < 60))
    } else row("6", "test suite wall time", "-", "-", "under 60 s",
               "not measured: " (tskip != "" ? tskip : "make test gave no wall time (test.log)"))
  }' "$out/all.txt"
exit $status
