#!/usr/bin/env bash
# Check of the installed Debian packages (libyarvo1, libyarvo-dev,
# yarvo-tools, python3-yarvo), as CI runs it after
# `apt-get install ./build/package/*.deb`: C++ and C host programs are built
# from the system's files alone, with pkg-config (shared and static) and
# with find_package(Yarvo), the installed tools run, finding their preloaded
# libraries in /usr/lib/<multiarch>/yarvo, and Debian's python3 imports the
# installed module and runs the examples against the virtual board.
#
# Usage: check-installed.sh WORK_DIR
set -euo pipefail

if [[ $# -ne 1 ]]; then
  sed -n '2,8s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
work=$1
source=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
consumer=$source/tests/install/consumer.cpp
consumer_c=$source/tests/install/consumer.c
reels=$source/examples/tamso-reel-definitions.xml
multiarch=$(gcc -print-multiarch)
lib=/usr/lib/$multiarch
failures=0
passed=0
skipped=0

step() { echo "== $*"; }
pass() { passed=$((passed + 1)); echo "   ok: $*"; }
fail() { failures=$((failures + 1)); echo "check-installed: FAIL: $*" >&2; }
skip() { skipped=$((skipped + 1)); echo "skipped: $*"; }
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
# Lines of a trace or transfer log without their time stamps.
unstamped() { sed 's/^\[[^]]*\] //' "$1"; }

rm -rf "$work"
mkdir -p "$work"
cd "$work"

step "packages and files"
for p in libyarvo1 libyarvo-dev yarvo-tools python3-yarvo; do
  if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    pass "$p $(dpkg-query -W -f='${Version}' "$p") installed"
  else
    fail "package $p is not installed"
  fi
done
for f in /usr/include/yarvo.h /usr/include/yarvo_c.h /usr/lib/python3/dist-packages/yarvo/__init__.pyi "$lib/libyarvo.so.1" "$lib/libyarvo.so" "$lib/libyarvo.a" \
         "$lib/pkgconfig/yarvo.pc" "$lib/cmake/Yarvo/YarvoConfig.cmake" /usr/bin/yarvoctl /usr/bin/yarvo-sim \
         "$lib/yarvo/libyarvo-trace.so" "$lib/yarvo/libyarvo-sim-preload.so" \
         /usr/share/yarvo/examples/tamso-reel-definitions.xml /usr/share/yarvo/examples/game.cpp; do
  [[ -e $f ]] && pass "$f" || fail "missing $f"
done
# The dynamic linker finds the library through its cache (ldconfig ran).
cache=$(ldconfig -p)
grep -Eq "libyarvo\.so\.1 .*=> (/usr)?/lib/$multiarch/libyarvo\.so\.1$" <<<"$cache" && pass "libyarvo.so.1 in the linker cache" ||
  fail "libyarvo.so.1 is not in the dynamic linker's cache"

step "pkg-config: shared library"
version=$(pkg-config --modversion yarvo) || fail "pkg-config finds no yarvo"
read -r -a flags <<<"$(pkg-config --cflags --libs yarvo)"
echo "   yarvo $version: ${flags[*]}"
if g++ -std=c++17 "$consumer" "${flags[@]}" -o consumer-pkgconfig; then
  needed consumer-pkgconfig | grep -qx libyarvo.so.1 || fail "consumer-pkgconfig does not load libyarvo.so.1"
  ./consumer-pkgconfig && pass "consumer-pkgconfig runs" || fail "consumer-pkgconfig failed"
else
  fail "building consumer-pkgconfig failed"
fi

if gcc -std=c99 -Wall -Wextra -pedantic -Werror "$consumer_c" "${flags[@]}" -o consumer-c; then
  ./consumer-c && pass "consumer-c (C99) runs" || fail "consumer-c failed"
else
  fail "building consumer-c failed"
fi

step "pkg-config --static: static library"
read -r -a cflags <<<"$(pkg-config --cflags yarvo)"
read -r -a libs <<<"$(pkg-config --static --libs yarvo)"
libs=("${libs[@]/#-lyarvo/-l:libyarvo.a}")
if g++ -std=c++17 "${cflags[@]}" "$consumer" "${libs[@]}" -o consumer-static; then
  if needed consumer-static | grep -q '^libyarvo'; then fail "consumer-static loads a shared libyarvo"; fi
  ./consumer-static && pass "consumer-static runs" || fail "consumer-static failed"
else
  fail "building consumer-static failed"
fi
if gcc -std=c99 "${cflags[@]}" "$consumer_c" "${libs[@]}" -o consumer-c-static; then
  ./consumer-c-static && pass "consumer-c-static runs" || fail "consumer-c-static failed"
else
  fail "building consumer-c-static failed"
fi

step "find_package(Yarvo)"
if cmake -S "$source/tests/install" -B cmake-build -G Ninja >cmake-configure.log 2>&1 &&
   cmake --build cmake-build >cmake-build.log 2>&1; then
  grep -q "$lib/cmake/Yarvo" cmake-build/CMakeCache.txt && pass "found in $lib/cmake/Yarvo" ||
    fail "find_package(Yarvo) did not take the installed package"
  ./cmake-build/consumer-shared && pass "consumer-shared runs" || fail "consumer-shared failed"
  ./cmake-build/consumer-static && pass "consumer-static (CMake) runs" || fail "consumer-static (CMake) failed"
  ./cmake-build/consumer-c && pass "consumer-c (CMake) runs" || fail "consumer-c (CMake) failed"
  ./cmake-build/consumer-c-static && pass "consumer-c-static (CMake) runs" || fail "consumer-c-static (CMake) failed"
else
  cat cmake-configure.log cmake-build.log 2>/dev/null
  fail "the consumer project did not configure or build"
fi

# Whether the kernel path can run is the machine probe's answer.
bash "$source/tests/machine/probe.sh" --quiet --sim "$(command -v yarvo-sim)" machine.env
. ./machine.env
kernel_path_ok=yes
[[ $fuse == yes && $namespaces == yes ]] || kernel_path_ok=no

step "the README's program, as the README builds and runs it"
examples=$(pkg-config --variable=examplesdir yarvo)
[[ $examples -ef /usr/share/yarvo/examples ]] && pass "pkg-config names $examples" ||
  fail "pkg-config --variable=examplesdir yarvo gives '$examples'"
if g++ -std=c++17 "$examples/game.cpp" $(pkg-config --cflags --libs yarvo) -o game; then
  sim_run=(yarvo-sim run --)
  [[ $kernel_path_ok == yes ]] || sim_run=(yarvo-sim run --preload --)
  if "${sim_run[@]}" ./game "$examples/tamso-reel-definitions.xml" >game.txt 2>&1 &&
     grep -q "^reel 2 rests on symbol 12 " game.txt; then
    pass "game rests its reels on their symbols (${sim_run[*]})"
  else
    cat game.txt
    fail "${sim_run[*]} ./game"
  fi
else
  fail "building the README's program failed"
fi

step "tools"
yarvoctl --help >help.txt && grep -q trace help.txt && pass "yarvoctl --help" || fail "yarvoctl --help"
yarvoctl check-reels "$reels" && pass "yarvoctl check-reels on the example file" ||
  fail "yarvoctl check-reels $reels"
yarvo-sim check >sim-check.txt || true   # exits 1 where the kernel path is not available
sed 's/^/   | /' sim-check.txt
grep -q "(--preload): $lib/yarvo/libyarvo-sim-preload.so " sim-check.txt &&
  pass "yarvo-sim finds its installed preload library" || fail "yarvo-sim does not find $lib/yarvo/libyarvo-sim-preload.so"
# The virtual board through the installed preload, traced by the installed
# tracer: both print each transfer through the same decoder.
if yarvo-sim run --preload --transfer-log sim.log -- \
     yarvoctl trace -o trace.txt -- yarvoctl spin 0 --steps 118 --mode -2 --declare 1 >spin.txt 2>&1 &&
   grep -q "spinning 118 steps" spin.txt; then
  if [[ -s trace.txt ]] && diff <(unstamped trace.txt) <(unstamped sim.log) >/dev/null; then
    pass "yarvoctl trace and the virtual board's transfer log agree ($(wc -l <trace.txt) transfers)"
  else
    fail "trace and transfer log differ"
    diff <(unstamped trace.txt) <(unstamped sim.log) | head -20
  fi
else
  cat spin.txt
  fail "yarvo-sim run --preload -- yarvoctl trace -- yarvoctl spin"
fi
step "python3-yarvo and the examples"
version=$(dpkg-query -W -f='${Version}' python3-yarvo 2>/dev/null)
got=$(cd / && /usr/bin/python3 -c 'import yarvo; print(yarvo.__version__)') && [[ $got == "${version%-*}" ]] &&
  pass "import yarvo from / gives version $got" || fail "import yarvo gives '$got', package version $version"
if gcc -std=c99 "$source/examples/c/spin.c" $(pkg-config --cflags --libs yarvo) -o spin-c &&
   yarvo-sim run --preload -- ./spin-c "$reels" >spin-c.txt 2>&1; then
  pass "the C example spins its reels to their symbols"
else
  cat spin-c.txt 2>/dev/null
  fail "the C example failed"
fi
if yarvo-sim run --preload -- /usr/bin/python3 "$source/examples/python/spin.py" --reels "$reels" >spin-py.txt 2>&1; then
  pass "the Python example spins its reels to their symbols"
else
  cat spin-py.txt
  fail "the Python example failed"
fi

if [[ $kernel_path_ok != yes ]]; then
  skip "yarvo-sim kernel path: ${fuse_why:-$namespaces_why}"
else
  yarvo-sim run --no-view --transfer-log kernel.log -- yarvoctl info >kernel-info.txt 2>&1 &&
    grep -q "Kmora_0 FIRMWARE-VERSION" kernel.log && pass "yarvo-sim kernel path runs yarvoctl info" ||
    { cat kernel-info.txt; fail "yarvo-sim run -- yarvoctl info"; }
fi

echo "check-installed: $passed passed, $failures failed, $skipped skipped"
[[ $failures -eq 0 ]]
