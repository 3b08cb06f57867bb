#!/bin/bash
# A fleet on 127.0.0.1: a private PostgreSQL cluster, three version servers that take their
# release from it and require PROXY headers, HAProxy in front (server/conf/haproxy.cfg with
# this machine's addresses; it connects to the servers from 127.0.0.2, the only balancer
# address they accept), and the built Launcher.exe (under Wine) talking to HAProxy.
# Shows: an update through the balancer; a publish served by every server within 2 s; a
# server killed with SIGKILL during Launcher runs while the next runs succeed, then started
# again; a rollback by activate reaching all three within 2 s; a report flood with PostgreSQL restarted in its middle, every report stored
# exactly once; the operators' page of one server naming all three, with the fleet's
# installations and no MAC or player's address in it, nor any MAC stored; connections
# without a header, or with one from elsewhere, refused. Servers built under a sanitizer
# (scripts/sanitize.sh) fail it with any report.
# Everything it starts is stopped by PID.
#   bash fleet_test.sh <build-dir> <version-server-binary>
set -u
build=$(cd "$1" && pwd)
server=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work="$build/scratch/fleet"
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
    cat >"$work/releases/r$r/manifest.toml" <<MANIFEST
id = "fleet-r$r"
addresses = ["127.0.0.1:$hport", "127.0.0.1:$hport", "127.0.0.1:$hport", "127.0.0.1:$hport"]
[[launch]]
slot = 0
name = "Launcher.exe"
source = "files/Launcher.exe"
[[launch]]
slot = 1
name = "game.dat"
source = "files/game.dat"
[[launch]]
slot = 2
name = 'bin\readme.txt'
source = "files/readme.txt"
MANIFEST
done

step "PostgreSQL: a private cluster on 127.0.0.1:$pgport"
pg_start "$work/pg" "$pgport" || fail "PostgreSQL did not start"
"$server" publish "$work/releases/r1" --postgres "$pg_conninfo" || fail "publish of release 1"

# Server i (1-3) with the config made for it below, its log appended to.
start_server() {
    rm -f "$work/vs$1/port"
    "$server" serve --config "$work/vs$1/server.toml" --port-file "$work/vs$1/port" 2>>"$work/vs$1/server.log" &
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
database = "$pg_conninfo"
name = "vs$i"
releases = true
poll_seconds = 30
CONFIG
    start_server "$i"
done
for i in 1 2 3; do wait_started "$i"; done

step "HAProxy on 127.0.0.1:$hport"
{
    sed -e "s/^    bind .*/    bind 127.0.0.1:$hport/" -e 's/^    maxconn .*/    maxconn 2000/' \
        -e 's/inter 2s/inter 500ms/' -e '/^    server /d' "$root/server/conf/haproxy.cfg"
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
"$server" publish "$work/releases/r2" --postgres "$pg_conninfo" || fail "publish of release 2"
took=$(wait_all dorera_fleet_release 2 2 "1 2 3" "$start") || fail "release 2 not served by all three within 2 s"
echo "  all three served release 2 after $took s"
wait_all 'dorera_release_info{id="fleet-r2",signature="unsigned"}' 1 1 "1 2 3" >/dev/null || fail "the release info does not name fleet-r2"

# Prints the server (1-3) holding the Launcher's session: it has taken the Launcher's report
# and the connection is still open (the launch files follow the report). Nothing when the
# Launcher ($1) ended before its session was seen.
session_holder() {
    python3 - "$1" "$(tail -n 1 "$work/vs1/port")" "$(tail -n 1 "$work/vs2/port")" "$(tail -n 1 "$work/vs3/port")" <<'HOLDER'
import http.client, os, sys
launcher, ports = int(sys.argv[1]), sys.argv[2:]
def metrics(port):
    try:
        connection = http.client.HTTPConnection("127.0.0.1", int(port), timeout=2)
        connection.request("GET", "/metrics")
        values = dict(line.split(" ", 1) for line in connection.getresponse().read().decode().splitlines()
                      if line and not line.startswith("#"))
        return int(values["dorera_reports_total"]), int(values["dorera_open_connections"])
    except (OSError, KeyError, ValueError):
        return None, 0
before = [metrics(port)[0] for port in ports]
while True:
    for i, port in enumerate(ports):
        reports, open_now = metrics(port)
        if reports is not None and before[i] is not None and reports > before[i] and open_now >= 1:
            print(i + 1)
            sys.exit(0)
    try:
        os.kill(launcher, 0)
    except OSError:
        sys.exit(0)
HOLDER
}

step "the server holding a Launcher's session killed with SIGKILL; the next runs succeed"
victim=""
for attempt in 1 2 3 4 5; do
    launcher_ini
    timeout 300 "$build/wine-run.sh" "$work/game/Launcher.exe" &
    launcher_pid=$!
    victim=$(session_holder "$launcher_pid")
    [ -n "$victim" ] && break
    wait "$launcher_pid"
    echo "  attempt $attempt: the session ended before it was seen; again"
done
[ -n "$victim" ] || fail "no server was seen serving the Launcher"
kill -9 "${server_pids[$((victim - 1))]}"
wait "${server_pids[$((victim - 1))]}" 2>/dev/null
server_pids[$((victim - 1))]=""
wait "$launcher_pid"
code=$?
for _ in $(seq 200); do [ -s "$work/game/starter-record.txt" ] && break; sleep 0.05; done
echo "  vs$victim killed during the run; the run ended with $code; the login client's record: $(cat "$work/game/starter-record.txt" 2>/dev/null)"
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
"$server" activate 1 --postgres "$pg_conninfo" || fail "activate 1"
took=$(wait_all dorera_fleet_release 1 2 "1 2 3" "$start") || fail "the rollback did not reach every server within 2 s"
echo "  the three servers served release 1 again after $took s"
run_launcher 1
listing=$("$server" releases --postgres "$pg_conninfo") || fail "releases"
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
wait_all dorera_reports_outbox 0 30 "1 2 3" >/dev/null || fail "the outboxes did not drain"
[ "$backlog" -gt 0 ] || fail "no report waited while PostgreSQL was down"
stored=$(pg_sql "SELECT count(*), count(DISTINCT agent), count(DISTINCT machine) FROM reports WHERE agent >= 100000")
echo "  PostgreSQL holds (reports, agents, machines): $stored"
[ "$stored" = "$flood|$flood|$flood" ] || fail "expected each of the $flood reports once, from $flood machines"
columns=$(pg_sql "SELECT string_agg(column_name, ',' ORDER BY column_name) FROM information_schema.columns WHERE table_name = 'reports'")
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

step "stop"
for i in 1 2 3; do
    kill -TERM "${server_pids[$((i - 1))]}" && wait "${server_pids[$((i - 1))]}" || fail "vs$i did not stop cleanly"
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
