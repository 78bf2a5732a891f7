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
    inner_.SetLastError(ERROR_ACCESS_DENIED);
}

// ---- Registry ----------------------------------------------------------------

LONG ReadOnlyPlatform::RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD /*reserved*/,
                                       LPSTR /*keyClass*/, DWORD /*options*/, REGSAM access,
                                       LPVOID /*securityAttributes*/, PHKEY result,
                                       LPDWORD disposition) {
    if (!OnlyReads(access, kRegistryReadAccess)) return RefuseRegistry("RegCreateKeyExA");
    // Reading an existing key is an open; making a missing one is a write.
    const LONG opened = inner_.RegOpenKeyExA(key, subKey, 0, access, result);
    if (opened == ERROR_FILE_NOT_FOUND) return RefuseRegistry("RegCreateKeyExA");
    if (opened == ERROR_SUCCESS && disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    return opened;
}

LONG ReadOnlyPlatform::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                     PHKEY result) {
    if (!OnlyReads(access, kRegistryReadAccess)) return RefuseRegistry("RegOpenKeyExA");
    return inner_.RegOpenKeyExA(key, subKey, options, access, result);
}

LONG ReadOnlyPlatform::RegCreateKeyA(HKEY, LPCSTR, PHKEY) {
    return RefuseRegistry("RegCreateKeyA");
}

LONG ReadOnlyPlatform::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                     LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                                     PFILETIME lastWriteTime) {
    return inner_.RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass, classLength,
                                lastWriteTime);
}

LONG ReadOnlyPlatform::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize) {
    return inner_.RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
}

LONG ReadOnlyPlatform::RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return RefuseRegistry("RegSetValueExA");
}

LONG ReadOnlyPlatform::RegCloseKey(HKEY key) { return inner_.RegCloseKey(key); }

LONG ReadOnlyPlatform::RegDeleteKeyA(HKEY, LPCSTR) { return RefuseRegistry("RegDeleteKeyA"); }

// ---- Run-time look-up ----------------------------------------------------------

HMODULE ReadOnlyPlatform::GetModuleHandleA(LPCSTR moduleName) {
    return inner_.GetModuleHandleA(moduleName);
}

FARPROC ReadOnlyPlatform::GetProcAddress(HMODULE module, LPCSTR procName) {
    return inner_.GetProcAddress(module, procName);
}

HANDLE ReadOnlyPlatform::GetCurrentProcess() { return inner_.GetCurrentProcess(); }

BOOL ReadOnlyPlatform::CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) {
    return inner_.CallIsWow64Process(isWow64Process, process, wow64);
}

LONG ReadOnlyPlatform::CallRegDeleteKeyExA(FARPROC, HKEY, LPCSTR, REGSAM, DWORD) {
    return RefuseRegistry("RegDeleteKeyExA");
}

// ---- Service control manager -----------------------------------------------------

SC_HANDLE ReadOnlyPlatform::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    if (!OnlyReads(access, kManagerReadAccess)) {
        Refuse("OpenSCManagerA");
        return nullptr;
    }
    return inner_.OpenSCManagerA(machineName, databaseName, access);
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
    return inner_.OpenServiceA(manager, serviceName, access);
}

BOOL ReadOnlyPlatform::ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) {
    Refuse("ControlService");
    return FALSE;
}

BOOL ReadOnlyPlatform::QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    return inner_.QueryServiceStatus(service, status);
}

BOOL ReadOnlyPlatform::QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel,
                                            LPBYTE buffer, DWORD bufferSize,
                                            LPDWORD bytesNeeded) {
    return inner_.QueryServiceStatusEx(service, infoLevel, buffer, bufferSize, bytesNeeded);
}

BOOL ReadOnlyPlatform::ChangeServiceConfig2A(SC_HANDLE, DWORD, LPVOID) {
    Refuse("ChangeServiceConfig2A");
    return FALSE;
}

BOOL ReadOnlyPlatform::DeleteService(SC_HANDLE) {
    Refuse("DeleteService");
    return FALSE;
}

BOOL ReadOnlyPlatform::CloseServiceHandle(SC_HANDLE handle) {
    return inner_.CloseServiceHandle(handle);
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

// ---- System queries and output --------------------------------------------------------

BOOL ReadOnlyPlatform::GetVersionExA(OSVERSIONINFOA* versionInfo) {
    return inner_.GetVersionExA(versionInfo);
}

UINT ReadOnlyPlatform::GetDriveTypeA(LPCSTR rootPathName) {
    return inner_.GetDriveTypeA(rootPathName);
}

DWORD ReadOnlyPlatform::GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    return inner_.GetModuleFileNameA(module, fileName, size);
}

int ReadOnlyPlatform::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText,
                                          int wideLength, LPSTR multiByteText, int multiByteSize,
                                          LPCCH defaultChar, LPBOOL usedDefaultChar) {
    return inner_.WideCharToMultiByte(codePage, flags, wideText, wideLength, multiByteText,
                                      multiByteSize, defaultChar, usedDefaultChar);
}

BOOL ReadOnlyPlatform::IsDBCSLeadByte(BYTE testChar) { return inner_.IsDBCSLeadByte(testChar); }
DWORD ReadOnlyPlatform::GetLastError() { return inner_.GetLastError(); }
void ReadOnlyPlatform::SetLastError(DWORD errorCode) { inner_.SetLastError(errorCode); }
void ReadOnlyPlatform::Sleep(DWORD milliseconds) { inner_.Sleep(milliseconds); }

DWORD ReadOnlyPlatform::SleepEx(DWORD milliseconds, BOOL alertable) {
    return inner_.SleepEx(milliseconds, alertable);
}

DWORD ReadOnlyPlatform::GetCurrentThreadId() { return inner_.GetCurrentThreadId(); }

HANDLE ReadOnlyPlatform::OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    if (!OnlyReads(access, kProcessReadAccess)) {
        Refuse("OpenProcess");
        return nullptr;
    }
    return inner_.OpenProcess(access, inheritHandle, processId);
}

DWORD ReadOnlyPlatform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return inner_.WaitForSingleObject(handle, milliseconds);
}

BOOL ReadOnlyPlatform::CloseHandle(HANDLE handle) { return inner_.CloseHandle(handle); }
void ReadOnlyPlatform::OutputDebugStringA(LPCSTR text) { inner_.OutputDebugStringA(text); }
void ReadOnlyPlatform::WriteStdout(LPCSTR text) { inner_.WriteStdout(text); }
