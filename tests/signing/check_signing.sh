#!/usr/bin/env bash
# The signed build, offline: a throw-away CA issues a code-signing and a
# time-stamping certificate; a time-stamping authority (`openssl ts` behind
# socat) answers on 127.0.0.1; the build in BUILD_DIR (default
# build/win32-signed) is configured with the signing options and builds the
# two exes and the package. Then, against that CA:
#  - each exe carries a SHA-1 signature and a nested SHA-256 one, the package
#    a signature, each with a verified timestamp (osslsigncode verify);
#  - one changed byte in a signed exe makes the verification fail;
#  - the signed exes still pass the import check.
# The signed files stay in BUILD_DIR; the keys are thrown away.
#   check_signing.sh [BUILD_DIR]
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/scripts/common.sh"
BUILD=${1:-$ROOT/build/win32-signed}
mkdir -p "$BUILD" && BUILD=$(cd "$BUILD" && pwd)

passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
finish() {
    echo "signing: ${passed} passed, ${failed} failed"
    [ "$failed" -eq 0 ]
    exit
}

PKI=$(mktemp -d)
tsa_pid=
cleanup() {
    [ -n "$tsa_pid" ] && kill "$tsa_pid" 2>/dev/null
    rm -rf "$PKI"
}
trap cleanup EXIT

# ---- the throw-away CA and its two certificates
make_pki() (
    cd "$PKI" || exit 1
    printf 'throwaway-%s\n' "$RANDOM$RANDOM" >password
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
        -subj "/CN=QarnIEx throw-away test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign &&
    issue() { # name subject extended-key-usage
        openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" &&
        printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$3" >"$1.ext" &&
        openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
            -out "$1.pem" -extfile "$1.ext"
    }
    issue signer "/CN=Qarn test signer/O=Qarn" codeSigning &&
    issue tsa "/CN=Qarn test TSA" critical,timeStamping &&
    openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile ca.pem \
        -out signer.p12 -passout file:password &&
    cat >ts.cnf <<CNF
[ tsa ]
default_tsa = local
[ local ]
dir = $PKI
serial = \$dir/tsaserial
signer_cert = \$dir/tsa.pem
certs = \$dir/ca.pem
signer_key = \$dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_chain = no
CNF
    echo 01 >tsaserial
) >"$PKI/pki.log" 2>&1

# ---- the time-stamping authority on a free loopback port
start_tsa() {
    local port try
    for try in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork" \
            EXEC:"bash $ROOT/tests/signing/tsa_reply.sh $PKI/ts.cnf" 2>>"$PKI/tsa.err" &
        tsa_pid=$!
        sleep 0.5
        if kill -0 "$tsa_pid" 2>/dev/null; then
            TSA_URL="http://127.0.0.1:$port/"
            return 0
        fi
        tsa_pid=
    done
    return 1
}

if ! make_pki; then
    cat "$PKI/pki.log"
    fail "the throw-away CA could not be made"
    finish
fi
if ! start_tsa; then
    cat "$PKI/tsa.err"
    fail "the local time-stamping authority did not start"
    finish
fi
echo "local time-stamping authority at $TSA_URL"

# ---- the signed build. The first URL answers nothing: the next one is tried.
# Files signed by an earlier run's CA go first.
rm -f "$BUILD"/QarnIEx.exe "$BUILD"/QarnIExplain.exe "$BUILD"/QarnIEx-*.msi
if cmake -S "$ROOT" -B "$BUILD" -G "$(qx_generator)" -DCMAKE_BUILD_TYPE=Release \
         -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
         -DQX_SIGN_PKCS12="$PKI/signer.p12" -DQX_SIGN_PASSWORD_FILE="$PKI/password" \
         "-DQX_SIGN_TIMESTAMP_URLS=http://127.0.0.1:9/;$TSA_URL" >"$PKI/configure.log" &&
   cmake --build "$BUILD" --target QarnIEx QarnIExplain msi >"$PKI/build.log" 2>&1; then
    pass "signed build"
else
    cat "$PKI/configure.log" "$PKI/build.log" "$PKI/tsa.err" 2>/dev/null | tail -40
    fail "signed build"
    finish
fi
MSI=$(ls "$BUILD"/QarnIEx-*.msi 2>/dev/null | head -n 1)

verify() { # file
    osslsigncode verify -CAfile "$PKI/ca.pem" -TSA-CAfile "$PKI/ca.pem" -in "$1" 2>&1
}
# The digest of each signature, in their order; each must verify with its
# timestamp.
check_signed() { # file expected-digests
    local out status digests count
    out=$(verify "$1")
    status=$?
    digests=$(grep -E '^Message digest algorithm {2,}:' <<<"$out" | awk '{ print $NF }' | tr '\n' ' ')
    count=$(wc -w <<<"$2")
    if [ "$status" -eq 0 ] && [ "$digests" = "$2 " ] &&
       [ "$(grep -c '^Signature verification: ok' <<<"$out")" -eq "$count" ] &&
       [ "$(grep -c '^Timestamp Server Signature verification: ok' <<<"$out")" -eq "$count" ] &&
       [ "$(grep -c '^Signature verification: failed' <<<"$out")" -eq 0 ]; then
        pass "$(basename "$1"): signatures $2, each verified with its timestamp"
    else
        echo "$out"
        fail "$(basename "$1"): expected the signatures '$2', each verified with its timestamp; got '$digests' (exit code $status)"
    fi
}
check_signed "$BUILD/QarnIEx.exe" "SHA1 SHA256"
check_signed "$BUILD/QarnIExplain.exe" "SHA1 SHA256"
check_signed "$MSI" "SHA1 SHA256"

# The package carries the signed exe, so the installed file is signed.
if (cd "$PKI" && mkdir -p extracted && cd extracted && msiextract "$MSI" >/dev/null) &&
   cmp -s "$(find "$PKI/extracted" -name QarnIEx.exe | head -n 1)" "$BUILD/QarnIEx.exe"; then
    pass "the package carries the signed QarnIEx.exe"
else
    fail "the QarnIEx.exe in the package is not the signed one"
fi

# One changed byte in the code, far from the signature.
tampered="$PKI/tampered.exe"
cp "$BUILD/QarnIEx.exe" "$tampered"
byte=$(od -An -tu1 -j 1100 -N 1 "$tampered" | tr -d ' ')
printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$tampered" bs=1 seek=1100 conv=notrunc 2>/dev/null
if cmp -s "$tampered" "$BUILD/QarnIEx.exe"; then
    fail "the byte could not be changed"
elif verify "$tampered" >"$PKI/tampered.log"; then
    cat "$PKI/tampered.log"
    fail "an exe with one changed byte still verifies"
else
    pass "an exe with one changed byte fails verification"
fi

if bash "$ROOT/tests/imports/check_imports.sh" "$BUILD/QarnIEx.exe" >"$PKI/imports.log" 2>&1 &&
   bash "$ROOT/tests/imports/check_imports.sh" --tool "$BUILD/QarnIExplain.exe" >>"$PKI/imports.log" 2>&1; then
    pass "the signed exes pass the import check"
else
    grep FAIL "$PKI/imports.log"
    fail "import check of the signed exes"
fi
finish
