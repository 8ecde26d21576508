#!/usr/bin/env bash
# The cloud emulator serves a catalogue of 2,000 items of 64 KiB. Ours: the whole road of
# downloadItemsWithCloudSourceIds:progress:completion: for every item (resource list request,
# downloads, MD5 checks, meta files, states, save). Peer: curl --parallel --parallel-max 6 of
# the same files followed by md5sum -c. Three rounds each, alternating; medians compared.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run items}"
driver="$build/bench/items/velmora_bench_items"
emulator="$build/tools/cloud-emulator/velmora-cloud-emulator"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-items.XXXXXX")"
emulatorPid=
cleanup() {
    if [ -n "$emulatorPid" ]; then kill "$emulatorPid" 2>/dev/null || true; wait "$emulatorPid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

"$emulator" --data "$work/data" --port 0 --sample-items 2000 --sample-item-size $((64 * 1024)) \
    >"$work/emulator.out" 2>"$work/emulator.err" &
emulatorPid=$!
for _ in $(seq 600); do
    grep -q '^appid=' "$work/emulator.out" 2>/dev/null && break
    kill -0 "$emulatorPid" 2>/dev/null || { cat "$work/emulator.err" >&2; exit 1; }
    sleep 0.1
done
base=$(sed -n 's/^velmora-cloud-emulator listening on //p' "$work/emulator.out")
key=$(sed -n 's/^api_key=//p' "$work/emulator.out")
secret=$(sed -n 's/^api_secret=//p' "$work/emulator.out")
appid=$(sed -n 's/^appid=//p' "$work/emulator.out")
[ -n "$base" ] && [ -n "$appid" ] || { echo "the emulator did not start" >&2; exit 1; }
cat "$work"/data/store/* >/dev/null  # both clients read from the page cache

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ours=() theirs=() rss=()
for round in 1 2 3; do
    rm -rf "$work/ours" "$work/curl" && mkdir -p "$work/ours" "$work/curl" && sync
    "$driver" "$base" "$key" "$secret" "$appid" "$work/ours" "$work/result" \
        "$work/items.curl" "$work/items.md5" "$work/curl" >"$work/driver.out" 2>"$work/driver.err" ||
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
