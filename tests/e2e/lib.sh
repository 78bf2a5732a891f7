# Wine mechanics shared by the end-to-end suite (run_e2e.sh) and the demo
# (scripts/run.sh). Sourced, not run. Every wine call is bounded by a timeout.
#
# A prefix holds the service at C:\Qarn\QarnIEx.exe and three removable
# letters: R and S (card reader slots) and T (a USB stick of another vendor).
# Wine makes a letter removable when HKLM\Software\Wine\Drives names it
# "floppy" and dosdevices/<letter>: links to a folder; the mount manager
# rewrites the "\DosDevices\X:" records of its drives at boot, so the reader
# records are written after every boot.
#
# Wine runs through E2E_WINE: the wine command, which takes the 32-bit loader,
# or after e2e_use_wine64 the 64-bit loader alone, for 64-bit programs where
# no 32-bit program runs (see qx_probe_32bit in scripts/common.sh).

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

E2E_WINE=${E2E_WINE:-wine}

e2e_use_wine64() {
    E2E_WINE=$QX_WINE64
    # Wine starts the programs of a prefix with WINELOADER.
    export WINELOADER=$QX_WINE64
}

# For a script that runs 32-bit programs: returns where they run; elsewhere
# says why and ends the script with its summary, the run counted as skipped
# (or, with QX_REQUIRE_32BIT=1, failed).
e2e_require_32bit() { # run name
    qx_runs_32bit && return 0
    qx_say_no_32bit
    echo
    if [ "${QX_REQUIRE_32BIT:-}" = 1 ]; then
        echo "FAIL $1: needs 32-bit programs"
        echo
        echo "0 passed, 1 failed"
        exit 1
    fi
    echo "SKIP $1"
    echo
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
}

E2E_SERVICE=QarnIEx
E2E_INSTALL_DIR='C:\Qarn'
E2E_EXE_WIN='C:\Qarn\QarnIEx.exe'
E2E_HELPER_WIN='C:\QarnTest\sendcontrol.exe'
E2E_DRIVEICONS='HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons'
# The 32-bit view's DriveIcons as seen from the 64-bit view.
E2E_DRIVEICONS32='HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons'
E2E_USBSTOR='HKLM\System\CurrentControlSet\Enum\USBSTOR'
E2E_MOUNTED='HKLM\System\MountedDevices'
E2E_EVENTSRC='HKLM\System\CurrentControlSet\Services\EventLog\Application\QarnIEx'
E2E_WINE_TIMEOUT=${E2E_WINE_TIMEOUT:-90}
# Wine's debug channels that carry the service's trace lines and events.
E2E_TRACE_CHANNELS=+pid,+timestamp,+eventlog,+debugstr

# The absolute path of the exe to test: the one given, or a fresh cross build
# of build/win32 (ROOT is the checkout).
e2e_resolve_exe() { # [path]
    local exe=${1:-}
    if [ -z "$exe" ]; then
        echo "== cross build (build/win32)" >&2
        (cd "$ROOT" && source scripts/common.sh && qx_build_win32 >/dev/null) || {
            echo "cross build failed" >&2
            return 1
        }
        exe=$ROOT/build/win32/QarnIEx.exe
    fi
    [ -f "$exe" ] || { echo "no executable at $exe" >&2; return 1; }
    echo "$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"
}

# The simulated devices. Reader R: "KA Slot Module" (label "KA Media", icon 0).
# Reader S: "LNK QX-KC/KB" (label "KB/KC", icon 3); its product field holds a
# '/', which the instance-path record carries as '#'. T: a plain USB stick.
E2E_DEV_R='Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_1.00'
E2E_INST_R='0123456789&0'
E2E_PIP_R='7&1a2b3c4d&0'
E2E_DEV_S='Disk&Ven_Qarn&Prod_LNK___QX-KC/KB&Rev_1.00'
E2E_INST_S='0000000000001&0'
E2E_PIP_S='7&2b3c4d5e&0'
E2E_DEV_T='Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07'
E2E_INST_T='AA00000000001&0'
E2E_PIP_T='7&3c4d5e6f&0'
# A KA reader seen once before under another serial and not plugged in now;
# it sorts before the present one, so a scan must look past it.
E2E_INST_R_OLD='0000000001&0'
E2E_PIP_R_OLD='7&0f0f0f0f&0'

E2E_GUID_DISK='{53f56307-b6bf-11d0-94f2-00a0c91efb8b}'
E2E_GUID_VOLUME='{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}'

# Runs a Windows program of the prefix, quietly, bounded. With E2E_TRACE_TO
# set, the program's trace lines and events are appended to that file.
e2e_wine() {
    if [ -n "${E2E_TRACE_TO:-}" ]; then
        WINEDEBUG=$E2E_TRACE_CHANNELS timeout "$E2E_WINE_TIMEOUT" "$E2E_WINE" "$@" </dev/null 2>>"$E2E_TRACE_TO"
    else
        WINEDEBUG=-all timeout "$E2E_WINE_TIMEOUT" "$E2E_WINE" "$@" </dev/null
    fi
}

# Same, with Wine's CR LF line ends made LF.
e2e_wine_text() {
    local out status
    out=$(e2e_wine "$@" 2>/dev/null)
    status=$?
    out=${out//$'\r'/}
    [ -z "$out" ] || printf '%s\n' "$out"
    return $status
}

e2e_reg() { e2e_wine reg "$@" >/dev/null 2>&1; }

# Normalised content of a key tree: "key <rel>" and "val <rel>|<name>|<type>|<data>"
# lines, sorted; <rel> is the path below the given key. Empty when it is missing.
e2e_reg_dump() { # key view(32|64)
    local key=$1 view=$2
    e2e_wine_text reg query "$key" /s "/reg:$view" 2>/dev/null |
        awk -v base="$key" '
            BEGIN { sub(/^HKLM\\/, "HKEY_LOCAL_MACHINE\\", base); n = length(base) }
            /^HKEY_/ {
                if (substr($0, 1, n) == base) { rel = substr($0, n + 2) } else { rel = $0 }
                if (rel != "") print "key " rel
                next
            }
            /^    / {
                line = substr($0, 5)
                i = index(line, "    "); name = substr(line, 1, i - 1); line = substr(line, i + 4)
                i = index(line, "    ")
                if (i == 0) { type = line; data = "" } else { type = substr(line, 1, i - 1); data = substr(line, i + 4) }
                print "val " rel "|" name "|" type "|" data
            }' | LC_ALL=C sort
}

# One value as text ("REG_SZ|data"), empty when missing.
e2e_reg_value() { # key value view
    e2e_wine_text reg query "$1" /v "$2" "/reg:$3" 2>/dev/null |
        awk -v name="$2" 'index($0, "    " name "    ") == 1 {
            line = substr($0, length(name) + 9); i = index(line, "    ")
            print substr(line, 1, i - 1) "|" substr(line, i + 4) }'
}

# UTF-16LE hex of an ASCII text, as "reg add /t REG_BINARY /d" takes it; no NUL,
# as the mount manager stores device names.
e2e_utf16_hex() {
    local s=$1 i
    for ((i = 0; i < ${#s}; i++)); do printf '%02X00' "'${s:i:1}"; done
}

# The mount record text of a simulated drive: "parentid" (before Vista) or
# "instance" (Vista).
e2e_mount_text() { # style dev inst pip
    local style=$1 dev=$2 inst=$3 pip=$4
    if [ "$style" = instance ]; then
        printf '%s' "\\??\\USBSTOR#${dev//\//#}#${inst}#${E2E_GUID_DISK}"
    else
        printf '%s' "\\??\\STORAGE#RemovableMedia#${pip}&RM#${E2E_GUID_VOLUME}"
    fi
}

e2e_write_mount_record() { # letter style dev inst pip
    local hex
    hex=$(e2e_utf16_hex "$(e2e_mount_text "$2" "$3" "$4" "$5")")
    e2e_reg add "$E2E_MOUNTED" /v "\\DosDevices\\$1:" /t REG_BINARY /d "$hex" /f /reg:64
}

e2e_write_usb_device() { # dev inst pip
    e2e_reg add "$E2E_USBSTOR\\$1\\$2" /v ParentIdPrefix /t REG_SZ /d "$3" /f /reg:64
}

# All simulated devices: USBSTOR keys and the mount records of R, S and T in
# the given style. Fails when a record does not read back as written.
e2e_simulate_readers() { # style
    local style=$1 l hex want
    e2e_write_usb_device "$E2E_DEV_R" "$E2E_INST_R_OLD" "$E2E_PIP_R_OLD"
    e2e_write_usb_device "$E2E_DEV_R" "$E2E_INST_R" "$E2E_PIP_R"
    e2e_write_usb_device "$E2E_DEV_S" "$E2E_INST_S" "$E2E_PIP_S"
    e2e_write_usb_device "$E2E_DEV_T" "$E2E_INST_T" "$E2E_PIP_T"
    e2e_write_mount_record R "$style" "$E2E_DEV_R" "$E2E_INST_R" "$E2E_PIP_R"
    e2e_write_mount_record S "$style" "$E2E_DEV_S" "$E2E_INST_S" "$E2E_PIP_S"
    e2e_write_mount_record T "$style" "$E2E_DEV_T" "$E2E_INST_T" "$E2E_PIP_T"
    for l in R S T; do
        case $l in
            R) want=$(e2e_utf16_hex "$(e2e_mount_text "$style" "$E2E_DEV_R" "$E2E_INST_R" "$E2E_PIP_R")") ;;
            S) want=$(e2e_utf16_hex "$(e2e_mount_text "$style" "$E2E_DEV_S" "$E2E_INST_S" "$E2E_PIP_S")") ;;
            T) want=$(e2e_utf16_hex "$(e2e_mount_text "$style" "$E2E_DEV_T" "$E2E_INST_T" "$E2E_PIP_T")") ;;
        esac
        hex=$(e2e_reg_value "$E2E_MOUNTED" "\\DosDevices\\$l:" 64)
        if [ "$hex" != "REG_BINARY|$want" ]; then
            echo "mount record of $l did not stick: $hex" >&2
            return 1
        fi
    done
}

# The simulated devices and mount records of R, S and T as regedit 5 files
# (UTF-8), as "reg export" of MountedDevices and USBSTOR would give them: what
# the Linux build of QarnIExplain reads where no Wine runs.
e2e_simulated_reg_files() { # style folder
    local style=$1 dir=$2 l dev inst pip hex
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n'
        for l in R S T; do
            eval "dev=\$E2E_DEV_$l inst=\$E2E_INST_$l pip=\$E2E_PIP_$l"
            hex=$(e2e_utf16_hex "$(e2e_mount_text "$style" "$dev" "$inst" "$pip")" | sed 's/../&,/g; s/,$//')
            printf '"\\\\DosDevices\\\\%s:"=hex:%s\r\n' "$l" "${hex,,}"
        done
        printf '\r\n'
    } >"$dir/mounted.reg" || return 1
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        for l in R_OLD R S T; do
            eval "dev=\$E2E_DEV_${l%_OLD} inst=\$E2E_INST_$l pip=\$E2E_PIP_$l"
            printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\%s\\%s]\r\n"ParentIdPrefix"="%s"\r\n\r\n' \
                "$dev" "$inst" "$pip"
        done
    } >"$dir/usbstor.reg"
}

# A long USB history: `count` sticks of another vendor, seen once each. Their
# device keys sort between the simulated stick and the readers, so every
# reader search walks past all of them.
e2e_import_usb_history() { # count
    local file="$WINEPREFIX/drive_c/QarnTest/history.reg"
    awk -v n="$1" 'BEGIN {
        printf "REGEDIT4\r\n\r\n"
        for (i = 1; i <= n; i++)
            printf "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USBSTOR\\Disk&Ven_Other&Prod_Stick_%05d&Rev_1.00\\1&0]\r\n\"ParentIdPrefix\"=\"7&%x&0\"\r\n\r\n", i, i
    }' >"$file" || return 1
    e2e_reg import 'C:\QarnTest\history.reg' /reg:64
}

# A fresh prefix, booted; its server may still be running.
e2e_prefix_boot() { # [folder name [win64|win32]]
    export WINEPREFIX="$E2E_WORK/${1:-prefix}" WINEARCH=${2:-win64}
    export WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
    unset DISPLAY WAYLAND_DISPLAY
    timeout 300 "$E2E_WINE" wineboot -i >"$WINEPREFIX.wineboot.log" 2>&1 || {
        echo "wineboot failed:" >&2
        tail -20 "$WINEPREFIX.wineboot.log" >&2
        return 1
    }
}

# Creates the prefix (once per run): the service (unless "") and helper copied in, the
# removable letters configured, and the 32-bit view's DriveIcons link removed
# so that the two registry views are kept apart as on XP x64 and Vista x64.
e2e_prefix_create() { # exe helper-exe|"" [folder name [win64|win32]]
    local exe=$1 helper=$2 l
    e2e_prefix_boot "${3:-prefix}" "${4:-win64}" || return 1
    timeout 60 wineserver -w
    mkdir -p "$WINEPREFIX/drive_c/Qarn" "$WINEPREFIX/drive_c/QarnTest" || return 1
    [ -z "$exe" ] || cp "$exe" "$WINEPREFIX/drive_c/Qarn/QarnIEx.exe" || return 1
    [ -z "$helper" ] || cp "$helper" "$WINEPREFIX/drive_c/QarnTest/sendcontrol.exe" || return 1
    e2e_server_start
    for l in r s t; do
        mkdir -p "$E2E_WORK/media/$l" && ln -sfn "$E2E_WORK/media/$l" "$WINEPREFIX/dosdevices/$l:" || return 1
        e2e_reg add 'HKLM\Software\Wine\Drives' /v "$l:" /t REG_SZ /d floppy /f /reg:64 || return 1
    done
    # The prefix's own CurrentVersion value, which e2e_reset_state puts back.
    e2e_reg_value "$E2E_NT_CURRENT" CurrentVersion 64 | cut -d'|' -f2 >"$WINEPREFIX/.qarn-nt-version"
    e2e_server_stop || return 1
    e2e_unlink_driveicons_view
}

e2e_unlink_driveicons_view() {
    local reg="$WINEPREFIX/system.reg"
    awk '
        /^\[Software\\\\Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\DriveIcons\]/ { skip = 1 }
        skip && /^$/ { skip = 0; next }
        !skip' "$reg" >"$reg.new" && mv "$reg.new" "$reg" || return 1
    if grep -q 'Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\DriveIcons' "$reg"; then
        echo "the DriveIcons link is still in system.reg" >&2
        return 1
    fi
}

e2e_server_start() {
    timeout 30 wineserver -p >/dev/null 2>&1 </dev/null
}

e2e_server_stop() {
    timeout 60 wineserver -k >/dev/null 2>&1 </dev/null
    timeout 60 wineserver -w >/dev/null 2>&1 </dev/null
    return 0
}

# Boots a session whose services (and so the service process) inherit
# WINEDEBUG=+eventlog,+debugstr and write their traces to the given file;
# returns once the mount manager has written its records.
e2e_session_start() { # trace-file
    local trace=$1 deadline
    e2e_server_start || return 1
    WINEDEBUG=$E2E_TRACE_CHANNELS timeout "$E2E_WINE_TIMEOUT" \
        "$E2E_WINE" cmd /c exit </dev/null >/dev/null 2>"$trace" || return 1
    deadline=$((SECONDS + 30))
    until [ -n "$(e2e_reg_value "$E2E_MOUNTED" '\DosDevices\T:' 64)" ]; do
        [ $SECONDS -lt $deadline ] || { echo "mount manager wrote no record for T:" >&2; return 1; }
        sleep 0.5
    done
}

# Current state number of the service from "sc query"; "none" when it is not
# installed.
e2e_svc_state() {
    local out
    out=$(e2e_wine_text sc query "$E2E_SERVICE") || { echo none; return; }
    awk '$1 == "STATE" { print $3; exit }' <<<"$out"
}

e2e_wait_state() { # state seconds
    local deadline=$((SECONDS + $2))
    while [ "$(e2e_svc_state)" != "$1" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

e2e_process_count() {
    e2e_wine_text "$E2E_HELPER_WIN" -ps QarnIEx.exe | awk '{ print $1; exit }'
}

e2e_wait_no_process() { # seconds
    local deadline=$((SECONDS + $1))
    while [ "$(e2e_process_count)" != 0 ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# Back to a clean state in a freshly booted session: no service (an installed
# one has auto-started with this boot), no DriveIcons letters in either view,
# no USB storage keys, no event source, the default Windows version.
e2e_reset_state() {
    if [ "$(e2e_svc_state)" != none ]; then
        e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
        e2e_wait_state 1 10
        e2e_wine sc delete "$E2E_SERVICE" >/dev/null 2>&1
    fi
    if [ "$(e2e_process_count)" != 0 ]; then
        e2e_wine taskkill /F /IM QarnIEx.exe >/dev/null 2>&1
        e2e_wait_no_process 10
    fi
    local view sub
    for view in 64 32; do
        for sub in $(e2e_reg_dump "$E2E_DRIVEICONS" "$view" | awk '$1 == "key" && index($2, "\\") == 0 { print $2 }'); do
            e2e_reg delete "$E2E_DRIVEICONS\\$sub" /f "/reg:$view"
        done
    done
    e2e_reg delete "$E2E_USBSTOR" /f /reg:64
    e2e_reg delete "$E2E_EVENTSRC" /f /reg:64
    e2e_reg delete 'HKCU\Software\Wine' /v Version /f
    [ ! -f "$WINEPREFIX/.qarn-nt-version" ] ||
        e2e_reg add "$E2E_NT_CURRENT" /v CurrentVersion /t REG_SZ /f /reg:64 \
            /d "$(cat "$WINEPREFIX/.qarn-nt-version")"
    [ "$(e2e_svc_state)" = none ] && [ -z "$(e2e_reg_dump "$E2E_DRIVEICONS" 64)" ] &&
        [ -z "$(e2e_reg_dump "$E2E_DRIVEICONS" 32)" ]
}

# Windows NT\CurrentVersion, whose CurrentVersion value QarnIExplain's --save
# copies and the Linux tool checks against the version the saving process
# was told.
E2E_NT_CURRENT='HKLM\Software\Microsoft\Windows NT\CurrentVersion'

# The version: what GetVersionEx reports (Wine takes it from HKCU\Software\Wine)
# and the CurrentVersion value that Windows of that version keeps (Windows 8.1
# and later keep "6.3"); Wine's setting changes only the first.
e2e_set_version() { # winxp, winxp64, win2003, vista, win2008, win10
    local nt
    case $1 in
        winxp) nt=5.1 ;; winxp64 | win2003) nt=5.2 ;; vista | win2008) nt=6.0 ;; win10) nt=6.3 ;;
        *) return 1 ;;
    esac
    e2e_reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d "$1" /f &&
        e2e_reg add "$E2E_NT_CURRENT" /v CurrentVersion /t REG_SZ /d "$nt" /f /reg:64
}

# The trace file turned into one record per line, for the processes that
# wrote "[QarnIEx]" lines:
#   <time>|<pid>|<tid>|T|<text>            trace line, prefix checked and cut
#   <time>|<pid>|<tid>|E|<type> <id> <n>   ReportEventA (type, id in decimal, inserts)
#   <time>|<pid>|<tid>|R|<args>            RegisterEventSourceA
#   <time>|<pid>|<tid>|D|                  DeregisterEventSource
#   <time>|<pid>|<tid>|I|<text>            an insert of the event before it
#                                          (only when asked for: "inserts")
# A trace line whose prefix is not "[QarnIEx](<decimal id of the writing
# thread>): " or that does not end in a newline becomes "BAD PREFIX: <line>".
e2e_trace_records() { # trace-file [inserts]
    awk -F: -v inserts="${2:-}" '
        function hex(s,   i, v) { v = 0; s = tolower(s)
            for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
            return v }
        FNR == NR { if (index($0, "OutputDebugStringA \"[QarnIEx]")) keep[$2] = 1; next }
        !($2 in keep) { next }
        {
            head = $1 "|" hex($2) "|" hex($3)
            if ($4 == "warn" && $5 == "debugstr") {
                s = $0; i = index(s, "OutputDebugStringA \""); s = substr(s, i + 20)
                sub(/"$/, "", s)
                want = "[QarnIEx](" hex($3) "): "
                if (substr(s, 1, length(want)) != want || substr(s, length(s) - 1) != "\\n")
                    print head "|T|BAD PREFIX: " s
                else
                    print head "|T|" substr(s, length(want) + 1, length(s) - length(want) - 2)
            } else if (index($0, ":fixme:advapi:ReportEventA (")) {
                s = $0; s = substr(s, index(s, "(") + 1); split(s, a, ",")
                print head "|E|" hex(substr(a[2], 3)) " " hex(substr(a[4], 3)) " " hex(substr(a[6], 3))
            } else if (index($0, ":fixme:advapi:RegisterEventSourceA (")) {
                s = $0; s = substr(s, index(s, "RegisterEventSourceA (") + 22); sub(/\): stub$/, "", s)
                print head "|R|" s
            } else if (index($0, ":fixme:advapi:DeregisterEventSource (")) {
                print head "|D|"
            } else if (inserts != "" && index($0, ":eventlog:ReportEventW L\"")) {
                s = $0; s = substr(s, index(s, "ReportEventW L\"") + 15); sub(/"$/, "", s)
                gsub(/\\"/, "\"", s); gsub(/\\\\/, "\\", s)
                print head "|I|" s
            }
        }' "$1" "$1"
}

# The event-log message table of an exe, one "<id><TAB><text>" line per
# message, the id in decimal and the text as the exe carries it, with its C
# escapes (\r\n at the end) and without the NUL padding. windres decompiles
# the resources and appends the table as "MessageId = 0x64" with the text on
# the next line.
e2e_message_texts() { # exe
    local resources
    resources=$("${MINGW_PREFIX:-i686-w64-mingw32}-windres" -J coff -i "$1" -O rc 2>&1) || return 1
    awk 'function hex(s,   i, n) { n = 0; s = tolower(substr(s, 3))
                                    for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
                                    return n }
         /MessageId = 0x/ { id = hex($3); getline text
                            sub(/^[[:space:]]+/, "", text)
                            while (sub(/\\000$/, "", text)) {}
                            print id "\t" text }' <<<"$resources"
}

# ---- The Windows Installer package (installer/)

# Where the 32-bit package installs on a 64-bit prefix.
E2E_MSI_DIR_WIN='C:\Program Files (x86)\Qarn'
E2E_MSI_DIR_UNIX='drive_c/Program Files (x86)/Qarn'  # below $WINEPREFIX
E2E_UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# The version (major.minor.patch) of the build the exe comes from, as the
# package is named after it.
e2e_project_version() { # exe
    qx_version "$(dirname "$1")"
}

# Builds a package of the given exe, the explain tool and custom actions of its
# build (or of the build given), and version with installer/BuildMsi.cmake.
e2e_build_msi() { # exe version output [icon-library [build-dir]]
    local build=${5:-$(dirname "$1")}
    cmake -DEXE="$1" -DEXPLAIN="$build/QarnIExplain.exe" -DACTIONS="$build/QarnIExActions.dll" \
          -DVERSION="$2" -DOUTPUT="$3" \
          -DICON_LIBRARY="${4:-}" \
          -P "$ROOT/installer/BuildMsi.cmake" >/dev/null
}

# The package of the exe's build (QarnIEx-<version>.msi beside it), built into
# the work folder when the build has none.
e2e_resolve_msi() { # exe
    local version msi
    version=$(e2e_project_version "$1")
    msi=$(dirname "$1")/QarnIEx-$version.msi
    if [ ! -f "$msi" ]; then
        msi=$E2E_WORK/QarnIEx-$version.msi
        e2e_build_msi "$1" "$version" "$msi" || return 1
    fi
    echo "$msi"
}

# msiexec with a Windows path to a package or a product code; quiet, with a
# verbose log in the given file and Wine's debug output (channels in
# E2E_MSI_WINEDEBUG, default none) in <log-file>.err; the package's custom
# actions write theirs there too. Returns msiexec's exit code.
e2e_msiexec() { # log-file /i|/x package-or-code [PROPERTY=value...]
    local log=$1
    WINEDEBUG=${E2E_MSI_WINEDEBUG:--all} timeout "$E2E_WINE_TIMEOUT" \
        wine msiexec "$2" "$3" "${@:4}" /qn /l*v "Z:${log//\//\\}" </dev/null >/dev/null 2>"$log.err"
}

# The same, printing the exit code as %errorlevel% (Linux reads it cut to 8 bits).
e2e_msiexec_code() { # log-file /i|/x package-or-code
    local log=$1
    WINEDEBUG=-all timeout "$E2E_WINE_TIMEOUT" wine cmd /v:on /c \
        "start /wait msiexec $2 $3 /qn /l*v Z:${log//\//\\} & echo !errorlevel!" </dev/null 2>"$log.err" | tr -d '\r'
}

# Installed products named QarnIEx, one "<product code>|<version>|<publisher>"
# line each, from the Uninstall entries of both registry views.
e2e_msi_products() {
    local view
    for view in 32 64; do
        e2e_wine_text reg query "$E2E_UNINSTALL" /s "/reg:$view" 2>/dev/null |
            awk '/^HKEY_/ { if (name == "QarnIEx") print code "|" version "|" publisher
                            n = split($0, part, "\\"); code = part[n]; name = version = publisher = ""; next }
                 $1 == "DisplayName" { name = $3 }
                 $1 == "DisplayVersion" { version = $3 }
                 $1 == "Publisher" { publisher = $3 }
                 END { if (name == "QarnIEx") print code "|" version "|" publisher }'
    done | LC_ALL=C sort -u
}

# Uninstalls every QarnIEx product and removes its folder and key, for a clean start.
e2e_msi_remove_all() {
    local code
    for code in $(e2e_msi_products | cut -d'|' -f1); do
        e2e_wine msiexec /x "$code" /qn >/dev/null 2>&1
    done
    rm -rf "${WINEPREFIX:?}/$E2E_MSI_DIR_UNIX"
    e2e_reg delete 'HKLM\Software\Qarn' /f /reg:32  # the folder an install kept (Wine's rollback may leave it)
    [ -z "$(e2e_msi_products)" ]
}

# The registry as reg export files (regedit 5, UTF-16 LE) in the given
# folder: all of HKLM\System and HKLM\Software in both views but
# Software\Classes (COM and file types, which nothing here opens: 4 MB, and
# three quarters of the export's time under Wine), and the keys a
# support engineer asks for, named explain-*.reg: MountedDevices, USBSTOR and
# DriveIcons of each view (the 32-bit one under its Wow6432Node path, as a
# 64-bit reg.exe exports it).
e2e_export_hklm() { # folder
    local dir=$1 win view key
    mkdir -p "$dir" || return 1
    win="C:\\QarnTest\\$(basename "$dir")"
    e2e_wine cmd /c mkdir "$win" >/dev/null 2>&1
    e2e_reg export 'HKLM\System' "$win\\system64.reg" /y /reg:64 || return 1
    for view in 64 32; do
        while IFS= read -r key; do
            e2e_reg export "$key" "$win\\software$view-${key##*\\}.reg" /y /reg:$view || return 1
        done < <(e2e_wine_text reg query 'HKLM\Software' /reg:$view | grep -i '^HKEY_LOCAL_MACHINE\\Software\\' |
            grep -vix 'HKEY_LOCAL_MACHINE\\Software\\Classes')
    done
    e2e_reg export "$E2E_MOUNTED" "$win\\explain-mounted.reg" /y /reg:64 &&
        e2e_reg export "$E2E_USBSTOR" "$win\\explain-usbstor.reg" /y /reg:64 || return 1
    # A view without a DriveIcons key has nothing to export.
    e2e_reg export "$E2E_DRIVEICONS" "$win\\explain-driveicons64.reg" /y /reg:64
    e2e_reg export "$E2E_DRIVEICONS32" "$win\\explain-driveicons32.reg" /y /reg:64
    cp "$WINEPREFIX/drive_c/QarnTest/$(basename "$dir")"/*.reg "$dir"/
}

# A program of the Linux build (build/native), built when missing:
# QarnIExplain, or the reader's dump for comparisons (tests/reg_dump).
e2e_native_program() { # path below build/native
    local native="$ROOT/build/native/$1"
    if [ ! -x "$native" ]; then
        (cd "$ROOT" && source scripts/common.sh &&
            cmake -S . -B build/native -G "$(qx_generator)" >/dev/null &&
            cmake --build build/native --target "$(basename "$1")" >/dev/null) || {
            echo "the native build failed"
            return 1
        }
    fi
    echo "$native"
}
e2e_native_explain() { e2e_native_program QarnIExplain; }
e2e_native_reg_dump() { e2e_native_program tests/reg_dump; }
