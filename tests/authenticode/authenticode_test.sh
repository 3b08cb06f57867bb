#!/bin/bash
# Authenticode on the shipped programs: a tree configured with a code-signing certificate
# made here (a CA of its own and a signer it certified) builds Launcher.exe and Setup.exe
# signed. osslsigncode verifies both against that CA and refuses them against another CA;
# Setup carries the signed Launcher byte for byte; one changed byte breaks the signature.
#   authenticode_test.sh SOURCE_DIR TOOLCHAIN_FILE
set -uo pipefail
source=$1 toolchain=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; exit 1; }

make_ca() {  # NAME: NAME.key, NAME.pem
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
        -subj "/CN=DoreraRarede test $1" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null || fail "openssl: CA $1"
}
make_ca ca
make_ca other-ca
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=DoreraRarede test signer" \
    2>/dev/null || fail "openssl: signer request"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
    -out signer.pem 2>/dev/null || fail "openssl: signer certificate"
cat signer.pem ca.pem >chain.pem

cmake -S "$source" -B tree -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DDR_BUILD_TESTS=OFF \
    -DDR_AUTHENTICODE_CERT="$work/chain.pem" -DDR_AUTHENTICODE_KEY="$work/signer.key" >configure.log 2>&1 ||
    { cat configure.log; fail "configure"; }
ninja -C tree Setup >build.log 2>&1 || { tail -30 build.log; fail "build"; }
launcher=tree/launcher/Launcher.exe setup=tree/setup/Setup.exe
for program in "$launcher" "$setup"; do
    osslsigncode verify -CAfile ca.pem -in "$program" >verify.log 2>&1 ||
        { cat verify.log; fail "$program does not verify"; }
    grep -q "Signer's certificate:" verify.log || fail "$program: no signer named"
    osslsigncode verify -CAfile other-ca.pem -in "$program" >/dev/null 2>&1 &&
        fail "$program verifies against a CA that never certified its signer"
done
python3 - "$launcher" "$setup" <<'PY' || fail "Setup does not carry the signed Launcher"
import sys
launcher, setup = (open(name, "rb").read() for name in sys.argv[1:])
sys.exit(0 if launcher in setup else 1)
PY
cp "$launcher" changed.exe
size=$(stat -c %s changed.exe)
printf '\xCC' | dd of=changed.exe bs=1 seek=$((size / 3)) conv=notrunc status=none
cmp -s changed.exe "$launcher" && fail "the byte was not changed"
osslsigncode verify -CAfile ca.pem -in changed.exe >/dev/null 2>&1 && fail "a changed Launcher still verifies"
echo "Launcher.exe and Setup.exe signed and verified; changed and foreign-CA cases refused"
