// System queries: version information, drive types, the module path, and the
// run-time look-up of IsWow64Process and RegDeleteKeyExA.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fake/FakeWindowsState.h"

namespace fakewindows {

const HMODULE kExeModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x00400000));
const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7C800000));
const HMODULE kAdvapi32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x77DD0000));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~static_cast<ULONG_PTR>(0));

// GetProcAddress hands out these as the exports. They are only compared with,
// never meant to be called: the caller goes through the Call* members.
void IsWow64ProcessExport() {
    std::fputs("FakeWindows: IsWow64Process was called directly; use CallIsWow64Process\n", stderr);
    std::abort();
}
void RegDeleteKeyExAExport() {
    std::fputs("FakeWindows: RegDeleteKeyExA was called directly; use CallRegDeleteKeyExA\n",
               stderr);
    std::abort();
}

namespace {

DWORD BuildNumber(DWORD major, DWORD minor) {
    if (major == 5 && minor == 0) return 2195;
    if (major == 5 && minor == 1) return 2600;
    if (major == 5 && minor == 2) return 3790;
    if (major == 6 && minor == 0) return 6000;
    if (major == 6 && minor == 1) return 7600;
    return 0;
}

}  // namespace
}  // namespace fakewindows

using namespace fakewindows;

void FakeWindows::SetWow64Process(bool wow64) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->wow64 = wow64;
}

void FakeWindows::SetExportPresent(const std::string& procName, bool present) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (present)
        state_->missingExports.erase(procName);
    else
        state_->missingExports.insert(procName);
}

void FakeWindows::SetVersion(DWORD major, DWORD minor, BYTE productType, DWORD platformId) {
    std::lock_guard<std::mutex> lock(state_->mu);
    OSVERSIONINFOEXA& v = state_->version;
    v = OSVERSIONINFOEXA{};
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = BuildNumber(major, minor);
    v.dwPlatformId = platformId;
    v.wProductType = productType;
}

void FakeWindows::SetVersionFailures(bool extendedFails, bool plainFails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->extendedVersionFails = extendedFails;
    state_->plainVersionFails = plainFails;
}

void FakeWindows::SetModulePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modulePath = path;
}

void FakeWindows::SetModulePathFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modulePathFails = fails;
}

void FakeWindows::SetDriveType(char letter, UINT type) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->driveTypes[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = type;
}

HMODULE FakeWindows::GetModuleHandleA(LPCSTR moduleName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetModuleHandleA", moduleName ? moduleName : "");
    if (!moduleName) return kExeModule;
    std::string name = s.Upper(moduleName);
    if (name == "KERNEL32" || name == "KERNEL32.DLL") return kKernel32;
    if (name == "ADVAPI32" || name == "ADVAPI32.DLL") return kAdvapi32;
    s.Fail(kErrorModNotFound);
    return nullptr;
}

FARPROC FakeWindows::GetProcAddress(HMODULE module, LPCSTR procName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    // Values below 64K are ordinals, not names.
    bool byName = reinterpret_cast<ULONG_PTR>(procName) >= 0x10000;
    std::string name = byName ? procName : "";
    s.Record("GetProcAddress", name);
    if (module != kKernel32 && module != kAdvapi32 && module != kExeModule) {
        s.Fail(kErrorModNotFound);
        return nullptr;
    }
    if (!s.missingExports.count(name)) {
        // Export names are case-sensitive.
        if (module == kKernel32 && name == "IsWow64Process") return &IsWow64ProcessExport;
        if (module == kAdvapi32 && name == "RegDeleteKeyExA") return &RegDeleteKeyExAExport;
    }
    s.Fail(kErrorProcNotFound);
    return nullptr;
}

HANDLE FakeWindows::GetCurrentProcess() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetCurrentProcess");
    return kCurrentProcess;
}

BOOL FakeWindows::CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) {
    if (isWow64Process != &IsWow64ProcessExport)
        TestBug("CallIsWow64Process with something GetProcAddress did not return for it");
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("IsWow64Process");
    if (process != kCurrentProcess) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!wow64) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64 = s.wow64 ? TRUE : FALSE;
    return TRUE;
}

BOOL FakeWindows::GetVersionExA(OSVERSIONINFOA* versionInfo) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    DWORD size = versionInfo ? versionInfo->dwOSVersionInfoSize : 0;
    s.Record("GetVersionExA", std::to_string(size));
    if (!versionInfo) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    bool extended = size == sizeof(OSVERSIONINFOEXA);
    if (extended ? s.extendedVersionFails : s.plainVersionFails) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The two records share their first 148 bytes.
    std::memcpy(versionInfo, &s.version, size);
    versionInfo->dwOSVersionInfoSize = size;
    return TRUE;
}

UINT FakeWindows::GetDriveTypeA(LPCSTR rootPathName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetDriveTypeA", rootPathName ? rootPathName : "");
    if (!rootPathName) return DRIVE_FIXED;  // the current directory's drive, C:
    std::string path = rootPathName;
    // "X:\" or "X:".
    if (path.size() < 2 || path.size() > 3 || path[1] != ':' ||
        (path.size() == 3 && path[2] != '\\') || !std::isalpha(static_cast<unsigned char>(path[0])))
        return DRIVE_NO_ROOT_DIR;
    auto it =
        s.driveTypes.find(static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))));
    return it == s.driveTypes.end() ? DRIVE_NO_ROOT_DIR : it->second;
}

DWORD FakeWindows::GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetModuleFileNameA", std::to_string(size));
    if (module && module != kExeModule) {
        s.Fail(kErrorModNotFound);
        return 0;
    }
    if (s.modulePathFails) {
        s.Fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (size == 0 || !fileName) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const std::string& path = s.modulePath;
    if (path.size() < size) {
        std::memcpy(fileName, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    // Cut the way Windows XP (and Wine) cuts it: without a terminator, and
    // reported as the full size.
    std::memcpy(fileName, path.data(), size);
    s.Fail(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

