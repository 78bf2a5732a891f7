#!/usr/bin/env bash
# The test programs of tests/win32 under Wine, against the real Win32
# platform, in one throw-away 64-bit prefix set up as the end-to-end suite
# sets up its own (tests/e2e/lib.sh: removable R, S and T, the two registry
# views of DriveIcons kept apart):
#   contract-1252        platform_contract.exe, Windows XP x64, code page 1252
#   contract-932         its code page 932 cases, under a Japanese locale
#   device-events-xp     device_events.exe, Windows XP (parent-id records, 32-bit view)
#   device-events-vista  device_events.exe, Windows Vista (instance paths, 64-bit view)
#
#   tests/win32/run_win32_tests.sh [--win64] [build dir]
#
# The build dir (default build/win32-tests) is cross-built first when it has
# no test programs. These are 32-bit programs: where none can run (see
# qx_probe_32bit in scripts/common.sh) the run is skipped. --win64 runs the
# same programs built as 64-bit ones (default dir build/win64-tests) under the
# 64-bit Wine loader alone, which works on every 64-bit machine; their run
# names end in "-x64". Prints "PASS <run>" or "FAIL <run>" and "N passed, M
# failed"; exits non-zero on any failure. A run passes when every test of it
# ran and passed: a skipped test means the runner's set-up did not take.
set -uo pipefail

DIR=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$DIR/../.." && pwd)
source "$ROOT/tests/e2e/lib.sh"

arch=i686 suffix= build=$ROOT/build/win32-tests
if [ "${1:-}" = --win64 ]; then
    arch=x86_64 suffix=-x64 build=$ROOT/build/win64-tests
    shift
    e2e_use_wine64
else
    e2e_require_32bit win32_tests
fi
build=${1:-$build}
if [ ! -f "$build/platform_contract.exe" ] || [ ! -f "$build/device_events.exe" ]; then
    echo "== cross build of the test programs ($build)"
    (cd "$ROOT" && qx_build_win32_tests "$arch" >/dev/null) || {
        echo "FAIL win32_build"
        echo "0 passed, 1 failed"
        exit 1
    }
fi

passed=0
failed=0
E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/qarn-win32.XXXXXX") || exit 1
cleanup() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX:-}" ] && e2e_server_stop
    rm -rf "$E2E_WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

summary() {
    echo
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

started=$SECONDS
if ! e2e_prefix_create "" ""; then
    echo "FAIL win32_setup: the Wine prefix could not be set up"
    failed=1
    summary
    exit 1
fi
cp "$build/platform_contract.exe" "$build/device_events.exe" "$WINEPREFIX/drive_c/QarnTest/" &&
    mkdir -p "$E2E_WORK/media/scenario" || exit 1
e2e_server_start
echo "== Wine prefix ready after $((SECONDS - started)) s"

# One test program run: its own GoogleTest output goes to a log shown on failure.
run() { # name program [args...]
    local name=$1$suffix log="$E2E_WORK/$1.log" t0=$SECONDS status
    shift
    e2e_wine "$@" >"$log" 2>&1
    status=$?
    if [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  SKIPPED \]' "$log"; then
        echo "PASS $name ($((SECONDS - t0)) s, $(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] //p'))"
        passed=$((passed + 1))
    else
        echo "FAIL $name (exit code $status)"
        tr -d '\r' <"$log" | grep -v '^\[ *\(RUN\|OK\) ' | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

# Left out of the 64-bit run, as only a 32-bit process runs under WOW64:
wow64_only=(
    RegistryContract.Wow64ProcessSeesTheRedirectedSoftwareViewUnlessItAsksFor64Bit  # a 64-bit process has no redirected view
    SystemContract.IsWow64ProcessTellsAProcessUnderWow64  # IsWow64Process is FALSE for a 64-bit process
)
not_here=
[ "$arch" = x86_64 ] && not_here=$(IFS=:; echo ":${wow64_only[*]}")

e2e_set_version winxp64
run contract-1252 'C:\QarnTest\platform_contract.exe' "--gtest_filter=-*932*$not_here"
# Wine takes the code page from the locale's name even where the locale is
# not installed; bash only warns that it cannot use it itself.
{ LC_ALL=ja_JP.UTF-8 run contract-932 'C:\QarnTest\platform_contract.exe' '--gtest_filter=*932*'; } 2>/dev/null
e2e_set_version winxp
QX_MEDIA_DIR="$E2E_WORK/media/scenario" run device-events-xp 'C:\QarnTest\device_events.exe' '--gtest_filter=*Xp*'
e2e_set_version vista
QX_MEDIA_DIR="$E2E_WORK/media/scenario" run device-events-vista 'C:\QarnTest\device_events.exe' '--gtest_filter=*Vista*'

summary
