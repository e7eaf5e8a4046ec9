#!/usr/bin/env bash
# Compares the layout probe as the platform's headers lay it out (the image's side) with the probe
# as the host kernel's headers lay it out (the side that stands in for the kernel under the image).
# Either side is the probe's assembly or a table already read from it ("NAME VALUE" lines).
# Every entry that differs, or that one side has and the other lacks, is named; any fails.
#   compare_layouts.sh IMAGE_SIDE HOST_SIDE
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: compare_layouts.sh IMAGE_SIDE HOST_SIDE" >&2
  exit 2
fi

# The probe's entries, one "NAME VALUE" line each, from assembly or from a table.
layout_table() {
  if grep -q 'kxlayout ' "$1"; then
    sed -n 's/.*kxlayout \([^ ]*\) \([0-9][0-9]*\).*/\1 \2/p' "$1"
  else
    grep -E '^[^ #]+ [0-9]+$' "$1" || true
  fi
}

image=$(layout_table "$1")
host=$(layout_table "$2")
if [ -z "$image" ] || [ -z "$host" ]; then
  echo "compare_layouts: no layout entries in ${1} or ${2}" >&2
  exit 2
fi

awk -v image_file="$1" -v host_file="$2" '
  FNR == 1 { side++ }
  side == 1 { if ($1 in image) duplicate[$1] = 1; image[$1] = $2; order[++n] = $1; next }
  side == 2 { if ($1 in host) duplicate[$1] = 1; host[$1] = $2; if (!($1 in image)) order[++n] = $1 }
  END {
    bad = 0
    for (i = 1; i <= n; i++) {
      name = order[i]
      if (name in duplicate) { printf "%s: listed twice\n", name; bad++; delete duplicate[name] }
      if (!(name in host)) { printf "%s: image %s, host has no such entry\n", name, image[name]; bad++ }
      else if (!(name in image)) { printf "%s: host %s, image has no such entry\n", name, host[name]; bad++ }
      else if (image[name] != host[name]) { printf "%s: image %s, host %s\n", name, image[name], host[name]; bad++ }
    }
    if (bad) { printf "layouts: %d of %d entries differ\n", bad, n; exit 1 }
    printf "layouts: all %d entries match\n", n
  }' <(echo "$image") <(echo "$host")
