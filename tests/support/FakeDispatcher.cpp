// The running side of a service: StartServiceCtrlDispatcherA with its
// service thread, the registered control handler, status reports, controls
// sent by the tests, and the device notification registration.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "support/FakeWindowsState.h"

using namespace fakewindows;

void FakeWindows::SetStartedAsService(bool started) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->startedAsService = started;
}

void FakeWindows::SetRegisterHandlerFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->registerHandlerFails = fails;
}

DWORD FakeWindows::SendControl(DWORD control, DWORD eventType, LPVOID eventData) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    if (!s.dispatcherRunning) return ERROR_SERVICE_NOT_ACTIVE;
    if (std::this_thread::get_id() == s.dispatcherThread)
        TestBug("SendControl on the dispatcher thread would wait for itself; use PostControl");
    auto pending = std::make_shared<PendingControl>();
    pending->control = control;
    pending->eventType = eventType;
    pending->eventData = eventData;
    s.controls.push_back(pending);
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return pending->answered; });
    return pending->result;
}

void FakeWindows::PostControl(DWORD control, DWORD eventType, LPVOID eventData) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto pending = std::make_shared<PendingControl>();
    pending->control = control;
    pending->eventType = eventType;
    pending->eventData = eventData;
    state_->controls.push_back(pending);
    state_->changed.notify_all();
}

bool FakeWindows::WaitForReportedState(DWORD state) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    return s.changed.wait_for(lock, std::chrono::seconds(10), [&] {
        return std::any_of(s.statusReports.begin(), s.statusReports.end(),
                           [&](const SERVICE_STATUS& r) { return r.dwCurrentState == state; });
    });
}

std::vector<SERVICE_STATUS> FakeWindows::StatusReports() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->statusReports;
}

std::vector<FakeWindows::DeviceRegistration> FakeWindows::DeviceRegistrations() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->devices;
}

BOOL FakeWindows::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    s.Record("StartServiceCtrlDispatcherA",
             table && table->lpServiceName ? table->lpServiceName : "");
    if (!table || !table->lpServiceName || !table->lpServiceProc) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!s.startedAsService) {
        s.Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (s.dispatcherRunning) {
        s.Fail(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    s.dispatcherRunning = true;
    s.serviceEnded = false;
    s.dispatcherThread = std::this_thread::get_id();
    s.handler = nullptr;
    s.handlerContext = nullptr;

    std::string name = table->lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = table->lpServiceProc;
    std::thread serviceThread([this, name, serviceMain] {
        std::string arg = name;
        LPSTR argv[] = {&arg[0], nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> done(state_->mu);
        state_->serviceEnded = true;
        state_->changed.notify_all();
    });

    for (;;) {
        s.changed.wait(lock, [&] { return (!s.controls.empty() && s.handler) || s.serviceEnded; });
        if (s.controls.empty() || !s.handler) break;
        std::shared_ptr<PendingControl> pending = s.controls.front();
        s.controls.pop_front();
        LPHANDLER_FUNCTION_EX handler = s.handler;
        LPVOID context = s.handlerContext;
        lock.unlock();
        DWORD result = handler(pending->control, pending->eventType, pending->eventData, context);
        lock.lock();
        pending->result = result;
        pending->answered = true;
        s.changed.notify_all();
    }
    // The service is gone: whatever is still queued never reaches a handler.
    for (auto& pending : s.controls) {
        pending->result = ERROR_SERVICE_NOT_ACTIVE;
        pending->answered = true;
    }
    s.controls.clear();
    s.dispatcherRunning = false;
    s.dispatcherThread = std::thread::id();
    s.changed.notify_all();
    lock.unlock();
    serviceThread.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE FakeWindows::RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                                 LPHANDLER_FUNCTION_EX handler,
                                                                 LPVOID context) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegisterServiceCtrlHandlerExA", serviceName ? serviceName : "");
    if (!serviceName || !handler) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.registerHandlerFails) {
        s.Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    s.handler = handler;
    s.handlerContext = context;
    SERVICE_STATUS_HANDLE handle = s.NewHandle<SERVICE_STATUS_HANDLE>();
    s.statusHandles[handle] = serviceName;
    s.changed.notify_all();
    return handle;
}

BOOL FakeWindows::SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("SetServiceStatus", status ? std::to_string(status->dwCurrentState) : "");
    auto it = s.statusHandles.find(handle);
    if (it == s.statusHandles.end()) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!status) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s.statusReports.push_back(*status);
    if (ServiceRecord* record = s.FindRecord(it->second)) record->state = status->dwCurrentState;
    s.changed.notify_all();
    return TRUE;
}

HDEVNOTIFY FakeWindows::RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegisterDeviceNotificationA", Hex(flags));
    if (!filter) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DEV_BROADCAST_DEVICEINTERFACE_A copy;
    std::memcpy(&copy, filter, sizeof copy);
    if (copy.dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || copy.dbcc_size < sizeof copy) {
        s.Fail(ERROR_INVALID_DATA);
        return nullptr;
    }
    if ((flags & DEVICE_NOTIFY_SERVICE_HANDLE) &&
        !s.statusHandles.count(static_cast<SERVICE_STATUS_HANDLE>(recipient))) {
        s.Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    s.devices.push_back({recipient, flags, copy});
    return s.NewHandle<HDEVNOTIFY>();
}
