#include "driveicons/DriveIconScan.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "driveicons/AnsiText.h"
#include "driveicons/PlatformQuery.h"

namespace {

// First row whose InstanceMatch occurs in `text`, or -1.
int FindModel(Platform& os, const std::string& text) {
    // One pass over the characters serves the twelve searches.
    const std::vector<bool> boundaries = AnsiText::CharBoundaries(os, text);
    for (int row = 0; row < ReaderModelCount; ++row) {
        if (AnsiText::Find(text, boundaries, ReaderModelTable[row].InstanceMatch) !=
            AnsiText::npos) {
            return row;
        }
    }
    return -1;
}

// The row the assignment gives a matched device: row 0 when none matches.
int ModelRow(Platform& os, const std::string& modelText) {
    const int found = FindModel(os, modelText);
    return found < 0 ? 0 : found;
}

// First row with exactly this label, or -1.
int FindLabel(const std::string& label) {
    for (int row = 0; row < ReaderModelCount; ++row) {
        if (label == ReaderModelTable[row].Label) return row;
    }
    return -1;
}

}  // namespace

// ---- Platform ----------------------------------------------------------------

void CDriveIconScan::DetectPlatform() {
    const PlatformFlags flags = QueryPlatformFlags(os);
    SetPlatform(flags.IsVistaWorkstation, flags.IsWow64);
}

void CDriveIconScan::SetPlatform(BOOL isVistaWorkstation, BOOL isWow64) {
    isVistaWorkstation_ = isVistaWorkstation;
    isWow64_ = isWow64;
    Registry = CRegistry(os, isWow64 ? KEY_WOW64_64KEY : 0);
}

// ---- Shared steps of the assignment scan and the release check -------------

bool CDriveIconScan::IsRemovable(char letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    const UINT driveType = os.GetDriveTypeA(root);
    if (observer_) observer_->OnLetter(letter, driveType);
    return driveType == DRIVE_REMOVABLE;
}

bool CDriveIconScan::IsTracked(char letter) const {
    return std::any_of(std::begin(DriveSlots), std::end(DriveSlots),
                       [&](const DriveSlot& slot) { return slot.Letter == letter; });
}

BOOL CDriveIconScan::ReadMountText(char letter, std::string& mountText) {
    const std::string valueName = MountValueName(letter);
    // Not MAX_PATH: a reader's device path with a long serial number is longer.
    std::vector<BYTE> record(MountRecordSize, 0);
    mountText.clear();
    CRegistry::StoredValue stored;
    const BOOL read =
        Registry.ReadRegValue(HKEY_LOCAL_MACHINE, MountedDevicesPath, valueName.c_str(), REG_BINARY,
                              record.data(), static_cast<DWORD>(record.size()), &stored);
    if (read) MountRecordToText(os, record.data(), record.size(), mountText);
    if (observer_) observer_->OnMountText(letter, read != FALSE, mountText, stored);
    return read;
}

bool CDriveIconScan::ParseMountText(Variant variant, char letter, const std::string& mountText,
                                    VolumeId& volume) {
    const bool markerFound =
        variant == Variant::ParentId
            ? ParseParentIdText(os, mountText, volume.ParentId)
            : ParseInstancePathText(os, mountText, volume.DeviceKeyName, volume.InstanceKeyName);
    if (observer_) observer_->OnVolumeId(letter, markerFound, volume);
    return markerFound;
}

void CDriveIconScan::AddLetter(Variant variant, char letter, std::vector<LetterSearch>& letters) {
    letters.emplace_back();
    LetterSearch& search = letters.back();
    search.Letter = letter;
    std::string mountText;
    search.RecordRead = ReadMountText(letter, mountText);
    search.Searching =
        search.RecordRead && ParseMountText(variant, letter, mountText, search.Volume);
}

void CDriveIconScan::WalkDevices(Variant variant, std::vector<LetterSearch>& letters,
                                 bool firstDecides) {
    // Bit i: letters[i] still looks for its match (at most 23 letters).
    uint32_t searching = 0;
    for (size_t i = 0; i < letters.size(); ++i) {
        if (letters[i].Searching) searching |= uint32_t{1} << i;
    }
    const uint32_t first = searching & (~searching + 1);  // lowest bit
    auto done = [&] { return searching == 0 || (firstDecides && !(searching & first)); };

    auto each = [&](uint32_t set, auto&& action) {
        for (size_t i = 0; i < letters.size(); ++i) {
            if (set & (uint32_t{1} << i)) action(letters[i], uint32_t{1} << i);
        }
    };

    // Each device key is enumerated once and a reader's instances are read
    // once, whatever the number of letters: nothing is kept per device key.
    std::string deviceKeyName, instanceKeyName;
    for (DWORD deviceIndex = 0;
         !done() && !StopRequested() &&
         Registry.SubkeyAt(HKEY_LOCAL_MACHINE, UsbStorPath, deviceIndex, deviceKeyName);
         ++deviceIndex) {
        uint32_t comparing = searching;
        if (variant == Variant::InstancePath) {
            each(searching, [&](const LetterSearch& search, uint32_t bit) {
                if (!AnsiText::EqualNoCase(os, deviceKeyName, search.Volume.DeviceKeyName)) {
                    comparing &= ~bit;
                }
            });
            if (comparing == 0) continue;
        }
        const int modelRow = FindModel(os, deviceKeyName);
        if (observer_) {
            each(comparing, [&](const LetterSearch& search, uint32_t) {
                observer_->OnDeviceKey(search.Letter, deviceKeyName, modelRow);
            });
        }
        if (modelRow < 0) continue;

        const std::string devicePath = std::string(UsbStorPath) + "\\" + deviceKeyName;
        for (DWORD instanceIndex = 0; comparing != 0 && !StopRequested() &&
                                      Registry.SubkeyAt(HKEY_LOCAL_MACHINE, devicePath.c_str(),
                                                        instanceIndex, instanceKeyName);
             ++instanceIndex) {
            const std::string instancePath = devicePath + "\\" + instanceKeyName;
            std::string prefix;
            CRegistry::StoredValue stored;
            const bool prefixRead =
                variant == Variant::ParentId &&
                Registry.ReadRegValue(HKEY_LOCAL_MACHINE, instancePath.c_str(), "ParentIdPrefix",
                                      REG_SZ, &prefix, RegTextSize, &stored);
            const bool prefixTooLong = !prefixRead && stored.size > RegTextSize;
            each(comparing, [&](LetterSearch& search, uint32_t bit) {
                const bool match =
                    variant == Variant::ParentId
                        ? prefixRead && AnsiText::EqualNoCase(os, prefix, search.Volume.ParentId)
                        : AnsiText::EqualNoCase(os, instanceKeyName, search.Volume.InstanceKeyName);
                if (observer_) {
                    observer_->OnInstanceKey(search.Letter, instanceKeyName,
                                             prefixRead ? &prefix : nullptr, prefixTooLong, match);
                }
                if (!match) return;
                search.Found = true;
                search.ModelText = variant == Variant::ParentId ? instancePath : deviceKeyName;
                comparing &= ~bit;
                searching &= ~bit;
            });
        }
    }
}

// ---- Assignment ------------------------------------------------------------

bool CDriveIconScan::AssignLetter(Variant variant, char letter, const std::string& modelText) {
    DriveSlot* const slot = std::find_if(std::begin(DriveSlots), std::end(DriveSlots),
                                         [](const DriveSlot& free) { return free.Letter == 0; });
    if (slot == std::end(DriveSlots)) {
        if (observer_) observer_->OnMatch(letter, -1, -1);
        return false;
    }
    if (HeldByOthers(letter)) {
        if (observer_) observer_->OnHeldByOthers(letter);
        return false;
    }

    const int row = ModelRow(os, modelText);
    slot->Letter = letter;
    slot->ModelIndex = static_cast<unsigned short>(row);
    if (observer_) observer_->OnMatch(letter, static_cast<int>(slot - DriveSlots), row);

    // Write results are not looked at: the slot stays taken either way.
    const ReaderModel& model = ReaderModelTable[row];
    // The marker goes first: whatever a failed write or a crash leaves of the
    // keys carries it, and the restore takes them back by its text.
    WriteKeyValue(letter, nullptr, DriveIconMarker, model.Label);
    WriteKeyValue(letter, DefaultLabelKey, nullptr, model.Label);
    if (variant == Variant::InstancePath || !isWow64_) {
        const std::string icon = std::string(ModuleDirectory) + model.IconRef;
        WriteKeyValue(letter, DefaultIconKey, nullptr, icon.c_str());
    }
    return true;
}

bool CDriveIconScan::HeldByOthers(char letter) {
    const std::string key = DriveIconKey(letter);
    DWORD entries = 0;
    const LONG counted = Registry.CountEntries(HKEY_LOCAL_MACHINE, key.c_str(), entries);
    // No key, or an empty one (a crash between its creation and the marker).
    if (counted == ERROR_FILE_NOT_FOUND || (counted == ERROR_SUCCESS && entries == 0)) return false;
    std::string marker;
    return counted != ERROR_SUCCESS ||
           Registry.ReadRegText(HKEY_LOCAL_MACHINE, key.c_str(), DriveIconMarker, marker) !=
               ERROR_SUCCESS;
}

void CDriveIconScan::WriteKeyValue(char letter, const char* subkey, const char* valueName,
                                   const char* text) {
    if (observer_) {
        observer_->OnWrite(letter, subkey, valueName, text, CRegistry::Writable(REG_SZ, text));
    }
    Registry.WriteRegValue(HKEY_LOCAL_MACHINE, DriveIconKey(letter, subkey).c_str(), valueName,
                           REG_SZ, text);
}

void CDriveIconScan::DeleteDriveIconKeys(char letter) {
    bool deleteFunctionFound = true;
    Registry.DeleteDriveIconKeys(letter, &deleteFunctionFound);
    if (observer_) observer_->OnDeleteKeys(letter, deleteFunctionFound);
}

bool CDriveIconScan::HasFreeSlot() const { return IsTracked(0); }

BOOL CDriveIconScan::AssignFromFirstLetter(BOOL scanAll) {
    scanStartLetter_ = FirstDriveLetter;
    return AssignDrives(scanAll);
}

BOOL CDriveIconScan::AssignScan(Variant variant, BOOL scanAll) {
    BOOL scanStatus = FALSE;
    char letter = scanStartLetter_ < FirstDriveLetter ? FirstDriveLetter : scanStartLetter_;
    // An arrival mostly brings one drive, the lowest new one: it is searched
    // alone first, so the letters after it are not looked at when it is a
    // reader's drive; the letters after it then share one walk.
    size_t searchesWanted = scanAll ? DriveLetterCount : 1;
    std::vector<LetterSearch> letters;
    while (IsDriveIconLetter(letter) && !StopRequested()) {
        letters.clear();
        size_t searches = 0;
        for (; IsDriveIconLetter(letter) && searches < searchesWanted && !StopRequested();
             ++letter) {
            if (!IsRemovable(letter) || IsTracked(letter)) continue;
            AddLetter(variant, letter, letters);
            if (letters.back().Searching) ++searches;
        }
        searchesWanted = DriveLetterCount;
        // Without scanAll the first letter that matches ends the scan, unless
        // it finds no slot.
        WalkDevices(variant, letters, !scanAll && HasFreeSlot());
        for (const LetterSearch& search : letters) {
            if (StopRequested()) return FALSE;
            if (!search.Searching) {
                // A record without the variant's marker was still read.
                scanStatus = search.RecordRead;
                continue;
            }
            scanStatus = search.Found && AssignLetter(variant, search.Letter, search.ModelText);
            if (scanStatus && !scanAll) return scanStatus;
        }
    }
    return scanStatus;
}

// ---- Release ---------------------------------------------------------------

BOOL CDriveIconScan::ReleaseWalk(Variant variant, BOOL releaseAll) {
    // The tracked letters in slot order, from the last slot down. Without
    // releaseAll the first that fails before the walk ends the list: a
    // letter after it could not be the first to go.
    std::vector<LetterSearch> letters;
    for (int index = DriveSlotCount - 1; index >= 0; --index) {
        const char letter = DriveSlots[index].Letter;
        if (letter == 0) continue;
        if (!IsRemovable(letter)) {
            letters.emplace_back();
            letters.back().Letter = letter;
        } else {
            AddLetter(variant, letter, letters);
        }
        if (!letters.back().Searching && !releaseAll) break;
    }
    WalkDevices(variant, letters, false);

    // letters[next] belongs to the next tracked slot down. A letter whose
    // volume now belongs to another model (a reader swapped at it before
    // the walk) goes too, so that a scan gives it that model's keys.
    size_t next = 0;
    for (int index = DriveSlotCount - 1; index >= 0 && next < letters.size(); --index) {
        DriveSlot& slot = DriveSlots[index];
        if (slot.Letter == 0) continue;
        const LetterSearch& search = letters[next++];
        if (search.Found && ModelRow(os, search.ModelText) == slot.ModelIndex) continue;
        DeleteDriveIconKeys(slot.Letter);
        slot.Letter = 0;
        scanStartLetter_ = FirstDriveLetter;
        if (!releaseAll) break;
    }
    return TRUE;
}

// ---- Restore and purge -----------------------------------------------------

void CDriveIconScan::RestoreDriveSlotsFrom(char firstLetter) {
    for (DriveSlot& slot : DriveSlots) slot = DriveSlot{0, 0};
    int next = 0;
    for (char letter = firstLetter; IsDriveIconLetter(letter) && next < DriveSlotCount; ++letter) {
        LONG markerRead = ERROR_SUCCESS;
        const int row = OwnedRow(letter, markerRead);
        if (row < 0) continue;
        DriveSlots[next].Letter = letter;
        DriveSlots[next].ModelIndex = static_cast<unsigned short>(row);
        ++next;
    }
}

// The keys are the service's when the letter key carries the marker and
// DefaultLabel holds a model's label. Where DefaultLabel cannot be read (a
// delete or a write that failed, or a crash, left the marker without it) the
// marker's text, which the service writes as the label, names the model.
int CDriveIconScan::OwnedRow(char letter, LONG& markerRead) {
    std::string marker;
    markerRead = Registry.ReadRegText(HKEY_LOCAL_MACHINE, DriveIconKey(letter).c_str(),
                                      DriveIconMarker, marker);
    if (markerRead != ERROR_SUCCESS) return -1;
    std::string label;
    const bool labelRead =
        Registry.ReadRegValue(HKEY_LOCAL_MACHINE, DriveIconKey(letter, DefaultLabelKey).c_str(),
                              nullptr, REG_SZ, &label, RegTextSize);
    const int row = FindLabel(labelRead ? label : marker);
    if (observer_) observer_->OnMarkedKey(letter, labelRead ? &label : nullptr, marker, row);
    return row;
}

std::string CDriveIconScan::OwnKeyLetters(DWORD& error) {
    std::string letters;
    for (char letter = FirstDriveLetter; IsDriveIconLetter(letter); ++letter) {
        LONG markerRead = ERROR_SUCCESS;
        const bool owned = OwnedRow(letter, markerRead) >= 0;
        // A key or marker that is not there, or longer than any the service
        // writes, is an answer; any other error is not.
        const bool unknown = markerRead != ERROR_SUCCESS && markerRead != ERROR_FILE_NOT_FOUND &&
                             markerRead != ERROR_MORE_DATA;
        if (unknown && error == 0) error = static_cast<DWORD>(markerRead);
        if (owned || unknown) letters += letter;
    }
    return letters;
}

void CDriveIconScan::PurgeDriveIcons() {
    for (int index = DriveSlotCount - 1; index >= 0; --index) {
        DriveSlot& slot = DriveSlots[index];
        if (slot.Letter == 0) continue;
        DeleteDriveIconKeys(slot.Letter);
        slot.Letter = 0;
    }
}

// More marked letters than slots: further rounds over the letters after the
// last one taken, so no marked key of a known label outlives a start or stop.
void CDriveIconScan::RestoreAndPurge() {
    RestoreDriveSlots();
    for (;;) {
        // The slots ran full at the last one: the letters after it are left.
        const char last = DriveSlots[DriveSlotCount - 1].Letter;
        PurgeDriveIcons();
        if (last == 0 || last == LastDriveLetter) return;
        RestoreDriveSlotsFrom(static_cast<char>(last + 1));
    }
}

// ---- Start-up ----------------------------------------------------------------

void CDriveIconScan::ReadModuleDirectory() {
    char path[MAX_PATH] = {};
    const DWORD length = os.GetModuleFileNameA(nullptr, path, MAX_PATH);
    ModuleDirectory[0] = '\0';
    // 0 is a failure; a full buffer means the path was cut short.
    if (length == 0 || length >= MAX_PATH) return;
    const std::string fullPath = AnsiText::FromBuffer(path, length);
    const size_t slash = AnsiText::FindLastChar(os, fullPath, '\\');
    if (slash == AnsiText::npos) return;
    std::memcpy(ModuleDirectory, fullPath.data(), slash + 1);
    ModuleDirectory[slash + 1] = '\0';
}

void CDriveIconScan::StartUpScan() {
    DetectPlatform();
    ReadModuleDirectory();
    RestoreAndPurge();
    AssignFromFirstLetter(TRUE);
}
