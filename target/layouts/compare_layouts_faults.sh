#!/usr/bin/env bash
# Runs the layout comparison on the two probes as built, which must match, and on copies of the host
# side with one drift planted in each: a field moved, a record grown, an entry lost. The comparison
# must fail on every copy and name exactly the drift planted there. With a third probe, the host's
# headers compiled for 64 bits, it must fail and name the pointer-sized fields that moved.
#
#   compare_layouts_faults.sh COMPARE_SCRIPT IMAGE_PROBE HOST_PROBE [HOST_64_BIT_PROBE]
set -uo pipefail

compare=$1 image=$2 host=$3 host64=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# Rewrites one entry of the host probe: "NAME +N" shifts it by N, "NAME -" drops it.
plant() {
  local name=$1 change=$2 out=$3
  grep -q "kxlayout $name " "$host" || { echo "no entry $name in $host"; exit 2; }
  awk -v name="$name" -v change="$change" '
    $0 ~ ("kxlayout " name " ") {
      if (change == "-") next
      for (i = 1; i <= NF; i++) if ($i == name) { $(i + 1) += substr(change, 2); break }
    }
    { print }' "$host" >"$out"
}

value_of() { sed -n "s/.*kxlayout $1 \([0-9]*\).*/\1/p" "$2"; }

# expect_drift CASE FILE PATTERN...: the comparison fails, names every pattern and no other entry.
expect_drift() {
  local case=$1 file=$2
  shift 2
  local output status
  output=$(bash "$compare" "$image" "$file" 2>&1)
  status=$?
  local ok=1
  [ "$status" -ne 0 ] || { echo "$case: the comparison passed"; ok=0; }
  local pattern
  for pattern in "$@"; do
    grep -Eq -- "$pattern" <<<"$output" || { echo "$case: MISSED $pattern"; ok=0; }
  done
  if [ "$ok" -eq 1 ]; then
    echo "$case: found"
  else
    echo "--- the comparison said:"
    echo "$output"
    failed=1
  fi
}

if ! bash "$compare" "$image" "$host" >"$work/clean.txt" 2>&1; then
  echo "the probes as built differ already:"
  cat "$work/clean.txt"
  exit 1
fi

field=IRP.Tail.Overlay.CurrentStackLocation
was=$(value_of "$field" "$host")
plant "$field" +4 "$work/moved.s"
expect_drift "moved field" "$work/moved.s" \
  "^$field: image $was, host $((was + 4))\$" "^layouts: 1 of [0-9]+ entries differ"

record=IO_REMOVE_LOCK
was=$(value_of "$record" "$host")
plant "$record" +12 "$work/grown.s"
expect_drift "grown record" "$work/grown.s" \
  "^$record: image $was, host $((was + 12))\$" "^layouts: 1 of [0-9]+ entries differ"

plant FAST_MUTEX.Event - "$work/lost.s"
expect_drift "lost entry" "$work/lost.s" \
  "^FAST_MUTEX.Event: image [0-9]+, host has no such entry\$" "^layouts: 1 of [0-9]+ entries differ"

if [ -n "$host64" ]; then
  expect_drift "64-bit host headers" "$host64" \
    "^PVOID: image 4, host 8\$" "^IRP.Tail.Overlay.CurrentStackLocation: image [0-9]+, host [0-9]+\$" \
    "^IO_STACK_LOCATION.Parameters.Others.Argument2: image 8, host 16\$"
fi

exit $failed
