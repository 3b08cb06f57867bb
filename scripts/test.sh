#!/bin/bash
# Installs what is missing, builds the trees and runs every test: the version server's
# native tests (with its Debian package), the suite under wine64 (x86_64 build), the
# player's journey with the 32-bit deliverables, the native code under AddressSanitizer
# with UndefinedBehaviorSanitizer and under ThreadSanitizer, and every decoder's fuzz
# target (its corpus replayed, then 30 s of mutation).
# The 32-bit line (its Wine prefix, set up under emulation, then the journey: a minute or
# more per process start) takes longest, so it starts as soon as its tree is built and runs
# beside the rest; its journey waits until the version server and the download-folder
# command are built. Each line ends with its time and the processor time it took. Each tree has
# a Wine prefix, wineserver and display of its own, so the two lines do not meet; inside a
# tree tests run one at a time, as named mutexes are machine-wide to a wineserver. While the
# x64 suite runs it has a processor of its own and the other lines share the rest.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS

# A line's close: its wall time and the processor time of the programs it ran and waited
# for (the shell's own children's times, read without starting a process of its own).
line_took() {
    local stat
    read -r -a stat </proc/$BASHPID/stat
    echo "$1: $((SECONDS - $2)) s from the start of the run, $(((stat[15] + stat[16]) / $(getconf CLK_TCK))) s of" \
        "processor time in its programs"
}

# The Wine suite gets a processor of its own while it runs (scripts/processor-sets.sh): the
# run's processes carry a mark in their environment, this shell's included.
if [ -z "${DR_TEST_RUN:-}" ]; then
    DR_TEST_RUN="$$-$RANDOM" exec bash "$0" "$@"
fi
source "$root/scripts/processor-sets.sh"
note_processors

bash "$root/scripts/install-deps.sh" || exit 1
# One Wine prefix made for both trees, each copying it (cmake/wine-run.sh.in).
export DR_WINE_TEMPLATE="$root/build-wine-template"
bash "$root/scripts/build.sh" i686 || exit 1

i686_log="$root/build-i686/test-run.log"
built="$root/build-i686/.other-trees-built"
rm -f "$built"
(
    timeout 1800 "$root/build-i686/wine-run.sh" cmd /c exit >/dev/null 2>&1 ||
        echo "warning: Wine prefix of build-i686 not ready"
    while [ ! -f "$built" ]; do sleep 2; done
    ctest --test-dir "$root/build-i686" --output-on-failure --no-tests=error --timeout 900
    status=$?
    line_took "32-bit line" "$started"
    exit $status
) >"$i686_log" 2>&1 &
i686_pid=$!
echo "32-bit line started in the background (its output follows the rest: $i686_log)"

# The x64 tree's Wine prefix is made now, while the trees build: for a minute or two after
# it is made, a prefix starts programs several times slower.
DR_CONFIGURE_ONLY=1 bash "$root/scripts/build.sh" x64 || exit 1
timeout 1200 "$root/build-x64/wine-run.sh" cmd /c exit >/dev/null 2>&1 &
x64_prefix_pid=$!

# What the journey uses first (the version server and the operators' download-folder
# command), so that it starts while the x64 tree builds; then the x64 tree.
if ! bash "$root/scripts/build.sh" server ||
    ! { cmake -S "$root/server/tools/download_folder" -B "$root/build-download" -G Ninja >/dev/null &&
        ninja -C "$root/build-download" >/dev/null; }; then
    kill "$i686_pid" 2>/dev/null
    exit 1
fi
touch "$built"

# Four more lines beside the rest, each on trees of its own and at a lower priority than
# the journeys and the suites: the Debian package (built, checked, installed, run and
# purged: it builds the server once more) and the fuzz targets (a clang tree; two at a
# time, as their 30 s each are time, not work, and they come last) from now on, and once
# the x64 tree is built the two sanitizer trees of the server (below).
mkdir -p "$root/build-logs"
package_log="$root/build-logs/package.log"
(
    nice -n 10 bash "$root/tests/package/package_test.sh" "$root" "$root/build-server/package"
    status=$?
    line_took "package line" "$started"
    exit $status
) >"$package_log" 2>&1 &
package_pid=$!
fuzz_log="$root/build-logs/fuzz.log"
(
    FUZZ_JOBS=2 nice -n 10 bash "$root/scripts/fuzz.sh"
    status=$?
    line_took "fuzz line" "$started"
    exit $status
) >"$fuzz_log" 2>&1 &
fuzz_pid=$!
if ! bash "$root/scripts/build.sh" x64; then
    kill "$i686_pid" "$package_pid" "$fuzz_pid" 2>/dev/null
    exit 1
fi

# The two sanitizer trees side by side, their fleet tests one at a time in the x64 tree's
# Wine prefix once its suite has ended (the suite has a processor of its own meanwhile).
x64_done="$root/build-logs/x64-suite.done"
rm -f "$x64_done"
declare -A sanitize_pid
for kind in address thread; do
    (
        export DR_SANITIZE_WINE_ROOT="$root/build-x64/wine" DR_SANITIZE_AFTER="$x64_done"
        nice -n 10 bash "$root/scripts/sanitize.sh" $kind "$root/build-x64"
        status=$?
        line_took "$kind sanitizer line" "$started"
        exit $status
    ) >"$root/build-logs/sanitize-$kind.log" 2>&1 &
    sanitize_pid[$kind]=$!
done
echo "package, fuzz and sanitizer lines started in the background (their output follows the rest)"

status=0
wait "$x64_prefix_pid" || echo "warning: Wine prefix of build-x64 not ready"
# From here until the x64 suite ends, it has a processor of its own; the other lines share
# the rest.
split_processors "$root/build-x64/wine/prefix"
# The version server's own tests (a minute or two; its package's test runs in its own line
# above) and the operators' download-folder command's, natively, beside the x64 suite.
native_log="$root/build-logs/native.log"
(
    status=0
    ctest --test-dir "$root/build-server" --output-on-failure --no-tests=error --timeout 300 -LE package || status=1
    ctest --test-dir "$root/build-download" --output-on-failure --no-tests=error || status=1
    line_took "native line" "$started"
    exit $status
) >"$native_log" 2>&1 &
native_pid=$!
# A test that spends a minute waiting out the Launcher's receive time-outs runs after the
# others, once the processors are shared again: the wait would leave the suite's processor idle.
waits='^LauncherRun\.ServerStallingMidFileLeavesFilesUntouched$'
on_wine_processor ctest --test-dir "$root/build-x64" --output-on-failure --no-tests=error --timeout 600 -E "$waits" |
    tee "$root/build-logs/x64.log" || status=1
join_processors
ctest --test-dir "$root/build-x64" --output-on-failure --no-tests=error --timeout 600 -R "$waits" |
    tee -a "$root/build-logs/x64.log" || status=1
touch "$x64_done"
line_took "x64 line" "$started"

wait "$native_pid" || status=1
echo "---------------------------------------------------------------- native line"
cat "$native_log"

wait "$package_pid" || status=1
echo "---------------------------------------------------------------- package line"
cat "$package_log"
wait "$fuzz_pid" || status=1
echo "---------------------------------------------------------------- fuzz line"
cat "$fuzz_log"
for kind in address thread; do
    wait "${sanitize_pid[$kind]}" || status=1
    echo "---------------------------------------------------------------- $kind sanitizer line"
    cat "$root/build-logs/sanitize-$kind.log"
done
wait "$i686_pid" || status=1
echo "---------------------------------------------------------------- 32-bit line"
cat "$i686_log"
echo "whole run: $((SECONDS - started)) s"
# The failures once more at the end, where a reader of a long log (or of its tail) looks.
if [ $status -ne 0 ]; then
    echo "---------------------------------------------------------------- what failed"
    for log in "$root/build-logs/x64.log" "$native_log" "$package_log" "$fuzz_log" \
        "$root/build-logs/sanitize-address.log" "$root/build-logs/sanitize-thread.log" "$i686_log"; do
        grep -n -A8 -E ': Failure$|\*\*\*Failed|\*\*\*Timeout|^FAIL|ERROR: |^==[0-9]+==ERROR|WARNING: ThreadSanitizer|runtime error:' \
            "$log" 2>/dev/null | head -60 | sed "s|^|$(basename "$log"):|"
    done
fi
exit $status
