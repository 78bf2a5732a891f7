#include "driveicons/PlatformQuery.h"

#include <cstring>

bool QueryVersion(Platform& os, OSVERSIONINFOEXA& info, bool* extended) {
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    const bool extendedRead = os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != FALSE;
    if (extended) *extended = extendedRead;
    if (extendedRead) return true;
    // Older systems fill only the short record.
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != FALSE;
}

bool QueryWow64(Platform& os, BOOL& wow64) {
    wow64 = FALSE;
    const HMODULE kernel = os.GetModuleHandleA("kernel32");
    const FARPROC isWow64Process = kernel ? os.GetProcAddress(kernel, "IsWow64Process") : nullptr;
    if (isWow64Process == nullptr) return false;
    os.CallIsWow64Process(isWow64Process, os.GetCurrentProcess(), &wow64);
    return true;
}

PlatformFlags QueryPlatformFlags(Platform& os) {
    PlatformFlags flags;
    OSVERSIONINFOEXA info;
    if (!QueryVersion(os, info) || info.dwPlatformId != VER_PLATFORM_WIN32_NT) return flags;
    if (!KeepsDriveIconsViewsApart(info.dwMajorVersion, info.dwMinorVersion)) return flags;
    const bool isNt60 = info.dwMajorVersion == 6;

    // A missing IsWow64Process counts as FALSE on 6.0; on 5.2 it ends the detection.
    BOOL wow64 = FALSE;
    if (!QueryWow64(os, wow64) && !isNt60) return flags;
    if (info.wProductType != VER_NT_WORKSTATION) return flags;
    flags.IsVistaWorkstation = isNt60 ? TRUE : FALSE;
    flags.IsWow64 = wow64 ? TRUE : FALSE;
    return flags;
}
