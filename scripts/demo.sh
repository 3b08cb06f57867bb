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

# ---------------------------------------------------------------- output and steps
demo_start=$(date +%s)
step_no=0
step_name=""
step_start=0
results=()
failed_checks=0

now() { date +%s; }
elapsed() { echo $(( $(now) - $1 )); }
say() { printf '%s\n' "$*"; }

step() {  # name: starts a step (ending the one before)
    end_step
    step_no=$((step_no + 1))
    step_name=$1
    step_start=$(now)
    printf '\n[%2d] %s\n' "$step_no" "$step_name"
    [ -d "$demo" ] && echo "$step_name" >"$demo/phase"
}
end_step() {
    [ -n "$step_name" ] && printf '     done in %d s\n' "$(elapsed "$step_start")"
    step_name=""
}
note() { printf '     %s\n' "$*"; }
fail() {  # message: stops the demo
    printf '\nDEMO FAILED in step %d "%s": %s\n' "$step_no" "$step_name" "$*" >&2
    [ -d "$demo" ] && printf 'Details: %s (server.log, Log/ of the install folder, shots/)\n' "$demo" >&2
    write_page 2>/dev/null
    exit 1
}
check() {  # description, then a command: one checked result
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        results+=("  ok    $what")
    else
        results+=("  FAIL  $what")
        failed_checks=$((failed_checks + 1))
    fi
}

# wait_until SECONDS WHAT COMMAND...: polls until the command succeeds; prints a line every
# 20 s so that a slow step never looks like a hang.
wait_until() {
    local limit=$1 what=$2 start
    shift 2
    start=$(now)
    local last_note=$start
    until "$@"; do
        if [ "$(elapsed "$start")" -ge "$limit" ]; then
            return 1
        fi
        if [ $(( $(now) - last_note )) -ge 20 ]; then
            note "... waiting for $what ($(elapsed "$start") s)"
            last_note=$(now)
        fi
        sleep 0.5
    done
}

# ---------------------------------------------------------------- the version server
# Everything the demo asks of the version server goes through these functions.
source "$root/scripts/version-server-lib.sh"
server_log="$demo/server.log"
server_port=""
server_bin="$root/build-server/dorera-version-server"

# The tree is configured once; a later run (the test run's two lines may both get here)
# only lets ninja check it.
server_build() {
    { [ -f "$root/build-server/build.ninja" ] || cmake -S "$root/server" -B "$root/build-server" -G Ninja >/dev/null; } &&
        ninja -C "$root/build-server" dorera-version-server >/dev/null
}

# Lays out the release in $1 as operators do: the files, and manifest.toml naming the
# server's own address (the Launcher saves it), the launch-file slots and the solo files.
server_prepare_release() {
    local release=$1
    server_port=$(vs_free_port) || return 1
    local address="127.0.0.1:$server_port"
    mkdir -p "$release/files/bin" "$release/solo"
    cp "$programs/launcher/next/Launcher.exe" "$release/files/Launcher.exe"
    cp "$build/tools/login_client/login_client_standin.exe" "$release/files/Starter.dat"
    head -c 400000 /dev/urandom >"$release/files/bin/game.dat"
    printf '[游戏]\r\n名称=DoreraRarede\r\n版本=1.0.1\r\n' | iconv -f UTF-8 -t GBK >"$release/files/游戏设置.ini"
    cp "$build/tools/vcredist/vcredist_standin.exe" "$release/solo/vcredist_x86.exe"
    cp "$font_source" "$release/solo/simhei.ttf"
    vs_write_manifest "$release" "demo-$(date -u +%Y%m%d-%H%M%S)" "$([ "$signed" = 1 ] && echo 1)" "$address" \
        launch:0:Launcher.exe:files/Launcher.exe launch:1:Starter.dat:files/Starter.dat \
        'launch:2:bin\game.dat:files/bin/game.dat' launch:3:游戏设置.ini:files/游戏设置.ini \
        solo:129:solo/vcredist_x86.exe solo:130:solo/simhei.ttf
}

server_check_release() {
    if [ "$signed" = 1 ]; then
        "$server_bin" check "$1" --key "$keys/release.pub"
    else
        "$server_bin" check "$1"
    fi
}

# The operator's key pair: release.key (for signing, kept off the server) and release.pub.
server_keygen() {
    "$server_bin" keygen --out "$keys/release"
}

server_sign_release() {
    "$server_bin" sign "$1" --key "$keys/release.key"
}

# A signed journey's server serves the release only as long as it verifies with the key.
server_start() {
    if [ "$signed" = 1 ]; then
        vs_start "$server_bin" "$demo" "$server_port" "$1" "$keys/release.pub"
    else
        vs_start "$server_bin" "$demo" "$server_port" "$1"
    fi
}

server_stop() {
    end_hold
    vs_stop
}

# The server's operators' page after the journey: its HTML (operators-page.html) and a
# screenshot by headless Chromium (operators-page.png), both in the demo folder.
server_page_shot() {
    local port
    port=$(tail -n 1 "$demo/port" 2>/dev/null) && [ -n "$port" ] || return 1
    curl -s --max-time 5 -o "$demo/operators-page.html" "http://127.0.0.1:$port/" || return 1
    rm -f "$demo/operators-page.png"
    timeout -k 5 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync --hide-scrollbars \
        --user-data-dir="$demo/.chromium" --window-size=1100,1600 --virtual-time-budget=3000 \
        --screenshot="$demo/operators-page.png" "http://127.0.0.1:$port/" >/dev/null 2>&1
    [ -s "$demo/operators-page.png" ]
}

# Succeeds when the server lines in $1 hold sessions and none of them sent a file.
server_sent_nothing() {
    grep -q '^session ' <<<"$1" && ! grep '^session ' <<<"$1" | grep -qv ' files=0 '
}

# Prints the installations the server's database holds for agent $1: day,agent,reports,machines.
server_reports() {
    "$server_bin" reports --db "$demo/reports.sqlite" --csv | awk -F, -v agent="$1" '$2 == agent'
}

# ---------------------------------------------------------------- Wine helpers
run() { "$build/wine-run.sh" "$@"; }
wine_reg() { env LC_ALL=zh_CN.UTF-8 /usr/lib/wine/wine64 reg "$@"; }
reg_view=""
[ "$arch" = i686 ] && reg_view="/reg:32"

pixel() {  # x y: "r,g,b" of one screen pixel
    import -window root -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null |
        sed -n '2s/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p'
}

installed_pids() {  # processes that have a program of the install folder mapped
    local maps
    for maps in /proc/[0-9]*/maps; do
        grep -qsF "$install_dir/" "$maps" && basename "$(dirname "$maps")"
    done
}
no_installed_process() { [ -z "$(installed_pids)" ]; }

log_text() {  # every update log of the install folder, oldest first, without CRs
    local f
    for f in $(ls -tr "$install_dir"/Log/Updater-*.log 2>/dev/null); do
        tr -d '\r' <"$f" | iconv -f GBK -t UTF-8 -c
    done
}
log_has() { log_text | grep -qF -- "$1"; }
log_count() { log_text | grep -cF -- "$1"; }

# ---------------------------------------------------------------- screenshots
# A recorder in the background keeps every screen that differs from the one before, with
# the phase it belongs to and how many lines the update log and the server log had then.
recorder_pid=""
start_recorder() {
    mkdir -p "$demo/shots"
    (
        last=""
        n=0
        while [ ! -f "$demo/shots/.stop" ]; do
            if import -window root -depth 8 "rgb:$demo/shots/.screen" 2>/dev/null; then
                sum=$(md5sum <"$demo/shots/.screen")
                if [ "$sum" != "$last" ]; then
                    last=$sum
                    n=$((n + 1))
                    name=$(printf 'shot-%03d.png' "$n")
                    # Kept raw for speed; made PNG when the recorder stops.
                    cp "$demo/shots/.screen" "$demo/shots/${name%.png}.rgb"
                    printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$(elapsed "$demo_start")" \
                        "$(cat "$demo/phase" 2>/dev/null)" "$(log_text | wc -l)" \
                        "$(wc -l <"$server_log" 2>/dev/null || echo 0)" >>"$demo/shots/index.tsv"
                fi
            fi
            sleep "$recorder_pause"
        done
    ) &
    recorder_pid=$!
}
stop_recorder() {
    [ -n "$recorder_pid" ] || return 0
    touch "$demo/shots/.stop"
    wait "$recorder_pid" 2>/dev/null
    recorder_pid=""
    local raw
    for raw in "$demo"/shots/shot-*.rgb; do
        [ -f "$raw" ] || continue
        convert -size 1024x768 -depth 8 "rgb:$raw" "${raw%.rgb}.png" && rm -f "$raw"
    done
}

# A Launcher with nothing to fetch ends before its dialog can be photographed. For the runs
# after the self-update the server is held (SIGSTOP) before the next Launcher connects; the
# kernel still takes the connection, and the server goes on once the recorder has the dialog
# or 12 s after the connection (the Launcher waits 20 s for an answer, so nothing else
# changes). Runs in the background and never outlives the demo; the page says so.
server_connections() { ss -Htn state established "( dport = :$server_port )" 2>/dev/null | wc -l; }
shot_count() { wc -l <"$demo/shots/index.tsv" 2>/dev/null || echo 0; }
hold_next_answer() {
    local demo_pid=$$
    (
        trap 'kill -CONT "$vs_pid" 2>/dev/null' EXIT
        kill -STOP "$vs_pid" 2>/dev/null || exit 0
        alive() { kill -0 "$demo_pid" 2>/dev/null; }
        while alive && [ "$(server_connections)" != 0 ]; do sleep 0.2; done  # the last Launcher's
        while alive && [ "$(server_connections)" = 0 ]; do sleep 0.2; done   # the next one's
        shots=$(shot_count)
        for _ in $(seq 60); do
            alive || break
            sleep 0.2
            [ "$(shot_count)" -gt "$shots" ] && sleep 1 && break
        done
    ) >/dev/null 2>&1 &
    hold_pid=$!
}
hold_pid=""
end_hold() {  # never leaves the server held
    [ -n "$hold_pid" ] && kill "$hold_pid" 2>/dev/null && wait "$hold_pid" 2>/dev/null
    hold_pid=""
    kill -CONT "$vs_pid" 2>/dev/null
}

lines_between() {  # file after upto: the lines after line "after" up to line "upto"
    [ "$3" -gt "$2" ] && sed -n "$(( $2 + 1 )),$3p" "$1" 2>/dev/null
}
html_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'; }

write_page() {
    local page="$demo/journey.html" index="$demo/shots/index.tsv"
    [ -f "$index" ] || return 0
    local all_log="$demo/shots/.log" prev_log=0 prev_server=0
    log_text >"$all_log"
    {
        printf '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>DoreraRarede: the player'"'"'s journey (%s)</title>\n' "$arch"
        printf '<style>body{font-family:sans-serif;margin:1em}td{vertical-align:top;padding:6px}img{width:640px;border:1px solid #999}pre{font-size:12px;margin:0;white-space:pre-wrap;max-width:520px}h2{font-size:15px;margin:0 0 4px}</style></head><body>\n'
        printf '<h1>The player'"'"'s journey, %s build</h1>\n<p>Every screen that changed, in order, with the update log lines and the version server lines that appeared up to it. At the start after the self-update and at the second start the version server held its first answer for a few seconds, so that the dialog of a Launcher with nothing to fetch could be photographed.</p>\n<table>\n' "$arch"
        while IFS=$'\t' read -r name t phase log_lines server_lines; do
            printf '<tr><td><h2>%s s &mdash; %s</h2><a href="shots/%s"><img src="shots/%s"></a></td>\n' \
                "$t" "$(printf '%s' "$phase" | html_escape)" "$name" "$name"
            printf '<td><h2>update log</h2><pre>%s</pre><h2>version server</h2><pre>%s</pre></td></tr>\n' \
                "$(lines_between "$all_log" "$prev_log" "$log_lines" | html_escape)" \
                "$(lines_between "$server_log" "$prev_server" "$server_lines" | html_escape)"
            prev_log=$log_lines
            prev_server=$server_lines
        done <"$index"
        printf '</table>\n'
        if [ -s "$demo/operators-page.png" ]; then
            printf '<h2>The version server'"'"'s operators'"'"' page after the journey</h2>\n'
            printf '<p>What the operator sees at the server'"'"'s metrics address (<a href="operators-page.html">the page as served</a>): the release, this server, the installation of agent %s in the chart and the table, the refusals.</p>\n' "$agent"
            printf '<a href="operators-page.png"><img src="operators-page.png" style="width:800px"></a>\n'
        fi
        printf '<h2>Checked results</h2><pre>%s</pre>\n</body></html>\n' \
            "$(printf '%s\n' "${results[@]}" | html_escape)"
    } >"$page"
}

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
for name in Launcher.exe Starter.dat bin/game.dat 游戏设置.ini; do
    check "$name is byte-identical to the release" cmp "$release/files/$name" "$install_dir/$name"
done
check "Launcher.exe is the newer one, not the one inside Setup" \
    bash -c "! cmp -s '$programs/launcher/Launcher.exe' '$install_dir/Launcher.exe'"
check "no Launcher.exe.tmp left behind" test ! -e "$install_dir/Launcher.exe.tmp"
if [ "$signed" = 1 ]; then
    openssl pkey -pubin -in "$keys/release.pub" -outform DER 2>/dev/null | tail -c 64 >"$demo/release-key.point"
    holds_key() {  # program: whether its bytes hold the release key's point
        python3 -c 'import sys; sys.exit(open(sys.argv[2], "rb").read().find(open(sys.argv[1], "rb").read()) < 0)' \
            "$demo/release-key.point" "$1"
    }
    no_key_in_build() { ! holds_key "$build/launcher/Launcher.exe" && ! holds_key "$build/setup/Setup.exe"; }
    every_run_verified() {  # each update log verified release 1 and refused nothing
        local f
        for f in "$install_dir"/Log/Updater-*.log; do
            tr -d '\r' <"$f" | grep -qx 'release 1 verified' || return 1
            ! grep -q 'refused' "$f" || return 1
        done
    }
    check "the installed Launcher carries the release key" holds_key "$install_dir/Launcher.exe"
    check "the build's own Launcher.exe and Setup.exe carry none" no_key_in_build
    check "every Launcher run verified the signed release 1" every_run_verified
fi
if [ "$arch" = i686 ]; then
    for program in "$download/Setup.exe" "$install_dir/Launcher.exe"; do
        check "${program##*/} is a 32-bit Windows GUI program" \
            bash -c "file -b '$program' | grep -q '^PE32 executable (GUI) Intel 80386'"
    done
fi
check "simhei.ttf in the Windows Fonts folder is the release's font" \
    cmp "$release/solo/simhei.ttf" "$WINEPREFIX/drive_c/windows/Fonts/simhei.ttf"
check "font registered as 'simhei (TrueType)'" \
    wine_reg query 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' $reg_view
check "runtime package ran once and VcrtExist is 1" bash -c \
    "[ \"\$(wc -l <'$install_dir/vcredist-record.txt')\" = 1 ] && env LC_ALL=zh_CN.UTF-8 /usr/lib/wine/wine64 reg query 'HKLM\\Software\\Veldra' /v VcrtExist $reg_view | grep -q 0x1"
install_path=$(wine_reg query 'HKLM\Software\Veldra' /v InstallPath $reg_view 2>/dev/null | tr -d '\r' |
    awk '/InstallPath/ {print $NF}')
check "InstallPath is D:\\Veldra\\ (was '$install_path')" test "$install_path" = 'D:\Veldra\'
check "program-group shortcut to D:\\Veldra\\Launcher.exe" grep -aq 'Veldra\\Launcher.exe' "$group/Veldra.lnk"
check "desktop shortcut to D:\\Veldra\\Launcher.exe" grep -aq 'Veldra\\Launcher.exe' "$desktop_link"
if [ -n "$quick_launch" ] && [ -d "$quick_launch" ]; then
    check "Quick Launch shortcut" test -f "$quick_launch/Veldra.lnk"
fi
check "uninstall manifest lists Launcher.exe and uninstall.exe" bash -c \
    "printf '[General]\r\nf0=Launcher.exe\r\ncnt=2\r\nf1=uninstall.exe\r\n' | cmp -s - '$install_dir/uninstall.dat'"
# Started from a Unix shell, Setup may find no Windows parent to record; it says so in its
# log in the folder it was started from.
check "Setup recorded its parent (Setup.ini) or logged why not" bash -c \
    "grep -q '^SetupFile=.' '$install_dir/Setup.ini' 2>/dev/null || grep -Eq '^(Open parent process|Get parent process file name) fail, error [0-9]+\.' '$download/setup.log'"
ini=$(tr -d '\r' <"$install_dir/Launcher.ini")
check "Launcher.ini got a client identifier" bash -c "grep -Eq '^ClientID=-?[1-9][0-9]*$' <<<'$ini'"
check "Launcher.ini lists the four launch files (count=4)" grep -qx 'count=4' <<<"$ini"
check "Launcher.ini records the Chinese name in slot 3" grep -qx "filename3=$(printf '游戏设置.ini' | iconv -f UTF-8 -t GBK)" <<<"$ini"
if [ "$signed" = 1 ]; then
    check "Launcher.ini keeps the release number accepted (Number=1)" grep -qx 'Number=1' <<<"$ini"
fi
check "Launcher.ini marks the report as sent (Report=2) and keeps Agent=$agent" \
    bash -c "grep -qx 'Report=2' <<<'$ini' && grep -qx 'Agent=$agent' <<<'$ini'"
one_installation() { [ "$(server_reports "$agent" | awk -F, '{n += $3} END {print n + 0}')" = 1 ]; }
check "the server's database holds one installation for agent $agent ($(server_reports "$agent"))" one_installation
check "first journey: self-update, then a Launcher run with nothing to fetch ($first_logs update logs)" \
    bash -c "[ '$first_logs' = 2 ] && [ \"\$(ls -tr '$install_dir'/Log/Updater-*.log | sed -n 2p | xargs grep -c 'save file')\" = 0 ]"
check "login client started with ' -u 0 -e 0' ($first_record)" grep -q -- '-u 0 -e 0|' <<<"$first_record"
check "second start: login client with ' -u 0 -e 0' ($second_record)" grep -q -- '-u 0 -e 0|' <<<"$second_record"
second_start_fetched_nothing() {
    local lines
    lines=$(tail -n +$((server_lines_first + 1)) "$server_log")
    server_sent_nothing "$lines"
}
check "second start: nothing downloaded" second_start_fetched_nothing
check "the operators' page taken by headless Chromium (operators-page.png)" server_page_shot
release_id=$(sed -n 's/^id = "\(.*\)"$/\1/p' "$release/manifest.toml")
check "the operators' page names release $release_id and shows agent $agent's installation" bash -c \
    "grep -q 'id=\"release-id\">$release_id<' '$demo/operators-page.html' && grep -q 'data-agent=\"$agent\" data-installations=\"1\"' '$demo/operators-page.html'"
check "Setup's exit code is 0" test "$setup_code" = 0
check "the second Launcher's exit code is 0" test "$second_code" = 0

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
