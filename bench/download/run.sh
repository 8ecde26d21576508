#!/usr/bin/env bash
# Serves 2,000 files of 64 KiB and 16 files of 32 MiB from nginx on 127.0.0.1 and downloads each
# set, all at once, with downloadWithURL:directoryPath:fileName:progress:success:failure: and with
# curl --parallel --parallel-max 6 on the same URLs; three rounds each, alternating; compares the
# medians of the whole runs.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run download}"
driver="$build/bench/download/velmora_bench_download"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-download.XXXXXX")"
chmod 755 "$work"
. "$(dirname "$0")/../lib/nginx.sh"
cleanup() {
    stop_nginx
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www/small" "$work/www/large" "$work/out"
head -c $((2000 * 64 * 1024)) /dev/urandom | split -b $((64 * 1024)) -d -a 4 - "$work/www/small/s"
head -c $((16 * 32 * 1024 * 1024)) /dev/urandom | split -b $((32 * 1024 * 1024)) -d -a 2 - "$work/www/large/l"
chmod -R a+rX "$work/www"
cat "$work"/www/small/* "$work"/www/large/* >/dev/null  # both clients read from the page cache

port=$(free_port)
start_nginx "$work" "    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }"
base="http://127.0.0.1:$port"

(cd "$work/www/small" && ls) >"$work/small.list"
(cd "$work/www/large" && ls) >"$work/large.list"
curlConfig() {  # set name, output directory
    while read -r name; do
        printf 'url = "%s/%s/%s"\noutput = "%s/%s"\n' "$base" "$1" "$name" "$2" "$name"
    done <"$work/$1.list"
}
curlConfig small "$work/out/curl" >"$work/small.curl"
curlConfig large "$work/out/curl" >"$work/large.curl"

. "$(dirname "$0")/../lib/common.sh"
# The last round's files are moved aside, not deleted, until the end: ext4 makes file creation
# right after a mass deletion much slower, and neither side should pay for that cleanup.
spent=0
fresh() {
    if [ -d "$work/out" ]; then mv "$work/out" "$work/spent.$((spent += 1))"; fi
    mkdir -p "$work/out/ours" "$work/out/curl" && sync
}
check() {  # set: every file arrived whole in both directories
    while read -r name; do
        cmp -s "$work/www/$1/$name" "$work/out/ours/$name" || { echo "ours: $name differs" >&2; exit 1; }
        cmp -s "$work/www/$1/$name" "$work/out/curl/$name" || { echo "curl: $name differs" >&2; exit 1; }
    done <"$work/$1.list"
}

settle_file_system "$work"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
declare -A ratio
smallRss=()
for set in small large; do
    ours=() theirs=()
    for round in 1 2 3; do
        fresh
        t0=$(now)
        read -r inProcess failures rssKiB threads < <("$driver" "$base/$set" "$work/$set.list" "$work/out/ours")
        t1=$(now)
        sync
        t2=$(now)
        curl -sS --no-progress-meter --fail --parallel --parallel-max 6 -K "$work/$set.curl"
        t3=$(now)
        sync
        check "$set"
        ours+=("$(calc "$t1 - $t0")")
        theirs+=("$(calc "$t3 - $t2")")
        if [ "$set" = small ]; then smallRss+=("$rssKiB"); fi
        printf '%s round %d: ours %.3f s (in-process %.3f s, peak RSS %d KiB, %d threads), curl %.3f s\n' \
            "$set" "$round" "${ours[-1]}" "$inProcess" "$rssKiB" "$threads" "${theirs[-1]}"
    done
    oursMedian=$(median "${ours[@]}")
    theirsMedian=$(median "${theirs[@]}")
    printf '%s median: ours %.3f s, curl %.3f s\n' "$set" "$oursMedian" "$theirsMedian"
    ratio[$set]=$(calc "$oursMedian / $theirsMedian")
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
peakKiB=$(printf '%s\n' "${smallRss[@]}" | sort -n | tail -1)
printf 'download_small_ratio=%.3f\n' "${ratio[small]}"
printf 'download_large_ratio=%.3f\n' "${ratio[large]}"
printf 'download_small_peak_rss_mib=%.1f\n' "$(calc "$peakKiB / 1024")"
