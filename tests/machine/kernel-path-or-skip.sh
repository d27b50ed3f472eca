# Sourced by the kernel-path test scripts: asks the machine probe (once a
# boot, with yarvo-sim's own check) and ends the script with exit 77, giving
# the reason, where the machine has no FUSE or no namespaces; otherwise the
# probe's answers are left in the script's variables.
#
#   . kernel-path-or-skip.sh MACHINE_FILE YARVO_SIM WHAT
_probe_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bash "$_probe_dir/probe.sh" --cached --sim "$2" "$1" || exit 1
# shellcheck disable=SC1090
. "$1"
for _need in fuse namespaces; do
  _why=${_need}_why
  if [ "${!_need}" != yes ]; then
    echo "skipped: $3: ${!_why}"
    exit 77
  fi
done
