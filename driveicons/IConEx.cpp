#include "driveicons/IConEx.h"

#include <cstdint>
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

// Device events held for OnInit and replayed one scan each. From one more on,
// one full release walk and rescan stand in for all of them: two walks, never
// more than replaying them would cost. So do they for two events of which one
// is an arrival, whose scan alone may walk twice (the lowest new letter, then
// the letters after it): a round costs at most two walks.
constexpr size_t kMaxQueuedEvents = 2;
// Rounds of queued events that OnInit handles before the handler takes over.
constexpr int kHandOverRounds = 4;

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

bool CIConEx::ParseMountText(Variant variant, const std::string& mountText, VolumeId& volume) {
    const bool markerFound =
        variant == Variant::ParentId
            ? ParseParentIdText(os, mountText, volume.ParentId)
            : ParseInstancePathText(os, mountText, volume.DeviceKeyName, volume.InstanceKeyName);
    if (Observer) Observer->OnVolumeId(markerFound, volume);
    return markerFound;
}

void CIConEx::AddLetter(Variant variant, char letter, std::vector<LetterSearch>& letters) {
    letters.emplace_back();
    LetterSearch& search = letters.back();
    search.Letter = letter;
    std::string mountText;
    search.RecordRead = ReadMountText(letter, mountText);
    search.Searching = search.RecordRead && ParseMountText(variant, mountText, search.Volume);
}

void CIConEx::WalkDevices(Variant variant, std::vector<LetterSearch>& letters, bool firstDecides) {
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

bool CIConEx::HasFreeSlot() const {
    for (const DriveSlot& slot : DriveSlots) {
        if (slot.Letter == 0) return true;
    }
    return false;
}

BOOL CIConEx::AssignScan(Variant variant, BOOL scanAll) {
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

BOOL CIConEx::AssignDrives(BOOL scanAll) {
    return IsVistaWorkstation ? AssignDrivesByInstancePath(scanAll)
                              : AssignDrivesByParentId(scanAll);
}

BOOL CIConEx::AssignDrivesByParentId(BOOL scanAll) {
    return AssignScan(Variant::ParentId, scanAll);
}

BOOL CIConEx::AssignDrivesByInstancePath(BOOL scanAll) {
    return AssignScan(Variant::InstancePath, scanAll);
}

// ---- Release ---------------------------------------------------------------

BOOL CIConEx::ReleaseWalk(Variant variant, BOOL releaseAll) {
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

    // letters[next] belongs to the next tracked slot down.
    size_t next = 0;
    for (int index = DriveSlotCount - 1; index >= 0 && next < letters.size(); --index) {
        DriveSlot& slot = DriveSlots[index];
        if (slot.Letter == 0 || letters[next++].Found) continue;
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
    {
        MutexLock lock(handOverLock_);
        // A stop that came first keeps the phase at Stopped.
        if (phase_ == Phase::BeforeStart) phase_ = Phase::Starting;
    }
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
    HandleQueuedEvents();
    return TRUE;
}

// The events that came while OnInit worked, in their order, as the handler
// would have handled them right after it; repeated while more come, for at
// most kHandOverRounds rounds, so that events faster than the scans cannot
// hold the service in START_PENDING (where Windows refuses every stop). The
// phase becomes Started under the same lock as the last batch is taken from
// the queue: an event is either in a batch handled here or finds the phase
// Started, and then the handler takes it itself, waiting only for OnInit to
// let go of the drives.
void CIConEx::HandleQueuedEvents() {
    for (int round = 1;; ++round) {
        std::vector<DWORD> events;
        bool overflowed = false;
        bool last = false;
        {
            MutexLock lock(handOverLock_);
            // A stop has come: its OnStop, waiting for the drives, takes back
            // whatever the scans wrote, and the queue is moot.
            if (phase_ != Phase::Starting || StopRequested()) return;
            last = round == kHandOverRounds || (queuedEvents_.empty() && !queueOverflowed_);
            if (last) phase_ = Phase::Started;
            events.swap(queuedEvents_);
            overflowed = queueOverflowed_;
            queueOverflowed_ = false;
        }
        bool withArrival = false;
        for (DWORD eventType : events) withArrival |= eventType == DBT_DEVICEARRIVAL;
        if (overflowed || (events.size() > 1 && withArrival)) {
            // Too many to replay: take back every drive that is gone and give
            // keys to every new one, which is what the events would come to.
            ReleaseDrives(TRUE);
            ScanStartLetter = 'D';
            AssignDrives(TRUE);
        } else {
            for (DWORD eventType : events) HandleDeviceEvent(eventType);
        }
        if (last) return;
    }
}

void CIConEx::Run() {
    while (IsRunning) os.Sleep(1000);
}

void CIConEx::OnStop() {
    // Raised before the lock is taken: a start-up scan that holds it gives up
    // at its next device key, so the stop does not wait for the whole scan.
    stopRequested_ = true;
    {
        MutexLock lock(handOverLock_);
        // Device events can still come while Run winds down; keys written
        // then would outlive the service.
        phase_ = Phase::Stopped;
        queuedEvents_.clear();
        queueOverflowed_ = false;
    }
    MutexLock lock(driveLock_);
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
    {
        MutexLock lock(handOverLock_);
        if (phase_ == Phase::Starting) {
            // OnInit handles it after its scan: the handler, and every
            // control queued behind it, must not wait for that scan.
            if (queuedEvents_.size() < kMaxQueuedEvents) {
                queuedEvents_.push_back(eventType);
            } else {
                queueOverflowed_ = true;
            }
            return TRUE;
        }
        // Before OnInit, an event would be acted on without the platform flags
        // (so under WOW64 write marked keys into the 32-bit view, where no
        // purge ever finds them) and without the directory; the start-up scan
        // sees every volume present anyway. After OnStop, keys written would
        // outlive the service.
        if (phase_ != Phase::Started) return TRUE;
    }
    MutexLock lock(driveLock_);
    // Windows hands controls over one at a time, Wine a stop on a thread of
    // its own: a stop taken meanwhile has purged, and keys written now would
    // outlive the service.
    if (!StopRequested()) HandleDeviceEvent(eventType);
    return TRUE;
}

void CIConEx::HandleDeviceEvent(DWORD eventType) {
    if (eventType == DBT_DEVICEARRIVAL) {
        TraceMsg(this, "DeviceArrival-Enter");
        OnDeviceArrival();
        TraceMsg(this, "DeviceArrival-Exit");
    } else {
        TraceMsg(this, "DeviceRemoveComplete-Enter");
        OnDeviceRemoveComplete();
        TraceMsg(this, "DeviceRemoveComplete-Exit");
    }
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
