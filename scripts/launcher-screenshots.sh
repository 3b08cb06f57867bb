#!/bin/bash
# Screenshots of the Launcher's update dialog under Wine's virtual desktop: while it
# works, with the close question open (Escape), and after the question was cancelled.
# The version server is the real one; it is held (SIGSTOP) while the Launcher waits for its
# first answer, so the dialog stays up as long as the screenshots need, then let go.
# Uses the x86_64 build and the server (scripts/build.sh x64 and server first). Writes PNG
# files to build-x64/screenshots/ and prints their paths.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-x64"
out="$build/screenshots"
work="$out/launcher-run"
export DR_WINE_ROOT="$build/wine-demo"
source "$root/scripts/version-server-lib.sh"
trap vs_stop EXIT

rm -rf "$work" && mkdir -p "$work/game" "$work/release"
cp "$build/launcher/Launcher.exe" "$work/game/"
cp "$build/launcher/Launcher.exe" "$work/release/"
cp "$build/tools/login_client/login_client_standin.exe" "$work/game/Starter.dat"
printf 'new data\r\n' >"$work/release/GameConfig.ini"
port=$(vs_free_port)
vs_write_manifest "$work/release" screenshots "" "127.0.0.1:$port" \
    launch:0:Launcher.exe:Launcher.exe launch:1:GameConfig.ini:GameConfig.ini
vs_start "$root/build-server/dorera-version-server" "$work/server" "$port" "$work/release" ||
    { echo "the version server did not start (see $work/server/server.log)" >&2; exit 1; }
printf '[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=GameConfig.ini\r\n' \
    "$port" >"$work/game/Launcher.ini"

# Held, the server still completes connections (the kernel's backlog) but answers nothing.
kill -STOP "$vs_pid"
eval "$(DR_WINE_ENV=1 "$build/wine-run.sh")"
"$build/wine-run.sh" "$work/game/Launcher.exe" &
launcher=$!
connected() { ss -Htn state established "( dport = :$port )" | grep -q .; }
for _ in $(seq 600); do connected && break; sleep 0.1; done
connected || { echo "the Launcher never connected" >&2; exit 1; }

# The Launcher waits up to 20 s for the address answer: time enough for all three.
sleep 2
import -window root "$out/launcher-working.png"
xdotool key Escape
sleep 1.5
import -window root "$out/launcher-close-question.png"
xdotool key Escape
sleep 1.5
import -window root "$out/launcher-after-cancel.png"
kill -CONT "$vs_pid"
wait $launcher
status=$?
for _ in $(seq 100); do [ -s "$work/game/starter-record.txt" ] && break; sleep 0.1; done
echo "Launcher exited with $status; login client: $(cat "$work/game/starter-record.txt" 2>/dev/null)"
ls "$out"/*.png
