#!/bin/bash
# The 32-bit Launcher.exe, once, in silent mode and with no version server: it must write
# a client identifier and its update log, and start the login client with "  -e 12".
# Usage: launcher_smoke.sh I686_BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
work="$build/scratch/i686-launcher-smoke"
rm -rf "$work" && mkdir -p "$work"
cp "$build/launcher/Launcher.exe" "$work/Launcher.exe"
cp "$build/tools/login_client/login_client_standin.exe" "$work/Starter.dat"
# Silent, and no saved address: the only server tried is the default host name, which does
# not answer here; the run must end with result code 12.
printf '[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=127.0.0.1:9\r\n' >"$work/Launcher.ini"

fail() { echo "FAIL: $*"; exit 1; }
file "$work/Launcher.exe" | grep -q 'PE32 executable (GUI) Intel 80386' || fail "not a 32-bit GUI program"

start=$(date +%s)
(cd "$work" && timeout 600 "$build/wine-run.sh" "$work/Launcher.exe")
status=$?
echo "Launcher.exe exited with $status after $(( $(date +%s) - start )) s"
[ "$status" = 0 ] || fail "exit code $status"

# The login client is started without waiting; give it time to leave its record.
for _ in $(seq 120); do [ -s "$work/starter-record.txt" ] && break; sleep 1; done
record=$(cat "$work/starter-record.txt" 2>/dev/null)
echo "login client: $record"
case "$record" in
    "cmdline=  -e 12|show=0|"*) ;;
    *) fail "login client record: '$record'" ;;
esac
grep -q '^ClientID=-\?[1-9][0-9]*' "$work/Launcher.ini" || fail "no ClientID written"
log=$(ls "$work"/Log/Updater-*.log 2>/dev/null | head -1)
[ -n "$log" ] || fail "no update log"
grep -q 'Connect to fail.' "$log" || fail "log lacks 'Connect to fail.'"
echo "PASS: i686 Launcher smoke run"
