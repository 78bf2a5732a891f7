// In-memory Windows that force one interleaving of a device event with the
// service's start, for the tests of events that race the start-up scan.
#pragma once

#include <condition_variable>
#include <mutex>

#include "support/FakeWindows.h"

namespace support {

// Delivers one volume arrival in the gap between the registration of the
// volume notification and OnInit, and holds the service thread until the
// handler is done with it.
class ArrivalBeforeStart : public FakeWindows {
public:
    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override;
    void OutputDebugStringA(LPCSTR text) override;

private:
    std::mutex mu_;
    std::condition_variable handled_;
    bool inHandler_ = false;
    bool updated_ = false;
};

// Once armed, plugs in a KB Slot Module reader as E while the start-up scan
// is at its last letter, posts a volume arrival, and holds that scan until
// the dispatcher has taken up the event.
class OverlappingWindows : public FakeWindows {
public:
    UINT GetDriveTypeA(LPCSTR root) override;
    void OutputDebugStringA(LPCSTR text) override;
    void Arm();

private:
    std::mutex mu_;
    std::condition_variable handlerEntered_;
    bool armed_ = false;
    bool entered_ = false;
};

}  // namespace support
