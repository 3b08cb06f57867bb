#!/bin/bash
# Signed releases made outside the Launcher's code, for the Launcher's tests to verify under
# Wine (SignedRelease.ReleaseSignedOutsideVerifies): a release folder, two key pairs made by
# the version server's keygen, and the release signed twice:
#   make_release_vectors.sh OUT SERVER
#   release/signed-manifest.bin          by the operator's command, `SERVER sign`, with key a
#                                        and then key b
#   release/openssl-signed-manifest.bin  the same manifest laid out anew by Python from the
#                                        files, signed with key a by the openssl command line
#   release/files/<launch name>, release/solo/129, release/solo/130, release/manifest.toml
#   a.pub a.point b.pub b.point          the public keys, and X and Y of each (64 bytes)
set -euo pipefail
source "$(dirname "$0")/../../scripts/version-server-lib.sh"
out=$1
server=$2
rm -rf "$out"
mkdir -p "$out/release/files/bin" "$out/release/solo"
release="$out/release"
head -c 70001 /dev/urandom >"$release/files/Launcher.exe"
head -c 300000 /dev/urandom >"$release/files/bin/game.dat"
printf '[游戏]\r\n版本=1.0.1\r\n' | iconv -f UTF-8 -t GBK >"$release/files/游戏设置.ini"
: >"$release/files/empty.dat"
head -c 4096 /dev/urandom >"$release/solo/129"
head -c 1000 /dev/urandom >"$release/solo/130"
vs_write_manifest "$release" vectors 3 "192.0.2.1:18920 192.0.2.2:1 198.51.100.7:65535 203.0.113.255:18921" \
    launch:0:Launcher.exe:files/Launcher.exe 'launch:2:bin\game.dat:files/bin/game.dat' \
    launch:7:游戏设置.ini:files/游戏设置.ini launch:29:empty.dat:files/empty.dat \
    solo:129:solo/129 solo:130:solo/130

"$server" --help 2>/dev/null | grep -q '^ *sign ' || { echo "$server cannot sign releases" >&2; exit 1; }
for key in a b; do
    "$server" keygen --out "$out/$key" >/dev/null
    openssl pkey -pubin -in "$out/$key.pub" -outform DER | tail -c 64 >"$out/$key.point"
done
"$server" sign "$release" --key "$out/a.key" >/dev/null
"$server" sign "$release" --key "$out/b.key" >/dev/null

# The manifest's byte layout (common/release_manifest.h) written anew here: a second encoder
# that must agree with the server's byte for byte.
python3 - "$out" <<'PYTHON'
import hashlib, struct, subprocess, sys
out = sys.argv[1]
release = out + "/release"
addresses = ["192.0.2.1:18920", "192.0.2.2:1", "198.51.100.7:65535", "203.0.113.255:18921"]
launch = [(0, "Launcher.exe", "files/Launcher.exe"), (2, "bin\\game.dat", "files/bin/game.dat"),
          (7, "游戏设置.ini", "files/游戏设置.ini"), (29, "empty.dat", "files/empty.dat")]
solo = [(129, "solo/129"), (130, "solo/130")]
def content(path):
    with open(release + "/" + path, "rb") as f:
        return f.read()
manifest = b"DRM1" + struct.pack("<I", 3)
for text in addresses:
    manifest += text.encode().ljust(32, b"\0")
manifest += struct.pack("<BBH", len(launch), len(solo), 0)
for slot, name, path in launch:
    data = content(path)
    manifest += struct.pack("<II", slot, len(data)) + hashlib.sha256(data).digest()
    manifest += name.encode("gbk").ljust(64, b"\0") + bytes(4)
for ident, path in solo:
    data = content(path)
    manifest += struct.pack("<II", ident, len(data)) + hashlib.sha256(data).digest()
entries = b""
for key in ("a",):
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", f"{out}/{key}.key"],
                         input=manifest, capture_output=True, check=True).stdout
    # SEQUENCE { INTEGER r, INTEGER s }, each as short as DER makes it.
    assert der[0] == 0x30 and der[1] < 0x80
    at, numbers = 2, []
    for _ in range(2):
        assert der[at] == 0x02
        length = der[at + 1]
        numbers.append(int.from_bytes(der[at + 2:at + 2 + length], "big"))
        at += 2 + length
    with open(f"{out}/{key}.point", "rb") as f:
        key_id = hashlib.sha256(f.read()).digest()[:8]
    entries += key_id + b"".join(n.to_bytes(32, "big") for n in numbers)
with open(release + "/openssl-signed-manifest.bin", "wb") as f:
    f.write(struct.pack("<I", len(manifest)) + manifest + struct.pack("<I", 1) + entries)
PYTHON
