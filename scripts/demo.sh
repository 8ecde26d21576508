#!/usr/bin/env bash
# Sets everything up, builds, and runs the demo of the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=OFF
exec build/release/apps/demo/velmora-demo "$@"
