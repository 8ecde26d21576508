#!/usr/bin/env bash
# Sets everything up, builds what the demo needs (library, cloud emulator, demo), and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
source scripts/ccache-env.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF \
    -DVELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target velmora-demo -j "$(nproc)"
exec build/release/apps/demo/velmora-demo "$@"
