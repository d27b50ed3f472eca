# The browser test under the machine probe: skipped (exit 77, with the
# reason) where the kernel path is not available, since --web needs it.
#
#   browser-test.sh MACHINE_FILE YARVO_SIM CABINET_HOST REEL_FILE CABINET_FILE SCREENSHOT
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../machine/kernel-path-or-skip.sh" "$1" "$2" "the browser test (yarvo-sim --web needs the kernel path)"
if [[ ${kernel_path:-} != yes ]]; then
  echo "skipped: the browser test (yarvo-sim --web needs the kernel path): ${kernel_path_why:-not available}"
  exit 77
fi
shift
exec /usr/bin/python3 "$here/browser_test.py" "$@"
