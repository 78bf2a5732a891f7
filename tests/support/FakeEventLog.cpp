// Event log, debugger output and the console's standard output.
#include "support/FakeWindowsState.h"

using namespace fakewindows;

std::vector<FakeWindows::Event> FakeWindows::Events() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->events;
}

int FakeWindows::EventSourceRegistrations() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->eventSourceRegistrations;
}

int FakeWindows::OpenEventSourceCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return static_cast<int>(state_->eventSources.size());
}

void FakeWindows::SetRegisterEventSourceFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->registerEventSourceFails = fails;
}

std::vector<std::string> FakeWindows::DebugOutput() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->debugOutput;
}

std::string FakeWindows::Stdout() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->stdoutText;
}

HANDLE FakeWindows::RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegisterEventSourceA", sourceName ? sourceName : "");
    if (serverName || !sourceName) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.registerEventSourceFails) {
        s.Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++s.eventSourceRegistrations;
    HANDLE handle = s.NewHandle<HANDLE>();
    s.eventSources[handle] = sourceName;
    return handle;
}

BOOL FakeWindows::ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                               PSID userSid, WORD numStrings, DWORD dataSize, LPCSTR* strings,
                               LPVOID rawData) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("ReportEventA", std::to_string(eventId));
    auto it = s.eventSources.find(eventLog);
    if (it == s.eventSources.end()) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((numStrings && !strings) || (dataSize && !rawData)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Event event{it->second, type, category, eventId, userSid != nullptr, dataSize, {}};
    for (WORD i = 0; i < numStrings; ++i) {
        if (!strings[i]) {
            s.Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        event.strings.push_back(strings[i]);
    }
    s.events.push_back(event);
    return TRUE;
}

BOOL FakeWindows::DeregisterEventSource(HANDLE eventLog) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("DeregisterEventSource");
    if (!s.eventSources.erase(eventLog)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void FakeWindows::OutputDebugStringA(LPCSTR text) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("OutputDebugStringA");
    if (text) state_->debugOutput.push_back(text);
}

void FakeWindows::WriteStdout(LPCSTR text) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("WriteStdout");
    if (text) state_->stdoutText += text;
}
