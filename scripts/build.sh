#!/bin/bash
# Builds the trees: build-i686 (the deliverables), build-x64 (the test suite under Wine)
# and build-server (the version server, native).
#   scripts/build.sh [i686|x64|server|all]
# DR_CONFIGURE_ONLY=1 configures the Windows trees without building them (their wine-run.sh
# is then there, so that a Wine prefix can be made while they build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
build_tree() {
    local dir=$1 toolchain=$2
    shift 2
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" "$@" >/dev/null
    [ "${DR_CONFIGURE_ONLY:-}" = 1 ] || ninja -C "$root/$dir" -j"$(nproc)"
}
if [ "$which" = all ] || [ "$which" = i686 ]; then build_tree build-i686 toolchain-i686.cmake; fi
# The test tree's Launcher falls back to "localhost" (the hosts file) rather than the
# distribution's host name: the tests' traffic stays on this machine.
if [ "$which" = all ] || [ "$which" = x64 ]; then
    build_tree build-x64 toolchain-x86_64.cmake -DDR_VERSION_SERVER_HOST=localhost
fi
if [ "$which" = all ] || [ "$which" = server ]; then
    cmake -S "$root/server" -B "$root/build-server" -G Ninja >/dev/null
    ninja -C "$root/build-server" -j"$(nproc)"
fi
