# Sourced by every benchmark: wall time, arithmetic and the median of three rounds.
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

# Waits until files deleted before the benchmark no longer slow down creating new ones. On ext4
# without a journal, a new inode skips every inode of its group deleted in the last minute, or
# the last five once that part of the inode table is written to again: right after a test run or
# another benchmark removed its files, file creation is many times slower, for both sides alike,
# and a ratio would only show that. Probes by creating files in WORK (kept until the benchmark's
# own clean-up) every 15 s, for at most VELMORA_BENCH_SETTLE_SECONDS (default 330).
settle_file_system() {
    local dir="$1" limit="${VELMORA_BENCH_SETTLE_SECONDS:-330}" waited=0 round=0 started perFile
    sync
    while :; do
        mkdir -p "$dir/settle.$round"
        started=$(now)
        for i in $(seq 500); do : >"$dir/settle.$round/$i"; done
        perFile=$(calc "($(now) - $started) * 2000")  # microseconds per file
        if awk "BEGIN { exit !($perFile < 150) }" || [ "$waited" -ge "$limit" ]; then break; fi
        [ "$round" = 0 ] && echo "creating a file takes ${perFile%.*} us; waiting for recent deletions to age"
        sleep 15
        waited=$((waited + 15)) round=$((round + 1))
    done
    echo "creating a file takes ${perFile%.*} us (after ${waited} s)"
}
