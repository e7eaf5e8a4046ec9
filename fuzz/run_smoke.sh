#!/usr/bin/env bash
# A short campaign of one fuzz target: a fresh scratch corpus first (new inputs go there), the
# seed corpus read only, crash files in SCRATCH-artifacts/.
#   run_smoke.sh TARGET SCRATCH SEEDS SECONDS
set -euo pipefail
target=$1 scratch=$2 seeds=$3 seconds=$4
rm -rf "$scratch" "$scratch-artifacts"
mkdir -p "$scratch" "$scratch-artifacts"
exec "$target" -max_total_time="$seconds" -timeout=60 -artifact_prefix="$scratch-artifacts/" \
  "$scratch" "$seeds"
