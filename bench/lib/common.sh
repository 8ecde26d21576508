# Sourced by every benchmark: wall time, arithmetic and the median of three rounds.
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
