// The questions platform detection asks Windows, in the order and form the
// service asks them, and the rules of the NT versions it decides by. The
// scan's DetectPlatform sets its flags from them; the explain tool reports
// the same answers.
#pragma once

#include "platform/Platform.h"

// NT 5.2 and 6.0 (XP x64, Server 2003, Vista, Server 2008): on their 64-bit
// editions each registry view has a DriveIcons key of its own, and on their
// 64-bit workstations the service asks for the 64-bit view.
constexpr bool KeepsDriveIconsViewsApart(DWORD major, DWORD minor) {
    return (major == 5 && minor == 2) || (major == 6 && minor == 0);
}
// From NT 6.1 (Windows 7, Server 2008 R2) on, both views share DriveIcons.
constexpr bool SharesDriveIconsViews(DWORD major, DWORD minor) {
    return major > 6 || (major == 6 && minor >= 1);
}

// The version record: the extended one first, the plain one when that fails
// (its extended fields, wProductType among them, then stay 0). False when
// both fail. `extended`, if given, tells whether the extended one was filled.
bool QueryVersion(Platform& os, OSVERSIONINFOEXA& info, bool* extended = nullptr);

// IsWow64Process for this process, looked up in kernel32 at each use: false
// when the export is missing. Else `wow64` holds what the call wrote (FALSE
// if it wrote nothing); the call's own result is not looked at.
bool QueryWow64(Platform& os, BOOL& wow64);

// What platform detection decides. IsVistaWorkstation: NT 6.0 workstation,
// which selects the instance-path scans. IsWow64: a 64-bit NT 5.2 or 6.0
// workstation, where the service works in the 64-bit view. Both 0 when the
// version cannot be had, or only the short record.
struct PlatformFlags {
    BOOL IsVistaWorkstation = FALSE;
    BOOL IsWow64 = FALSE;
};
PlatformFlags QueryPlatformFlags(Platform& os);
