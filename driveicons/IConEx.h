// CIConEx, the drive icon service: gives the drives of the supported card
// readers their own icon and label under DriveIcons, and takes them back when
// the drive goes or the service stops.
#pragma once

#include <atomic>
#include <string>
#include <vector>

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
    BOOL EnumRegSubkey(HKEY root, const char* keyPath, char* name, DWORD* nameLength, DWORD index);
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
    // One letter of a scan: what its mount record names and, once the device
    // walk is done, the first instance in enumeration order that belongs to it.
    struct LetterSearch {
        char Letter = 0;
        BOOL RecordRead = FALSE;
        bool Searching = false;  // the record carries the variant's marker: the walk looks for it
        VolumeId Volume;
        bool Found = false;
        std::string ModelText;  // the text the model row is looked up in
    };
    // For device events: queued while Starting, handled by the handler while
    // Started, ignored before and after.
    enum class Phase { BeforeStart, Starting, Started, Stopped };

    bool IsRemovable(char letter);
    bool IsTracked(char letter) const;
    BOOL ReadMountText(char letter, std::string& mountText);
    bool ParseMountText(Variant variant, const std::string& mountText, VolumeId& volume);
    // Removable `letter`: reads and parses its record into a new entry of `letters`.
    void AddLetter(Variant variant, char letter, std::vector<LetterSearch>& letters);
    // One walk over USBSTOR for every searching letter. It ends once each has
    // its match, once the first has its match if `firstDecides`, or at a stop.
    void WalkDevices(Variant variant, std::vector<LetterSearch>& letters, bool firstDecides);
    bool AssignLetter(Variant variant, char letter, const std::string& modelText);
    bool HasFreeSlot() const;
    BOOL AssignScan(Variant variant, BOOL scanAll);
    BOOL ReleaseWalk(Variant variant, BOOL releaseAll);
    char RestoreDriveSlotsFrom(char firstLetter);
    void RestoreAndPurge();
    void HandleDeviceEvent(DWORD eventType);  // driveLock_ held
    void HandleQueuedEvents();                // by OnInit, driveLock_ held

    // Keeps device events off the slots and keys while OnInit or OnStop work on them.
    Mutex driveLock_;
    // Taken alone or inside driveLock_, never around it: the handler decides
    // under it whether to queue an event, without waiting for a scan.
    Mutex handOverLock_;
    Phase phase_ = Phase::BeforeStart;        // under handOverLock_
    std::vector<DWORD> queuedEvents_;         // under handOverLock_; in the order they came
    bool queueOverflowed_ = false;            // under handOverLock_
    std::atomic<bool> stopRequested_{false};  // raised by OnStop
};
