// The package's own custom actions, QarnIExActions.dll: carried in the
// package's Binary table and run by Windows Installer, never installed.
//
// RunLogged (deferred): runs the command line it is given in CustomActionData,
// such as "C:\Program Files\Qarn\QarnIEx.exe" -u, and writes to the
// installer's log (msiexec /l*v) the command, each line the program printed
// and its exit code. A program that exits with a code other than 0 fails the
// action, and with it the install or uninstall, which Windows Installer then
// rolls back. A program that cannot be started at all (its file was deleted by
// hand) is logged and passed over: the installer's own service actions still
// stop and delete the service. As a rollback action it only logs: a rollback
// goes on whatever its actions return.
//
// FindService (immediate): sets the private property QxServiceImage to the
// command line of the installed service QarnIEx (its ImagePath as the service
// manager keeps it), and leaves it unset when there is no such service.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

namespace {

const wchar_t kServiceName[] = L"QarnIEx";

// One line in the log, as an information message: its text is taken as it
// is, brackets included.
void Log(MSIHANDLE install, const std::wstring& text) {
    const MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) return;
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

std::wstring Number(DWORD value) { return std::to_wstring(static_cast<unsigned long>(value)); }

// What a console program printed: text in the ANSI code page.
std::wstring FromAnsi(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), size, &wide[0], length);
    return wide;
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    wchar_t empty[1] = L"";
    DWORD length = 0;
    if (MsiGetPropertyW(install, name, empty, &length) != ERROR_MORE_DATA) return std::wstring();
    std::vector<wchar_t> value(length + 1);
    length = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS)
        return std::wstring();
    return std::wstring(value.data(), length);
}

// Logs the output read from the pipe, one line per message, CR LF or LF ended.
void LogOutput(MSIHANDLE install, HANDLE output) {
    std::string pending;
    char buffer[512];
    DWORD got = 0;
    auto flush = [&](size_t end) {
        std::string line = pending.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Log(install, L"> " + FromAnsi(line));
    };
    while (ReadFile(output, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            flush(end);
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty()) flush(pending.size());
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall RunLogged(MSIHANDLE install) {
    const std::wstring command = Property(install, L"CustomActionData");
    Log(install, L"Running " + command);

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        Log(install, L"No pipe for its output. Error " + Number(GetLastError()));
        return ERROR_INSTALL_FAILURE;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    const DWORD startError = GetLastError();
    // Only the child holds the write end now: the pipe ends with its output.
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        Log(install, L"It could not be started (Error " + Number(startError) +
                         L"); the installer's own service actions go on without it.");
        return ERROR_SUCCESS;
    }
    CloseHandle(process.hThread);
    LogOutput(install, readEnd);
    CloseHandle(readEnd);

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = ERROR_GEN_FAILURE;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    if (exitCode == 0 || MsiGetMode(install, MSIRUNMODE_ROLLBACK)) {
        Log(install, L"Exit code " + Number(exitCode));
        return ERROR_SUCCESS;
    }
    Log(install,
        L"Exit code " + Number(exitCode) + L": the installation fails and is rolled back.");
    return ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall FindService(MSIHANDLE install) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        Log(install, L"FindService: no service manager. Error " + Number(GetLastError()));
        return ERROR_INSTALL_FAILURE;
    }
    const SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG);
    DWORD error = GetLastError();
    std::wstring image;
    if (service != nullptr) {
        DWORD needed = 0;
        QueryServiceConfigW(service, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed) &&
            config->lpBinaryPathName != nullptr) {
            image = config->lpBinaryPathName;
        }
        error = GetLastError();
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (image.empty()) {
        // Not there (1060), or its command line unreadable: the installer's
        // own DeleteServices then removes a service of that name.
        Log(install, L"FindService: no command line of a service " + std::wstring(kServiceName) +
                         L" (Error " + Number(error) + L")");
        return ERROR_SUCCESS;
    }
    Log(install, L"FindService: the service " + std::wstring(kServiceName) + L" runs " + image);
    MsiSetPropertyW(install, L"QxServiceImage", image.c_str());
    return ERROR_SUCCESS;
}
