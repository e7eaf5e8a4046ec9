#!/usr/bin/env bash
# Instructions per encode of the 32-bit encoders: the one in KxBusIdd.sys against the
# distribution's i386 libjpeg-turbo, counted exactly under qemu-i386 by the counting plugin. No
# machine here runs 32-bit x86 code itself, and emulated time means nothing; the count of the
# guest instructions is exact and repeatable, the figure to optimise the image's encoder against.
#
#   count_encodes.sh PLUGIN PROGRAM [--images A.png,B.png] [--settings 75:3,90:0]
#                    [--levels avx2,sse2]
#
# PLUGIN is libkx_insn_count.so, PROGRAM kx_encode_count. Each figure is one encode: the
# program's main thread run with three encodes less the same run with one, halved, so that
# loading the image and the picture cancels out. Settings are QUALITY:SAMPLING (3 is 4:2:0, 0 is
# 4:4:4); levels name the encoder's highest stage level (KX_JPEG_LEVEL), and libjpeg-turbo runs
# at the matching one (JSIMD_FORCESSE2=1 for sse2, its own choice, AVX2 here, for avx2).
set -euo pipefail

plugin=$1 program=$2
shift 2
images="" settings="75:3,90:0" levels="avx2,sse2"
while [ $# -gt 0 ]; do
  case "$1" in
    --images) images=$2; shift 2 ;;
    --settings) settings=$2; shift 2 ;;
    --levels) levels=$2; shift 2 ;;
    *) echo "count_encodes.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$images" ]; then
  images=$(ls "$(dirname "$0")"/../../corpus/*.png | tr '\n' ',')
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Instructions of the main thread for one run: ENCODER IMAGE QUALITY SAMPLING LEVEL REPEAT.
# The stream's length and checksum go to $work/stream for the caller to compare.
count_run() {
  local encoder=$1 image=$2 quality=$3 sampling=$4 level=$5 repeat=$6
  local env=(KX_JPEG_LEVEL="$level")
  [ "$level" = sse2 ] && env+=(JSIMD_FORCESSE2=1)
  env "${env[@]}" qemu-i386 -plugin "$plugin,out=$work/count" "$program" "$encoder" "$image" \
    "$quality" "$sampling" "$repeat" >"$work/stream" 2>"$work/stderr" || {
    cat "$work/stderr" >&2
    exit 1
  }
  sed -n 's/^thread 0: //p' "$work/count"
}

# One encode's instructions: the difference of three encodes and one, halved; the streams of both
# runs must be the same.
count_encode() {
  local one three stream
  one=$(count_run "$@" 1)
  stream=$(cat "$work/stream")
  three=$(count_run "$@" 3)
  if [ "$stream" != "$(cat "$work/stream")" ]; then
    echo "count_encodes.sh: $1 gave another stream on the second run" >&2
    exit 1
  fi
  echo $(((three - one) / 2))
}

sampling_name() {
  case "$1" in 0) echo 4:4:4 ;; 1|2) echo 4:2:2 ;; 3) echo 4:2:0 ;; esac
}

echo "i386 instructions per encode, counted by qemu-i386 (ours: the encoder in KxBusIdd.sys;"
echo "peer: the distribution's i386 libjpeg-turbo); ratio = ours / peer, lower is better"
IFS=, read -ra image_list <<<"$images"
IFS=, read -ra setting_list <<<"$settings"
IFS=, read -ra level_list <<<"$levels"
for level in "${level_list[@]}"; do
  for setting in "${setting_list[@]}"; do
    quality=${setting%%:*} sampling=${setting##*:}
    echo
    echo "level $level, q$quality $(sampling_name "$sampling")"
    printf '  %-22s %12s %12s %7s\n' image ours peer ratio
    : >"$work/ratios"
    for image in "${image_list[@]}"; do
      [ -n "$image" ] || continue
      ours=$(count_encode ours "$image" "$quality" "$sampling" "$level")
      peer=$(count_encode libjpeg "$image" "$quality" "$sampling" "$level")
      ratio=$(awk -v a="$ours" -v b="$peer" 'BEGIN { printf "%.3f", a / b }')
      echo "$ratio" >>"$work/ratios"
      printf '  %-22s %12d %12d %7s\n' "$(basename "$image")" "$ours" "$peer" "$ratio"
    done
    awk '{ s += log($1); n++; if (n == 1 || $1 > m) m = $1 }
         END { printf "  %-22s %33.3f (highest %.3f)\n", "geometric mean", exp(s / n), m }' \
      "$work/ratios"
  done
done
