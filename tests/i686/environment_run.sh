#!/bin/bash
# The Launcher on a machine without the VC runtime and the font, against a small version
# server on 127.0.0.1 (Python, below): the first run must fetch the runtime package (the
# stand-in) and the font, install both, write the mark and start the login client with
# "  -u 0 -e 0"; a second run must fetch neither. Checks the registry view the Launcher
# itself uses (32-bit for the i686 build). Puts the mark and the font back afterwards.
# Usage: environment_run.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
work="$build/scratch/environment-run"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
rm -rf "$work" && mkdir -p "$work/bin"

fail() { echo "FAIL: $*"; exit 1; }
[ -r "$font" ] || fail "$font missing (fonts-dejavu-core)"
case "$(file -b "$build/launcher/Launcher.exe")" in
    PE32+*) view=64 ;;
    PE32*) view=32 ;;
    *) fail "Launcher.exe is no Windows program" ;;
esac

# Registry and Fonts-folder chores run with the native 64-bit loader: fast, same prefix.
reg() { DR_WINE_LOADER=/usr/lib/wine/wine64 "$build/wine-run.sh" reg "$@" 2>/dev/null | tr -d '\r'; }
prefix=$(DR_WINE_ENV=1 "$build/wine-run.sh" | sed -n 's/^export WINEPREFIX=\([^ ]*\) .*/\1/p')
[ -d "$prefix" ] || fail "no Wine prefix for $build"
fonts_file="$prefix/drive_c/windows/Fonts/simhei.ttf"
cleanup() {
    reg delete 'HKLM\software\Veldra' /v VcrtExist /f "/reg:$view" >/dev/null
    reg delete 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' /f "/reg:$view" >/dev/null
    rm -f "$fonts_file"
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
}
trap cleanup EXIT
cleanup

cp "$build/launcher/Launcher.exe" "$work/Launcher.exe"
cp "$build/tools/login_client/login_client_standin.exe" "$work/Starter.dat"
cp "$build/tools/vcredist/vcredist_standin.exe" "$work/package.bin"
echo "0 0" >"$work/vcredist-plan.txt"
echo "game data" >"$work/bin/game.dat"

python3 - "$work" "$font" >"$work/server.log" 2>&1 <<'PY' &
import socket, struct, sys, zlib, os
work, font = sys.argv[1], sys.argv[2]
files = {129: open(os.path.join(work, "package.bin"), "rb").read(), 130: open(font, "rb").read()}
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(5)
port = listener.getsockname()[1]
with open(os.path.join(work, "port"), "w") as f:
    f.write(str(port))
address = ("127.0.0.1:%d" % port).encode()

def exact(conn, n):
    data = b""
    while len(data) < n:
        piece = conn.recv(n - len(data))
        if not piece:
            raise EOFError
        data += piece
    return data

while True:
    conn, _ = listener.accept()
    try:
        while True:
            cmd, param = struct.unpack("<HH", exact(conn, 4))
            print("request", cmd, param, flush=True)
            if cmd == 1:
                entries = [address] + [b""] * 3
                conn.sendall(struct.pack("<HH", 0x81, 1) + b"".join(e.ljust(32, b"\0") for e in entries))
            elif cmd == 4 and param in files:
                data = files[param]
                packed = zlib.compress(data)
                header = struct.pack("<IIII", 0, len(packed), len(data), zlib.crc32(data) & 0xFFFFFFFF)
                conn.sendall(struct.pack("<HH", 0x84, 1) + header + str(param).encode().ljust(64, b"\0") + packed)
            elif cmd == 4:
                conn.sendall(struct.pack("<HH", 0x84, 0))
            elif cmd == 3:
                exact(conn, param * 16)
                conn.sendall(struct.pack("<HH", 0x83, 0))
            elif cmd == 7:
                exact(conn, 12)
            else:
                break
    except (EOFError, ConnectionError):
        pass
    conn.close()
PY
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "server did not start: $(cat "$work/server.log")"
printf '[General]\r\nModeSlience=1\r\n[SvrAddr]\r\naddr0=127.0.0.1:%s\r\n[LaunchFile]\r\ncount=2\r\nfilename0=Launcher.exe\r\nfilename1=bin\\game.dat\r\n' \
    "$(cat "$work/port")" >"$work/Launcher.ini"

# One run; waits for the login client's record line number $1.
run() {
    local start status
    start=$(date +%s)
    (cd "$work" && timeout 600 "$build/wine-run.sh" "$work/Launcher.exe")
    status=$?
    echo "run $1: Launcher.exe exited with $status after $(( $(date +%s) - start )) s"
    [ "$status" = 0 ] || fail "run $1: exit code $status"
    for _ in $(seq 180); do
        seen=$(grep -c '^cmdline=' "$work/starter-record.txt" 2>/dev/null)
        [ "${seen:-0}" -ge "$1" ] && break
        sleep 1
    done
    line=$(sed -n "${1}p" "$work/starter-record.txt" 2>/dev/null)
    echo "run $1: login client: $line"
    case "$line" in
        "cmdline=  -u 0 -e 0|"*) ;;
        *) fail "run $1: login client record '$line'; log: $(cat "$work"/Log/*.log)" ;;
    esac
}

run 1
grep -q '^request 4 129$' "$work/server.log" || fail "runtime package not fetched"
grep -q '^request 4 130$' "$work/server.log" || fail "font not fetched"
grep -q 'cmdline="vcredist_x86.exe" /q |' "$work/vcredist-record.txt" || fail "package not run quietly"
reg query 'HKLM\software\Veldra' /v VcrtExist "/reg:$view" | grep -q 'REG_DWORD *0x1' || fail "mark not written in the $view-bit view"
cmp -s "$font" "$fonts_file" || fail "font not in the Fonts folder"
reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Fonts' /v 'simhei (TrueType)' "/reg:$view" | grep -q 'REG_SZ *simhei.ttf' || fail "font not registered"
[ ! -e "$work/vcredist_x86.exe" ] && [ ! -e "$work/simhei.ttf" ] || fail "downloads left behind"

before=$(grep -c '^request 4 ' "$work/server.log")
run 2
[ "$(grep -c '^request 4 ' "$work/server.log")" = "$before" ] || fail "second run downloaded again"
echo "PASS: $view-bit Launcher installed the runtime and the font, then found both"
