#!/usr/bin/env bash
# scripts/build.sh <build-dir> [cmake options...]: configure (when new or its options changed)
# and build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ccache-env.sh
dir="$1"
shift
# A tree configured with these very options needs no configure step: Ninja runs CMake again by
# itself when a CMakeLists.txt changes.
wanted="$(printf '%s\n' "$@")"
if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$dir/.configured-with" 2>/dev/null)" != "$wanted" ]; then
    rm -f "$dir/.configured-with"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    printf '%s\n' "$wanted" >"$dir/.configured-with"
fi
cmake --build "$dir" -j "$(nproc)"
