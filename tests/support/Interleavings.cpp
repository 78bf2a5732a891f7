#include "Interleavings.h"

#include <chrono>
#include <cstring>

#include "FakeMachine.h"

namespace support {

HDEVNOTIFY ArrivalBeforeStart::RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter,
                                                           DWORD flags) {
    HDEVNOTIFY notification = FakeWindows::RegisterDeviceNotificationA(recipient, filter, flags);
    PostControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
    std::unique_lock<std::mutex> lock(mu_);
    handled_.wait_for(lock, std::chrono::seconds(10), [&] { return updated_; });
    return notification;
}

void ArrivalBeforeStart::OutputDebugStringA(LPCSTR text) {
    FakeWindows::OutputDebugStringA(text);
    std::lock_guard<std::mutex> lock(mu_);
    if (std::strstr(text, "CNTService::Handler(11)") != nullptr) inHandler_ = true;
    if (inHandler_ && std::strstr(text, "Updating status") != nullptr) {
        updated_ = true;
        handled_.notify_all();
    }
}

UINT OverlappingWindows::GetDriveTypeA(LPCSTR root) {
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        post = armed_ && root != nullptr && root[0] == 'Z';
        if (post) armed_ = false;
    }
    if (post) {
        // E appears behind the scan's back, so only the arrival can find it.
        PlugParentIdDevice(*this, 'E', kKbModule, "9&0", "7&e9&0");
        PostControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
        std::unique_lock<std::mutex> lock(mu_);
        handlerEntered_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_; });
    }
    return FakeWindows::GetDriveTypeA(root);
}

void OverlappingWindows::OutputDebugStringA(LPCSTR text) {
    FakeWindows::OutputDebugStringA(text);
    if (std::strstr(text, "CNTService::Handler(11)") != nullptr) {
        std::lock_guard<std::mutex> lock(mu_);
        entered_ = true;
        handlerEntered_.notify_all();
    }
}

void OverlappingWindows::Arm() {
    std::lock_guard<std::mutex> lock(mu_);
    armed_ = true;
}

}  // namespace support
