#!/usr/bin/env bash
# Install check: installs the build into a scratch prefix, then builds and runs
# small host programs against it, in C++ and in C, three ways: pkg-config
# with the shared library, pkg-config --static with libyarvo.a, and
# find_package(Yarvo); the C example and, where the build has it, the Python
# module and its example run from the installed files.
#
# Usage: check.sh BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR VERSION CXX CXXFLAGS LDFLAGS GENERATOR CC CFLAGS
# (run by CTest as the test "install"; CXXFLAGS, CFLAGS and LDFLAGS are split on spaces)
#
# Environment: YARVO_TARGET_RUNNER, a command put in front of the programs it
# builds (the i386 build's runner); YARVO_MACHINE_FILE, the machine probe's
# file, which decides what is skipped.
set -euo pipefail

if [[ $# -ne 11 ]]; then
  sed -n '2,9s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
build=$1 source=$2 work=$3 libdir=$4 version=$5 cxx=$6 cxxflags=$7 ldflags=$8 generator=$9 cc=${10} cflags=${11}
read -r -a cxxflags <<<"$cxxflags"
read -r -a cflags_build <<<"$cflags"
read -r -a ldflags <<<"$ldflags"
read -r -a runner <<<"${YARVO_TARGET_RUNNER:-}"
exec32=yes exec32_why=""
if [[ -n ${YARVO_MACHINE_FILE:-} ]]; then
  bash "$(dirname "${BASH_SOURCE[0]}")/../machine/probe.sh" --cached --quiet "$YARVO_MACHINE_FILE"
  # shellcheck disable=SC1090
  . "$YARVO_MACHINE_FILE"
fi

prefix=$work/prefix
lib=$prefix/$libdir
consumer=$source/tests/install/consumer.cpp
consumer_c=$source/tests/install/consumer.c
c99=(-std=c99 -Wall -Wextra -pedantic -Werror)
failures=0

step() { echo "== $*"; }
fail() { echo "install check: $*" >&2; failures=$((failures + 1)); }
soname() { readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p'; }
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }

rm -rf "$work"
mkdir -p "$work"

step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
sed 's/^/   /' "$work/install.log"

step "installed files"
major=${version%%.*}
for f in include/yarvo.h include/yarvo_c.h "$libdir/libyarvo.a" "$libdir/libyarvo.so.$version" \
         "$libdir/pkgconfig/yarvo.pc" "$libdir/cmake/Yarvo/YarvoConfig.cmake" \
         "$libdir/cmake/Yarvo/YarvoConfigVersion.cmake" share/yarvo/examples/tamso-reel-definitions.xml \
         share/yarvo/examples/game.cpp; do
  [[ -f $prefix/$f && ! -L $prefix/$f ]] || fail "missing file $f"
done
[[ $(readlink "$lib/libyarvo.so.$major" || true) == "libyarvo.so.$version" ]] ||
  fail "libyarvo.so.$major is not a link to libyarvo.so.$version"
[[ $(readlink "$lib/libyarvo.so" || true) == "libyarvo.so.$major" ]] ||
  fail "libyarvo.so is not a link to libyarvo.so.$major"
[[ $(soname "$lib/libyarvo.so.$version") == "libyarvo.so.$major" ]] ||
  fail "SONAME of libyarvo.so.$version is '$(soname "$lib/libyarvo.so.$version")'"
# Hosts must not need TinyXML's headers: the public header forward-declares.
if grep -Eq '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]tinyxml' "$prefix/include/yarvo.h"; then
  fail "yarvo.h includes a TinyXML header"
fi
exports=$(nm -D --defined-only "$lib/libyarvo.so.$version" | awk '{ print $3 }' | grep -Evc '^(yarvo_|_ZN5Yarvo)' || true)
[[ $exports -eq 0 ]] || fail "libyarvo.so.$version exports $exports names other than yarvo_* and the class's"

export PKG_CONFIG_PATH=$lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}

step "pkg-config: shared library"
[[ $(pkg-config --modversion yarvo) == "$version" ]] ||
  fail "pkg-config --modversion yarvo gives '$(pkg-config --modversion yarvo)'"
[[ $(pkg-config --variable=examplesdir yarvo) -ef $prefix/share/yarvo/examples ]] ||
  fail "pkg-config --variable=examplesdir yarvo gives '$(pkg-config --variable=examplesdir yarvo)'"
pc_libdir=$(pkg-config --variable=libdir yarvo)
[[ -d $pc_libdir && $(cd "$pc_libdir" && pwd -P) == $(cd "$lib" && pwd -P) ]] ||
  fail "yarvo.pc's libdir '$pc_libdir' is not the installed $lib"
read -r -a flags <<<"$(pkg-config --cflags --libs yarvo)"
echo "   flags: ${flags[*]}"
"$cxx" "${cxxflags[@]}" "$consumer" "${flags[@]}" "${ldflags[@]}" -o "$work/consumer-pkgconfig"
needed "$work/consumer-pkgconfig" | grep -qx "libyarvo.so.$major" ||
  fail "consumer-pkgconfig does not load libyarvo.so.$major"
LD_LIBRARY_PATH=$lib "${runner[@]}" "$work/consumer-pkgconfig" || fail "consumer-pkgconfig failed"

step "pkg-config: a C program"
"$cc" "${c99[@]}" "${cflags_build[@]}" "$consumer_c" "${flags[@]}" "${ldflags[@]}" -o "$work/consumer-c"
LD_LIBRARY_PATH=$lib "${runner[@]}" "$work/consumer-c" || fail "consumer-c failed"

step "pkg-config --static: static library"
read -r -a cflags <<<"$(pkg-config --cflags yarvo)"
read -r -a libs <<<"$(pkg-config --static --libs yarvo)"
echo "   flags: ${cflags[*]} ${libs[*]}"
# Ask the linker for the archive by name, since libyarvo.so sits beside it.
libs=("${libs[@]/#-lyarvo/-l:libyarvo.a}")
"$cxx" "${cxxflags[@]}" "${cflags[@]}" "$consumer" "${libs[@]}" "${ldflags[@]}" -o "$work/consumer-pkgconfig-static"
if needed "$work/consumer-pkgconfig-static" | grep -q '^libyarvo'; then
  fail "consumer-pkgconfig-static loads a shared libyarvo"
fi
"${runner[@]}" "$work/consumer-pkgconfig-static" || fail "consumer-pkgconfig-static failed"
"$cc" "${c99[@]}" "${cflags_build[@]}" "${cflags[@]}" "$consumer_c" "${libs[@]}" "${ldflags[@]}" \
  -o "$work/consumer-c-static"
"${runner[@]}" "$work/consumer-c-static" || fail "consumer-c-static failed"

step "find_package(Yarvo)"
cmake -S "$source/tests/install" -B "$work/cmake-build" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_FLAGS="${cxxflags[*]}" -DCMAKE_C_FLAGS="${cflags_build[*]}" -DCMAKE_EXE_LINKER_FLAGS="${ldflags[*]}" \
  >"$work/cmake-configure.log" || { cat "$work/cmake-configure.log"; fail "configuring the consumer project failed"; }
if cmake --build "$work/cmake-build" >"$work/cmake-build.log"; then
  # CMake records the imported library's directory as RPATH: no LD_LIBRARY_PATH.
  "${runner[@]}" "$work/cmake-build/consumer-shared" || fail "consumer-shared failed"
  needed "$work/cmake-build/consumer-shared" | grep -qx "libyarvo.so.$major" ||
    fail "consumer-shared does not load libyarvo.so.$major"
  "${runner[@]}" "$work/cmake-build/consumer-static" || fail "consumer-static failed"
  "${runner[@]}" "$work/cmake-build/consumer-c" || fail "consumer-c (CMake) failed"
  "${runner[@]}" "$work/cmake-build/consumer-c-static" || fail "consumer-c-static (CMake) failed"
else
  cat "$work/cmake-build.log"
  fail "building the consumer project failed"
fi

# Installed tools find their preloaded libraries in lib/yarvo/ from their own
# place, not from the build tree nor from where the build meant to install.
if [[ -x $prefix/bin/yarvo-sim ]]; then
  step "yarvo-sim finds $libdir/yarvo/libyarvo-sim-preload.so"
  "$prefix/bin/yarvo-sim" check >"$work/sim-check.txt" 2>&1 || true   # 1: no kernel path here
  grep -qF "(--preload): $(cd "$lib" && pwd -P)/yarvo/libyarvo-sim-preload.so " "$work/sim-check.txt" ||
    { cat "$work/sim-check.txt"; fail "the installed yarvo-sim does not take the installed preload library"; }
fi
if [[ -x $prefix/bin/yarvoctl && ${#runner[@]} -gt 0 && $exec32 != yes ]]; then
  # The tracer starts the traced program itself.
  echo "skipped: installed yarvoctl trace: a 32-bit program that starts another needs the kernel to run it: $exec32_why"
elif [[ -x $prefix/bin/yarvoctl ]]; then
  step "yarvoctl trace finds $libdir/yarvo/libyarvo-trace.so"
  asan=${ASAN_OPTIONS:-}
  preload=LD_PRELOAD
  [[ ${#runner[@]} -eq 0 ]] || preload=YARVO_GUEST_LD_PRELOAD
  if env -u YARVO_TRACE_LIBRARY YARVO_SIM_BOARDS=0:0 "$preload=$lib/yarvo/libyarvo-sim-preload.so" \
       ASAN_OPTIONS="${asan:+$asan:}verify_asan_link_order=0" \
       "${runner[@]}" "$prefix/bin/yarvoctl" trace -o "$work/trace.txt" -- "$prefix/bin/yarvoctl" info >"$work/trace.out" 2>&1; then
    grep -q "Kmora_0 FIRMWARE-VERSION" "$work/trace.txt" || fail "the installed tracer printed no transfer"
  else
    cat "$work/trace.out"
    fail "the installed yarvoctl trace failed"
  fi
fi

# The C example built with pkg-config, and the Python module with its
# example, from the installed files, against the installed virtual board.
if [[ -x $prefix/bin/yarvo-sim ]]; then
  step "examples against the installed yarvo-sim --preload"
  asan=${ASAN_OPTIONS:-}
  under_sim=(env "ASAN_OPTIONS=${asan:+$asan:}verify_asan_link_order=0" "$prefix/bin/yarvo-sim" run --preload --)
  reels=$source/examples/tamso-reel-definitions.xml
  "$cc" "${c99[@]}" "${cflags_build[@]}" "$source/examples/c/spin.c" "${flags[@]}" "${ldflags[@]}" -o "$work/spin-c"
  LD_LIBRARY_PATH=$lib "${under_sim[@]}" "$work/spin-c" "$reels" >"$work/spin-c.txt" 2>&1 ||
    { cat "$work/spin-c.txt"; fail "the C example failed"; }
  python_dir=$(find "$prefix/lib" -path '*/dist-packages/yarvo' -type d 2>/dev/null | head -n 1)
  if [[ -n $python_dir ]]; then
    python_dir=$(dirname "$python_dir")
    echo "   python module in ${python_dir#$prefix/}"
    # From another directory and without LD_LIBRARY_PATH: the module finds
    # libyarvo.so.1 from its own place.
    got=$(cd / && PYTHONPATH=$python_dir /usr/bin/python3 -c 'import yarvo; print(yarvo.__version__)') ||
      fail "import yarvo from the installed tree failed"
    [[ $got == "$version" ]] || fail "yarvo.__version__ is '$got', not $version"
    PYTHONPATH=$python_dir "${under_sim[@]}" /usr/bin/python3 "$source/examples/python/spin.py" --reels "$reels" \
      >"$work/spin-py.txt" 2>&1 || { cat "$work/spin-py.txt"; fail "the Python example failed"; }
  fi
fi

if [[ $failures -ne 0 ]]; then
  echo "install check: $failures failure(s)" >&2
  exit 1
fi
echo "install check: passed"
