#!/bin/bash
# Installs what is missing, builds the trees and runs every test: the version server's
# native tests, the suite under wine64 (x86_64 build) and the few whole-program runs of
# the 32-bit deliverables.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" || exit 1
bash "$root/scripts/build.sh" all || exit 1
# Create each tree's Wine prefix up front (a few minutes the first time, as the 32-bit
# half of the prefix is set up under emulation), so no test waits for it.
for tree in build-x64 build-i686; do
    timeout 1200 "$root/$tree/wine-run.sh" cmd /c exit >/dev/null 2>&1 || echo "warning: Wine prefix of $tree not ready"
done
status=0
# The version server's own tests run natively, first (a few seconds).
ctest --test-dir "$root/build-server" --output-on-failure --no-tests=error --timeout 300 || status=1
# The operators' download-folder command is a native program with tests of its own.
{ cmake -S "$root/server/tools/download_folder" -B "$root/build-download" -G Ninja >/dev/null &&
    ninja -C "$root/build-download" >/dev/null &&
    ctest --test-dir "$root/build-download" --output-on-failure; } || status=1
# Tests share one wineserver, whose named mutexes are machine-wide: run them one at a time.
# A tree in which no test is found fails.
ctest --test-dir "$root/build-x64" --output-on-failure --no-tests=error --timeout 600 || status=1
ctest --test-dir "$root/build-i686" --output-on-failure --no-tests=error --timeout 900 || status=1
exit $status
