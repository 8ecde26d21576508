#!/usr/bin/env bash
# Sets everything up, checks the formatting, then builds and runs the whole suite twice: under
# AddressSanitizer with UndefinedBehaviorSanitizer (with clang-tidy over the library's sources
# beside that build's compiles), and under ThreadSanitizer, the two runs side by side. Fails on
# any failure or finding. Each phase prints the seconds it took. A run whose inputs are exactly
# those of the last green run of a tree is not repeated; VELMORA_RETEST=1 repeats it.
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

# What a tree's test results depend on: every source file and the commit (the build reports
# it), the tree's configuration, the system's packages, the machine, the environment the tests
# see, and the programs and libraries the build made (by path, size and time: a rebuild changes
# them).
inputs_key() {
    local dir="$1"
    {
        # Only regular files are read: a FIFO left in the checkout must not stop the command, and
        # a link counts by where it points.
        local regular=() f
        while IFS= read -r -d '' f; do
            if [ -L "$f" ]; then
                printf 'link %s -> %s\n' "$f" "$(readlink "$f")"
            elif [ -f "$f" ]; then
                regular+=("$f")
            else
                printf 'other %s\n' "$f"
            fi
        done < <(git ls-files -z -co --exclude-standard 2>/dev/null)
        if ((${#regular[@]})); then
            printf '%s\0' "${regular[@]}" | xargs -0 sha1sum 2>&1 || true
        fi
        git rev-parse HEAD 2>&1 || true
        sha1sum "$dir/CMakeCache.txt"
        dpkg-query -W -f='${Package} ${Version}\n'
        uname -srvm
        nproc
        env | grep -E '^(ASAN|UBSAN|TSAN|LSAN|VELMORA|CCACHE)_' | grep -v '^VELMORA_RETEST=' | sort || true
        find "$dir" \( -path "$dir/tests/install/work" -o -name CMakeFiles -o -name Testing \) -prune \
            -o -type f \( -perm -u+x -o -name '*.so*' -o -name '*.a' \) -printf '%P %s %T@\n' | sort
    } | sha1sum | cut -d' ' -f1
}

# GCC 12's ThreadSanitizer cannot map its shadow memory when the kernel randomises addresses
# with more than 28 bits; without randomisation it always can.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
    no_aslr=(setarch "$(uname -m)" -R)
fi

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
done

# Most tests wait on the emulator or on the disk, and the two runs wait at different moments, so
# both run at once, each two tests a core.
jobs=$(($(nproc) * 2))
phase "tests (address and thread, side by side)"
running=()
for sanitizer in address thread; do
    dir="build/test-$sanitizer"
    key="$(inputs_key "$dir")"
    echo "$key" >"$dir/tests-inputs"
    if [ -z "${VELMORA_RETEST:-}" ] && [ "$(head -n 1 "$dir/tests-green" 2>/dev/null)" = "$key" ]; then
        echo "tests ($sanitizer): all passed on exactly these inputs at $(sed -n 2p "$dir/tests-green");" \
            "not repeated (VELMORA_RETEST=1 repeats them)"
        continue
    fi
    rm -f "$dir/tests-green" "$dir/tests-status"
    run=()
    [ "$sanitizer" = thread ] && run=("${no_aslr[@]}")
    (
        rc=0
        "${run[@]}" ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 \
            >"$dir/tests.log" 2>&1 || rc=$?
        echo "$rc" >"$dir/tests-status"
    ) &
    running+=("$sanitizer")
done
wait
for sanitizer in "${running[@]}"; do
    dir="build/test-$sanitizer"
    echo "-- tests ($sanitizer)"
    cat "$dir/tests.log"
    if [ "$(cat "$dir/tests-status" 2>/dev/null)" = 0 ]; then
        printf '%s\n%s\n' "$(cat "$dir/tests-inputs")" "$(date -u '+%Y-%m-%d %H:%M:%S UTC')" \
            >"$dir/tests-green"
    else
        status=1
    fi
done
took "tests"
exit $status
