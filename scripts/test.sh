#!/usr/bin/env bash
# Sets everything up, checks the formatting, then builds and runs the whole suite twice: under
# AddressSanitizer with UndefinedBehaviorSanitizer (with clang-tidy over the library's sources on
# that build's compile database), and under ThreadSanitizer. Fails on any failure or finding.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

status=0
echo "== formatting"
if ! git ls-files -z -- '*.h' '*.cpp' | xargs -0 -r clang-format --dry-run --Werror; then
    echo "formatting: run clang-format -i on the files above" >&2
    status=1
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

for sanitizer in address thread; do
    dir="build/test-$sanitizer"
    echo "== build ($sanitizer)"
    scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE="$sanitizer" \
        -DVELMORA_WERROR=ON -DVELMORA_BUILD_BENCH=OFF
    if [ "$sanitizer" = address ]; then
        echo "== clang-tidy"
        scripts/tidy.sh "$dir" || status=1
    fi
    run=()
    # GCC 12's ThreadSanitizer cannot map its shadow memory when the kernel randomises addresses
    # with more than 28 bits; without randomisation it always can.
    if [ "$sanitizer" = thread ] && setarch "$(uname -m)" -R true 2>/dev/null; then
        run=(setarch "$(uname -m)" -R)
    fi
    echo "== tests ($sanitizer)"
    if ! "${run[@]}" ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure --timeout 600; then
        status=1
    fi
done
exit $status
