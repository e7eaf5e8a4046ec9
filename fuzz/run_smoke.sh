#!/usr/bin/env bash
# A short campaign of one fuzz target: a fresh scratch corpus first (new inputs go there), the
# seed corpus read only, crash files in SCRATCH-artifacts/.
#   run_smoke.sh TARGET SCRATCH SEEDS SECONDS
set -euo pipefail
target=$1 scratch=$2 seeds=$3 seconds=$4
rm -rf "$scratch" "$scratch-artifacts"
mkdir -p "$scratch" "$scratch-artifacts"
# No leak search after each input: the session checks what an input leaves behind (see ./kx).
exec "$target" -max_total_time="$seconds" -timeout=60 -detect_leaks=0 \
  -artifact_prefix="$scratch-artifacts/" \
  "$scratch" "$seeds"
