#!/bin/bash
# Benchmark of a fleet server on this machine, all traffic on 127.0.0.1: a private
# PostgreSQL cluster holding the release and the reports, two version servers following
# it (the same config, one listening for the players directly, one behind HAProxy with
# PROXY v2 headers) and HAProxy with server/conf/haproxy.cfg:
#   (1) no-change sessions per second from 200 concurrent clients (each session sends an
#       action report, shipped to PostgreSQL), through HAProxy next to direct, with the
#       CPU time the server and HAProxy spend per session;
#   (2) delivery of a 64 MiB launch file to 8 concurrent clients, MB/s of wire bytes,
#       through HAProxy next to direct;
#   (1) and (2) also through a second HAProxy, the sample without kernel splicing (its
#       option splice-response removed): HAProxy's CPU with and without it, in one run;
#   (3) reports: the rate they reach PostgreSQL during (1), then PostgreSQL stopped for
#       OUTAGE seconds under the same load, and the time the backlog takes to drain once
#       it is back.
# Direct and balanced runs alternate (BENCH_ROUNDS rounds each) and each figure is the
# median of its side, so that other work on the machine weighs on both alike.
#
#   server/bench/run_fleet_bench.sh [--server PATH] [--seconds N] [--rounds N] [--outage N] [--keep]
#
# Without --server the script builds server/ into build-server (when anything changed).
# The release is the one run_bench.sh makes (ten launch files of asset-like data, slot 7
# the 64 MiB file).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
server_bin=""
seconds=${BENCH_SECONDS:-3}
rounds=${BENCH_ROUNDS:-5}
outage=60
keep=0
clients=200
download_clients=8
while [ $# -gt 0 ]; do
    case $1 in
        --server) server_bin=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --outage) outage=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run_fleet_bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

log() { echo "run_fleet_bench: $*" >&2; }

# ---------------------------------------------------------------- build
source "$root/server/bench/bench-lib.sh"
bench_build dorera-loadgen
[ -x "$server_bin" ] || { echo "run_fleet_bench.sh: no server at $server_bin" >&2; exit 2; }
command -v haproxy >/dev/null || { echo "run_fleet_bench.sh: haproxy is missing" >&2; exit 2; }
source "$root/scripts/postgres-lib.sh"
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d /tmp/dorera-fleet-bench.XXXXXX)
chmod 755 "$work"  # the cluster's folder in it belongs to the user postgres when run as root
cleanup() {
    bench_stop_all
    pg_stop || true
    if [ "$keep" = 1 ]; then log "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# ---------------------------------------------------------------- release
bench_release "$work/release"
release=$work/release

# ---------------------------------------------------------------- fleet
pg_port=$(vs_free_port)
log "PostgreSQL on 127.0.0.1:$pg_port"
pg_start "$work/pg" "$pg_port" || exit 1
published=$(date +%s.%N)
"$server_bin" publish "$release" --postgres "$pg_conninfo" >/dev/null
log "published in $(awk -v a="$published" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"

# The fleet's machine key, the same for both servers: reports hashed with another key
# would wait in their outbox.
openssl rand -hex 32 >"$work/machine.key"
chmod 600 "$work/machine.key"

# Server NAME on PORT, with more lines for [listen].
start_server() {
    local name=$1 port=$2 listen=$3
    mkdir -p "$work/$name"
    cat >"$work/$name/server.toml" <<EOF
[listen]
address = "127.0.0.1"
port = $port
$listen
[metrics]
address = "127.0.0.1"
port = 0
[paths]
cache = "cache"
database = "outbox.sqlite"
machine_key = "../machine.key"
[limits]
max_connections = 5000
[fleet]
database = "$pg_conninfo"
name = "$name"
releases = true
EOF
    "$server_bin" serve --config "$work/$name/server.toml" --port-file "$work/$name/port" 2>"$work/$name/server.log" &
    pids+=("$!")
    eval "${name}_pid=$!"
    wait_for_file "$work/$name/port" 120 "$!" || { tail -5 "$work/$name/server.log" >&2; exit 1; }
}
direct_port=$(vs_free_port)
balanced_port=$(vs_free_port)
haproxy_port=$(vs_free_port)
unspliced_port=$(vs_free_port)
start_server direct "$direct_port" ""
start_server balanced "$balanced_port" $'proxy_protocol = true\nbalancers = ["127.0.0.2"]'
# The sample as it is but for its addresses and socket; the second HAProxy without its
# kernel splicing (the option splice-* lines left out), in front of the same server.
start_haproxy() {  # name, port, sed expression for the second
    {
        sed -e "s/^    bind .*/    bind 127.0.0.1:$2/" -e "s|/run/haproxy/admin.sock|$work/$1.sock|" \
            -e '/^    server /d' ${3:+-e "$3"} "$root/server/conf/haproxy.cfg"
        echo "    server balanced 127.0.0.1:$balanced_port source 127.0.0.2"
    } >"$work/$1.cfg"
    haproxy -db -f "$work/$1.cfg" >"$work/$1.log" 2>&1 &
    pids+=("$!")
    eval "${1}_pid=$!"
    sleep 1
    kill -0 "$!" || { cat "$work/$1.log" >&2; exit 1; }
}
start_haproxy haproxy "$haproxy_port"
start_haproxy unspliced "$unspliced_port" '/^    option splice-/d'
splicing=$(grep -o "option splice-[a-z]*" "$work/haproxy.cfg" | head -n 1)
splicing=${splicing:-no kernel splicing}

metric() {  # server name, series
    curl -s --max-time 2 "http://127.0.0.1:$(tail -n 1 "$work/$1/port")/metrics" |
        awk -v s="$2" '$1 == s { print $2; found = 1 } END { if (!found) print -1 }'
}

per_session() {  # ticks, sessions: microseconds
    awk -v t="$1" -v hz="$hz" -v n="$2" 'BEGIN { printf "%.0f", (n > 0 ? t / hz * 1e6 / n : 0) }'
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# One load of no-change sessions against PORT served by server NAME, through the HAProxy
# named third (haproxy or unspliced; CPU of the first when none): sets round_rate,
# round_server_cpu and round_haproxy_cpu (microseconds per session).
sessions_round() {
    local port=$1 name=$2 out s0 s1 h0 h1 pid balancer
    pid=$(eval echo "\$${name}_pid")
    balancer=$(eval echo "\$${3:-haproxy}_pid")
    s0=$(cpu_ticks "$pid")
    h0=$(cpu_ticks "$balancer")
    if ! out=$("$loadgen" sessions --port "$port" --clients $clients --threads "$(nproc)" --warmup 0.5 \
        --seconds "$seconds" --files "${files[@]}" 2>&1); then
        log "sessions against port $port failed: $out"
        round_rate=0 round_server_cpu=0 round_haproxy_cpu=0
        return
    fi
    s1=$(cpu_ticks "$pid")
    h1=$(cpu_ticks "$balancer")
    log "sessions port $port: $out"
    round_rate=$(field "$out" rate)
    round_server_cpu=$(per_session $((s1 - s0)) "$(field "$out" all_sessions)")
    round_haproxy_cpu=$(per_session $((h1 - h0)) "$(field "$out" all_sessions)")
}

# One load of downloads against PORT served by server NAME, through the HAProxy named
# third (haproxy or unspliced; CPU of the first when none): sets round_mb (MB/s) and
# round_server_cpu and round_haproxy_cpu (CPU milliseconds per MB, the warm-up included).
download_round() {
    local port=$1 name=$2 out s0 s1 h0 h1 pid mb balancer
    pid=$(eval echo "\$${name}_pid")
    balancer=$(eval echo "\$${3:-haproxy}_pid")
    s0=$(cpu_ticks "$pid")
    h0=$(cpu_ticks "$balancer")
    if ! out=$("$loadgen" download --port "$port" --clients $download_clients --warmup 1 --seconds "$seconds" \
        --stale-slot $big_slot --files "${files[@]}" 2>&1); then
        log "download from port $port failed: $out"
    fi
    s1=$(cpu_ticks "$pid")
    h1=$(cpu_ticks "$balancer")
    log "download port $port: $out"
    round_mb=$(field "$out" mb_per_s)
    round_mb=${round_mb:-0}
    # The bytes of the warm-up second as well: the CPU counts cover it.
    mb=$(awk -v r="$round_mb" -v s="$seconds" 'BEGIN { print r * (s + 1) }')
    round_server_cpu=$(awk -v t=$((s1 - s0)) -v hz="$hz" -v mb="$mb" 'BEGIN { printf "%.2f", (mb > 0 ? t / hz * 1e3 / mb : 0) }')
    round_haproxy_cpu=$(awk -v t=$((h1 - h0)) -v hz="$hz" -v mb="$mb" 'BEGIN { printf "%.2f", (mb > 0 ? t / hz * 1e3 / mb : 0) }')
}

# ---------------------------------------------------------------- figures 1 and 2
log "figure 1: $rounds rounds of $seconds s, $clients clients, alternating direct and through HAProxy"
direct_rates=() balanced_rates=() direct_cpus=() balanced_cpus=() haproxy_cpus=()
shipped_start=$(( $(metric direct dorera_reports_shipped_total) + $(metric balanced dorera_reports_shipped_total) ))
figure1_start=$(date +%s.%N)
max_outbox=0
unspliced_cpus=()
for ((r = 0; r < rounds; r++)); do
    sessions_round "$unspliced_port" balanced unspliced
    unspliced_cpus+=("$round_haproxy_cpu")
    sessions_round "$direct_port" direct
    direct_rates+=("$round_rate")
    direct_cpus+=("$round_server_cpu")
    sessions_round "$haproxy_port" balanced
    balanced_rates+=("$round_rate")
    balanced_cpus+=("$round_server_cpu")
    haproxy_cpus+=("$round_haproxy_cpu")
    for name in direct balanced; do
        waiting=$(metric $name dorera_reports_outbox)
        [ "$waiting" -gt "$max_outbox" ] && max_outbox=$waiting
    done
done
# Every report of figure 1 in PostgreSQL: the rate they got there over the whole figure.
for name in direct balanced; do
    for _ in $(seq 600); do [ "$(metric $name dorera_reports_outbox)" = 0 ] && break; sleep 0.1; done
done
figure1_seconds=$(awk -v a="$figure1_start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
shipped=$(( $(metric direct dorera_reports_shipped_total) + $(metric balanced dorera_reports_shipped_total) - shipped_start ))
stored_pg=$(pg_sql "SELECT count(*) FROM reports")
stored_servers=$(( $(metric direct dorera_reports_stored_total) + $(metric balanced dorera_reports_stored_total) ))

log "figure 2: $rounds rounds of $seconds s, $download_clients clients, alternating direct and through both HAProxies"
direct_mbs=() balanced_mbs=() direct_mb_cpus=() balanced_mb_cpus=() haproxy_mb_cpus=()
unspliced_mbs=() unspliced_mb_cpus=()
for ((r = 0; r < rounds; r++)); do
    download_round "$unspliced_port" balanced unspliced
    unspliced_mbs+=("$round_mb")
    unspliced_mb_cpus+=("$round_haproxy_cpu")
    download_round "$direct_port" direct
    direct_mbs+=("$round_mb")
    direct_mb_cpus+=("$round_server_cpu")
    download_round "$haproxy_port" balanced
    balanced_mbs+=("$round_mb")
    balanced_mb_cpus+=("$round_server_cpu")
    haproxy_mb_cpus+=("$round_haproxy_cpu")
done

# ---------------------------------------------------------------- figure 3
log "figure 3: PostgreSQL stopped for $outage s under load on the direct server"
pg_stop
outage_out=$("$loadgen" sessions --port "$direct_port" --clients $clients --threads "$(nproc)" --warmup 0 \
    --seconds "$outage" --files "${files[@]}" 2>&1) || log "outage load failed: $outage_out"
log "sessions during the outage: $outage_out"
backlog=$(metric direct dorera_reports_outbox)
pg_start "$work/pg" "$pg_port" || exit 1
back=$(date +%s.%N)
for _ in $(seq 3000); do
    [ "$(metric direct dorera_reports_outbox)" = 0 ] && [ "$(metric balanced dorera_reports_outbox)" = 0 ] && break
    sleep 0.1
done
drained=$(awk -v a="$back" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
left=$(( $(metric direct dorera_reports_outbox) + $(metric balanced dorera_reports_outbox) ))
stored_pg_after=$(pg_sql "SELECT count(*) FROM reports")
stored_servers_after=$(( $(metric direct dorera_reports_stored_total) + $(metric balanced dorera_reports_stored_total) ))
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
direct_rate=$(median "${direct_rates[@]}")
balanced_rate=$(median "${balanced_rates[@]}")
direct_mb=$(median "${direct_mbs[@]}")
balanced_mb=$(median "${balanced_mbs[@]}")
echo
echo "Fleet benchmark on $(nproc) cores (server, HAProxy, PostgreSQL and load generator share them), load average"
echo "$load_start at start, $load_end at end; each figure the median of $rounds alternating rounds of $seconds s."
printf '(1) no-change sessions/s, %d clients:  through HAProxy %7.0f/s     direct %7.0f/s     %s x\n' \
    $clients "$balanced_rate" "$direct_rate" "$(ratio "$balanced_rate" "$direct_rate")"
echo "    CPU per session (median, us): server direct $(median "${direct_cpus[@]}"), server behind HAProxy" \
    "$(median "${balanced_cpus[@]}"), HAProxy $(median "${haproxy_cpus[@]}")"
echo "    rounds: direct ${direct_rates[*]} | through HAProxy ${balanced_rates[*]}"
echo "    HAProxy per session as the sample ($splicing) $(median "${haproxy_cpus[@]}") us; without splicing" \
    "$(median "${unspliced_cpus[@]}") us"
printf '(2) 64 MiB delivery, %d clients:       through HAProxy %7.1f MB/s  direct %7.1f MB/s  %s x\n' \
    $download_clients "$balanced_mb" "$direct_mb" "$(ratio "$balanced_mb" "$direct_mb")"
echo "    CPU per MB (median, ms): server direct $(median "${direct_mb_cpus[@]}"), server behind HAProxy" \
    "$(median "${balanced_mb_cpus[@]}"), HAProxy $(median "${haproxy_mb_cpus[@]}")"
echo "    rounds: direct ${direct_mbs[*]} | through HAProxy ${balanced_mbs[*]} MB/s"
printf '    HAProxy as the sample (%s) %.1f MB/s, %s ms per MB; without splicing %.1f MB/s, %s ms per MB\n' \
    "$splicing" "$balanced_mb" "$(median "${haproxy_mb_cpus[@]}")" "$(median "${unspliced_mbs[@]}")" \
    "$(median "${unspliced_mb_cpus[@]}")"
printf '(3) reports into PostgreSQL during (1): %d in %.1f s, %.0f/s; at most %d waited in an outbox at a round'"'"'s end;\n' \
    "$shipped" "$figure1_seconds" "$(awk -v n="$shipped" -v s="$figure1_seconds" 'BEGIN { print n / s }')" "$max_outbox"
echo "    PostgreSQL held $stored_pg reports, the servers had stored $stored_servers in their outboxes"
echo "    PostgreSQL stopped for $outage s under load: $(field "$outage_out" sessions) sessions at $(field "$outage_out" rate)/s meanwhile;"
echo "    $backlog reports waited in the outbox; drained $drained s after PostgreSQL was back ($left left," \
    "$(awk -v n="$backlog" -v s="$drained" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }') reports/s, the retry's wait included);"
echo "    PostgreSQL then held $stored_pg_after reports, the servers had stored $stored_servers_after"
if [ "$stored_pg_after" != "$stored_servers_after" ] || [ "$left" != 0 ]; then
    echo "run_fleet_bench: reports lost, doubled or left waiting" >&2
    exit 1
fi
