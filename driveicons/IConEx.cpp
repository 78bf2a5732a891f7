#include "driveicons/IConEx.h"

#include <cstring>
#include <vector>

#include "driveicons/AnsiText.h"
#include "driveicons/MountText.h"

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

// First row with exactly this label, or -1.
int FindLabel(const std::string& label) {
    for (int row = 0; row < ReaderModelCount; ++row) {
        if (label == ReaderModelTable[row].Label) return row;
    }
    return -1;
}

std::string LetterKey(char letter) { return std::string(DriveIconsBase) + letter; }

}  // namespace

CIConEx::CIConEx(Platform& platform) : CNTService("QarnIEx", platform) {
    // The package's text too.
    ServiceDescription = "Gives the drives of Qarn USB card readers their own icon and label.";
}

// ---- Shared steps of the assignment scan and the release check -------------

bool CIConEx::IsRemovable(char letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    const UINT driveType = os.GetDriveTypeA(root);
    if (Observer) Observer->OnLetter(letter, driveType);
    return driveType == DRIVE_REMOVABLE;
}

bool CIConEx::IsTracked(char letter) const {
    for (const DriveSlot& slot : DriveSlots) {
        if (slot.Letter == letter) return true;
    }
    return false;
}

BOOL CIConEx::ReadMountText(char letter, std::string& mountText) {
    const char valueName[] = {'\\', 'D', 'o', 's', 'D', 'e', 'v', 'i', 'c', 'e', 's', '\\',
                              letter, ':', '\0'};
    // Not MAX_PATH: a reader's device path with a long serial number is longer.
    std::vector<BYTE> record(MountRecordSize, 0);
    mountText.clear();
    const BOOL read = ReadRegValue(HKEY_LOCAL_MACHINE, MountedDevicesPath, valueName, REG_BINARY,
                                   record.data(), static_cast<DWORD>(record.size()));
    if (read) MountRecordToText(os, record.data(), record.size(), mountText);
    if (Observer) Observer->OnMountText(letter, read != FALSE, mountText);
    return read;
}

bool CIConEx::ParseMountText(Variant variant, const std::string& mountText, VolumeId& volume) {
    const bool markerFound =
        variant == Variant::ParentId
            ? ParseParentIdText(os, mountText, volume.ParentId)
            : ParseInstancePathText(os, mountText, volume.DeviceKeyName, volume.InstanceKeyName);
    if (Observer) Observer->OnVolumeId(markerFound, volume);
    return markerFound;
}

BOOL CIConEx::SearchDevices(Variant variant, const VolumeId& volume, const MatchAction& onMatch) {
    char name[MAX_PATH];
    DWORD nameLength = 0;
    auto enumerate = [&](const char* path, DWORD index) {
        std::memset(name, 0, sizeof name);
        nameLength = sizeof name;
        return EnumRegSubkey(HKEY_LOCAL_MACHINE, path, name, &nameLength, index);
    };

    for (DWORD deviceIndex = 0; !StopRequested() && enumerate(UsbStorPath, deviceIndex);
         ++deviceIndex) {
        const std::string deviceKeyName = AnsiText::FromBuffer(name, sizeof name);
        if (variant == Variant::InstancePath &&
            !AnsiText::EqualNoCase(os, deviceKeyName, volume.DeviceKeyName)) {
            continue;
        }
        const int modelRow = FindModel(os, deviceKeyName);
        if (Observer) Observer->OnDeviceKey(deviceKeyName, modelRow);
        if (modelRow < 0) continue;

        const std::string devicePath = std::string(UsbStorPath) + "\\" + deviceKeyName;
        for (DWORD instanceIndex = 0; enumerate(devicePath.c_str(), instanceIndex);
             ++instanceIndex) {
            const std::string instanceKeyName = AnsiText::FromBuffer(name, sizeof name);
            const std::string instancePath = devicePath + "\\" + instanceKeyName;
            bool match;
            std::string prefix;
            bool prefixRead = false;
            if (variant == Variant::ParentId) {
                prefixRead = ReadRegValue(HKEY_LOCAL_MACHINE, instancePath.c_str(),
                                          "ParentIdPrefix", REG_SZ, &prefix, MAX_PATH);
                match = prefixRead && AnsiText::EqualNoCase(os, prefix, volume.ParentId);
            } else {
                match = AnsiText::EqualNoCase(os, instanceKeyName, volume.InstanceKeyName);
            }
            if (Observer) {
                Observer->OnInstanceKey(instanceKeyName, prefixRead ? &prefix : nullptr, match);
            }
            if (!match) continue;
            if (onMatch(variant == Variant::ParentId ? instancePath : deviceKeyName)) return TRUE;
            break;  // not taken: the rest of this device's instances are not looked at
        }
    }
    return FALSE;
}

// ---- Assignment ------------------------------------------------------------

bool CIConEx::AssignLetter(Variant variant, char letter, const std::string& modelText) {
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

    const int found = FindModel(os, modelText);
    const int row = found < 0 ? 0 : found;
    slot->Letter = letter;
    slot->ModelIndex = static_cast<unsigned short>(row);
    if (Observer) Observer->OnMatch(letter, static_cast<int>(slot - DriveSlots), row);

    // Write results are not looked at: the slot stays taken either way.
    const ReaderModel& model = ReaderModelTable[row];
    const std::string letterKey = LetterKey(letter);
    WriteRegValue(HKEY_LOCAL_MACHINE, (letterKey + "\\DefaultLabel").c_str(), nullptr, REG_SZ,
                  model.Label);
    if (variant == Variant::InstancePath || !IsWow64) {
        const std::string icon = std::string(ModuleDirectory) + model.IconRef;
        WriteRegValue(HKEY_LOCAL_MACHINE, (letterKey + "\\DefaultIcon").c_str(), nullptr, REG_SZ,
                      icon.c_str());
    }
    // The marker goes last, so a key carrying it is complete.
    WriteRegValue(HKEY_LOCAL_MACHINE, letterKey.c_str(), DriveIconMarker, REG_SZ, model.Label);
    return true;
}

BOOL CIConEx::AssignScan(Variant variant, BOOL scanAll) {
    BOOL scanStatus = FALSE;
    // The service only ever looks at 'D' to 'Z'.
    const char first = ScanStartLetter < 'D' ? 'D' : ScanStartLetter;
    for (char letter = first; letter >= 'D' && letter <= 'Z' && !StopRequested(); ++letter) {
        if (!IsRemovable(letter) || IsTracked(letter)) continue;
        std::string mountText;
        scanStatus = ReadMountText(letter, mountText);
        if (!scanStatus) continue;
        VolumeId volume;
        if (!ParseMountText(variant, mountText, volume)) continue;
        scanStatus = SearchDevices(variant, volume, [&](const std::string& modelText) {
            return AssignLetter(variant, letter, modelText);
        });
        if (scanStatus && !scanAll) return scanStatus;
    }
    return scanStatus;
}

BOOL CIConEx::AssignDrives(BOOL scanAll) {
    return IsVistaWorkstation ? AssignDrivesByInstancePath(scanAll) : AssignDrivesByParentId(scanAll);
}

BOOL CIConEx::AssignDrivesByParentId(BOOL scanAll) { return AssignScan(Variant::ParentId, scanAll); }

BOOL CIConEx::AssignDrivesByInstancePath(BOOL scanAll) {
    return AssignScan(Variant::InstancePath, scanAll);
}

// ---- Release ---------------------------------------------------------------

bool CIConEx::CheckDrive(Variant variant, char letter) {
    if (!IsRemovable(letter)) return false;
    std::string mountText;
    if (!ReadMountText(letter, mountText)) return false;
    VolumeId volume;
    if (!ParseMountText(variant, mountText, volume)) return false;
    return SearchDevices(variant, volume, [](const std::string&) { return true; }) == TRUE;
}

BOOL CIConEx::ReleaseWalk(Variant variant, BOOL releaseAll) {
    for (int index = DriveSlotCount - 1; index >= 0; --index) {
        DriveSlot& slot = DriveSlots[index];
        if (slot.Letter == 0 || CheckDrive(variant, slot.Letter)) continue;
        DeleteDriveIconKeys(slot.Letter);
        slot.Letter = 0;
        ScanStartLetter = 'D';
        if (!releaseAll) break;
    }
    return TRUE;
}

BOOL CIConEx::ReleaseDrives(BOOL releaseAll) {
    return IsVistaWorkstation ? ReleaseDrivesByInstancePath(releaseAll)
                              : ReleaseDrivesByParentId(releaseAll);
}

BOOL CIConEx::ReleaseDrivesByParentId(BOOL releaseAll) {
    return ReleaseWalk(Variant::ParentId, releaseAll);
}

BOOL CIConEx::ReleaseDrivesByInstancePath(BOOL releaseAll) {
    return ReleaseWalk(Variant::InstancePath, releaseAll);
}

// ---- Restore and purge -----------------------------------------------------

// Fills the slots from the marked keys of the letters from `firstLetter` on.
// Returns the letter after the one that took the last slot when the slots ran
// full before 'Z', else 0.
char CIConEx::RestoreDriveSlotsFrom(char firstLetter) {
    for (DriveSlot& slot : DriveSlots) slot = DriveSlot{0, 0};
    int next = 0;
    for (char letter = firstLetter; letter >= 'D' && letter <= 'Z'; ++letter) {
        const std::string letterKey = LetterKey(letter);
        std::string marker;
        std::string label;
        if (!ReadRegValue(HKEY_LOCAL_MACHINE, letterKey.c_str(), DriveIconMarker, REG_SZ, &marker,
                          MAX_PATH)) {
            continue;
        }
        const std::string labelKey = letterKey + "\\DefaultLabel";
        const bool labelRead =
            ReadRegValue(HKEY_LOCAL_MACHINE, labelKey.c_str(), nullptr, REG_SZ, &label, MAX_PATH);
        const int row = labelRead ? FindLabel(label) : -1;
        if (Observer) Observer->OnMarkedKey(letter, labelRead ? &label : nullptr, row);
        if (row < 0) continue;
        DriveSlots[next].Letter = letter;
        DriveSlots[next].ModelIndex = static_cast<unsigned short>(row);
        ++next;
        if (next == DriveSlotCount) return letter < 'Z' ? static_cast<char>(letter + 1) : 0;
    }
    return 0;
}

void CIConEx::RestoreDriveSlots() { RestoreDriveSlotsFrom('D'); }

void CIConEx::PurgeDriveIcons() {
    for (int index = DriveSlotCount - 1; index >= 0; --index) {
        DriveSlot& slot = DriveSlots[index];
        if (slot.Letter == 0) continue;
        DeleteDriveIconKeys(slot.Letter);
        slot.Letter = 0;
    }
}

// More marked letters than slots: further rounds over the letters after the
// last one taken, so no marked key of a known label outlives a start or stop.
void CIConEx::RestoreAndPurge() {
    char next = RestoreDriveSlotsFrom('D');
    PurgeDriveIcons();
    while (next != 0) {
        next = RestoreDriveSlotsFrom(next);
        PurgeDriveIcons();
    }
}

// ---- Hooks -----------------------------------------------------------------

BOOL CIConEx::OnInit() {
    MutexLock lock(driveLock_);
    DetectPlatform();

    char path[MAX_PATH] = {};
    const DWORD length = os.GetModuleFileNameA(nullptr, path, MAX_PATH);
    ModuleDirectory[0] = '\0';
    // 0 is a failure; a full buffer means the path was cut short.
    if (length > 0 && length < MAX_PATH) {
        const std::string fullPath = AnsiText::FromBuffer(path, length);
        const size_t slash = AnsiText::FindLastChar(os, fullPath, '\\');
        if (slash != AnsiText::npos) {
            std::memcpy(ModuleDirectory, fullPath.data(), slash + 1);
            ModuleDirectory[slash + 1] = '\0';
        }
    }

    RestoreAndPurge();
    ScanStartLetter = 'D';
    AssignDrives(TRUE);
    // A stop that came meanwhile has cut the scan short; its OnStop, waiting
    // for the lock, takes back whatever the scan wrote.
    started_ = !StopRequested();
    return TRUE;
}

void CIConEx::Run() {
    while (IsRunning) os.Sleep(1000);
}

void CIConEx::OnStop() {
    // Raised before the lock is taken: a start-up scan that holds it gives up
    // at its next device key, so the stop does not wait for the whole scan.
    stopRequested_ = true;
    MutexLock lock(driveLock_);
    // Device events can still come while Run winds down; keys written then
    // would outlive the service.
    started_ = false;
    // The drives tracked now go first: a key of ours whose label cannot be
    // read back (its write was refused, or someone removed it) would escape
    // the restore and outlive the service.
    PurgeDriveIcons();
    RestoreAndPurge();
    TraceMsg(this, "CIConEx::OnStop()");
}

BOOL CIConEx::OnDeviceChange(DWORD eventType, LPVOID /*eventData*/) {
    // Every other event type (a query before a safe removal, for one) is
    // answered at once, without waiting for a scan that holds the drives.
    if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) return TRUE;
    MutexLock lock(driveLock_);
    // An event can come in between the registration of the notification and
    // OnInit, or after OnStop. Acted on then, it would scan without the platform flags (so
    // under WOW64 write marked keys into the 32-bit view, where no purge ever
    // finds them) and without the directory; the start-up scan sees every
    // volume present anyway.
    if (!started_) return TRUE;
    if (eventType == DBT_DEVICEARRIVAL) {
        TraceMsg(this, "DeviceArrival-Enter");
        OnDeviceArrival();
        TraceMsg(this, "DeviceArrival-Exit");
    } else {
        TraceMsg(this, "DeviceRemoveComplete-Enter");
        OnDeviceRemoveComplete();
        TraceMsg(this, "DeviceRemoveComplete-Exit");
    }
    return TRUE;
}

void CIConEx::OnDeviceArrival() {
    ScanStartLetter = 'D';
    AssignDrives(FALSE);
}

void CIConEx::OnDeviceRemoveComplete() { ReleaseDrives(FALSE); }

BOOL CIConEx::OnUserControl(DWORD controlCode) { return controlCode == 128 ? TRUE : FALSE; }

void CIConEx::OnShutdown() {}

// "-u" has removed the service. A service that was killed (or crashed) left
// its keys, and with the service gone no start will ever take them back.
void CIConEx::OnRemoved() {
    DetectPlatform();
    RestoreAndPurge();
    TraceMsg(this, "CIConEx::OnRemoved()");
}
