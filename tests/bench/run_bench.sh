#!/bin/bash
# Prints the Launcher's MD5 throughput next to OpenSSL's on the same 64 MiB file, and the
# receive + inflate + CRC throughput of a launch file over loopback.
#   bash tests/bench/run_bench.sh <build-dir>
set -eu
build=$(cd "$1" && pwd)
work="$build/scratch/bench"
mkdir -p "$work"
file="$work/bench-64MiB.dat"
echo "== Launcher (under Wine) =="
"$build/wine-run.sh" "$build/tests/bench/launcher_bench.exe" "$file"
echo "== OpenSSL on the same file =="
openssl md5 "$file" >/dev/null  # warm the cache
start=$(date +%s.%N)
openssl md5 "$file"
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "openssl md5 of file: %8.1f MiB/s\n", 64 / (e - s) }'
openssl speed -evp md5 -seconds 2 2>/dev/null | tail -n 1
rm -f "$file"
