#!/usr/bin/env bash
# A custom avatar root of 1,000 avatar directories (avatar.json and avatar.png each) among 500
# plain files and 500 directories without avatar.json. Ours: getAvatarListWithCompletion: from
# the call to the completion with the models, listing on the background queue. Peer: find ROOT
# -mindepth 2 -maxdepth 2 -name avatar.json, spawned and its output read, in the same process
# and run. Eleven rounds each, alternating, after one unmeasured round; medians compared.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run avatars}"
driver="$build/bench/avatars/velmora_bench_avatars"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-avatars.XXXXXX")"
trap 'rm -rf "$work"' EXIT
root="$work/avatars"
mkdir -p "$root"

printf '%s' '{"gender":1,"bundle_list":["hair/hair_01.bundle","top/top_01.bundle"]}' >"$work/avatar.json"
printf 'not really a png' >"$work/avatar.png"
for i in $(seq -w 1 1000); do
    mkdir "$root/avatar$i"
    cp "$work/avatar.json" "$work/avatar.png" "$root/avatar$i/"
done
for i in $(seq -w 1 500); do
    printf 'x' >"$root/file$i.txt"
    mkdir "$root/empty$i"
    printf 'x' >"$root/empty$i/notes.txt"
done
find "$root" >/dev/null  # both sides read from the dentry cache

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
read -r ours theirs ourCount findCount rssKiB < <("$driver" "$root" 11 2>"$work/driver.err") ||
    { cat "$work/driver.err" >&2; exit 1; }
cat "$work/driver.err"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$ourCount" != 1000 ] || [ "$findCount" != 1000 ]; then
    echo "listed $ourCount avatars, find $findCount: expected 1000 each" >&2
    exit 1
fi
. "$(dirname "$0")/../lib/common.sh"
printf 'median: ours %.3f ms, find %.3f ms; peak RSS %d KiB\n' \
    "$(calc "$ours * 1000")" "$(calc "$theirs * 1000")" "$rssKiB"
printf 'avatar_list_ratio=%.3f\n' "$(calc "$ours / $theirs")"
