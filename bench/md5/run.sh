#!/usr/bin/env bash
# Digests one 512 MiB file with getFileMD5WithPath and with md5sum, three rounds each, alternating
# so that both meet the same page cache; compares the medians of the whole runs.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run md5}"
driver="$build/bench/md5/velmora_bench_md5"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-md5.XXXXXX")"
trap 'rm -rf "$work"' EXIT
file="$work/blob"

head -c $((512 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null  # both tools read from the page cache

. "$(dirname "$0")/../lib/common.sh"

ours=() theirs=() rss=()
for round in 1 2 3; do
    t0=$(now)
    read -r ourDigest ourSeconds ourRss < <("$driver" "$file")
    t1=$(now)
    theirDigest=$(md5sum "$file" | cut -d' ' -f1)
    t2=$(now)
    if [ "$ourDigest" != "$theirDigest" ]; then
        echo "digests differ: $ourDigest vs $theirDigest" >&2
        exit 1
    fi
    ours+=("$(calc "$t1 - $t0")")
    theirs+=("$(calc "$t2 - $t1")")
    rss+=("$ourRss")
    printf 'round %d: ours %.3f s (in-process %.3f s), md5sum %.3f s, peak RSS %d KiB\n' \
        "$round" "${ours[-1]}" "$ourSeconds" "${theirs[-1]}" "$ourRss"
done

oursMedian=$(median "${ours[@]}")
theirsMedian=$(median "${theirs[@]}")
peakKiB=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
printf 'median: ours %.3f s (%.0f MiB/s), md5sum %.3f s (%.0f MiB/s)\n' \
    "$oursMedian" "$(calc "512 / $oursMedian")" \
    "$theirsMedian" "$(calc "512 / $theirsMedian")"
printf 'md5_throughput_ratio=%.3f md5_peak_rss_mib=%.1f\n' \
    "$(calc "$theirsMedian / $oursMedian")" "$(calc "$peakKiB / 1024")"
