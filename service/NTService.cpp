#include "service/NTService.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "Version.h"
#include "platform/ScopedHandle.h"
#include "platform/CodePageRules.h"
#include "service/EventIds.h"

CNTService* CNTService::Instance = nullptr;

// Marks the service thread as inside ServiceMain for the object's destructor.
class ServiceThreadScope {
public:
    explicit ServiceThreadScope(CNTService& service) : service_(service) {
        service_.serviceThreadLeft_.Reset();
    }
    ~ServiceThreadScope() { service_.serviceThreadLeft_.Set(); }

private:
    CNTService& service_;
};

namespace {

const char kEventSourceKeyBase[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// How long "-u" waits for the process of a stopped service to end.
const DWORD kProcessEndTimeoutMs = 30000;

// Polls of 200 ms, about 30 s, for a starting service to run and then to
// report STOPPED, both together. Without a bound a hung service would hang
// the package's uninstall, which runs "-u" and waits for it.
const int kStatusPolls = 150;

// Recovery policy: restart a minute after each of the first two failures;
// the count starts again after a day without one.
const DWORD kRestartDelayMs = 60000;
const DWORD kFailureResetSeconds = 24 * 60 * 60;

// {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}: volume device interfaces.
const GUID kVolumeInterfaceGuid = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

bool EqualsIgnoreCase(const char* a, const char* b) {
    for (; *a != '\0' && AsciiLower(*a) == AsciiLower(*b); ++a, ++b) {
    }
    return *a == *b;
}

[[gnu::format(printf, 2, 3)]] void Print(Platform& os, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    line[sizeof line - 1] = '\0';
    os.WriteStdout(line);
}

}  // namespace

void TraceMsg(CNTService* service, const char* format, ...) {
    char line[1024];
    std::snprintf(line, sizeof line, "[%s](%lu): ", service->ServiceName,
                  static_cast<unsigned long>(service->os.GetCurrentThreadId()));
    line[sizeof line - 1] = '\0';
    size_t used = std::strlen(line);

    va_list args;
    va_start(args, format);
    std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    line[sizeof line - 1] = '\0';

    // A line too long for the buffer is cut, but still ends with its newline.
    used = std::strlen(line);
    if (used > sizeof line - 2) used = sizeof line - 2;
    line[used] = '\n';
    line[used + 1] = '\0';
    service->os.OutputDebugStringA(line);
}

CNTService::CNTService(const char* serviceName, Platform& platform)
    : MajorVersion(QX_VERSION_MAJOR),
      MinorVersion(QX_VERSION_MINOR),
      PatchVersion(QX_VERSION_PATCH),
      StatusHandle(nullptr),
      ServiceStatus(),
      IsRunning(FALSE),
      EventSource(nullptr),
      DeviceNotification(nullptr),
      os(platform) {
    std::strncpy(ServiceName, serviceName, sizeof ServiceName - 1);
    ServiceName[sizeof ServiceName - 1] = '\0';
    ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceStatus.dwCurrentState = SERVICE_STOPPED;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    Instance = this;
}

CNTService::~CNTService() {
    // Bounded: a service thread that hangs must not keep the process alive.
    serviceThreadLeft_.WaitFor(5000);
    TraceMsg(this, "CNTService::~CNTService()");
    if (EventSource != nullptr) os.DeregisterEventSource(EventSource);
    if (Instance == this) Instance = nullptr;
}

// ---- Console switches -----------------------------------------------------

BOOL CNTService::ProcessCommandLine(int argc, char* argv[]) {
    if (argc < 2) return FALSE;
    const char* option = argv[1];
    if (EqualsIgnoreCase(option, "-v")) {
        PrintVersion();
    } else if (EqualsIgnoreCase(option, "-i")) {
        InstallFromConsole();
    } else if (EqualsIgnoreCase(option, "-u")) {
        RemoveFromConsole();
    } else {
        return FALSE;
    }
    return TRUE;
}

DWORD CNTService::UnaskedError() {
    const DWORD error = os.GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    Print(os, "Could not ask the service manager. Error %d\n", static_cast<int>(error));
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

void CNTService::PrintVersion() {
    Print(os, "%s Version %s\n", ServiceName, QX_VERSION_SHORT);
    if (IsServiceInstalled()) {
        Print(os, CheckNotMarkedForDeletion() == ERROR_SERVICE_MARKED_FOR_DELETE
                      ? "The service is marked for deletion: Windows deletes it once its "
                        "process has ended and the last handle to it is closed\n"
                      : "The service is currently installed\n");
    } else if (!UnaskedError()) {
        Print(os, "The service is not installed\n");
    }
}

void CNTService::InstallFromConsole() {
    if (IsServiceInstalled()) {
        // A service marked for deletion goes away: a script must not take it
        // for an installed one.
        const DWORD marked = CheckNotMarkedForDeletion();
        if (marked == ERROR_SUCCESS) {
            Print(os, "%s is already installed\n", ServiceName);
            return;
        }
        if (marked == ERROR_SERVICE_MARKED_FOR_DELETE) {
            Print(os, "%s failed to install. Error %d\n", ServiceName, static_cast<int>(marked));
        } else {
            Print(os, "Could not ask the service manager. Error %d\n", static_cast<int>(marked));
        }
        SetSwitchFailed(marked);
    } else if (InstallService()) {
        Print(os, "%s installed\n", ServiceName);
    } else {
        const DWORD error = os.GetLastError();
        Print(os, "%s failed to install. Error %d\n", ServiceName, static_cast<int>(error));
        SetSwitchFailed(error);
    }
}

void CNTService::RemoveFromConsole() {
    BOOL stopped = FALSE, marked = FALSE;
    if (!IsServiceInstalled()) {
        if (const DWORD error = UnaskedError()) {
            SetSwitchFailed(error);
        } else {
            Print(os, "%s is not installed\n", ServiceName);
        }
    } else if (!RemoveService(&stopped, &marked)) {
        const DWORD error = os.GetLastError();
        Print(os, "Could not remove %s. Error %d\n", ServiceName, static_cast<int>(error));
        SetSwitchFailed(error);
    } else if (!stopped) {
        // A service not known to be stopped may still write keys after a purge
        // here; its own stop takes them back. A deployment script must not
        // take this for a clean removal.
        Print(os,
              "%s did not stop. It is marked for deletion and keeps its keys until it stops. "
              "Error %d\n",
              ServiceName, static_cast<int>(ERROR_SERVICE_REQUEST_TIMEOUT));
        WriteEventLog(EVENTLOG_WARNING_TYPE, MsgNotStopped, ServiceName);
        SetSwitchFailed(ERROR_SERVICE_REQUEST_TIMEOUT);
    } else {
        char path[MAX_PATH] = {};
        os.GetModuleFileNameA(nullptr, path, MAX_PATH);
        path[MAX_PATH - 1] = '\0';
        Print(os, "%s removed. (You must delete the file (%s) yourself.)\n", ServiceName, path);
        if (marked) {
            Print(os,
                  "It was marked for deletion already: Windows deletes it when the last handle "
                  "to it closes.\n");
        }
        // Stopped and marked for deletion, it never starts again: nothing else
        // would take its keys back.
        if (!OnRemoved()) SetSwitchFailed(os.GetLastError());
    }
}

// The process exits with the status record's exit code: a deployment script
// must be able to tell a failed switch from a handled one, also when no
// error code was left behind.
void CNTService::SetSwitchFailed(DWORD error) {
    ServiceStatus.dwWin32ExitCode = error != 0 ? error : ERROR_GEN_FAILURE;
}

BOOL CNTService::IsServiceInstalled() {
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return FALSE;
    ScopedServiceHandle service(os,
                                os.OpenServiceA(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
    // FALSE: the caller tells "not installed" from "could not ask" by the last error.
    return service ? TRUE : FALSE;
}

DWORD CNTService::CheckNotMarkedForDeletion() {
    auto failure = [this] {
        const DWORD error = os.GetLastError();
        return error != 0 ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
    };
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return failure();
    ScopedServiceHandle service(os,
                                os.OpenServiceA(manager.get(), ServiceName, SERVICE_CHANGE_CONFIG));
    if (!service) return failure();
    // Changes nothing, and is refused for a service marked for deletion.
    if (os.ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr)) {
        return ERROR_SUCCESS;
    }
    return failure();
}

BOOL CNTService::InstallService() {
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return FALSE;

    char path[MAX_PATH] = {};
    os.GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[MAX_PATH - 1] = '\0';

    // An unquoted path with a blank ("C:\Program Files\...") would let Windows
    // try "C:\Program.exe" first.
    std::string imagePath = path;
    if (imagePath.find(' ') != std::string::npos) imagePath = "\"" + imagePath + "\"";

    ScopedServiceHandle service(
        os, os.CreateServiceA(manager.get(), ServiceName, ServiceName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return FALSE;

    ConfigureService(service.get());

    char keyPath[256];
    std::snprintf(keyPath, sizeof keyPath, "%s%s", kEventSourceKeyBase, ServiceName);
    ScopedRegKey key(os);
    const LONG created = os.RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, key.receive());
    if (created != ERROR_SUCCESS) {
        // The registry reports its error as the result, not as the last error.
        service.reset();
        manager.reset();
        os.SetLastError(static_cast<DWORD>(created));
        return FALSE;
    }
    os.RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                      reinterpret_cast<const BYTE*>(path),
                      static_cast<DWORD>(std::strlen(path) + 1));
    const DWORD typesSupported = 7;
    os.RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                      reinterpret_cast<const BYTE*>(&typesSupported), sizeof typesSupported);
    key.reset();

    WriteEventLog(EVENTLOG_INFORMATION_TYPE, MsgInstalled, ServiceName);
    return TRUE;
}

void CNTService::ConfigureService(SC_HANDLE service) {
    if (ServiceDescription != nullptr) {
        std::string text = ServiceDescription;
        SERVICE_DESCRIPTIONA description = {&text[0]};
        os.ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    }
    // A crashed service comes back by itself and takes back the keys it
    // left; one that keeps crashing is left down until the next day. The
    // last action holds for every later failure, hence the third.
    SC_ACTION restarts[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSA actions = {};
    actions.dwResetPeriod = kFailureResetSeconds;
    actions.cActions = sizeof restarts / sizeof restarts[0];
    actions.lpsaActions = restarts;
    os.ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
}

BOOL CNTService::RemoveService(BOOL* stopped, BOOL* marked) {
    if (stopped != nullptr) *stopped = FALSE;
    if (marked != nullptr) *marked = FALSE;
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return FALSE;
    ScopedServiceHandle service(os,
                                os.OpenServiceA(manager.get(), ServiceName, SERVICE_ALL_ACCESS));
    if (!service) return FALSE;

    // A service process still runs for a moment after it reported STOPPED,
    // and its file cannot be deleted or replaced until it has ended. The
    // handle is taken before the stop, while the id still names that process.
    SERVICE_STATUS_PROCESS running = {};
    DWORD needed = 0;
    ScopedKernelHandle process(os);
    // A process already gone (killed, crashed) writes no more keys, whatever
    // state the service manager still shows.
    bool processEnded = false;
    if (os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<LPBYTE>(&running), sizeof running, &needed) &&
        running.dwProcessId != 0) {
        process.reset(os.OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId));
        processEnded = !process && os.GetLastError() == ERROR_INVALID_PARAMETER;
    }

    const DWORD state = StopForRemoval(service.get());
    // A service left running or starting does not end its process.
    if (process && state != SERVICE_RUNNING && state != SERVICE_START_PENDING) {
        processEnded = os.WaitForSingleObject(process.get(), kProcessEndTimeoutMs) == WAIT_OBJECT_0;
    }
    if (stopped != nullptr) *stopped = state == SERVICE_STOPPED || processEnded ? TRUE : FALSE;

    const BOOL deleted = os.DeleteService(service.get());
    // The event report must not hide why the deletion failed: the console
    // prints this code.
    const DWORD error = deleted ? 0 : os.GetLastError();
    // Marked already (an earlier "-u", or a deletion while a Services console
    // held it open): the same state as a deletion here leaves.
    if (deleted || error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        if (marked != nullptr) *marked = deleted ? FALSE : TRUE;
        WriteEventLog(EVENTLOG_INFORMATION_TYPE, MsgRemoved, ServiceName);
        return TRUE;
    }
    WriteEventLog(EVENTLOG_ERROR_TYPE, MsgNotRemoved, ServiceName);
    os.SetLastError(error);
    return FALSE;
}

DWORD CNTService::StopForRemoval(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    int pollsLeft = kStatusPolls;
    // False once the time is up or the state cannot be read (state 0).
    auto poll = [&] {
        if (pollsLeft-- <= 0) return false;
        os.SleepEx(200, FALSE);
        if (os.QueryServiceStatus(service, &status)) return true;
        status.dwCurrentState = 0;
        return false;
    };
    auto refused = [&] {
        const DWORD error = os.GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            status.dwCurrentState = SERVICE_STOPPED;
        } else if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
                   !os.QueryServiceStatus(service, &status)) {
            status.dwCurrentState = 0;
        }
    };

    bool stopSent = os.ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
    if (!stopSent) {
        refused();
        // Refused while its start-up scan ran: asked again once it runs, also
        // when the scan ended between the refusal and the status query.
        while (status.dwCurrentState == SERVICE_START_PENDING && poll()) {
        }
        if (status.dwCurrentState == SERVICE_RUNNING) {
            stopSent = os.ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
            if (!stopSent) refused();
        }
    }
    // STOP_PENDING without our stop: someone else's stop is under way.
    if (stopSent || status.dwCurrentState == SERVICE_STOP_PENDING) {
        while (status.dwCurrentState != SERVICE_STOPPED && poll()) {
        }
    }
    return status.dwCurrentState;
}

BOOL CNTService::RunDispatcher() {
    SERVICE_TABLE_ENTRYA table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
    TraceMsg(this, "Calling StartServiceCtrlDispatcher()");
    const BOOL result = os.StartServiceCtrlDispatcherA(table);
    TraceMsg(this, "Returned from StartServiceCtrlDispatcher()");
    return result;
}

// ---- Service control ------------------------------------------------------

void WINAPI CNTService::ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    CNTService* service = Instance;
    ServiceThreadScope inServiceMain(*service);
    TraceMsg(service, "Entering CNTService::ServiceMain()");
    {
        MutexLock lock(service->statusLock_);
        service->ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    }
    // Raised before the handler can run: a stop request that comes at any
    // point after its registration must not be undone by setting it later.
    service->IsRunning = TRUE;

    const SERVICE_STATUS_HANDLE statusHandle = service->os.RegisterServiceCtrlHandlerExA(
        service->ServiceName, Handler, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(1)));
    {
        // The handler may already run on the dispatcher thread and report status.
        MutexLock lock(service->statusLock_);
        service->StatusHandle = statusHandle;
    }
    if (statusHandle == nullptr) {
        service->IsRunning = FALSE;
        service->WriteEventLog(EVENTLOG_ERROR_TYPE, MsgCtrlHandlerNotInstalled);
        return;
    }

    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kVolumeInterfaceGuid;
    service->DeviceNotification = service->os.RegisterDeviceNotificationA(
        service->StatusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);

    if (service->Initialize()) {
        {
            MutexLock lock(service->statusLock_);
            service->ServiceStatus.dwWin32ExitCode = 0;
            service->ServiceStatus.dwCheckPoint = 0;
            service->ServiceStatus.dwWaitHint = 0;
        }
        service->Run();
    }
    service->IsRunning = FALSE;

    service->SetStatus(SERVICE_STOPPED);
    TraceMsg(service, "Leaving CNTService::ServiceMain()");
}

BOOL CNTService::Initialize() {
    TraceMsg(this, "Entering CNTService::Initialize()");
    SetStatus(SERVICE_START_PENDING);

    const BOOL initialized = OnInit();
    const DWORD error = os.GetLastError();
    {
        MutexLock lock(statusLock_);
        // A healthy start reports RUNNING with exit code 0, whatever OnInit
        // left behind; a failed one keeps its error for the STOPPED report.
        ServiceStatus.dwWin32ExitCode = initialized ? 0 : error;
        ServiceStatus.dwCheckPoint = 0;
        ServiceStatus.dwWaitHint = 0;
    }

    if (!initialized) {
        WriteEventLog(EVENTLOG_ERROR_TYPE, MsgInitFailed);
        SetStatus(SERVICE_STOPPED);
        return FALSE;
    }
    {
        // Decided under the status lock, so the start and a stop request are
        // reported in one order: a service stopped while it was starting was
        // never started, and Run returns at once.
        MutexLock lock(statusLock_);
        if (!stopReported_) {
            WriteEventLog(EVENTLOG_INFORMATION_TYPE, MsgStarted);
            SetStatusLocked(SERVICE_RUNNING);
        }
    }
    TraceMsg(this, "Leaving CNTService::Initialize()");
    return TRUE;
}

void CNTService::SetStatus(DWORD state) {
    MutexLock lock(statusLock_);
    SetStatusLocked(state);
}

void CNTService::SetStatusLocked(DWORD state) {
    // States only move forward: once a stop has been reported, a late start
    // report would tell the service control manager the service runs again.
    if (stopReported_ && (state == SERVICE_START_PENDING || state == SERVICE_RUNNING)) return;
    TraceMsg(this, "CNTService::SetStatus(%lu, %lu)",
             static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(StatusHandle)),
             static_cast<unsigned long>(state));
    ServiceStatus.dwCurrentState = state;
    if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) stopReported_ = true;
    ReportStatus();
}

void CNTService::ReportStatus() {
    SERVICE_STATUS status = ServiceStatus;
    os.SetServiceStatus(StatusHandle, &status);
}

DWORD WINAPI CNTService::Handler(DWORD controlCode, DWORD eventType, LPVOID eventData,
                                 LPVOID /*context*/) {
    CNTService* service = Instance;
    TraceMsg(service, "CNTService::Handler(%lu)", static_cast<unsigned long>(controlCode));

    switch (controlCode) {
    case SERVICE_CONTROL_STOP:
        service->SetStatus(SERVICE_STOP_PENDING);
        service->OnStop();
        service->IsRunning = FALSE;
        service->WriteEventLog(EVENTLOG_INFORMATION_TYPE, MsgStopped);
        break;
    case SERVICE_CONTROL_PAUSE: service->OnPause(); break;
    case SERVICE_CONTROL_CONTINUE: service->OnContinue(); break;
    case SERVICE_CONTROL_INTERROGATE: service->OnInterrogate(); break;
    case SERVICE_CONTROL_SHUTDOWN: service->OnShutdown(); break;
    case SERVICE_CONTROL_DEVICEEVENT: service->OnDeviceChange(eventType, eventData); break;
    default:
        if (controlCode < 128 || !service->OnUserControl(controlCode)) {
            service->WriteEventLog(EVENTLOG_ERROR_TYPE, MsgBadRequest);
        }
        break;
    }

    MutexLock lock(service->statusLock_);
    TraceMsg(service, "Updating status (%lu, %lu)",
             static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(service->StatusHandle)),
             static_cast<unsigned long>(service->ServiceStatus.dwCurrentState));
    service->ReportStatus();
    return NO_ERROR;
}

// ---- Default hooks ----------------------------------------------------------

void CNTService::Run() {
    TraceMsg(this, "Entering CNTService::Run()");
    while (IsRunning) {
        TraceMsg(this, "Sleeping...");
        os.Sleep(5000);
    }
    TraceMsg(this, "Leaving CNTService::Run()");
}

BOOL CNTService::OnInit() {
    TraceMsg(this, "CNTService::OnInit()");
    return TRUE;
}

void CNTService::OnStop() { TraceMsg(this, "CNTService::OnStop()"); }

void CNTService::OnInterrogate() { TraceMsg(this, "CNTService::OnInterrogate()"); }

void CNTService::OnPause() { TraceMsg(this, "CNTService::OnPause()"); }

void CNTService::OnContinue() { TraceMsg(this, "CNTService::OnContinue()"); }

void CNTService::OnShutdown() { TraceMsg(this, "CNTService::OnShutdown()"); }

BOOL CNTService::OnUserControl(DWORD controlCode) {
    TraceMsg(this, "CNTService::OnUserControl(%8.8lXH)", static_cast<unsigned long>(controlCode));
    return FALSE;
}

BOOL CNTService::OnDeviceChange(DWORD eventType, LPVOID /*eventData*/) {
    TraceMsg(this, "CNTService::OnDeviceChange(%8.8lXH)", static_cast<unsigned long>(eventType));
    return TRUE;
}

BOOL CNTService::OnRemoved() {
    TraceMsg(this, "CNTService::OnRemoved()");
    return TRUE;
}

// ---- Event log ----------------------------------------------------------------

void CNTService::WriteEventLog(WORD eventType, DWORD eventId, const char* insert1,
                               const char* insert2, const char* insert3) {
    LPCSTR inserts[3] = {insert1, insert2, insert3};
    WORD count = 0;
    for (LPCSTR insert : inserts) {
        if (insert != nullptr) ++count;
    }

    MutexLock lock(eventLock_);
    if (EventSource == nullptr) EventSource = os.RegisterEventSourceA(nullptr, ServiceName);
    if (EventSource == nullptr) return;
    os.ReportEventA(EventSource, eventType, 0, eventId, nullptr, count, 0, inserts, nullptr);
}
