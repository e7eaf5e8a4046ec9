#!/usr/bin/env bash
# Where one encode's instructions go in the encoder of KxBusIdd.sys, by the image's routines
# (the link map's global names; inlined and file-local code counts to the routine it is in).
#
#   profile_encode.sh PLUGIN PROGRAM MAP IMAGE.png [QUALITY [SAMPLING [LEVEL]]]
#
# Like count_encodes.sh, one encode is the run of three encodes less the run of one, halved.
set -euo pipefail

plugin=$1 program=$2 map=$3 image=$4 quality=${5:-75} sampling=${6:-3} level=${7:-avx2}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT; [ -n "${KEEP:-}" ] && trap - EXIT && echo "$work" >&2

# The map's routines as "ADDRESS NAME" lines, by address.
awk '$1 ~ /^0x[0-9a-f]+$/ && NF >= 2 && $2 !~ /^0x/ && $0 !~ / = / {
       name = $2; for (i = 3; i <= NF; i++) name = name " " $i
       sub(/\(.*/, "", name); print $1, name }' "$map" | sort -u >"$work/symbols"
# The sort above is by the addresses as text, which have one width.

for repeat in 1 3; do
  KX_JPEG_LEVEL=$level qemu-i386 -plugin "$plugin,out=$work/count,profile=$work/profile$repeat" \
    "$program" ours "$image" "$quality" "$sampling" "$repeat" >/dev/null 2>"$work/stderr"
  loaded=$(sed -n 's/^JpegEncodeFrame at //p' "$work/stderr")
done
mapped=$(awk '$2 == "JpegEncodeFrame" { print $1; exit }' "$work/symbols")

# Each block's count moved to the map's addresses, the run of one subtracted from the run of
# three, then summed per routine: the last routine that starts at or before the block.
awk -v loaded="$loaded" -v mapped="$mapped" '
  function hex(s,    v, i) {
    v = 0; s = tolower(substr(s, 3))
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v
  }
  BEGIN { delta = hex(loaded) - hex(mapped) }
  FILENAME ~ /symbols$/ { address[n] = hex($1); name[n] = $2; n++; next }
  FILENAME ~ /profile1$/ { one[hex($1) - delta] += $2; next }
  FILENAME ~ /profile3$/ { three[hex($1) - delta] += $2; next }
  END {
    for (key in three) {
      a = key + 0
      if (a < address[0] || a > address[n - 1] + 65536) { outside += (three[key] - one[key]) / 2; continue }
      lo = 0; hi = n - 1
      while (lo < hi) { mid = int((lo + hi + 1) / 2); if (address[mid] <= a) lo = mid; else hi = mid - 1 }
      routine[name[lo]] += (three[key] - one[key]) / 2
    }
    for (r in routine) if (routine[r] != 0) { printf "%12d %s\n", routine[r], r; total += routine[r] }
    printf "%12d %s\n", total, "(the image in all)"
    printf "%12d %s\n", outside, "(outside the image: the host kernel it calls, the C library)"
  }' "$work/symbols" "$work/profile1" "$work/profile3" | sort -rn | head -30
