#!/bin/bash
# One whole install by the deliverable Setup.exe:
#   bash tests/i686/setup_install.sh <build-dir> <source-dir>
# Setup runs from a folder with a "Launcher.ini" beside it; the folder box is filled and
# Install pressed through the keyboard on the build's virtual display (Setup's windows
# live inside Wine's desktop window). Then: Setup's exit code, "Launcher.exe" byte for
# byte the Launcher of the same build, "Launcher.ini" copied, the uninstall manifest,
# the parent record, the shortcuts and the registry value. Cleans up what it made and
# ends the Launcher that Setup started. Each process start of a 32-bit build costs about
# a minute, so waits are generous.
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
run="$build/wine-run.sh"
eval "$(DR_WINE_ENV=1 "$run" 2>/dev/null)" 2>/dev/null
export DISPLAY WINEPREFIX

fail() { echo "FAIL: $*" >&2; status=1; }
status=0
work="$build/scratch/i686-setup-install"
rm -rf "$work"
mkdir -p "$work/src" "$work/dest" "$work/cwd"
cp "$build/setup/Setup.exe" "$work/src/Setup.exe"
printf '[General]\r\nClientID=20261207\r\n[SvrAddr]\r\ncount=1\r\naddr0=127.0.0.1:1\r\n' >"$work/src/Launcher.ini"
dest_win="Z:${work//\//\\}\\dest"
installed="$work/dest/Veldra"
group="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Veldra"
desktop="$WINEPREFIX/drive_c/users/Public/Desktop/Veldra.lnk"
had_install_path=0
grep -qs '"InstallPath"' "$WINEPREFIX/system.reg" && had_install_path=1

pixel() {  # x y: the colour of one screen pixel as "r,g,b"
    import -window root -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null | sed -n '2s/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p'
}

launcher_pids() {  # processes that have the installed Launcher.exe mapped: the Launcher
    for maps in /proc/[0-9]*/maps; do
        grep -qsF "$installed/Launcher.exe" "$maps" && basename "$(dirname "$maps")"
    done
}

cleanup() {
    [ -n "${setup_pid:-}" ] && kill -0 "$setup_pid" 2>/dev/null && kill "$setup_pid"
    for pid in $(launcher_pids); do kill "$pid"; done
    rm -rf "$group"
    [ -f "$desktop" ] && grep -aq 'i686-setup-install' "$desktop" && rm -f "$desktop"
}
trap cleanup EXIT

(cd "$work/cwd" && exec "$run" "$work/src/Setup.exe") >"$work/setup.out" 2>&1 &
setup_pid=$!

# The dialog is up once its white header band shows in the middle of the screen (the
# dialog is centred; its band spans the upper fifth of it).
for _ in $(seq 600); do
    [ "$(pixel 400 245)" = "255,255,255" ] && [ "$(pixel 600 245)" = "255,255,255" ] && break
    kill -0 "$setup_pid" 2>/dev/null || break
    sleep 1
done
if [ "$(pixel 400 245)" != "255,255,255" ]; then
    fail "Setup's dialog did not appear"
    import -window root "$work/no-dialog.png"
    exit 1
fi
sleep 2
# Focus starts on Install; Tab moves into the folder box and selects its text.
xdotool key Tab; sleep 1
xdotool type --delay 80 "$dest_win"; sleep 1
import -window root "$work/typed.png"
xdotool key Return

for _ in $(seq 600); do kill -0 "$setup_pid" 2>/dev/null || break; sleep 1; done
if kill -0 "$setup_pid" 2>/dev/null; then
    import -window root "$work/still-running.png"
    fail "Setup did not end (see $work/still-running.png)"
    exit 1
fi
wait "$setup_pid"; code=$?
setup_pid=
[ "$code" = 0 ] || fail "Setup's exit code is $code, not 0"

cmp -s "$installed/Launcher.exe" "$build/launcher/Launcher.exe" ||
    fail "Launcher.exe is not the Launcher of this build"
cmp -s "$installed/Launcher.ini" "$work/src/Launcher.ini" || fail "Launcher.ini was not copied"
printf '[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n' | cmp -s - "$installed/uninstall.dat" ||
    fail "uninstall.dat is not as expected"
# Started from a Unix shell, Setup may have no Windows parent to record: then it says so
# in its log, in the folder it was started in.
if [ -f "$installed/Setup.ini" ]; then
    grep -q '^SetupFile=.' "$installed/Setup.ini" || fail "Setup.ini names no parent"
else
    grep -Eq '^(Open parent process|Get parent process file name) fail, error [0-9]+\.'$'\r''$' "$work/cwd/setup.log" ||
        fail "neither Setup.ini nor the parent line in setup.log"
fi
[ -f "$group/Veldra.lnk" ] || fail "no program-group shortcut"
[ -f "$desktop" ] || fail "no desktop shortcut"
grep -aq 'Launcher.exe' "$group/Veldra.lnk" 2>/dev/null || fail "the program-group shortcut does not name Launcher.exe"

# The registry value: deleting it both shows that it was written and puts the prefix
# back as it was (when no earlier install had recorded a folder).
if [ "$had_install_path" = 0 ]; then
    "$run" reg delete 'HKLM\Software\Veldra' /v InstallPath /f >"$work/reg.out" 2>&1 ||
        fail "InstallPath was not recorded"
fi
for pid in $(launcher_pids); do echo "ending the Launcher Setup started (pid $pid)"; done
[ "$status" = 0 ] && echo "PASS: the deliverable Setup.exe installed into $installed"
exit "$status"
