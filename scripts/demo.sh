#!/bin/bash
# The main job: builds the distribution (the 32-bit deliverables) and runs Launcher.exe
# under Wine on a virtual display against the stand-in version server on 127.0.0.1.
# The run fetches the VC runtime and the font when the Wine prefix lacks them, updates a
# launch file, and starts the login client (a stand-in that records its command line).
# Prints where the update log and a screenshot of the dialog are.
#   bash scripts/demo.sh            (DEMO_TREE=build-x64 to use the fast 64-bit build)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree=${DEMO_TREE:-build-i686}
bash "$root/scripts/install-deps.sh" || exit 1
case "$tree" in
    build-x64) bash "$root/scripts/build.sh" x64 || exit 1 ;;
    *) bash "$root/scripts/build.sh" i686 || exit 1 ;;
esac
build="$root/$tree"
demo="$build/demo"
# A Wine prefix of the demo's own, so that what it installs stays out of the tests' way.
export DR_WINE_ROOT="$build/wine-demo"
server_pid=""
trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null' EXIT

rm -rf "$demo"
mkdir -p "$demo/game" "$demo/launch" "$demo/solo"
cp "$build/launcher/Launcher.exe" "$demo/game/Launcher.exe"
cp "$build/tools/login_client/login_client_standin.exe" "$demo/game/Starter.dat"
# What the server holds: the same Launcher (no self-update) and a newer game file.
cp "$build/launcher/Launcher.exe" "$demo/launch/Launcher.exe"
printf '[Game]\r\nVersion=1.0.0\r\n' >"$demo/game/GameConfig.ini"
printf '[Game]\r\nVersion=1.0.1\r\nBuilt=%s\r\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$demo/launch/GameConfig.ini"
cp "$build/tools/vcredist/vcredist_standin.exe" "$demo/solo/vcredist_x86.exe" 2>/dev/null
cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$demo/solo/simhei.ttf" 2>/dev/null

python3 "$root/tools/version_server/version_server.py" --port 0 --port-file "$demo/port" \
    --launch-dir "$demo/launch" --solo-dir "$demo/solo" --slot Launcher.exe=0 \
    --slot GameConfig.ini=1 --delay-ms 1500 2>"$demo/server.log" &
server_pid=$!
for _ in $(seq 100); do [ -s "$demo/port" ] && break; sleep 0.1; done
port=$(cat "$demo/port" 2>/dev/null) || { echo "the version server did not start"; exit 1; }
printf '[General]\r\nMiniResLevel=2\r\n[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=GameConfig.ini\r\n' \
    "$port" >"$demo/game/Launcher.ini"

# Start as a machine without the runtime and the font, so the whole run is seen each time.
eval "$(DR_WINE_ENV=1 "$build/wine-run.sh")"
/usr/lib/wine/wine64 reg delete 'HKLM\Software\Veldra' /v VcrtExist /f >/dev/null 2>&1
/usr/lib/wine/wine64 reg delete 'HKLM\Software\Wow6432Node\Veldra' /v VcrtExist /f >/dev/null 2>&1
/usr/lib/wine/wine64 reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' /f >/dev/null 2>&1
/usr/lib/wine/wine64 reg delete 'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' /f >/dev/null 2>&1
rm -f "$WINEPREFIX/drive_c/windows/Fonts/simhei.ttf"

echo "Starting $tree/Launcher.exe against the version server on 127.0.0.1:$port ..."
"$build/wine-run.sh" "$demo/game/Launcher.exe" &
launcher_pid=$!

# The dialog is up once the log exists; take the screenshot when the status line has
# had time to show the update step.
shot="$demo/launcher-dialog.png"
for _ in $(seq 600); do
    if grep -q 'launch files' "$demo/server.log" 2>/dev/null || ! kill -0 $launcher_pid 2>/dev/null; then
        break
    fi
    if ls "$demo"/game/Log/Updater-*.log >/dev/null 2>&1 && grep -q 'address exchange' "$demo/server.log"; then
        import -window root "$shot" 2>/dev/null
    fi
    sleep 0.5
done
wait $launcher_pid
status=$?
for _ in $(seq 240); do [ -s "$demo/game/starter-record.txt" ] && break; sleep 0.5; done

echo
echo "Launcher.exe exited with $status."
echo "Update log:       $(ls "$demo"/game/Log/Updater-*.log 2>/dev/null)"
echo "Dialog screenshot: $shot"
echo "Server log:       $demo/server.log"
echo "Login client was started as: $(cat "$demo/game/starter-record.txt" 2>/dev/null)"
echo "GameConfig.ini now: $(tr -d '\r' <"$demo/game/GameConfig.ini" | tr '\n' ' ')"
echo
echo "--- update log ---"
cat "$demo"/game/Log/Updater-*.log 2>/dev/null
