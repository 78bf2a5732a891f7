#!/usr/bin/env bash
# One HTTP exchange of the local time-stamping authority, on socat's stdin
# and stdout: reads a POSTed RFC 3161 query and answers it with `openssl ts`.
#   tsa_reply.sh <ts.cnf>
set -uo pipefail
length=0
while IFS= read -r line; do
    line=${line%$'\r'}
    [ -z "$line" ] && break
    shopt -s nocasematch
    [[ $line =~ ^content-length:\ *([0-9]+) ]] && length=${BASH_REMATCH[1]}
    shopt -u nocasematch
done
dir=$(mktemp -d)
head -c "$length" >"$dir/query.tsq"
if openssl ts -reply -config "$1" -queryfile "$dir/query.tsq" -out "$dir/reply.tsr" 2>"$dir/err"; then
    printf 'HTTP/1.0 200 OK\r\nContent-Type: application/timestamp-reply\r\nContent-Length: %s\r\n\r\n' \
        "$(stat -c %s "$dir/reply.tsr")"
    cat "$dir/reply.tsr"
else
    printf 'HTTP/1.0 500 Error\r\nContent-Length: 0\r\n\r\n'
    cat "$dir/err" >&2
fi
rm -rf "$dir"
