# Starting and stopping the native version server from a script, on 127.0.0.1 only.
# Sourced by the demo, the tests that run the Launcher against the server, the screenshot
# script and the benchmarks.
#   vs_free_port                      prints a port nobody listens on now
#   vs_start BIN FOLDER PORT RELEASE [PUBLIC_KEY]
#                                     writes FOLDER/server.toml (reports in FOLDER/reports.sqlite,
#                                     the cache in FOLDER/cache, metrics on a free loopback port,
#                                     with PUBLIC_KEY the release must be signed with it),
#                                     starts "BIN serve" with its log in FOLDER/server.log and
#                                     waits up to 60 s for its port; sets vs_pid
#   vs_stop                           a clean stop (SIGTERM), waited for; fails if it was not clean
#   vs_write_manifest FOLDER ID NUMBER ADDRESSES ENTRY...
#                                     writes FOLDER/manifest.toml: release ID, its NUMBER ("" for
#                                     none), ADDRESSES (one "host:port" for all four entries, or
#                                     four separated by spaces) and per ENTRY a launch file,
#                                     "launch:SLOT:NAME:SOURCE" (NAME as the Launcher writes it,
#                                     `\` between folders), or a solo file, "solo:ID:SOURCE"

vs_pid=""

vs_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

vs_start() {
    local bin=$1 folder=$2 port=$3 release=$4 public_key=${5:-}
    mkdir -p "$folder"
    rm -f "$folder/port"
    cat >"$folder/server.toml" <<CONFIG
[listen]
address = "127.0.0.1"
port = $port

[metrics]
address = "127.0.0.1"
port = 0

[paths]
release = "$release"
cache = "$folder/cache"
database = "$folder/reports.sqlite"
CONFIG
    if [ -n "$public_key" ]; then
        printf '\n[signing]\npublic_keys = ["%s"]\n' "$public_key" >>"$folder/server.toml"
    fi
    "$bin" serve --config "$folder/server.toml" --port-file "$folder/port" 2>"$folder/server.log" &
    vs_pid=$!
    local tries
    for tries in $(seq 600); do
        [ -s "$folder/port" ] && break
        kill -0 "$vs_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ "$(head -n 1 "$folder/port" 2>/dev/null)" != "$port" ]; then
        kill "$vs_pid" 2>/dev/null
        vs_pid=""
        return 1
    fi
}

vs_stop() {
    [ -n "$vs_pid" ] || return 0
    local pid=$vs_pid
    vs_pid=""
    kill -CONT "$pid" 2>/dev/null
    kill -TERM "$pid" 2>/dev/null && wait "$pid"
}

# A TOML basic string of $1.
vs_toml_string() {
    local text=${1//\\/\\\\}
    printf '"%s"' "${text//\"/\\\"}"
}

vs_write_manifest() {
    local folder=$1 id=$2 number=$3 addresses=$4 entry kind first name source
    shift 4
    local -a four
    read -r -a four <<<"$addresses"
    [ "${#four[@]}" = 1 ] && four=("${four[0]}" "${four[0]}" "${four[0]}" "${four[0]}")
    {
        printf 'id = %s\n' "$(vs_toml_string "$id")"
        if [ -n "$number" ]; then printf 'number = %s\n' "$number"; fi
        printf 'addresses = ["%s", "%s", "%s", "%s"]\n' "${four[@]}"
        for entry in "$@"; do
            IFS=: read -r kind first name source <<<"$entry"
            case $kind in
            launch)
                printf '\n[[launch]]\nslot = %s\nname = %s\nsource = %s\n' "$first" \
                    "$(vs_toml_string "$name")" "$(vs_toml_string "$source")" ;;
            solo)
                printf '\n[[solo]]\nid = %s\nsource = %s\n' "$first" "$(vs_toml_string "$name")" ;;
            *)
                echo "vs_write_manifest: '$entry' is neither launch:SLOT:NAME:SOURCE nor solo:ID:SOURCE" >&2
                return 1 ;;
            esac
        done
    } >"$folder/manifest.toml"
}
