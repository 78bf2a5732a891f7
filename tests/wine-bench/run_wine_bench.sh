#!/usr/bin/env bash
# Wine benchmark of the real QarnIEx.exe, run as a service of Wine's service
# control manager in one 64-bit prefix (the end-to-end suite's mechanics,
# tests/e2e/lib.sh):
#
#  1. start-up scan time on BENCH_KEYS USBSTOR device keys (default 1,000:
#     999 foreign sticks and one card reader, whose key sorts last) and one
#     removable reader drive, against floor.exe, which makes the same
#     registry calls and nothing else; median of BENCH_RUNS runs (default 7),
#     the two interleaved; with each run the CPU time and run-queue wait of
#     the thread that scans (Linux schedstat);
#  1b. the same on a bracket both programs share, in a session that traces
#     the registry (Wine's +reg channel, both programs alike): from the
#     scanning thread's first registry call to its "QarnHMD" write, and the
#     USBSTOR walk inside it; BENCH_REG_RUNS runs each (default 5; 0 skips);
#  2. peak resident memory (VmHWM) of the service process after the start-up
#     scan with 10 and with 10,000 device keys (BENCH_MEM_KEYS, BENCH_MEM_RUNS);
#  3. wake-ups of the idle service: every system call of each of its threads
#     over BENCH_WAKE_SECONDS (default 5; 0 skips), recorded with strace.
#
#   tests/wine-bench/run_wine_bench.sh [path/to/QarnIEx.exe]
#
# Without an argument it cross-builds build/win32/QarnIEx.exe first.
# BENCH_KEEP=1 keeps the work folder (prefix, trace, outputs). Not part of
# scripts/test.sh: a benchmark, not a test. Takes about 6 minutes.
#
# The service's time is read from its own trace (WINEDEBUG=+timestamp,
# millisecond resolution): from "Entering CNTService::Initialize()" to the
# "CNTService::SetStatus(.., 4)" line after OnInit, and more narrowly from the
# "SetStatus(.., 2)" line to Wine's RegisterEventSourceA message, the first
# thing after OnInit returns. Version: Wine's default (Windows 10), so the
# parent-id variant without the 64-bit view flag.
set -uo pipefail

BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$BENCH_DIR/../.." && pwd)
source "$ROOT/tests/e2e/lib.sh"

BENCH_KEYS=${BENCH_KEYS:-1000}
BENCH_RUNS=${BENCH_RUNS:-7}
BENCH_MEM_KEYS=${BENCH_MEM_KEYS:-"10 10000"}
BENCH_MEM_RUNS=${BENCH_MEM_RUNS:-3}
BENCH_WAKE_SECONDS=${BENCH_WAKE_SECONDS:-5}
BENCH_REG_RUNS=${BENCH_REG_RUNS:-5}

# The reader: a "KC Slot Module" (row "KC Media", icon 5) on letter R.
READER_DEV='Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_1.00'
READER_INST='0123456789&0'
READER_PIP='7&1a2b3c4d&0'
READER_LABEL='KC Media'
READER_ICON='C:\Qarn\QarnIcons.dll,5'
TRACE_FLAGS=+pid,+timestamp,+eventlog,+debugstr

die() {
    echo "wine-bench: $*" >&2
    exit 1
}

cleanup() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX:-}" ] && e2e_server_stop
    if [ "${BENCH_KEEP:-0}" = 1 ]; then
        echo "work folder kept: $E2E_WORK"
    else
        rm -rf "$E2E_WORK"
    fi
}

qx_runs_32bit || die "$QX_32BIT_WHY: the benchmark runs the 32-bit QarnIEx.exe; $QX_32BIT_REMEDY"
for tool in wine wineserver wineboot i686-w64-mingw32-gcc timeout pgrep; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done

exe=$(e2e_resolve_exe "${1:-}") || die "no executable to test"

E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/qarn-bench.XXXXXX") || die "no temp folder"
trap cleanup EXIT
trap 'exit 130' INT TERM

for prog in "$ROOT/tests/e2e/sendcontrol.c" "$BENCH_DIR/floor.c"; do
    i686-w64-mingw32-gcc -std=c99 -O2 -Wall -Wextra -Werror -static-libgcc \
        -o "$E2E_WORK/$(basename "$prog" .c).exe" "$prog" -ladvapi32 ||
        die "$(basename "$prog") did not build"
done

# ---------------------------------------------------------------- prefix

echo "== Wine prefix in $E2E_WORK"
e2e_prefix_create "$exe" "$E2E_WORK/sendcontrol.exe" || die "the Wine prefix could not be set up"
cp "$E2E_WORK/floor.exe" "$WINEPREFIX/drive_c/QarnTest/floor.exe" || die "floor.exe not copied"
# R is the only removable letter: the scan examines exactly one drive.
e2e_server_start
for l in s t; do
    e2e_reg delete 'HKLM\Software\Wine\Drives' /v "$l:" /f /reg:64
    rm -f "$WINEPREFIX/dosdevices/$l:"
done
e2e_server_stop
echo "   drives: $(cd "$WINEPREFIX/dosdevices" && ls -d ?: | tr '\n' ' ')"

# Boots a session whose services write their traces to the given file with
# the given channels; returns once the mount manager has written R's record.
session_start() { # trace-file winedebug
    local deadline
    e2e_server_start || return 1
    WINEDEBUG=$2 timeout "$E2E_WINE_TIMEOUT" wine cmd /c exit </dev/null >/dev/null 2>"$1" ||
        return 1
    deadline=$((SECONDS + 30))
    until [ -n "$(e2e_reg_value "$E2E_MOUNTED" '\DosDevices\R:' 64)" ]; do
        [ $SECONDS -lt $deadline ] || { echo "mount manager wrote no record for R:" >&2; return 1; }
        sleep 0.5
    done
}

# USBSTOR with n device keys: n - 1 foreign sticks with one instance each,
# then the reader, whose name sorts after theirs. One .reg file, imported at
# once.
load_keys() { # n
    local n=$1 reg="$WINEPREFIX/drive_c/QarnTest/keys.reg" count
    awk -v n="$n" -v base='HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USBSTOR' \
        -v dev="$READER_DEV" -v inst="$READER_INST" -v pip="$READER_PIP" 'BEGIN {
            printf "REGEDIT4\r\n\r\n"
            for (i = 1; i < n; i++) {
                d = sprintf("Disk&Ven_Generic%05d&Prod_USB_Flash_Disk&Rev_1.00", i)
                printf "[%s\\%s\\AA%010d&0]\r\n\"ParentIdPrefix\"=\"8&%08x&0\"\r\n\r\n", base, d, i, i
            }
            printf "[%s\\%s\\%s]\r\n\"ParentIdPrefix\"=\"%s\"\r\n\r\n", base, dev, inst, pip
        }' >"$reg" || return 1
    e2e_reg delete "$E2E_USBSTOR" /f /reg:64
    e2e_wine regedit /s 'C:\QarnTest\keys.reg' >/dev/null 2>&1 || return 1
    count=$(e2e_wine_text reg query "$E2E_USBSTOR" /reg:64 | grep -c '^HKEY_LOCAL_MACHINE\\.*USBSTOR\\')
    [ "$count" = "$n" ] || { echo "USBSTOR holds $count device keys, not $n" >&2; return 1; }
}

# Unix pid of the running service process.
service_unix_pid() {
    pgrep -f '^C:\\Qarn\\QarnIEx\.exe' | head -n 1
}

RUN_LABELS=()
MEM_LINES=()
SVC_THREAD=()

# CPU time and run-queue wait (microseconds, "cpu runq") of the service's
# thread that ran ServiceMain, and so the start-up scan: Wine names it
# "wine_sechost_service" (cut to 15 characters). Read once Initialize has
# left; the thread then only wakes once a second.
scan_thread_times() {
    local pid t
    pid=$(service_unix_pid)
    for t in /proc/$pid/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = wine_sechost_se ] || continue
        awk '{ printf "%.0f %.0f", $1 / 1000, $2 / 1000 }' "$t/schedstat"
        return
    done
    echo "-1 -1"
}

# One start and stop of the service; the trace gets one more process.
# mem=1: VmHWM and VmRSS after the start-up scan; wake=1: strace of the idle
# service.
service_run() { # label mem wake
    local label=$1 mem=$2 wake=$3 pid n deadline
    n=$((${#RUN_LABELS[@]} + 1))
    # No Wine process may run beside the scan (an "sc query" poll costs more
    # CPU than the scan itself): wait on the trace file alone until the
    # start-up is over.
    sleep 1
    e2e_wine sc start "$E2E_SERVICE" >/dev/null 2>&1 || die "sc start failed ($label)"
    deadline=$((SECONDS + 30))
    until [ "$(e2e_trace_records "$TRACE" | awk -F'|' '$4 == "T" && $5 == "Leaving CNTService::Initialize()"' | wc -l)" -ge "$n" ]; do
        [ $SECONDS -lt $deadline ] || die "no end of Initialize in the trace ($label)"
        sleep 0.3
    done
    RUN_LABELS+=("$label")
    SVC_THREAD+=("$(scan_thread_times)")
    e2e_wait_state 4 30 || die "the service did not reach RUNNING ($label)"
    [ "$(e2e_reg_value "$E2E_DRIVEICONS\\R" QarnHMD 32)" = "REG_SZ|$READER_LABEL" ] ||
        die "the service did not mark R ($label)"
    if [ "$mem" = 1 ] || [ "$wake" = 1 ]; then
        sleep 1
        pid=$(service_unix_pid)
        [ -n "$pid" ] || die "no QarnIEx.exe process found ($label)"
    fi
    if [ "$mem" = 1 ]; then
        MEM_LINES+=("$label $(awk '$1 == "VmHWM:" { h = $2 } $1 == "VmRSS:" { r = $2 } END { print h, r }' "/proc/$pid/status")")
    fi
    if [ "$wake" = 1 ]; then
        local tids
        tids=$(ls "/proc/$pid/task" | sed 's/^/-p /' | tr '\n' ' ')
        # shellcheck disable=SC2086
        timeout -s INT "$BENCH_WAKE_SECONDS" strace -f -tt -o "$E2E_WORK/wake.strace" $tids 2>/dev/null
        WAKE_PID=$pid
    fi
    e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
    e2e_wait_state 1 30 || die "the service did not stop ($label)"
    e2e_wait_no_process 30 || die "the service process did not end ($label)"
    [ -z "$(e2e_reg_value "$E2E_DRIVEICONS\\R" QarnHMD 32)" ] || die "the stop left R marked ($label)"
}

FLOOR_US=()
FLOOR_THREAD=()
DRIVE_US=()
DBCS_US=()
HEAP_US=()
floor_run() { # [winedebug trace-file]: the registry session's run, untimed here
    local out flags=${1:-$TRACE_FLAGS} err=${2:-$E2E_WORK/floor.err}
    sleep 1
    [ -z "${2:-}" ] || echo "=== floor run" >>"$err"
    out=$(WINEDEBUG=$flags timeout "$E2E_WINE_TIMEOUT" wine 'C:\QarnTest\floor.exe' R "$READER_DEV" \
        "$READER_PIP" "$READER_LABEL" "$READER_ICON" </dev/null 2>>"$err" | tr -d '\r')
    [[ "$out" == *" found=1"* ]] || die "floor.exe did not find the reader: $out"
    [ -z "${2:-}" ] || return 0
    FLOOR_CALLS=$(sed -n 's/.* calls=\([0-9]*\).*/\1/p' <<<"$out")
    FLOOR_US+=("$(sed -n 's/^floor_us=\([0-9]*\).*/\1/p' <<<"$out")")
    FLOOR_THREAD+=("$(sed -n 's/^cpu_us=\(-*[0-9]*\) runq_us=\(-*[0-9]*\).*/\1 \2/p' <<<"$out")")
    DRIVE_US+=("$(sed -n 's/^drivetype_us=\([0-9]*\).*/\1/p' <<<"$out")")
    DBCS_US+=("$(sed -n 's/.* dbcs_us=\([0-9]*\).*/\1/p' <<<"$out")")
    HEAP_US+=("$(sed -n 's/.* heap_us=\([0-9]*\).*/\1/p' <<<"$out")")
}

# One start and stop of the service in the registry session (trace on $1).
reg_service_run() { # trace-file
    local n deadline
    n=$(grep -cF 'Leaving CNTService::Initialize()' "$1")
    sleep 1
    e2e_wine sc start "$E2E_SERVICE" >/dev/null 2>&1 || die "sc start failed (registry session)"
    deadline=$((SECONDS + 30))
    until [ "$(grep -cF 'Leaving CNTService::Initialize()' "$1")" -gt "$n" ]; do
        [ $SECONDS -lt $deadline ] || die "no end of Initialize in the trace (registry session)"
        sleep 0.3
    done
    e2e_wait_state 4 30 || die "the service did not reach RUNNING (registry session)"
    e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
    e2e_wait_state 1 30 && e2e_wait_no_process 30 || die "the service did not stop (registry session)"
}

# Milliseconds per run from Wine's +reg lines (1 ms resolution): "service" or
# "floor", first registry call to the "QarnHMD" write of the scanning thread
# (span), and inside it the stretch before the first USBSTOR call (pre) and
# the USBSTOR walk (walk: first USBSTOR call to last enumeration). For the
# service the thread is the one that wrote "Entering CNTService::Initialize()",
# its first call the first after its START_PENDING report; for the floor its
# first call opens the key of letter D.
reg_brackets() { # service-trace floor-trace
    awk -F: '
        function out(kind, a, u, e, z) { printf "%s %.0f %.0f %.0f\n", kind, (z - a) * 1000, (u - a) * 1000, (e - u) * 1000 }
        FILENAME == ARGV[2] {
            if (/^=== floor run/) { if (fa) out("floor", fa, fu, fe, fz); fa = fu = fe = fz = 0; fp = ""; next }
            if (fp == "" && index($0, "DriveIcons\\\\D\"") && index($0, ":trace:reg:NtOpenKeyEx (")) { fp = $2; fa = $1 }
            if (fp == "" || $2 != fp || fz) next
            if (!fu && index($0, "USBSTOR\"")) fu = $1
            if (index($0, ":trace:reg:RegEnumKeyExA")) fe = $1
            if (index($0, ":trace:reg:NtSetValueKey") && index($0, "QarnHMD")) fz = $1
            next
        }
        index($0, "Entering CNTService::Initialize()") { if (sa) out("service", sa, su, se, sz); sp = $2; st = $3; pend = 0; sa = su = se = sz = 0; next }
        $2 != sp || $3 != st || sz { next }
        !pend && index($0, "SetStatus(") && index($0, ", 2)") { pend = 1; next }
        pend && !sa && index($0, ":trace:reg:") { sa = $1 }
        sa && !su && index($0, "USBSTOR\"") { su = $1 }
        sa && index($0, ":trace:reg:RegEnumKeyExA") { se = $1 }
        sa && index($0, ":trace:reg:NtSetValueKey") && index($0, "QarnHMD") { sz = $1 }
        END { if (sa) out("service", sa, su, se, sz); if (fa) out("floor", fa, fu, fe, fz) }' "$1" "$2"
}

# The session's state for the runs: no service, n device keys, R's mount
# record, the service installed.
prepare() { # n
    e2e_reset_state || die "the state could not be reset"
    e2e_write_mount_record R parentid "$READER_DEV" "$READER_INST" "$READER_PIP" || die "no mount record for R"
    [ "$(e2e_reg_value "$E2E_MOUNTED" '\DosDevices\R:' 64)" = \
        "REG_BINARY|$(e2e_utf16_hex "$(e2e_mount_text parentid "$READER_DEV" "$READER_INST" "$READER_PIP")")" ] ||
        die "R's mount record did not stick"
    load_keys "$1" || die "device keys not loaded"
    local out
    out=$(WINEDEBUG=-all timeout "$E2E_WINE_TIMEOUT" wine "$E2E_EXE_WIN" -i </dev/null 2>/dev/null | tr -d '\r')
    [ "$out" = "QarnIEx installed" ] || die "install failed: $out"
}

# Wine's +reg lines (ntdll level: NtOpenKeyEx, NtCreateKey, NtQueryValueKey,
# NtSetValueKey with key paths, access masks and buffer sizes) of a stretch of
# one process, handles and addresses masked.
reg_calls() { # trace-file pid(hex) start-regex end-regex
    awk -F: -v p="$2" -v a="$3" -v b="$4" '
        $2 != p { next }
        !on && $0 ~ a { on = 1; next }
        on && $0 ~ b { exit }
        on && index($0, ":trace:reg:Nt") { sub(/^.*:trace:reg:/, ""); gsub(/0x[0-9a-f]+/, "H"); print }' "$1"
}

# The registry calls of the service's start-up (from its START_PENDING report
# to the end of OnInit) against those of floor.exe, on 3 device keys, in a
# session of its own that traces the registry.
verify_calls() {
    local vt=$E2E_WORK/verify.trace ft=$E2E_WORK/verify-floor.trace pid deadline
    session_start "$vt" +pid,+timestamp,+reg,+eventlog,+debugstr || die "the Wine session did not boot"
    prepare 3
    e2e_wine sc start "$E2E_SERVICE" >/dev/null 2>&1 || die "sc start failed (verify)"
    deadline=$((SECONDS + 30))
    until e2e_trace_records "$vt" | grep -q '|T|Leaving CNTService::Initialize()$'; do
        [ $SECONDS -lt $deadline ] || die "no end of Initialize in the trace (verify)"
        sleep 0.3
    done
    e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
    e2e_wait_state 1 30 && e2e_wait_no_process 30 || die "the service did not stop (verify)"
    e2e_wine "$E2E_EXE_WIN" -u >/dev/null 2>&1
    WINEDEBUG=+pid,+timestamp,+reg timeout "$E2E_WINE_TIMEOUT" wine 'C:\QarnTest\floor.exe' R "$READER_DEV" \
        "$READER_PIP" "$READER_LABEL" "$READER_ICON" </dev/null >/dev/null 2>"$ft" || die "floor.exe failed (verify)"
    e2e_server_stop
    pid=$(awk -F: 'index($0, "Entering CNTService::Initialize()") { print $2; exit }' "$vt")
    reg_calls "$vt" "$pid" 'SetStatus[(][0-9]+, 2[)]' 'RegisterEventSourceA' >"$E2E_WORK/verify-service.calls"
    # The floor's stretch: from its first call (the letter key of D) to its
    # first delete; ".." stands for the two backslashes Wine prints.
    pid=$(awk -F: '/DriveIcons..D"/ { print $2; exit }' "$ft")
    { grep -m 1 'DriveIcons..D"' "$ft" | sed 's/^.*:trace:reg://; s/0x[0-9a-f]*/H/g'
      reg_calls "$ft" "$pid" 'DriveIcons..D"' ',10000,'; } >"$E2E_WORK/verify-floor.calls"
    if [ -s "$E2E_WORK/verify-service.calls" ] && cmp -s "$E2E_WORK/verify-service.calls" "$E2E_WORK/verify-floor.calls"; then
        VERIFY="identical ($(grep -vc '<-' "$E2E_WORK/verify-service.calls") ntdll registry calls on 3 device keys)"
    else
        VERIFY="DIFFERENT (service: $(wc -l <"$E2E_WORK/verify-service.calls") lines, floor: $(wc -l <"$E2E_WORK/verify-floor.calls") lines):"$'\n'"$(diff "$E2E_WORK/verify-service.calls" "$E2E_WORK/verify-floor.calls" | head -20)"
    fi
    echo "   registry calls of the service's start-up and of floor.exe: $VERIFY"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---------------------------------------------------------------- runs

echo "== call check: service against floor.exe under Wine's +reg trace"
verify_calls

TRACE=$E2E_WORK/trace.log
echo "== session"
session_start "$TRACE" "$TRACE_FLAGS" || die "the Wine session did not boot"
prepare "$BENCH_KEYS"

echo "== start-up scan, $BENCH_KEYS device keys, $BENCH_RUNS runs of the service and of the floor"
for ((r = 1; r <= BENCH_RUNS; r++)); do
    service_run "scan $BENCH_KEYS" 0 0
    floor_run
done

first_mem=1
for n in $BENCH_MEM_KEYS; do
    echo "== memory, $n device keys, $BENCH_MEM_RUNS runs"
    load_keys "$n" || die "device keys not loaded"
    for ((r = 1; r <= BENCH_MEM_RUNS; r++)); do
        wake=0
        if [ $first_mem = 1 ] && [ "$BENCH_WAKE_SECONDS" != 0 ] && command -v strace >/dev/null; then
            wake=1
        fi
        first_mem=0
        service_run "mem $n" 1 "$wake"
    done
done

e2e_wine "$E2E_EXE_WIN" -u >/dev/null 2>&1

REG_LINES=()
if [ "$BENCH_REG_RUNS" -gt 0 ]; then
    echo "== registry session: $BENCH_KEYS device keys, $BENCH_REG_RUNS runs of each under +reg"
    e2e_server_stop
    REG_TRACE=$E2E_WORK/reg.trace
    session_start "$REG_TRACE" +pid,+timestamp,+reg,+eventlog,+debugstr || die "the registry session did not boot"
    prepare "$BENCH_KEYS"
    for ((r = 1; r <= BENCH_REG_RUNS; r++)); do
        reg_service_run "$REG_TRACE"
        floor_run +pid,+timestamp,+reg,+eventlog,+debugstr "$E2E_WORK/reg-floor.trace"
    done
    mapfile -t REG_LINES < <(reg_brackets "$REG_TRACE" "$E2E_WORK/reg-floor.trace")
    [ "$(printf '%s\n' "${REG_LINES[@]}" | grep -c '^service ')" = "$BENCH_REG_RUNS" ] &&
        [ "$(printf '%s\n' "${REG_LINES[@]}" | grep -c '^floor ')" = "$BENCH_REG_RUNS" ] ||
        die "registry session: brackets of ${#REG_LINES[@]} runs found for 2 x $BENCH_REG_RUNS"
    e2e_wine "$E2E_EXE_WIN" -u >/dev/null 2>&1
fi


# ---------------------------------------------------------------- figures

records=$(e2e_trace_records "$TRACE")
pids=($(awk -F'|' '$4 == "T" && $5 == "Entering CNTService::ServiceMain()" { print $2 }' <<<"$records"))
[ ${#pids[@]} -eq ${#RUN_LABELS[@]} ] ||
    die "${#pids[@]} service processes in the trace for ${#RUN_LABELS[@]} runs"

# Per run: label, Initialize-to-RUNNING and START_PENDING-to-OnInit-end in ms.
# Wine reuses process ids, so a run is told apart by its ServiceMain line, not
# by its pid alone.
mapfile -t run_ms < <(awk -F'|' '
    $4 == "T" && $5 == "Entering CNTService::ServiceMain()" { run[$2] = ++n }
    !($2 in run) { next }
    { r = run[$2] }
    $4 == "T" && $5 == "Entering CNTService::Initialize()" && !(r in a) { a[r] = $1 }
    $4 == "T" && $5 ~ /^CNTService::SetStatus\([0-9]+, 2\)$/ && !(r in b) { b[r] = $1 }
    $4 == "R" && !(r in c) { c[r] = $1 }
    $4 == "T" && $5 ~ /^CNTService::SetStatus\([0-9]+, 4\)$/ && !(r in d) { d[r] = $1 }
    END { for (r = 1; r <= n; r++) printf "%.0f|%.0f\n", (d[r] - a[r]) * 1000, (c[r] - b[r]) * 1000 }' <<<"$records")
TIMES=()
for i in "${!pids[@]}"; do
    TIMES+=("${RUN_LABELS[$i]}|${run_ms[$i]}")
done

echo
echo "== results (Wine $(wine --version 2>/dev/null), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo "   registry calls of the service's start-up and of floor.exe: $VERIFY"
printf '%s\n' "${TIMES[@]}" | awk -F'|' '{ printf "   service %-11s  Initialize->RUNNING %5d ms   START_PENDING->OnInit end %5d ms\n", $1, $2, $3 }'
printf '   floor   %-11s  %s\n' "scan $BENCH_KEYS" "$(printf '%s us  ' "${FLOOR_US[@]}")"
scan_times() { printf '%s\n' "${TIMES[@]}" | awk -F'|' -v l="scan $BENCH_KEYS" -v f="$1" '$1 == l { print $f }'; }
svc_ms=$(scan_times 2 | median)
svc2_ms=$(scan_times 3 | median)
floor_us=$(printf '%s\n' "${FLOOR_US[@]}" | median)
svc_min=$(scan_times 2 | sort -n | head -n 1)
svc2_min=$(scan_times 3 | sort -n | head -n 1)
floor_min=$(printf '%s\n' "${FLOOR_US[@]}" | sort -n | head -n 1)
ratio() { awk -v s="$1" -v f="$2" 'BEGIN { printf "%.2f", s * 1000 / f }'; }
echo
echo "   start-up scan, $BENCH_KEYS device keys, one reader drive ($BENCH_RUNS runs; median, fastest):"
echo "     floor ($FLOOR_CALLS registry calls)      $(awk -v f="$floor_us" -v m="$floor_min" 'BEGIN { printf "%.1f ms, %.1f ms", f / 1000, m / 1000 }')"
echo "     service, Initialize->RUNNING        $svc_ms ms, $svc_min ms   ratio $(ratio "$svc_ms" "$floor_us"), $(ratio "$svc_min" "$floor_min")"
echo "     service, START_PENDING->OnInit end  $svc2_ms ms, $svc2_min ms   ratio $(ratio "$svc2_ms" "$floor_us"), $(ratio "$svc2_min" "$floor_min")"
echo "     (target: ratio at most 1.2)"
echo "     beside the floor, timed by floor.exe (median): GetDriveTypeA for D to Z $(printf '%s\n' "${DRIVE_US[@]}" | median) us," \
    "IsDBCSLeadByte 50 times per device key $(printf '%s\n' "${DBCS_US[@]}" | median) us," \
    "one heap block per device key $(printf '%s\n' "${HEAP_US[@]}" | median) us"
thread_median() { printf '%s\n' "$@" | awk -v f="$THREAD_FIELD" '$f >= 0 { print $f }' | median; }
THREAD_FIELD=1 svc_cpu=$(thread_median "${SVC_THREAD[@]:0:$BENCH_RUNS}")
THREAD_FIELD=2 svc_runq=$(thread_median "${SVC_THREAD[@]:0:$BENCH_RUNS}")
THREAD_FIELD=1 floor_cpu=$(thread_median "${FLOOR_THREAD[@]}")
THREAD_FIELD=2 floor_runq=$(thread_median "${FLOOR_THREAD[@]}")
echo "     scanning thread (median, us): service CPU $svc_cpu, run-queue wait $svc_runq" \
    "(whole ServiceMain thread up to RUNNING); floor CPU $floor_cpu, run-queue wait $floor_runq (floor part)"
if [ ${#REG_LINES[@]} -gt 0 ]; then
    reg_field() { printf '%s\n' "${REG_LINES[@]}" | awk -v k="$1" -v f="$2" '$1 == k { print $f }'; }
    echo
    echo "   registry session (+reg, both alike; $BENCH_REG_RUNS runs each, ms; median):"
    for kind in service floor; do
        printf '     %-8s first registry call to QarnHMD %s  (median %s); before USBSTOR %s; USBSTOR walk %s\n' "$kind" \
            "$(reg_field $kind 2 | tr '\n' ' ')" "$(reg_field $kind 2 | median)" \
            "$(reg_field $kind 3 | median)" "$(reg_field $kind 4 | median)"
    done
    echo "     ratio service / floor: first call to QarnHMD $(awk -v s="$(reg_field service 2 | median)" \
        -v f="$(reg_field floor 2 | median)" 'BEGIN { printf "%.2f", s / f }'), USBSTOR walk" \
        "$(awk -v s="$(reg_field service 4 | median)" -v f="$(reg_field floor 4 | median)" 'BEGIN { printf "%.2f", s / f }')"
fi

if [ ${#MEM_LINES[@]} -gt 0 ]; then
    echo
    echo "   peak resident memory after the start-up scan (kB):"
    printf '%s\n' "${MEM_LINES[@]}" | awk '{ printf "     %-10s VmHWM %7d  VmRSS %7d\n", $1 " " $2, $3, $4 }'
    hwm=()
    for n in $BENCH_MEM_KEYS; do
        m=$(printf '%s\n' "${MEM_LINES[@]}" | awk -v n="$n" '$2 == n { print $3 }' | median)
        hwm+=("$m")
        echo "     median VmHWM with $n device keys: $m kB; Initialize->RUNNING:$(printf '%s\n' "${TIMES[@]}" | awk -F'|' -v l="mem $n" '$1 == l { printf " %d", $2 }') ms"
    done
    [ ${#hwm[@]} -ge 2 ] && awk -v a="${hwm[0]}" -v b="${hwm[${#hwm[@]} - 1]}" \
        'BEGIN { printf "     difference: %+.1f %% (target: within 5 %%)\n", (b - a) * 100 / a }'
fi

if [ -s "$E2E_WORK/wake.strace" ]; then
    echo
    echo "   idle service, strace of all its threads for $BENCH_WAKE_SECONDS s:"
    # A wake-up is the return of a call that blocked: a "resumed" line, or a
    # complete line of a waiting call.
    awk '
        { t = $1; seen[t] = 1 }
        / resumed>/ || (/^[0-9]+ [0-9:.]+ (pselect6|select|poll|ppoll|read|futex|epoll_wait|epoll_pwait|nanosleep|clock_nanosleep|recvmsg|wait4)\(/ && !/unfinished/) { w[t]++ }
        END { for (t in seen) { printf "     thread %s: %d wake-ups\n", t, w[t]; total += w[t] }
              printf "     all threads: %d wake-ups\n", total }' "$E2E_WORK/wake.strace" | sort
fi
