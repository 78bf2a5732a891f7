// Service database: the services that CreateServiceA (or AddService) made,
// manager and service handles, the control calls of a service manager
// client, and handles to the services' processes. The running side (dispatcher, handler) is in
// FakeDispatcher.cpp.
#include <cstring>

#include "support/FakeWindowsState.h"

using namespace fakewindows;

FakeWindows::ServiceRecord* FakeWindows::State::FindRecord(const std::string& name) {
    for (ServiceRecord& record : services)
        if (EqualsNoCase(record.name, name)) return &record;
    return nullptr;
}

FakeWindows::ServiceRecord* FakeWindows::State::ServiceOf(SC_HANDLE handle) {
    auto it = scHandles.find(handle);
    if (it == scHandles.end() || it->second.manager) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ServiceRecord* record = FindRecord(it->second.service);
    if (!record) Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    return record;
}

bool FakeWindows::State::IsManager(SC_HANDLE handle) const {
    auto it = scHandles.find(handle);
    return it != scHandles.end() && it->second.manager;
}

void FakeWindows::State::FillStatus(const ServiceRecord& record, SERVICE_STATUS* status) {
    if (!status) return;
    *status = SERVICE_STATUS{};
    status->dwServiceType = record.serviceType;
    status->dwCurrentState = record.state;
    status->dwControlsAccepted = record.state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
}

void FakeWindows::AddService(const ServiceRecord& record) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (ServiceRecord* existing = state_->FindRecord(record.name))
        *existing = record;
    else
        state_->services.push_back(record);
}

std::optional<FakeWindows::ServiceRecord> FakeWindows::FindService(const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    for (const ServiceRecord& record : state_->services)
        if (state_->EqualsNoCase(record.name, name)) return record;
    return std::nullopt;
}

void FakeWindows::UpdateService(const ServiceRecord& record) {
    std::lock_guard<std::mutex> lock(state_->mu);
    ServiceRecord* existing = state_->FindRecord(record.name);
    if (!existing) TestBug("UpdateService: no such service; use AddService");
    *existing = record;
}

void FakeWindows::SetScmOpenFails(DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->scmOpenFails = error;
}

void FakeWindows::SetCreateServiceFails(DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->createServiceFails = error;
}

void FakeWindows::SetChangeServiceConfigFails(DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->changeConfigFails = error;
}

size_t FakeWindows::OpenServiceHandleCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->scHandles.size();
}

SC_HANDLE FakeWindows::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("OpenSCManagerA", Hex(access));
    if (machineName || databaseName) {
        // Only the local machine's active database exists here.
        s.Fail(machineName ? ERROR_INVALID_NAME : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.scmOpenFails) {
        s.Fail(s.scmOpenFails);
        return nullptr;
    }
    SC_HANDLE handle = s.NewHandle<SC_HANDLE>();
    s.scHandles[handle] = State::ScHandle{true, ""};
    return handle;
}

SC_HANDLE FakeWindows::CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                      DWORD access, DWORD serviceType, DWORD startType,
                                      DWORD errorControl, LPCSTR binaryPathName,
                                      LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                      LPCSTR serviceStartName, LPCSTR password) {
    (void)access;
    (void)loadOrderGroup;
    (void)dependencies;
    (void)password;
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("CreateServiceA", serviceName ? serviceName : "");
    if (!s.IsManager(manager)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceName || !*serviceName || !binaryPathName || !*binaryPathName ||
        (tagId && !loadOrderGroup)) {
        s.Fail(serviceName && *serviceName ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME);
        return nullptr;
    }
    if (s.createServiceFails) {
        s.Fail(s.createServiceFails);
        return nullptr;
    }
    if (s.FindRecord(serviceName)) {
        s.Fail(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    ServiceRecord record;
    record.name = serviceName;
    record.displayName = displayName ? displayName : serviceName;
    record.serviceType = serviceType;
    record.startType = startType;
    record.errorControl = errorControl;
    record.imagePath = binaryPathName;
    record.account = serviceStartName ? serviceStartName : "";
    s.services.push_back(record);
    SC_HANDLE handle = s.NewHandle<SC_HANDLE>();
    s.scHandles[handle] = State::ScHandle{false, record.name};
    return handle;
}

SC_HANDLE FakeWindows::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("OpenServiceA", serviceName ? serviceName : "", Hex(access));
    if (!s.IsManager(manager)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceName) {
        s.Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    ServiceRecord* record = s.FindRecord(serviceName);
    if (!record) {
        s.Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    SC_HANDLE handle = s.NewHandle<SC_HANDLE>();
    s.scHandles[handle] = State::ScHandle{false, record->name};
    return handle;
}

BOOL FakeWindows::ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("ControlService", std::to_string(control));
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (!status) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->stopsBeforeTheControl) record->state = SERVICE_STOPPED;
    if (record->state == SERVICE_STOPPED) {
        s.Fail(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP) {
        // Windows takes no stop while the service starts or already stops.
        if (record->refuseStop || record->state == SERVICE_START_PENDING ||
            record->state == SERVICE_STOP_PENDING) {
            s.Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
            return FALSE;
        }
        record->state = record->queriesUntilStopped <= 0 ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
    }
    State::FillStatus(*record, status);
    return TRUE;
}

BOOL FakeWindows::QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("QueryServiceStatus");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (!status) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->queryFails) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (record->state == SERVICE_START_PENDING && --record->queriesUntilStarted <= 0) {
        record->queriesUntilStarted = 0;
        record->state = SERVICE_RUNNING;
    } else if (record->state == SERVICE_STOP_PENDING && --record->queriesUntilStopped <= 0) {
        record->queriesUntilStopped = 0;
        record->state = SERVICE_STOPPED;
    }
    State::FillStatus(*record, status);
    return TRUE;
}

// Only the no-change form: it tells whether the service is marked for deletion.
BOOL FakeWindows::ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                       DWORD errorControl, LPCSTR binaryPathName,
                                       LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                       LPCSTR serviceStartName, LPCSTR password,
                                       LPCSTR displayName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("ChangeServiceConfigA");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (serviceType != SERVICE_NO_CHANGE || startType != SERVICE_NO_CHANGE ||
        errorControl != SERVICE_NO_CHANGE || binaryPathName || loadOrderGroup || tagId ||
        dependencies || serviceStartName || password || displayName)
        TestBug("ChangeServiceConfigA: only the no-change form is modelled");
    if (record->markedForDeletion) {
        s.Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    return TRUE;
}

BOOL FakeWindows::ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("ChangeServiceConfig2A", std::to_string(infoLevel));
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (s.changeConfigFails) {
        s.Fail(s.changeConfigFails);
        return FALSE;
    }
    if (infoLevel == SERVICE_CONFIG_DESCRIPTION && info) {
        const LPSTR text = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
        if (text) record->description = text;  // null: left as it is
        return TRUE;
    }
    if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS && info) {
        const auto* actions = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
        if (actions->cActions != 0 && !actions->lpsaActions) {
            s.Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (actions->lpsaActions) {  // null: the policy is left as it is
            record->failureResetPeriod = actions->dwResetPeriod;
            record->failureActions.clear();
            for (DWORD i = 0; i < actions->cActions; ++i)
                record->failureActions.emplace_back(actions->lpsaActions[i].Type,
                                                    actions->lpsaActions[i].Delay);
        }
        return TRUE;
    }
    s.Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL FakeWindows::DeleteService(SC_HANDLE service) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("DeleteService");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (record->deleteFails || record->markedForDeletion) {
        s.Fail(record->deleteFails ? ERROR_ACCESS_DENIED : ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    s.services.erase(s.services.begin() + (record - s.services.data()));
    return TRUE;
}

BOOL FakeWindows::CloseServiceHandle(SC_HANDLE handle) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("CloseServiceHandle");
    if (!s.scHandles.erase(handle)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- The services' processes --------------------------------------------------------

size_t FakeWindows::OpenProcessHandleCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->processHandles.size();
}

BOOL FakeWindows::QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                                       DWORD bufferSize, LPDWORD bytesNeeded) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("QueryServiceStatusEx");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (infoLevel != SC_STATUS_PROCESS_INFO || !bytesNeeded) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (record->queryFails) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SERVICE_STATUS plain;
    State::FillStatus(*record, &plain);
    SERVICE_STATUS_PROCESS status{};
    std::memcpy(&status, &plain, sizeof plain);
    status.dwProcessId = record->state == SERVICE_STOPPED ? 0 : record->processId;
    std::memcpy(buffer, &status, sizeof status);
    return TRUE;
}

HANDLE FakeWindows::OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    (void)access;
    (void)inheritHandle;
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("OpenProcess", std::to_string(processId));
    for (const ServiceRecord& record : s.services) {
        if (processId == 0 || record.processId != processId || record.state == SERVICE_STOPPED)
            continue;
        HANDLE handle = s.NewHandle<HANDLE>();
        s.processHandles[handle] = record.name;
        return handle;
    }
    s.Fail(ERROR_INVALID_PARAMETER);  // what Windows says for an id of no process
    return nullptr;
}

DWORD FakeWindows::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("WaitForSingleObject", std::to_string(milliseconds));
    auto it = s.processHandles.find(handle);
    if (it == s.processHandles.end()) {
        s.Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // A deleted service's process has ended with it.
    const ServiceRecord* record = s.FindRecord(it->second);
    if (!record) return WAIT_OBJECT_0;
    return record->state == SERVICE_STOPPED && !record->processOutlivesStop ? WAIT_OBJECT_0
                                                                            : WAIT_TIMEOUT;
}

BOOL FakeWindows::CloseHandle(HANDLE handle) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("CloseHandle");
    if (!s.processHandles.erase(handle)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
