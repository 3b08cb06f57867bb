# A private PostgreSQL cluster for tests and the fleet test, on 127.0.0.1 only.
# PostgreSQL refuses to run as root: as root (CI) the cluster belongs to the user postgres
# (made by the postgresql package), otherwise to whoever runs the script.
#   pg_start DIR PORT   initdb into DIR/data when it is not there yet, start the server on
#                       127.0.0.1:PORT and wait until it answers; sets pg_pid and pg_conninfo
#   pg_stop             fast stop (SIGINT) of pg_pid, waited for
#   pg_sql SQL          runs SQL through psql, prints the rows unaligned

pg_pid=""
pg_conninfo=""
pg_dir=""
pg_requested=""
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)

pg_as_owner() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

pg_start() {
    local dir=$1 port=$2
    [ -x "$pg_bin/initdb" ] || { echo "no PostgreSQL server (apt-get install postgresql)" >&2; return 1; }
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    if ! pg_as_owner test -w "$dir"; then
        # A checkout below a folder closed to the user postgres: the cluster goes to /tmp,
        # the same folder again when the same DIR is started again.
        if [ "$pg_requested" != "$dir" ] || [ -z "$pg_dir" ]; then
            pg_dir=$(mktemp -d /tmp/dorera-pg.XXXXXX) && chown postgres: "$pg_dir" || return 1
        fi
        echo "note: $dir is closed to the user postgres; the cluster is in $pg_dir" >&2
        pg_requested=$dir
        dir=$pg_dir
    else
        pg_dir=$dir
        pg_requested=$dir
    fi
    if [ ! -s "$dir/data/PG_VERSION" ]; then
        pg_as_owner "$pg_bin/initdb" -D "$dir/data" -U postgres --auth=trust --no-sync -E UTF8 --locale=C \
            >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; return 1; }
    fi
    pg_as_owner "$pg_bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $dir -c max_connections=50" start >/dev/null ||
        { tail -n 20 "$dir/server.log" >&2; return 1; }
    pg_pid=$(head -n 1 "$dir/data/postmaster.pid")
    pg_conninfo="host=127.0.0.1 port=$port user=postgres dbname=postgres"
}

pg_stop() {
    [ -n "$pg_pid" ] || return 0
    local pid=$pg_pid
    pg_pid=""
    kill -INT "$pid" 2>/dev/null || return 0
    for _ in $(seq 600); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.05
    done
    echo "PostgreSQL $pid did not stop" >&2
    return 1
}

pg_sql() {
    psql "$pg_conninfo" -X -q -A -t -v ON_ERROR_STOP=1 -c "$1"
}
