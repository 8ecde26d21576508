#!/usr/bin/env bash
# scripts/tidy.sh <build-dir>: clang-tidy with the repository's .clang-tidy over the library's own
# sources (not the tests, tools or apps; a unity build's batches of them included), with that
# build's compile database, one file per core. Fails on any finding.
# scripts/tidy.sh --findings <build-dir>: reports what clang-tidy found beside that build's compiles
# (configured with -DVELMORA_CLANG_TIDY=ON); fails on any finding, or when it never ran.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--findings" ]; then
    dir="${2:?usage: scripts/tidy.sh --findings <build-dir>}"
    checked=0
    status=0
    for record in "$dir"/clang-tidy/*; do
        [ -f "$record" ] || continue
        source="$(basename "$record")"
        source="${source//%//}"
        # A source the build no longer compiles (a unity batch that went away) does not count.
        grep -qF "\"file\": \"$source\"" "$dir/compile_commands.json" || continue
        checked=$((checked + 1))
        if [ -s "$record" ]; then
            cat "$record"
            echo
            status=1
        fi
    done
    if [ "$checked" -eq 0 ]; then
        echo "clang-tidy: nothing was checked in $dir (configure it with -DVELMORA_CLANG_TIDY=ON)" >&2
        exit 1
    fi
    exit "$status"
fi
dir="${1:?usage: scripts/tidy.sh <build-dir>}"
root="$(pwd | sed 's/[][\.*^$+?(){}|]/\\&/g')"
parts="json|platform|core|net|cloud|resources|builder|editor|ui"
# Only findings are shown: not the command lines, nor the count of warnings hidden in system headers.
status=0
run-clang-tidy -quiet -j "$(nproc)" -p "$dir" "^$root/($parts)/[^/]*\.cpp\$" \
    '/velmora_obj\.dir/Unity/unity_[a-z0-9_]+_cxx\.cxx$' 2>&1 | {
    sed 's/\x1b\[[0-9;]*m//g' | grep -v -e '^clang-tidy[-0-9]* ' -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
        -e '^Use -header-filter=' -e '^$' || true
} || status=$?
exit "$status"
