#!/usr/bin/env bash
# One 4032 x 3024 JPEG photograph with Exif orientation 6. Ours: a process that reads it, decodes
# it, turns it upright and fits it into 720 x 1280 (compressImageWithData) and writes a PNG.
# Peer: vipsthumbnail doing the same (--size 720x1280, upright by default, PNG out). Whole
# processes timed, five rounds each, alternating, after one unmeasured round; medians compared.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run photo}"
driver="$build/bench/photo/velmora_bench_photo"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-photo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
photo="$work/photo.jpg"
"$driver" make "$photo"
cat "$photo" >/dev/null  # both read from the page cache

. "$(dirname "$0")/../lib/common.sh"
middle() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

"$driver" fit "$photo" "$work/ours.png" >/dev/null
vipsthumbnail "$photo" --size 720x1280 -o "$work/vips.png" >/dev/null
oursSize=$("$driver" size "$work/ours.png")
vipsSize=$("$driver" size "$work/vips.png")
if [ "$oursSize" != "720 960" ] || [ "$vipsSize" != "720 960" ]; then
    echo "sizes differ from 720 x 960: ours $oursSize, vips $vipsSize" >&2
    exit 1
fi

echo "photo: $(stat -c %s "$photo") bytes; load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ours=() theirs=() rss=()
for round in 1 2 3 4 5; do
    t0=$(now)
    read -r _ _ rssKiB < <("$driver" fit "$photo" "$work/ours.png")
    t1=$(now)
    vipsthumbnail "$photo" --size 720x1280 -o "$work/vips.png"
    t2=$(now)
    ours+=("$(calc "$t1 - $t0")")
    theirs+=("$(calc "$t2 - $t1")")
    rss+=("$rssKiB")
    printf 'round %d: ours %.3f s (peak RSS %d KiB), vipsthumbnail %.3f s\n' \
        "$round" "${ours[-1]}" "$rssKiB" "${theirs[-1]}"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
oursMedian=$(middle "${ours[@]}")
theirsMedian=$(middle "${theirs[@]}")
peakKiB=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
printf 'median: ours %.3f s, vipsthumbnail %.3f s\n' "$oursMedian" "$theirsMedian"
printf 'photo_fit_ratio=%.3f photo_peak_rss_mib=%.1f\n' \
    "$(calc "$oursMedian / $theirsMedian")" "$(calc "$peakKiB / 1024")"
