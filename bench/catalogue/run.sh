#!/usr/bin/env bash
# The cloud emulator serves a catalogue of 20,000 items; a new item list version gives half of
# them a new resource id. Ours: one project configuration check by a fresh service over a store
# that holds the previous version (configuration request, item list read, parse, refresh, both
# saves). Floor: curl fetching the same document, then nlohmann alone parsing it and
# pretty-printing the two documents the check saves. Three rounds each, alternating; medians.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run catalogue}"
driver="$build/bench/catalogue/velmora_bench_catalogue"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-catalogue.XXXXXX")"
. "$(dirname "$0")/../lib/emulator.sh"
start_emulator "$work" --sample-items 20000
creds=("$base" "$key" "$secret" "$appid")

"$driver" prepare "${creds[@]}" "$work/before" >"$work/prepare.out" 2>&1 ||
    { tail -5 "$work/prepare.out" >&2; exit 1; }
"$driver" change "$work/data/items"
version=$(curl -sS -X POST "$base/_emulator/publish" | sed -n 's/.*"item_list_version":\([0-9]*\).*/\1/p')
[ -n "$version" ] || { echo "publishing failed" >&2; exit 1; }
document="$base/itemlist/$version.json"
curl -sS -o /dev/null "$document"  # the emulator builds and caches the served document once

. "$(dirname "$0")/../lib/common.sh"

settle_file_system "$work"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ours=() theirs=() rss=()
for round in 1 2 3; do
    rm -rf "$work/round" && cp -a "$work/before" "$work/round" && sync
    "$driver" check "${creds[@]}" "$work/round" "$work/result" >"$work/check.out" 2>&1 ||
        { tail -5 "$work/check.out" >&2; exit 1; }
    read -r ourSeconds icons rssKiB <"$work/result"
    sync
    t0=$(now)
    curl -sS --fail -o "$work/document.json" "$document"
    t1=$(now)
    "$driver" floor "$work/document.json" "$work/round" "$work/floor"
    read -r floorSeconds <"$work/floor"
    ours+=("$ourSeconds")
    theirs+=("$(calc "$t1 - $t0 + $floorSeconds")")
    rss+=("$rssKiB")
    printf 'round %d: ours %.3f s (%d changed icons, peak RSS %d KiB), floor %.3f s (curl %.3f s + nlohmann %.3f s)\n' \
        "$round" "$ourSeconds" "$icons" "$rssKiB" "${theirs[-1]}" "$(calc "$t1 - $t0")" "$floorSeconds"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
oursMedian=$(median "${ours[@]}")
theirsMedian=$(median "${theirs[@]}")
printf 'median: ours %.3f s, floor %.3f s\n' "$oursMedian" "$theirsMedian"
printf 'catalogue_refresh_ratio=%.3f\n' "$(calc "$oursMedian / $theirsMedian")"
