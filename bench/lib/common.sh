# Sourced by every benchmark: wall time, arithmetic and the median of three rounds.
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

# Waits until files deleted before the benchmark no longer slow down creating new ones. On ext4
# without a journal, a new inode skips every inode of its group deleted less than a minute ago
# (five while the inode table is unwritten), which can make file creation several times slower
# right after a test run or another benchmark has removed its files. Writing everything out
# first leaves the one-minute rule.
settle_file_system() {
    local settle="${VELMORA_BENCH_SETTLE_SECONDS:-60}"
    sync
    if [ "$settle" -gt 0 ]; then
        echo "letting the file system settle for ${settle} s (VELMORA_BENCH_SETTLE_SECONDS)"
        sleep "$settle"
    fi
}
