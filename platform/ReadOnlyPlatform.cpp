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

LONG ReadOnlyPlatform::RegCreateKeyA(HKEY, LPCSTR, PHKEY) {
    return RefuseRegistry("RegCreateKeyA");
}

LONG ReadOnlyPlatform::RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return RefuseRegistry("RegSetValueExA");
}

LONG ReadOnlyPlatform::RegDeleteKeyA(HKEY, LPCSTR) { return RefuseRegistry("RegDeleteKeyA"); }

LONG ReadOnlyPlatform::CallRegDeleteKeyExA(FARPROC, HKEY, LPCSTR, REGSAM, DWORD) {
    return RefuseRegistry("RegDeleteKeyExA");
}

// ---- Service control manager -----------------------------------------------------

SC_HANDLE ReadOnlyPlatform::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    if (!OnlyReads(access, kManagerReadAccess)) {
        Refuse("OpenSCManagerA");
        return nullptr;
    }
    return target().OpenSCManagerA(machineName, databaseName, access);
}

SC_HANDLE ReadOnlyPlatform::CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                                           LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
    Refuse("CreateServiceA");
    return nullptr;
}

SC_HANDLE ReadOnlyPlatform::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
    if (!OnlyReads(access, kServiceReadAccess)) {
        Refuse("OpenServiceA");
        return nullptr;
    }
    return target().OpenServiceA(manager, serviceName, access);
}

BOOL ReadOnlyPlatform::ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) {
    Refuse("ControlService");
    return FALSE;
}

BOOL ReadOnlyPlatform::ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD,
                                            LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
    Refuse("ChangeServiceConfigA");
    return FALSE;
}

BOOL ReadOnlyPlatform::ChangeServiceConfig2A(SC_HANDLE, DWORD, LPVOID) {
    Refuse("ChangeServiceConfig2A");
    return FALSE;
}

BOOL ReadOnlyPlatform::DeleteService(SC_HANDLE) {
    Refuse("DeleteService");
    return FALSE;
}

BOOL ReadOnlyPlatform::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) {
    Refuse("StartServiceCtrlDispatcherA");
    return FALSE;
}

SERVICE_STATUS_HANDLE ReadOnlyPlatform::RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX,
                                                                      LPVOID) {
    Refuse("RegisterServiceCtrlHandlerExA");
    return nullptr;
}

BOOL ReadOnlyPlatform::SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) {
    Refuse("SetServiceStatus");
    return FALSE;
}

// ---- Device notifications and event log ----------------------------------------------

HDEVNOTIFY ReadOnlyPlatform::RegisterDeviceNotificationA(HANDLE, LPVOID, DWORD) {
    Refuse("RegisterDeviceNotificationA");
    return nullptr;
}

HANDLE ReadOnlyPlatform::RegisterEventSourceA(LPCSTR, LPCSTR) {
    Refuse("RegisterEventSourceA");
    return nullptr;
}

BOOL ReadOnlyPlatform::ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) {
    Refuse("ReportEventA");
    return FALSE;
}

// No event source is ever handed out, so there is none to close.
BOOL ReadOnlyPlatform::DeregisterEventSource(HANDLE) {
    Refuse("DeregisterEventSource");
    return FALSE;
}

// ---- Processes -------------------------------------------------------------------------

HANDLE ReadOnlyPlatform::OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    if (!OnlyReads(access, kProcessReadAccess)) {
        Refuse("OpenProcess");
        return nullptr;
    }
    return target().OpenProcess(access, inheritHandle, processId);
}
