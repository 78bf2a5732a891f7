#!/usr/bin/env bash
# A second opinion from a real registry: each reg export of a corpus
# (reg_corpus.py: generated files, the fuzz seeds of the reader, the e2e
# suite's simulated exports) imported into a throw-away 64-bit Wine prefix
# with "regedit /s", exported back with "regedit /e", and compared with what
# QarnIExplain's loader reads from the same file (reg_dump). A file passes
# when its differences are exactly those the table below lists: a new one
# fails, and so does a listed one that is gone, so that the table and
# docs/troubleshooting.md ("Where the tool reads an export differently from
# regedit") are mended with the code.
#
#   tests/regcompare/run_reg_compare.sh [native build dir]
#
# Prints "PASS <file>" or "FAIL <file>" and "N passed, M failed"; exits
# non-zero on any failure. Needs only the 64-bit Wine loader. QX_KEEP=1 keeps
# the work folder (the corpus, reg_dump's and Wine's exports).
set -uo pipefail

DIR=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$DIR/../.." && pwd)
source "$ROOT/tests/e2e/lib.sh"
e2e_use_wine64

# file, then one difference as reg_corpus.py words it ("~": the file's key).
EXPECTED=$(cat <<'EOF'
# Intended: the registry keeps string data as given; Wine's regedit makes the
# odd last byte a NUL and adds one.
odd_utf16.reg differs: value ~ "Odd": ours 2:410042, Wine 2:4100000000
# Intended: what an export never holds is refused, or read as an export has it.
conflict_utf16.reg ours refused: line 7: value "a" of HKLM\~ differs from the one an earlier file or line gives
deletions_utf16.reg ours refused: line 10: a key deletion [-...] does not belong in an export
delvalue_regedit4.reg ours refused: line 6: a value deletion (=-) does not belong in an export
toolong_regedit4.reg ours refused: line 3: a key name longer than the registry takes (256 characters; error 87)
escapes_utf16.reg differs: value ~ "Newline": ours 1:61005c006e006200, Wine 1:61000a006200
escapes_utf16.reg differs: value ~ "Tab": ours 1:61005c0074006200, Wine 1:610074006200
fixture_regedit5_utf8_932.reg Wine imported nothing
EOF
)

build=${1:-$ROOT/build/native}
passed=0
failed=0
summary() {
    echo
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
if ! (cd "$ROOT" && cmake --build "$build" --target reg_dump >/dev/null); then
    echo "FAIL reg_compare_build: reg_dump did not build in $build"
    failed=1
    summary
fi
E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/qarn-regcompare.XXXXXX") || exit 1
cleanup() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] && e2e_server_stop
    if [ -n "${QX_KEEP:-}" ]; then echo "kept: $E2E_WORK"; else rm -rf "$E2E_WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

corpus=$E2E_WORK/corpus
mkdir -p "$corpus" "$E2E_WORK/e2e" && e2e_simulated_reg_files instance "$E2E_WORK/e2e" &&
    python3 "$DIR/reg_corpus.py" make "$corpus" "$E2E_WORK"/e2e/*.reg || exit 1

started=$SECONDS
if ! e2e_prefix_boot; then
    echo "FAIL reg_compare_setup: the Wine prefix could not be set up"
    failed=1
    summary
fi
e2e_server_start
echo "== Wine prefix ready after $((SECONDS - started)) s"

winpath() { local p=${1//\//\\}; echo "Z:$p"; }
codepage() { case $1 in *_932.reg) echo 932 ;; *) echo 1252 ;; esac; }

# Each file keeps to a key of its own: one import and one export for all the
# files of a code page, in a locale of that ANSI code page (Wine takes it from
# the locale's name, installed or not; bash only warns that it cannot use it).
for cp in 1252 932; do
    files=() win=()
    for f in "$corpus"/*.reg; do
        [ "$(codepage "$f")" = "$cp" ] && files+=("$f") win+=("$(winpath "$f")")
    done
    locale=en_US.UTF-8
    [ "$cp" = 932 ] && locale=ja_JP.UTF-8
    { LC_ALL=$locale e2e_wine regedit /s "${win[@]}"; } >/dev/null 2>&1
    export=$E2E_WORK/wine$cp.reg
    e2e_wine regedit /e "$(winpath "$export")" 'HKEY_LOCAL_MACHINE\SYSTEM\QarnRegCompare' \
        >/dev/null 2>&1
    [ -f "$export" ] || export=
    for f in "${files[@]}"; do
        "$build/tests/reg_dump" "$f" "$cp" >"$f.ours" || echo "refused	reg_dump failed" >"$f.ours"
    done
    if ! python3 "$DIR/reg_corpus.py" compare "$export" "${files[@]/%/.ours}" \
             >"$E2E_WORK/differences$cp"; then
        echo "FAIL comparison of the code page $cp files"
        failed=$((failed + 1))
        continue
    fi
    for f in "${files[@]}"; do
        name=$(basename "$f")
        actual=$(awk -F'\t' -v f="$name" '$1 == f { print $2 }' "$E2E_WORK/differences$cp" |
                     LC_ALL=C sort)
        expected=$(awk -v f="$name" '$1 == f { sub(/^[^ ]+ /, ""); print }' <<<"$EXPECTED" |
                       LC_ALL=C sort)
        if [ "$actual" = "$expected" ]; then
            echo "PASS $name${expected:+ ($(wc -l <<<"$expected") listed differences)}"
            passed=$((passed + 1))
        else
            echo "FAIL $name"
            LC_ALL=C comm -23 <(echo "$actual") <(echo "$expected") | sed '/^$/d; s/^/    new: /'
            LC_ALL=C comm -13 <(echo "$actual") <(echo "$expected") | sed '/^$/d; s/^/    gone: /'
            failed=$((failed + 1))
        fi
    done
done
for name in $(awk '!/^#/ { print $1 }' <<<"$EXPECTED" | sort -u); do
    [ -f "$corpus/$name" ] || { echo "FAIL $name: listed, but not in the corpus"; failed=$((failed + 1)); }
done
echo "== $((SECONDS - started)) s with the prefix"
summary
