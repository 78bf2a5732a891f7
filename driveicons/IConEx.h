// CIConEx, the drive icon service: gives the drives of the supported card
// readers their own icon and label under DriveIcons, and takes them back when
// the drive goes or the service stops.
#pragma once

#include <vector>

#include "driveicons/DriveIconScan.h"
#include "service/NTService.h"

class CIConEx : public CNTService {
public:
    explicit CIConEx(Platform& os);

    // The drive icon logic; the hooks below run it at start, stop and device events.
    CDriveIconScan Scan;

    BOOL OnInit() override;
    void Run() override;
    void OnStop() override;
    BOOL OnDeviceChange(DWORD eventType, LPVOID eventData) override;
    void OnDeviceArrival();
    void OnDeviceRemoveComplete();
    BOOL OnUserControl(DWORD controlCode) override;
    void OnShutdown() override;
    BOOL OnRemoved() override;

private:
    // For device events: queued while Starting, handled by the handler while
    // Started, ignored before and after.
    enum class Phase { BeforeStart, Starting, Started, Stopped };

    void HandleDeviceEvent(DWORD eventType);  // driveLock_ held
    void HandleQueuedEvents();                // by OnInit, driveLock_ held

    // Keeps device events off the slots and keys while OnInit or OnStop work on them.
    Mutex driveLock_;
    // Taken alone or inside driveLock_, never around it: the handler decides
    // under it whether to queue an event, without waiting for a scan.
    Mutex handOverLock_;
    Phase phase_ = Phase::BeforeStart;  // under handOverLock_
    std::vector<DWORD> queuedEvents_;   // under handOverLock_; in the order they came
    bool queueOverflowed_ = false;      // under handOverLock_
};
