// The real platform: each member is the Win32 call of the same name. Members
// call the global (::) function explicitly, since the unqualified name would
// find the member itself.
#include <cstdio>

#include "platform/Platform.h"

namespace {

// GetProcAddress hands out a generic function pointer; going through
// void (*)() first is the conversion GCC accepts without -Wcast-function-type.
template <typename Fn>
Fn ExportAs(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

class Win32Platform : public Platform {
public:
    // Registry (advapi32)
    LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPVOID securityAttributes, PHKEY result,
                         LPDWORD disposition) override {
        return ::RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                 static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), result,
                                 disposition);
    }
    LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override {
        return ::RegOpenKeyExA(key, subKey, options, access, result);
    }
    LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) override {
        return ::RegCreateKeyA(key, subKey, result);
    }
    LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        return ::RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass, classLength,
                               lastWriteTime);
    }
    LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataSize) override {
        return ::RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
    }
    LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                          LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                          LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                          LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) override {
        return ::RegQueryInfoKeyA(key, keyClass, classLength, reserved, subKeys, maxSubKeyLength,
                                  maxClassLength, values, maxValueNameLength, maxValueLength,
                                  securityDescriptorSize, lastWriteTime);
    }
    LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override {
        return ::RegSetValueExA(key, valueName, reserved, type, data, dataSize);
    }
    LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(key); }
    LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override { return ::RegDeleteKeyA(key, subKey); }
    LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override {
        return ::RegOpenKeyExW(key, subKey, options, access, result);
    }
    LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        return ::RegEnumKeyExW(key, index, name, nameLength, reserved, keyClass, classLength,
                               lastWriteTime);
    }
    LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                       LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) override {
        return ::RegEnumValueW(key, index, valueName, valueNameLength, reserved, type, data,
                               dataSize);
    }

    // Run-time look-up
    HMODULE GetModuleHandleA(LPCSTR moduleName) override { return ::GetModuleHandleA(moduleName); }
    FARPROC GetProcAddress(HMODULE module, LPCSTR procName) override {
        return ::GetProcAddress(module, procName);
    }
    HANDLE GetCurrentProcess() override { return ::GetCurrentProcess(); }
    BOOL CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) override {
        using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
        return ExportAs<IsWow64ProcessFn>(isWow64Process)(process, wow64);
    }
    LONG CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey, REGSAM access,
                             DWORD reserved) override {
        using RegDeleteKeyExAFn = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);
        return ExportAs<RegDeleteKeyExAFn>(regDeleteKeyExA)(key, subKey, access, reserved);
    }
    void CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) override {
        using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
        ExportAs<GetNativeSystemInfoFn>(getNativeSystemInfo)(info);
    }

    // Service control manager (advapi32)
    SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) override {
        return ::OpenSCManagerA(machineName, databaseName, access);
    }
    SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                             DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                             LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                             LPCSTR dependencies, LPCSTR serviceStartName,
                             LPCSTR password) override {
        return ::CreateServiceA(manager, serviceName, displayName, access, serviceType, startType,
                                errorControl, binaryPathName, loadOrderGroup, tagId, dependencies,
                                serviceStartName, password);
    }
    SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) override {
        return ::OpenServiceA(manager, serviceName, access);
    }
    BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
        return ::ControlService(service, control, status);
    }
    BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
        return ::QueryServiceStatus(service, status);
    }
    BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD bytesNeeded) override {
        return ::QueryServiceStatusEx(service, infoLevel, buffer, bufferSize, bytesNeeded);
    }
    BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                              DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                              LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                              LPCSTR password, LPCSTR displayName) override {
        return ::ChangeServiceConfigA(service, serviceType, startType, errorControl, binaryPathName,
                                      loadOrderGroup, tagId, dependencies, serviceStartName,
                                      password, displayName);
    }
    BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) override {
        return ::ChangeServiceConfig2A(service, infoLevel, info);
    }
    BOOL DeleteService(SC_HANDLE service) override { return ::DeleteService(service); }
    BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override {
        return ::StartServiceCtrlDispatcherA(table);
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) override {
        return ::RegisterServiceCtrlHandlerExA(serviceName, handler, context);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
        return ::SetServiceStatus(handle, status);
    }

    // Device notifications (user32)
    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override {
        return ::RegisterDeviceNotificationA(recipient, filter, flags);
    }

    // Event log (advapi32)
    HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) override {
        return ::RegisterEventSourceA(serverName, sourceName);
    }
    BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                      WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID rawData) override {
        return ::ReportEventA(eventLog, type, category, eventId, userSid, numStrings, dataSize,
                              strings, rawData);
    }
    BOOL DeregisterEventSource(HANDLE eventLog) override {
        return ::DeregisterEventSource(eventLog);
    }

    // System queries (kernel32)
    BOOL GetVersionExA(OSVERSIONINFOA* versionInfo) override {
        return ::GetVersionExA(versionInfo);
    }
    UINT GetDriveTypeA(LPCSTR rootPathName) override { return ::GetDriveTypeA(rootPathName); }
    DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) override {
        return ::GetModuleFileNameA(module, fileName, size);
    }
    int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                            LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                            LPBOOL usedDefaultChar) override {
        return ::WideCharToMultiByte(codePage, flags, wideText, wideLength, multiByteText,
                                     multiByteSize, defaultChar, usedDefaultChar);
    }
    BOOL IsDBCSLeadByte(BYTE testChar) override { return ::IsDBCSLeadByte(testChar); }
    int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteText, int multiByteLength,
                            LPWSTR wideText, int wideSize) override {
        return ::MultiByteToWideChar(codePage, flags, multiByteText, multiByteLength, wideText,
                                     wideSize);
    }
    UINT GetACP() override { return ::GetACP(); }
    void GetSystemInfo(LPSYSTEM_INFO info) override { ::GetSystemInfo(info); }
    BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) override {
        return ::GetComputerNameW(buffer, size);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    void SetLastError(DWORD errorCode) override { ::SetLastError(errorCode); }
    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
    DWORD SleepEx(DWORD milliseconds, BOOL alertable) override {
        return ::SleepEx(milliseconds, alertable);
    }
    DWORD GetCurrentThreadId() override { return ::GetCurrentThreadId(); }
    HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) override {
        return ::OpenProcess(access, inheritHandle, processId);
    }
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
        return ::WaitForSingleObject(handle, milliseconds);
    }
    BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }

    // Debugger output (kernel32)
    void OutputDebugStringA(LPCSTR text) override { ::OutputDebugStringA(text); }

    void WriteStdout(LPCSTR text) override {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
};

}  // namespace

Platform& RealPlatform() {
    static Win32Platform platform;
    return platform;
}
