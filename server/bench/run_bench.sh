#!/bin/bash
# Benchmark of the version server on this machine, every figure next to its limit
# measured in the same run, all traffic on 127.0.0.1:
#   (1) no-change sessions per second from 200 concurrent clients, and the CPU time the
#       server spends per session, against the trivial server dorera-limit-server (fixed
#       answers, no logic);
#   (2) delivery of a 64 MiB launch file to 8 concurrent clients, MB/s of wire bytes,
#       against iperf3 with 8 streams on loopback (and, for reference, the server's own
#       answer replayed by the trivial server from memory and with sendfile);
#   (3) (1) again while 10,000 idle connections are held open to the server and as many
#       to the limit server; the server's resident memory with them.
# Limit and server runs alternate (BENCH_ROUNDS rounds each; a round of (1) and (3) runs
# both servers without, then with the idle connections) and the median of each side is
# the figure, so that other work on the machine weighs on both alike.
#
#   server/bench/run_bench.sh [--server PATH] [--seconds N] [--rounds N] [--keep]
#
# Without --server the script builds server/ into build-server (when anything changed) and
# uses build-server/dorera-version-server. The release it prepares (in a temporary folder) has ten
# launch files of deterministic data that compress like game assets: 4 KiB blocks, 45% of
# them random bytes, the rest repetitive 32-byte records (deflate -9 keeps about 60%).
# Slot 7 is the 64 MiB file.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
server_bin=""
seconds=${BENCH_SECONDS:-3}
rounds=${BENCH_ROUNDS:-5}
keep=0
clients=200
download_clients=8
idle_connections=10000
while [ $# -gt 0 ]; do
    case $1 in
        --server) server_bin=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run_bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

log() { echo "run_bench: $*" >&2; }

# ---------------------------------------------------------------- build
source "$root/server/bench/bench-lib.sh"
bench_build dorera-loadgen dorera-limit-server
[ -x "$server_bin" ] || { echo "run_bench.sh: no server at $server_bin" >&2; exit 2; }
command -v iperf3 >/dev/null || { echo "run_bench.sh: iperf3 is missing" >&2; exit 2; }

# 10,000 idle connections need as many descriptors in the server and in the load generator.
ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" -lt $((idle_connections + 2000)) ]; then
    echo "run_bench.sh: descriptor limit $(ulimit -n) is below $((idle_connections + 2000))" >&2
    exit 2
fi

work=$(mktemp -d /tmp/dorera-bench.XXXXXX)
cleanup() {
    bench_stop_all
    if [ "$keep" = 1 ]; then log "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# ---------------------------------------------------------------- release
log "preparing the release in $work/release"
release=$work/release
bench_release "$release" solo

cat >"$work/server.toml" <<EOF
[listen]
address = "127.0.0.1"
port = 0

[metrics]
address = "127.0.0.1"
port = 0

[paths]
release = "release"
cache = "cache"
database = "reports.sqlite"

[limits]
max_connections = $((idle_connections + 5000))
# The idle connections stay silent for the whole of a round, longer runs included.
idle_seconds = 900
EOF

# ---------------------------------------------------------------- servers
"$limit_server" --port-file "$work/limit.port" --address 127.0.0.1:18920 --address 127.0.0.1:18920 \
    --address 127.0.0.1:18920 --address 127.0.0.1:18920 2>"$work/limit.log" &
limit_pid=$!
pids+=("$limit_pid")

log "starting $server_bin (the first start compresses the release)"
start_time=$(date +%s.%N)
"$server_bin" serve --config "$work/server.toml" --port-file "$work/server.port" 2>"$work/server.log" &
server_pid=$!
pids+=("$server_pid")
wait_for_file "$work/limit.port" 10 "$limit_pid" || { cat "$work/limit.log" >&2; exit 1; }
if ! wait_for_file "$work/server.port" 300 "$server_pid"; then
    echo "run_bench.sh: the server did not start; its log:" >&2
    tail -20 "$work/server.log" >&2
    exit 1
fi
sleep 0.2
limit_port=$(head -1 "$work/limit.port")
server_port=$(head -1 "$work/server.port")
log "server listening on $server_port after $(awk -v a="$start_time" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s; limit server on $limit_port"

load_start=$(cut -d' ' -f1-3 /proc/loadavg)

verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r >= g) ? "met" : "NOT met" }'; }

# One load of no-change sessions against PORT, served by process PID: sets round_rate
# (sessions/s) and round_cpu (CPU time of PID per session, in microseconds).
sessions_round() {
    local out c0 c1
    c0=$(cpu_ticks "$2")
    if ! out=$("$loadgen" sessions --port "$1" --clients $clients --threads "$(nproc)" --warmup 0.5 --seconds "$seconds" \
        --files "${files[@]}" 2>&1); then
        log "sessions against port $1 failed: $out"
        round_rate=0
        round_cpu=0
        round_client_cpu=0
        return
    fi
    c1=$(cpu_ticks "$2")
    log "sessions port $1: $out"
    round_rate=$(field "$out" rate)
    round_cpu=$(awk -v t=$((c1 - c0)) -v hz="$hz" -v n="$(field "$out" all_sessions)" \
        'BEGIN { printf "%.0f", (n > 0 ? t / hz * 1e6 / n : 0) }')
    round_client_cpu=$(awk -v c="$(field "$out" cpu_seconds)" -v n="$(field "$out" all_sessions)" \
        'BEGIN { printf "%.0f", (n > 0 ? c * 1e6 / n : 0) }')
}

# ---------------------------------------------------------------- figures 1 and 3
# The idle connections of real players come from other machines. Here they share the
# address of the load's own clients: with the kernel's choice of source ports, each of
# the load's connects would search past 10,000 taken ports of the ephemeral range, a
# cost of the load generator (and of the limit's figure alike), not of the server. So
# the idle connections take ports below that range, leaving it to the load.
read -r port_low _ </proc/sys/net/ipv4/ip_local_port_range
source_base=$((port_low - idle_connections - 2000))
[ "$source_base" -ge 1024 ] || source_base=0

# Opens the idle connections to both servers and waits until they are all open.
open_idle() {
    local target target_port
    idle_pids=()
    for target in server limit; do
        if [ $target = server ]; then target_port=$server_port; else target_port=$limit_port; fi
        rm -f "$work/idle-$target.ready"
        "$loadgen" idle --port "$target_port" --connections $idle_connections --source-port-base $source_base \
            --hold $((4 * ${seconds%.*} + 60)) --ready-file "$work/idle-$target.ready" >"$work/idle-$target.out" 2>&1 &
        idle_pids+=("$!")
        pids+=("$!")
        wait_for_file "$work/idle-$target.ready" 40 "$!" ||
            log "idle connections to the $target not ready: $(cat "$work/idle-$target.out")"
        log "idle to the $target: $(cat "$work/idle-$target.ready" 2>/dev/null)"
    done
}
# Closes them, and gives both servers a moment to end their sessions.
close_idle() {
    local pid
    for pid in "${idle_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" || true
    done
    idle_result="server: $(cat "$work/idle-server.out"); limit: $(cat "$work/idle-limit.out")"
    sleep 1
}

# Each round measures both servers without the idle connections (1), then opens them and
# measures both again (3), so that the two figures see the same other work on the machine.
log "figures 1 and 3: $rounds rounds of $seconds s, $clients clients, alternating limit and server, without and with $idle_connections idle connections each (source ports from $source_base)"
limit_rates=()
limit_cpus=()
limit_client_cpus=()
server_rates=()
server_cpus=()
server_client_cpus=()
pair_ratios=()
idle_rates=()
idle_cpus=()
limit_idle_rates=()
limit_idle_cpus=()
idle_pair_ratios=()
rss_before_kib=$(awk '/^VmRSS/ { print $2 }' "/proc/$server_pid/status")
for ((r = 0; r < rounds; r++)); do
    sessions_round "$limit_port" "$limit_pid"
    limit_rates+=("$round_rate")
    limit_cpus+=("$round_cpu")
    limit_client_cpus+=("$round_client_cpu")
    sessions_round "$server_port" "$server_pid"
    server_rates+=("$round_rate")
    server_cpus+=("$round_cpu")
    server_client_cpus+=("$round_client_cpu")
    pair_ratios+=("$(ratio "${server_rates[-1]}" "${limit_rates[-1]}")")

    open_idle
    rss_open_kib=$(awk '/^VmRSS/ { print $2 }' "/proc/$server_pid/status")
    sessions_round "$limit_port" "$limit_pid"
    limit_idle_rates+=("$round_rate")
    limit_idle_cpus+=("$round_cpu")
    sessions_round "$server_port" "$server_pid"
    idle_rates+=("$round_rate")
    idle_cpus+=("$round_cpu")
    idle_pair_ratios+=("$(ratio "${idle_rates[-1]}" "${server_rates[-1]}")")
    rss_kib=$(awk '/^VmRSS/ { print $2 }' "/proc/$server_pid/status")
    server_fds=$(ls "/proc/$server_pid/fd" | wc -l)
    close_idle
done
limit_rate=$(median "${limit_rates[@]}")
server_rate=$(median "${server_rates[@]}")
idle_rate=$(median "${idle_rates[@]}")
limit_idle_rate=$(median "${limit_idle_rates[@]}")
hwm_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$server_pid/status")

# ---------------------------------------------------------------- figure 2
# The server's own answer is saved and replayed by two trivial servers, one sending it
# from memory and one with sendfile(2), to show what the way of sending costs.
if ! out=$("$loadgen" download --port "$server_port" --clients 1 --warmup 0 --seconds 0.1 --stale-slot $big_slot \
    --save-answer "$work/answer.bin" --files "${files[@]}" 2>&1); then
    echo "run_bench.sh: the server's launch-file answer failed its check: $out" >&2
    exit 1
fi
start_replay() {  # port file, extra options
    local file=$1
    shift
    "$limit_server" --port-file "$file" --launch-answer "$work/answer.bin" "$@" 2>>"$work/limit.log" &
    pids+=("$!")
    wait_for_file "$file" 10 "$!" || { cat "$work/limit.log" >&2; exit 1; }
}
start_replay "$work/memory.port"
start_replay "$work/sendfile.port" --sendfile
memory_port=$(head -1 "$work/memory.port")
sendfile_port=$(head -1 "$work/sendfile.port")

download_round() {  # port; sets round_mb and download_line
    if ! download_line=$("$loadgen" download --port "$1" --clients $download_clients --warmup 1 \
        --seconds "$seconds" --stale-slot $big_slot --files "${files[@]}" 2>&1); then
        log "download from port $1 failed: $download_line"
    fi
    log "download port $1: $download_line"
    round_mb=$(field "$download_line" mb_per_s)
    round_mb=${round_mb:-0}
}

log "figure 2: $rounds rounds of $seconds s, $download_clients clients, alternating iperf3 and server"
iperf_rates=()
download_rates=()
memory_rates=()
sendfile_rates=()
for ((r = 0; r < rounds; r++)); do
    iperf_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    iperf3 -s -B 127.0.0.1 -p "$iperf_port" -1 >/dev/null 2>&1 &
    iperf_pid=$!
    pids+=("$iperf_pid")
    sleep 0.3
    # -O 1: the first second is a warm-up, as the load generator's.
    iperf3 -c 127.0.0.1 -p "$iperf_port" -P $download_clients -t $((${seconds%.*} + 1)) -O 1 -J >"$work/iperf.json" || true
    wait "$iperf_pid" || true
    rate=$(python3 -c 'import json, sys; print("%.1f" % (json.load(open(sys.argv[1]))["end"]["sum_received"]["bits_per_second"] / 8e6))' "$work/iperf.json" 2>/dev/null || echo 0)
    log "iperf3: $rate MB/s"
    iperf_rates+=("$rate")
    download_round "$memory_port"
    memory_rates+=("$round_mb")
    download_round "$sendfile_port"
    sendfile_rates+=("$round_mb")
    download_round "$server_port"
    download_rates+=("$round_mb")
done
iperf_rate=$(median "${iperf_rates[@]}")
download_rate=$(median "${download_rates[@]}")
memory_rate=$(median "${memory_rates[@]}")
sendfile_rate=$(median "${sendfile_rates[@]}")

load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
server_cpu=$(median "${server_cpus[@]}")
limit_cpu=$(median "${limit_cpus[@]}")
idle_cpu=$(median "${idle_cpus[@]}")
limit_idle_cpu=$(median "${limit_idle_cpus[@]}")
server_client_cpu=$(median "${server_client_cpus[@]}")
limit_client_cpu=$(median "${limit_client_cpus[@]}")
r1=$(ratio "$server_rate" "$limit_rate")
c1=$(ratio "$limit_cpu" "$server_cpu")
r2=$(ratio "$download_rate" "$iperf_rate")
r3=$(ratio "$idle_rate" "$server_rate")
c3=$(ratio "$idle_cpu" "$server_cpu")
lr3=$(ratio "$limit_idle_rate" "$limit_rate")
lc3=$(ratio "$limit_idle_cpu" "$limit_cpu")
at_most() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g) ? "met" : "NOT met" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
echo
echo "Version-server benchmark on $(nproc) cores, load average $load_start at start, $load_end at end;"
echo "each figure the median of $rounds alternating rounds of $seconds s."
printf '(1) no-change sessions, %d clients:    server %7.0f/s     limit  %7.0f/s     %s x\n' \
    $clients "$server_rate" "$limit_rate" "$r1"
printf '    CPU per session:                   server %7.0f us    limit  %7.0f us    limit/server %s x  (goal >= 0.9x: %s)\n' \
    "$server_cpu" "$limit_cpu" "$c1" "$(verdict "$c1" 0.9)"
printf '(2) 64 MiB delivery, %d clients:       server %7.1f MB/s  iperf3 %7.1f MB/s  %s x  (goal >= 0.8x: %s)\n' \
    $download_clients "$download_rate" "$iperf_rate" "$r2" "$(verdict "$r2" 0.8)"
printf '(3) (1) with %d idle connections held by each server:\n' $idle_connections
printf '    sessions:                          server %7.0f/s     %s x of (1)  (goal >= 0.8x: %s);  limit %7.0f/s, %s x of its (1)\n' \
    "$idle_rate" "$r3" "$(verdict "$r3" 0.8)" "$limit_idle_rate" "$lr3"
printf '    CPU per session:                   server %7.0f us    %s x of (1)  (goal <= 1.15x: %s); limit %7.0f us, %s x of its (1)\n' \
    "$idle_cpu" "$c3" "$(at_most "$c3" 1.15)" "$limit_idle_cpu" "$lc3"
printf '    server resident memory: %s MiB with the %d connections (%s MiB before them, %s MiB once they were open,\n' \
    "$(mib "$rss_kib")" $idle_connections "$(mib "$rss_before_kib")" "$(mib "$rss_open_kib")"
printf '    peak %s MiB; %d descriptors open)\n' "$(mib "$hwm_kib")" "$server_fds"
echo "    idle clients at the end: $idle_result"
echo "    load generator's CPU per session (median, us): against the server $server_client_cpu, against the limit $limit_client_cpu"
awk -v s="$server_cpu" -v sc="$server_client_cpu" -v l="$limit_cpu" -v lc="$limit_client_cpu" -v n="$(nproc)" 'BEGIN {
    if (s + sc > 0 && l + lc > 0)
        printf "    so with %d otherwise idle cores: at most %.0f/s for the server, %.0f/s for the limit (%.2f x)\n",
            n, n * 1e6 / (s + sc), n * 1e6 / (l + lc), (l + lc) / (s + sc) }'
echo "    rounds (1): limit ${limit_rates[*]} | server ${server_rates[*]} | server/limit per round ${pair_ratios[*]}"
echo "    rounds (1), CPU per session (us): limit ${limit_cpus[*]} | server ${server_cpus[*]}"
printf '    (2) the same answer replayed by the trivial server: %.1f MB/s from memory, %.1f MB/s with sendfile\n' \
    "$memory_rate" "$sendfile_rate"
echo "    rounds (2): iperf3 ${iperf_rates[*]} | server ${download_rates[*]} | from memory ${memory_rates[*]} |" \
    "sendfile ${sendfile_rates[*]} MB/s"
echo "    last download from the server: $download_line"
echo "    rounds (3): limit ${limit_idle_rates[*]} | server ${idle_rates[*]} | server (3)/(1) per round ${idle_pair_ratios[*]}"
echo "    rounds (3), CPU per session (us): limit ${limit_idle_cpus[*]} | server ${idle_cpus[*]}"
