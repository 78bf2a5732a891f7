// CIConEx, the drive icon service: gives the drives of the supported card
// readers their own icon and label under DriveIcons, and takes them back when
// the drive goes or the service stops.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "driveicons/ReaderModels.h"
#include "driveicons/ScanObserver.h"
#include "service/NTService.h"

class CIConEx : public CNTService {
public:
    explicit CIConEx(Platform& os);

    DriveSlot DriveSlots[DriveSlotCount] = {};
    char ScanStartLetter = 0;
    char ModuleDirectory[MAX_PATH] = {};
    BOOL IsVistaWorkstation = FALSE;
    BOOL IsWow64 = FALSE;
    // Told each step of the scans, restore and deletes; set only by the
    // explain tool, null in the service.
    ScanObserver* Observer = nullptr;

    // Registry access; every key goes to the 64-bit view while IsWow64 is set.
    DWORD View() const;  // KEY_WOW64_64KEY while IsWow64 is set, else 0
    BOOL EnumRegSubkey(HKEY root, const char* keyPath, char* name, DWORD* nameLength,
                       DWORD index);
    // kind REG_SZ: `out` is a std::string* and receives the text; any other
    // kind: `out` is a byte buffer of `size` bytes and receives the raw data.
    BOOL ReadRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind, void* out,
                      DWORD size);
    // REG_SZ only; a string that does not fit in MAX_PATH bytes is refused.
    BOOL WriteRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind,
                       const char* data);
    void DeleteDriveIconKeys(char letter);
    void DetectPlatform();

    BOOL AssignDrives(BOOL scanAll);
    BOOL AssignDrivesByParentId(BOOL scanAll);
    BOOL AssignDrivesByInstancePath(BOOL scanAll);
    BOOL ReleaseDrives(BOOL releaseAll);
    BOOL ReleaseDrivesByParentId(BOOL releaseAll);
    BOOL ReleaseDrivesByInstancePath(BOOL releaseAll);
    void RestoreDriveSlots();
    void PurgeDriveIcons();

    BOOL OnInit() override;
    void Run() override;
    void OnStop() override;
    BOOL OnDeviceChange(DWORD eventType, LPVOID eventData) override;
    void OnDeviceArrival();
    void OnDeviceRemoveComplete();
    BOOL OnUserControl(DWORD controlCode) override;
    void OnShutdown() override;
    void OnRemoved() override;

    // Set once a stop has been requested; the scans give up at their next device key.
    bool StopRequested() const { return stopRequested_; }

private:
    enum class Variant { ParentId, InstancePath };
    // Called with the text the model row is looked up in; true ends the search.
    using MatchAction = std::function<bool(const std::string& modelText)>;

    bool IsRemovable(char letter);
    bool IsTracked(char letter) const;
    BOOL ReadMountText(char letter, std::string& mountText);
    bool ParseMountText(Variant variant, const std::string& mountText, VolumeId& volume);
    BOOL SearchDevices(Variant variant, const VolumeId& volume, const MatchAction& onMatch);
    bool AssignLetter(Variant variant, char letter, const std::string& modelText);
    bool CheckDrive(Variant variant, char letter);
    BOOL AssignScan(Variant variant, BOOL scanAll);
    BOOL ReleaseWalk(Variant variant, BOOL releaseAll);
    char RestoreDriveSlotsFrom(char firstLetter);
    void RestoreAndPurge();

    // Keeps device events off the slots and keys while OnInit or OnStop work on them.
    Mutex driveLock_;
    // Set under driveLock_ from the end of OnInit to OnStop; device events
    // outside that time are ignored.
    bool started_ = false;
    std::atomic<bool> stopRequested_{false};  // raised by OnStop
};
