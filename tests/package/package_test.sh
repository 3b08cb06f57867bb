#!/bin/bash
# The Debian package as an operator meets it: built from this tree with dpkg-buildpackage,
# checked by lintian, installed with apt-get on this machine, its files, user, folders,
# conffile, unit, man pages and examples looked at, the installed server run as the
# package's user with the installed config on the sample release (127.0.0.1 only) for one
# Launcher session, then purged, leaving nothing of it behind. Needs root; installs and
# purges the package on this machine, so it refuses to start when the package is already
# installed, and purges (and removes the user it made) whatever happens.
#   tests/package/package_test.sh REPO_ROOT WORK_DIR
set -euo pipefail
root=$(cd "$1" && pwd)
work=$2
package=dorera-version-server
user=dorera-version-server
config=/etc/$package/$package.toml
state=/var/lib/$package
cache=/var/cache/$package
examples=/usr/share/doc/$package/examples
client="python3 $root/tests/package/server_client.py"

step() { echo "== $*"; }
fail() {
    echo "FAIL: $*"
    exit 1
}

[ "$(id -u)" = 0 ] || fail "the package test installs a package: run it as root"
for tool in dpkg-buildpackage lintian apt-get promtool systemd-analyze runuser python3 git; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done
# One run at a time on this machine: runs of other trees would install the same package.
exec 9>/var/lock/$package-package-test.lock
flock 9
if dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q 'installed\|config-files'; then
    fail "$package is already installed here: this test installs and purges it, so it leaves it alone"
fi
user_was_there=no
getent passwd $user >/dev/null && user_was_there=yes

server_pid=
installed=no
run=
cleanup() {
    set +e
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        for _ in $(seq 150); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    fi
    if [ "$installed" = yes ]; then apt-get purge -y -q $package >/dev/null 2>&1; fi
    if [ "$user_was_there" = no ] && getent passwd $user >/dev/null; then
        userdel $user
        if getent group $user >/dev/null; then groupdel $user; fi
    fi
    rm -rf "$work/src" ${run:+"$run"}
}
trap cleanup EXIT

step "build the package from the tree's files"
rm -rf "$work" && mkdir -p "$work/src"
git -C "$root" ls-files -z --cached --others --exclude-standard | tar -C "$root" --null -T - -cf - | tar -C "$work/src" -xf -
version=$(dpkg-parsechangelog -l "$work/src/debian/changelog" -S Version)
(cd "$work/src" && nice -n 10 dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; fail "dpkg-buildpackage failed (log: $work/build.log)"; }
deb=$work/${package}_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb"
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"

step "lintian: no error, no warning that is not overridden"
lintian --fail-on error,warning --display-level '>=warning' --show-overrides "$deb" | tee "$work/lintian.txt" ||
    fail "lintian found errors or warnings"

step "install with apt-get"
installed=yes
apt-get install -y -q --no-install-recommends "$deb" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "apt-get install failed"; }
dpkg-query -W -f='${Status}\n' $package | grep -qx 'install ok installed' || fail "not installed"

step "files, user, folders, conffile"
# owner:group mode of each path, as stat gives them
expect_stat() {
    local got
    got=$(stat -c '%U:%G %a' "$1" 2>/dev/null) || fail "$1 is missing"
    [ "$got" = "$2" ] || fail "$1 is $got, wanted $2"
    echo "$1: $got"
}
expect_stat /usr/bin/dorera-version-server "root:root 755"
expect_stat /usr/bin/download-folder "root:root 755"
[ "$(/usr/bin/dorera-version-server --version)" = "dorera-version-server $version" ] ||
    fail "dorera-version-server --version: $(/usr/bin/dorera-version-server --version)"
[ "$(/usr/bin/download-folder --version)" = "download-folder $version" ] ||
    fail "download-folder --version: $(/usr/bin/download-folder --version)"
IFS=: read -r _ _ uid _ _ home shell < <(getent passwd $user) || fail "no user $user"
[ "$uid" -lt 1000 ] && [ "$home" = $state ] && [ "$shell" = /usr/sbin/nologin ] ||
    fail "user $user: uid $uid, home $home, shell $shell"
getent group $user >/dev/null || fail "no group $user"
echo "user $user: system uid $uid, home $home, shell $shell"
expect_stat $state "$user:$user 750"
expect_stat $cache "$user:$user 750"
expect_stat $config "root:$user 640"
dpkg-query -W -f='${Conffiles}\n' $package | grep -q "^ $config " || fail "$config is no conffile"
cmp $config "$root/server/conf/$package.toml" || fail "$config is not the sample config"
unit=$(dpkg -L $package | grep "/systemd/system/$package.service$") || fail "no unit installed"
[ -L /etc/systemd/system/multi-user.target.wants/$package.service ] || fail "the unit is not enabled"
echo "unit $unit, enabled"
for page in dorera-version-server download-folder; do
    [ -f /usr/share/man/man1/$page.1.gz ] || fail "no man page $page(1)"
done
# The server's page has a section for every command its --help lists.
for command in $(dorera-version-server --help | sed -n '/^Subcommands:/,$ s/^  \([a-z-]*\) .*/\1/p'); do
    zcat /usr/share/man/man1/dorera-version-server.1.gz | grep -q "^\.SS \"$command\"" ||
        fail "dorera-version-server(1) has no section for $command"
done
for example in haproxy.cfg $package.rules.yml $package.dashboard.json $package.socket; do
    [ -f $examples/$example ] || fail "no $examples/$example"
done

step "the unit: systemd-analyze verify and security"
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
score=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
echo "exposure $score"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || fail "the unit's exposure is '$score', more than 2.0"

step "the alert rules: promtool"
promtool check rules $examples/$package.rules.yml

step "the installed server as $user, with $config, on the sample release"
# The release the operator puts in place: root's files, readable by the server.
cp -r "$root/server/sample-release" $state/release
# The server's own scratch folder (its port file, a second config), outside the tree: the
# tree's folders need not be open to the server's user.
run=$(mktemp -d /tmp/$package-test.XXXXXX)
chown $user:$user "$run"
# Started through sh so that the server itself has the PID ($$ before exec), to stop it by.
start_server() {
    runuser -u $user -- sh -c 'echo $$ >"$1/pid"; shift; exec "$@"' sh "$run" \
        /usr/bin/dorera-version-server serve --config "$@" --listen 127.0.0.1 --port 0 --metrics-port 0 \
        --port-file "$run/ports" >>"$run/log" 2>&1 &
    for _ in $(seq 100); do
        [ -s "$run/ports" ] && [ -s "$run/pid" ] && break
        sleep 0.1
    done
    [ -s "$run/ports" ] || { cat "$run/log"; fail "the server did not start"; }
    server_pid=$(cat "$run/pid")
    port=$(sed -n 1p "$run/ports")
    metrics_port=$(sed -n 2p "$run/ports")
}
stop_server() {
    kill -TERM "$server_pid"
    for _ in $(seq 150); do
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$server_pid" 2>/dev/null && fail "the server did not stop on SIGTERM"
    server_pid=
    rm -f "$run/ports" "$run/pid"
}
start_server $config
$client session "$port" 4242 "$root/server/sample-release/manifest.toml" || { cat "$run/log"; fail "session"; }
stop_server
cat "$run/log"
grep -q '^stop: 1 sessions served, 1 reports stored' "$run/log" || fail "the report was not stored"
runuser -u $user -- dorera-version-server reports --config $config --csv | tee "$run/reports.csv"
grep -q "^$(date -u +%F),4242,1,1$" "$run/reports.csv" || fail "no report of agent 4242 today"
[ "$(stat -c %U:%G $state/reports.sqlite)" = "$user:$user" ] || fail "$state/reports.sqlite is not the server's"
expect_stat $state/machine.key "$user:$user 600"

step "the dashboard's and the alert rules' metrics are all exported"
# In a fleet (here one whose PostgreSQL is away) the server shows its fleet metrics too.
cat >"$run/fleet.toml" <<EOF
[paths]
release = "$state/release"
cache = "$run/cache"
database = "$run/outbox.sqlite"
[fleet]
database = "host=127.0.0.1 port=1 dbname=dorera connect_timeout=2"
EOF
start_server "$run/fleet.toml"
$client metrics "$metrics_port" $examples/$package.dashboard.json $examples/$package.rules.yml ||
    fail "metrics named in the examples are not exported"
stop_server

step "purge"
files=$(dpkg -L $package)
installed=no
apt-get purge -y -q $package >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge failed"; }
dpkg-query -W -f='${Status}' $package 2>/dev/null | grep -q 'installed\|config-files' && fail "still known to dpkg"
# Every file and folder of the package's own is gone (folders shared with others stay).
left=$(for path in $files; do if [ -e "$path" ] && [ ! -d "$path" ]; then echo "$path"; fi; done)
[ -z "$left" ] || fail "left after purge: $left"
for path in /etc/$package $state $cache /etc/systemd/system/multi-user.target.wants/$package.service \
    /usr/share/doc/$package; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "left after purge: $path"; fi
done
echo "nothing left but the user and group $user (kept, as Debian packages keep theirs)"
getent passwd $user >/dev/null || fail "the user went with the purge; the operators' page says it stays"
echo "package test passed"
