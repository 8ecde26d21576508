#!/usr/bin/env bash
# scripts/build.sh <build-dir> [cmake options...]: configure (once) and build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/ccache-env.sh
dir="$1"
shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
