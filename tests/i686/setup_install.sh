#!/bin/bash
# One whole install by the deliverable Setup.exe:
#   bash tests/i686/setup_install.sh <build-dir> <source-dir>
# Setup runs from a folder with a "Launcher.ini" beside it; the folder box is filled and
# Install pressed through the keyboard on the build's virtual display (Setup's windows
# live inside Wine's desktop window). It starts from a known state: no InstallPath, no
# shortcuts, a Quick Launch folder. Then each result exactly: Setup's exit code,
# "Launcher.exe" byte for byte the Launcher of the same build, "Launcher.ini" copied, the
# uninstall manifest, the parent record (Setup started from a Unix shell has no Windows
# parent, so its log says so and no "Setup.ini" is written), the three shortcuts with
# their target, and the registry value. Cleans up what it made and ends the Launcher that
# Setup started. Each process start of a 32-bit build costs about a minute, so waits are
# generous.
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
run="$build/wine-run.sh"
eval "$(DR_WINE_ENV=1 "$run" 2>/dev/null)" 2>/dev/null
export DISPLAY WINEPREFIX

# The registry's 32-bit view, which the 32-bit Setup writes, through the 64-bit reg.exe
# of the same prefix: no emulated process start.
reg32() { env LC_ALL=zh_CN.UTF-8 /usr/lib/wine/wine64 reg "$@" /reg:32; }

fail() { echo "FAIL: $*" >&2; status=1; }
status=0
work="$build/scratch/i686-setup-install"
rm -rf "$work"
mkdir -p "$work/src" "$work/dest" "$work/cwd"
cp "$build/setup/Setup.exe" "$work/src/Setup.exe"
printf '[General]\r\nClientID=20261207\r\n[SvrAddr]\r\ncount=1\r\naddr0=127.0.0.1:1\r\n' >"$work/src/Launcher.ini"
dest_win="Z:${work//\//\\}\\dest"
installed="$work/dest/Veldra"
installed_win="$dest_win\\Veldra\\"
group="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Veldra"
desktop="$WINEPREFIX/drive_c/users/Public/Desktop/Veldra.lnk"
quick_folder="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Internet Explorer/Quick Launch"
quick="$quick_folder/Veldra.lnk"
made_quick_folder=0
[ -d "$quick_folder" ] || { mkdir -p "$quick_folder" && made_quick_folder=1; }
rm -rf "$group"
rm -f "$desktop" "$quick"
# No install recorded before this one (the value may be left by an earlier run).
reg32 delete 'HKLM\Software\Veldra' /v InstallPath /f >"$work/reg-before.out" 2>&1

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
    rm -f "$desktop" "$quick"
    [ "$made_quick_folder" = 1 ] && rmdir "$quick_folder" 2>/dev/null
}

links_to() {  # link target: whether the shortcut names target (in GBK or UTF-16)
    python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
target = sys.argv[2]
sys.exit(0 if target.encode('gbk') in data or target.encode('utf-16-le') in data else 1)
PY
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
# Started from a Unix shell, Setup has no Windows parent (process id 0): it logs the
# failed open in the folder it was started in and writes no "Setup.ini".
printf 'Open parent process fail, error 87.\r\n' | cmp -s - "$work/cwd/setup.log" ||
    fail "setup.log is not the one parent line: $(cat -A "$work/cwd/setup.log" 2>&1)"
[ ! -e "$installed/Setup.ini" ] || fail "Setup.ini written without a parent"
for link in "$group/Veldra.lnk" "$quick" "$desktop"; do
    if [ ! -f "$link" ]; then
        fail "no shortcut $link"
    elif ! links_to "$link" "${installed_win}Launcher.exe"; then
        fail "$link does not name ${installed_win}Launcher.exe"
    fi
done
reg32 query 'HKLM\Software\Veldra' /v InstallPath >"$work/reg.out" 2>&1
recorded=$(tr -d '\r' <"$work/reg.out" | sed -n 's/^ *InstallPath  *REG_SZ  *//p')
[ "$recorded" = "$installed_win" ] || fail "InstallPath is not $installed_win: $(cat "$work/reg.out")"
for pid in $(launcher_pids); do echo "ending the Launcher Setup started (pid $pid)"; done
[ "$status" = 0 ] && echo "PASS: the deliverable Setup.exe installed into $installed"
exit "$status"
