# Sourced by benchmarks: start_emulator WORK ARGS... starts the cloud emulator with its data in
# WORK/data, waits for it, and sets base, key, secret and appid. It is stopped on exit, and WORK
# is removed.
emulatorPid=
benchWork=
stop_emulator() {
    if [ -n "$emulatorPid" ]; then kill "$emulatorPid" 2>/dev/null || true; wait "$emulatorPid" 2>/dev/null || true; fi
    if [ -n "$benchWork" ]; then rm -rf "$benchWork"; fi
}
trap stop_emulator EXIT

start_emulator() {
    benchWork="$1"
    shift
    "$VELMORA_BENCH_BUILD/tools/cloud-emulator/velmora-cloud-emulator" --data "$benchWork/data" \
        --port 0 "$@" >"$benchWork/emulator.out" 2>"$benchWork/emulator.err" &
    emulatorPid=$!
    for _ in $(seq 1200); do
        grep -q '^appid=' "$benchWork/emulator.out" 2>/dev/null && break
        kill -0 "$emulatorPid" 2>/dev/null || { cat "$benchWork/emulator.err" >&2; exit 1; }
        sleep 0.1
    done
    base=$(sed -n 's/^velmora-cloud-emulator listening on //p' "$benchWork/emulator.out")
    key=$(sed -n 's/^api_key=//p' "$benchWork/emulator.out")
    secret=$(sed -n 's/^api_secret=//p' "$benchWork/emulator.out")
    appid=$(sed -n 's/^appid=//p' "$benchWork/emulator.out")
    [ -n "$base" ] && [ -n "$appid" ] || { echo "the emulator did not start" >&2; exit 1; }
}
