#!/usr/bin/env bash
# Run by the build beside each compile of the library's sources when VELMORA_CLANG_TIDY is on:
#   tidy-source.sh <findings-dir> <clang-tidy> <arguments for clang-tidy...>
# The source's findings are written to <findings-dir>/<source path with / as %> (empty when it is
# clean) and the compile goes on, so that one build shows the findings and the test results both;
# `scripts/tidy.sh --findings <build-dir>` reports them and fails on any. Only what a rebuild
# compiles is checked again: a source and whatever its headers reach.
set -uo pipefail
findings="$1"
tidy="$2"
shift 2
source=""
for arg in "$@"; do
    [ "$arg" = "--" ] && break
    case "$arg" in -*) ;; *) source="$arg" ;; esac
done
mkdir -p "$findings"
out="$findings/${source//\//%}"
text="$("$tidy" --quiet "$@" 2>&1)"
rc=$?
# Only findings are kept: not the count of warnings hidden in system headers.
text="$(printf '%s\n' "$text" | sed 's/\x1b\[[0-9;]*m//g' |
    grep -v -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
        -e '^Use -header-filter=' -e '^$' || true)"
[ -z "$text" ] || printf '%s\n' "$text" >&2
# A finding is what makes clang-tidy fail (every check's warning is an error).
if [ "$rc" -eq 0 ]; then
    text=""
elif [ -z "$text" ]; then
    text="clang-tidy exited with $rc on $source"
fi
printf '%s' "$text" >"$out.tmp" && mv "$out.tmp" "$out"
exit 0
