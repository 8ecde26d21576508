#!/usr/bin/env bash
# A mobile link on loopback: the cloud emulator (resource lists) and nginx over TLS serving its
# item files (HTTP/2 or HTTP/1.1 by ALPN) as the cloud's CDN, each behind a proxy that delays
# every chunk 50 ms each way (100 ms round trip). 1,000 items of 64 KiB. Ours: the whole road of
# downloadItemsWithCloudSourceIds:progress:completion: (resource list, downloads, MD5 checks,
# states, save). Peers, on the same files through the same proxy: curl --http2 --parallel
# --parallel-max 100 and curl --http1.1 --parallel --parallel-max 6, each followed by md5sum -c.
# Three rounds each, alternating; medians compared. VELMORA_LATENCY_ITEMS,
# VELMORA_LATENCY_ONE_WAY_MS and VELMORA_LATENCY_RATE (bytes per second each way, none by
# default) change the set-up.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run latency}"
driver="$build/bench/items/velmora_bench_items"
proxy="$build/bench/latency/velmora_bench_delay_proxy"
items="${VELMORA_LATENCY_ITEMS:-1000}"
oneWay="${VELMORA_LATENCY_ONE_WAY_MS:-50}"
rate="${VELMORA_LATENCY_RATE:-}"
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-latency.XXXXXX")"
here="$(dirname "$0")"
. "$here/../lib/emulator.sh"
. "$here/../lib/nginx.sh"
. "$here/../lib/common.sh"
proxies=()
cleanup() {
    for pid in "${proxies[@]}"; do kill "$pid" 2>/dev/null || true; done
    stop_nginx
    stop_emulator
}
trap cleanup EXIT

start_emulator "$work" --sample-items "$items" --sample-item-size $((64 * 1024))
emulatorPort="${base##*:}"
chmod 755 "$work" "$work/data" "$work/data/store"
chmod -R a+rX "$work/data/store"
cat "$work"/data/store/* >/dev/null  # every client reads from the page cache

mkdir "$work/tls"
make_certificates "$work/tls"
cdnPort=$(free_port)
start_nginx "$work/tls" "    server {
        listen 127.0.0.1:$cdnPort ssl http2;
        ssl_certificate $work/tls/server.pem;
        ssl_certificate_key $work/tls/server.key;
        http2_max_concurrent_streams 128;
        location ~ \"^/files/store/([0-9a-f]{32})/\" { alias $work/data/store/\$1; }
        location /itemlist/ { proxy_pass http://127.0.0.1:$emulatorPort; }
    }"

# start_proxy TARGET-PORT: a delaying proxy in front of it; sets proxyPort.
start_proxy() {
    "$proxy" "$1" "$oneWay" $rate >"$work/proxy.$1" &
    proxies+=($!)
    for _ in $(seq 100); do
        grep -q '^listening on' "$work/proxy.$1" 2>/dev/null && break
        sleep 0.05
    done
    proxyPort=$(sed -n 's/^listening on //p' "$work/proxy.$1")
    [ -n "$proxyPort" ] || { echo "the delaying proxy did not start" >&2; exit 1; }
}
start_proxy "$emulatorPort"
apiProxy=$proxyPort
start_proxy "$cdnPort"
cdnProxy=$proxyPort
apiBase="http://127.0.0.1:$apiProxy"
cdnBase="https://127.0.0.1:$cdnProxy"
curl -sS --fail -o /dev/null -X POST "$base/_emulator/settings" -d "{\"files_base_url\": \"$cdnBase\"}"
ca="$work/tls/ca.pem"

# verified ROOT MD5-LIST PREFIX: items whose file below ROOT has its MD5 and whose state is 3.
verified() {
    python3 - "$1" "$2" "$3" <<'PY'
import hashlib, json, sys
root, listing, prefix = sys.argv[1:]
info = json.load(open(root + "/GGenerateJson/resource_info.json"))
good = total = 0
for line in open(listing):
    md5, path = line.rstrip("\n").split("  ", 1)
    fileId = path[len(prefix):]
    total += 1
    try:
        digest = hashlib.md5(open(root + "/" + fileId, "rb").read()).hexdigest()
    except OSError:
        continue
    good += digest == md5 and info.get(fileId, {}).get("fileState") == 3
print(f"{good}/{total}")
PY
}

settle_file_system "$work"
echo "link: ${oneWay} ms each way${rate:+, $rate bytes/s}; $items items of 64 KiB"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
ours=() h2=() h1=() checks=()
for round in 1 2 3; do
    mkdir -p "$work/ours$round" "$work/h2.$round" "$work/h1.$round" && sync
    "$driver" "$apiBase" "$key" "$secret" "$appid" "$work/ours$round" "$work/result" \
        "$work/items.curl" "$work/items.md5" "$work/h2.$round" "ca=$ca" \
        >"$work/driver.out" 2>"$work/driver.err" ||
        { tail -5 "$work/driver.err" >&2; tail -20 "$work/emulator.err" >&2; exit 1; }
    read -r ourSeconds failures _ <"$work/result"
    checks+=("$(verified "$work/ours$round" "$work/items.md5" "$work/h2.$round/")")
    sync
    # The driver names the files on the cloud's own address; the peers fetch them from the CDN.
    sed -i "s#\"$apiBase/files/store/#\"$cdnBase/files/store/#" "$work/items.curl"
    sed "s#$work/h2.$round/#$work/h1.$round/#" "$work/items.curl" >"$work/items.h1.curl"
    sed "s#$work/h2.$round/#$work/h1.$round/#" "$work/items.md5" >"$work/items.h1.md5"
    t0=$(now)
    curl -sS --no-progress-meter --fail --cacert "$ca" --http2 --parallel --parallel-max 100 \
        -K "$work/items.curl"
    md5sum -c --quiet "$work/items.md5"
    t1=$(now)
    sync
    t2=$(now)
    curl -sS --no-progress-meter --fail --cacert "$ca" --http1.1 --parallel --parallel-max 6 \
        -K "$work/items.h1.curl"
    md5sum -c --quiet "$work/items.h1.md5"
    t3=$(now)
    sync
    ours+=("$ourSeconds")
    h2+=("$(calc "$t1 - $t0")")
    h1+=("$(calc "$t3 - $t2")")
    printf 'round %d: ours %.3f s (%d failures, %s verified), curl h2 %.3f s, curl h1.1 6-way %.3f s\n' \
        "$round" "$ourSeconds" "$failures" "${checks[-1]}" "${h2[-1]}" "${h1[-1]}"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
oursMedian=$(median "${ours[@]}")
h2Median=$(median "${h2[@]}")
h1Median=$(median "${h1[@]}")
printf 'median: ours %.3f s, curl h2 %.3f s, curl h1.1 %.3f s\n' "$oursMedian" "$h2Median" "$h1Median"
printf 'latency_h2_ratio=%.3f\n' "$(calc "$oursMedian / $h2Median")"
printf 'latency_h1_ratio=%.3f\n' "$(calc "$oursMedian / $h1Median")"
# The worst round's count: every round must have verified every item.
printf 'latency_verified=%s\n' "$(printf '%s\n' "${checks[@]}" | sort -t/ -k1,1n | head -1)"
