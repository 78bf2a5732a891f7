#include "driveicons/IConEx.h"

#include <string>
#include <vector>

#include "service/EventIds.h"

namespace {

// Device events held for OnInit and replayed one scan each. From one more on,
// one full release walk and rescan stand in for all of them: two walks, never
// more than replaying them would cost. So do they for two events of which one
// is an arrival, whose scan alone may walk twice (the lowest new letter, then
// the letters after it): a round costs at most two walks.
constexpr size_t kMaxQueuedEvents = 2;
// Rounds of queued events that OnInit handles before the handler takes over.
constexpr int kHandOverRounds = 4;

}  // namespace

CIConEx::CIConEx(Platform& platform) : CNTService(DriveIconServiceName, platform), Scan(platform) {
    // The package's text too.
    ServiceDescription = "Gives the drives of Qarn USB card readers their own icon and label.";
}

// ---- Hooks -----------------------------------------------------------------

BOOL CIConEx::OnInit() {
    {
        MutexLock lock(handOverLock_);
        // A stop that came first keeps the phase at Stopped.
        if (phase_ == Phase::BeforeStart) phase_ = Phase::Starting;
    }
    MutexLock lock(driveLock_);
    Scan.StartUpScan();
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
            if (phase_ != Phase::Starting || Scan.StopRequested()) return;
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
            Scan.ReleaseDrives(TRUE);
            Scan.AssignFromFirstLetter(TRUE);
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
    Scan.RequestStop();
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
    Scan.PurgeDriveIcons();
    Scan.RestoreAndPurge();
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
    if (!Scan.StopRequested()) HandleDeviceEvent(eventType);
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

void CIConEx::OnDeviceArrival() { Scan.AssignFromFirstLetter(FALSE); }

void CIConEx::OnDeviceRemoveComplete() { Scan.ReleaseDrives(FALSE); }

BOOL CIConEx::OnUserControl(DWORD controlCode) { return controlCode == 128 ? TRUE : FALSE; }

void CIConEx::OnShutdown() {}

// "-u" has removed the service. A service that was killed (or crashed) left
// its keys, and with the service gone no start will ever take them back. So
// it purges both registry views (the other one holds keys only where a run
// could not tell its view), then looks again: a key of the service still
// there makes "-u" fail.
BOOL CIConEx::OnRemoved() {
    Scan.DetectPlatform();
    CDriveIconScan otherView(os);
    otherView.SetPlatform(Scan.IsVistaWorkstation(), !Scan.IsWow64());
    DWORD error = 0;
    for (CDriveIconScan* view : {&Scan, &otherView}) {
        view->RestoreAndPurge();
        const DWORD deleteError = view->Registry.TakeDeleteError();
        if (error == 0) error = deleteError;
    }
    std::string found;
    for (CDriveIconScan* view : {&Scan, &otherView}) found += view->OwnKeyLetters(error);
    std::string letters;  // "E: F:"
    for (char letter = FirstDriveLetter; IsDriveIconLetter(letter); ++letter) {
        if (found.find(letter) == std::string::npos) continue;
        letters += std::string(letters.empty() ? "" : " ") + letter + ":";
    }
    TraceMsg(this, "CIConEx::OnRemoved()");
    if (letters.empty()) return TRUE;
    if (error == 0) error = ERROR_GEN_FAILURE;
    const std::string errorText = std::to_string(error);
    const std::string line =
        "The drive icon keys of " + letters + " could not be taken back. Error " + errorText + "\n";
    os.WriteStdout(line.c_str());
    WriteEventLog(EVENTLOG_WARNING_TYPE, MsgKeysLeft, ServiceName, letters.c_str(),
                  errorText.c_str());
    os.SetLastError(error);
    return FALSE;
}
