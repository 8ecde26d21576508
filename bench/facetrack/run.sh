#!/usr/bin/env bash
# A camera stream of 720 x 1280 frames made from a real portrait moving a few pixels a frame: our
# whole check (the face AI in video mode, then all eight filters) against detection and
# landmarks on every frame (the same face AI in image mode), in the same run, on one core.
set -euo pipefail
build="${VELMORA_BENCH_BUILD:?run through bench/run facetrack}"
driver="$build/bench/facetrack/velmora_bench_facetrack"
here="$(cd "$(dirname "$0")/../.." && pwd)"
photo="$here/tests/data/faces/grace_hopper.jpg"
model="${VELMORA_FACE_MODEL:-/usr/share/dlib/shape_predictor_68_face_landmarks.dat}"

echo "load: $(uptime)"
pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi
"${pin[@]}" "$driver" "$photo" "$model" "${VELMORA_FACETRACK_FRAMES:-300}"
