#include "platform/ReadOnlyPlatform.h"

namespace {

// Access rights that only read. Registry: KEY_READ (query, enumerate,
// notify, read control) and the two view flags. Service manager: connect,
// enumerate, query lock status; services: query config and status, enumerate
// dependents. GENERIC_READ and READ_CONTROL for both.
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kReadControl = 0x00020000;
constexpr REGSAM kRegistryReadAccess = KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY | kGenericRead;
constexpr DWORD kManagerReadAccess = 0x0001 | 0x0004 | 0x0010 | kReadControl | kGenericRead;
constexpr DWORD kServiceReadAccess = 0x0001 | 0x0004 | 0x0008 | kReadControl | kGenericRead;
// Processes: query information (also the limited form) and wait.
constexpr DWORD kProcessReadAccess = 0x0400 | 0x1000 | SYNCHRONIZE | kReadControl;

bool OnlyReads(DWORD access, DWORD readAccess) { return (access & ~readAccess) == 0; }

}  // namespace

LONG ReadOnlyPlatform::RefuseRegistry(const char* function) {
    ++refused_[function];
    return ERROR_ACCESS_DENIED;
}

void ReadOnlyPlatform::Refuse(const char* function) {
    ++refused_[function];
    target().SetLastError(ERROR_ACCESS_DENIED);
}

// ---- Registry ----------------------------------------------------------------

LONG ReadOnlyPlatform::RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/,
                                       LPSTR /*keyClass*/, DWORD /*options*/, REGSAM access,
                                       LPVOID /*securityAttributes*/, PHKEY result,
                                       LPDWORD disposition) {
    if (!OnlyReads(access, kRegistryReadAccess)) return RefuseRegistry("RegCreateKeyExA");
    // Reading an existing key is an open; making a missing one is a write.
    const LONG opened = target().RegOpenKeyExA(key, subKey, 0, access, result);
    if (opened == ERROR_FILE_NOT_FOUND) return RefuseRegistry("RegCreateKeyExA");
    if (opened == ERROR_SUCCESS && disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    return opened;
}

LONG ReadOnlyPlatform::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                     PHKEY result) {
    if (!OnlyReads(access, kRegistryReadAccess)) return RefuseRegistry("RegOpenKeyExA");
    return target().RegOpenKeyExA(key, subKey, options, access, result);
}

LONG ReadOnlyPlatform::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                     PHKEY result) {
    if (!OnlyReads(access, kRegistryReadAccess)) return RefuseRegistry("RegOpenKeyExW");
    return target().RegOpenKeyExW(key, subKey, options, access, result);
}

// ---- Service control manager -----------------------------------------------------

SC_HANDLE ReadOnlyPlatform::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    if (!OnlyReads(access, kManagerReadAccess)) return Refuse("OpenSCManagerA", SC_HANDLE{});
    return target().OpenSCManagerA(machineName, databaseName, access);
}

SC_HANDLE ReadOnlyPlatform::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
    if (!OnlyReads(access, kServiceReadAccess)) return Refuse("OpenServiceA", SC_HANDLE{});
    return target().OpenServiceA(manager, serviceName, access);
}

// ---- Device notifications and event log ----------------------------------------------

// ---- Processes -------------------------------------------------------------------------

HANDLE ReadOnlyPlatform::OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    if (!OnlyReads(access, kProcessReadAccess)) return Refuse("OpenProcess", HANDLE{});
    return target().OpenProcess(access, inheritHandle, processId);
}
