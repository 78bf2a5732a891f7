#!/usr/bin/env bash
# The signed build and its release, offline: a throw-away CA issues a code-signing and a
# time-stamping certificate; a time-stamping authority (tsa_reply.sh behind
# socat, both protocols) answers on 127.0.0.1; the build in BUILD_DIR (default
# build/win32-signed) is configured with the signing options and builds the
# release. Then, against that CA:
#  - each exe and the package carry a SHA-1 signature with a legacy timestamp
#    and a nested SHA-256 one with an RFC 3161 timestamp, each verified;
#  - one changed byte in any of them makes the verification fail;
#  - the signed exes still pass the import check; the release folder holds
#    what the README lists, its sums check, its exes are the package's.
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
            EXEC:"bash $ROOT/tests/signing/tsa_reply.sh $PKI" 2>>"$PKI/tsa.err" &
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

# ---- the signed build. Each list's first URL answers nothing: the next is tried.
# Files signed by an earlier run's CA go first.
rm -f "$BUILD"/QarnIEx.exe "$BUILD"/QarnIExplain.exe "$BUILD"/QarnIEx-*.msi
if cmake -S "$ROOT" -B "$BUILD" -G "$(qx_generator)" -DCMAKE_BUILD_TYPE=Release \
         -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
         -DQX_SIGN_PKCS12="$PKI/signer.p12" -DQX_SIGN_PASSWORD_FILE="$PKI/password" \
         "-DQX_SIGN_LEGACY_TIMESTAMP_URLS=http://127.0.0.1:9/;$TSA_URL" \
         "-DQX_SIGN_TIMESTAMP_URLS=http://127.0.0.1:9/;$TSA_URL" >"$PKI/configure.log" &&
   cmake --build "$BUILD" --target release >"$PKI/build.log" 2>&1; then
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
# The kind of each timestamp, by where it sits: the primary signer's unsigned
# attributes (depth 7) hold a legacy countersignature (1.2.840.113549.1.9.6)
# and the nested signature (1.3.6.1.4.1.311.2.4.1); the nested signer's
# (depth 15) an RFC 3161 token (1.3.6.1.4.1.311.3.3.1).
KINDS='countersignature@7 1.3.6.1.4.1.311.2.4.1@7 1.3.6.1.4.1.311.3.3.1@15 '
timestamp_kinds() { # file
    rm -f "$PKI/sig.der"
    osslsigncode extract-signature -in "$1" -out "$PKI/sig.der" >/dev/null 2>&1 &&
        openssl asn1parse -inform DER -in "$PKI/sig.der" | sed -nE \
            's/^ *[0-9]+:d=([0-9]+) .*OBJECT +:(countersignature|1\.3\.6\.1\.4\.1\.311\.(2\.4\.1|3\.3\.1)) *$/\2@\1/p' |
        tr '\n' ' '
}
# The digest of each signature, in their order, and the kinds of their
# timestamps; each must verify with its timestamp.
check_signed() { # file expected-digests
    local out status digests count kinds
    out=$(verify "$1")
    status=$?
    digests=$(grep -E '^Message digest algorithm {2,}:' <<<"$out" | awk '{ print $NF }' | tr '\n' ' ')
    count=$(wc -w <<<"$2")
    kinds=$(timestamp_kinds "$1")
    if [ "$status" -eq 0 ] && [ "$digests" = "$2 " ] && [ "$kinds" = "$KINDS" ] &&
       [ "$(grep -c '^Signature verification: ok' <<<"$out")" -eq "$count" ] &&
       [ "$(grep -c '^Timestamp Server Signature verification: ok' <<<"$out")" -eq "$count" ] &&
       [ "$(grep -c '^Signature verification: failed' <<<"$out")" -eq 0 ]; then
        pass "$(basename "$1"): signatures $2 (legacy, RFC 3161 timestamp), each verified"
    else
        echo "$out"
        fail "$(basename "$1"): expected the signatures '$2', timestamps '$KINDS', each verified; got '$digests', '$kinds' (exit code $status)"
    fi
}
check_signed "$BUILD/QarnIEx.exe" "SHA1 SHA256"
check_signed "$BUILD/QarnIExplain.exe" "SHA1 SHA256"
check_signed "$MSI" "SHA1 SHA256"

# The package carries the signed exes, so the installed files are signed.
(cd "$PKI" && mkdir -p extracted && cd extracted && msiextract "$MSI" >/dev/null)
packaged() { find "$PKI/extracted" -name "$1" | head -n 1; }
for exe in QarnIEx.exe QarnIExplain.exe; do
    if cmp -s "$(packaged "$exe")" "$BUILD/$exe"; then
        pass "the package carries the signed $exe"
    else
        fail "the $exe in the package is not the signed one"
    fi
done

# One changed byte, far from the signature: in an exe's code, in the
# package's cabinet (past its "MSCF").
for file in "$BUILD/QarnIEx.exe" "$BUILD/QarnIExplain.exe" "$MSI"; do
    at=1100
    [ "$file" = "$MSI" ] && at=$(($(grep -obUa MSCF "$MSI" | head -n 1 | cut -d: -f1) + 100))
    tampered="$PKI/tampered-$(basename "$file")"
    cp "$file" "$tampered"
    byte=$(od -An -tu1 -j "$at" -N 1 "$tampered" | tr -d ' ')
    printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$tampered" bs=1 seek="$at" conv=notrunc 2>/dev/null
    if cmp -s "$tampered" "$file"; then
        fail "the byte of $(basename "$file") could not be changed"
    elif verify "$tampered" >"$PKI/tampered.log"; then
        cat "$PKI/tampered.log"
        fail "$(basename "$file") with one changed byte still verifies"
    else
        pass "$(basename "$file") with one changed byte fails verification"
    fi
done

# The release: exactly what the README lists, symbols beside it, sums of all
# the rest, and the exes of the package.
release=$BUILD/release/$(basename "$MSI" .msi)
listed=$(awk '/^## / { on = $0 == "## What a release holds" } on' "$ROOT/README.md" |
    sed -nE 's/^- `([^`]+)`.*/\1/p' | LC_ALL=C sort)
held=$(ls -A "$release" | LC_ALL=C sort)
if [ -n "$listed" ] && [ "$held" = "$listed" ] && [ -f "$BUILD/release/QarnIEx.debug" ]; then
    pass "the release folder holds what the README lists, QarnIEx.debug beside it"
else
    fail "the release folder holds [$(echo $held)], the README lists [$(echo $listed)]; QarnIEx.debug beside it: $(ls "$BUILD/release")"
fi
if (cd "$release" && sha256sum --strict -c SHA256SUMS) &&
   [ "$(awk '{ print $2 }' "$release/SHA256SUMS" | LC_ALL=C sort)" = "$(grep -vx SHA256SUMS <<<"$held")" ] &&
   cmp "$release/QarnIEx.exe" "$(packaged QarnIEx.exe)" &&
   cmp "$release/QarnIExplain.exe" "$(packaged QarnIExplain.exe)"; then
    pass "the release's SHA256SUMS check and name every other file; its exes are the package's"
else
    fail "the release's sums or exes"
fi

if bash "$ROOT/tests/imports/check_imports.sh" "$BUILD/QarnIEx.exe" >"$PKI/imports.log" 2>&1 &&
   bash "$ROOT/tests/imports/check_imports.sh" --tool "$BUILD/QarnIExplain.exe" >>"$PKI/imports.log" 2>&1; then
    pass "the signed exes pass the import check"
else
    grep FAIL "$PKI/imports.log"
    fail "import check of the signed exes"
fi
finish
