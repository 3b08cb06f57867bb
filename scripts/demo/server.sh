# Everything the demo asks of the version server, sourced by scripts/demo.sh: its build, the
# release laid out as operators do, the key pair, signing and checking, start and stop, the
# operators' page and the reports it stored. Reads root, build, demo, programs, keys,
# font_source and signed; server_stop calls end_hold (recorder.sh).
# shellcheck shell=bash

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
