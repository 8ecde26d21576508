#!/usr/bin/env bash
# The cloud emulator serves a catalogue of 2,000 items of 64 KiB. Ours: the whole road of
# downloadItemsWithCloudSourceIds:progress:completion: for every item (resource list request,
# downloads, MD5 checks, meta files, states, save). Peer: curl --parallel --parallel-max 6 of
# the same files followed by md5sum -c. Three rounds each, alternating; medians compared.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run items}"
driver="$build/bench/items/velmora_bench_items"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-items.XXXXXX")"
. "$(dirname "$0")/../lib/emulator.sh"
start_emulator "$work" --sample-items 2000 --sample-item-size $((64 * 1024))
cat "$work"/data/store/* >/dev/null  # both clients read from the page cache

. "$(dirname "$0")/../lib/common.sh"

settle_file_system "$work"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ours=() theirs=() rss=()
for round in 1 2 3; do
    # Fresh directories each round, removed only at the end: ext4 makes file creation right
    # after a mass deletion much slower, and neither side should pay for the last round's cleanup.
    mkdir -p "$work/ours$round" "$work/curl$round" && sync
    "$driver" "$base" "$key" "$secret" "$appid" "$work/ours$round" "$work/result" \
        "$work/items.curl" "$work/items.md5" "$work/curl$round" >"$work/driver.out" 2>"$work/driver.err" ||
        { tail -5 "$work/driver.err" >&2; tail -20 "$work/emulator.err" >&2; exit 1; }
    read -r ourSeconds failures rssKiB <"$work/result"
    sync
    t0=$(now)
    curl -sS --no-progress-meter --fail --parallel --parallel-max 6 -K "$work/items.curl"
    md5sum -c --quiet "$work/items.md5"
    t1=$(now)
    sync
    ours+=("$ourSeconds")
    theirs+=("$(calc "$t1 - $t0")")
    rss+=("$rssKiB")
    printf 'round %d: ours %.3f s (%d failures, peak RSS %d KiB), curl+md5sum %.3f s\n' \
        "$round" "$ourSeconds" "$failures" "$rssKiB" "${theirs[-1]}"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
oursMedian=$(median "${ours[@]}")
theirsMedian=$(median "${theirs[@]}")
peakKiB=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
printf 'median: ours %.3f s, curl+md5sum %.3f s\n' "$oursMedian" "$theirsMedian"
printf 'items_ratio=%.3f\n' "$(calc "$oursMedian / $theirsMedian")"
printf 'items_peak_rss_mib=%.1f\n' "$(calc "$peakKiB / 1024")"
