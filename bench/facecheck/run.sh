#!/usr/bin/env bash
# One million face checks with all four filters on the stand-in engine's face data, five rounds;
# the engine's own processing of each frame is timed separately and subtracted.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run facecheck}"
driver="$build/bench/facecheck/velmora_bench_facecheck"

echo "load: $(uptime)"
output=$("$driver" "${VELMORA_FACECHECK_RUNS:-1000000}" 5)
printf '%s\n' "$output" | sed '$d'
read -r check engine ours allocs < <(printf '%s\n' "$output" | tail -1)
printf 'median round: whole check %.1f ns, engine processing %.1f ns\n' "$check" "$engine"
printf 'filter allocations per check: %s (the face rectangle and expression arrays)\n' "$allocs"
printf 'facecheck_ns_per_frame=%.1f\n' "$ours"
