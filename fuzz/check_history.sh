#!/usr/bin/env bash
# Runs history_probe, which ends in a bug check, and checks the inputs it leaves behind: forty
# inputs leave the last thirty-two; a later failure after five leaves those five and nothing of
# the longer history before it.
#   check_history.sh PROBE FOLDER
set -uo pipefail
probe=$1 folder=$2
rm -rf "$folder" && mkdir -p "$folder"

expect() {  # expect INPUTS FIRST: the probe run with INPUTS leaves FIRST..INPUTS-1
  local inputs=$1 first=$2
  if KX_FUZZ_HISTORY="$folder" "$probe" "$inputs" 2>/dev/null; then
    echo "the probe did not end in a bug check"; exit 1
  fi
  local kept=$((inputs - first))
  [ "$(ls "$folder" | wc -l)" -eq $kept ] || { echo "expected $kept files:"; ls "$folder"; exit 1; }
  for i in $(seq 0 $((kept - 1))); do
    local want got
    want=$(printf '%02x' $((first + i)))
    got=$(od -An -tx1 "$folder/$(printf 'history-%02d' "$i")" | tr -d ' \n')
    [ "$got" = "$want" ] || { echo "history-$i holds '$got', not $want"; exit 1; }
  done
}

expect 40 8
expect 5 0
echo "histories kept in order"
