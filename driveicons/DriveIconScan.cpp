#include "driveicons/DriveIconScan.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "driveicons/AnsiText.h"

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

std::string LetterKey(char letter) { return std::string(DriveIconsBase) + letter; }

}  // namespace

// ---- Shared steps of the assignment scan and the release check -------------

bool CDriveIconScan::IsRemovable(char letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    const UINT driveType = os.GetDriveTypeA(root);
    if (Observer) Observer->OnLetter(letter, driveType);
    return driveType == DRIVE_REMOVABLE;
}

bool CDriveIconScan::IsTracked(char letter) const {
    for (const DriveSlot& slot : DriveSlots) {
        if (slot.Letter == letter) return true;
    }
    return false;
}

BOOL CDriveIconScan::ReadMountText(char letter, std::string& mountText) {
    const std::string valueName = MountValueName(letter);
    // Not MAX_PATH: a reader's device path with a long serial number is longer.
    std::vector<BYTE> record(MountRecordSize, 0);
    mountText.clear();
    const BOOL read = ReadRegValue(HKEY_LOCAL_MACHINE, MountedDevicesPath, valueName.c_str(),
                                   REG_BINARY, record.data(), static_cast<DWORD>(record.size()));
    if (read) MountRecordToText(os, record.data(), record.size(), mountText);
    if (Observer) Observer->OnMountText(letter, read != FALSE, mountText);
    return read;
}

bool CDriveIconScan::ParseMountText(Variant variant, const std::string& mountText,
                                    VolumeId& volume) {
    const bool markerFound =
        variant == Variant::ParentId
            ? ParseParentIdText(os, mountText, volume.ParentId)
            : ParseInstancePathText(os, mountText, volume.DeviceKeyName, volume.InstanceKeyName);
    if (Observer) Observer->OnVolumeId(markerFound, volume);
    return markerFound;
}

void CDriveIconScan::AddLetter(Variant variant, char letter, std::vector<LetterSearch>& letters) {
    letters.emplace_back();
    LetterSearch& search = letters.back();
    search.Letter = letter;
    std::string mountText;
    search.RecordRead = ReadMountText(letter, mountText);
    search.Searching = search.RecordRead && ParseMountText(variant, mountText, search.Volume);
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

    char name[MAX_PATH];
    DWORD nameLength = 0;
    auto enumerate = [&](const char* path, DWORD index) {
        std::memset(name, 0, sizeof name);
        nameLength = sizeof name;
        return EnumRegSubkey(HKEY_LOCAL_MACHINE, path, name, &nameLength, index);
    };
    auto each = [&](uint32_t set, auto&& action) {
        for (size_t i = 0; i < letters.size(); ++i) {
            if (set & (uint32_t{1} << i)) action(letters[i], uint32_t{1} << i);
        }
    };

    // Each device key is enumerated once and a reader's instances are read
    // once, whatever the number of letters: nothing is kept per device key.
    for (DWORD deviceIndex = 0; !done() && !StopRequested() && enumerate(UsbStorPath, deviceIndex);
         ++deviceIndex) {
        const std::string deviceKeyName = AnsiText::FromBuffer(name, sizeof name);
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
        if (Observer) {
            each(comparing, [&](const LetterSearch& search, uint32_t) {
                Observer->OnDeviceKey(search.Letter, deviceKeyName, modelRow);
            });
        }
        if (modelRow < 0) continue;

        const std::string devicePath = std::string(UsbStorPath) + "\\" + deviceKeyName;
        for (DWORD instanceIndex = 0;
             comparing != 0 && !StopRequested() && enumerate(devicePath.c_str(), instanceIndex);
             ++instanceIndex) {
            const std::string instanceKeyName = AnsiText::FromBuffer(name, sizeof name);
            const std::string instancePath = devicePath + "\\" + instanceKeyName;
            std::string prefix;
            const bool prefixRead = variant == Variant::ParentId &&
                                    ReadRegValue(HKEY_LOCAL_MACHINE, instancePath.c_str(),
                                                 "ParentIdPrefix", REG_SZ, &prefix, MAX_PATH);
            each(comparing, [&](LetterSearch& search, uint32_t bit) {
                const bool match =
                    variant == Variant::ParentId
                        ? prefixRead && AnsiText::EqualNoCase(os, prefix, search.Volume.ParentId)
                        : AnsiText::EqualNoCase(os, instanceKeyName, search.Volume.InstanceKeyName);
                if (Observer) {
                    Observer->OnInstanceKey(search.Letter, instanceKeyName,
                                            prefixRead ? &prefix : nullptr, match);
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
    DriveSlot* slot = nullptr;
    for (DriveSlot& candidate : DriveSlots) {
        if (candidate.Letter == 0) {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr) {
        if (Observer) Observer->OnMatch(letter, -1, -1);
        return false;
    }

    const int row = ModelRow(os, modelText);
    slot->Letter = letter;
    slot->ModelIndex = static_cast<unsigned short>(row);
    if (Observer) Observer->OnMatch(letter, static_cast<int>(slot - DriveSlots), row);

    // Write results are not looked at: the slot stays taken either way.
    const ReaderModel& model = ReaderModelTable[row];
    const std::string letterKey = LetterKey(letter);
    // The marker goes first: whatever a failed write or a crash leaves of the
    // keys carries it, and the restore takes them back by its text.
    WriteRegValue(HKEY_LOCAL_MACHINE, letterKey.c_str(), DriveIconMarker, REG_SZ, model.Label);
    WriteRegValue(HKEY_LOCAL_MACHINE, (letterKey + "\\DefaultLabel").c_str(), nullptr, REG_SZ,
                  model.Label);
    if (variant == Variant::InstancePath || !IsWow64) {
        const std::string icon = std::string(ModuleDirectory) + model.IconRef;
        WriteRegValue(HKEY_LOCAL_MACHINE, (letterKey + "\\DefaultIcon").c_str(), nullptr, REG_SZ,
                      icon.c_str());
    }
    return true;
}

bool CDriveIconScan::HasFreeSlot() const {
    for (const DriveSlot& slot : DriveSlots) {
        if (slot.Letter == 0) return true;
    }
    return false;
}

BOOL CDriveIconScan::AssignScan(Variant variant, BOOL scanAll) {
    BOOL scanStatus = FALSE;
    // The service only ever looks at 'D' to 'Z'.
    char letter = ScanStartLetter < 'D' ? 'D' : ScanStartLetter;
    // An arrival mostly brings one drive, the lowest new one: it is searched
    // alone first, so the letters after it are not looked at when it is a
    // reader's drive; the letters after it then share one walk.
    size_t searchesWanted = scanAll ? 'Z' - 'D' + 1 : 1;
    std::vector<LetterSearch> letters;
    while (letter >= 'D' && letter <= 'Z' && !StopRequested()) {
        letters.clear();
        size_t searches = 0;
        for (; letter >= 'D' && letter <= 'Z' && searches < searchesWanted && !StopRequested();
             ++letter) {
            if (!IsRemovable(letter) || IsTracked(letter)) continue;
            AddLetter(variant, letter, letters);
            if (letters.back().Searching) ++searches;
        }
        searchesWanted = 'Z' - 'D' + 1;
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

BOOL CDriveIconScan::AssignDrives(BOOL scanAll) {
    return IsVistaWorkstation ? AssignDrivesByInstancePath(scanAll)
                              : AssignDrivesByParentId(scanAll);
}

BOOL CDriveIconScan::AssignDrivesByParentId(BOOL scanAll) {
    return AssignScan(Variant::ParentId, scanAll);
}

BOOL CDriveIconScan::AssignDrivesByInstancePath(BOOL scanAll) {
    return AssignScan(Variant::InstancePath, scanAll);
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
        ScanStartLetter = 'D';
        if (!releaseAll) break;
    }
    return TRUE;
}

BOOL CDriveIconScan::ReleaseDrives(BOOL releaseAll) {
    return IsVistaWorkstation ? ReleaseDrivesByInstancePath(releaseAll)
                              : ReleaseDrivesByParentId(releaseAll);
}

BOOL CDriveIconScan::ReleaseDrivesByParentId(BOOL releaseAll) {
    return ReleaseWalk(Variant::ParentId, releaseAll);
}

BOOL CDriveIconScan::ReleaseDrivesByInstancePath(BOOL releaseAll) {
    return ReleaseWalk(Variant::InstancePath, releaseAll);
}

// ---- Restore and purge -----------------------------------------------------

// Fills the slots from the marked keys of the letters from `firstLetter` on.
// Returns the letter after the one that took the last slot when the slots ran
// full before 'Z', else 0.
char CDriveIconScan::RestoreDriveSlotsFrom(char firstLetter) {
    for (DriveSlot& slot : DriveSlots) slot = DriveSlot{0, 0};
    int next = 0;
    for (char letter = firstLetter; letter >= 'D' && letter <= 'Z'; ++letter) {
        LONG markerRead = ERROR_SUCCESS;
        const int row = OwnedRow(letter, markerRead);
        if (row < 0) continue;
        DriveSlots[next].Letter = letter;
        DriveSlots[next].ModelIndex = static_cast<unsigned short>(row);
        ++next;
        if (next == DriveSlotCount) return letter < 'Z' ? static_cast<char>(letter + 1) : 0;
    }
    return 0;
}

// The keys are the service's when the letter key carries the marker and
// DefaultLabel holds a model's label. Where DefaultLabel cannot be read (a
// delete or a write that failed, or a crash, left the marker without it) the
// marker's text, which the service writes as the label, names the model.
int CDriveIconScan::OwnedRow(char letter, LONG& markerRead) {
    const std::string letterKey = LetterKey(letter);
    std::string marker;
    markerRead = ReadRegText(HKEY_LOCAL_MACHINE, letterKey.c_str(), DriveIconMarker, marker);
    if (markerRead != ERROR_SUCCESS) return -1;
    std::string label;
    const bool labelRead = ReadRegValue(HKEY_LOCAL_MACHINE, (letterKey + "\\DefaultLabel").c_str(),
                                        nullptr, REG_SZ, &label, MAX_PATH);
    const int row = FindLabel(labelRead ? label : marker);
    if (Observer) Observer->OnMarkedKey(letter, labelRead ? &label : nullptr, marker, row);
    return row;
}

std::string CDriveIconScan::OwnKeyLetters(DWORD& error) {
    std::string letters;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
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

void CDriveIconScan::RestoreDriveSlots() { RestoreDriveSlotsFrom('D'); }

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
    char next = RestoreDriveSlotsFrom('D');
    PurgeDriveIcons();
    while (next != 0) {
        next = RestoreDriveSlotsFrom(next);
        PurgeDriveIcons();
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
    ScanStartLetter = 'D';
    AssignDrives(TRUE);
}
