// A view of another Platform that lets reads through (ForwardingPlatform)
// and overrides every call that would change the system, to refuse it:
// registry writes, key creation and deletion, service control and
// installation, event log entries, device notifications.
// The explain tool runs the service's own start-up through it, so what the
// service would write or delete stays a wish.
//
// Error contract: that of Platform. A refused registry call returns
// ERROR_ACCESS_DENIED; any other refused call returns FALSE / null with
// ERROR_ACCESS_DENIED as the last error. RegCreateKeyExA, RegOpenKeyExA and
// RegOpenKeyExW pass only read access (KEY_READ and the view flags); RegCreateKeyExA then
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
    LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override;
    LONG RegCreateKeyA(HKEY, LPCSTR, PHKEY) override { return RefuseRegistry("RegCreateKeyA"); }
    LONG RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) override {
        return RefuseRegistry("RegSetValueExA");
    }
    LONG RegDeleteKeyA(HKEY, LPCSTR) override { return RefuseRegistry("RegDeleteKeyA"); }
    LONG CallRegDeleteKeyExA(FARPROC, HKEY, LPCSTR, REGSAM, DWORD) override {
        return RefuseRegistry("RegDeleteKeyExA");
    }

    SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) override;
    SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                             LPDWORD, LPCSTR, LPCSTR, LPCSTR) override {
        return Refuse("CreateServiceA", SC_HANDLE{});
    }
    SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) override;
    BOOL ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) override {
        return Refuse("ControlService", BOOL{FALSE});
    }
    BOOL ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR,
                              LPCSTR, LPCSTR, LPCSTR) override {
        return Refuse("ChangeServiceConfigA", BOOL{FALSE});
    }
    BOOL ChangeServiceConfig2A(SC_HANDLE, DWORD, LPVOID) override {
        return Refuse("ChangeServiceConfig2A", BOOL{FALSE});
    }
    BOOL DeleteService(SC_HANDLE) override { return Refuse("DeleteService", BOOL{FALSE}); }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) override {
        return Refuse("StartServiceCtrlDispatcherA", BOOL{FALSE});
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX,
                                                        LPVOID) override {
        return Refuse("RegisterServiceCtrlHandlerExA", SERVICE_STATUS_HANDLE{});
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) override {
        return Refuse("SetServiceStatus", BOOL{FALSE});
    }

    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE, LPVOID, DWORD) override {
        return Refuse("RegisterDeviceNotificationA", HDEVNOTIFY{});
    }

    HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) override {
        return Refuse("RegisterEventSourceA", HANDLE{});
    }
    BOOL ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) override {
        return Refuse("ReportEventA", BOOL{FALSE});
    }
    // No event source is ever handed out, so there is none to close.
    BOOL DeregisterEventSource(HANDLE) override {
        return Refuse("DeregisterEventSource", BOOL{FALSE});
    }

    HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) override;

private:
    LONG RefuseRegistry(const char* function);  // ERROR_ACCESS_DENIED
    void Refuse(const char* function);          // sets the last error
    template <typename Result>
    Result Refuse(const char* function, Result failure) {
        Refuse(function);
        return failure;
    }

    std::map<std::string, int> refused_;
};
