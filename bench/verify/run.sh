#!/usr/bin/env bash
# A store of 2,000 items of 64 KiB and 16 of 32 MiB. Ours: verifyItemsWithFileIds over every item
# (the stored states read, every file hashed against the list on the background pool). Peer:
# md5sum -c of the same files. Both read from a warm page cache (the files are read once before
# the rounds). Three rounds each, alternating; medians compared.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run verify}"
driver="$build/bench/verify/velmora_bench_verify"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-verify.XXXXXX")"
trap 'rm -rf "$work"' EXIT

. "$(dirname "$0")/../lib/common.sh"

store="$work/store"
mkdir -p "$store/small" "$store/large"
head -c $((2000 * 64 * 1024)) /dev/urandom |
    split -b $((64 * 1024)) -a 4 -d --additional-suffix=.bundle - "$store/small/s"
head -c $((16 * 32 * 1024 * 1024)) /dev/urandom |
    split -b $((32 * 1024 * 1024)) -a 2 -d --additional-suffix=.bundle - "$store/large/l"
# The check list, which also reads every file once: both sides then meet a warm page cache.
(cd "$store" && find "$store/small" "$store/large" -type f -name '*.bundle' | sort |
    xargs md5sum >"$work/items.md5")
echo "files: $(wc -l <"$work/items.md5"), $(du -sm "$store" | cut -f1) MiB; page cache warm for both"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"

ours=() theirs=() rss=()
for round in 1 2 3; do
    "$driver" "$store" "$work/items.md5" "$work/result" 2>"$work/driver.err" ||
        { tail -5 "$work/driver.err" >&2; exit 1; }
    read -r ourSeconds checked good rssKiB <"$work/result"
    t0=$(now)
    md5sum -c --quiet "$work/items.md5"
    t1=$(now)
    ours+=("$ourSeconds")
    theirs+=("$(calc "$t1 - $t0")")
    rss+=("$rssKiB")
    printf 'round %d: ours %.3f s (%d checked, %d good, peak RSS %d KiB), md5sum -c %.3f s\n' \
        "$round" "$ourSeconds" "$checked" "$good" "$rssKiB" "${theirs[-1]}"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
oursMedian=$(median "${ours[@]}")
theirsMedian=$(median "${theirs[@]}")
peakKiB=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
printf 'median: ours %.3f s, md5sum -c %.3f s\n' "$oursMedian" "$theirsMedian"
printf 'verify_ratio=%.3f\n' "$(calc "$oursMedian / $theirsMedian")"
printf 'verify_peak_rss_mib=%.1f\n' "$(calc "$peakKiB / 1024")"
