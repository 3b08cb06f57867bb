#!/bin/bash
# A release key replaced through an ordinary update, with the built Launchers (under Wine)
# against the native version server on 127.0.0.1:
#   1. a Launcher with the old key meets a release signed with the old and the new key,
#      whose slot 0 is a Launcher with the new key: it verifies the release, replaces itself,
#      and the new Launcher verifies the same release with its own key;
#   2. a release signed with the old key only: refused, nothing written (result 8);
#   3. a release signed with the new key: taken;
#   4. an older release signed with the new key: refused (result 8), the number stays;
#   5. and 6. releases whose new Launcher would refuse them (built without a key, or with
#      the old key only): the Launcher does not move it in (result 9), and as the release's
#      launch files are then not all on disk, its number is not taken.
#   bash key_replacement.sh <build-dir> <version-server-binary>
set -u
build=$(cd "$1" && pwd)
server=$2
work="$build/scratch/key-replacement"
keys="$build/tests/release-keys"
source "$(dirname "$0")/../../scripts/version-server-lib.sh"

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/server-*/server.log; do
        [ -f "$log" ] && sed "s|^|  server ${log#$work/server-}: |" "$log" >&2
    done
    for log in "$work"/game/Log/*.log; do
        [ -f "$log" ] && sed 's/^/  launcher log: /' "$log" >&2
    done
    exit 1
}
cleanup() {
    [ -n "$vs_pid" ] && kill -9 "$vs_pid" 2>/dev/null
}
trap cleanup EXIT

[ -x "$server" ] || fail "no version server at $server (bash scripts/build.sh server)"
old_launcher="$build/tests/launcher_signed_old/Launcher.exe"
new_launcher="$build/tests/launcher_signed_new/Launcher.exe"
[ -f "$old_launcher" ] && [ -f "$new_launcher" ] || fail "no keyed Launchers in $build/tests"
rm -rf "$work"
mkdir -p "$work/game"
cp "$old_launcher" "$work/game/Launcher.exe"
cp "$build/tools/login_client/login_client_standin.exe" "$work/game/Starter.dat" ||
    fail "no built login client stand-in"
printf 'game data before\r\n' >"$work/game/game.dat"
port=$(vs_free_port) || fail "no free port"
printf '[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=game.dat\r\n' \
    "$port" >"$work/game/Launcher.ini"

# release NAME NUMBER LAUNCHER KEY...: a release folder with game.dat "game data NAME", signed
# with each key in turn, served from now on.
release() {
    local name=$1 number=$2 launcher=$3 folder="$work/release-$1"
    shift 3
    vs_stop
    mkdir -p "$folder/files" "$folder/solo"
    cp "$launcher" "$folder/files/Launcher.exe"
    printf 'game data %s\r\n' "$name" >"$folder/files/game.dat"
    cp "$build/tools/vcredist/vcredist_standin.exe" "$folder/solo/vcredist_x86.exe"
    cp /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "$folder/solo/simhei.ttf"
    vs_write_manifest "$folder" "key-replacement-$name" "$number" "127.0.0.1:$port" \
        launch:0:Launcher.exe:files/Launcher.exe launch:1:game.dat:files/game.dat \
        solo:129:solo/vcredist_x86.exe solo:130:solo/simhei.ttf
    local key
    for key in "$@"; do
        "$server" sign "$folder" --key "$keys/$key.key" >/dev/null || fail "signing $name with $key failed"
    done
    vs_start "$server" "$work/server-$name" "$port" "$folder" || fail "the version server did not start"
}

# run CODE: one start of the installed Launcher (and of the one it may hand over to), up to
# the login client, which must receive CODE.
runs=0
run() {
    local expected=$1 record
    runs=$((runs + 1))
    timeout 600 "$build/wine-run.sh" "$work/game/Launcher.exe" || fail "run $runs: Launcher exit code $?"
    for _ in $(seq 2400); do
        [ "$(cat "$work/game/starter-record.txt" 2>/dev/null | wc -l)" -ge "$runs" ] && break
        sleep 0.25
    done
    # The next run must not meet this one's Launcher still ending.
    for _ in $(seq 240); do
        grep -qsF "$work/game/Launcher.exe" /proc/[0-9]*/maps || break
        sleep 0.25
    done
    record=$(sed -n "${runs}p" "$work/game/starter-record.txt" 2>/dev/null)
    echo "run $runs: login client record $record"
    case "$record" in
    *" -e $expected|"*) ;;
    *) fail "run $runs: the login client got '$record', not -e $expected" ;;
    esac
}
number() { tr -d '\r' <"$work/game/Launcher.ini" | sed -n 's/^Number=//p'; }
log() { cat "$work"/game/Log/*.log 2>/dev/null | tr -d '\r'; }

echo "1. the old Launcher meets a release signed with both keys that carries the new Launcher"
release transition 1 "$new_launcher" old new
run 0
cmp -s "$new_launcher" "$work/game/Launcher.exe" || fail "the Launcher with the new key did not move in"
cmp -s "$work/release-transition/files/game.dat" "$work/game/game.dat" || fail "game.dat not taken"
[ "$(log | grep -cxF 'release 1 verified')" -ge 2 ] || fail "the release was not verified by both Launchers"
[ "$(number)" = 1 ] || fail "release number $(number), not 1"

echo "2. a release signed with the old key only"
release old-only 2 "$new_launcher" old
run 8
cmp -s "$work/release-transition/files/game.dat" "$work/game/game.dat" || fail "game.dat changed"
log | grep -qxF "release manifest refused: not signed with this Launcher's key" || fail "no refusal in the log"
[ "$(number)" = 1 ] || fail "release number $(number), not 1"

echo "3. a release signed with the new key"
release new-only 3 "$new_launcher" new
run 0
cmp -s "$work/release-new-only/files/game.dat" "$work/game/game.dat" || fail "game.dat not taken"
[ "$(number)" = 3 ] || fail "release number $(number), not 3"

echo "4. an older release, signed with the new key"
release older 2 "$new_launcher" new
run 8
cmp -s "$work/release-new-only/files/game.dat" "$work/game/game.dat" || fail "game.dat changed"
log | grep -qxF "release manifest refused: release 2 is older than release 3, accepted before" ||
    fail "no refusal of the older release in the log"
[ "$(number)" = 3 ] || fail "release number $(number), not 3"
cmp -s "$new_launcher" "$work/game/Launcher.exe" || fail "Launcher.exe changed"

echo "5. a release, signed with the new key, whose new Launcher carries no key"
release keyless-launcher 4 "$build/launcher/Launcher.exe" new
run 9
cmp -s "$new_launcher" "$work/game/Launcher.exe" || fail "a Launcher without a key moved in"
[ ! -e "$work/game/Launcher.exe.tmp" ] || fail "Launcher.exe.tmp left behind"
log | grep -qxF "new Launcher Launcher.exe.tmp refused: it carries no release key" || fail "no refusal in the log"
cmp -s "$work/release-keyless-launcher/files/game.dat" "$work/game/game.dat" || fail "game.dat not taken"
[ "$(number)" = 3 ] || fail "release number $(number), not 3: release 4 is not whole on disk"

echo "6. a release signed with the new key whose new Launcher holds the old key"
release old-key-launcher 5 "$old_launcher" new
run 9
cmp -s "$new_launcher" "$work/game/Launcher.exe" || fail "a Launcher with the old key moved in"
log | grep -qxF "new Launcher Launcher.exe.tmp refused: its key did not sign this release" ||
    fail "no refusal in the log"
[ "$(number)" = 3 ] || fail "release number $(number), not 3: release 5 is not whole on disk"

vs_stop || fail "the server did not stop cleanly"
echo "PASS"
