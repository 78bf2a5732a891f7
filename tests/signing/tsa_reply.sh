#!/usr/bin/env bash
# One HTTP exchange of the local time-stamping authority, on socat's stdin
# and stdout; both protocols, told apart by the content type:
#  - application/timestamp-query: an RFC 3161 query, answered by `openssl ts`;
#  - application/octet-stream: a legacy Authenticode request, base64 of
#    SEQUENCE { 1.3.6.1.4.1.311.3.2.1, SEQUENCE { data, [0] OCTET STRING } }
#    holding the signature's encrypted digest, answered with base64 of a
#    PKCS#7 SignedData over those bytes, signed with SHA-1 by the TSA.
#   tsa_reply.sh <pki-dir>   (ts.cnf, tsa.pem, tsa.key, ca.pem)
set -uo pipefail
length=0
type=
shopt -s nocasematch
while IFS= read -r line; do
    line=${line%$'\r'}
    [ -z "$line" ] && break
    [[ $line =~ ^content-length:\ *([0-9]+) ]] && length=${BASH_REMATCH[1]}
    [[ $line =~ ^content-type:\ *([^ ;]+) ]] && type=${BASH_REMATCH[1],,}
done
shopt -u nocasematch
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c "$length" >"$dir/query"

legacy_reply() {
    local request hex
    base64 -d "$dir/query" >"$dir/query.der" &&
        request=$(openssl asn1parse -inform DER -in "$dir/query.der") || return 1
    grep -qE '^ *4:d=1 .*OBJECT +:1\.3\.6\.1\.4\.1\.311\.3\.2\.1 *$' <<<"$request" &&
        hex=$(sed -n 's/^ *[0-9]*:d=3 .*prim: OCTET STRING *\[HEX DUMP\]://p' <<<"$request") &&
        [ -n "$hex" ] || { echo "not a legacy Authenticode request:"$'\n'"$request" >&2; return 1; }
    printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" >"$dir/digest"
    openssl cms -sign -binary -nodetach -nosmimecap -md sha1 -signer "$1/tsa.pem" \
        -inkey "$1/tsa.key" -certfile "$1/ca.pem" -in "$dir/digest" -outform DER | base64 >"$dir/reply"
}

status='200 OK'
if [ "$type" = application/octet-stream ]; then
    legacy_reply "$@" 2>"$dir/err" || status='400 Bad Request'
elif [ "$type" = application/timestamp-query ]; then
    type=application/timestamp-reply
    openssl ts -reply -config "$1/ts.cnf" -queryfile "$dir/query" -out "$dir/reply" 2>"$dir/err" ||
        status='400 Bad Request'
else
    echo "unknown content type '$type'" >"$dir/err"
    status='415 Unsupported Media Type'
fi
[ "$status" = '200 OK' ] || { cat "$dir/err" >&2; : >"$dir/reply"; }
printf 'HTTP/1.0 %s\r\nContent-Type: %s\r\nContent-Length: %s\r\n\r\n' \
    "$status" "$type" "$(stat -c %s "$dir/reply")"
cat "$dir/reply"
