#!/bin/bash
# Benchmark of the installation counts with many reports kept, on this machine:
#   (1) a single server's SQLite file of SQLITE_REPORTS reports over 30 days and 50 agents,
#       written as a server of the version before the kept counts left it (the reports
#       table only), so that the server's start makes its counts once: the time that takes;
#   (2) a fleet's PostgreSQL with PG_REPORTS reports, inserted with the statement the
#       outbox ships with (its trigger keeps the counts), then turned back into a database
#       of the version before, so that the first server's start makes its counts once;
#   and for both: the time of `/`, `/status.json` and `/installations.csv` (median and
#   max of 20, each after a new report, so that each asks for a new count), the first
#   page after a restart, the CPU of the server (and PostgreSQL) per answer (its report
#   session and its new count included), and EXPLAIN of the count's query.
#
#   server/bench/run_counts_bench.sh [--server PATH] [--sqlite N] [--postgres N] [--keep]
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
server_bin=""
sqlite_reports=10000000
pg_reports=10000000
keep=0
while [ $# -gt 0 ]; do
    case $1 in
        --server) server_bin=$2; shift 2 ;;
        --sqlite) sqlite_reports=$2; shift 2 ;;
        --postgres) pg_reports=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run_counts_bench.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
log() { echo "run_counts_bench: $*" >&2; }

source "$root/server/bench/bench-lib.sh"
bench_build dorera-loadgen
source "$root/scripts/postgres-lib.sh"
work=$(mktemp -d /tmp/dorera-counts-bench.XXXXXX)
chmod 755 "$work"
cleanup() {
    bench_stop_all
    pg_stop || true
    if [ "$keep" = 1 ]; then log "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
bench_release "$work/release"
openssl rand -hex 32 >"$work/machine.key"
chmod 600 "$work/machine.key"
now=$(date +%s)
first_day=$(( now - now % 86400 - 29 * 86400 ))

start_server() {  # name, extra config lines
    mkdir -p "$work/$1"
    rm -f "$work/$1/port"
    cat >"$work/$1/server.toml" <<EOF
[listen]
address = "127.0.0.1"
port = 0
[metrics]
address = "127.0.0.1"
port = 0
[paths]
release = "$work/release"
cache = "cache"
database = "reports.sqlite"
machine_key = "../machine.key"
[reports]
retention_days = 400
$2
EOF
    started_at=$(date +%s.%N)
    "$server_bin" serve --config "$work/$1/server.toml" --port-file "$work/$1/port" 2>>"$work/$1/server.log" &
    server_pid=$!
    pids+=("$server_pid")
    wait_for_file "$work/$1/port" 3600 "$server_pid" || { tail -5 "$work/$1/server.log" >&2; exit 1; }
    sleep 0.2
}
stop_server() { kill "$server_pid"; wait "$server_pid" || true; }

# One session through the players' port: the address request answered, then a report.
report() {
    PYTHONPATH="$root/scripts" python3 -c 'import sys; from launcher_session import address_session
address_session(int(sys.argv[1]), 7, mac=int(sys.argv[2]))' "$(head -n 1 "$work/$1/port")" "$2"
}

page_url() { echo "http://127.0.0.1:$(tail -n 1 "$work/$1/port")$2"; }

# The endpoints timed 20 times each, each time after a new report; the server's CPU (and
# PostgreSQL's, when given its cluster's folder) per answer.
time_endpoints() {  # name, [postgres folder]
    local path times ticks_before pg_before ticks pg_ticks i
    for path in / /status.json /installations.csv; do
        times=()
        ticks_before=$(cpu_ticks "$server_pid")
        pg_before=$( [ -n "${2:-}" ] && pg_cpu_ticks || echo 0)
        for i in $(seq 20); do
            report "$1" "$((900000 + i))"
            sleep 0.05  # the report is stored (batch time): the next answer asks for a count
            times+=("$(curl -s -o /dev/null -w '%{time_total}' "$(page_url "$1" "$path")")")
        done
        ticks=$(( $(cpu_ticks "$server_pid") - ticks_before ))
        pg_ticks=$( [ -n "${2:-}" ] && echo $(( $(pg_cpu_ticks) - pg_before )) || echo 0)
        printf '  %-20s median %6.1f ms  max %6.1f ms   CPU per answer: server %.1f ms%s\n' "$path" \
            "$(printf '%s\n' "${times[@]}" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] * 1000 }')" \
            "$(printf '%s\n' "${times[@]}" | sort -g | tail -n 1 | awk '{ print $1 * 1000 }')" \
            "$(awk -v t="$ticks" -v hz="$hz" 'BEGIN { print t * 1000 / hz / 20 }')" \
            "$( [ -n "${2:-}" ] && awk -v t="$pg_ticks" -v hz="$hz" 'BEGIN { printf ", PostgreSQL %.1f ms", t * 1000 / hz / 20 }')"
    done
}
pg_cpu_ticks() {
    local pid total=0
    for pid in $(pgrep -u postgres postgres); do
        [ -r "/proc/$pid/stat" ] && total=$(( total + $(cpu_ticks "$pid" 2>/dev/null || echo 0) ))
    done
    echo "$total"
}

# The first page after a start: from the start of the process to the first answer that
# shows a count.
first_page() {  # name, extra config
    start_server "$1" "$2"
    local answered
    until curl -s "$(page_url "$1" /status.json)" | grep -q '"countedAt":"'; do sleep 0.01; done
    answered=$(date +%s.%N)
    awk -v a="$started_at" -v b="$answered" 'BEGIN { printf "  first page with its counts %.2f s after the start (the release loaded first)\n", b - a }'
}

# ---------------------------------------------------------------- SQLite
if [ "$sqlite_reports" -gt 0 ]; then
    log "SQLite: $sqlite_reports reports as the version before wrote them"
    mkdir -p "$work/single"
    made=$(date +%s.%N)
    sqlite3 "$work/single/reports.sqlite" >/dev/null <<EOF
PRAGMA journal_mode=WAL;
CREATE TABLE reports (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, agent INTEGER NOT NULL,
                      machine BLOB NOT NULL);
CREATE INDEX reports_received ON reports(received);
CREATE TABLE daily_counts (day TEXT NOT NULL, agent INTEGER NOT NULL, reports INTEGER NOT NULL,
                           machines INTEGER NOT NULL, PRIMARY KEY (day, agent));
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $sqlite_reports)
INSERT INTO reports(received, agent, machine)
SELECT $first_day + (i * 2591) % (30 * 86400), 1000 + i % 50, CAST(printf('%032d', (i * 7919) % ($sqlite_reports / 3 + 1)) AS BLOB) FROM n;
EOF
    log "written in $(awk -v a="$made" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }') s"
    echo "SQLite, $sqlite_reports reports over 30 days and 50 agents"
    start_server single ""
    grep -o "daily counts made from its [0-9]* reports ([0-9]* ms)" "$work/single/server.log" | sed 's/^/  /'
    time_endpoints single
    stop_server
    first_page single ""
    stop_server
    echo "  EXPLAIN QUERY PLAN of the count:"
    sqlite3 "$work/single/reports.sqlite" "EXPLAIN QUERY PLAN SELECT day, agent, reports, machines FROM daily_counts WHERE day >= '2026-01-01' ORDER BY day, agent" | sed 's/^/    /'
fi

# ---------------------------------------------------------------- PostgreSQL
if [ "$pg_reports" -gt 0 ]; then
    pg_port=$(vs_free_port)
    pg_start "$work/pg" "$pg_port" || exit 1
    "$server_bin" publish "$work/release" --postgres "$pg_conninfo" >/dev/null
    fleet="[fleet]
database = \"$pg_conninfo\"
name = \"vs1\"
releases = true"
    start_server fleet "$fleet"  # makes the schema
    stop_server
    log "PostgreSQL: $pg_reports reports through the outbox's insert, 500,000 a statement"
    made=$(date +%s.%N)
    for ((from = 0; from < pg_reports; from += 500000)); do
        to=$(( from + 500000 < pg_reports ? from + 500000 : pg_reports ))
        pg_sql "INSERT INTO reports (origin, local_id, server, received, agent, machine)
                SELECT 'bench', i, 'vs1', $first_day + (i * 2591) % (30 * 86400), 1000 + i % 50,
                       decode(lpad(to_hex((i * 7919) % ($pg_reports / 3 + 1)), 64, '0'), 'hex')
                FROM generate_series(${from}::bigint, $to - 1) AS i ON CONFLICT DO NOTHING"
    done
    inserted=$(awk -v a="$made" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')
    echo "PostgreSQL, $pg_reports reports over 30 days and 50 agents (inserted with the counts kept in $inserted s)"
    # As the version before left it: no counts of the days kept.
    pg_sql "DROP TRIGGER reports_counted ON reports; DROP FUNCTION dorera_count_reports(); DROP TABLE day_machines;
            DELETE FROM daily_counts; ALTER TABLE servers DROP COLUMN sample_checks, DROP COLUMN sample_current;
            UPDATE dorera_schema SET version = 2"
    pg_sql "VACUUM ANALYZE reports"
    start_server fleet "$fleet"
    grep -o "daily counts of the reports kept made in [0-9.]* s" "$work/fleet/server.log" | sed 's/^/  /'
    pg_sql "VACUUM ANALYZE day_machines"
    pg_sql "VACUUM ANALYZE daily_counts"
    time_endpoints fleet pg
    stop_server
    first_page fleet "$fleet"
    stop_server
    echo "  EXPLAIN of the count:"
    pg_sql "EXPLAIN SELECT day, agent, reports, machines FROM daily_counts
            WHERE day >= to_char(to_timestamp($first_day) AT TIME ZONE 'UTC', 'YYYY-MM-DD') ORDER BY day, agent" |
        sed 's/^/    /'
fi
