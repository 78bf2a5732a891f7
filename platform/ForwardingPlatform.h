// A Platform that hands every call to another one, as it is. A view that
// changes a few calls (ReadOnlyPlatform, the explain tool's own) derives from
// it and overrides only those.
//
// Error contract: that of the target.
#pragma once

#include "platform/Platform.h"

class ForwardingPlatform : public Platform {
public:
    explicit ForwardingPlatform(Platform& target) : target_(target) {}

    Platform& target() const { return target_; }

    LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPVOID securityAttributes, PHKEY result,
                         LPDWORD disposition) override {
        return target_.RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                       securityAttributes, result, disposition);
    }
    LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override {
        return target_.RegOpenKeyExA(key, subKey, options, access, result);
    }
    LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) override {
        return target_.RegCreateKeyA(key, subKey, result);
    }
    LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        return target_.RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass, classLength,
                                     lastWriteTime);
    }
    LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataSize) override {
        return target_.RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
    }
    LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                          LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                          LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                          LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) override {
        return target_.RegQueryInfoKeyA(key, keyClass, classLength, reserved, subKeys,
                                        maxSubKeyLength, maxClassLength, values, maxValueNameLength,
                                        maxValueLength, securityDescriptorSize, lastWriteTime);
    }
    LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override {
        return target_.RegSetValueExA(key, valueName, reserved, type, data, dataSize);
    }
    LONG RegCloseKey(HKEY key) override { return target_.RegCloseKey(key); }
    LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override {
        return target_.RegDeleteKeyA(key, subKey);
    }
    LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override {
        return target_.RegOpenKeyExW(key, subKey, options, access, result);
    }
    LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        return target_.RegEnumKeyExW(key, index, name, nameLength, reserved, keyClass, classLength,
                                     lastWriteTime);
    }
    LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                       LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) override {
        return target_.RegEnumValueW(key, index, valueName, valueNameLength, reserved, type, data,
                                     dataSize);
    }

    HMODULE GetModuleHandleA(LPCSTR moduleName) override {
        return target_.GetModuleHandleA(moduleName);
    }
    FARPROC GetProcAddress(HMODULE module, LPCSTR procName) override {
        return target_.GetProcAddress(module, procName);
    }
    HANDLE GetCurrentProcess() override { return target_.GetCurrentProcess(); }
    BOOL CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) override {
        return target_.CallIsWow64Process(isWow64Process, process, wow64);
    }
    LONG CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey, REGSAM access,
                             DWORD reserved) override {
        return target_.CallRegDeleteKeyExA(regDeleteKeyExA, key, subKey, access, reserved);
    }
    void CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) override {
        target_.CallGetNativeSystemInfo(getNativeSystemInfo, info);
    }

    SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) override {
        return target_.OpenSCManagerA(machineName, databaseName, access);
    }
    SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                             DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                             LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                             LPCSTR dependencies, LPCSTR serviceStartName,
                             LPCSTR password) override {
        return target_.CreateServiceA(manager, serviceName, displayName, access, serviceType,
                                      startType, errorControl, binaryPathName, loadOrderGroup,
                                      tagId, dependencies, serviceStartName, password);
    }
    SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) override {
        return target_.OpenServiceA(manager, serviceName, access);
    }
    BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
        return target_.ControlService(service, control, status);
    }
    BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
        return target_.QueryServiceStatus(service, status);
    }
    BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD bytesNeeded) override {
        return target_.QueryServiceStatusEx(service, infoLevel, buffer, bufferSize, bytesNeeded);
    }
    BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                              DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                              LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                              LPCSTR password, LPCSTR displayName) override {
        return target_.ChangeServiceConfigA(service, serviceType, startType, errorControl,
                                            binaryPathName, loadOrderGroup, tagId, dependencies,
                                            serviceStartName, password, displayName);
    }
    BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) override {
        return target_.ChangeServiceConfig2A(service, infoLevel, info);
    }
    BOOL DeleteService(SC_HANDLE service) override { return target_.DeleteService(service); }
    BOOL CloseServiceHandle(SC_HANDLE handle) override {
        return target_.CloseServiceHandle(handle);
    }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override {
        return target_.StartServiceCtrlDispatcherA(table);
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) override {
        return target_.RegisterServiceCtrlHandlerExA(serviceName, handler, context);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
        return target_.SetServiceStatus(handle, status);
    }

    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override {
        return target_.RegisterDeviceNotificationA(recipient, filter, flags);
    }

    HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) override {
        return target_.RegisterEventSourceA(serverName, sourceName);
    }
    BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                      WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID rawData) override {
        return target_.ReportEventA(eventLog, type, category, eventId, userSid, numStrings,
                                    dataSize, strings, rawData);
    }
    BOOL DeregisterEventSource(HANDLE eventLog) override {
        return target_.DeregisterEventSource(eventLog);
    }

    BOOL GetVersionExA(OSVERSIONINFOA* versionInfo) override {
        return target_.GetVersionExA(versionInfo);
    }
    UINT GetDriveTypeA(LPCSTR rootPathName) override { return target_.GetDriveTypeA(rootPathName); }
    DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) override {
        return target_.GetModuleFileNameA(module, fileName, size);
    }
    int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                            LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                            LPBOOL usedDefaultChar) override {
        return target_.WideCharToMultiByte(codePage, flags, wideText, wideLength, multiByteText,
                                           multiByteSize, defaultChar, usedDefaultChar);
    }
    BOOL IsDBCSLeadByte(BYTE testChar) override { return target_.IsDBCSLeadByte(testChar); }
    int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteText, int multiByteLength,
                            LPWSTR wideText, int wideSize) override {
        return target_.MultiByteToWideChar(codePage, flags, multiByteText, multiByteLength,
                                           wideText, wideSize);
    }
    UINT GetACP() override { return target_.GetACP(); }
    void GetSystemInfo(LPSYSTEM_INFO info) override { target_.GetSystemInfo(info); }
    BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) override {
        return target_.GetComputerNameW(buffer, size);
    }
    DWORD GetLastError() override { return target_.GetLastError(); }
    void SetLastError(DWORD errorCode) override { target_.SetLastError(errorCode); }
    void Sleep(DWORD milliseconds) override { target_.Sleep(milliseconds); }
    DWORD SleepEx(DWORD milliseconds, BOOL alertable) override {
        return target_.SleepEx(milliseconds, alertable);
    }
    DWORD GetCurrentThreadId() override { return target_.GetCurrentThreadId(); }
    HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) override {
        return target_.OpenProcess(access, inheritHandle, processId);
    }
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override {
        return target_.WaitForSingleObject(handle, milliseconds);
    }
    BOOL CloseHandle(HANDLE handle) override { return target_.CloseHandle(handle); }
    void OutputDebugStringA(LPCSTR text) override { target_.OutputDebugStringA(text); }
    void WriteStdout(LPCSTR text) override { target_.WriteStdout(text); }

private:
    Platform& target_;
};
