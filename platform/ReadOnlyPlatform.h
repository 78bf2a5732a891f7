// A view of another Platform that lets reads through (ForwardingPlatform)
// and overrides every call that would change the system, to refuse it:
// registry writes, key creation and deletion, service control and
// installation, event log entries, device notifications.
// The explain tool runs the service's own start-up through it, so what the
// service would write or delete stays a wish.
//
// Error contract: that of Platform. A refused registry call returns
// ERROR_ACCESS_DENIED; any other refused call returns FALSE / null with
// ERROR_ACCESS_DENIED as the last error. RegCreateKeyExA and RegOpenKeyExA
// pass only read access (KEY_READ and the view flags); RegCreateKeyExA then
// opens an existing key and refuses to create a missing one. The service
// manager and OpenProcess pass only access that queries or waits. Refused calls are
// counted per function name. Not for use from several threads at once.
#pragma once

#include <map>
#include <string>

#include "platform/ForwardingPlatform.h"

class ReadOnlyPlatform : public ForwardingPlatform {
public:
    explicit ReadOnlyPlatform(Platform& inner) : ForwardingPlatform(inner) {}

    // Refused calls so far, by function name.
    const std::map<std::string, int>& Refused() const { return refused_; }

    LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPVOID securityAttributes, PHKEY result,
                         LPDWORD disposition) override;
    LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override;
    LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) override;
    LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override;
    LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override;
    LONG CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey, REGSAM access,
                             DWORD reserved) override;

    SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) override;
    SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                             DWORD access, DWORD serviceType, DWORD startType, DWORD errorControl,
                             LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                             LPCSTR dependencies, LPCSTR serviceStartName,
                             LPCSTR password) override;
    SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override;
    BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                              DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                              LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                              LPCSTR password, LPCSTR displayName) override;
    BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) override;
    BOOL DeleteService(SC_HANDLE service) override;
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override;
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) override;
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override;

    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override;

    HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) override;
    BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                      WORD numStrings, DWORD dataSize, LPCSTR* strings, LPVOID rawData) override;
    BOOL DeregisterEventSource(HANDLE eventLog) override;

    HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) override;

private:
    LONG RefuseRegistry(const char* function);  // ERROR_ACCESS_DENIED
    void Refuse(const char* function);          // sets the last error

    std::map<std::string, int> refused_;
};
