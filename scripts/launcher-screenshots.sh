#!/bin/bash
# Screenshots of the Launcher's update dialog under Wine's virtual desktop: while it
# works, with the close question open (Escape), and after the question was cancelled.
# Uses the x86_64 build (build it first with scripts/build.sh x64). Writes PNG files to
# build-x64/screenshots/ and prints their paths.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-x64"
out="$build/screenshots"
work="$out/launcher-run"
export DR_WINE_ROOT="$build/wine-demo"
server_pid=""
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null' EXIT

rm -rf "$work" && mkdir -p "$work/game" "$work/launch"
cp "$build/launcher/Launcher.exe" "$work/game/"
cp "$build/launcher/Launcher.exe" "$work/launch/"
cp "$build/tools/login_client/login_client_standin.exe" "$work/game/Starter.dat"
printf 'new data\r\n' >"$work/launch/GameConfig.ini"
python3 "$root/tools/version_server/version_server.py" --port 0 --port-file "$work/port" \
    --launch-dir "$work/launch" --slot Launcher.exe=0 --slot GameConfig.ini=1 \
    --delay-ms 12000 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
printf '[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=GameConfig.ini\r\n' \
    "$(cat "$work/port")" >"$work/game/Launcher.ini"

eval "$(DR_WINE_ENV=1 "$build/wine-run.sh")"
"$build/wine-run.sh" "$work/game/Launcher.exe" &
launcher=$!
wait_for() { for _ in $(seq 400); do grep -q "$1" "$work/server.log" && return 0; sleep 0.1; done; return 1; }

# The address answer comes after the delay; the launch-file answer another delay later.
wait_for 'address exchange'
sleep 2
import -window root "$out/launcher-working.png"
xdotool key Escape
sleep 1.5
import -window root "$out/launcher-close-question.png"
xdotool key Escape
sleep 1.5
import -window root "$out/launcher-after-cancel.png"
wait $launcher
status=$?
for _ in $(seq 100); do [ -s "$work/game/starter-record.txt" ] && break; sleep 0.1; done
echo "Launcher exited with $status; login client: $(cat "$work/game/starter-record.txt" 2>/dev/null)"
ls "$out"/*.png
