// Core of the in-memory Windows: the shared state, the per-thread last error
// and thread ids, Sleep. The calls of what is not here are in the header.
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

void MemoryWindows::OutputDebugStringA(LPCSTR) {}
void MemoryWindows::WriteStdout(LPCSTR) {}
