#!/bin/bash
# The player's journey, end to end, with the real parts:
#   1. builds the distribution and the version server;
#   2. prepares a release (a newer Launcher in slot 0, game files, the runtime package as
#      129 and a TrueType font as 130), checks it and serves it on 127.0.0.1;
#   3. makes the download a player gets (Setup.exe and its Launcher.ini for one agent);
#   4. runs Setup.exe under Wine on a virtual display as a player does: the proposal, the
#      licence opened and accepted, Install pressed;
#   5. follows the Launcher that Setup starts: runtime, font, report, launch files, the
#      self-update through the hidden shell, the restart and the login client;
#   6. starts the installed Launcher a second time: nothing to download, straight to the
#      login client.
# Prints each step with its duration, then the checked results, and writes a page with
# the screenshots of every visible step (journey.html in the demo folder).
#   bash scripts/demo.sh                  the deliverable (i686; each process start under
#                                         emulation takes about a minute)
#   DEMO_ARCH=x64 bash scripts/demo.sh    the same journey with the x86_64 build
#   DEMO_CI=1                             the tree is built already: no package install,
#                                         no full build (the test suite runs it so)
#   DEMO_BUILD=<folder>                   another build folder of that architecture
#   DEMO_SIGNED=0|1                       the release signed end to end: the operator's key
#                                         pair (keygen), a Launcher, next Launcher and Setup
#                                         built with its public half (a tree of their own,
#                                         <build>/keyed; the build itself stays without a
#                                         key), the release signed and served only signed.
#                                         The i686 journey is signed unless 0 is given; the
#                                         x64 journey is not unless 1 is given.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${DEMO_ARCH:-i686}
case "$arch" in
i686) tree=build-i686 slow=1 toolchain=toolchain-i686.cmake signed=${DEMO_SIGNED:-1} ;;
x64 | x86_64) arch=x64 tree=build-x64 slow=0 toolchain=toolchain-x86_64.cmake signed=${DEMO_SIGNED:-0} ;;
*) echo "DEMO_ARCH must be i686 or x64, not '$arch'" >&2; exit 2 ;;
esac
build=${DEMO_BUILD:-$root/$tree}
demo="$build/demo"
agent=20261207
# Waits scale with the cost of a process start: about a minute each under emulation.
if [ "$slow" = 1 ]; then patience=1500; else patience=240; fi
# Screens are taken this often (under emulation states last long; the CPU is better spent there).
if [ "$slow" = 1 ]; then recorder_pause=0.5; else recorder_pause=0.05; fi

# ---------------------------------------------------------------- the demo's parts
# Steps and their output, the version server, Wine, the screen recorder, the journey page and
# the checked results, each a file of scripts/demo/ that keeps its own state.
for part in steps server wine recorder journey-page checks; do
    source "$root/scripts/demo/$part.sh"
done

cleanup() {
    stop_recorder
    server_stop
    local pid
    for pid in $(installed_pids 2>/dev/null); do kill "$pid" 2>/dev/null; done
    [ -n "${setup_pid:-}" ] && kill "$setup_pid" 2>/dev/null
}
trap cleanup EXIT

# ================================================================ the journey
say "DoreraRarede: the player's journey with the $arch build (folder $demo)"

if [ "${DEMO_CI:-}" != 1 ]; then
    step "Install what is missing"
    bash "$root/scripts/install-deps.sh" >/dev/null || fail "installing the packages failed"
fi

step "Build the $arch distribution, the next Launcher and the version server"
if [ "${DEMO_CI:-}" != 1 ]; then
    mkdir -p "$build"
    bash "$root/scripts/build.sh" "$arch" >"$build/demo-build.log" 2>&1 ||
        fail "the build failed (see $build/demo-build.log)"
fi
ninja -C "$build" launcher_next >"$build/launcher_next.log" 2>&1 ||
    fail "building the next Launcher failed (see $build/launcher_next.log)"
server_build >"$build/version-server-build.log" 2>&1 ||
    fail "building the version server failed (see $build/version-server-build.log)"
{ { [ -f "$root/build-download/build.ninja" ] ||
    cmake -S "$root/server/tools/download_folder" -B "$root/build-download" -G Ninja; } &&
    ninja -C "$root/build-download" download-folder; } >"$build/download-folder-build.log" 2>&1 ||
    fail "building download-folder failed (see $build/download-folder-build.log)"
rm -rf "$demo"
mkdir -p "$demo"
font_source=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
[ -f "$font_source" ] || fail "no TrueType font at $font_source (package fonts-dejavu-core)"

# The programs the player gets: the build's own, or those built with the release key.
programs=$build
keys="$demo/keys"
if [ "$signed" = 1 ]; then
    step "The operator's key pair, and the Launcher, next Launcher and Setup built with its public half"
    mkdir -p "$keys"
    server_keygen >"$demo/keygen.log" 2>&1 || fail "keygen failed: $(cat "$demo/keygen.log")"
    sed 's/^/     /' "$demo/keygen.log"
    programs="$build/keyed"
    { { [ -f "$programs/build.ninja" ] ||
        cmake -S "$root" -B "$programs" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
            -DDR_BUILD_TESTS=OFF; } &&
        cmake "$programs" -DDR_RELEASE_PUBLIC_KEY="$keys/release.pub" &&
        ninja -C "$programs" Launcher launcher_next Setup; } >"$build/keyed-build.log" 2>&1 ||
        fail "building with the release key failed (see $build/keyed-build.log)"
fi
note "Setup.exe carries Launcher $(strings -el "$programs/launcher/Launcher.exe" | grep -m1 -E '^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$'); the release gets $(strings -el "$programs/launcher/next/Launcher.exe" | grep -m1 -E '^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$')"

step "Prepare the release$([ "$signed" = 1 ] && echo ", sign it") and check it"
release="$demo/release"
server_prepare_release "$release" || fail "preparing the release failed"
if [ "$signed" = 1 ]; then
    server_sign_release "$release" >"$demo/sign.log" 2>&1 || fail "signing failed: $(cat "$demo/sign.log")"
    sed 's/^/     /' "$demo/sign.log"
fi
server_check_release "$release" >"$demo/check.log" 2>&1 || fail "the release fails its check: $(cat "$demo/check.log")"
sed 's/^/     /' "$demo/check.log"

step "Start the version server on 127.0.0.1"
server_start "$release" || fail "the version server did not start (see $server_log)"
note "listening on 127.0.0.1:$server_port"

step "Make the player's download for agent $agent"
downloads="$demo/downloads"
"$root/build-download/download-folder" --setup "$programs/setup/Setup.exe" \
    --server "127.0.0.1:$server_port" --agent "$agent" --out "$downloads" >"$demo/download.log" 2>&1 ||
    fail "download-folder failed: $(cat "$demo/download.log")"
download="$downloads/$agent"
note "$(ls "$download" | tr '\n' ' ')in $download"

step "A Windows machine for the player (Wine prefix, drive D:, no runtime, no font)"
# The demo keeps a Wine prefix of its own, so the tests' prefix stays as it was. A copy of
# the tree's prefix saves creating one (minutes under emulation).
export DR_WINE_ROOT="$build/wine-demo"
if [ ! -f "$DR_WINE_ROOT/prefix/.dr-ready" ] && [ -f "$build/wine/prefix/.dr-ready" ]; then
    note "copying the tree's Wine prefix"
    mkdir -p "$DR_WINE_ROOT"
    cp -a "$build/wine/prefix" "$DR_WINE_ROOT/prefix" || fail "copying the Wine prefix failed"
fi
[ -f "$DR_WINE_ROOT/prefix/.dr-ready" ] || note "creating a Wine prefix (a few minutes the first time)"
# The 64-bit loader is enough to bring up the prefix, its server and the virtual desktop.
DR_WINE_LOADER=/usr/lib/wine/wine64 timeout 1800 "$build/wine-run.sh" cmd /c exit >/dev/null 2>&1 ||
    fail "Wine does not start"
eval "$(DR_WINE_ENV=1 "$build/wine-run.sh")"
export DISPLAY WINEPREFIX
# Drive D: is a folder of the demo; Setup proposes the first fixed drive with room.
mkdir -p "$demo/drive_d"
ln -sfn "$demo/drive_d" "$WINEPREFIX/dosdevices/d:"
wine_reg add 'HKLM\Software\Wine\Drives' /v 'd:' /d hd /f >/dev/null 2>&1
install_dir="$demo/drive_d/Veldra"
for view in /reg:64 /reg:32; do
    wine_reg delete 'HKLM\Software\Veldra' $view /f >/dev/null 2>&1
    wine_reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' $view /f >/dev/null 2>&1
done
rm -f "$WINEPREFIX/drive_c/windows/Fonts/simhei.ttf"
group="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Veldra"
desktop_link="$WINEPREFIX/drive_c/users/Public/Desktop/Veldra.lnk"
quick_launch=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Internet\ Explorer/Quick\ Launch 2>/dev/null | head -n 1)
rm -rf "$group" "$desktop_link"
[ -n "$quick_launch" ] && rm -f "$quick_launch/Veldra.lnk"

start_recorder

step "Setup.exe: the player opens the download"
# Started from the download folder, as a double click in Explorer does.
(cd "$download" && exec "$build/wine-run.sh" "$download/Setup.exe") >"$demo/setup.out" 2>&1 &
setup_pid=$!
setup_t0=$(now)
# The dialog is centred; its white header band spans the upper part of it.
dialog_up() { [ "$(pixel 600 245)" = "255,255,255" ] && [ "$(pixel 700 245)" = "255,255,255" ]; }
wait_until "$patience" "Setup's dialog" dialog_up || fail "Setup's dialog did not appear"
sleep 2
note "the dialog shows its proposal (drive D:, the first fixed drive with room)"

step "The licence: opened with its link and accepted"
# The dialog's client area: the white band's edges give its left edge and width, and the
# separator under the band its height in dialog units (47).
white_run() {  # crop-geometry coordinate-field start: the white run through "start" in a 1-pixel line
    import -window root -crop "$1" -depth 8 txt:- 2>/dev/null |
        awk -F'[,:( ]+' -v field="$2" -v start="$3" '
            NR > 1 { white[$field] = ($0 ~ /#FFFFFF/) }
            END { lo = start; while (white[lo - 1]) lo--; hi = start; while (white[hi + 1]) hi++; print lo, hi }'
}
# Column 600 and the band's lowest rows cross no text of the header.
read -r band_top band_bottom <<<"$(white_run 1x768+600+0 2 245)"
read -r band_left band_right <<<"$(white_run "1024x1+0+$(( band_bottom - 2 ))" 1 600)"
[ -n "$band_left" ] && [ -n "$band_bottom" ] || fail "cannot find Setup's dialog on the screen"
# Dialog units to pixels: the client area is 369 units wide (the band spans it), and the
# band reaches down to the separator at 47 units.
link_x=$(( band_left + (band_right - band_left + 1) * (171 + 8) / 369 ))
link_y=$(( band_top + (band_bottom - band_top + 1) * (149 + 4) / 47 ))
xdotool mousemove "$link_x" "$link_y" click 1
licence_up() { [ "$(pixel 600 245)" != "255,255,255" ] || [ "$(pixel 700 245)" != "255,255,255" ]; }
wait_until 120 "the licence dialog" licence_up || fail "the licence did not open (clicked at $link_x,$link_y)"
sleep 2
note "the licence is open; the player accepts it"
# The text has the focus; Tab leads to 接受 (accept).
xdotool key Tab
sleep 0.5
xdotool key Return
wait_until 120 "the licence dialog to close" dialog_up || fail "the licence dialog did not close"
sleep 1

step "Install pressed"
xdotool key Return
wait_until "$patience" "Setup to end" bash -c "! kill -0 $setup_pid 2>/dev/null" || fail "Setup did not end"
wait "$setup_pid"
setup_code=$?
setup_pid=""
note "Setup ended with exit code $setup_code after $(elapsed "$setup_t0") s"
[ "$setup_code" = 0 ] || fail "Setup's exit code is $setup_code"
[ -f "$install_dir/Launcher.exe" ] || fail "no Launcher.exe in $install_dir"

step "The Launcher Setup started (-first): runtime, font, report, update, self-update, restart"
launcher_t0=$(now)
milestone_t=$launcher_t0
milestone() {  # text: one line per step of the Launcher, with the time it took
    note "$(printf '%-48s %4d s' "$1" "$(elapsed "$milestone_t")")"
    milestone_t=$(now)
}
seen=""
journey_done() {
    local key
    for key in report runtime font files selfupdate restart login; do
        case " $seen " in *" $key "*) continue ;; esac
        case $key in
        report) log_has "Report Launcher Action Success!" && seen="$seen report" && milestone "installation report sent" ;;
        runtime) log_has "Wait procress succ" && seen="$seen runtime" && milestone "runtime package installed" ;;
        font) [ -f "$WINEPREFIX/drive_c/windows/Fonts/simhei.ttf" ] && seen="$seen font" && milestone "font installed" ;;
        files) log_has "save file Starter.dat success!" && seen="$seen files" && milestone "launch files received" ;;
        selfupdate) log_has "ShellExecute Succeed!" && seen="$seen selfupdate" && hold_next_answer &&
            milestone "self-update handed to the hidden shell" ;;
        restart) [ "$(ls "$install_dir"/Log/Updater-*.log 2>/dev/null | wc -l)" -ge 2 ] &&
            seen="$seen restart" && milestone "the new Launcher runs" ;;
        login) [ -s "$install_dir/starter-record.txt" ] && seen="$seen login" && milestone "login client started" ;;
        esac
    done
    [ -s "$install_dir/starter-record.txt" ] && no_installed_process
}
wait_until "$patience" "the Launcher's run" journey_done ||
    fail "the Launcher did not reach the login client (seen:$seen; last log line: $(log_text | tail -n 1))"
first_record=$(sed -n 1p "$install_dir/starter-record.txt")
first_logs=$(ls "$install_dir"/Log/Updater-*.log | wc -l)
server_lines_first=$(wc -l <"$server_log")

step "Second start of the installed Launcher (as from its shortcut)"
end_hold
sleep 1  # the update log is named by the second; a new run gets a new file
hold_next_answer
(cd "$install_dir" && exec "$build/wine-run.sh" "$install_dir/Launcher.exe") >"$demo/second.out" 2>&1
second_code=$?
two_records() { [ "$(wc -l <"$install_dir/starter-record.txt")" -ge 2 ]; }
wait_until "$patience" "the login client's second record" two_records ||
    fail "the login client was not started again"
second_record=$(sed -n 2p "$install_dir/starter-record.txt")
note "Launcher ended with exit code $second_code"
end_step
stop_recorder

# ---------------------------------------------------------------- checked results
check_journey

write_page
say ""
say "Checked results:"
printf '%s\n' "${results[@]}"
say ""
say "Page with every screen:  $demo/journey.html"
say "Update logs:             $install_dir/Log/"
say "Version server log:      $server_log"
say "Whole journey:           $(elapsed "$demo_start") s"
if [ "$failed_checks" -gt 0 ]; then
    say "DEMO FAILED: $failed_checks check(s) failed" >&2
    exit 1
fi
say "DEMO PASSED"
