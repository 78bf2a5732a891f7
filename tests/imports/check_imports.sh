#!/usr/bin/env bash
# Checks the built QarnIEx.exe as Windows will load it:
#  - it imports from KERNEL32, ADVAPI32, USER32 and msvcrt only, so no MinGW
#    runtime DLL has to ship beside it;
#  - IsWow64Process and RegDeleteKeyExA are not imported (the loader would
#    refuse the exe on Windows versions without them) but named for look-up;
#  - it is a console program;
#  - it carries the event-log message table (language 1033, ids 100-108 with
#    their exact texts) and the version resource.
# Usage: check_imports.sh path/to/QarnIEx.exe
set -uo pipefail

EXE=${1:?usage: check_imports.sh path/to/QarnIEx.exe}
PREFIX=${MINGW_PREFIX:-i686-w64-mingw32}
OBJDUMP=${PREFIX}-objdump
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
for tool in "$OBJDUMP" "$WINDRES" "$STRINGS"; do
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

imported=$(awk '/^[[:space:]]*DLL Name:/ { inside = 1; next }
                inside && NF == 0 { inside = 0 }
                inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' <<<"$headers")
for required in StartServiceCtrlDispatcherA RegisterDeviceNotificationA ReportEventA; do
    if grep -qx "$required" <<<"$imported"; then
        pass "$required is imported"
    else
        fail "$required is not imported (import table not read correctly?)"
    fi
done
# Whole C strings only: the symbol table also holds these names inside longer ones.
exe_strings=$("$STRINGS" -a "$EXE")
for optional in IsWow64Process RegDeleteKeyExA; do
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
)
# id<TAB>text, padding NULs removed and leading blanks of the dump trimmed.
messages=$(awk 'function hex(s,   i, n) { n = 0; s = tolower(substr(s, 3))
                                  for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
                                  return n }
                /MessageId = 0x/ { id = hex($3); getline text
                                   sub(/^[[:space:]]+/, "", text)
                                   while (sub(/\\000$/, "", text)) {}
                                   print id "\t" text }' <<<"$resources")
message_count=$(grep -c . <<<"$messages")
if [ "$message_count" -eq 9 ]; then
    pass "message table holds 9 messages"
else
    fail "message table holds ${message_count} messages, expected 9"
fi
for id in $(printf '%s\n' "${!expected[@]}" | sort -n); do
    actual=$(awk -F'\t' -v id="$id" '$1 == id { print $2 }' <<<"$messages")
    if [ "$actual" = "${expected[$id]}" ]; then
        pass "message ${id}: ${actual}"
    else
        fail "message ${id}: '${actual}', expected '${expected[$id]}'"
    fi
done

for line in 'FILEVERSION 1, 2, 0, 0' 'PRODUCTVERSION 1, 2, 0, 0' 'VALUE "FileVersion", "1.2.0"' \
            'VALUE "ProductVersion", "1.2.0"' 'VALUE "ProductName", "QarnIEx"'; do
    if grep -qF "$line" <<<"$resources"; then
        pass "version resource: $line"
    else
        fail "version resource lacks: $line"
    fi
done

finish
