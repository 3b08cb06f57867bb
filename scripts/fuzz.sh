#!/bin/bash
# Builds the fuzz tree (tests/fuzz, clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every target in it, the Launcher's and the version server's: first each
# replays its corpus (tests/fuzz/corpus/NAME, every input once: deterministic), then each
# mutates a copy of its corpus for FUZZ_SECONDS (default 30) with its dictionary
# (tests/fuzz/dict/NAME.dict) and extra flags (tests/fuzz/options/NAME, one a line) where
# there are some. The tree is never changed. A crash, a leak, a sanitizer report or a
# time-out fails the run; the input is kept as a file, its path and a hex dump printed.
#   FUZZ_SECONDS  mutation time per target (0: replay only)
#   FUZZ_JOBS     targets run at once (default: the processors)
#   FUZZ_BUILD    the build folder (default build-fuzz)
#   FUZZ_ONLY     a pattern: only the targets whose name matches it
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
fuzz="$root/tests/fuzz"
build="${FUZZ_BUILD:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"
jobs="${FUZZ_JOBS:-$(nproc)}"
started=$SECONDS

CC=clang CXX=clang++ cmake -S "$fuzz" -B "$build" -G Ninja >/dev/null || exit 1
nice -n 10 ninja -C "$build" -j"$(nproc)" || exit 1

mapfile -t targets < <(find "$build" -type f -perm -u+x -name 'fuzz_*' | sort)
if [ "${#targets[@]}" -eq 0 ]; then
    echo "fuzz: no targets were built" >&2
    exit 1
fi
work="$(mktemp -d /tmp/fuzz.XXXXXX)"

# The input a failed run left, as a path and as bytes.
show_artifacts() {
    local name="$1" file
    for file in "$work/artifacts/$name"-*; do
        [ -f "$file" ] || continue
        echo "fuzz: $name: input kept as $file ($(stat -c %s "$file") bytes):"
        od -A x -t x1z -v "$file" | head -n 64
    done
}

# One target: its corpus replayed, then mutated in a copy. Writes its log and a verdict.
run_target() {
    local binary="$1" name="${1##*/fuzz_}" corpus="$fuzz/corpus/${1##*/fuzz_}" log="$work/$name.log"
    local flags=(-artifact_prefix="$work/artifacts/$name-" -timeout=20 -rss_limit_mb=3072)
    [ -f "$fuzz/dict/$name.dict" ] && flags+=(-dict="$fuzz/dict/$name.dict")
    if [ -f "$fuzz/options/$name" ]; then
        while read -r option; do
            [ -n "$option" ] && [ "${option#\#}" = "$option" ] && flags+=("$option")
        done <"$fuzz/options/$name"
    fi
    if [ ! -d "$corpus" ] || [ -z "$(ls -A "$corpus")" ]; then
        echo "no corpus in ${corpus#$root/}" >"$log"
        echo failed >"$work/$name.verdict"
        return
    fi
    mkdir -p "$work/corpus/$name"
    if ! "$binary" "${flags[@]}" -runs=0 "$corpus" >"$log" 2>&1; then
        echo failed >"$work/$name.verdict"
        return
    fi
    if [ "$seconds" -gt 0 ]; then
        cp -r "$corpus/." "$work/corpus/$name/"
        if ! "$binary" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 "$work/corpus/$name" \
            >>"$log" 2>&1; then
            echo failed >"$work/$name.verdict"
            return
        fi
    fi
    echo passed >"$work/$name.verdict"
}

mkdir -p "$work/artifacts"
for binary in "${targets[@]}"; do
    name="${binary##*/fuzz_}"
    if [ -n "${FUZZ_ONLY:-}" ] && [[ ! "$name" =~ $FUZZ_ONLY ]]; then
        continue
    fi
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n
    done
    run_target "$binary" &
done
wait

failed=0
for binary in "${targets[@]}"; do
    name="${binary##*/fuzz_}"
    [ -f "$work/$name.verdict" ] || continue
    verdict="$(cat "$work/$name.verdict")"
    runs="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/$name.log" | tail -n 1 | grep -o '[0-9]*$')"
    edges="$(grep -o 'cov: [0-9]*' "$work/$name.log" | tail -n 1 | grep -o '[0-9]*$')"
    printf 'fuzz: %-32s %s (%s runs, %s edges)\n' "$name" "$verdict" "${runs:-0}" "${edges:-?}"
    if [ "$verdict" != passed ]; then
        failed=1
        tail -n 60 "$work/$name.log" | sed "s/^/fuzz: $name: /"
        show_artifacts "$name"
    fi
done
echo "fuzz: done in $((SECONDS - started)) s"
if [ "$failed" -ne 0 ]; then
    echo "fuzz: FAILED; logs and inputs in $work" >&2
    exit 1
fi
rm -rf "$work"
