#!/usr/bin/env bash
# The service's main job, shown on a machine without Windows: installs what is
# missing, cross-builds QarnIEx.exe, sets up a throw-away Wine prefix with two
# simulated card-reader drives (R: and S:) and a plain USB stick (T:),
# installs and starts the service, prints the icon keys it wrote, stops it
# and shows that the keys are gone.
#
#   scripts/run.sh [winxp|winxp64|win2003|vista|win2008|win10]   (default vista)
#
# The Windows version decides where the keys go: the 64-bit registry view on
# 64-bit XP/Vista workstations (winxp64, vista), the 32-bit view elsewhere.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh   # qx_ensure_packages, qx_build_win32
source tests/e2e/lib.sh    # the Wine prefix and the simulated readers

version=${1:-vista}
case $version in
    winxp | win2003 | win2008 | win10) style=parentid view=32 ;;
    winxp64) style=parentid view=64 ;;
    vista) style=instance view=64 ;;
    *) echo "usage: $0 [winxp|winxp64|win2003|vista|win2008|win10]" >&2; exit 2 ;;
esac

die() { echo "demo failed: $*" >&2; exit 1; }

E2E_WORK=
finish() {
    if [ -n "$E2E_WORK" ]; then
        [ -n "${WINEPREFIX:-}" ] && e2e_server_stop
        rm -rf "$E2E_WORK"
    fi
}
trap finish EXIT
trap 'exit 130' INT TERM

echo "== Packages"
qx_ensure_packages || die "the packages could not be installed"
echo
echo "== Cross build of QarnIEx.exe (build/win32)"
qx_build_win32 || die "the cross build failed"
[ -f build/win32/QarnIEx.exe ] || die "no build/win32/QarnIEx.exe"

E2E_WORK=$(mktemp -d) || die "no temp folder"
echo
echo "== Wine prefix with simulated drives (first boot takes a while)"
e2e_prefix_create build/win32/QarnIEx.exe "" || die "the Wine prefix could not be set up"
e2e_session_start "$E2E_WORK/trace.log" 2>"$E2E_WORK/session.err" || die "Wine did not boot: $(cat "$E2E_WORK/session.err")"
e2e_set_version "$version" || die "could not set the Windows version"
e2e_simulate_readers "$style" || die "the simulated drives could not be written"
printf '   %-7s %-46s %s\n' Drive "USB storage device" "What it is" \
    R: "$E2E_DEV_R" "card reader, KA slot" \
    S: "$E2E_DEV_S" "card reader, KC/KB slot" \
    T: "$E2E_DEV_T" "USB stick of another vendor"
echo "   Windows version: $version; service at $E2E_EXE_WIN"

echo
echo "> QarnIEx.exe -i"
e2e_wine_text "$E2E_EXE_WIN" -i | sed 's/^/   /'
echo "> sc start QarnIEx"
e2e_wine sc start "$E2E_SERVICE" >/dev/null 2>&1
e2e_wait_state 4 30 || die "the service did not start (state $(e2e_svc_state))"
echo "   RUNNING"

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
                  if (l in letters) printf "   %-7s %-10s %s\n", l ":", label[l], (l in icon ? icon[l] : "(no DefaultIcon)") } }'
}

echo
echo "== Icon keys under HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons (${view}-bit view)"
icon_table "$view"
[ "$version" = winxp64 ] && echo "   (XP x64 runs the parent-id scan under WOW64, which writes no DefaultIcon)"
other=32
[ "$view" = 32 ] && other=64
echo "   and in the ${other}-bit view:"
icon_table "$other"

echo
echo "> sc stop QarnIEx"
e2e_wine sc stop "$E2E_SERVICE" >/dev/null 2>&1
e2e_wait_state 1 30 || die "the service did not stop (state $(e2e_svc_state))"
echo "   STOPPED"
echo
echo "== Icon keys after the stop (${view}-bit view)"
icon_table "$view"

echo
echo "== The service's trace (OutputDebugString) and events"
sleep 1
e2e_trace_records "$E2E_WORK/trace.log" | awk -F'|' '
    $4 == "T" { print "   " $5 }
    $4 == "E" { split($5, e, " "); print "   [event " e[2] (e[1] == 1 ? ", error" : "") "]" }'

echo
echo "> QarnIEx.exe -u"
e2e_wine_text "$E2E_EXE_WIN" -u | sed 's/^/   /'
