#!/bin/bash
# One run of the built Launcher.exe (under Wine) against the native version server on
# 127.0.0.1: a report is due, the release replaces one launch file and adds another in a
# new slot; no self-update. Checks the files, the Launcher's settings, the login client's
# record, the update log and the report the server stored.
#   bash launcher_against_server.sh <build-dir> <version-server-binary>
set -u
build=$(cd "$1" && pwd)
server=$2
work="$build/scratch/launcher-against-server"
source "$(dirname "$0")/../../scripts/version-server-lib.sh"

fail() {
    echo "FAIL: $*" >&2
    [ -f "$work/server.log" ] && sed 's/^/  server: /' "$work/server.log" >&2
    for log in "$work"/game/Log/*.log; do
        [ -f "$log" ] && sed 's/^/  launcher log: /' "$log" >&2
    done
    exit 1
}
cleanup() {
    [ -n "$vs_pid" ] && kill -9 "$vs_pid" 2>/dev/null
}
trap cleanup EXIT

[ -x "$server" ] || fail "no version server at $server (bash scripts/build.sh server)"
rm -rf "$work"
mkdir -p "$work/game" "$work/release/files" "$work/release/solo"
cp "$build/launcher/Launcher.exe" "$work/game/Launcher.exe" || fail "no built Launcher.exe"
cp "$build/tools/login_client/login_client_standin.exe" "$work/game/Starter.dat" ||
    fail "no built login client stand-in"
printf 'old game data\r\n' >"$work/game/game.dat"

# The release: the same Launcher (no self-update), a new game.dat, a file in a new slot.
cp "$work/game/Launcher.exe" "$work/release/files/Launcher.exe"
head -c 300000 /dev/urandom >"$work/release/files/game.dat"
printf 'read me\r\n' >"$work/release/files/readme.txt"
solo=()
vcredist=$(find "$build/tools" -name 'vcredist_standin.exe' 2>/dev/null | head -n 1)
if [ -n "$vcredist" ]; then
    cp "$vcredist" "$work/release/solo/vcredist_x86.exe"
    solo+=(solo:129:solo/vcredist_x86.exe)
fi
font=$(find /usr/share/fonts -name '*.ttf' 2>/dev/null | head -n 1)
if [ -n "$font" ]; then
    cp "$font" "$work/release/solo/simhei.ttf"
    solo+=(solo:130:solo/simhei.ttf)
fi

# The manifest names the server's own port, so a free one is chosen first.
port=$(vs_free_port) || fail "no free port"
vs_write_manifest "$work/release" whole-process "" "127.0.0.1:$port" \
    launch:0:Launcher.exe:files/Launcher.exe launch:1:game.dat:files/game.dat \
    'launch:2:bin\readme.txt:files/readme.txt' "${solo[@]}"
vs_start "$server" "$work" "$port" "$work/release" || fail "the version server did not start"

printf '[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=game.dat\r\n[Action]\r\nReport=1\r\nAgent=4321\r\n' \
    "$port" >"$work/game/Launcher.ini"

echo "running the Launcher against 127.0.0.1:$port"
start=$(date +%s)
timeout 800 "$build/wine-run.sh" "$work/game/Launcher.exe"
code=$?
echo "Launcher ended with $code after $(( $(date +%s) - start )) s"
[ "$code" -eq 0 ] || fail "Launcher exit code $code"

for _ in $(seq 1200); do [ -s "$work/game/starter-record.txt" ] && break; sleep 0.25; done
record=$(cat "$work/game/starter-record.txt" 2>/dev/null)
echo "login client record: $record"
log=$(cat "$work"/game/Log/*.log 2>/dev/null | tr -d '\r')
ini=$(tr -d '\r' <"$work/game/Launcher.ini")

cmp -s "$work/release/files/game.dat" "$work/game/game.dat" || fail "game.dat was not replaced"
cmp -s "$work/release/files/readme.txt" "$work/game/bin/readme.txt" || fail "bin\\readme.txt was not written"
cmp -s "$work/release/files/Launcher.exe" "$work/game/Launcher.exe" || fail "Launcher.exe changed"
[ ! -e "$work/game/Launcher.exe.tmp" ] || fail "a self-update was started"
for key in addr0 addr1 addr2 addr3; do
    grep -qx "$key=127.0.0.1:$port" <<<"$ini" || fail "$key not taken from the server"
done
grep -qx 'filename2=bin\\readme.txt' <<<"$ini" || fail "the new slot is not listed"
grep -qx 'count=3' <<<"$ini" || fail "count does not cover the new slot"
grep -qx 'Report=2' <<<"$ini" || fail "the report is not marked sent"
grep -qxF "Connect to 127.0.0.1:$port succeed!" <<<"$log" || fail "no connection in the log"
grep -qxF "Report Launcher Action Success!" <<<"$log" || fail "no report in the log"
grep -qxF "save file game.dat success!" <<<"$log" || fail "no save line in the log"
if grep -qxF "Fail on update file." <<<"$log"; then fail "the update stage failed"; fi
case "$record" in
"cmdline=  -u 0 -e 0|"*) ;;
"cmdline=  -u 0 -e "*)
    grep -qxF "Fail on config environment." <<<"$log" || fail "unexpected result: $record"
    echo "note: the environment stage failed in this run: $record" ;;
*) fail "login client record: '$record'" ;;
esac

# A clean stop stores the report; every session ended normally.
vs_stop || fail "the server did not stop cleanly"
grep -q 'end=closed' "$work/server.log" || fail "no session ended normally"
if grep -E 'end=(cut|violation|error)' "$work/server.log"; then fail "a session ended badly"; fi
reports=$("$server" reports --db "$work/reports.sqlite" --csv)
echo "$reports"
grep -q ',4321,1,1$' <<<"$reports" || fail "the report of agent 4321 was not stored"
echo "PASS"
