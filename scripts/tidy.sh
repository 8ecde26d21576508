#!/usr/bin/env bash
# scripts/tidy.sh <build-dir>: clang-tidy with the repository's .clang-tidy over the library's own
# sources (not the tests, tools or apps), with that build's compile database, one file per core.
# Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:?usage: scripts/tidy.sh <build-dir>}"
root="$(pwd | sed 's/[][\.*^$+?(){}|]/\\&/g')"
parts="json|platform|core|net|cloud|resources|builder|editor|ui"
# Only findings are shown: not the command lines, nor the count of warnings hidden in system headers.
status=0
run-clang-tidy -quiet -j "$(nproc)" -p "$dir" "^$root/($parts)/[^/]*\.cpp\$" 2>&1 | {
    sed 's/\x1b\[[0-9;]*m//g' | grep -v -e '^clang-tidy[-0-9]* ' -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
        -e '^Use -header-filter=' -e '^$' || true
} || status=$?
exit "$status"
