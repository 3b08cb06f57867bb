# What the two benchmark scripts (run_bench.sh, run_fleet_bench.sh) share, sourced by both:
# the build of the tools and the server, the release they load, waiting for a port file,
# the processes to stop at the end, and the arithmetic of the figures.
#   bench_build TARGET...       builds TARGETs of server/bench into build-bench (sets loadgen
#                               and limit_server) and, when server_bin is empty, the server
#                               into build-server (sets server_bin)
#   bench_release FOLDER [solo] ten launch files of asset-like data and manifest.toml (with
#                               "solo", the runtime package and the font as 129 and 130);
#                               sets files (the launch files' paths) and big_slot (64 MiB)
#   bench_stop_all              stops and waits for every process in pids
#   wait_for_file FILE SECONDS PID, field LINE NAME, median VALUE..., ratio A B,
#   cpu_ticks PID (user and system ticks; hz ticks a second)
# Expects root (the repository) and a log function of the script's own.
# shellcheck shell=bash

source "$root/scripts/version-server-lib.sh"

pids=()
hz=$(getconf CLK_TCK)

bench_build() {
    local bench_build=$root/build-bench
    cmake -S "$root/server/bench" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    ninja -C "$bench_build" "$@" >/dev/null
    loadgen=$bench_build/dorera-loadgen
    limit_server=$bench_build/dorera-limit-server
    if [ -z "$server_bin" ]; then
        server_bin=$root/build-server/dorera-version-server
        log "building the server in build-server"
        [ -f "$root/build-server/build.ninja" ] || cmake -S "$root/server" -B "$root/build-server" -G Ninja >/dev/null
        ninja -C "$root/build-server" dorera-version-server >/dev/null
    fi
}

bench_release() {
    local release=$1 with_solo=${2:-} entry slot name source size
    local -a entries=()
    # slot name-on-the-Launcher-side source size
    local launch_files=(
        "0 Launcher.exe files/Launcher.exe 917504"
        "1 Starter.dat files/Starter.dat 1572864"
        "2 bin\\zlib1.dll files/bin/zlib1.dll 98304"
        "3 bin\\engine.dll files/bin/engine.dll 3145728"
        "4 bin\\client.ini files/bin/client.ini 4096"
        "5 bin\\ui.pak files/bin/ui.pak 2097152"
        "6 bin\\sound.pak files/bin/sound.pak 2097152"
        "7 bin\\world.pak files/bin/world.pak 67108864"
        "8 bin\\patch.txt files/bin/patch.txt 2048"
        "9 Zentho_Repair.exe files/Zentho_Repair.exe 327680"
    )
    big_slot=7
    files=()
    mkdir -p "$release/files/bin" "$release/solo"
    for entry in "${launch_files[@]}"; do
        read -r slot name source size <<<"$entry"
        "$loadgen" make-data --size "$size" --seed $((slot + 11)) --out "$release/$source"
        files+=("$release/$source")
        entries+=("launch:$slot:$name:$source")
    done
    if [ "$with_solo" = solo ]; then
        "$loadgen" make-data --size 65536 --seed 129 --out "$release/solo/vcredist_x86.exe"
        "$loadgen" make-data --size 65536 --seed 130 --out "$release/solo/simhei.ttf"
        entries+=(solo:129:solo/vcredist_x86.exe solo:130:solo/simhei.ttf)
    fi
    vs_write_manifest "$release" bench "" 127.0.0.1:18920 "${entries[@]}"
}

bench_stop_all() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}

wait_for_file() {  # file, seconds, pid that must stay alive
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        [ -s "$1" ] && return 0
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

field() {  # name=value line, name
    sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"
}
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
