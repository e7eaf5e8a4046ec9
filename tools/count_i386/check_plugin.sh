#!/usr/bin/env bash
# The counting plugin against a loop of a known length: kx_count_probe runs two instructions per
# iteration, so 3000 iterations take exactly 4000 instructions more than 1000.
#   check_plugin.sh PLUGIN PROBE
set -euo pipefail
plugin=$1 probe=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
count() {
  qemu-i386 -plugin "$plugin,out=$work/count" "$probe" "$1"
  sed -n 's/^thread 0: //p' "$work/count"
}
one=$(count 1000)
three=$(count 3000)
echo "1000 iterations: $one instructions; 3000 iterations: $three"
if [ $((three - one)) -ne 4000 ]; then
  echo "check_plugin.sh: expected 4000 more instructions, counted $((three - one))" >&2
  exit 1
fi
echo "4000 more, as the loop has"
