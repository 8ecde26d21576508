#!/usr/bin/env bash
# The cloud emulator serves 500 items of 1 MiB and cuts every fifth answer of an item file after
# half its body (20% of connections). Ours: downloadItemsWithCloudSourceIds for every item with
# the default retry policy (retries, resuming cut files). Peers, on the same files in the same
# run: curl --parallel --parallel-max 6 --retry 5 --retry-all-errors, once restarting failed files
# and once with -C - (resuming). Bytes are what the emulator sent as answer bodies; the time ratio
# is ours against the faster curl.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run flaky}"
driver="$build/bench/items/velmora_bench_items"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-flaky.XXXXXX")"
items=500
. "$(dirname "$0")/../lib/emulator.sh"
start_emulator "$work" --sample-items "$items" --sample-item-size $((1024 * 1024))
cat "$work"/data/store/* >/dev/null  # every client reads from the page cache

. "$(dirname "$0")/../lib/common.sh"

bytes_sent() { curl -sS "$base/_emulator/state" | jq '.data.body_bytes_sent'; }
# run_curl OUT [ARGS...]: one curl run of every file into OUT; prints its seconds, the bytes the
# emulator sent, and how many files have their digest.
run_curl() {
    local out="$1" t0 t1 b0 b1 verified
    shift
    sed "s|$work/curlout|$out|" "$work/items.curl" >"$out.curl"
    b0=$(bytes_sent)
    t0=$(now)
    curl -sS --no-progress-meter --fail --parallel --parallel-max 6 --retry 5 --retry-all-errors \
        "$@" -K "$out.curl" 2>"$out.err" || true
    t1=$(now)
    b1=$(bytes_sent)
    verified=$(sed "s|$work/curlout|$out|" "$work/items.md5" | md5sum -c 2>/dev/null | grep -c ': OK$' || true)
    echo "$(calc "$t1 - $t0") $((b1 - b0)) $verified"
}

settle_file_system "$work"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
# The rule counts every item file answer of all three runs alike.
curl -sS -X POST "$base/_emulator/faults" \
    -d '{"path": ".bundle", "truncate": true, "every": 5}' >/dev/null

mkdir -p "$work/ours" "$work/curlout" "$work/restart" "$work/resume" && sync
b0=$(bytes_sent)
"$driver" "$base" "$key" "$secret" "$appid" "$work/ours" "$work/result" \
    "$work/items.curl" "$work/items.md5" "$work/curlout" retry >"$work/driver.out" 2>"$work/driver.err" ||
    tail -5 "$work/driver.err" >&2
b1=$(bytes_sent)
read -r oursSeconds oursFailures rssKiB <"$work/result"
oursVerified=$((items - oursFailures))  # an item succeeds only with its digest
oursBytes=$((b1 - b0))
sync

read -r restartSeconds restartBytes restartVerified < <(run_curl "$work/restart")
sync
read -r resumeSeconds resumeBytes resumeVerified < <(run_curl "$work/resume" -C -)
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"

printf 'ours (retry policy on): %.3f s, %d bytes, %d/%d verified, peak RSS %d KiB\n' \
    "$oursSeconds" "$oursBytes" "$oursVerified" "$items" "$rssKiB"
printf 'curl restarting: %.3f s, %d bytes, %d/%d verified\n' \
    "$restartSeconds" "$restartBytes" "$restartVerified" "$items"
printf 'curl resuming (-C -): %.3f s, %d bytes, %d/%d verified\n' \
    "$resumeSeconds" "$resumeBytes" "$resumeVerified" "$items"
faster=$(awk "BEGIN { print ($restartSeconds < $resumeSeconds) ? $restartSeconds : $resumeSeconds }")
echo "flaky_verified=$oursVerified/$items"
printf 'flaky_bytes_ratio_restart=%.3f\n' "$(calc "$oursBytes / $restartBytes")"
printf 'flaky_bytes_ratio_resume=%.3f\n' "$(calc "$oursBytes / $resumeBytes")"
printf 'flaky_time_ratio=%.3f\n' "$(calc "$oursSeconds / $faster")"
