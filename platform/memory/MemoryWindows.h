// An in-memory Windows: the registry with the WOW64 views of SOFTWARE, two
// ANSI code pages (1252 single-byte, 932 double-byte), the machine facts the
// drive icon service reads (version, drive types, module path, WOW64, the
// exports it looks up at run time) and the explain tool's --save (computer
// name, architecture), per-thread last error, thread ids and
// Sleep. The Linux QarnIExplain loads "reg export" files into it and runs the
// service's start-up on it; the tests' double (tests/support/FakeWindows)
// builds on it. The contract suite (tests/contract) holds it to what Win32
// does.
//
// Error contract: that of Platform. Calls of what is not here fail with
// ERROR_CALL_NOT_IMPLEMENTED: the service control manager, the handler
// registration, device notifications and the event log. The dispatcher fails
// as in a process the service manager did not start, and no process but this
// one exists (OpenProcess, waits and handle closes fail as for an unknown
// process or handle). Debugger and console output go nowhere.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"

class MemoryWindows : public Platform {
public:
    MemoryWindows();
    ~MemoryWindows() override;

    // ---- Set-up and inspection ------------------------------------------------
    // The registry keeps key names, value names and string data in UTF-16 and
    // compares names without regard to case, per UTF-16 unit as Windows folds
    // it; subkeys enumerate in the order of their upper-case names. The ANSI
    // calls convert names and string data at the call with the active code
    // page, both ways: a name the code page cannot write comes back from
    // RegEnumKeyExA with '?' (or a best fit) and is not found by that
    // spelling.
    //
    // Registry paths below are relative to HKEY_LOCAL_MACHINE, separated by '\',
    // and name keys of the native (64-bit) tree: the 32-bit view of a WOW64
    // process sees HKLM\SOFTWARE\X at "SOFTWARE\Wow6432Node\X". A value name
    // of "" is the key's default value. The set-up and inspection calls that
    // take text of the code page convert it as the ANSI calls do (under 932 a
    // trail byte 0x5C is part of a name, not a separator); those that take
    // UTF-16 keep names and data as given.
    struct RegValue {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        // The data up to its first NUL (or all of it).
        std::string AsString() const;
    };

    // The key and every missing parent. ERROR_SUCCESS, or the error
    // RegCreateKeyExA gives for such a path (a name longer than the registry
    // takes); then nothing is created.
    LONG CreateKey(const std::string& path);
    // Creates the key; string data is given in the code page, as to RegSetValueExA.
    LONG SetValue(const std::string& path, const std::string& name, DWORD type,
                  const std::vector<BYTE>& data);
    bool KeyExists(const std::string& path) const;
    // String data in the code page, as RegQueryValueExA returns it.
    std::optional<RegValue> GetValue(const std::string& path, const std::string& name) const;
    std::vector<std::string> SubkeyNames(const std::string& path) const;  // enumeration order
    // Every key path below `path` (not `path` itself), depth first, in
    // enumeration order; with `path` "" the whole tree.
    std::vector<std::string> KeysBelow(const std::string& path) const;
    void DeleteTree(const std::string& path);
    // The key that `subKey` of the open `key` names in the view `access`
    // selects, as one identity per key on its native path (equal for names
    // that name the same key), and whether it exists; the error the registry
    // calls give before they look for the key (a bad handle or path).
    LONG ResolveKey(HKEY key, LPCSTR subKey, REGSAM access, std::vector<std::string>& identity,
                    bool& exists) const;
    LONG ResolveKey(HKEY key, const std::u16string& subKey, REGSAM access,
                    std::vector<std::string>& identity, bool& exists) const;
    // The same identity for a path below HKEY_LOCAL_MACHINE.
    std::vector<std::string> KeyIdentity(const std::string& path) const;

    // The same in UTF-16, as the W functions and regedit see the registry: a
    // path as its key names, string data as UTF-16 LE.
    using KeyPath = std::vector<std::u16string>;
    LONG CreateKey(const KeyPath& path);
    LONG SetValue(const KeyPath& path, const std::u16string& name, DWORD type,
                  std::vector<BYTE> data);
    // Whether the key has a value of that name with another type or other data.
    bool ValueDiffers(const KeyPath& path, const std::u16string& name, DWORD type,
                      const std::vector<BYTE>& data) const;
    std::vector<std::u16string> SubkeyNames(const KeyPath& path) const;
    // The key's values in the order of their upper-case names, with their names.
    std::vector<std::pair<std::u16string, RegValue>> Values(const KeyPath& path) const;

    // Process and system
    void SetWow64Process(bool wow64);  // IsWow64Process reports it; views apply
    void SetVersion(DWORD major, DWORD minor, BYTE productType,
                    DWORD platformId = VER_PLATFORM_WIN32_NT);
    // What a version record says beyond the version: its build (SetVersion
    // gives the first release's) and service pack, its text in the code page.
    void SetVersionDetails(DWORD build, const std::string& servicePack, WORD servicePackMajor);
    // "" (the start): the process has no file, and GetModuleFileNameA fails.
    void SetModulePath(const std::string& path);
    void SetDriveType(char letter, UINT type);  // unset letters: DRIVE_NO_ROOT_DIR
    // The NetBIOS name GetComputerNameW reports (the start: "QARNMEMORY").
    void SetComputerName(const std::u16string& name);
    bool SetCodePage(UINT codePage);  // 1252 (the start) or 932; false for others
    // Text of the active code page as UTF-16, as MultiByteToWideChar gives
    // it, and back, as WideCharToMultiByte does.
    std::u16string AnsiToUtf16(const std::string& text) const;
    std::string Utf16ToAnsi(const std::u16string& text) const;

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
    // A function that GetProcAddress did not hand out for the export fails
    // with ERROR_INVALID_FUNCTION.
    BOOL CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) override;
    LONG CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey, REGSAM access,
                             DWORD reserved) override;
    // The machine's architecture: x64 under WOW64, else x86 (the process is
    // a 32-bit x86 one); that of GetSystemInfo is always x86.
    void CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) override;

    SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) override {
        return NotHere<SC_HANDLE>(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    }
    SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                             LPDWORD, LPCSTR, LPCSTR, LPCSTR) override {
        return NotHere<SC_HANDLE>(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    }
    SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) override {
        return NotHere<SC_HANDLE>(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    }
    BOOL ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL QueryServiceStatus(SC_HANDLE, SERVICE_STATUS*) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL QueryServiceStatusEx(SC_HANDLE, SC_STATUS_TYPE, LPBYTE, DWORD, LPDWORD) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR,
                              LPCSTR, LPCSTR, LPCSTR) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL ChangeServiceConfig2A(SC_HANDLE, DWORD, LPVOID) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL DeleteService(SC_HANDLE) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL CloseServiceHandle(SC_HANDLE) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) override {
        return NotHere<BOOL>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE);
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX,
                                                        LPVOID) override {
        return NotHere<SERVICE_STATUS_HANDLE>(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }

    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE, LPVOID, DWORD) override {
        return NotHere<HDEVNOTIFY>(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    }

    HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) override {
        return NotHere<HANDLE>(ERROR_CALL_NOT_IMPLEMENTED, nullptr);
    }
    BOOL ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    BOOL DeregisterEventSource(HANDLE) override {
        return NotHere<BOOL>(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }

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
    void Sleep(DWORD milliseconds) override;
    DWORD SleepEx(DWORD milliseconds, BOOL alertable) override;
    DWORD GetCurrentThreadId() override;
    // What Windows says for an id of no process.
    HANDLE OpenProcess(DWORD, BOOL, DWORD) override {
        return NotHere<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    }
    DWORD WaitForSingleObject(HANDLE, DWORD) override {
        return NotHere<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
    }
    BOOL CloseHandle(HANDLE) override { return NotHere<BOOL>(ERROR_INVALID_HANDLE, FALSE); }
    void OutputDebugStringA(LPCSTR text) override;
    void WriteStdout(LPCSTR text) override;

private:
    // A call of what is not here: fails with `error`.
    template <typename Result>
    Result NotHere(DWORD error, Result failure) {
        MemoryWindows::SetLastError(error);
        return failure;
    }

    struct State;
    std::unique_ptr<State> state_;
};
