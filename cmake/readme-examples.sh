#!/usr/bin/env bash
# The README's C and Python examples, taken from it as they are written,
# built against the build tree and run under yarvo-sim (through
# tests/machine/under-sim.sh) from the source tree, where their reel file is.
#
#   readme-examples.sh SOURCE_DIR BUILD_DIR CC MACHINE_FILE YARVO_SIM
set -euo pipefail
if [[ $# -ne 5 ]]; then
  sed -n '2,6s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
source=$1 build=$2 cc=$3 machine=$4 sim=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/yarvo-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The first fenced block of LANGUAGE after the heading TITLE.
block() {
  awk -v title="$1" -v fence="\`\`\`$2" '
    $0 == title { found = 1; next }
    found && $0 == fence { inside = 1; next }
    inside && $0 == "```" { exit }
    inside { print }' "$source/README.md"
}
block "### From C" c >"$work/game.c"
block "### From Python" python >"$work/game.py"
[[ -s $work/game.c && -s $work/game.py ]] || { echo "readme-examples: examples not found in README.md"; exit 1; }

"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$work/game.c" -I"$source/include" -L"$build/lib" -lyarvo \
  -Wl,-rpath,"$build/lib" -o "$work/game"
cd "$source"
under_sim=(bash tests/machine/under-sim.sh "$machine" "$sim" --)
"${under_sim[@]}" "$work/game" | tee "$work/c.out"
grep -q "on its way to symbol 7" "$work/c.out"
PYTHONPATH=$build/bindings/python "${under_sim[@]}" /usr/bin/python3 "$work/game.py" | tee "$work/py.out"
grep -qx "reel 1: symbol 12, position 240" "$work/py.out"
grep -qx "8 ReelMsgBadReelNumber" "$work/py.out"
echo "readme-examples: both run as written"
