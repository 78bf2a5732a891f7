// The tests' double of Windows: the in-memory Windows (platform/memory) and,
// on top of it, what only tests want: a record of every Platform call,
// failure switches, locked keys, the service control manager's database, the
// dispatcher of a started service, the event log, debugger output and the
// console's standard output. Sleep only yields, so that a Run loop turns at
// once. Linked by the unit tests, fuzz targets and the benchmark; never by
// the product.
//
// Thread safety: all members may be called from any thread. The registered
// control handler and ServiceMain run without the double's lock held.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/memory/MemoryWindows.h"

class FakeWindows : public MemoryWindows {
public:
    FakeWindows();
    ~FakeWindows() override;

    // ---- Set-up and inspection beyond MemoryWindows ------------------------------
    void SetString(const std::string& path, const std::string& name,
                   const std::string& text);  // REG_SZ, NUL included
    void SetDword(const std::string& path, const std::string& name, DWORD value);
    void SetBinary(const std::string& path, const std::string& name, const std::vector<BYTE>& data);
    // The REG_BINARY record the mount manager writes: UTF-16LE, no terminating
    // NUL. Each char of `text` is one code unit (Latin-1); for other characters
    // use SetBinary with Utf16Bytes.
    void SetMountRecord(char letter, const std::string& text);
    static std::vector<BYTE> Utf16Bytes(const std::u16string& text);

    // Opening, creating or deleting the key fails with ERROR_ACCESS_DENIED, and
    // so does creating a missing key below it.
    void DenyAccess(const std::string& path);
    size_t OpenKeyCount() const;  // registry handles opened and not yet closed

    // Process and system
    // "IsWow64Process", "RegDeleteKeyExA", "GetNativeSystemInfo"
    void SetExportPresent(const std::string& procName, bool present);
    // Fail GetVersionExA for the extended (156-byte) and / or plain (148-byte) record.
    void SetVersionFailures(bool extendedFails, bool plainFails);
    void SetModulePathFails(bool fails);  // GetModuleFileNameA returns 0

    // Recorded calls: the Platform member's name and its main arguments, for
    // example {"RegOpenKeyExA", "SYSTEM\\MountedDevices 0x20019"}.
    // Registry paths are the full path as the caller named it (before any WOW64
    // redirection), access masks lower-case hex:
    //   RegCreateKeyExA, RegOpenKeyExA   "<path> 0x<access>"
    //   RegCreateKeyA                    "<path> 0xf003f"
    //   RegDeleteKeyA                    "<path>"
    //   RegDeleteKeyExA                  "<path> 0x<access>" (recorded for CallRegDeleteKeyExA)
    //   RegEnumKeyExA                    "<key path> <index>"
    //   RegQueryValueExA, RegSetValueExA "<key path> <value name>" ("" = default value)
    //   RegOpenKeyExW                    "<path in UTF-8> 0x<access>"
    //   RegEnumKeyExW, RegEnumValueW     "<key path> <index>"
    //   RegCloseKey                      "<key path>"
    // CallIsWow64Process is recorded as "IsWow64Process", CallGetNativeSystemInfo
    // as "GetNativeSystemInfo". Others: OpenServiceA
    // "<name> 0x<access>", CreateServiceA "<name>", ControlService "<control>",
    // SetServiceStatus "<state>", ReportEventA "<event id>", GetDriveTypeA
    // "<root path>", GetModuleHandleA / GetProcAddress "<name>", OpenProcess
    // "<process id>", WaitForSingleObject "<milliseconds>"; the rest by name only.
    struct Call {
        std::string function;
        std::string detail;
    };
    std::vector<Call> Calls() const;
    size_t CountCalls(const std::string& function) const;
    size_t CountCallsWithPrefix(
        const std::string& functionPrefix) const;  // "Reg" = any registry call
    void ClearCalls();

    // Service control manager. The database holds services created through
    // CreateServiceA (or AddService); a service's state there is what
    // QueryServiceStatus reports.
    struct ServiceRecord {
        std::string name;
        std::string displayName;
        DWORD serviceType = 0;
        DWORD startType = 0;
        DWORD errorControl = 0;
        std::string imagePath;
        std::string account;  // "" = LocalSystem
        std::string description;
        // The recovery policy: reset period in seconds, then (type, delay in
        // ms) for the first, second, ... failure.
        DWORD failureResetPeriod = 0;
        std::vector<std::pair<DWORD, DWORD>> failureActions;
        DWORD state = SERVICE_STOPPED;
        // While running in another process: QueryServiceStatus calls after an
        // accepted stop before the state reads SERVICE_STOPPED.
        int queriesUntilStopped = 0;
        // While START_PENDING: QueryServiceStatus calls before it reads RUNNING.
        int queriesUntilStarted = 0;
        bool refuseStop = false;  // ControlService(STOP) fails with 1061
        // It stops by itself between a caller's status query and the stop
        // request, which then finds it stopped (1062).
        bool stopsBeforeTheControl = false;
        bool queryFails = false;   // QueryServiceStatus fails
        bool deleteFails = false;  // DeleteService fails with ERROR_ACCESS_DENIED
        // DeleteService fails with 1072: an earlier "-u" marked it for deletion.
        bool markedForDeletion = false;
        // The service's process (0: none), reported by QueryServiceStatusEx
        // until the state reads SERVICE_STOPPED. A wait on it succeeds once the
        // state reads SERVICE_STOPPED, unless it outlives the stop: then every
        // wait times out.
        DWORD processId = 0;
        bool processOutlivesStop = false;
    };
    void AddService(const ServiceRecord& record);
    std::optional<ServiceRecord> FindService(const std::string& name) const;
    void UpdateService(const ServiceRecord& record);
    void SetScmOpenFails(DWORD error);              // 0: OpenSCManagerA succeeds
    void SetCreateServiceFails(DWORD error);        // 0: succeeds unless the name exists
    void SetChangeServiceConfigFails(DWORD error);  // 0: ChangeServiceConfig2A succeeds
    size_t OpenServiceHandleCount() const;          // manager and service handles still open
    size_t OpenProcessHandleCount() const;          // from OpenProcess, not yet closed

    // Service dispatcher. When the process counts as started by the service
    // control manager, StartServiceCtrlDispatcherA runs the table's service
    // main on a new thread and dispatches SendControl requests to the
    // registered handler on the calling thread until the service thread ends.
    // Otherwise it fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
    void SetStartedAsService(bool started);
    void SetRegisterHandlerFails(bool fails);
    // Runs the registered handler on the dispatcher thread and returns its
    // result. A control sent before the handler is registered waits for it.
    // ERROR_SERVICE_NOT_ACTIVE at once when the dispatcher is not running, and
    // when the service thread ends before a handler took the control.
    DWORD SendControl(DWORD control, DWORD eventType = 0, LPVOID eventData = nullptr);
    // Queues a control and returns at once; the dispatcher runs it in order.
    // One posted before StartServiceCtrlDispatcherA waits for that dispatcher.
    void PostControl(DWORD control, DWORD eventType = 0, LPVOID eventData = nullptr);
    // Waits (up to 10 s) until a SetServiceStatus call reported `state`.
    bool WaitForReportedState(DWORD state);
    std::vector<SERVICE_STATUS> StatusReports() const;  // every SetServiceStatus, in order
    struct DeviceRegistration {
        HANDLE recipient;
        DWORD flags;
        DEV_BROADCAST_DEVICEINTERFACE_A filter;
    };
    std::vector<DeviceRegistration> DeviceRegistrations() const;

    // Event log and debug output
    struct Event {
        std::string source;
        WORD type;
        WORD category;
        DWORD id;
        bool hasSid;
        DWORD dataSize;
        std::vector<std::string> strings;
    };
    std::vector<Event> Events() const;
    int EventSourceRegistrations() const;
    int OpenEventSourceCount() const;
    void SetRegisterEventSourceFails(bool fails);
    std::vector<std::string> DebugOutput() const;  // each OutputDebugStringA text, as passed
    std::string Stdout() const;

    // ---- Platform -----------------------------------------------------------
    LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPVOID securityAttributes, PHKEY result,
                         LPDWORD disposition) override;
    LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override;
    LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) override;
    LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override;
    LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD dataSize) override;
    LONG RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                          LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                          LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                          LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) override;
    LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override;
    LONG RegCloseKey(HKEY key) override;
    LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override;
    LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                       PHKEY result) override;
    LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPWSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override;
    LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                       LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) override;

    HMODULE GetModuleHandleA(LPCSTR moduleName) override;
    FARPROC GetProcAddress(HMODULE module, LPCSTR procName) override;
    HANDLE GetCurrentProcess() override;
    BOOL CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) override;
    void CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) override;
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
    BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) override;
    BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD bytesNeeded) override;
    BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                              DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                              LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                              LPCSTR password, LPCSTR displayName) override;
    BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) override;
    BOOL DeleteService(SC_HANDLE service) override;
    BOOL CloseServiceHandle(SC_HANDLE handle) override;
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

    BOOL GetVersionExA(OSVERSIONINFOA* versionInfo) override;
    UINT GetDriveTypeA(LPCSTR rootPathName) override;
    DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) override;
    int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                            LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                            LPBOOL usedDefaultChar) override;
    BOOL IsDBCSLeadByte(BYTE testChar) override;
    int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteText, int multiByteLength,
                            LPWSTR wideText, int wideSize) override;
    UINT GetACP() override;
    void GetSystemInfo(LPSYSTEM_INFO info) override;
    BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) override;
    DWORD GetLastError() override;
    void SetLastError(DWORD errorCode) override;
    void Sleep(DWORD milliseconds) override;  // yields briefly; never waits the full time
    DWORD SleepEx(DWORD milliseconds, BOOL alertable) override;  // the same
    DWORD GetCurrentThreadId() override;
    // Processes are those of the service records; a wait never blocks.
    HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) override;
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE handle) override;
    void OutputDebugStringA(LPCSTR text) override;
    void WriteStdout(LPCSTR text) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};
