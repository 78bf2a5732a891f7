#!/usr/bin/env bash
# End-to-end suite: the real 32-bit QarnIEx.exe run as a service of Wine's
# service control manager, checked through sc, reg and the service's traces.
#
#   tests/e2e/run_e2e.sh [--win64] [path/to/QarnIEx.exe]
#
# QarnIExplain.exe, built beside it, is run on the same simulated readers.
# Without an argument it cross-builds build/win32/QarnIEx.exe first. --win64
# runs the same cases on a 64-bit test build (build/win64-tests) under 64-bit
# Wine, save those that need the 32-bit exe (LEFT_OUT says why). Prints
# "PASS <case>" or "FAIL <case>" per case and "N passed, M failed" at the end;
# exits non-zero on any failure. Where no 32-bit program runs it says why and
# skips (see e2e_require_32bit in lib.sh). E2E_KEEP=1 keeps the work folder (prefix,
# traces, outputs) for a look afterwards; E2E_CASES="name ..." runs only
# the cases named.
#
# Wine does not deliver device events to services, so volume arrival and
# removal are left to the unit tests and to tests/win32 (device_events.exe
# calls the service's handler itself); every start here runs the full scan.
set -uo pipefail

E2E_DIR=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$E2E_DIR/../.." && pwd)
source "$E2E_DIR/lib.sh"

passed=0
failed=0
CASE_ERRORS=()

err() { CASE_ERRORS+=("$*"); }

check_eq() { # what expected actual
    [ "$2" == "$3" ] || err "$1: expected [$2], got [$3]"
}

check_lines() { # what expected actual (multi-line texts)
    [ "$2" == "$3" ] ||
        err "$1 differs (- expected, + actual):"$'\n'"$(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | grep '^[<>]' | sed 's/^</-/; s/^>/+/')"
}

summary() {
    [ "$failed" -eq 0 ] || [ "${E2E_KEEP:-0}" = 1 ] ||
        echo "(E2E_KEEP=1 keeps the prefix, traces and outputs of a run for a look)"
    echo
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

fatal() { # setup failed: nothing can run
    echo "FAIL e2e_setup"
    printf '    %s\n' "$@"
    failed=$((failed + 1))
    summary
    exit 1
}

cleanup() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX:-}" ] && e2e_server_stop
    if [ "${E2E_KEEP:-0}" = 1 ]; then
        echo "work folder kept: $E2E_WORK"
    else
        rm -rf "$E2E_WORK"
    fi
}

# ---------------------------------------------------------------- setup

arch=i686
declare -A LEFT_OUT=()
MSI_CASES="msi_install msi_upgrade msi_uninstall_killed msi_uninstall_frozen msi_failing_upgrade msi_takeover msi_failing_takeover msi_admin"
if [ "${1:-}" = --win64 ]; then
    arch=x86_64
    shift
    [ -n "${1:-}" ] || fatal "--win64 needs the exe of the 64-bit test build (build/win64-tests/QarnIEx.exe)"
    e2e_use_wine64
    LEFT_OUT=(
        [platform_vista_32bit_prefix]="a 32-bit Wine prefix runs no 64-bit program"
        [explain_vista_32bit_prefix]="a 32-bit Wine prefix runs no 64-bit program"
        [runbook]="the runbook runs the 32-bit tool of the package on 64-bit Windows"
    )
    for name in $MSI_CASES; do LEFT_OUT[$name]="the package carries the 32-bit exe, and its custom actions run that exe"; done
else
    e2e_require_32bit e2e
fi
for tool in "$E2E_WINE" wineserver wineboot $arch-w64-mingw32-gcc timeout; do
    command -v "$tool" >/dev/null || fatal "$tool is not installed (needs wine, wine32, wine64, mingw-w64)"
done

exe=$(e2e_resolve_exe "${1:-}") || fatal "no executable to test"
# The explain tool is built beside the service.
E2E_EXPLAIN=$(dirname "$exe")/QarnIExplain.exe
# The first line of "-v", with the version of the build the exe comes from.
VERSION_LINE="QarnIEx Version $(qx_version_shown "$(dirname "$exe")")"
[ "$VERSION_LINE" != "QarnIEx Version " ] || fatal "no CMakeCache.txt beside $exe to read the version from"

E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/qarn-e2e.XXXXXX") || fatal "no temp folder"
trap cleanup EXIT
trap 'exit 130' INT TERM

$arch-w64-mingw32-gcc -std=c99 -O2 -Wall -Wextra -Werror -static-libgcc \
    -o "$E2E_WORK/sendcontrol.exe" "$E2E_DIR/sendcontrol.c" -ladvapi32 ||
    fatal "sendcontrol.exe did not build"

# The rows below give what the 32-bit service writes: under WOW64, in the
# 64-bit prefix. A native 64-bit process (machine 0x8664 in the exe's PE
# header) is no WOW64 process: it writes its own, 64-bit view on every row,
# and XP x64 gets its icon too. That rule is applied here and nowhere else.
E2E_WOW64=yes
lfanew=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
[ "$(od -An -tx2 -j$((lfanew + 4)) -N2 "$exe" | tr -d ' ')" = 8664 ] && E2E_WOW64=no
row_view() { [ $E2E_WOW64 = yes ] || [ "$1" = only ] && echo "$1" || echo 64; }  # 32|64|only
row_icon() { [ $E2E_WOW64 = yes ] && echo "$1" || echo yes; }  # yes|no

echo "== Wine prefix in $E2E_WORK (once for all cases)"
started=$SECONDS
e2e_prefix_create "$exe" "$E2E_WORK/sendcontrol.exe" || fatal "the Wine prefix could not be set up"
echo "   ready after $((SECONDS - started)) s"

# ---------------------------------------------------------------- case frame

# Whether a case runs: named in E2E_CASES (when that is set) and not left out.
wanted() { # name
    [ -z "${E2E_CASES:-}" ] || [[ " $E2E_CASES " == *" $1 "* ]] || return 1
    [ -z "${LEFT_OUT[$1]:-}" ] && return 0
    echo "LEFT OUT $1: ${LEFT_OUT[$1]}"
    return 1
}

# Runs one case in its own Wine session on the shared prefix: boot with
# traces going to $CASE_DIR/trace.log, reset, then the case's own steps.
run_case() { # name function args...
    local name=$1
    shift
    wanted "$name" || return
    CASE_ERRORS=()
    CASE_DIR=$E2E_WORK/cases/$name
    mkdir -p "$CASE_DIR"
    local t0=$SECONDS booted=0
    if ! e2e_session_start "$CASE_DIR/trace.log" 2>"$CASE_DIR/setup.err"; then
        err "the Wine session did not boot: $(cat "$CASE_DIR/setup.err")"
    elif ! e2e_reset_state; then
        booted=1
        err "the state could not be reset"
    else
        booted=1
        "$@"
    fi
    # Leave nothing installed that would auto-start with the next boot.
    if [ $booted = 1 ] && [ "$(e2e_svc_state)" != none ]; then
        e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
        e2e_wait_state 1 10
        e2e_wine sc delete "$E2E_SERVICE" >/dev/null 2>&1
    fi
    e2e_server_stop
    if [ ${#CASE_ERRORS[@]} -eq 0 ]; then
        echo "PASS $name ($((SECONDS - t0)) s)"
        passed=$((passed + 1))
    else
        echo "FAIL $name ($((SECONDS - t0)) s)"
        printf '%s\n' "${CASE_ERRORS[@]}" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

# Runs QarnIEx.exe from a console with the given arguments; sets OUT (LF
# line ends), STATUS, and RECORDS (its trace records, see e2e_trace_records).
run_console() { # label args...
    local label=$1
    shift
    WINEDEBUG=$E2E_TRACE_CHANNELS timeout "$E2E_WINE_TIMEOUT" \
        "$E2E_WINE" "$E2E_EXE_WIN" "$@" </dev/null >"$CASE_DIR/$label.out" 2>"$CASE_DIR/$label.err"
    STATUS=$?
    OUT=$(tr -d '\r' <"$CASE_DIR/$label.out")
    RECORDS=$(e2e_trace_records "$CASE_DIR/$label.err")
}

# Records as "T text", "E type id inserts", "R args" and "D" lines.
records_plain() {
    awk -F'|' '{ line = $4 " " $5; sub(/ $/, "", line); print line }'
}

# Records of one process, optionally of one thread, with the status handle
# value (taken from the first SetStatus line of the process) shown as H.
records_of() { # records pid [tid]
    local h
    h=$(awk -F'|' -v pid="$2" '$2 == pid && $4 == "T" && match($5, /^CNTService::SetStatus\([0-9]+, /) {
            print substr($5, 23, RLENGTH - 24); exit }' <<<"$1")
    awk -F'|' -v pid="$2" -v tid="${3:-}" '$2 == pid && (tid == "" || $3 == tid)' <<<"$1" |
        records_plain |
        if [ -n "$h" ]; then
            sed "s/^T CNTService::SetStatus($h, /T CNTService::SetStatus(H, /; s/^T Updating status ($h, /T Updating status (H, /"
        else
            cat
        fi
}

# Field of the first record of a process with the given text.
record_field() { # records pid text field(1=time,3=tid)
    awk -F'|' -v pid="$2" -v text="$3" -v f="$4" '$2 == pid && $4 == "T" && $5 == text { print $f; exit }' <<<"$1"
}

# Pids (decimal) of the service processes in a trace, in start order.
service_pids() { # records
    awk -F'|' '$4 == "T" && $5 == "Entering CNTService::ServiceMain()" { print $2 }' <<<"$1"
}

sc_field() { # sc-query-text field
    awk -v f="$2" '$1 == f { sub(/^[^:]*: /, ""); print; exit }' <<<"$1"
}

# Installs with "-i" and checks its line.
install_service() {
    run_console install -i
    check_eq "-i output" "QarnIEx installed" "$OUT"
    check_eq "-i exit code" 0 "$STATUS"
}

# Starts through sc and waits for RUNNING; checks the reported status.
start_service() {
    local out
    out=$(e2e_wine_text sc start "$E2E_SERVICE") || err "sc start failed: $out"
    if ! e2e_wait_state 4 30; then
        err "the service did not reach RUNNING (state $(e2e_svc_state))"
        return 1
    fi
    out=$(e2e_wine_text sc query "$E2E_SERVICE")
    check_eq "sc query TYPE while running" "10  WIN32_OWN_PROCESS" "$(sc_field "$out" TYPE)"
    check_eq "sc query WIN32_EXIT_CODE while running" "0  (0x0)" "$(sc_field "$out" WIN32_EXIT_CODE)"
    check_eq "sc query SERVICE_EXIT_CODE while running" "0  (0x0)" "$(sc_field "$out" SERVICE_EXIT_CODE)"
}

# Stops through sc and waits for STOPPED and the end of the process.
stop_service() {
    local out
    out=$(e2e_wine_text sc stop "$E2E_SERVICE") || err "sc stop failed: $out"
    if ! e2e_wait_state 1 15; then
        err "the service did not reach STOPPED (state $(e2e_svc_state))"
        return 1
    fi
    e2e_wait_no_process 15 || err "the service process did not end after the stop"
    out=$(e2e_wine_text sc query "$E2E_SERVICE")
    check_eq "sc query STATE after the stop" "1  STOPPED" "$(sc_field "$out" STATE)"
    check_eq "sc query WIN32_EXIT_CODE after the stop" "0  (0x0)" "$(sc_field "$out" WIN32_EXIT_CODE)"
    check_eq "sc query SERVICE_EXIT_CODE after the stop" "0  (0x0)" "$(sc_field "$out" SERVICE_EXIT_CODE)"
}

# Expected DriveIcons content of one letter, as e2e_reg_dump prints it.
exp_letter() { # letter label icon-ref|- [install folder]
    printf 'key %s\n' "$1" "$1\\DefaultLabel"
    printf 'val %s\n' "$1|QarnHMD|REG_SZ|$2" "$1\\DefaultLabel|(Default)|REG_SZ|$2"
    if [ "$3" != - ]; then
        printf 'key %s\n' "$1\\DefaultIcon"
        printf 'val %s\n' "$1\\DefaultIcon|(Default)|REG_SZ|${4:-$E2E_INSTALL_DIR}\\$3"
    fi
}

# Keys of other owners that the service must leave alone: U has no marker,
# V has the marker but a label of no model (it differs from "KA Media" only
# in case).
seed_foreign_keys() { # view
    e2e_reg add "$E2E_DRIVEICONS\\U\\DefaultLabel" /ve /t REG_SZ /d 'KA Media' /f "/reg:$1"
    e2e_reg add "$E2E_DRIVEICONS\\U\\DefaultIcon" /ve /t REG_SZ /d 'C:\Other\drive.ico' /f "/reg:$1"
    e2e_reg add "$E2E_DRIVEICONS\\V" /v QarnHMD /t REG_SZ /d 'ka media' /f "/reg:$1"
    e2e_reg add "$E2E_DRIVEICONS\\V\\DefaultLabel" /ve /t REG_SZ /d 'ka media' /f "/reg:$1"
}

exp_foreign() {
    printf '%s\n' 'key U' 'key U\DefaultIcon' 'key U\DefaultLabel' 'key V' 'key V\DefaultLabel' \
        'val U\DefaultIcon|(Default)|REG_SZ|C:\Other\drive.ico' \
        'val U\DefaultLabel|(Default)|REG_SZ|KA Media' \
        'val V\DefaultLabel|(Default)|REG_SZ|ka media' 'val V|QarnHMD|REG_SZ|ka media'
}

sorted() { LC_ALL=C sort; }

# DriveIcons of both views against what is expected in the one view; the
# other view must stay empty.
# View "only": a 32-bit prefix, which has one view.
check_driveicons() { # what view(32|64|only) expected-lines
    local view=$2 other=32
    [ "$view" = 32 ] && other=64
    [ "$view" = only ] && view=32 && other=
    check_lines "$1: DriveIcons in the ${view}-bit view" "$(sorted <<<"$3" | sed '/^$/d')" "$(e2e_reg_dump "$E2E_DRIVEICONS" "$view")"
    [ -z "$other" ] ||
        check_lines "$1: DriveIcons in the ${other}-bit view" "" "$(e2e_reg_dump "$E2E_DRIVEICONS" "$other")"
}

# The trace of one service process that was started and stopped normally,
# with the records of user controls before the stop. Windows calls the
# control handler on the dispatcher's (main) thread; Wine calls it on a
# thread of its own, so the handler's records are checked as one sequence of
# whichever thread wrote "CNTService::Handler(1)".
check_run_trace() { # records pid [handler lines before the stop]
    local records=$1 pid=$2 extra=${3:-} main svc ctl t_stop t_end
    main=$(record_field "$records" "$pid" "Calling StartServiceCtrlDispatcher()" 3)
    svc=$(record_field "$records" "$pid" "Entering CNTService::ServiceMain()" 3)
    ctl=$(record_field "$records" "$pid" "CNTService::Handler(1)" 3)
    if [ -z "$main" ] || [ -z "$svc" ] || [ -z "$ctl" ] || [ "$main" = "$svc" ] || [ "$ctl" = "$svc" ]; then
        err "trace: no dispatcher thread, separate service thread and handler call in process $pid:"$'\n'"$(records_of "$records" "$pid")"
        return
    fi
    local want_svc want_ctl want_main
    want_svc='T Entering CNTService::ServiceMain()
T Entering CNTService::Initialize()
T CNTService::SetStatus(H, 2)
R (null),"QarnIEx"
E 4 105 0
T CNTService::SetStatus(H, 4)
T Leaving CNTService::Initialize()
T CNTService::SetStatus(H, 1)
T Leaving CNTService::ServiceMain()'
    want_ctl="${extra:+$extra$'\n'}T CNTService::Handler(1)
T CNTService::SetStatus(H, 3)
T CIConEx::OnStop()
E 4 108 0
T Updating status (H, 3)"
    want_main='T Calling StartServiceCtrlDispatcher()
T Returned from StartServiceCtrlDispatcher()
T CNTService::~CNTService()
D'
    # Once STOPPED is reported the dispatcher returns and main may end the
    # process before the service thread writes its last line.
    local got_svc
    got_svc=$(records_of "$records" "$pid" "$svc")
    [ "$(tail -n 1 <<<"$got_svc")" = "T CNTService::SetStatus(H, 1)" ] &&
        got_svc+=$'\n''T Leaving CNTService::ServiceMain()'
    check_lines "trace of the service thread" "$want_svc" "$got_svc"
    if [ "$ctl" = "$main" ]; then
        check_lines "trace of the dispatcher thread" \
            "$(sed -n 1p <<<"$want_main")"$'\n'"$want_ctl"$'\n'"$(sed 1d <<<"$want_main")" \
            "$(records_of "$records" "$pid" "$main")"
    else
        check_lines "trace of the handler thread" "$want_ctl" "$(records_of "$records" "$pid" "$ctl")"
        check_lines "trace of the dispatcher thread" "$want_main" "$(records_of "$records" "$pid" "$main")"
    fi
    local others
    others=$(awk -F'|' -v p="$pid" -v a="$main" -v b="$svc" -v c="$ctl" '$2 == p && $3 != a && $3 != b && $3 != c' <<<"$records")
    check_lines "trace records of other threads" "" "$others"
    # Run sleeps in one-second steps: STOPPED follows the stop event within a second.
    t_stop=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "E" && $5 == "4 108 0" { print $1; exit }' <<<"$records")
    t_end=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 ~ /^CNTService::SetStatus\([0-9]+, 1\)$/ { print $1; exit }' <<<"$records")
    if [ -z "$t_stop" ] || [ -z "$t_end" ]; then
        err "trace: no stop event or no STOPPED report"
    else
        awk -v a="$t_stop" -v b="$t_end" 'BEGIN { exit !(b - a <= 1.2) }' ||
            err "Run ended $(awk -v a="$t_stop" -v b="$t_end" 'BEGIN { printf "%.3f", b - a }') s after the stop request (at most 1 s allowed, plus 0.2 s of scheduling)"
    fi
}

# Waits until the trace holds n service processes that have finished
# Initialize, or ended.
wait_trace() { # text count seconds
    local deadline=$((SECONDS + $3)) n
    while :; do
        n=$(e2e_trace_records "$CASE_DIR/trace.log" | awk -F'|' -v t="$1" '$4 == "T" && $5 == t' | wc -l)
        [ "$n" -ge "$2" ] && return 0
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.3
    done
}

# ---------------------------------------------------------------- cases

case_console_switches() {
    local out pid
    run_console v1 -v
    check_eq "-v output before install" "$VERSION_LINE"$'\nThe service is not installed' "$OUT"
    check_eq "-v exit code" 0 "$STATUS"
    run_console v2 -V extra arguments
    check_eq "-V with further arguments" "$VERSION_LINE"$'\nThe service is not installed' "$OUT"

    run_console u0 -u
    check_eq "-u when not installed" "QarnIEx is not installed" "$OUT"
    check_eq "-u when not installed: exit code" 0 "$STATUS"
    check_lines "-u when not installed: events" "" "$(awk -F'|' '$4 == "E"' <<<"$RECORDS")"

    run_console x -x
    check_eq "-x output" "" "$OUT"
    check_eq "-x exit code (dispatcher refused from a console)" 0 "$STATUS"
    check_lines "-x trace" $'T Calling StartServiceCtrlDispatcher()\nT Returned from StartServiceCtrlDispatcher()\nT CNTService::~CNTService()' \
        "$(records_plain <<<"$RECORDS")"

    # Another service already shows the name QarnIEx: the install fails, and so does the process.
    e2e_wine_text sc create QarnOther binPath= 'C:\Qarn\QarnIEx.exe' DisplayName= "$E2E_SERVICE" >/dev/null
    run_console i0 -i
    check_eq "-i refused (1078, duplicate display name)" "QarnIEx failed to install. Error 1078" "$OUT"
    check_eq "-i refused: exit code (1078 mod 256)" 54 "$STATUS"
    e2e_wine_text sc delete QarnOther >/dev/null

    install_service
    check_lines "-i records" $'R (null),"QarnIEx"\nE 4 100 1\nT CNTService::~CNTService()\nD' \
        "$(records_plain <<<"$RECORDS")"
    grep -q 'trace:eventlog:ReportEventW L"QarnIEx"' "$CASE_DIR/install.err" ||
        err "event 100 does not carry the service name as its insert"

    out=$(e2e_wine_text "$E2E_HELPER_WIN" -qc "$E2E_SERVICE")
    check_lines "service configuration (QueryServiceConfig)" "TYPE: 16
START_TYPE: 2
ERROR_CONTROL: 1
BINARY_PATH_NAME: $E2E_EXE_WIN
LOAD_ORDER_GROUP: 
TAG: 0
DISPLAY_NAME: QarnIEx
DEPENDENCIES: 
SERVICE_START_NAME: LocalSystem" "$out"
    check_eq "sc query after -i" "1  STOPPED" "$(sc_field "$(e2e_wine_text sc query "$E2E_SERVICE")" STATE)"
    # SYSTEM is shared by both views: a 32-bit installer's values show in each.
    local view
    for view in 64 32; do
        check_eq "EventMessageFile (/reg:$view)" "REG_EXPAND_SZ|$E2E_EXE_WIN" "$(e2e_reg_value "$E2E_EVENTSRC" EventMessageFile "$view")"
        check_eq "TypesSupported (/reg:$view)" "REG_DWORD|0x7" "$(e2e_reg_value "$E2E_EVENTSRC" TypesSupported "$view")"
    done

    run_console v3 -v
    check_eq "-v output when installed" "$VERSION_LINE"$'\nThe service is currently installed' "$OUT"
    run_console i2 -I
    check_eq "-i a second time" "QarnIEx is already installed" "$OUT"
    check_lines "-i a second time: events" "" "$(awk -F'|' '$4 == "E"' <<<"$RECORDS")"

    run_console u1 -u
    check_eq "-u of a stopped service" "QarnIEx removed. (You must delete the file ($E2E_EXE_WIN) yourself.)" "$OUT"
    check_eq "-u exit code" 0 "$STATUS"
    check_lines "-u records" $'R (null),"QarnIEx"\nE 4 101 1\nT CIConEx::OnRemoved()\nT CNTService::~CNTService()\nD' \
        "$(records_plain <<<"$RECORDS")"
    check_eq "sc query after -u" none "$(e2e_svc_state)"
    check_eq "EventMessageFile after -u (the source stays registered)" "REG_EXPAND_SZ|$E2E_EXE_WIN" \
        "$(e2e_reg_value "$E2E_EVENTSRC" EventMessageFile 64)"
    run_console v4 -v
    check_eq "-v output after -u" "$VERSION_LINE"$'\nThe service is not installed' "$OUT"

    # Its process frozen, the service answers no stop: "-u" gives up after
    # about 40 s (Wine's 10 s for the control, 30 s for the process) and fails.
    install_service
    start_service || return
    pid=$(for p in $(pgrep -f 'QarnIEx\.exe$'); do
        grep -qxzF "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null && echo "$p"; done)
    [ -n "$pid" ] || { err "no service process of this prefix"; return; }
    kill -STOP "$pid"
    run_console u2 -u
    check_eq "-u of a service that does not stop" "QarnIEx did not stop. It is marked for deletion and keeps its keys until it stops. Error 1053" "$OUT"
    check_eq "-u that gave up: exit code (1053 mod 256)" 29 "$STATUS"
    check_lines "-u that gave up: its events" $'E 4 101 1\nE 2 110 1' "$(records_plain <<<"$RECORDS" | grep '^E ')"
    # Marked for deletion while its process lives: no installed service.
    run_console i3 -i
    check_eq "-i over a service marked for deletion" "QarnIEx failed to install. Error 1072" "$OUT"
    check_eq "-i over a service marked for deletion: exit code (1072 mod 256)" 48 "$STATUS"
    run_console v5 -v
    check_eq "-v of a service marked for deletion" "$VERSION_LINE"$'\nThe service is marked for deletion: Windows deletes it once its process has ended and the last handle to it is closed' "$OUT"
    kill -CONT "$pid"
    e2e_wait_state none 15 || err "the service marked for deletion was not gone after its stop"
}

# One platform row: readers R and S get their keys in the expected view,
# the stick T and the foreign keys are left alone, the stop removes the keys.
case_platform() { # version style view icon(yes|no)
    local version=$1 style=$2 view=$(row_view "$3") icon=$(row_icon "$4") iconR=- iconS=- records pids
    [ "$icon" = yes ] && iconR='QarnIcons.dll,0' && iconS='QarnIcons.dll,3'
    e2e_set_version "$version" || err "could not set the Windows version"
    e2e_simulate_readers "$style" 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    if [ "$style" = instance ]; then
        # Reader S with a serial number of 40 characters: its device path
        # needs 272 bytes, more than a MAX_PATH buffer.
        local serial=QX40SERIAL000000000000000000000000000040
        e2e_write_usb_device "$E2E_DEV_S" "$serial&0" "$E2E_PIP_S"
        e2e_write_mount_record S instance "$E2E_DEV_S" "$serial&0" "$E2E_PIP_S"
    fi
    seed_foreign_keys "${view/only/32}"
    install_service
    start_service || return
    check_driveicons "after the start" "$view" "$(exp_letter R 'KA Media' "$iconR"; exp_letter S 'KB/KC' "$iconS"; exp_foreign)"
    stop_service || return
    check_driveicons "after the stop" "$view" "$(exp_foreign)"
    records=$(e2e_trace_records "$CASE_DIR/trace.log")
    pids=$(service_pids "$records")
    check_eq "service processes in the trace" 1 "$(wc -w <<<"$pids")"
    [ -n "$pids" ] && check_run_trace "$records" "$pids"
}

# "-u" of a running service stops it first, then removes it.
case_uninstall_running() {
    local view=$(row_view 32)
    e2e_set_version win10 || err "could not set the Windows version"
    e2e_simulate_readers parentid 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    install_service
    start_service || return
    check_driveicons "while running" "$view" "$(exp_letter R 'KA Media' 'QarnIcons.dll,0'; exp_letter S 'KB/KC' 'QarnIcons.dll,3')"
    run_console u -u
    check_eq "-u of a running service" "QarnIEx removed. (You must delete the file ($E2E_EXE_WIN) yourself.)" "$OUT"
    check_eq "-u exit code" 0 "$STATUS"
    check_eq "sc query after -u" none "$(e2e_svc_state)"
    check_eq "service processes after -u" 0 "$(e2e_process_count)"
    check_driveicons "after -u" "$view" ""
    local records pid t_stopped t_removed
    wait_trace "CNTService::~CNTService()" 1 10
    records=$(e2e_trace_records "$CASE_DIR/trace.log")
    pid=$(service_pids "$records")
    [ -n "$pid" ] && check_run_trace "$records" "$pid"
    t_stopped=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 ~ /^CNTService::SetStatus\([0-9]+, 1\)$/ { print $1; exit }' <<<"$records")
    t_removed=$(awk -F'|' '$4 == "E" && $5 == "4 101 1" { print $1; exit }' <<<"$RECORDS")
    if [ -z "$t_stopped" ] || [ -z "$t_removed" ]; then
        err "no STOPPED report of the service or no event 101 of -u"
    else
        awk -v a="$t_stopped" -v b="$t_removed" 'BEGIN { exit !(a <= b) }' ||
            err "-u removed the service (event 101 at $t_removed) before it had stopped (at $t_stopped)"
    fi
}

# A killed service leaves its keys; the next start removes them before its
# scan and gives the readers present their keys anew.
case_killed() { # version style view icon(yes|no)
    local version=$1 style=$2 view=$(row_view "$3") icon=$(row_icon "$4") iconR=- iconS=- out records pids
    [ "$icon" = yes ] && iconR='QarnIcons.dll,0' && iconS='QarnIcons.dll,3'
    e2e_set_version "$version" || err "could not set the Windows version"
    e2e_simulate_readers "$style" 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    seed_foreign_keys "$view"
    install_service
    start_service || return
    out=$(e2e_wine_text taskkill /F /IM QarnIEx.exe) || err "taskkill failed: $out"
    e2e_wait_no_process 10 || err "the killed service process is still there"
    check_driveicons "after the kill" "$view" "$(exp_letter R 'KA Media' "$iconR"; exp_letter S 'KB/KC' "$iconS"; exp_foreign)"

    # While it was down: R's icon entry went stale, reader S was unplugged
    # (its letter now shows the stick), and W is left from a still earlier run.
    e2e_reg add "$E2E_DRIVEICONS\\R\\DefaultIcon" /ve /t REG_SZ /d 'C:\Old\QarnIcons.dll,9' /f "/reg:$view"
    e2e_write_mount_record S "$style" "$E2E_DEV_T" "$E2E_INST_T" "$E2E_PIP_T"
    e2e_reg add "$E2E_DRIVEICONS\\W" /v QarnHMD /t REG_SZ /d 'KD Media' /f "/reg:$view"
    e2e_reg add "$E2E_DRIVEICONS\\W\\DefaultLabel" /ve /t REG_SZ /d 'KD Media' /f "/reg:$view"
    e2e_reg add "$E2E_DRIVEICONS\\W\\DefaultIcon" /ve /t REG_SZ /d 'C:\Qarn\QarnIcons.dll,1' /f "/reg:$view"

    # Wine may still report RUNNING for the killed process; sc start then
    # starts a new one all the same.
    e2e_wine sc start "$E2E_SERVICE" >/dev/null 2>&1
    if ! wait_trace "Leaving CNTService::Initialize()" 2 30 || ! e2e_wait_state 4 10; then
        err "the service did not start again after the kill"
        return
    fi
    check_driveicons "after the restart" "$view" "$(exp_letter R 'KA Media' "$iconR"; exp_foreign)"
    stop_service || return
    check_driveicons "after the stop" "$view" "$(exp_foreign)"
    records=$(e2e_trace_records "$CASE_DIR/trace.log")
    pids=($(service_pids "$records"))
    check_eq "service processes in the trace" 2 "${#pids[@]}"
    [ ${#pids[@]} -eq 2 ] && check_run_trace "$records" "${pids[1]}"

    # Killed once more and then removed with "-u": no start will come to take
    # the keys back, so "-u" must.
    start_service || return
    out=$(e2e_wine_text taskkill /F /IM QarnIEx.exe) || err "taskkill failed: $out"
    e2e_wait_no_process 10 || err "the killed service process is still there"
    check_driveicons "after the second kill" "$view" "$(exp_letter R 'KA Media' "$iconR"; exp_foreign)"
    run_console u -u
    check_eq "-u after a kill" "QarnIEx removed. (You must delete the file ($E2E_EXE_WIN) yourself.)" "$OUT"
    check_eq "sc query after -u" none "$(e2e_svc_state)"
    check_driveicons "after -u" "$view" "$(exp_foreign)"
}

# User control 128 is accepted without an event, 129 is answered with event 106.
case_user_controls() {
    local out records pids
    e2e_set_version win10 || err "could not set the Windows version"
    e2e_simulate_readers parentid 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    install_service
    start_service || return
    out=$(e2e_wine_text "$E2E_HELPER_WIN" "$E2E_SERVICE" 128)
    check_eq "ControlService(128)" "accepted, state 4" "$out"
    out=$(e2e_wine_text "$E2E_HELPER_WIN" "$E2E_SERVICE" 129)
    check_eq "ControlService(129)" "accepted, state 4" "$out"
    check_eq "state after the user controls" 4 "$(e2e_svc_state)"
    check_driveicons "after the user controls" "$(row_view 32)" "$(exp_letter R 'KA Media' 'QarnIcons.dll,0'; exp_letter S 'KB/KC' 'QarnIcons.dll,3')"
    stop_service || return
    records=$(e2e_trace_records "$CASE_DIR/trace.log")
    pids=$(service_pids "$records")
    check_eq "service processes in the trace" 1 "$(wc -w <<<"$pids")"
    [ -n "$pids" ] && check_run_trace "$records" "$pids" 'T CNTService::Handler(128)
T Updating status (H, 4)
T CNTService::Handler(129)
E 1 106 0
T Updating status (H, 4)'
}

# A machine with a long USB history: the start-up scan lasts seconds, and a
# stop that comes in the middle of it is taken at once. The handler returns
# within a second, the service never reports RUNNING, only the stop is
# logged, and no key of ours is left in either view.
case_stop_during_scan() {
    local records pid states t_handler t_updated n_handler n_leave out t0 t1
    e2e_set_version vista || err "could not set the Windows version"
    e2e_simulate_readers instance 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    e2e_import_usb_history 40000 || { err "the USB history could not be imported"; return; }
    install_service
    out=$(e2e_wine_text sc start "$E2E_SERVICE") || err "sc start failed: $out"
    wait_trace "Entering CNTService::Initialize()" 1 30 || { err "the service did not start"; return; }
    t0=$(date +%s.%N)
    out=$(e2e_wine_text sc stop "$E2E_SERVICE") || err "sc stop failed: $out"
    t1=$(date +%s.%N)
    echo "    sc stop returned after $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }') s" >>"$CASE_DIR/timing.log"
    e2e_wait_state 1 30 || err "the service did not reach STOPPED (state $(e2e_svc_state))"
    e2e_wait_no_process 15 || err "the service process did not end after the stop"
    check_driveicons "after the stop" 64 ""

    records=$(e2e_trace_records "$CASE_DIR/trace.log")
    pid=$(service_pids "$records")
    [ -n "$pid" ] || { err "no service process in the trace"; return; }
    states=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 ~ /^CNTService::SetStatus\(/ {
                 s = $5; sub(/^.*, /, "", s); sub(/\)$/, "", s); printf "%s ", s }' <<<"$records")
    check_eq "states reported" "2 3 1 " "$states"
    check_lines "events" $'E 4 108 0' "$(records_of "$records" "$pid" | grep '^E ')"
    t_handler=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 == "CNTService::Handler(1)" { print $1; exit }' <<<"$records")
    t_updated=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 ~ /^Updating status \(/ { print $1; exit }' <<<"$records")
    # Trace records are in the order they were written, whatever the thread.
    n_handler=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 == "CNTService::Handler(1)" { print NR; exit }' <<<"$records")
    n_leave=$(awk -F'|' -v p="$pid" '$2 == p && $4 == "T" && $5 == "Leaving CNTService::Initialize()" { print NR; exit }' <<<"$records")
    if [ -z "$t_handler" ] || [ -z "$t_updated" ] || [ -z "$n_leave" ]; then
        err "trace: no stop request, handler end or end of Initialize:"$'\n'"$(records_of "$records" "$pid")"
        return
    fi
    [ "$n_handler" -lt "$n_leave" ] ||
        err "the stop came only after the start-up scan: make the history longer"
    awk -v a="$t_handler" -v b="$t_updated" 'BEGIN { exit !(b - a <= 1.0) }' ||
        err "the handler took $(awk -v a="$t_handler" -v b="$t_updated" 'BEGIN { printf "%.3f", b - a }') s for the stop (at most 1 s)"
}

# ---------------------------------------------------------------- the package

# Copies of the packages in the prefix (set up before the package cases).
E2E_MSI_NEW_WIN='C:\QarnTest\QarnIEx-new.msi'
E2E_MSI_OLD_WIN='C:\QarnTest\QarnIEx-old.msi'
E2E_MSI_EXE_WIN="$E2E_MSI_DIR_WIN\\QarnIEx.exe"

# Runs msiexec quietly and checks its exit code; RECORDS: the trace records of
# the processes it started (its custom action).
msiexec_ok() { # label /i|/x package [PROPERTY=value...]
    E2E_MSI_WINEDEBUG=$E2E_TRACE_CHANNELS e2e_msiexec "$CASE_DIR/$1.log" "${@:2}"
    check_eq "msiexec $2 exit code ($1)" 0 "$?"
    RECORDS=$(e2e_trace_records "$CASE_DIR/$1.log.err")
}

# The actions of a sequence table of a package, in their order, on one line.
msi_actions() { # package table
    msiinfo export "$1" "$2" | tr -d '\r' | awk -F'\t' '$3 ~ /^[0-9]+$/ { print $3 "\t" $1 }' |
        sort -n | cut -f2 | paste -sd' '
}

# What RunLogged (installer/Actions.cpp) logs for a command, one output line
# and the exit code; and those lines of a case's log.
run_logged() { # command output-line [exit-code]
    local code=${3:-0}
    printf '%s\n' "Running $1" "> $2"
    [ "$code" = 0 ] && echo "Exit code 0" || echo "Exit code $code: the installation fails and is rolled back."
}
logged_runs() { # label
    grep -aE '^(Running |> |Exit code )' "$CASE_DIR/$1.log" | tr -d '\r'
}

# Exactly one product, of the given version, and its service as "-i" would
# register it, with its description, RUNNING with the readers' keys; the event
# source registered.
check_msi_installed() { # version [exe]
    local exe=${2:-$E2E_MSI_EXE_WIN}
    check_eq "installed products (version|publisher)" "$1|Qarn" "$(e2e_msi_products | cut -d'|' -f2-)"
    e2e_wait_state 4 30 || err "the service is not RUNNING after the install (state $(e2e_svc_state))"
    check_lines "service configuration (QueryServiceConfig)" "TYPE: 16
START_TYPE: 2
ERROR_CONTROL: 1
BINARY_PATH_NAME: $exe
LOAD_ORDER_GROUP: 
TAG: 0
DISPLAY_NAME: QarnIEx
DEPENDENCIES: 
SERVICE_START_NAME: LocalSystem" "$(e2e_wine_text "$E2E_HELPER_WIN" -qc "$E2E_SERVICE")"
    check_eq "service description" "REG_SZ|Gives the drives of Qarn USB card readers their own icon and label." \
        "$(e2e_reg_value 'HKLM\System\CurrentControlSet\Services\QarnIEx' Description 64)"
    check_eq "services of QarnIEx.exe" 1 \
        "$(e2e_wine_text reg query 'HKLM\System\CurrentControlSet\Services' /s /reg:64 | grep -c '^    ImagePath .*\\QarnIEx.exe')"
    check_eq "service processes" "1 running" "$(e2e_wine_text "$E2E_HELPER_WIN" -ps QarnIEx.exe)"
    check_eq "EventMessageFile" "REG_EXPAND_SZ|$exe" "$(e2e_reg_value "$E2E_EVENTSRC" EventMessageFile 64)"
    check_eq "TypesSupported" "REG_DWORD|0x7" "$(e2e_reg_value "$E2E_EVENTSRC" TypesSupported 64)"
}

# After an uninstall: no product, service, process, event source, file or
# folder, and in DriveIcons only the keys of others.
check_nothing_left() { # what view
    check_eq "$1: installed products" "" "$(e2e_msi_products)"
    check_eq "$1: service" none "$(e2e_svc_state)"
    check_eq "$1: service processes" 0 "$(e2e_process_count)"
    e2e_reg query "$E2E_EVENTSRC" /reg:64 && err "$1: the event source key is still there"
    e2e_reg query 'HKLM\Software\Qarn\QarnIEx' /reg:32 && err "$1: the key of the install folder is still there"
    [ ! -e "$WINEPREFIX/$E2E_MSI_DIR_UNIX" ] ||
        err "$1: the folder is still there: $(cd "$WINEPREFIX/$E2E_MSI_DIR_UNIX" && ls -A | tr '\n' ' ')"
    check_driveicons "$1" "$2" "$(exp_foreign)"
}

# Silent install with simulated readers, then a silent uninstall of the running
# service: "-u" (run by the package) stops it and removes it after its stop.
case_msi_install() {
    local records pids out status
    e2e_msi_remove_all || err "an earlier install could not be removed"
    e2e_set_version win10 || err "could not set the Windows version"
    e2e_simulate_readers parentid 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    seed_foreign_keys 32
    msiexec_ok install /i "$E2E_MSI_NEW_WIN"
    check_msi_installed "$E2E_VERSION.0"
    check_driveicons "after the install" 32 "$(exp_letter R 'KA Media' 'QarnIcons.dll,0' "$E2E_MSI_DIR_WIN"
        exp_letter S 'KB/KC' 'QarnIcons.dll,3' "$E2E_MSI_DIR_WIN"; exp_foreign)"
    # The explain tool, installed beside the service, run from there.
    cmp -s "$E2E_EXPLAIN" "$WINEPREFIX/$E2E_MSI_DIR_UNIX/QarnIExplain.exe" ||
        err "the package did not install the built QarnIExplain.exe beside QarnIEx.exe"
    out=$(e2e_wine_text "$E2E_MSI_DIR_WIN\\QarnIExplain.exe")
    status=$?
    check_lines "installed QarnIExplain.exe: exit code, service folder, verdicts" "0
Service folder  $E2E_MSI_DIR_WIN\\ (from the installed service's ImagePath)
R:  ICON     reader KA Slot Module (model row 5), label \"KA Media\"
S:  ICON     reader LNK   QX-KC/KB (model row 2), label \"KB/KC\"" \
        "$status"$'\n'"$(grep -E '^(Service folder|[RS]:)  ' <<<"$out")"
    msiexec_ok uninstall /x "$E2E_MSI_NEW_WIN"
    check_nothing_left "after the uninstall" 32
    [ ! -e "$WINEPREFIX/$E2E_MSI_DIR_UNIX/QarnIExplain.exe" ] || err "QarnIExplain.exe stays after the uninstall"
    check_lines "-u in the uninstall log" "$(run_logged "\"$E2E_MSI_EXE_WIN\" -u" \
        "QarnIEx removed. (You must delete the file ($E2E_MSI_EXE_WIN) yourself.)")" "$(logged_runs uninstall)"
    check_lines "records of the package's \"-u\"" $'R (null),"QarnIEx"\nE 4 101 1\nT CIConEx::OnRemoved()\nT CNTService::~CNTService()\nD' \
        "$(records_plain <<<"$RECORDS")"
    local t_removed=$(awk -F'|' '$4 == "E" && $5 == "4 101 1" { print $1; exit }' <<<"$RECORDS")
    wait_trace "CNTService::~CNTService()" 1 10
    records=$(e2e_trace_records "$CASE_DIR/trace.log")
    pids=$(service_pids "$records")
    check_eq "service processes in the trace" 1 "$(wc -w <<<"$pids")"
    [ -n "$pids" ] && check_run_trace "$records" "$pids"
    # The package's "-u" removed the service once its process had ended.
    local t_ended=$(awk -F'|' -v p="$pids" '$2 == p && $4 == "D" { print $1; exit }' <<<"$records")
    if [ -z "$t_ended" ] || [ -z "$t_removed" ]; then
        err "no end of the service process or no event 101 of the package's \"-u\""
    else
        awk -v a="$t_ended" -v b="$t_removed" 'BEGIN { exit !(a <= b) }' ||
            err "the service was removed (event 101 at $t_removed) before its process ended (at $t_ended)"
    fi
}

# An older package, with the vendor's icon library, is upgraded in place: one
# product, one service; an older package cannot then downgrade it.
case_msi_upgrade() {
    local files
    e2e_msi_remove_all || err "an earlier install could not be removed"
    e2e_set_version win10 || err "could not set the Windows version"
    e2e_simulate_readers parentid 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    seed_foreign_keys 32
    msiexec_ok old /i "$E2E_MSI_OLD_WIN"
    check_msi_installed "$E2E_OLD_VERSION.0"
    cmp -s "$E2E_WORK/QarnIcons.dll" "$WINEPREFIX/$E2E_MSI_DIR_UNIX/QarnIcons.dll" ||
        err "the older package did not install QarnIcons.dll beside the exe"
    msiexec_ok upgrade /i "$E2E_MSI_NEW_WIN"
    check_msi_installed "$E2E_VERSION.0"
    files=$(cd "$WINEPREFIX/$E2E_MSI_DIR_UNIX" 2>/dev/null && ls -A)
    check_lines "files after the upgrade" "$E2E_MSI_NEW_FILES" "$files"
    check_driveicons "after the upgrade" 32 "$(exp_letter R 'KA Media' 'QarnIcons.dll,0' "$E2E_MSI_DIR_WIN"
        exp_letter S 'KB/KC' 'QarnIcons.dll,3' "$E2E_MSI_DIR_WIN"; exp_foreign)"
    e2e_msiexec "$CASE_DIR/downgrade.log" /i "$E2E_MSI_OLD_WIN" && err "the older package installed over the newer one"
    check_eq "installed products after the downgrade attempt" "$E2E_VERSION.0|Qarn" "$(e2e_msi_products | cut -d'|' -f2-)"
    msiexec_ok uninstall /x "$E2E_MSI_NEW_WIN"
    check_nothing_left "after the uninstall" 32
}

# The service was killed (its keys stay, in the 64-bit view here); the
# uninstall takes them back all the same.
case_msi_uninstall_killed() {
    local out
    e2e_msi_remove_all || err "an earlier install could not be removed"
    e2e_set_version vista || err "could not set the Windows version"
    e2e_simulate_readers instance 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    seed_foreign_keys 64
    msiexec_ok install /i "$E2E_MSI_NEW_WIN"
    check_msi_installed "$E2E_VERSION.0"
    out=$(e2e_wine_text taskkill /F /IM QarnIEx.exe) || err "taskkill failed: $out"
    e2e_wait_no_process 10 || err "the killed service process is still there"
    check_driveicons "after the kill" 64 "$(exp_letter R 'KA Media' 'QarnIcons.dll,0' "$E2E_MSI_DIR_WIN"
        exp_letter S 'KB/KC' 'QarnIcons.dll,3' "$E2E_MSI_DIR_WIN"; exp_foreign)"
    msiexec_ok uninstall /x "$E2E_MSI_NEW_WIN"
    check_nothing_left "after the uninstall" 64
}

# Installed into a folder of its own (INSTALLDIR), the service is frozen and
# does not stop: the package's "-u" gives up (1053), and the uninstall fails
# with it, its line and code in the log, then the rollback's "-i". (What the
# rollback restores is Windows Installer's; Wine's drops the product entry.)
case_msi_uninstall_frozen() {
    local pid exe='C:\QarnPkg\QarnIEx.exe'
    e2e_msi_remove_all || err "an earlier install could not be removed"
    msiexec_ok install /i "$E2E_MSI_NEW_WIN" 'INSTALLDIR=C:\QarnPkg'
    check_msi_installed "$E2E_VERSION.0" "$exe"
    pid=$(for p in $(pgrep -f 'QarnIEx\.exe$'); do
        grep -qxzF "WINEPREFIX=$WINEPREFIX" "/proc/$p/environ" 2>/dev/null && echo "$p"; done)
    [ -n "$pid" ] || { err "no service process of this prefix"; return; }
    kill -STOP "$pid"
    check_eq "msiexec /x with a frozen service: exit code" 1603 \
        "$(e2e_msiexec_code "$CASE_DIR/uninstall.log" /x "$E2E_MSI_NEW_WIN")"
    kill -CONT "$pid" 2>/dev/null  # Wine may have ended it meanwhile
    check_lines "-u in the uninstall log" "$(run_logged "\"$exe\" -u" "QarnIEx did not stop. It is \
marked for deletion and keeps its keys until it stops. Error 1053" 1053)
Running \"$exe\" -i" "$(logged_runs uninstall | head -4)"
}

# The administrative install (msiexec /a; Wine's msiexec exits 1626), judged
# from the package: only the standard actions that lay the files out, and
# both exes in its cabinet as built.
case_msi_admin() {
    local f
    check_eq "AdminUISequence" "CostInitialize FileCost CostFinalize ExecuteAction" "$(msi_actions "$E2E_MSI_NEW" AdminUISequence)"
    check_eq "AdminExecuteSequence" "CostInitialize FileCost CostFinalize InstallValidate InstallInitialize \
InstallAdminPackage InstallFiles InstallFinalize" "$(msi_actions "$E2E_MSI_NEW" AdminExecuteSequence)"
    msiextract -C "$CASE_DIR/admin" "$E2E_MSI_NEW" >/dev/null || err "msiextract could not unpack the package"
    for f in QarnIEx.exe QarnIExplain.exe; do
        cmp -s "$(dirname "$exe")/$f" "$CASE_DIR/admin/Program Files/Qarn/$f" || err "the cabinet does not hold the built $f"
    done
}

# QarnIEx installed by hand ("-i" from C:\Qarn) or by the older package,
# running with the readers' keys (KEYS: the DriveIcons dump).
setup_running() { # hand|old
    e2e_msi_remove_all || err "an earlier install could not be removed"
    e2e_set_version win10 || err "could not set the Windows version"
    e2e_simulate_readers parentid 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return 1; }
    seed_foreign_keys 32
    if [ "$1" = old ]; then
        msiexec_ok old /i "$E2E_MSI_OLD_WIN"
        check_msi_installed "$E2E_OLD_VERSION.0"
    else
        install_service
        start_service || return 1
    fi
    KEYS=$(e2e_reg_dump "$E2E_DRIVEICONS" 32)
    grep -q '^val S\\DefaultIcon|' <<<"$KEYS" || err "no keys for the readers: $KEYS"
}

# The package takes a service installed by hand over: that one's own "-u",
# in the log, stops it (its stop takes its keys back) and removes it.
case_msi_takeover() {
    setup_running hand || return
    msiexec_ok install /i "$E2E_MSI_NEW_WIN"
    check_msi_installed "$E2E_VERSION.0"
    check_driveicons "after the takeover" 32 "$(exp_letter R 'KA Media' 'QarnIcons.dll,0' "$E2E_MSI_DIR_WIN"
        exp_letter S 'KB/KC' 'QarnIcons.dll,3' "$E2E_MSI_DIR_WIN"; exp_foreign)"
    check_lines "the takeover in the install log" "FindService: the service QarnIEx runs $E2E_EXE_WIN
$(run_logged "$E2E_EXE_WIN -u" "QarnIEx removed. (You must delete the file ($E2E_EXE_WIN) yourself.)")" \
        "$(grep -a '^FindService: ' "$CASE_DIR/install.log" | tr -d '\r'; logged_runs install)"
    msiexec_ok uninstall /x "$E2E_MSI_NEW_WIN"
    check_nothing_left "after the uninstall" 32
}

# The new version failing in StartServices (its "QarnIEx.exe" is no service)
# over QarnIEx installed by hand, which comes back (the rollback's "-i",
# logged, and start), or by the older package, whose removal Windows rolls back with the
# transaction; Wine removes it by a process of its own ("msiexec /qn /i
# {code} REMOVE=ALL") that no rollback reaches: under Wine it is gone.
case_msi_failing() { # hand|old
    setup_running "$1" || return
    check_eq "msiexec /i of the failing package: exit code" 1627 \
        "$(e2e_msiexec_code "$CASE_DIR/failing.log" /i 'C:\QarnTest\QarnIEx-failing.msi')"
    # Windows logs a failed action as "Return value 3", Wine as 0.
    grep -aqE '^Action ended .*: StartServices. Return value [03]' "$CASE_DIR/failing.log" ||
        err "the failing package did not fail in StartServices"
    check_eq "actions around RemoveExistingProducts" "InstallInitialize RemoveExistingProducts ProcessComponents" \
        "$(msi_actions "$E2E_WORK/QarnIEx-failing.msi" InstallExecuteSequence | grep -o '[A-Za-z]* RemoveExistingProducts [A-Za-z]*')"
    check_eq "installed products after the failure" "" "$(e2e_msi_products)"
    if [ "$1" = old ]; then
        check_eq "service after the failed upgrade (Wine)" none "$(e2e_svc_state)"
        check_driveicons "after the failed upgrade (Wine)" 32 "$(exp_foreign)"
        return
    fi
    e2e_wait_state 4 30 || err "the service installed by hand is not RUNNING again (state $(e2e_svc_state))"
    check_eq "its ImagePath" "BINARY_PATH_NAME: $E2E_EXE_WIN" \
        "$(e2e_wine_text "$E2E_HELPER_WIN" -qc "$E2E_SERVICE" | grep '^BINARY_PATH_NAME')"
    check_lines "DriveIcons after the failed install" "$KEYS" "$(e2e_reg_dump "$E2E_DRIVEICONS" 32)"
    check_lines "the takeover and its rollback in the log" "$(run_logged "$E2E_EXE_WIN -u" "QarnIEx removed. (You \
must delete the file ($E2E_EXE_WIN) yourself.)"; run_logged "$E2E_EXE_WIN -i" "QarnIEx installed")" "$(logged_runs failing)"
}

# QarnIExplain.exe on the simulated readers, run from the service's folder
# by an administrator: each reader is named with its model, the stick with
# the step at which it fails, the old keys with what the start does to them;
# the registry is the same, byte for byte, before and after. The Linux build
# then reads the same keys as reg export files and must say the same. On
# Server 2003 x64 the 32-bit service's keys are in a view the 64-bit shell
# does not read: the readers are NOT SHOWN, and both tools exit with 3.
case_explain() { # version style view(32|64|only) linux-windows-option
    local version=$1 style=$2 view=$(row_view "$3") windows=$4 out status before after letters native
    E2E_ROW=$windows
    local dir="$CASE_DIR" c_dir='C:\QarnTest' verdict='ICON     ' why='' code=0
    if [ "$windows" = 2003 ] && [ $E2E_WOW64 = yes ]; then
        verdict='NOT SHOWN ' why=': its keys go to the 32-bit view, the shell reads the 64-bit view' code=3
    fi
    e2e_set_version "$version" || err "could not set the Windows version"
    e2e_simulate_readers "$style" 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    seed_foreign_keys "${view/only/32}"
    e2e_reg add "$E2E_DRIVEICONS\\W" /v QarnHMD /t REG_SZ /d 'KD Media' /f "/reg:${view/only/32}"
    e2e_reg add "$E2E_DRIVEICONS\\W\\DefaultLabel" /ve /t REG_SZ /d 'KD Media' /f "/reg:${view/only/32}"
    install_service
    cp "$E2E_EXPLAIN" "$WINEPREFIX/drive_c/Qarn/QarnIExplain.exe" || { err "QarnIExplain.exe could not be copied"; return; }

    # Both runs, the report and --save (checked by check_saved_machine), between
    # two exports of the registry: they change nothing.
    e2e_export_hklm "$dir/before" || { err "the registry could not be exported before the run"; return; }
    out=$(e2e_wine_text 'C:\Qarn\QarnIExplain.exe')
    status=$?
    printf '%s\n' "$out" >"$dir/explain.out"
    e2e_wine_text 'C:\Qarn\QarnIExplain.exe' --save 'C:\QarnTest\saved' >"$dir/save.out"
    echo $? >>"$dir/save.out"
    e2e_export_hklm "$dir/after" || { err "the registry could not be exported after the runs"; return; }
    check_eq "QarnIExplain.exe exit code" $code "$status"
    check_eq "the registry's exports after the runs" "$(cd "$dir/before" && ls)" "$(cd "$dir/after" && ls)"
    for before in "$dir"/before/*.reg; do
        after="$dir/after/$(basename "$before")"
        cmp -s "$before" "$after" ||
            err "$(basename "$before" .reg) changed while QarnIExplain.exe and its --save ran:"$'\n'"$(diff <(iconv -f UTF-16LE -t UTF-8 "$before") <(iconv -f UTF-16LE -t UTF-8 "$after") | head -20)"
    done

    local iconT reasonT
    if [ "$style" = instance ]; then
        reasonT="device key $E2E_DEV_T holds no reader model's text"
    else
        reasonT="the drive is $E2E_DEV_T (instance $E2E_INST_T), which is no supported reader"
    fi
    letters=$(grep -E '^[D-Z]:  ' <<<"$out")
    check_lines "QarnIExplain.exe verdicts" "R:  ${verdict}reader KA Slot Module (model row 5), label \"KA Media\"$why
S:  ${verdict}reader LNK   QX-KC/KB (model row 2), label \"KB/KC\"$why
T:  NO ICON  $reasonT
U:  NO ICON  not a removable drive (no drive); the service looks at removable drives only
V:  NO ICON  not a removable drive (no drive); the service looks at removable drives only
W:  NO ICON  not a removable drive (no drive); the service looks at removable drives only" "$letters"
    grep -qxF 'Service folder  C:\Qarn\ (from the installed service'"'"'s ImagePath)' <<<"$out" ||
        err "QarnIExplain.exe did not take the service folder from the installed service"
    grep -qxF 'Service         not running (state 1): no drive gets an icon until it starts (net start QarnIEx)' <<<"$out" ||
        err "QarnIExplain.exe does not say that the installed service is not running"
    grep -qF "leaves the keys: marked, but \"ka media\" is no reader model's label" <<<"$out" ||
        err "QarnIExplain.exe does not say why V's keys stay"
    grep -qF "deletes the keys: they carry the service's marker and the label of row 3" <<<"$out" ||
        err "QarnIExplain.exe does not say that W's keys go at start"

    # The same machine from reg export files, explained by the Linux build.
    native=$(e2e_native_explain) || { err "no native QarnIExplain: $native"; return; }
    local wow64=(--wow64)
    [ $E2E_WOW64 = yes ] && [ "$view" != only ] || wow64=()
    out=$("$native" --windows "$windows" "${wow64[@]}" --service-dir 'C:\Qarn' "$dir"/before/explain-*.reg 2>&1)
    status=$?
    printf '%s\n' "$out" >"$dir/explain-linux.out"
    check_eq "Linux QarnIExplain exit code" $code "$status"
    check_lines "explanation from the exported files" \
        "$(sed -n '/^[D-Z]:  /,$p' "$dir/explain.out")" "$(sed -n '/^[D-Z]:  /,$p' <<<"$out")"
    check_saved_machine "$dir" "$native" $code
}

# The header lines both tools take from the same facts.
header_facts() { grep -E '^(Windows|Process|Platform row|Scan variant|Registry view|Shell view|Service folder) '; }

# What the tool's reader makes of a reg file (reg_dump): key and value lines,
# paths in lower case (reg export spells a path as it was asked for), sorted;
# with a path, only the values of that key (and of those, with a name, that one).
dumped() { # file [path [value name]]
    "$REG_DUMP" "$1" 1252 | awk -F'\t' -v OFS='\t' -v path="${2:-}" -v name="${3:-}" '
        { $2 = tolower($2) }
        path == "" || ($1 == "value" && $2 == path && (name == "" || $3 == name))' | LC_ALL=C sort
}

# QarnIExplain.exe --save, by the 32-bit tool (under WOW64 on a 64-bit
# prefix), run by case_explain between its exports (it changed nothing): its
# output; the Linux build, told nothing of the machine, says what the Windows
# tool said; and the saved keys are what reg export writes of them, as the
# tool's reader reads both.
check_saved_machine() { # case-dir native exit-code
    local dir=$1 native=$2 code=$3 out status saved="$WINEPREFIX/drive_c/QarnTest/saved" views=64 v file
    [ $E2E_WOW64 = yes ] && [ "$E2E_ROW" = 2003 ] && views="64 32"
    REG_DUMP=$(e2e_native_reg_dump) || { err "no reg_dump: $REG_DUMP"; return; }
    check_eq "QarnIExplain.exe --save exit code" 0 "$(tail -1 "$dir/save.out")"
    local files="mounted.reg, usbstor.reg, service.reg, windows.reg, driveicons.reg, "
    [ "$views" = "64 32" ] && files+="driveicons32.reg, "
    check_eq "QarnIExplain.exe --save output" "Saved to \"C:\QarnTest\saved\": ${files}facts.txt" "$(sed '$d' "$dir/save.out")"
    out=$("$native" "$saved" 2>&1)
    status=$?
    printf '%s\n' "$out" >"$dir/explain-saved.out"
    check_eq "Linux QarnIExplain on the saved folder: exit code" "$code" "$status"
    check_lines "header from the saved folder" "$(header_facts <"$dir/explain.out")" "$(header_facts <<<"$out")"
    check_lines "explanation from the saved folder" \
        "$(sed -n '/^[D-Z]:  /,$p' "$dir/explain.out")" "$(sed -n '/^[D-Z]:  /,$p' <<<"$out")"
    for file in mounted usbstor; do
        check_lines "saved $file.reg against reg export" "$(dumped "$dir/before/explain-$file.reg")" "$(dumped "$saved/$file.reg")"
    done
    for v in $views; do
        file=driveicons.reg
        [ $v = 32 ] && file=driveicons32.reg
        check_lines "saved $file against reg export" "$(dumped "$dir/before/explain-driveicons$v.reg")" "$(dumped "$saved/$file")"
    done
    local win='C:\QarnTest\exports'
    e2e_reg export "HKLM\\System\\CurrentControlSet\\Services\\$E2E_SERVICE" "$win-service.reg" /y /reg:64 &&
        e2e_reg export "$E2E_NT_CURRENT" "$win-version.reg" /y /reg:64 || err "reg export of the service or version key failed"
    local service='system\currentcontrolset\services\qarniex' version='software\microsoft\windows nt\currentversion'
    check_lines "saved service.reg against reg export" \
        "$(dumped "$WINEPREFIX/drive_c/QarnTest/exports-service.reg" "$service")" "$(dumped "$saved/service.reg" "$service")"
    check_lines "saved windows.reg against reg export" \
        "$(dumped "$WINEPREFIX/drive_c/QarnTest/exports-version.reg" "$version" CurrentVersion)" "$(dumped "$saved/windows.reg" "$version")"
}

# The runbook of docs/explain-fleet.md, as Wine can run it: its startup script saves
# this machine into \\server\qarn$ (Wine's UNC path to a folder of the case)
# with the tool where the package puts it, its SCCM script writes the
# machine's own CSV there, and the page's Linux commands read the share: the
# fleet's rows of the machine are those of the Windows tool's CSV.
case_runbook() {
    local share="$CASE_DIR/share" bat="$WINEPREFIX/drive_c/QarnTest" out status native computer
    e2e_set_version win2003 || err "could not set the Windows version"
    e2e_simulate_readers parentid 2>>"$CASE_DIR/setup.err" || { err "reader simulation: $(cat "$CASE_DIR/setup.err")"; return; }
    seed_foreign_keys "$(row_view 32)"
    install_service
    mkdir -p "$share" "$WINEPREFIX/drive_c/Program Files (x86)/Qarn" "$WINEPREFIX/dosdevices/unc/server" &&
        cp "$E2E_EXPLAIN" "$WINEPREFIX/drive_c/Program Files (x86)/Qarn/QarnIExplain.exe" &&
        ln -sfn "$share" "$WINEPREFIX/dosdevices/unc/server/qarn\$" || { err "the share could not be set up"; return; }
    # The page's two scripts, in its order, with CR LF line ends.
    awk -v dir="$bat" '/^```bat$/ { n++; on = 1; next } /^```$/ { on = 0 } on { printf "%s\r\n", $0 > (dir "/runbook" n ".cmd") }' \
        "$ROOT/docs/explain-fleet.md"
    computer=$(e2e_wine_text cmd /c 'echo %COMPUTERNAME%')
    out=$(e2e_wine_text cmd /c 'C:\QarnTest\runbook1.cmd')
    check_eq "startup script: its output" "Saved to \"\\\\server\\qarn\$\\$computer\": mounted.reg, usbstor.reg, service.reg, windows.reg, driveicons.reg, driveicons32.reg, facts.txt" "$out"
    # Exit code 3: the readers' keys go to a view the shell does not read.
    e2e_wine_text cmd /c 'C:\QarnTest\runbook2.cmd' >/dev/null
    check_eq "the SCCM script's exit code" 3 $?
    [ -s "$share/$computer.csv" ] || { err "the SCCM script wrote no $computer.csv"; return; }
    native=$(e2e_native_explain) || { err "no native QarnIExplain: $native"; return; }
    local command
    while IFS= read -r command; do
        command=${command%%#*}
        command=${command//build\/native\/QarnIExplain/\"$native\"}
        (cd "$CASE_DIR" && eval "${command//\/srv\/qarn/\"$share\"}") >"$CASE_DIR/runbook.out" 2>&1
        status=$?
        [ $status -eq 0 ] || err "the page's \"$command\" exited with $status: $(head -3 "$CASE_DIR/runbook.out")"
    done < <(grep -E '^build/native/QarnIExplain --fleet' "$ROOT/docs/explain-fleet.md")
    python3 -m json.tool "$CASE_DIR/fleet.json" >/dev/null || err "fleet.json is no JSON"
    grep -q '^{"schemaVersion": 1, ' "$CASE_DIR/fleet.json" || err "fleet.json has no schemaVersion 1"
    # The letters' columns (letter to detail) of the machine, as both tools say them.
    letters() { awk -F, '$1 == "letter" { for (i = 0; i < 5; i++) sub(/^[^,]*,/, ""); sub(/,[^,]*\r$/, ""); print }' "$1"; }
    check_lines "the fleet's rows of the machine against its own CSV" "$(letters "$share/$computer.csv")" "$(letters "$CASE_DIR/fleet.csv")"
    check_eq "rows of R and S" "R,NOT SHOWN,other-view
S,NOT SHOWN,other-view" "$(letters "$CASE_DIR/fleet.csv" | grep -E '^[RS],' | cut -d, -f1-3)"
}

# ---------------------------------------------------------------- run

echo "== cases"
run_case console_switches case_console_switches
run_case platform_winxp case_platform winxp parentid 32 yes
run_case platform_winxp64 case_platform winxp64 parentid 64 no
run_case platform_win2003 case_platform win2003 parentid 32 yes
run_case platform_vista case_platform vista instance 64 yes
run_case platform_win2008 case_platform win2008 parentid 32 yes
run_case platform_win10 case_platform win10 parentid 32 yes
run_case uninstall_running case_uninstall_running
run_case killed_service_win10 case_killed win10 parentid 32 yes
run_case killed_service_vista case_killed vista instance 64 yes
run_case user_controls case_user_controls
run_case explain_win2003 case_explain win2003 parentid 32 2003
run_case explain_vista case_explain vista instance 64 vista
run_case runbook case_runbook
# Last in this prefix: no case after it pays for deleting its 40,000 keys.
run_case stop_during_scan case_stop_during_scan

# Vista without WOW64: a 32-bit prefix of its own.
if wanted platform_vista_32bit_prefix || wanted explain_vista_32bit_prefix; then
    echo "== 32-bit Wine prefix"
    if e2e_prefix_create "$exe" "$E2E_WORK/sendcontrol.exe" prefix32 win32; then
        run_case platform_vista_32bit_prefix case_platform vista instance only yes
        run_case explain_vista_32bit_prefix case_explain vista instance only vista
    else
        echo "FAIL platform_vista_32bit_prefix"
        echo "    the 32-bit Wine prefix could not be set up"
        failed=$((failed + 1))
    fi
fi

# The Windows Installer package, in a fresh 64-bit prefix of its own, as on a
# machine that never saw the service.
msi_cases=()
for name in $MSI_CASES; do
    wanted $name && msi_cases+=($name)
done
if [ ${#msi_cases[@]} -gt 0 ]; then
    echo "== Windows Installer package, fresh 64-bit Wine prefix"
    E2E_VERSION=$(e2e_project_version "$exe")
    E2E_OLD_VERSION=$(awk -F. '{ if ($3 > 0) $3--; else if ($2 > 0) $2--; else $1--; print $1 "." $2 "." $3 }' <<<"$E2E_VERSION")
    msi_setup() {
        local new
        new=$(e2e_resolve_msi "$exe") || { echo "no package of $exe" >&2; return 1; }
        E2E_MSI_NEW=$new
        echo "   package: $new; older version $E2E_OLD_VERSION built for the upgrade"
        # A stand-in for the vendor's icon library: the package only carries it.
        printf 'QarnIcons stand-in\n' >"$E2E_WORK/QarnIcons.dll"
        e2e_build_msi "$exe" "$E2E_OLD_VERSION" "$E2E_WORK/QarnIEx-$E2E_OLD_VERSION.msi" "$E2E_WORK/QarnIcons.dll" || return 1
        e2e_build_msi "$E2E_WORK/sendcontrol.exe" "$E2E_VERSION" "$E2E_WORK/QarnIEx-failing.msi" "" "$(dirname "$exe")" || return 1
        E2E_MSI_NEW_FILES=$(msiinfo export "$new" File | awk -F'\t' 'NR > 3 { print $3 }' | sed 's/.*|//' | LC_ALL=C sort)
        e2e_prefix_create "$exe" "$E2E_WORK/sendcontrol.exe" prefix-msi || return 1
        cp "$new" "$WINEPREFIX/drive_c/QarnTest/QarnIEx-new.msi" &&
            cp "$E2E_WORK/QarnIEx-$E2E_OLD_VERSION.msi" "$WINEPREFIX/drive_c/QarnTest/QarnIEx-old.msi" &&
            cp "$E2E_WORK/QarnIEx-failing.msi" "$WINEPREFIX/drive_c/QarnTest/QarnIEx-failing.msi"
    }
    started=$SECONDS
    if msi_setup; then
        echo "   ready after $((SECONDS - started)) s"
        run_case msi_install case_msi_install
        run_case msi_upgrade case_msi_upgrade
        run_case msi_uninstall_killed case_msi_uninstall_killed
        run_case msi_uninstall_frozen case_msi_uninstall_frozen
        run_case msi_failing_upgrade case_msi_failing old
        run_case msi_takeover case_msi_takeover
        run_case msi_failing_takeover case_msi_failing hand
        run_case msi_admin case_msi_admin
    else
        for name in "${msi_cases[@]}"; do
            echo "FAIL $name"
            echo "    the package or its Wine prefix could not be set up"
            failed=$((failed + 1))
        done
    fi
fi

summary
