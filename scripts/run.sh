#!/usr/bin/env bash
# The service's job, shown on a machine without Windows: installs what is
# missing, cross-builds QarnIEx.exe and QarnIExplain.exe, sets up a throw-away
# Wine prefix with two simulated card-reader drives (R: and S:) and a USB
# stick of another vendor (T:), installs and starts the service, and says for
# every drive what the service did and why (the reasons are QarnIExplain's),
# with the icon keys it wrote. Then it stops the service, shows that the keys
# are gone, and prints the service's trace and events (event texts from the
# exe's own message table).
#
# Where this machine runs no 32-bit programs (QarnIEx.exe and the 32-bit Wine
# loader are such; see qx_probe_32bit in scripts/common.sh) it says so in one
# line, shows the same on the 64-bit test build under 64-bit Wine (labelled:
# never shipped, and no WOW64 process, so its keys differ on most rows), then
# what the shipped exe would do: the same simulated machine, written as reg
# export files and explained by the Linux build of QarnIExplain, which runs
# the service's own start-up on them.
#
#   scripts/run.sh [winxp|winxp64|win2003|vista|win2008|win10]   (default vista)
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh   # qx_ensure_packages, qx_build_win32
source tests/e2e/lib.sh    # the Wine prefix, the simulated drives, traces, message texts

# Per Windows version: how that Windows records a USB volume in its mount
# records (Vista names the USB device itself; the others a removable-media
# volume), and in user words where the service's keys go on it.
x64_row="the 32-bit service writes into the 64-bit view, where the 64-bit Explorer looks for drive icons."
server_row="on server editions the 32-bit service writes into its own, 32-bit view; on 64-bit Server 2003 and 2008 Explorer is 64-bit and does not read that view's DriveIcons (QarnIExplain: NOT SHOWN)."
version=${1:-vista}
case $version in
    winxp) style=parentid name="Windows XP" row="32-bit Windows XP has one registry view; in this 64-bit Wine prefix the service's own view is the 32-bit one." ;;
    winxp64) style=parentid name="Windows XP x64" row="on 64-bit XP $x64_row" ;;
    win2003) style=parentid name="Windows Server 2003" row=$server_row ;;
    vista) style=instance name="Windows Vista x64" row="on 64-bit Vista $x64_row" ;;
    win2008) style=parentid name="Windows Server 2008" row=$server_row ;;
    win10) style=parentid name="Windows 10" row="from Windows 7 on the service writes into its own, 32-bit view, and Windows shares that key with the 64-bit view (this demo's prefix keeps them apart)." ;;
    *) echo "usage: $0 [winxp|winxp64|win2003|vista|win2008|win10]" >&2; exit 2 ;;
esac
# The one row where a reader drive gets no icon of its own, by design.
no_icon_row="by design, on 64-bit XP the service writes no DefaultIcon: reader drives get their label and Explorer's standard drive icon."

die() { echo "demo failed: $*" >&2; exit 1; }

# QarnIExplain's report in short, per simulated drive: its verdict and what
# the service writes for it, in the given tense ("wrote" or "would write").
drive_stories() { # explanation verb
    awk -v verb="$2" '
        function flush() {
            if (letter == "") return
            printf "   %s  %s\n", letter, verdict
            if (verdict ~ /^(ICON|NOT SHOWN) /) {
                printf "                the service %s label %s and %s\n", verb, label,
                       icon == "" ? "no icon path: Explorer shows its standard drive icon" : "icon " icon
                if (verdict ~ /^NOT SHOWN /)
                    printf "                in a view Explorer does not read: the drive shows neither\n"
            } else
                printf "                the service %s nothing for it\n", verb
            letter = ""
        }
        /^[R-T]:  / { flush(); letter = substr($0, 1, 2); verdict = substr($0, 5); label = icon = ""; next }
        /^[D-Z]:  / { flush(); next }
        letter != "" && match($0, /writes DefaultLabel = /) { label = substr($0, RSTART + RLENGTH) }
        letter != "" && match($0, /writes DefaultIcon = "/) { icon = substr($0, RSTART + RLENGTH); sub(/"$/, "", icon) }
        END { flush() }' <<<"$1"
}

# The demo where no 32-bit program runs: QarnIExplain's Linux build on reg
# export files of the same simulated machine.
explain_without_wine() {
    local windows explanation
    case $version in
        winxp) windows=(--windows xp) ;;
        winxp64) windows=(--windows xp-x64) ;;
        win2003) windows=(--windows 2003 --wow64) ;;
        vista) windows=(--windows vista --wow64) ;;
        win2008) windows=(--windows 2008 --wow64) ;;
        win10) windows=(--windows 10 --wow64) ;;
    esac
    echo "== The shipped, 32-bit QarnIEx.exe on the same machine, told without Wine"
    echo
    echo "== Native build of QarnIExplain (build/native)"
    if ! { cmake -S . -B build/native -G "$(qx_generator)" && cmake --build build/native --target QarnIExplain; } \
            >"$E2E_WORK/build.log" 2>&1; then
        tail -n 30 "$E2E_WORK/build.log" >&2
        die "the native build of QarnIExplain failed"
    fi
    echo "   build/native/QarnIExplain is up to date"
    echo
    echo "== The simulated machine as reg export files (MountedDevices and USBSTOR of $name)"
    e2e_simulated_reg_files "$style" "$E2E_WORK" || die "the reg files could not be written"
    printf '   %-7s %-46s %s\n' Drive "USB storage device" "What it is" \
        R: "$E2E_DEV_R" "card reader, KA slot" \
        S: "$E2E_DEV_S" "card reader, KC/KB slot" \
        T: "$E2E_DEV_T" "USB stick of another vendor"
    echo "   service at $E2E_EXE_WIN"
    echo
    echo "== What the service would do with each drive, and why (QarnIExplain: the service's own start-up on those files; no service runs)"
    echo "> QarnIExplain ${windows[*]} --removable RST --service-dir '$E2E_INSTALL_DIR' mounted.reg usbstor.reg"
    # 3: a report, but the readers' keys are in a view Explorer does not read.
    explanation=$(build/native/QarnIExplain "${windows[@]}" --removable RST --service-dir "$E2E_INSTALL_DIR" \
                      "$E2E_WORK/mounted.reg" "$E2E_WORK/usbstor.reg")
    case $? in 0 | 3) ;; *) die "QarnIExplain failed: $explanation" ;; esac
    drive_stories "$explanation" "would write"
    echo "   Registry view: $row"
    [ "$version" = winxp64 ] && echo "   No icon path: $no_icon_row"
    echo
    echo "== QarnIExplain's full report"
    sed 's/^/   /' <<<"$explanation"
}

E2E_WORK=
finish() {
    if [ -n "$E2E_WORK" ]; then
        [ -n "${WINEPREFIX:-}" ] && e2e_server_stop
        rm -rf "$E2E_WORK"
    fi
}
trap finish EXIT
trap 'exit 130' INT TERM

build=build/win32 build_cmd=(qx_build_win32) live_row=$row
if qx_runs_32bit; then
    echo "QarnIEx under Wine, pretending to be $name ($version)"
else
    echo "QarnIEx.exe is a 32-bit program and cannot run here: $QX_32BIT_WHY; $QX_32BIT_REMEDY."
    echo "Shown instead: its 64-bit TEST BUILD (never shipped) under 64-bit Wine, pretending to be $name ($version);"
    echo "then what the shipped 32-bit service would do there, told by QarnIExplain without Wine."
    build=build/win64-tests build_cmd=(qx_build_win32_tests x86_64 QarnIEx QarnIExplain)
    e2e_use_wine64
    MINGW_PREFIX=x86_64-w64-mingw32  # its windres reads the 64-bit exe's message table
    live_row="this 64-bit test build is no WOW64 process: it writes its own, 64-bit view on every row, and gives XP x64 its icon too. What the shipped 32-bit service writes follows at the end."
fi
echo
echo "== Packages"
qx_ensure_packages || die "the packages could not be installed"
echo
echo "== Cross build of QarnIEx.exe and QarnIExplain.exe ($build)"
E2E_WORK=$(mktemp -d) || die "no temp folder"
if ! "${build_cmd[@]}" >"$E2E_WORK/build.log" 2>&1; then
    tail -n 30 "$E2E_WORK/build.log" >&2
    die "the cross build failed"
fi
for f in QarnIEx.exe QarnIExplain.exe; do
    [ -f "$build/$f" ] || die "no $build/$f"
done
e2e_message_texts $build/QarnIEx.exe >"$E2E_WORK/messages.txt" || die "the message table of QarnIEx.exe could not be read"
echo "   $build/QarnIEx.exe and $build/QarnIExplain.exe are up to date"

echo
echo "== Wine prefix with simulated drives (first boot takes a while)"
e2e_prefix_create $build/QarnIEx.exe "" || die "the Wine prefix could not be set up"
cp $build/QarnIExplain.exe "$WINEPREFIX/drive_c/Qarn/" || die "QarnIExplain.exe could not be copied"
e2e_session_start "$E2E_WORK/trace.log" 2>"$E2E_WORK/session.err" || die "Wine did not boot: $(cat "$E2E_WORK/session.err")"
e2e_set_version "$version" || die "could not set the Windows version"
e2e_simulate_readers "$style" || die "the simulated drives could not be written"
printf '   %-7s %-46s %s\n' Drive "USB storage device" "What it is" \
    R: "$E2E_DEV_R" "card reader, KA slot" \
    S: "$E2E_DEV_S" "card reader, KC/KB slot" \
    T: "$E2E_DEV_T" "USB stick of another vendor"
echo "   Windows version: $version; service at $E2E_EXE_WIN"

# Trace records (see e2e_trace_records) in words: each trace line with the
# thread that wrote it, status handles in hex and states and control codes by
# name; each event as "event <id> (<type>): <text>", the text from the exe's
# message table with its inserts filled in. "events": the events only.
describe_records() { # records [events]
    awk -F'|' -v messages="$E2E_WORK/messages.txt" -v only="${2:-}" '
        BEGIN { while ((getline line < messages) > 0) {
                    i = index(line, "\t"); words = substr(line, i + 1); sub(/\\r\\n$/, "", words)
                    msg[substr(line, 1, i - 1)] = words }
                type[1] = "error"; type[2] = "warning"; type[4] = "information"
                split("STOPPED START_PENDING STOP_PENDING RUNNING CONTINUE_PENDING PAUSE_PENDING PAUSED", state, " ")
                split("STOP PAUSE CONTINUE INTERROGATE SHUTDOWN", control, " ")
                control[11] = "DEVICEEVENT" }
        { n++; kind[n] = $4; text[n] = $5; tid[n] = $3; pid[n] = $2 }
        $4 == "T" && $5 == "Calling StartServiceCtrlDispatcher()" { thread[$2 "|" $3] = "main" }
        $4 == "T" && $5 == "Entering CNTService::ServiceMain()" { thread[$2 "|" $3] = "service" }
        $4 == "T" && $5 ~ /^CNTService::Handler\(/ && !(($2 "|" $3) in thread) { thread[$2 "|" $3] = "handler" }
        function named_status(s,   open, args, a) {
            open = index(s, "("); args = substr(s, open + 1, length(s) - open - 1); split(args, a, ", ")
            return substr(s, 1, open) sprintf("0x%X", a[1]) ", " (a[2] in state ? state[a[2]] : a[2]) ")"
        }
        function event(i,   e, words, j, p) {
            split(text[i], e, " ")
            words = (e[2] in msg) ? msg[e[2]] : "(no text in the message table)"
            for (j = i + 1; j <= n && kind[j] == "I" && tid[j] == tid[i]; j++)
                if (p = index(words, "%" (j - i))) words = substr(words, 1, p - 1) text[j] substr(words, p + 2)
            return "event " e[2] " (" (e[1] in type ? type[e[1]] : "type " e[1]) "): " words
        }
        END {
            for (i = 1; i <= n; i++) {
                if (kind[i] == "T") {
                    line = text[i]
                    if (line ~ /^(CNTService::SetStatus|Updating status ?)\([0-9]+, [0-9]+\)$/) line = named_status(line)
                    else if (match(line, /^CNTService::Handler\([0-9]+\)$/)) {
                        c = substr(line, 21, length(line) - 21)
                        if (c in control) line = "CNTService::Handler(SERVICE_CONTROL_" control[c] ")"
                    }
                    if (only != "") continue
                } else if (kind[i] == "E") line = event(i)
                else continue
                if (only != "") printf "   %s\n", line
                else printf "   %-8s %s\n", thread[pid[i] "|" tid[i]], line
            }
        }' <<<"$1"
}
# A console command of the service, with its output and its events.
console() { # args...
    echo "> QarnIEx.exe $*"
    E2E_TRACE_TO="$E2E_WORK/console.log" e2e_wine_text "$E2E_EXE_WIN" "$@" | sed 's/^/   /'
    describe_records "$(e2e_trace_records "$E2E_WORK/console.log" inserts)" events
    rm -f "$E2E_WORK/console.log"
}

echo
console -i
echo "> sc start QarnIEx"
e2e_wine sc start "$E2E_SERVICE" >/dev/null 2>&1
e2e_wait_state 4 30 || die "the service did not start (state $(e2e_svc_state))"
echo "   RUNNING"

# What QarnIExplain.exe says, per drive: its verdict, and for a reader the
# label and icon the service writes.
echo
echo "== What the service did with each drive, and why (as QarnIExplain.exe tells it)"
explanation=$(e2e_wine_text 'C:\Qarn\QarnIExplain.exe')
case $? in 0 | 3) ;; *) die "QarnIExplain.exe failed: $explanation" ;; esac
drive_stories "$explanation" wrote
view=$(awk '$1 == "Registry" && $2 == "view" { print ($3 == "64-bit" ? 64 : 32); exit }' <<<"$explanation")
[ -n "$view" ] || die "QarnIExplain.exe did not name the registry view:"$'\n'"$explanation"
[ $build = build/win32 ] || view=64  # "the process's own" view of a 64-bit process

# One table row per letter key: letter, label, icon path.
icon_table() { # view
    e2e_reg_dump "$E2E_DRIVEICONS" "$1" | awk -F'|' '
        /^key / { k = substr($1, 5); if (index(k, "\\") == 0) letters[k] = 1 }
        /^val / { k = substr($1, 5)
                  if (k ~ /\\DefaultLabel$/ && $2 == "(Default)") label[substr(k, 1, 1)] = $4
                  if (k ~ /\\DefaultIcon$/ && $2 == "(Default)") icon[substr(k, 1, 1)] = $4 }
        END { n = 0
              for (l in letters) n++
              if (n == 0) { print "   (no icon keys)"; exit }
              printf "   %-7s %-10s %s\n", "Letter", "Label", "Icon"
              for (i = 1; i <= 26; i++) { l = substr("ABCDEFGHIJKLMNOPQRSTUVWXYZ", i, 1)
                  if (l in letters) printf "   %-7s %-10s %s\n", l ":", label[l], (l in icon ? icon[l] : "none (no DefaultIcon key)") } }'
}

echo
echo "== Icon keys under HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons (${view}-bit view)"
icon_table "$view"
other=32
[ "$view" = 32 ] && other=64
echo "   and in the ${other}-bit view:"
icon_table "$other"
echo "   Registry view: $live_row"
[ "$version" = winxp64 ] && [ $build = build/win32 ] && echo "   No icon path: $no_icon_row"

echo
echo "> sc stop QarnIEx"
e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
e2e_wait_state 1 30 || die "the service did not stop (state $(e2e_svc_state))"
echo "   STOPPED"
echo
echo "== Icon keys after the stop (${view}-bit view)"
icon_table "$view"

echo
echo "== The service's trace (OutputDebugString) and events, with the thread that wrote each"
echo "   (main: the process's main thread, in the dispatcher; service: the service thread; handler: the stop request's)"
sleep 1
records=$(e2e_trace_records "$E2E_WORK/trace.log" inserts)
describe_records "$records"
if awk -F'|' '$4 == "T" && $5 ~ /^CNTService::Handler\(/ { h = $3 } $4 == "T" && $5 == "Calling StartServiceCtrlDispatcher()" { m = $3 }
              END { exit !(h != "" && h != m) }' <<<"$records"; then
    echo "   Under Wine the stop request runs on a thread of its own (on Windows, on the main thread), and after"
    echo "   STOPPED the main thread's and the service thread's last lines race: their order varies from run to run."
fi

echo
console -u

if [ $build != build/win32 ]; then
    echo
    explain_without_wine
fi
