#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Version.h"
#include "support/FakeWindows.h"
#include "service/EventIds.h"
#include "service/NTService.h"
#include "support/FakeMachine.h"

namespace {

using support::DispatcherRun;
using support::TraceTexts;

// The first line of "-v", with the build's version.
const std::string kVersionLine = "QarnIEx Version " QX_VERSION_SHORT "\n";
const char kEventKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QarnIEx";

std::string RunSwitch(FakeWindows& os, CNTService& service, std::vector<std::string> args,
                      BOOL* handled = nullptr) {
    args.insert(args.begin(), "QarnIEx.exe");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    const size_t before = os.Stdout().size();
    const BOOL result = service.ProcessCommandLine(static_cast<int>(argv.size()), argv.data());
    if (handled != nullptr) *handled = result;
    return os.Stdout().substr(before);
}

std::vector<DWORD> EventIds(const FakeWindows& os) {
    std::vector<DWORD> ids;
    for (const FakeWindows::Event& event : os.Events()) ids.push_back(event.id);
    return ids;
}

std::vector<DWORD> ReportedStates(const FakeWindows& os) {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : os.StatusReports()) states.push_back(status.dwCurrentState);
    return states;
}

// Run starts after RUNNING is reported; waiting for its first trace line keeps
// later hooks and traces from mixing with it.
bool WaitForRun(const FakeWindows& os) {
    for (int i = 0; i < 5000; ++i) {
        std::vector<std::string> traces = TraceTexts(os);
        if (std::find(traces.begin(), traces.end(), "Entering CNTService::Run()") != traces.end()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

FakeWindows::ServiceRecord InstalledService() {
    FakeWindows::ServiceRecord record;
    record.name = "QarnIEx";
    record.displayName = "QarnIEx";
    record.serviceType = SERVICE_WIN32_OWN_PROCESS;
    record.startType = SERVICE_AUTO_START;
    record.errorControl = SERVICE_ERROR_NORMAL;
    record.imagePath = "C:\\Tools\\QarnIEx.exe";
    return record;
}

// Records which hooks the framework called, and can fail its start.
class RecordingService : public CNTService {
public:
    explicit RecordingService(Platform& os) : CNTService("QarnIEx", os) {}

    BOOL OnInit() override {
        Record("OnInit");
        if (initError != 0) os.SetLastError(initError);
        return initResult;
    }
    void Run() override {
        Record("Run");
        CNTService::Run();
    }
    void OnStop() override { Record("OnStop"); }
    void OnPause() override { Record("OnPause"); }
    void OnContinue() override { Record("OnContinue"); }
    void OnInterrogate() override { Record("OnInterrogate"); }
    void OnShutdown() override { Record("OnShutdown"); }
    BOOL OnRemoved() override {
        Record("OnRemoved");
        return TRUE;
    }
    BOOL OnUserControl(DWORD code) override {
        Record("OnUserControl " + std::to_string(code));
        return code == acceptedUserCode;
    }
    BOOL OnDeviceChange(DWORD eventType, LPVOID eventData) override {
        Record("OnDeviceChange " + std::to_string(eventType));
        lastEventData = eventData;
        return TRUE;
    }

    // Hooks run on the service thread and the dispatcher thread.
    void Record(const std::string& hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hooks_.push_back(hook);
    }
    std::vector<std::string> Hooks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hooks_;
    }
    void ClearHooks() {
        std::lock_guard<std::mutex> lock(mutex_);
        hooks_.clear();
    }
    BOOL initResult = TRUE;
    DWORD initError = 0;
    DWORD acceptedUserCode = 0xFFFFFFFF;
    std::atomic<LPVOID> lastEventData{nullptr};

private:
    std::mutex mutex_;
    std::vector<std::string> hooks_;
};

}  // namespace

TEST(ConsoleSwitches, VersionAndInstalledState) {
    FakeWindows os;
    CNTService service("QarnIEx", os);
    BOOL handled = FALSE;

    EXPECT_EQ(RunSwitch(os, service, {"-v"}, &handled),
              kVersionLine + "The service is not installed\n");
    EXPECT_TRUE(handled);

    os.AddService(InstalledService());
    EXPECT_EQ(RunSwitch(os, service, {"-V", "-u", "whatever"}, &handled),
              kVersionLine + "The service is currently installed\n");
    EXPECT_TRUE(handled);
    EXPECT_TRUE(os.FindService("QarnIEx").has_value()) << "arguments after the first are ignored";
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);

    // Anything else hands the process to the dispatcher, without output.
    EXPECT_EQ(RunSwitch(os, service, {"-x"}, &handled), "");
    EXPECT_FALSE(handled);
    EXPECT_EQ(RunSwitch(os, service, {}, &handled), "");
    EXPECT_FALSE(handled);
    EXPECT_EQ(RunSwitch(os, service, {"-vv"}, &handled), "");
    EXPECT_FALSE(handled);
}

// Not elevated: no answer is no "not installed", and "-u" fails with the error.
TEST(ConsoleSwitches, VersionWhenManagerCannotBeOpened) {
    FakeWindows os;
    os.AddService(InstalledService());
    os.SetScmOpenFails(ERROR_ACCESS_DENIED);
    CNTService service("QarnIEx", os);
    EXPECT_EQ(RunSwitch(os, service, {"-v"}),
              kVersionLine + "Could not ask the service manager. Error 5\n");
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 0u);
    EXPECT_EQ(RunSwitch(os, service, {"-u"}), "Could not ask the service manager. Error 5\n");
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 5u);
    EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx failed to install. Error 5\n");
}

TEST(Install, RegistersServiceAndEventSource) {
    FakeWindows os;
    os.SetModulePath("C:\\Program Files\\Qarn\\QarnIEx.exe");
    CNTService service("QarnIEx", os);

    EXPECT_EQ(RunSwitch(os, service, {"-I"}), "QarnIEx installed\n");

    std::optional<FakeWindows::ServiceRecord> record = os.FindService("QarnIEx");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->displayName, "QarnIEx");
    EXPECT_EQ(record->serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(record->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(record->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(record->account, "") << "runs as LocalSystem";
    // A path with a blank is quoted, or Windows would try C:\Program.exe first.
    EXPECT_EQ(record->imagePath, "\"C:\\Program Files\\Qarn\\QarnIEx.exe\"");

    std::optional<FakeWindows::RegValue> file = os.GetValue(kEventKey, "EventMessageFile");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->type, static_cast<DWORD>(REG_EXPAND_SZ));
    const std::string plainPath = "C:\\Program Files\\Qarn\\QarnIEx.exe";
    EXPECT_EQ(file->data.size(), plainPath.size() + 1) << "terminating NUL included";
    EXPECT_EQ(file->AsString(), plainPath);
    std::optional<FakeWindows::RegValue> types = os.GetValue(kEventKey, "TypesSupported");
    ASSERT_TRUE(types.has_value());
    EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types->data, (std::vector<BYTE>{7, 0, 0, 0}));

    std::vector<FakeWindows::Event> events = os.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, static_cast<DWORD>(MsgInstalled));
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[0].source, "QarnIEx");
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"QarnIEx"});

    EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx is already installed\n");
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
    EXPECT_EQ(os.OpenKeyCount(), 0u);
}

TEST(Install, PathWithoutBlankIsNotQuoted) {
    FakeWindows os;
    os.SetModulePath("C:\\Tools\\QarnIEx.exe");
    CNTService service("QarnIEx", os);
    ASSERT_TRUE(service.InstallService());
    EXPECT_EQ(os.FindService("QarnIEx")->imagePath, "C:\\Tools\\QarnIEx.exe");
}

// A crashed service is restarted after a minute, twice; the count starts
// again after a day. Neither the policy nor the description is worth a
// failed installation.
TEST(Install, SetsDescriptionAndRecoveryPolicyUnlessRefused) {
    for (const DWORD refusal : {DWORD{0}, DWORD{ERROR_ACCESS_DENIED}}) {
        SCOPED_TRACE(refusal);
        FakeWindows os;
        os.SetChangeServiceConfigFails(refusal);
        CNTService service("QarnIEx", os);
        service.ServiceDescription = "Icons for readers.";

        EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx installed\n");
        std::optional<FakeWindows::ServiceRecord> record = os.FindService("QarnIEx");
        ASSERT_TRUE(record.has_value());
        using Actions = std::vector<std::pair<DWORD, DWORD>>;
        if (refusal == 0) {
            EXPECT_EQ(record->description, "Icons for readers.");
            EXPECT_EQ(record->failureResetPeriod, 86400u);
            EXPECT_EQ(record->failureActions, (Actions{{SC_ACTION_RESTART, 60000},
                                                       {SC_ACTION_RESTART, 60000},
                                                       {SC_ACTION_NONE, 0}}));
        } else {
            EXPECT_EQ(record->description, "");
            EXPECT_TRUE(record->failureActions.empty());
        }
        EXPECT_TRUE(os.KeyExists(kEventKey));
        EXPECT_EQ(EventIds(os), std::vector<DWORD>{MsgInstalled});
        EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
    }
}

TEST(Install, FailuresPrintTheErrorOfTheFailedStep) {
    FakeWindows os;
    CNTService service("QarnIEx", os);

    os.SetCreateServiceFails(ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx failed to install. Error 5\n");
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 5u);  // the process's exit code
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());
    EXPECT_TRUE(os.Events().empty());

    // The service gets created but its event source key cannot be: reported as
    // a failure with the registry's error, and the service stays installed.
    os.SetCreateServiceFails(0);
    os.DenyAccess("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
    EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx failed to install. Error 5\n");
    EXPECT_TRUE(os.FindService("QarnIEx").has_value());
    EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx is already installed\n");
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
    EXPECT_EQ(os.OpenKeyCount(), 0u);
    // Marked for deletion by a "-u" whose service did not stop: it goes once
    // its process ends, so it is no installed service.
    FakeWindows::ServiceRecord marked = *os.FindService("QarnIEx");
    marked.markedForDeletion = true;
    os.UpdateService(marked);
    EXPECT_EQ(RunSwitch(os, service, {"-i"}), "QarnIEx failed to install. Error 1072\n");
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 1072u);
    EXPECT_EQ(RunSwitch(os, service, {"-v"}),
              kVersionLine +
                  "The service is marked for deletion: Windows deletes it once its "
                  "process has ended and the last handle to it is closed\n");
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
}

TEST(Remove, StopsARunningServiceAndWaitsForStopped) {
    FakeWindows os;
    os.SetModulePath("C:\\Tools\\QarnIEx.exe");
    FakeWindows::ServiceRecord record = InstalledService();
    record.state = SERVICE_RUNNING;
    record.queriesUntilStopped = 3;
    os.AddService(record);
    CNTService service("QarnIEx", os);

    EXPECT_EQ(RunSwitch(os, service, {"-U"}),
              "QarnIEx removed. (You must delete the file (C:\\Tools\\QarnIEx.exe) yourself.)\n");
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());
    EXPECT_EQ(os.CountCalls("QueryServiceStatus"), 3u) << "waits until STOPPED is reported";
    EXPECT_GE(os.CountCalls("SleepEx"), 3u);
    EXPECT_EQ(EventIds(os), std::vector<DWORD>{MsgRemoved});
    EXPECT_EQ(os.Events()[0].strings, std::vector<std::string>{"QarnIEx"});
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
    // The event source key is left for the log's old entries.
    os.SetString(kEventKey, "EventMessageFile", "x");
    EXPECT_TRUE(os.KeyExists(kEventKey));

    EXPECT_EQ(RunSwitch(os, service, {"-u"}), "QarnIEx is not installed\n");
}

// The file of a stopped service can only be deleted (or replaced by an
// installer) once its process has ended, which comes a moment after STOPPED.
TEST(Remove, WaitsForTheServiceProcessToEnd) {
    FakeWindows os;
    CNTService service("QarnIEx", os);
    auto waits = [&os] {
        std::vector<std::string> timeouts;
        for (const FakeWindows::Call& call : os.Calls())
            if (call.function == "WaitForSingleObject") timeouts.push_back(call.detail);
        return timeouts;
    };

    FakeWindows::ServiceRecord record = InstalledService();
    record.state = SERVICE_RUNNING;
    record.queriesUntilStopped = 2;
    record.processId = 4242;
    os.AddService(record);
    EXPECT_TRUE(service.RemoveService());
    EXPECT_EQ(waits(), std::vector<std::string>{"30000"});
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());
    // The process was opened before the stop, while its id was still reported.
    std::vector<std::string> order;
    for (const FakeWindows::Call& call : os.Calls()) {
        if (call.function == "OpenProcess" || call.function == "ControlService" ||
            call.function == "WaitForSingleObject" || call.function == "DeleteService")
            order.push_back(call.function + " " + call.detail);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"OpenProcess 4242", "ControlService 1",
                                               "WaitForSingleObject 30000", "DeleteService "}));
    EXPECT_EQ(os.OpenProcessHandleCount(), 0u);

    // A process that hangs after STOPPED delays the removal, but does not keep it.
    os.ClearCalls();
    record.processOutlivesStop = true;
    os.AddService(record);
    EXPECT_TRUE(service.RemoveService());
    EXPECT_EQ(waits(), std::vector<std::string>{"30000"});
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());

    // A stop that is refused (a service that hangs, or was killed) is not waited for.
    os.ClearCalls();
    record = InstalledService();
    record.state = SERVICE_RUNNING;
    record.refuseStop = true;
    record.processId = 4242;
    os.AddService(record);
    EXPECT_TRUE(service.RemoveService());
    EXPECT_TRUE(waits().empty()) << "no stop, so nothing to wait for";
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());
    EXPECT_EQ(os.OpenProcessHandleCount(), 0u);

    // A stopped service has no process.
    os.ClearCalls();
    os.AddService(InstalledService());
    EXPECT_TRUE(service.RemoveService());
    EXPECT_EQ(os.CountCalls("OpenProcess"), 0u);
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
}

// "-u" hands over to the service after a removal only.
TEST(Remove, RemovedHookRunsAfterASuccessfulRemovalOnly) {
    FakeWindows os;
    RecordingService service(os);
    EXPECT_EQ(RunSwitch(os, service, {"-u"}), "QarnIEx is not installed\n");
    EXPECT_TRUE(service.Hooks().empty());

    FakeWindows::ServiceRecord record = InstalledService();
    record.deleteFails = true;
    os.AddService(record);
    EXPECT_EQ(RunSwitch(os, service, {"-u"}), "Could not remove QarnIEx. Error 5\n");
    EXPECT_TRUE(service.Hooks().empty());

    record.deleteFails = false;
    os.AddService(record);
    os.SetModulePath("C:\\Tools\\QarnIEx.exe");
    EXPECT_EQ(RunSwitch(os, service, {"-u"}),
              "QarnIEx removed. (You must delete the file (C:\\Tools\\QarnIEx.exe) yourself.)\n");
    EXPECT_EQ(service.Hooks(), std::vector<std::string>{"OnRemoved"});
}

TEST(Remove, RefusedStopOrFailedQueryStillDeletes) {
    FakeWindows os;
    CNTService service("QarnIEx", os);

    FakeWindows::ServiceRecord record = InstalledService();
    record.refuseStop = true;
    os.AddService(record);
    EXPECT_TRUE(service.RemoveService());
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());
    EXPECT_EQ(os.CountCalls("QueryServiceStatus"), 0u);

    record = InstalledService();
    record.state = SERVICE_RUNNING;
    record.queriesUntilStopped = 100;
    record.queryFails = true;
    os.AddService(record);
    EXPECT_TRUE(service.RemoveService());
    EXPECT_EQ(os.CountCalls("QueryServiceStatus"), 1u) << "a failed query ends the wait";
    EXPECT_FALSE(os.FindService("QarnIEx").has_value());
}

// "-u" runs inside the package's uninstall, which waits for it: whatever the
// service does, "-u" ends, and takes the keys back only from a service seen
// stopped (one still starting would write its keys after that purge); giving
// up on the stop fails it. A service marked for deletion before counts as removed.
TEST(Remove, NeverHangsAndPurgesOnlyAfterAStop) {
    struct Case {
        const char* what;
        DWORD state;
        int queriesUntilStarted;
        int queriesUntilStopped;
        bool stopsBeforeTheControl;
        size_t stopRequests;
        size_t statusQueries;
        bool processWaited;
        bool purged;
        bool refuseStop = false;
        bool marked = false;  // by an earlier "-u"
    };
    const Case cases[] = {
        {"stuck in STOP_PENDING", SERVICE_RUNNING, 0, 1000, false, 1, 150, true, false},
        {"stopped by someone else", SERVICE_STOP_PENDING, 0, 2, false, 1, 2, true, true},
        {"stop refused while starting", SERVICE_START_PENDING, 3, 2, false, 2, 3 + 2, true, true},
        {"stuck in START_PENDING", SERVICE_START_PENDING, 1000, 0, false, 1, 1 + 150, false, false},
        {"stops just before the stop request", SERVICE_RUNNING, 0, 0, true, 1, 0, true, true},
        {"refused, then RUNNING at the next query", SERVICE_START_PENDING, 1, 2, false, 2, 1 + 2,
         true, true},
        {"the retried stop refused too", SERVICE_START_PENDING, 3, 0, false, 2, 3 + 1, false, false,
         true},
        {"marked, killed", SERVICE_STOPPED, 0, 0, false, 1, 0, false, true, false, true},
        {"marked, stuck in STOP_PENDING", SERVICE_RUNNING, 0, 1000, false, 1, 150, true, false,
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeWindows os;
        os.SetModulePath("C:\\Tools\\QarnIEx.exe");
        RecordingService service(os);
        FakeWindows::ServiceRecord record = InstalledService();
        record.state = c.state;
        record.queriesUntilStarted = c.queriesUntilStarted;
        record.queriesUntilStopped = c.queriesUntilStopped;
        record.stopsBeforeTheControl = c.stopsBeforeTheControl;
        record.refuseStop = c.refuseStop;
        record.markedForDeletion = c.marked;
        record.processId = 4242;
        os.AddService(record);

        const std::string removed =
            "QarnIEx removed. (You must delete the file (C:\\Tools\\QarnIEx.exe) yourself.)\n";
        EXPECT_EQ(RunSwitch(os, service, {"-u"}),
                  !c.purged  ? "QarnIEx did not stop. It is marked for deletion and keeps its keys "
                               "until it stops. Error 1053\n"
                  : c.marked ? removed +
                                   "It was marked for deletion already: Windows deletes it "
                                   "when the last handle to it closes.\n"
                             : removed);
        EXPECT_EQ(os.FindService("QarnIEx").has_value(), c.marked);  // kept: handles open
        EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, c.purged ? 0u : 1053u);
        const std::vector<DWORD> events = c.purged ? std::vector<DWORD>{MsgRemoved}
                                                   : std::vector<DWORD>{MsgRemoved, MsgNotStopped};
        EXPECT_EQ(EventIds(os), events);
        EXPECT_EQ(os.CountCalls("ControlService"), c.stopRequests);
        EXPECT_EQ(os.CountCalls("QueryServiceStatus"), c.statusQueries);
        EXPECT_EQ(os.CountCalls("WaitForSingleObject"), c.processWaited ? 1u : 0u);
        EXPECT_EQ(service.Hooks(),
                  c.purged ? std::vector<std::string>{"OnRemoved"} : std::vector<std::string>{});
        EXPECT_EQ(os.OpenProcessHandleCount(), 0u);
        EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
    }
}

TEST(Remove, FailedDeletionPrintsItsErrorAndLogsIt) {
    FakeWindows os;
    FakeWindows::ServiceRecord record = InstalledService();
    record.deleteFails = true;
    os.AddService(record);
    CNTService service("QarnIEx", os);

    EXPECT_EQ(RunSwitch(os, service, {"-u"}), "Could not remove QarnIEx. Error 5\n");
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 5u);
    EXPECT_EQ(EventIds(os), std::vector<DWORD>{MsgNotRemoved});
    EXPECT_EQ(os.Events()[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(os.OpenServiceHandleCount(), 0u);
}

TEST(Dispatcher, FromAConsoleItFailsAtOnceAndExitsWithZero) {
    FakeWindows os;
    CNTService service("QarnIEx", os);
    EXPECT_FALSE(service.RunDispatcher());
    EXPECT_EQ(os.GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(TraceTexts(os),
              (std::vector<std::string>{"Calling StartServiceCtrlDispatcher()",
                                        "Returned from StartServiceCtrlDispatcher()"}));
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 0u);
    EXPECT_TRUE(os.StatusReports().empty());
}

TEST(ServiceRun, NormalLifeReportsStatesEventsAndTraces) {
    FakeWindows os;
    RecordingService service(os);
    {
        DispatcherRun running(os, service);
        ASSERT_TRUE(os.WaitForReportedState(SERVICE_RUNNING));
        ASSERT_TRUE(WaitForRun(os));
        EXPECT_EQ(os.SendControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
        EXPECT_TRUE(running.Join());
    }

    EXPECT_EQ(ReportedStates(os),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                  SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    for (const SERVICE_STATUS& status : os.StatusReports()) {
        EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
        EXPECT_EQ(status.dwWin32ExitCode, 0u);
        EXPECT_EQ(status.dwWaitHint, 0u);
    }
    EXPECT_EQ(service.Hooks(), (std::vector<std::string>{"OnInit", "Run", "OnStop"}));
    EXPECT_EQ(EventIds(os), (std::vector<DWORD>{MsgStarted, MsgStopped}));
    for (const FakeWindows::Event& event : os.Events()) EXPECT_TRUE(event.strings.empty());
    EXPECT_EQ(os.EventSourceRegistrations(), 1) << "the source is registered once per process";

    std::vector<FakeWindows::DeviceRegistration> registrations = os.DeviceRegistrations();
    ASSERT_EQ(registrations.size(), 1u);
    const DEV_BROADCAST_DEVICEINTERFACE_A& filter = registrations[0].filter;
    EXPECT_EQ(registrations[0].flags, static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE));
    EXPECT_NE(registrations[0].recipient, nullptr);
    EXPECT_EQ(filter.dbcc_size, 32u);
    EXPECT_EQ(filter.dbcc_devicetype, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
    EXPECT_EQ(filter.dbcc_classguid.Data1, 0x53F5630Du);
    EXPECT_EQ(filter.dbcc_classguid.Data2, 0xB6BF);
    EXPECT_EQ(filter.dbcc_classguid.Data3, 0x11D0);
    EXPECT_EQ(filter.dbcc_classguid.Data4[0], 0x94);
    EXPECT_EQ(filter.dbcc_classguid.Data4[7], 0x8B);
    EXPECT_EQ(filter.dbcc_name[0], '\0');

    std::vector<std::string> traces = TraceTexts(os);
    const std::string handle = std::to_string(
        static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(registrations[0].recipient)));
    const std::vector<std::string> expected = {
        "Calling StartServiceCtrlDispatcher()",
        "Entering CNTService::ServiceMain()",
        "Entering CNTService::Initialize()",
        "CNTService::SetStatus(" + handle + ", 2)",
        "CNTService::SetStatus(" + handle + ", 4)",
        "Leaving CNTService::Initialize()",
        "Entering CNTService::Run()",
    };
    ASSERT_GE(traces.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(traces.begin(), traces.begin() + expected.size()), expected);
    const std::vector<std::string> tail = {
        "CNTService::Handler(1)",
        "CNTService::SetStatus(" + handle + ", 3)",
        "Updating status (" + handle + ", 3)",
    };
    // Run traces "Sleeping..." on the service thread while the handler works.
    std::vector<std::string> handlerTraces;
    std::copy_if(std::find(traces.begin(), traces.end(), "CNTService::Handler(1)"), traces.end(),
                 std::back_inserter(handlerTraces),
                 [](const std::string& text) { return text != "Sleeping..."; });
    ASSERT_GE(handlerTraces.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(handlerTraces.begin(), handlerTraces.begin() + 3), tail);
    EXPECT_EQ(traces[traces.size() - 2], "Leaving CNTService::ServiceMain()");
    EXPECT_EQ(traces.back(), "Returned from StartServiceCtrlDispatcher()");
}

TEST(ServiceRun, FailingInitStopsWithItsErrorAsExitCode) {
    FakeWindows os;
    RecordingService service(os);
    service.initResult = FALSE;
    service.initError = 31;
    DispatcherRun running(os, service);
    EXPECT_TRUE(running.Join());

    EXPECT_EQ(ReportedStates(os),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED, SERVICE_STOPPED}));
    EXPECT_EQ(os.StatusReports()[1].dwWin32ExitCode, 31u);
    EXPECT_EQ(os.StatusReports()[2].dwWin32ExitCode, 31u);
    EXPECT_EQ(service.ServiceStatus.dwWin32ExitCode, 31u) << "main's exit code";
    EXPECT_EQ(service.Hooks(), std::vector<std::string>{"OnInit"});
    EXPECT_EQ(EventIds(os), std::vector<DWORD>{MsgInitFailed});
    EXPECT_EQ(os.Events()[0].type, EVENTLOG_ERROR_TYPE);
}

TEST(ServiceRun, HealthyStartReportsRunningWithExitCodeZero) {
    FakeWindows os;
    RecordingService service(os);
    service.initError = ERROR_FILE_NOT_FOUND;  // left behind by a call OnInit tolerated
    DispatcherRun running(os, service);
    ASSERT_TRUE(os.WaitForReportedState(SERVICE_RUNNING));
    os.SendControl(SERVICE_CONTROL_STOP);
    running.Join();

    for (const SERVICE_STATUS& status : os.StatusReports()) {
        EXPECT_EQ(status.dwWin32ExitCode, 0u) << "state " << status.dwCurrentState;
    }
}

TEST(ServiceRun, HandlerRegistrationFailureLogsAndReportsNothing) {
    FakeWindows os;
    os.SetRegisterHandlerFails(true);
    RecordingService service(os);
    DispatcherRun running(os, service);
    running.Join();

    EXPECT_TRUE(os.StatusReports().empty());
    EXPECT_TRUE(service.Hooks().empty());
    EXPECT_EQ(EventIds(os), std::vector<DWORD>{MsgCtrlHandlerNotInstalled});
    std::vector<std::string> traces = TraceTexts(os);
    EXPECT_EQ(std::count(traces.begin(), traces.end(), "Leaving CNTService::ServiceMain()"), 0);
}

// A stop that arrives right after RUNNING was reported, before Run starts, must
// still end the service.
TEST(ServiceRun, StopRightAfterRunningReportIsNotLost) {
    class StopAfterInitialize : public FakeWindows {
    public:
        void OutputDebugStringA(LPCSTR text) override {
            FakeWindows::OutputDebugStringA(text);
            if (std::string(text).find("Leaving CNTService::Initialize()") != std::string::npos) {
                SendControl(SERVICE_CONTROL_STOP);
            }
        }
    } os;
    RecordingService service(os);
    DispatcherRun running(os, service);
    EXPECT_TRUE(running.Join());
    EXPECT_EQ(ReportedStates(os).back(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(Handler, DispatchTable) {
    FakeWindows os;
    RecordingService service(os);
    service.acceptedUserCode = 200;
    DispatcherRun running(os, service);
    ASSERT_TRUE(os.WaitForReportedState(SERVICE_RUNNING));
    ASSERT_TRUE(WaitForRun(os));
    service.ClearHooks();

    struct Case {
        DWORD code;
        std::string hook;  // "" for none
        bool badRequest;
    };
    const std::vector<Case> cases = {
        {SERVICE_CONTROL_PAUSE, "OnPause", false},
        {SERVICE_CONTROL_CONTINUE, "OnContinue", false},
        {SERVICE_CONTROL_INTERROGATE, "OnInterrogate", false},
        {SERVICE_CONTROL_SHUTDOWN, "OnShutdown", false},
        {0, "", true},
        {6, "", true},
        {7, "", true},
        {8, "", true},
        {9, "", true},
        {10, "", true},
        {12, "", true},
        {127, "", true},
        {128, "OnUserControl 128", true},
        {200, "OnUserControl 200", false},
        {255, "OnUserControl 255", true},
    };
    for (const Case& c : cases) {
        service.ClearHooks();
        const size_t eventsBefore = os.Events().size();
        const size_t reportsBefore = os.StatusReports().size();
        EXPECT_EQ(os.SendControl(c.code), static_cast<DWORD>(NO_ERROR)) << c.code;
        EXPECT_EQ(service.Hooks(),
                  c.hook.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.hook})
            << c.code;
        std::vector<FakeWindows::Event> events = os.Events();
        ASSERT_EQ(events.size(), eventsBefore + (c.badRequest ? 1 : 0)) << c.code;
        if (c.badRequest) {
            EXPECT_EQ(events.back().id, static_cast<DWORD>(MsgBadRequest));
            EXPECT_EQ(events.back().type, EVENTLOG_ERROR_TYPE);
            EXPECT_TRUE(events.back().strings.empty());
        }
        // Every request is answered with the unchanged status.
        std::vector<SERVICE_STATUS> reports = os.StatusReports();
        ASSERT_EQ(reports.size(), reportsBefore + 1) << c.code;
        EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    }

    // Device events reach the hook with their type and data unchanged.
    service.ClearHooks();
    int broadcast = 0;
    os.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &broadcast);
    EXPECT_EQ(service.Hooks(), std::vector<std::string>{"OnDeviceChange 32768"});
    EXPECT_EQ(service.lastEventData, &broadcast);

    os.SendControl(SERVICE_CONTROL_STOP);
    running.Join();
}

TEST(DefaultHooks, TraceTheirNamesAndResults) {
    FakeWindows os;
    CNTService service("QarnIEx", os);
    EXPECT_TRUE(service.OnInit());
    EXPECT_FALSE(service.OnUserControl(0x80));
    EXPECT_TRUE(service.OnDeviceChange(DBT_DEVICEARRIVAL, nullptr));
    service.OnStop();
    service.OnInterrogate();
    service.OnPause();
    service.OnContinue();
    service.OnShutdown();
    service.OnRemoved();
    service.Run();  // IsRunning is clear: returns at once
    EXPECT_EQ(TraceTexts(os),
              (std::vector<std::string>{
                  "CNTService::OnInit()", "CNTService::OnUserControl(00000080H)",
                  "CNTService::OnDeviceChange(00008000H)", "CNTService::OnStop()",
                  "CNTService::OnInterrogate()", "CNTService::OnPause()",
                  "CNTService::OnContinue()", "CNTService::OnShutdown()", "CNTService::OnRemoved()",
                  "Entering CNTService::Run()", "Leaving CNTService::Run()"}));
}

TEST(Trace, LineFormatAndTruncation) {
    FakeWindows os;
    CNTService service("QarnIEx", os);
    const std::string tid = std::to_string(static_cast<unsigned long>(os.GetCurrentThreadId()));

    TraceMsg(&service, "value %lu of %s", 42ul, "a path with %s and %n");
    ASSERT_EQ(os.DebugOutput().size(), 1u);
    EXPECT_EQ(os.DebugOutput()[0], "[QarnIEx](" + tid + "): value 42 of a path with %s and %n\n");

    const std::string longText(3000, 'x');
    TraceMsg(&service, "%s", longText.c_str());
    const std::string line = os.DebugOutput()[1];
    EXPECT_EQ(line.size(), 1023u) << "cut to the 1024-byte buffer with its NUL";
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.rfind("[QarnIEx](" + tid + "): xxx", 0), 0u);
}

TEST(ServiceObject, NameIsCutTo63CharactersAndSourceReleased) {
    FakeWindows os;
    {
        const std::string longName(64, 'N');
        CNTService service(longName.c_str(), os);
        EXPECT_EQ(std::string(service.ServiceName), std::string(63, 'N'));
        EXPECT_EQ(CNTService::Instance, &service);
        EXPECT_EQ(service.MajorVersion, QX_VERSION_MAJOR);
        EXPECT_EQ(service.MinorVersion, QX_VERSION_MINOR);
        EXPECT_EQ(service.PatchVersion, QX_VERSION_PATCH);
        EXPECT_EQ(service.ServiceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_FALSE(service.IsRunning);

        service.WriteEventLog(EVENTLOG_ERROR_TYPE, MsgBadRequest);
        service.WriteEventLog(EVENTLOG_INFORMATION_TYPE, MsgInstalled, "one", "two");
        EXPECT_EQ(os.EventSourceRegistrations(), 1);
        EXPECT_EQ(os.OpenEventSourceCount(), 1);
        EXPECT_EQ(os.Events()[1].strings, (std::vector<std::string>{"one", "two"}));
        EXPECT_EQ(os.Events()[1].source, std::string(63, 'N'));
        EXPECT_EQ(os.Events()[1].category, 0);
        EXPECT_FALSE(os.Events()[1].hasSid);
        EXPECT_EQ(os.Events()[1].dataSize, 0u);
    }
    EXPECT_EQ(os.OpenEventSourceCount(), 0) << "the destructor deregisters the source";
    EXPECT_EQ(TraceTexts(os).back(), "CNTService::~CNTService()");
}

TEST(ServiceObject, EventLogFailuresAreSilentAndRetried) {
    FakeWindows os;
    os.SetRegisterEventSourceFails(true);
    CNTService service("QarnIEx", os);
    service.WriteEventLog(EVENTLOG_ERROR_TYPE, MsgBadRequest);
    EXPECT_TRUE(os.Events().empty());

    os.SetRegisterEventSourceFails(false);
    service.WriteEventLog(EVENTLOG_INFORMATION_TYPE, MsgStopped);
    EXPECT_EQ(EventIds(os), std::vector<DWORD>{MsgStopped}) << "registration is tried again";
}

// Windows returns from the dispatcher as soon as STOPPED is reported, while the
// service thread still writes its last trace line: main must not destroy the
// object under it.
TEST(ServiceObject, DestructorWaitsForServiceMainToLeave) {
    class SlowLastLine : public FakeWindows {
    public:
        void OutputDebugStringA(LPCSTR text) override {
            if (std::string(text).find("Leaving CNTService::ServiceMain()") != std::string::npos) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            FakeWindows::OutputDebugStringA(text);
        }
    } os;
    std::thread serviceThread;
    {
        RecordingService service(os);
        service.initResult = FALSE;  // stops at once
        serviceThread = std::thread([] { CNTService::ServiceMain(0, nullptr); });
        ASSERT_TRUE(os.WaitForReportedState(SERVICE_STOPPED));
    }
    serviceThread.join();
    std::vector<std::string> traces = TraceTexts(os);
    ASSERT_GE(traces.size(), 2u);
    EXPECT_EQ(traces[traces.size() - 2], "Leaving CNTService::ServiceMain()");
    EXPECT_EQ(traces.back(), "CNTService::~CNTService()");
}
