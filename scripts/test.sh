#!/usr/bin/env bash
# Sets everything up, checks the formatting, then builds and runs the whole suite twice: under
# AddressSanitizer with UndefinedBehaviorSanitizer (with clang-tidy over the library's sources
# beside that build's compiles), and under ThreadSanitizer. Fails on any failure or finding.
# Each phase prints the seconds it took.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

status=0
phase_start=$SECONDS
phase() {
    echo "== $1"
    phase_start=$SECONDS
}
took() {
    echo "== $1: $((SECONDS - phase_start)) s"
}

phase "formatting"
if ! git ls-files -z -- '*.h' '*.cpp' | xargs -0 -r -P "$(nproc)" -n 32 clang-format --dry-run --Werror; then
    echo "formatting: run clang-format -i on the files above" >&2
    status=1
fi
took "formatting"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Most tests wait on the emulator or on the disk, so two of them share a core.
jobs=$(($(nproc) * 2))
for sanitizer in address thread; do
    dir="build/test-$sanitizer"
    options=(-DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE="$sanitizer" -DVELMORA_WERROR=ON
        -DVELMORA_BUILD_BENCH=OFF -DVELMORA_UNITY_BUILD=ON)
    [ "$sanitizer" = address ] && options+=(-DVELMORA_CLANG_TIDY=ON)
    phase "build ($sanitizer)"
    scripts/build.sh "$dir" "${options[@]}"
    took "build ($sanitizer)"
    if [ "$sanitizer" = address ]; then
        phase "clang-tidy (beside the build)"
        scripts/tidy.sh --findings "$dir" || status=1
        took "clang-tidy"
    fi
    run=()
    # GCC 12's ThreadSanitizer cannot map its shadow memory when the kernel randomises addresses
    # with more than 28 bits; without randomisation it always can.
    if [ "$sanitizer" = thread ] && setarch "$(uname -m)" -R true 2>/dev/null; then
        run=(setarch "$(uname -m)" -R)
    fi
    phase "tests ($sanitizer)"
    if ! "${run[@]}" ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600; then
        status=1
    fi
    took "tests ($sanitizer)"
done
exit $status
