#!/bin/bash
# A fleet on 127.0.0.1: a private PostgreSQL cluster, three version servers that take their
# release from it and require PROXY headers, HAProxy in front (server/conf/haproxy.cfg with
# this machine's addresses; it connects to the servers from 127.0.0.2, the only balancer
# address they accept), and the built Launcher.exe (under Wine) talking to HAProxy.
# Shows: an update through the balancer; a publish served by every server within 2 s; the
# server that served a Launcher run killed with SIGKILL while the next runs succeed, then
# started again; a rollback by activate reaching all three within 2 s; a report flood with PostgreSQL restarted in its middle, every report stored
# exactly once; the operators' page of one server naming all three, with the fleet's
# installations and no MAC or player's address in it, nor any MAC stored; connections
# without a header, or with one from elsewhere, refused; a rolling restart and a rolling
# upgrade of the three during a flood of sessions, none of them failed, every report
# stored once. Servers built under a sanitizer (scripts/sanitize.sh) fail it with any report.
# Everything it starts is stopped by PID.
#   bash fleet_test.sh <build-dir> <version-server-binary>
set -u
build=$(cd "$1" && pwd)
server=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
# DR_FLEET_WORK: another scratch folder, for a run beside the one of the test tree.
work="${DR_FLEET_WORK:-$build/scratch/fleet}"
source "$root/scripts/version-server-lib.sh"
source "$root/scripts/postgres-lib.sh"

server_pids=("" "" "")
haproxy_pid=""
launcher_pid=""

cleanup() {
    [ -n "$launcher_pid" ] && kill -9 "$launcher_pid" 2>/dev/null
    for pid in "${server_pids[@]}"; do [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; done
    [ -n "$haproxy_pid" ] && kill -9 "$haproxy_pid" 2>/dev/null
    pg_stop
}
trap cleanup EXIT

# A server built under a sanitizer (scripts/sanitize.sh) writes its reports to files
# $work/sanitizer/report.<pid> (set below for every process the test starts), not to its
# log: any such file fails the test.
sanitizer_reports() {
    local report found=1
    for report in "$work"/sanitizer/report.*; do
        [ -f "$report" ] || continue
        echo "sanitizer report $report:" >&2
        sed 's/^/  /' "$report" >&2
        found=0
    done
    return $found
}

fail() {
    echo "FAIL: $*" >&2
    sanitizer_reports
    for i in 1 2 3; do
        [ -f "$work/vs$i/server.log" ] && tail -n 15 "$work/vs$i/server.log" | sed "s/^/  vs$i: /" >&2
    done
    [ -f "$work/haproxy.log" ] && tail -n 15 "$work/haproxy.log" | sed 's/^/  haproxy: /' >&2
    for log in "$work"/game/Log/*.log; do
        [ -f "$log" ] && tail -n 20 "$log" | sed 's/^/  launcher log: /' >&2
    done
    exit 1
}
step() { echo "[$(date +%T)] $*"; }

# The value of one metrics series of server i (1-3), or -1.
metric() {
    local port
    port=$(tail -n 1 "$work/vs$1/port" 2>/dev/null) || { echo -1; return; }
    curl -s --max-time 2 "http://127.0.0.1:$port/metrics" | awk -v s="$2" '$1 == s { print $2; found = 1 } END { if (!found) print -1 }'
}
# Waits until every server listed in $4 reports series $1 = $2, up to $3 s from the moment
# $5 (milliseconds, now_ms; now when not given); prints the seconds from that moment.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
wait_all() {
    local series=$1 value=$2 limit=$3 servers=$4 start=${5:-$(now_ms)} i done
    while :; do
        done=1
        for i in $servers; do [ "$(metric "$i" "$series")" = "$value" ] || done=0; done
        if [ "$done" = 1 ]; then
            awk -v ms=$(( $(now_ms) - start )) 'BEGIN { printf "%.2f\n", ms / 1000 }'
            return 0
        fi
        [ $(( $(now_ms) - start )) -gt $(( limit * 1000 )) ] && return 1
        sleep 0.05
    done
}
# The last reports a client sent may still be on their way (in HAProxy, in a server's batch)
# when it ends, where no outbox counts them yet: waits until PostgreSQL holds at least $1
# reports of agents from $2 on, or 30 s, then until every outbox is empty.
wait_reports_stored() {
    local i
    for i in $(seq 600); do
        [ "$(fleet_sql "SELECT count(*) FROM reports WHERE agent >= $2" 2>/dev/null)" -ge "$1" ] 2>/dev/null && break
        sleep 0.05
    done
    wait_all dorera_reports_outbox 0 30 "1 2 3" >/dev/null
}

[ -x "$server" ] || fail "no version server at $server (bash scripts/build.sh server)"
command -v haproxy >/dev/null || fail "no haproxy (apt-get install haproxy)"
rm -rf "$work"
mkdir -p "$work/game" "$work/releases" "$work/sanitizer"
for options in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS; do
    export "$options=${!options:+${!options}:}log_path=$work/sanitizer/report"
done
cp "$build/launcher/Launcher.exe" "$work/game/Launcher.exe" || fail "no built Launcher.exe"
cp "$build/tools/login_client/login_client_standin.exe" "$work/game/Starter.dat" || fail "no login client stand-in"

hport=$(vs_free_port) && pgport=$(vs_free_port) || fail "no free port"
# Releases 1 and 2: the same Launcher (no self-update), game.dat changes.
for r in 1 2; do
    mkdir -p "$work/releases/r$r/files"
    cp "$work/game/Launcher.exe" "$work/releases/r$r/files/Launcher.exe"
    head -c 2000000 /dev/urandom >"$work/releases/r$r/files/game.dat"
    printf 'release %s\r\n' "$r" >"$work/releases/r$r/files/readme.txt"
    vs_write_manifest "$work/releases/r$r" "fleet-r$r" "" "127.0.0.1:$hport" \
        launch:0:Launcher.exe:files/Launcher.exe launch:1:game.dat:files/game.dat \
        'launch:2:bin\readme.txt:files/readme.txt'
done

step "PostgreSQL: a private cluster on 127.0.0.1:$pgport"
pg_start "$work/pg" "$pgport" || fail "PostgreSQL did not start"
# The fleet's role and database, as the operators' guide makes them; the servers make
# their tables themselves.
pg_sql "CREATE ROLE dorera LOGIN" && pg_sql "CREATE DATABASE dorera OWNER dorera" || fail "the fleet's database"
fleet_db="host=127.0.0.1 port=$pgport user=dorera dbname=dorera"
fleet_sql() { psql "$fleet_db" -X -q -A -t -v ON_ERROR_STOP=1 -c "$1"; }
step "publish release 1 before the first server starts (a server of an empty fleet has nothing to serve)"
"$server" publish "$work/releases/r1" --postgres "$fleet_db" || fail "publish of release 1"

# Server i (1-3) with the config made for it below, its log appended to; from binary $2
# when given.
start_server() {
    rm -f "$work/vs$1/port"
    "${2:-$server}" serve --config "$work/vs$1/server.toml" --port-file "$work/vs$1/port" 2>>"$work/vs$1/server.log" &
    server_pids[$(($1 - 1))]=$!
}
wait_started() {
    for _ in $(seq 300); do [ -s "$work/vs$1/port" ] && break; sleep 0.1; done
    [ -s "$work/vs$1/port" ] || fail "vs$1 did not start"
}

step "three servers following the fleet's release, PROXY headers from 127.0.0.2 only"
openssl rand -hex 32 >"$work/machine.key"  # the fleet's machine key, the same for all three
chmod 600 "$work/machine.key"
for i in 1 2 3; do
    port=$(vs_free_port)
    mkdir -p "$work/vs$i"
    cat >"$work/vs$i/server.toml" <<CONFIG
[listen]
address = "127.0.0.1"
port = $port
proxy_protocol = true
balancers = ["127.0.0.2"]
[metrics]
address = "127.0.0.1"
port = 0
[paths]
cache = "cache"
database = "outbox.sqlite"
machine_key = "../machine.key"
[limits]
threads = 1
[fleet]
database = "$fleet_db"
name = "vs$i"
releases = true
poll_seconds = 30
CONFIG
    start_server "$i"
done
for i in 1 2 3; do wait_started "$i"; done

step "HAProxy on 127.0.0.1:$hport"
{
    # The sample as it stands but for its addresses: the port, the runtime socket's path
    # and the servers'.
    sed -e "s/^    bind .*/    bind 127.0.0.1:$hport/" -e "s|/run/haproxy/admin.sock|$work/haproxy.sock|" \
        -e '/^    server /d' "$root/server/conf/haproxy.cfg"
    for i in 1 2 3; do echo "    server vs$i 127.0.0.1:$(head -n 1 "$work/vs$i/port") source 127.0.0.2"; done
} >"$work/haproxy.cfg"
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
haproxy_pid=$!
# Each server has answered a health check of the balancer (it speaks the protocol).
for i in 1 2 3; do
    for _ in $(seq 100); do [ "$(metric $i dorera_balancer_checks_total)" -ge 1 ] 2>/dev/null && break; sleep 0.1; done
    [ "$(metric $i dorera_balancer_checks_total)" -ge 1 ] 2>/dev/null || fail "no health check reached vs$i"
done

# One Launcher run through HAProxy with an old game.dat and a report due; checks the
# files against release $1. Sets launcher_pid while it runs when $2 is "background".
launcher_ini() {
    printf '[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=game.dat\r\n[Action]\r\nReport=1\r\nAgent=4321\r\n' \
        "$hport" >"$work/game/Launcher.ini"
    printf 'old game data\r\n' >"$work/game/game.dat"
    rm -rf "$work/game/Log" "$work/game/starter-record.txt"
}
check_run() {
    local release=$1 code=$2 record
    [ "$code" -eq 0 ] || fail "Launcher exit code $code"
    for _ in $(seq 400); do [ -s "$work/game/starter-record.txt" ] && break; sleep 0.05; done
    record=$(cat "$work/game/starter-record.txt" 2>/dev/null)
    case "$record" in "cmdline=  -u 0 -e "*) ;; *) fail "login client record: '$record'" ;; esac
    cmp -s "$work/releases/r$release/files/game.dat" "$work/game/game.dat" || fail "game.dat is not release $release's"
    cmp -s "$work/releases/r$release/files/readme.txt" "$work/game/bin/readme.txt" || fail "bin\\readme.txt is not release $release's"
    grep -qx "Report=2" <(tr -d '\r' <"$work/game/Launcher.ini") || fail "the report was not sent"
}
run_launcher() {
    launcher_ini
    timeout 300 "$build/wine-run.sh" "$work/game/Launcher.exe"
    check_run "$1" $?
}

step "Launcher through HAProxy: release 1"
run_launcher 1

step "publish release 2: every server serves it within 2 s of the command's start"
start=$(now_ms)
"$server" publish "$work/releases/r2" --postgres "$fleet_db" || fail "publish of release 2"
took=$(wait_all dorera_fleet_release 2 2 "1 2 3" "$start") || fail "release 2 not served by all three within 2 s"
echo "  all three served release 2 after $took s"
wait_all 'dorera_release_info{id="fleet-r2",signature="unsigned"}' 1 1 "1 2 3" >/dev/null || fail "the release info does not name fleet-r2"

# The reports each server has taken from Launchers (its dorera_reports_total), "1 2 3" order.
reports_taken() { for i in 1 2 3; do printf '%s ' "$(metric "$i" dorera_reports_total)"; done; }
# Prints the server (1-3) whose count of reports taken has grown past $2 (reports_taken
# before the run): the one that served the Launcher ($1). Waits while the Launcher runs,
# then looks once more; nothing when no server counted its report.
report_taker() {
    local launcher=$1 i ended=0
    local -a before=($2) now
    while :; do
        now=($(reports_taken))
        for i in 0 1 2; do
            if [ "${before[$i]}" -ge 0 ] && [ "${now[$i]}" -gt "${before[$i]}" ] 2>/dev/null; then
                echo $((i + 1))
                return
            fi
        done
        [ "$ended" = 1 ] && return
        kill -0 "$launcher" 2>/dev/null || ended=1
        sleep 0.05
    done
}

# The server that took the Launcher's report is killed as soon as it has counted it: while
# the Launcher still runs (its session or the login client's start) or, on a slow machine,
# just after; either way the next runs must find the other two.
step "the server that served a Launcher killed with SIGKILL; the next runs succeed"
taken=$(reports_taken)
launcher_ini
timeout 300 "$build/wine-run.sh" "$work/game/Launcher.exe" &
launcher_pid=$!
victim=$(report_taker "$launcher_pid" "$taken")
[ -n "$victim" ] || fail "no server counted the Launcher's report"
running="had ended"
kill -0 "$launcher_pid" 2>/dev/null && running="was still running"
kill -9 "${server_pids[$((victim - 1))]}"
wait "${server_pids[$((victim - 1))]}" 2>/dev/null
server_pids[$((victim - 1))]=""
wait "$launcher_pid"
code=$?
for _ in $(seq 200); do [ -s "$work/game/starter-record.txt" ] && break; sleep 0.05; done
echo "  vs$victim killed after it took the report (the Launcher $running); the run ended with $code; the login client's record: $(cat "$work/game/starter-record.txt" 2>/dev/null)"
launcher_pid=""
for run in 1 2; do
    run_launcher 2
    echo "  run $run after the kill: release 2 received"
done

step "vs$victim started again: it serves the active release and ships what its outbox kept"
start_server "$victim"
wait_started "$victim"
wait_all dorera_fleet_release 2 5 "$victim" >/dev/null || fail "vs$victim does not serve release 2 after its start"

step "activate 1: every server rolls back"
start=$(now_ms)
"$server" activate 1 --postgres "$fleet_db" || fail "activate 1"
took=$(wait_all dorera_fleet_release 1 2 "1 2 3" "$start") || fail "the rollback did not reach every server within 2 s"
echo "  the three servers served release 1 again after $took s"
run_launcher 1
listing=$("$server" releases --postgres "$fleet_db") || fail "releases"
echo "$listing" | sed 's/^/  /'
for i in 1 2 3; do grep -Eq "^vs$i +1 " <<<"$listing" || fail "releases does not show vs$i serving release 1"; done
grep -Eq '^ +1  \* ' <<<"$listing" || fail "releases does not mark release 1 active"

step "a report flood through HAProxy, PostgreSQL restarted in its middle"
flood=3000
python3 - "$hport" "$flood" "$work/flood-progress" <<'FLOOD' &
import socket, struct, sys
port, count, progress = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
for i in range(count):
    connection = socket.create_connection(("127.0.0.1", port), timeout=10)
    connection.sendall(struct.pack("<HHI", 7, 2, 100000 + i) + struct.pack("<Q", i))
    connection.close()
    if i % 100 == 99:
        with open(progress, "w") as f:
            f.write(str(i + 1))
FLOOD
flood_pid=$!
for _ in $(seq 600); do
    sent=$(cat "$work/flood-progress" 2>/dev/null)
    [ "${sent:-0}" -ge 800 ] && break
    sleep 0.05
done
pg_stop || fail "PostgreSQL did not stop"
sleep 2
backlog=0
for i in 1 2 3; do backlog=$(( backlog + $(metric $i dorera_reports_outbox) )); done
echo "  PostgreSQL down; $backlog reports wait in the outboxes"
pg_start "$work/pg" "$pgport" || fail "PostgreSQL did not start again"
wait "$flood_pid" || fail "the flood client failed"
wait_reports_stored "$flood" 100000 || fail "the outboxes did not drain"
[ "$backlog" -gt 0 ] || fail "no report waited while PostgreSQL was down"
stored=$(fleet_sql "SELECT count(*), count(DISTINCT agent), count(DISTINCT machine) FROM reports WHERE agent >= 100000")
echo "  PostgreSQL holds (reports, agents, machines): $stored"
[ "$stored" = "$flood|$flood|$flood" ] || fail "expected each of the $flood reports once, from $flood machines"
columns=$(fleet_sql "SELECT string_agg(column_name, ',' ORDER BY column_name) FROM information_schema.columns WHERE table_name = 'reports'")
[ "$columns" = "agent,local_id,machine,origin,received,server" ] || fail "the reports table holds: $columns"
first=1
reports=$("$server" reports --config "$work/vs$first/server.toml" --csv) || fail "reports"
# The Launcher's machine reported through several servers counts once a day.
grep -q ",4321,[0-9]*,1$" <<<"$reports" || fail "the Launchers' reports are not in the fleet's table: $reports"

step "the operators' page of vs$first: the three servers, the fleet's installations, no address"
ports="$(head -n 1 "$work/vs1/port") $(head -n 1 "$work/vs2/port") $(head -n 1 "$work/vs3/port")"
python3 - "$(tail -n 1 "$work/vs$first/port")" "$work" "$ports" "$flood" "$pg_dir" <<'PAGE' || fail "the operators' page"
import glob, json, re, sys, time, urllib.request
port, work, server_ports, flood, pg_dir = int(sys.argv[1]), sys.argv[2], sys.argv[3].split(), int(sys.argv[4]), sys.argv[5]
def get(path):
    return urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=5).read().decode()
# The rows are written every 10 s, and the fleet's counts are at most 30 s old: wait until
# the page has all three up and the Launcher's installations counted.
for _ in range(200):
    status = json.loads(get("/status.json"))
    up = sorted(s["name"] for s in status["servers"] if s["up"])
    if up == ["vs1", "vs2", "vs3"] and any(r["agent"] == 4321 for r in status["installations"]["rows"]):
        break
    time.sleep(0.2)
else:
    sys.exit("the page does not show vs1, vs2 and vs3 up with the fleet's installations: %s" % status["servers"])
page, csv = get("/"), get("/installations.csv")
if "<h1>DoreraRarede version server: vs1</h1>" not in page:
    sys.exit("the page is not headed with its server's name in the fleet")
for name in ("vs1", "vs2", "vs3"):
    if 'data-server="%s"' % name not in page:
        sys.exit("the page does not name " + name)
# The Launchers' checks of their files, from every server's samples: the fleet's rollout.
checked = sum(sample["checks"] for server in status["servers"] for sample in server["activity"])
if checked < 1 or not status["fleetRollout"]:
    sys.exit("the page counts no Launcher's check of its files: %s" % status["fleetRollout"])
flooded = sum(int(line.split(",")[2]) for line in csv.splitlines()[1:] if int(line.split(",")[1]) >= 100000)
if flooded != flood:
    sys.exit("the CSV counts %d flood reports, not %d" % (flooded, flood))
# This machine's MACs (which the Launcher under Wine reports) in any spelling, and any
# player's address: 127.0.0.1 with a port other than a server's, or the address a probe
# claims in a PROXY header.
macs = {open(f).read().strip().lower() for f in glob.glob("/sys/class/net/*/address")} - {"00:00:00:00:00:00", ""}
for what, text in (("page", page), ("status.json", json.dumps(status)), ("status.json as sent", get("/status.json")), ("CSV", csv)):
    lowered = text.lower()
    for mac in macs:
        for spelling in (mac, mac.replace(":", "-"), mac.replace(":", "")):
            if spelling in lowered:
                sys.exit("%s holds the MAC %s" % (what, mac))
    for address in re.findall(r"127\.0\.0\.1:(\d+)", text):
        if address not in server_ports:
            sys.exit("%s holds a player's address 127.0.0.1:%s" % (what, address))
    if "203.0.113" in text:
        sys.exit(what + " holds an address a PROXY header named")
# Nor does any outbox or PostgreSQL's data (tables and log) hold a MAC's bytes.
if not macs:
    sys.exit("this machine has no MAC address to look for")
for mac in macs:
    raw = bytes.fromhex(mac.replace(":", ""))
    for path in glob.glob(work + "/vs*/outbox.sqlite*") + glob.glob(pg_dir + "/data/**/*", recursive=True):
        try:
            if raw in open(path, "rb").read():
                sys.exit("%s holds the MAC %s" % (path, mac))
        except (IsADirectoryError, PermissionError):
            pass
print("  the page names vs1, vs2 and vs3 (up), counts the %d flood reports, and holds no MAC or player's address" % flood)
PAGE
# What it showed, for a person to look at: build-x64/fleet-operators-page.png.
rm -f "$build/fleet-operators-page.png"
timeout -k 5 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --hide-scrollbars \
    --user-data-dir="$work/chromium" --window-size=1100,1300 --virtual-time-budget=2000 \
    --screenshot="$build/fleet-operators-page.png" "http://127.0.0.1:$(tail -n 1 "$work/vs$first/port")/" >/dev/null 2>&1
[ -s "$build/fleet-operators-page.png" ] || fail "no screenshot of the page"

step "connections refused without a header, with a broken one, or with one from elsewhere"
python3 - "$(head -n 1 "$work/vs$first/port")" <<'PROBE' || fail "a connection without a valid header from the balancer was answered"
import socket, struct, sys
port = int(sys.argv[1])
header = bytes.fromhex("0d0a0d0a000d0a515549540a") + bytes([0x21, 0x11]) + struct.pack(">H", 12) \
    + bytes([203, 0, 113, 7, 127, 0, 0, 1]) + struct.pack(">HH", 50000, port)
broken = header[:12] + b"\x31" + header[13:]  # version 3
for source, data in (("127.0.0.2", b"\x01\x00\x00\x00"), ("127.0.0.1", header + b"\x01\x00\x00\x00"),
                     ("127.0.0.2", broken + b"\x01\x00\x00\x00")):
    connection = socket.socket()
    connection.settimeout(5)
    connection.bind((source, 0))
    connection.connect(("127.0.0.1", port))
    connection.sendall(data)
    try:
        answer = connection.recv(200)
    except ConnectionResetError:
        answer = b""
    if answer:
        sys.exit("answered from %s: %r" % (source, answer[:8]))
PROBE
[ "$(metric $first 'dorera_proxy_refused_total{reason="no_header"}')" -eq 1 ] || fail "no_header not counted"
[ "$(metric $first 'dorera_proxy_refused_total{reason="not_balancer"}')" -eq 1 ] || fail "not_balancer not counted"
[ "$(metric $first 'dorera_proxy_refused_total{reason="bad_header"}')" -eq 1 ] || fail "bad_header not counted"

# The state HAProxy holds of server vsN (UP, DOWN, MAINT…), read from its runtime socket.
haproxy_state() {
    python3 - "$work/haproxy.sock" "vs$1" <<'STATE'
import socket, sys
connection = socket.socket(socket.AF_UNIX)
connection.connect(sys.argv[1])
connection.sendall(b"show stat\n")
text = b""
while chunk := connection.recv(65536):
    text += chunk
lines = text.decode().splitlines()
names = lines[0].lstrip("# ").split(",")
for line in lines[1:]:
    row = dict(zip(names, line.split(",")))
    if row.get("pxname") == "version_servers" and row.get("svname") == sys.argv[2]:
        print(row["status"].split()[0])
STATE
}
wait_up() {
    for _ in $(seq 150); do [ "$(haproxy_state "$1")" = UP ] && return 0; sleep 0.2; done
    fail "HAProxy does not see vs$1 up again"
}
# Stops server i with SIGTERM (it drains, then stops), starts it again from binary $2 and
# waits until HAProxy has it up.
restart_server() {
    local i=$1 pid=${server_pids[$(($1 - 1))]}
    kill -TERM "$pid"
    wait "$pid" || fail "vs$i did not stop cleanly"
    start_server "$i" "$2"
    wait_started "$i"
    wait_up "$i"
}

step "a rolling restart of the three servers, then a rolling upgrade, during a flood through HAProxy"
rolling=$work/rolling
python3 - "$hport" "$rolling" <<'SESSIONS' &
# Whole sessions one after another, each the address request answered in full and then a
# report with an agent of its own, until told to stop; counts the sessions that failed and
# notes each report's agent and local port (HAProxy's log names the connection by it).
import os, socket, struct, sys, time
port, state = int(sys.argv[1]), sys.argv[2]
done = failed = 0
ports = open(state + ".ports", "w")
while not os.path.exists(state + ".stop"):
    try:
        connection = socket.create_connection(("127.0.0.1", port), timeout=10)
        connection.sendall(b"\x01\x00\x00\x00")
        answer = b""
        while len(answer) < 132:
            chunk = connection.recv(132 - len(answer))
            if not chunk:
                break
            answer += chunk
        if len(answer) == 132 and answer[:4] == b"\x81\x00\x01\x00":
            connection.sendall(struct.pack("<HHI", 7, 2, 300000 + done) + struct.pack("<Q", done))
            ports.write("%d %d\n" % (300000 + done, connection.getsockname()[1]))
            done += 1
        else:
            failed += 1
        connection.close()
    except OSError:
        failed += 1
    time.sleep(0.002)
with open(state + ".counts", "w") as f:
    f.write("%d %d\n" % (done, failed))
SESSIONS
sessions_pid=$!
sleep 1
for i in 1 2 3; do restart_server "$i" "$server"; done
grep -q "stop: signal 15; draining for 6 s" "$work/vs1/server.log" || fail "vs1 did not drain before it stopped"
echo "  restarted: vs1, vs2, vs3, each drained for 6 s first"
# The other build: the binary copied beside the fleet, so that the servers run from another
# file than the one they were started from.
mkdir -p "$work/next"
cp "$server" "$work/next/dorera-version-server"
for i in 1 2 3; do restart_server "$i" "$work/next/dorera-version-server"; done
for i in 1 2 3; do
    [ "$(readlink "/proc/${server_pids[$((i - 1))]}/exe")" = "$work/next/dorera-version-server" ] ||
        fail "vs$i does not run the new build"
done
echo "  upgraded: vs1, vs2, vs3 run $work/next/dorera-version-server"
sleep 1
touch "$rolling.stop"
wait "$sessions_pid" || fail "the session client failed"
read -r sessions failed <"$rolling.counts"
echo "  $sessions sessions through HAProxy during the restarts, $failed failed"
[ "$failed" -eq 0 ] || fail "$failed sessions failed during the rolling restart and upgrade"
[ "$sessions" -ge 100 ] || fail "only $sessions sessions ran during the rolling restart"
wait_reports_stored "$sessions" 300000 || fail "the outboxes did not drain after the restarts"
stored=$(fleet_sql "SELECT count(*), count(DISTINCT agent) FROM reports WHERE agent >= 300000")
echo "  PostgreSQL holds (reports, agents): $stored"
if [ "$stored" != "$sessions|$sessions" ]; then
    # Where each missing report went: its connection in HAProxy's log, and what the servers
    # said besides their session lines.
    fleet_sql "SELECT agent FROM reports WHERE agent >= 300000" | sort -n >"$rolling.stored"
    awk '{print $1}' "$rolling.ports" | sort -n | comm -23 - "$rolling.stored" | head -n 10 |
        while read -r agent; do
            port=$(awk -v a="$agent" '$1 == a {print $2}' "$rolling.ports")
            echo "  missing agent $agent, local port $port:"
            grep -F "127.0.0.1:$port " "$work/haproxy.log" | sed 's/^/    haproxy: /'
            grep -F "127.0.0.1:$port " "$work"/vs*/server.log | sed 's/^/    /'
        done
    for i in 1 2 3; do grep -v "session 127.0.0.1:" "$work/vs$i/server.log" | tail -n 40 | sed "s/^/  vs$i: /"; done
    fail "expected each of the $sessions reports once"
fi

step "stop"
for i in 1 2 3; do kill -TERM "${server_pids[$((i - 1))]}"; done  # they drain together
for i in 1 2 3; do
    wait "${server_pids[$((i - 1))]}" || fail "vs$i did not stop cleanly"
    server_pids[$((i - 1))]=""
    if grep -E 'end=(violation|error)' "$work/vs$i/server.log"; then
        fail "vs$i: a player's session ended badly"
    fi
done
kill "$haproxy_pid" && wait "$haproxy_pid" 2>/dev/null
haproxy_pid=""
pg_stop
compgen -G "$work/sanitizer/report.*" >/dev/null && fail "a server wrote a sanitizer report"
echo "PASS"
