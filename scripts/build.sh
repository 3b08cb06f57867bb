#!/bin/bash
# Builds both trees: build-i686 (the deliverables) and build-x64 (the test suite).
#   scripts/build.sh [i686|x64|all]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
build_tree() {
    local dir=$1 toolchain=$2
    mkdir -p "$root/$dir"
    cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >/dev/null
    ninja -C "$root/$dir" -j"$(nproc)"
}
if [ "$which" = all ] || [ "$which" = i686 ]; then build_tree build-i686 toolchain-i686.cmake; fi
if [ "$which" = all ] || [ "$which" = x64 ]; then build_tree build-x64 toolchain-x86_64.cmake; fi
