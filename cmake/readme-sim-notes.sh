#!/usr/bin/env bash
# The README quotes the top comments of sim/firmware.h and sim/reel.h, and the
# whole of its example programs, word for word, between markers like
#   <!-- begin: top comment of sim/firmware.h -->  ...  <!-- end: sim/firmware.h -->
#   <!-- begin: examples/game.cpp -->  ...  <!-- end: examples/game.cpp -->
#
#   readme-sim-notes.sh check    fail if a quote differs from its source
#   readme-sim-notes.sh update   rewrite the quotes from the sources
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readme=$root/README.md
sources=(sim/firmware.h sim/reel.h examples/game.cpp)

# What the README quotes of a file: the leading run of // lines of a header,
# comment markers removed; an example program whole.
top_comment() {
  case $1 in
    examples/*) cat "$root/$1" ;;
    *) awk '/^\/\//{ sub(/^\/\/ ?/, ""); print; next } { exit }' "$root/$1" ;;
  esac
}
begin_marker() {
  case $1 in
    examples/*) echo "<!-- begin: $1 -->" ;;
    *) echo "<!-- begin: top comment of $1 -->" ;;
  esac
}
fence() {
  case $1 in
    examples/*.cpp) echo '```cpp' ;;
    examples/*.c) echo '```c' ;;
    examples/*.py) echo '```python' ;;
    *) echo '```text' ;;
  esac
}

# The text quoted in the README for a source file (without the code fence).
quoted() {
  awk -v begin="$(begin_marker "$1")" -v f="$1" '
    $0 == begin { inside = 1; next }
    $0 == "<!-- end: " f " -->" { inside = 0; found = 1; next }
    inside && !/^```/ { print }
    END { if (!found) exit 1 }' "$readme"
}

case ${1:-} in
  check)
    status=0
    for f in "${sources[@]}"; do
      if ! want=$(top_comment "$f"); then status=1; continue; fi
      if ! have=$(quoted "$f"); then
        echo "README.md has no quote of $f" >&2; status=1; continue
      fi
      if [[ $want != "$have" ]]; then
        echo "README.md's quote of $f differs from the source (run: make readme):" >&2
        diff <(echo "$have") <(echo "$want") >&2 || true
        status=1
      else
        echo "README.md quotes $f as it is"
      fi
    done
    exit $status
    ;;
  update)
    tmp=$(mktemp)
    trap 'rm -f "$tmp"' EXIT
    cp "$readme" "$tmp"
    for f in "${sources[@]}"; do
      quoted "$f" >/dev/null || { echo "README.md has no markers for $f" >&2; exit 1; }
      top_comment "$f" >"$tmp.body"
      awk -v f="$f" -v body="$tmp.body" -v begin="$(begin_marker "$f")" -v fence="$(fence "$f")" '
        $0 == begin {
          print; print fence
          while ((getline line < body) > 0) print line
          print "```"; skip = 1; next }
        $0 == "<!-- end: " f " -->" { skip = 0 }
        !skip { print }' "$tmp" >"$tmp.new"
      mv "$tmp.new" "$tmp"
      rm -f "$tmp.body"
    done
    if cmp -s "$tmp" "$readme"; then
      echo "README.md: simulator notes already up to date"
    else
      cat "$tmp" >"$readme"
      echo "README.md: simulator notes updated"
    fi
    ;;
  *)
    sed -n '2,7s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
esac
