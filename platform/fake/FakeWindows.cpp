// Core of the substitute: the shared state, handles, the call record, the
// per-thread last error and thread ids, and Sleep.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fake/FakeWindowsState.h"

namespace fakewindows {

void TestBug(const char* message) {
    std::fprintf(stderr, "FakeWindows: %s\n", message);
    std::abort();
}

std::string Hex(DWORD value) {
    char buffer[16] = {'0', 'x'};
    *std::to_chars(buffer + 2, buffer + sizeof buffer - 1, value, 16).ptr = '\0';
    return buffer;
}

}  // namespace fakewindows

FakeWindows::FakeWindows() : state_(std::make_unique<State>()) {
    SetVersion(5, 1, VER_NT_WORKSTATION, VER_PLATFORM_WIN32_NT);
    state_->version.wServicePackMajor = 2;
    std::strcpy(state_->version.szCSDVersion, "Service Pack 2");
    state_->version.wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS, as on XP Professional
}

FakeWindows::~FakeWindows() = default;

std::vector<FakeWindows::Call> FakeWindows::Calls() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<Call> calls;
    calls.reserve(state_->calls.size());
    for (const State::RecordedCall& call : state_->calls)
        calls.push_back({call.function, call.detail});
    return calls;
}

size_t FakeWindows::CountCalls(const std::string& function) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(state_->calls.begin(), state_->calls.end(),
                         [&](const State::RecordedCall& call) {
                             return function == call.function;
                         });
}

size_t FakeWindows::CountCallsWithPrefix(const std::string& functionPrefix) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(state_->calls.begin(), state_->calls.end(),
                         [&](const State::RecordedCall& call) {
                             return std::strncmp(call.function, functionPrefix.c_str(),
                                                 functionPrefix.size()) == 0;
                         });
}

void FakeWindows::ClearCalls() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->calls.clear();
}

DWORD FakeWindows::GetLastError() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetLastError");
    auto it = state_->lastError.find(std::this_thread::get_id());
    return it == state_->lastError.end() ? 0 : it->second;
}

void FakeWindows::SetLastError(DWORD errorCode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("SetLastError", std::to_string(errorCode));
    state_->Fail(errorCode);
}

void FakeWindows::Sleep(DWORD milliseconds) {
    (void)milliseconds;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->Record("Sleep");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

DWORD FakeWindows::SleepEx(DWORD milliseconds, BOOL alertable) {
    (void)milliseconds;
    (void)alertable;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->Record("SleepEx");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

DWORD FakeWindows::GetCurrentThreadId() {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetCurrentThreadId");
    auto inserted = s.threadIds.emplace(std::this_thread::get_id(), s.nextThreadId);
    if (inserted.second) s.nextThreadId += 4;  // Windows thread ids are multiples of four
    return inserted.first->second;
}

