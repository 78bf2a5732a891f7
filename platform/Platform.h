// The seam between the service and Windows. Every Windows function the service
// framework and the drive icon logic use is a virtual member here, with the
// name, arguments and result of the Win32 function it stands for, so each call
// can be checked against the Win32 documentation.
//
// Error contract, as in Win32: registry functions return an error code
// (ERROR_SUCCESS on success); the others return FALSE / null / 0 on failure and
// leave the reason in the calling thread's last-error value. Out-parameters are
// written only where Win32 writes them.
//
// Two implementations: Win32Platform (platform/win32, Windows builds only) makes
// the plain Win32 calls; MemoryWindows (platform/memory, Linux builds) is an
// in-memory Windows, on which the Linux explain tool runs and the tests' double
// (tests/support/FakeWindows) builds. Views that change a few calls derive from
// ForwardingPlatform.
#pragma once

#include "platform/WinTypes.h"

class Platform {
public:
    virtual ~Platform() = default;

    // Registry (advapi32)
    virtual LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                 DWORD options, REGSAM access, LPVOID securityAttributes,
                                 PHKEY result, LPDWORD disposition) = 0;
    virtual LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                               PHKEY result) = 0;
    virtual LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) = 0;
    virtual LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                               LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                               PFILETIME lastWriteTime) = 0;
    virtual LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                  LPBYTE data, LPDWORD dataSize) = 0;
    // Used for the numbers of subkeys and values; the other outputs may be null.
    virtual LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                                  LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                  LPDWORD values, LPDWORD maxValueNameLength,
                                  LPDWORD maxValueLength, LPDWORD securityDescriptorSize,
                                  PFILETIME lastWriteTime) = 0;
    virtual LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                const BYTE* data, DWORD dataSize) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
    virtual LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) = 0;

    // Registry in UTF-16 (advapi32), as regedit reads it: what the explain
    // tool's --save copies, names and text as the registry keeps them.
    virtual LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                               PHKEY result) = 0;
    virtual LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                               LPDWORD reserved, LPWSTR keyClass, LPDWORD classLength,
                               PFILETIME lastWriteTime) = 0;
    virtual LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                               LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) = 0;

    // Run-time look-up of exports that not every Windows version has
    // (IsWow64Process and GetNativeSystemInfo in kernel32, RegDeleteKeyExA in
    // advapi32). The Call*
    // members call a function obtained from GetProcAddress through the
    // signature of that export.
    virtual HMODULE GetModuleHandleA(LPCSTR moduleName) = 0;
    virtual FARPROC GetProcAddress(HMODULE module, LPCSTR procName) = 0;
    virtual HANDLE GetCurrentProcess() = 0;
    virtual BOOL CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) = 0;
    virtual LONG CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey,
                                     REGSAM access, DWORD reserved) = 0;
    virtual void CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) = 0;

    // Service control manager (advapi32)
    virtual SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) = 0;
    virtual SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                     DWORD access, DWORD serviceType, DWORD startType,
                                     DWORD errorControl, LPCSTR binaryPathName,
                                     LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                     LPCSTR serviceStartName, LPCSTR password) = 0;
    virtual SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) = 0;
    virtual BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
    virtual BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
    virtual BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                                      DWORD bufferSize, LPDWORD bytesNeeded) = 0;
    // Used with SERVICE_NO_CHANGE and no texts only: it changes nothing and
    // fails with ERROR_SERVICE_MARKED_FOR_DELETE for a service marked for
    // deletion, which OpenServiceA still opens.
    virtual BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                      DWORD errorControl, LPCSTR binaryPathName,
                                      LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                      LPCSTR serviceStartName, LPCSTR password,
                                      LPCSTR displayName) = 0;
    // SERVICE_CONFIG_DESCRIPTION (SERVICE_DESCRIPTIONA) and
    // SERVICE_CONFIG_FAILURE_ACTIONS (SERVICE_FAILURE_ACTIONSA).
    virtual BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
    virtual BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                                LPHANDLER_FUNCTION_EX handler,
                                                                LPVOID context) = 0;
    virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) = 0;

    // Device notifications (user32)
    virtual HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter,
                                                   DWORD flags) = 0;

    // Event log (advapi32)
    virtual HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) = 0;
    virtual BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                              PSID userSid, WORD numStrings, DWORD dataSize, LPCSTR* strings,
                              LPVOID rawData) = 0;
    virtual BOOL DeregisterEventSource(HANDLE eventLog) = 0;

    // System queries (kernel32)
    virtual BOOL GetVersionExA(OSVERSIONINFOA* versionInfo) = 0;
    virtual UINT GetDriveTypeA(LPCSTR rootPathName) = 0;
    virtual DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) = 0;
    virtual int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                                    LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                                    LPBOOL usedDefaultChar) = 0;
    // Whether a byte opens a double-byte character in the active ANSI code page.
    virtual BOOL IsDBCSLeadByte(BYTE testChar) = 0;
    virtual int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteText,
                                    int multiByteLength, LPWSTR wideText, int wideSize) = 0;
    virtual UINT GetACP() = 0;
    // The process's view: a WOW64 process is told of an x86 machine
    // (CallGetNativeSystemInfo tells the machine's own architecture).
    virtual void GetSystemInfo(LPSYSTEM_INFO info) = 0;
    virtual BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD errorCode) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual DWORD SleepEx(DWORD milliseconds, BOOL alertable) = 0;
    virtual DWORD GetCurrentThreadId() = 0;
    virtual HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;

    // Debugger output (kernel32)
    virtual void OutputDebugStringA(LPCSTR text) = 0;

    // Standard output of the console switches. The real platform flushes after
    // every call, so each line is out before a long operation (a service stop)
    // starts.
    virtual void WriteStdout(LPCSTR text) = 0;
};

#ifdef _WIN32
// The process-wide real platform (platform/win32).
Platform& RealPlatform();
#endif
