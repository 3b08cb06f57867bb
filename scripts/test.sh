#!/bin/bash
# Installs what is missing, builds both trees and runs every test: the suite under wine64
# (x86_64 build) and the few whole-program runs of the 32-bit deliverables.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" || exit 1
bash "$root/scripts/build.sh" all || exit 1
status=0
# Tests share one wineserver, whose named mutexes are machine-wide: run them one at a time.
ctest --test-dir "$root/build-x64" --output-on-failure --timeout 600 || status=1
ctest --test-dir "$root/build-i686" --output-on-failure --timeout 900 || status=1
exit $status
