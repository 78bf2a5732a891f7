// The drive icon logic without the service around it: platform detection,
// the assignment and release scans, and the restore and purge of marked
// keys, through a registry client in the view the platform asks for.
// CIConEx runs it from its hooks; the explain tool runs its start-up on a
// read-only view of a machine, with an observer.
//
// Operations return BOOL and set no error code of their own. Registry
// failures count as no match at that step; the scans move on.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "driveicons/DriveIconLayout.h"
#include "driveicons/MountText.h"
#include "driveicons/ReaderModels.h"
#include "driveicons/Registry.h"
#include "driveicons/ScanObserver.h"
#include "platform/Platform.h"

class CDriveIconScan {
public:
    // `observer`, if given, is told each step (see ScanObserver).
    explicit CDriveIconScan(Platform& os, ScanObserver* observer = nullptr)
        : Registry(os, 0), os(os), observer_(observer) {}
    CDriveIconScan(const CDriveIconScan&) = delete;
    CDriveIconScan& operator=(const CDriveIconScan&) = delete;

    DriveSlot DriveSlots[DriveSlotCount] = {};
    char ModuleDirectory[MAX_PATH] = {};
    // In the view that DetectPlatform (or SetPlatform) chose.
    CRegistry Registry;

    BOOL IsVistaWorkstation() const { return isVistaWorkstation_; }
    BOOL IsWow64() const { return isWow64_; }
    // The first letter the next assignment scan examines; 0 before any scan.
    char ScanStartLetter() const { return scanStartLetter_; }

    // Sets the platform flags; the registry client takes the 64-bit view
    // while IsWow64 is set.
    void DetectPlatform();
    void SetPlatform(BOOL isVistaWorkstation, BOOL isWow64);

    // ModuleDirectory from the executable's path, up to its last backslash;
    // empty when the path cannot be had whole.
    void ReadModuleDirectory();
    // What the service does at start: platform, directory, clean-up of the
    // keys an earlier run left, and a full assignment scan.
    void StartUpScan();

    // From the first letter on: with scanAll every reader drive not yet
    // tracked gets its keys while slots last, without only the first.
    BOOL AssignFromFirstLetter(BOOL scanAll);
    BOOL AssignDrives(BOOL scanAll) { return AssignScan(CurrentVariant(), scanAll); }
    BOOL AssignDrivesByParentId(BOOL scanAll) { return AssignScan(Variant::ParentId, scanAll); }
    BOOL AssignDrivesByInstancePath(BOOL all) { return AssignScan(Variant::InstancePath, all); }
    BOOL ReleaseDrives(BOOL releaseAll) { return ReleaseWalk(CurrentVariant(), releaseAll); }
    BOOL ReleaseDrivesByParentId(BOOL all) { return ReleaseWalk(Variant::ParentId, all); }
    BOOL ReleaseDrivesByInstancePath(BOOL all) { return ReleaseWalk(Variant::InstancePath, all); }
    void RestoreDriveSlots() { RestoreDriveSlotsFrom(FirstDriveLetter); }
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

    Variant CurrentVariant() const {
        return isVistaWorkstation_ ? Variant::InstancePath : Variant::ParentId;
    }
    bool IsRemovable(char letter);
    bool IsTracked(char letter) const;
    BOOL ReadMountText(char letter, std::string& mountText);
    bool ParseMountText(Variant variant, char letter, const std::string& mountText,
                        VolumeId& volume);
    // Removable `letter`: reads and parses its record into a new entry of `letters`.
    void AddLetter(Variant variant, char letter, std::vector<LetterSearch>& letters);
    // One walk over USBSTOR for every searching letter. It ends once each has
    // its match, once the first has its match if `firstDecides`, or at a stop.
    void WalkDevices(Variant variant, std::vector<LetterSearch>& letters, bool firstDecides);
    bool AssignLetter(Variant variant, char letter, const std::string& modelText);
    // The letter's key is another program's: there without the marker and
    // not empty (or it cannot be read to tell). The scan leaves such a letter
    // alone: writing there would change, and its release delete, what is not
    // its own.
    bool HeldByOthers(char letter);
    void WriteKeyValue(char letter, const char* subkey, const char* valueName, const char* text);
    void DeleteDriveIconKeys(char letter);
    bool HasFreeSlot() const;
    BOOL AssignScan(Variant variant, BOOL scanAll);
    BOOL ReleaseWalk(Variant variant, BOOL releaseAll);
    // Fills the slots from the marked keys of the letters from `firstLetter` on.
    void RestoreDriveSlotsFrom(char firstLetter);
    // The model row the letter's keys name if they are this service's, else
    // -1; `markerRead` gets the result of reading the marker.
    int OwnedRow(char letter, LONG& markerRead);

    ScanObserver* observer_;
    BOOL isVistaWorkstation_ = FALSE;
    BOOL isWow64_ = FALSE;
    char scanStartLetter_ = 0;
    std::atomic<bool> stopRequested_{false};
};
