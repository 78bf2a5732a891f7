// What a report needs to know of a machine beyond its registry: its Windows
// (version, edition, 64-bit) and ANSI code page, and which machines existed.
// Both builds.
#pragma once

#include <string>

#include "platform/WinTypes.h"

struct MachineFacts {
    DWORD majorVersion = 0;
    DWORD minorVersion = 0;
    bool server = false;
    bool wow64 = false;    // 64-bit Windows: the 32-bit service runs under WOW64
    UINT codePage = 1252;  // 1252 or 932
    // As a saved folder tells them: the product type (VER_NT_*; 0: as
    // `server` says), the build (0: the version's first) and service pack (UTF-8).
    BYTE productType = 0;
    DWORD build = 0;
    std::string servicePack;
};

// "xp", "xp-x64", "2003", "vista", "2008", "7", "8", "8.1", "10" or a version
// number "MAJOR.MINOR"; sets the version and the edition and WOW64 the name
// implies (a version number: workstation, no WOW64), whatever an earlier call
// set. False for anything else.
bool ParseWindowsName(const std::string& name, MachineFacts& facts);

// Why no Windows was like that ("" when one was), by the releases of the NT
// family for x86 and x64 and what GetVersionEx reports for them: NT 5.1 had
// no server edition, NT 5.2 workstation is XP x64 only, the servers from NT
// 6.1 on are 64-bit only, nothing before NT 5.2 is. `windows`, the word given
// to --windows: a name fixes the edition ("7" with --server is refused).
std::string ImpossibleMachine(const MachineFacts& facts, const std::string& windows = "");

// Whether the word given to --windows names an edition ("2003", "xp-x64"),
// not a bare version number.
bool NamesEdition(const std::string& windows);

// "NT 6.0 workstation", "NT 5.2 server, 64-bit".
std::string DescribeMachine(const MachineFacts& facts);

// The Windows a machine runs, in a few words: "XP", "Server 2003 x64",
// "Vista", "7 x64", or "NT 4.0" where no name fits.
std::string WindowsShortName(const MachineFacts& facts);

// Whether the shell shares the DriveIcons key between the 64-bit and the
// 32-bit view: 64-bit Windows 7 (NT 6.1) and later. There a file of either
// view's DriveIcons is loaded into the 32-bit one, where the service reads it.
bool SharesDriveIcons(const MachineFacts& facts);
