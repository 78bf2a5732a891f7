// The drive icon logic without the service around it: platform detection, the
// registry operations in the view it chooses, the assignment and release
// scans, and the restore and purge of marked keys. CIConEx runs it from its
// hooks; the explain tool runs its start-up on a read-only view of a machine.
//
// Operations return BOOL and set no error code of their own. Registry
// failures count as no match at that step; the scans move on.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driveicons/MountText.h"
#include "driveicons/ReaderModels.h"
#include "driveicons/ScanObserver.h"
#include "platform/Platform.h"

class CDriveIconScan {
public:
    explicit CDriveIconScan(Platform& os) : os(os) {}
    CDriveIconScan(const CDriveIconScan&) = delete;
    CDriveIconScan& operator=(const CDriveIconScan&) = delete;

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
    // Reports nothing; the first failure other than a key already gone is
    // kept for TakeDeleteError.
    void DeleteDriveIconKeys(char letter);
    // The first deletion error since the last call, 0 if none; clears it.
    DWORD TakeDeleteError() { return std::exchange(deleteError_, 0); }
    void DetectPlatform();

    // Reads beyond the four operations, for the explain tool, in the same view.
    // The result of opening the key for reading: ERROR_SUCCESS when it is there.
    LONG OpenRegKeyResult(HKEY root, const char* keyPath);
    struct StoredValue {
        DWORD type;
        DWORD size;  // bytes
    };
    // Type and size of a value; none when the key or the value cannot be read.
    std::optional<StoredValue> QueryRegValueInfo(HKEY root, const char* keyPath,
                                                 const char* valueName);

    // ModuleDirectory from the executable's path, up to its last backslash;
    // empty when the path cannot be had whole.
    void ReadModuleDirectory();
    // What the service does at start: platform, directory, clean-up of the
    // keys an earlier run left, and a full assignment scan.
    void StartUpScan();

    BOOL AssignDrives(BOOL scanAll);
    BOOL AssignDrivesByParentId(BOOL scanAll);
    BOOL AssignDrivesByInstancePath(BOOL scanAll);
    BOOL ReleaseDrives(BOOL releaseAll);
    BOOL ReleaseDrivesByParentId(BOOL releaseAll);
    BOOL ReleaseDrivesByInstancePath(BOOL releaseAll);
    void RestoreDriveSlots();
    void PurgeDriveIcons();
    // Restore and purge in as many rounds as the marked letters need slots.
    void RestoreAndPurge();
    // The letters ("EF") whose keys the restore takes for this service's in
    // this view, and those whose marker could not be read for another reason
    // than its absence; `error`, if 0, gets the first such read error.
    std::string OwnKeyLetters(DWORD& error);

    // Once a stop has been requested the scans give up at their next device key.
    void RequestStop() { stopRequested_ = true; }
    bool StopRequested() const { return stopRequested_; }

    Platform& os;

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
    // The model row the letter's keys name if they are this service's, else
    // -1; `markerRead` gets the result of reading the marker.
    int OwnedRow(char letter, LONG& markerRead);
    // A REG_SZ value of at most MAX_PATH bytes, as ReadRegValue reads it;
    // the registry's result.
    LONG ReadRegText(HKEY root, const char* keyPath, const char* valueName, std::string& text);
    LONG QueryText(HKEY key, const char* valueName, std::string& text, DWORD size);

    std::atomic<bool> stopRequested_{false};
    DWORD deleteError_ = 0;
};
