#!/bin/bash
# The native code under sanitizers: builds the server's tree (with the bench and the
# download-folder command) with DVS_SANITIZE and runs its tests: the unit and process tests,
# the bench's smoke test and the download-folder tests. With the path of a built x64 tree
# (scripts/build.sh x64) it also runs the fleet test, its Launcher from that tree and its
# three servers from the sanitized one. A report fails the run: the test programs stop or
# exit non-zero on one, and the servers the tests start write theirs to files the tests
# check.
#   scripts/sanitize.sh address|thread [build-x64]
#     address: ASan + UBSan, build-server-asan; thread: TSan, build-server-tsan
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
address) sanitize=address,undefined tree="$root/build-server-asan" ;;
thread) sanitize=thread tree="$root/build-server-tsan" ;;
*)
    echo "usage: $0 address|thread [build-x64]" >&2
    exit 2
    ;;
esac
x64=${2:-}
if [ -n "$x64" ]; then
    x64=$(cd "$x64" && pwd) || exit 1
fi

# Stack traces of UBSan's reports; the rest of the sanitizers' defaults stand (ASan and
# UBSan stop at the first report, TSan ends a program that had one with exit code 66).
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

cmake -S "$root/server" -B "$tree" -G Ninja -DDVS_SANITIZE="$sanitize" -DDVS_BUILD_DOWNLOAD_FOLDER=ON >/dev/null ||
    exit 1
# Only what the tests run.
echo "== build $tree ($sanitize)"
time ninja -C "$tree" -j"$(nproc)" dorera-version-server dvs_tests bench_smoke_test download_folder_tests || exit 1

status=0
echo "== tests of $tree"
time ctest --test-dir "$tree" --output-on-failure --no-tests=error --timeout 600 -LE package || status=1
if [ -n "$x64" ]; then
    echo "== fleet test: the Launcher of $x64, the servers of $tree"
    # A scratch folder of its own. Its Wine prefix is DR_SANITIZE_WINE_ROOT's, by default one
    # apart from the test tree's, so that it can run beside that tree's suite (named mutexes
    # are machine-wide to a wineserver); both sanitizers' runs use it, one at a time: making
    # a prefix took 151 s and 144 s of processor time on the quiet machine. With
    # DR_SANITIZE_AFTER the test first waits (up to an hour) for that file to be there:
    # scripts/test.sh names the end of the x64 suite, whose prefix is then free. The lock's
    # file is closed for the test (-o): a wineserver or display it starts outlives it.
    wine_root=${DR_SANITIZE_WINE_ROOT:-$x64/wine-sanitizer}
    for _ in $(seq 720); do
        [ -z "${DR_SANITIZE_AFTER:-}" ] || [ -e "$DR_SANITIZE_AFTER" ] && break
        sleep 5
    done
    time flock -o "$wine_root.lock" env DR_FLEET_WORK="$tree/scratch/fleet" DR_WINE_ROOT="$wine_root" \
        bash "$root/tests/version_server/fleet_test.sh" "$x64" "$tree/dorera-version-server" || status=1
fi
exit $status
