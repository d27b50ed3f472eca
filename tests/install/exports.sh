#!/usr/bin/env bash
# The shared library exports exactly the names of EXPECTED: the C interface
# and the class's members.  A name that appears (an internal function
# leaking) or disappears (an ABI break without a new SONAME) fails the test.
#
# Usage: exports.sh LIBRARY EXPECTED
set -euo pipefail
if [[ $# -ne 2 ]]; then
  sed -n '2,6s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
library=$1 expected=$2
actual=$(nm -D --defined-only --demangle "$library" | sed -E 's/^[0-9a-f]* +[A-Za-z] //' | LC_ALL=C sort -u)
wanted=$(sed '/^#/d; /^$/d' "$expected" | LC_ALL=C sort -u)
if [[ $actual == "$wanted" ]]; then
  echo "exports: $(wc -l <<<"$actual") names, as listed in $expected"
  exit 0
fi
echo "exports: $library differs from $expected (< listed only, > exported only):"
diff <(echo "$wanted") <(echo "$actual") | grep '^[<>]'
exit 1
