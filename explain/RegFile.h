// The files "reg export" and regedit write: "Windows Registry Editor Version
// 5.00" in UTF-16 LE with a byte-order mark (also accepted as UTF-8, as an
// editor may re-save it), or "REGEDIT4" in the ANSI code page of the machine.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

// Names, paths and string data are UTF-16, as the registry keeps them; a
// REGEDIT4 file's are converted from its code page.
struct RegFileValue {
    int line = 0;
    std::u16string name;  // empty: the key's default value ("@")
    DWORD type = REG_NONE;
    // The data as the registry holds it: strings in UTF-16 LE, with the
    // terminating NUL for "..." values.
    std::vector<BYTE> data;
};

struct RegFileKey {
    int line = 0;
    std::u16string path;  // as written between the brackets, root key included
    std::vector<RegFileValue> values;
};

struct RegFile {
    bool unicode = true;  // false: a REGEDIT4 file
    std::vector<RegFileKey> keys;
};

// Reads a whole file. A malformed or truncated file gives false and an error
// "line N: what is wrong"; `file` is then incomplete. A file counts as whole
// only when it ends, as reg export writes it, with an empty line.
// `ansiCodePage` (1252 or 932) is that of a REGEDIT4 file's bytes. The bytes
// are taken over and let go once decoded: beside the decoded text and the
// parsed data nothing of the file is held, no line copied.
bool ParseRegFile(std::string bytes, RegFile& file, std::string& error, UINT ansiCodePage = 1252);
