# Screen recording for the demo, sourced by scripts/demo.sh: a recorder in the background
# that keeps every screen that changed, and holding the version server's next answer so that
# a Launcher with nothing to fetch can be photographed. Reads demo, demo_start,
# recorder_pause, server_log, server_port and vs_pid.
# shellcheck shell=bash

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
