// Core of the in-memory Windows: the shared state, the per-thread last error
// and thread ids, Sleep, and the calls of what is not here.
#include <chrono>
#include <cstring>

#include "platform/memory/MemoryWindowsState.h"

MemoryWindows::MemoryWindows() : state_(std::make_unique<State>()) {
    SetVersion(5, 1, VER_NT_WORKSTATION, VER_PLATFORM_WIN32_NT);
    state_->version.wServicePackMajor = 2;
    std::strcpy(state_->version.szCSDVersion, "Service Pack 2");
    state_->version.wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS, as on XP Professional
}

MemoryWindows::~MemoryWindows() = default;

DWORD MemoryWindows::GetLastError() {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->lastError.find(std::this_thread::get_id());
    return it == state_->lastError.end() ? 0 : it->second;
}

void MemoryWindows::SetLastError(DWORD errorCode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Fail(errorCode);
}

void MemoryWindows::Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// No asynchronous procedure call ever comes: the whole time passes.
DWORD MemoryWindows::SleepEx(DWORD milliseconds, BOOL /*alertable*/) {
    Sleep(milliseconds);
    return 0;
}

DWORD MemoryWindows::GetCurrentThreadId() {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    auto inserted = s.threadIds.emplace(std::this_thread::get_id(), s.nextThreadId);
    if (inserted.second) s.nextThreadId += 4;  // Windows thread ids are multiples of four
    return inserted.first->second;
}

// ---- What is not here ----------------------------------------------------------

namespace {

template <typename Result>
Result NotHere(MemoryWindows& os, DWORD error, Result result) {
    os.MemoryWindows::SetLastError(error);
    return result;
}

}  // namespace

SC_HANDLE MemoryWindows::OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    return NotHere<SC_HANDLE>(*this, ERROR_CALL_NOT_IMPLEMENTED, nullptr);
}

SC_HANDLE MemoryWindows::CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                                        LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
    return NotHere<SC_HANDLE>(*this, ERROR_CALL_NOT_IMPLEMENTED, nullptr);
}

SC_HANDLE MemoryWindows::OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
    return NotHere<SC_HANDLE>(*this, ERROR_CALL_NOT_IMPLEMENTED, nullptr);
}

BOOL MemoryWindows::ControlService(SC_HANDLE, DWORD, SERVICE_STATUS*) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::QueryServiceStatus(SC_HANDLE, SERVICE_STATUS*) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::QueryServiceStatusEx(SC_HANDLE, SC_STATUS_TYPE, LPBYTE, DWORD, LPDWORD) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD,
                                         LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::ChangeServiceConfig2A(SC_HANDLE, DWORD, LPVOID) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::DeleteService(SC_HANDLE) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::CloseServiceHandle(SC_HANDLE) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) {
    return NotHere<BOOL>(*this, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE);
}

SERVICE_STATUS_HANDLE MemoryWindows::RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX,
                                                                   LPVOID) {
    return NotHere<SERVICE_STATUS_HANDLE>(*this, ERROR_CALL_NOT_IMPLEMENTED, nullptr);
}

BOOL MemoryWindows::SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

HDEVNOTIFY MemoryWindows::RegisterDeviceNotificationA(HANDLE, LPVOID, DWORD) {
    return NotHere<HDEVNOTIFY>(*this, ERROR_CALL_NOT_IMPLEMENTED, nullptr);
}

HANDLE MemoryWindows::RegisterEventSourceA(LPCSTR, LPCSTR) {
    return NotHere<HANDLE>(*this, ERROR_CALL_NOT_IMPLEMENTED, nullptr);
}

BOOL MemoryWindows::ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL MemoryWindows::DeregisterEventSource(HANDLE) {
    return NotHere<BOOL>(*this, ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

// What Windows says for an id of no process.
HANDLE MemoryWindows::OpenProcess(DWORD, BOOL, DWORD) {
    return NotHere<HANDLE>(*this, ERROR_INVALID_PARAMETER, nullptr);
}

DWORD MemoryWindows::WaitForSingleObject(HANDLE, DWORD) {
    return NotHere<DWORD>(*this, ERROR_INVALID_HANDLE, WAIT_FAILED);
}

BOOL MemoryWindows::CloseHandle(HANDLE) {
    return NotHere<BOOL>(*this, ERROR_INVALID_HANDLE, FALSE);
}

void MemoryWindows::OutputDebugStringA(LPCSTR) {}
void MemoryWindows::WriteStdout(LPCSTR) {}
