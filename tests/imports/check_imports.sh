#!/usr/bin/env bash
# Checks the built QarnIEx.exe as Windows will load it:
#  - it imports from KERNEL32, ADVAPI32, USER32 and msvcrt only, so no MinGW
#    runtime DLL has to ship beside it;
#  - every function it imports exists on Windows XP SP2, which refuses to
#    load an exe that names one it lacks: a system function must be declared
#    by the MinGW-w64 headers for _WIN32_WINNT 0x0501, an msvcrt function must
#    be on the list below;
#  - its PE header asks for no Windows newer than XP (5.1);
#  - it is stripped, with a debug link to its symbols file;
#  - IsWow64Process and RegDeleteKeyExA (and in the tool GetNativeSystemInfo)
#    are not imported (the loader would refuse the exe on Windows versions
#    without them) but named for look-up;
#  - it is a console program;
#  - it carries the version resource with the product's identity (company,
#    product, description, copyright, the build's version) and its own file name,
#    and the service (not a tool) the event-log message table (language 1033,
#    ids 100-110 with their exact texts).
# Usage: check_imports.sh [--tool] path/to/QarnIEx.exe
#   --tool   a console tool built from the service's sources (QarnIExplain.exe):
#            no message table and no service entry points to look for
set -uo pipefail
source "$(dirname "$0")/../e2e/lib.sh"   # e2e_message_texts

TOOL=0
if [ "${1:-}" = --tool ]; then
    TOOL=1
    shift
fi
EXE=${1:?usage: check_imports.sh [--tool] path/to/QarnIEx.exe}
PREFIX=${MINGW_PREFIX:-i686-w64-mingw32}
OBJDUMP=${PREFIX}-objdump
CC=${PREFIX}-gcc
WINDRES=${PREFIX}-windres
STRINGS=${PREFIX}-strings

passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

finish() {
    echo "imports: ${passed} passed, ${failed} failed"
    [ "$failed" -eq 0 ]
    exit
}

if [ ! -f "$EXE" ]; then
    fail "$EXE does not exist"
    finish
fi
for tool in "$OBJDUMP" "$WINDRES" "$STRINGS" "$CC"; do
    if ! command -v "$tool" >/dev/null; then
        fail "$tool not found (install mingw-w64)"
        finish
    fi
done

headers=$("$OBJDUMP" -p "$EXE" 2>&1) || { fail "objdump cannot read $EXE"; finish; }

if grep -q 'file format pei-i386' <<<"$headers"; then
    pass "32-bit x86 PE image"
else
    fail "not a 32-bit x86 PE image"
fi

if grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' <<<"$headers"; then
    pass "console subsystem"
else
    fail "not a console program: $(grep -E '^Subsystem' <<<"$headers")"
fi

# Windows refuses an image whose header asks for a newer subsystem or OS.
for field in OSystem Subsystem; do
    version=$(awk -v f="$field" '$1 == "Major" f "Version" { major = $2 }
                                 $1 == "Minor" f "Version" { minor = $2 }
                                 END { if (major != "") print major "." minor }' <<<"$headers")
    if [ -z "$version" ]; then
        fail "PE header: no ${field} version found"
    elif awk -v v="$version" 'BEGIN { split(v, p, "."); exit !(p[1] < 5 || (p[1] == 5 && p[2] <= 1)) }'; then
        pass "PE header: ${field} version ${version} (at most 5.1)"
    else
        fail "PE header: ${field} version ${version} is newer than Windows XP (5.1)"
    fi
done

# The release exe carries no debug sections; its symbols are in the file its
# debug link names.
sections=$("$OBJDUMP" -h "$EXE" 2>/dev/null | awk '$1 ~ /^[0-9]+$/ { print $2 }')
debug_sections=$(grep -E '^\.(debug|zdebug)' <<<"$sections" | tr '\n' ' ')
if [ -z "$debug_sections" ]; then
    pass "stripped: no debug sections"
else
    fail "debug sections left in the exe: ${debug_sections}"
fi
if grep -qx '\.gnu_debuglink' <<<"$sections"; then
    pass "debug link to the symbols file"
else
    fail "no .gnu_debuglink section: the symbols file cannot be found from the exe"
fi

# The import section lists "DLL Name: X" and under it one line per imported
# function: "<vma> <hint> <name>".
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr -d '\r')
if [ -z "$dlls" ]; then
    fail "no import table found"
else
    bad_dlls=$(grep -Evix 'kernel32\.dll|advapi32\.dll|user32\.dll|msvcrt\.dll' <<<"$dlls")
    if [ -z "$bad_dlls" ]; then
        pass "imported DLLs: $(tr '\n' ' ' <<<"$dlls")"
    else
        fail "imports from other DLLs: $(tr '\n' ' ' <<<"$bad_dlls")"
    fi
fi

# "<DLL> <function>" per imported function, the DLL name in upper case.
imports=$(awk '/^[[:space:]]*DLL Name:/ { dll = toupper($3); sub(/\r$/, "", dll); next }
               /^[[:space:]]*$/ { dll = "" }
               dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, $3 }' <<<"$headers")
imported=$(awk '{ print $2 }' <<<"$imports")

# System functions: referenced from a file built for XP, the headers reject
# every function that came later ("'GetTickCount64' undeclared").
system_functions=$(awk '$1 ~ /^(KERNEL32|ADVAPI32|USER32)\.DLL$/ { print $2 }' <<<"$imports" | sort -u)
probe_dir=$(mktemp -d)
{
    printf '#define _WIN32_WINNT 0x0501\n#define WINVER 0x0501\n'
    printf '#include <windows.h>\n#include <winsvc.h>\n#include <dbt.h>\n'
    n=0
    for fn in $system_functions; do
        n=$((n + 1))
        printf 'void *qx_import_%d = (void *)&%s;\n' "$n" "$fn"
    done
} >"$probe_dir/xp.c"
if [ -z "$system_functions" ]; then
    fail "no KERNEL32, ADVAPI32 or USER32 function found in the import table"
elif LC_ALL=C "$CC" -c -o "$probe_dir/xp.o" "$probe_dir/xp.c" 2>"$probe_dir/xp.err"; then
    pass "all $(wc -w <<<"$system_functions") system functions exist on Windows XP SP2"
else
    missing=$(grep -o "'[A-Za-z0-9_]*' undeclared" "$probe_dir/xp.err" | tr -d "'" | awk '{ print $1 }' | sort -u | tr '\n' ' ')
    if [ -n "$missing" ]; then
        fail "imports that Windows XP SP2 does not have: ${missing}"
    else
        fail "the XP import probe did not compile: $(head -5 "$probe_dir/xp.err")"
    fi
fi
rm -rf "$probe_dir"

# msvcrt.dll differs between Windows versions and the headers do not say which
# has what: the functions XP's msvcrt exports that the exe may import. The
# explain tool's --save writes its files with fopen, fwrite, ferror, fclose,
# remove and _mkdir, and its CSV and JSON go to a binary standard output
# (_setmode, _fileno), which the Visual C++ 6.0 run-time reference lists in
# MSVCRT.DLL (older than XP's).
msvcrt_allowed='__getmainargs __initenv __mb_cur_max __p__acmdln __p__commode __p__fmode
__set_app_type __setusermatherr _amsg_exit _cexit _close _errno _fileno _initterm _iob _mkdir
_onexit _read _setmode abort atoi calloc exit fclose ferror fflush fopen fprintf fputc fputs
free fwrite localeconv malloc memchr memcmp memcpy memmove memset realloc remove setlocale
signal strchr strcmp strerror strlen strncmp strncpy vfprintf wcslen'
unlisted=$(awk '$1 == "MSVCRT.DLL" { print $2 }' <<<"$imports" | grep -vxF -f <(tr -s ' \n' '\n\n' <<<"$msvcrt_allowed") | tr '\n' ' ')
if [ -z "$unlisted" ]; then
    pass "every msvcrt import is on the list of XP's msvcrt"
else
    fail "msvcrt imports not on the XP list (check that XP's msvcrt.dll has them, then list them): ${unlisted}"
fi
required_imports="StartServiceCtrlDispatcherA RegisterDeviceNotificationA ReportEventA"
[ "$TOOL" = 1 ] && required_imports="RegOpenKeyExA RegEnumKeyExA GetDriveTypeA"
for required in $required_imports; do
    if grep -qx "$required" <<<"$imported"; then
        pass "$required is imported"
    else
        fail "$required is not imported (import table not read correctly?)"
    fi
done
# Whole C strings only: the symbol table also holds these names inside longer ones.
exe_strings=$("$STRINGS" -a "$EXE")
optional_imports="IsWow64Process RegDeleteKeyExA"
# The explain tool's --save asks the machine's architecture through it.
[ "$TOOL" = 1 ] && optional_imports+=" GetNativeSystemInfo"
for optional in $optional_imports; do
    if grep -qix "$optional" <<<"$imported"; then
        fail "$optional is imported; it must only be looked up at run time"
    else
        pass "$optional is not imported"
    fi
    if grep -qx "$optional" <<<"$exe_strings"; then
        pass "$optional is named in the exe for look-up"
    else
        fail "$optional is not named anywhere in the exe"
    fi
done

# Resources, decompiled back to .rc text. windres appends an "MC syntax dump"
# of the message table: "MessageId = 0x64" and then the text with C escapes.
resources=$("$WINDRES" -J coff -i "$EXE" -O rc 2>&1) || { fail "windres cannot read the resources"; finish; }

# The service's event-log messages.
if [ "$TOOL" = 0 ]; then
    message_lang=$(awk '/^LANGUAGE/ { lang = $2 $3 } /RT_MESSAGETABLE/ { print lang; exit }' <<<"$resources")
    if [ "$message_lang" = "9,1" ]; then
        pass "message table resource, language 1033"
    else
        fail "no message table resource in language 1033 (found: '${message_lang}')"
    fi

    declare -A expected=(
        [100]='The %1 service was installed.\r\n'
        [101]='The %1 service was removed.\r\n'
        [102]='The %1 service could not be removed.\r\n'
        [103]='The control handler could not be installed.\r\n'
        [104]='The initialization process failed.\r\n'
        [105]='The service was started.\r\n'
        [106]='The service received an unsupported request.\r\n'
        [107]='Debug: %1\r\n'
        [108]='The service was stopped.\r\n'
        [109]='The %1 service was removed, but its drive icon keys of %2 could not be taken back (error %3).\r\n'
        [110]='The %1 service did not stop. It is marked for deletion and keeps its drive icon keys until it stops.\r\n'
    )
    messages=$(e2e_message_texts "$EXE")
    message_count=$(grep -c . <<<"$messages")
    if [ "$message_count" -eq ${#expected[@]} ]; then
        pass "message table holds ${message_count} messages"
    else
        fail "message table holds ${message_count} messages, expected ${#expected[@]}"
    fi
    for id in $(printf '%s\n' "${!expected[@]}" | sort -n); do
        actual=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' <<<"$messages")
        if [ "$actual" = "${expected[$id]}" ]; then
            pass "message ${id}: ${actual}"
        else
            fail "message ${id}: '${actual}', expected '${expected[$id]}'"
        fi
    done
fi

# The version of the build the exe comes from.
VERSION=$(qx_version "$(dirname "$EXE")")
[ -n "$VERSION" ] || fail "no CMakeCache.txt beside $EXE to read the version from"
for line in "FILEVERSION ${VERSION//./, }, 0" "PRODUCTVERSION ${VERSION//./, }, 0" \
            "VALUE \"FileVersion\", \"$VERSION.0\"" "VALUE \"ProductVersion\", \"$VERSION.0\"" \
            'VALUE "ProductName", "QarnIEx"' \
            'VALUE "CompanyName", "Qarn"' 'VALUE "LegalCopyright", "Copyright (C) 2026 Qarn"' \
            "VALUE \"OriginalFilename\", \"$(basename "$EXE")\""; do
    if grep -qF "$line" <<<"$resources"; then
        pass "version resource: $line"
    else
        fail "version resource lacks: $line"
    fi
done
if [ "$TOOL" = 0 ]; then
    description='Drive icons and labels for Qarn USB card readers'
else
    description='Why a drive has, or has not, a Qarn card reader icon'
fi
if grep -qF "VALUE \"FileDescription\", \"$description\"" <<<"$resources"; then
    pass "version resource: FileDescription $description"
else
    fail "version resource lacks: FileDescription $description"
fi

finish
