// System queries: version information, drive types, the module path, and the
// run-time look-up of IsWow64Process and RegDeleteKeyExA.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/memory/MemoryWindowsState.h"

namespace memorywindows {

const HMODULE kExeModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x00400000));
const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7C800000));
const HMODULE kAdvapi32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x77DD0000));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~static_cast<ULONG_PTR>(0));

// Bodies of their own, so that the two addresses stay apart.
volatile int exportStandInCalled = 0;
void IsWow64ProcessExport() { exportStandInCalled = 1; }
void RegDeleteKeyExAExport() { exportStandInCalled = 2; }
void GetNativeSystemInfoExport() { exportStandInCalled = 3; }

namespace {

// The build each version was first released with; 0 for a version Windows never had.
DWORD BuildNumber(DWORD major, DWORD minor) {
    if (major == 5 && minor == 0) return 2195;
    if (major == 5 && minor == 1) return 2600;
    if (major == 5 && minor == 2) return 3790;
    if (major == 6 && minor == 0) return 6000;
    if (major == 6 && minor == 1) return 7600;
    if (major == 6 && minor == 2) return 9200;
    if (major == 6 && minor == 3) return 9600;
    if (major == 10 && minor == 0) return 10240;
    return 0;
}

}  // namespace
}  // namespace memorywindows

using namespace memorywindows;

void MemoryWindows::SetWow64Process(bool wow64) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->wow64 = wow64;
}

void MemoryWindows::SetVersion(DWORD major, DWORD minor, BYTE productType, DWORD platformId) {
    std::lock_guard<std::mutex> lock(state_->mu);
    OSVERSIONINFOEXA& v = state_->version;
    v = OSVERSIONINFOEXA{};
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = BuildNumber(major, minor);
    v.dwPlatformId = platformId;
    v.wProductType = productType;
}

void MemoryWindows::SetVersionDetails(DWORD build, const std::string& servicePack,
                                      WORD servicePackMajor) {
    std::lock_guard<std::mutex> lock(state_->mu);
    OSVERSIONINFOEXA& v = state_->version;
    v.dwBuildNumber = build;
    const size_t length = std::min(servicePack.size(), sizeof v.szCSDVersion - 1);
    std::memset(v.szCSDVersion, 0, sizeof v.szCSDVersion);
    std::memcpy(v.szCSDVersion, servicePack.data(), length);
    v.wServicePackMajor = servicePackMajor;
}

void MemoryWindows::SetComputerName(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->computerName = name;
}

void MemoryWindows::SetModulePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modulePath = path;
}

void MemoryWindows::SetDriveType(char letter, UINT type) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->driveTypes[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = type;
}

HMODULE MemoryWindows::GetModuleHandleA(LPCSTR moduleName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (!moduleName) return kExeModule;
    const std::u16string name = codepages::FoldName(s.Wide(moduleName));
    if (name == u"KERNEL32" || name == u"KERNEL32.DLL") return kKernel32;
    if (name == u"ADVAPI32" || name == u"ADVAPI32.DLL") return kAdvapi32;
    s.Fail(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC MemoryWindows::GetProcAddress(HMODULE module, LPCSTR procName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    // Values below 64K are ordinals, not names.
    bool byName = reinterpret_cast<ULONG_PTR>(procName) >= 0x10000;
    std::string name = byName ? procName : "";
    if (module != kKernel32 && module != kAdvapi32 && module != kExeModule) {
        s.Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Export names are case-sensitive.
    if (module == kKernel32 && name == "IsWow64Process") return &IsWow64ProcessExport;
    if (module == kKernel32 && name == "GetNativeSystemInfo") return &GetNativeSystemInfoExport;
    if (module == kAdvapi32 && name == "RegDeleteKeyExA") return &RegDeleteKeyExAExport;
    s.Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HANDLE MemoryWindows::GetCurrentProcess() { return kCurrentProcess; }

BOOL MemoryWindows::CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (isWow64Process != &IsWow64ProcessExport) {
        s.Fail(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
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

BOOL MemoryWindows::GetVersionExA(OSVERSIONINFOA* versionInfo) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    DWORD size = versionInfo ? versionInfo->dwOSVersionInfoSize : 0;
    if (!versionInfo) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The two records share their first 148 bytes.
    std::memcpy(versionInfo, &s.version, size);
    versionInfo->dwOSVersionInfoSize = size;
    return TRUE;
}

UINT MemoryWindows::GetDriveTypeA(LPCSTR rootPathName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
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

DWORD MemoryWindows::GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (module && module != kExeModule) {
        s.Fail(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (s.modulePath.empty()) {
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

namespace {

// What a 32-bit x86 process is told of a machine of `architecture`.
void FillSystemInfo(LPSYSTEM_INFO info, WORD architecture) {
    *info = SYSTEM_INFO{};
    info->wProcessorArchitecture = architecture;
    info->dwPageSize = 4096;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(0x10000));
    info->lpMaximumApplicationAddress =
        reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(0x7FFEFFFF));
    info->dwActiveProcessorMask = 1;
    info->dwNumberOfProcessors = 1;
    info->dwProcessorType = architecture == PROCESSOR_ARCHITECTURE_AMD64 ? 8664 : 586;
    info->dwAllocationGranularity = 65536;
    info->wProcessorLevel = 6;
}

}  // namespace

void MemoryWindows::CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    // A function of another name called through this signature: no record is filled.
    if (getNativeSystemInfo != &GetNativeSystemInfoExport || !info) return;
    FillSystemInfo(info, s.wow64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL);
}

void MemoryWindows::GetSystemInfo(LPSYSTEM_INFO info) {
    if (info) FillSystemInfo(info, PROCESSOR_ARCHITECTURE_INTEL);
}

BOOL MemoryWindows::GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    if (!size) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string& name = s.computerName;
    if (!buffer || *size < name.size() + 1) {
        *size = static_cast<DWORD>(name.size() + 1);
        s.Fail(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), 2 * (name.size() + 1));
    *size = static_cast<DWORD>(name.size());
    return TRUE;
}
