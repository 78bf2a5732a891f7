// Every Windows call of a service's whole life made to fail, one at a time,
// and the process crashed at each (that call and every later one has no
// effect); then a clean start and stop on the registry that run left. Nothing
// the service writes may outlive that, in either view; no key of another
// program may change at any moment; "-u" may not call a removal clean that
// leaves keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "DriveFixture.h"
#include "platform/ForwardingPlatform.h"
#include "support/DeviceEventScenarios.h"

using namespace fixture;
namespace {

// How each call fails: a registry function returns the error, every other
// one its failure value (in the overrides below) with the error as the last
// error. Closing a handle fails only for a bad handle: closes never fail alone.
const std::map<std::string, DWORD> kFailures = {
    {"RegCreateKeyExA", ERROR_ACCESS_DENIED},
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
    {"RegCreateKeyA", ERROR_ACCESS_DENIED},
    {"RegEnumKeyExA", ERROR_KEY_DELETED},
    {"RegQueryValueExA", ERROR_KEY_DELETED},
    {"RegQueryInfoKeyA", ERROR_KEY_DELETED},
    {"RegSetValueExA", ERROR_KEY_DELETED},
    {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
    {"CallRegDeleteKeyExA", ERROR_ACCESS_DENIED},
    {"GetModuleHandleA", ERROR_MOD_NOT_FOUND},
    {"GetProcAddress", ERROR_PROC_NOT_FOUND},
    {"CallIsWow64Process", ERROR_INVALID_HANDLE},
    {"OpenSCManagerA", ERROR_ACCESS_DENIED},
    {"OpenServiceA", ERROR_ACCESS_DENIED},
    {"ControlService", ERROR_SERVICE_REQUEST_TIMEOUT},
    {"QueryServiceStatus", ERROR_ACCESS_DENIED},
    {"QueryServiceStatusEx", ERROR_ACCESS_DENIED},
    {"ChangeServiceConfigA", ERROR_ACCESS_DENIED},
    {"DeleteService", ERROR_ACCESS_DENIED},
    {"RegisterServiceCtrlHandlerExA", ERROR_INVALID_NAME},
    {"SetServiceStatus", ERROR_INVALID_DATA},
    {"RegisterDeviceNotificationA", ERROR_INVALID_DATA},
    {"RegisterEventSourceA", ERROR_ACCESS_DENIED},
    {"ReportEventA", ERROR_INVALID_PARAMETER},
    {"GetVersionExA", ERROR_INSUFFICIENT_BUFFER},
    {"GetDriveTypeA", 0},
    {"GetModuleFileNameA", ERROR_INSUFFICIENT_BUFFER},
    {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER},
    {"OpenProcess", ERROR_ACCESS_DENIED},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
};
enum class Mode { Clean, Fail, Crash };

// The overrides: a call that may fail, and a close, which a crash only skips.
#define QX_MAY_FAIL(Result, Name, failure, Params, Args)                        \
    Result Name Params override {                                               \
        return Api(#Name, Result(failure), [&] { return target().Name Args; }); \
    }
#define QX_CLOSE(Result, Name, Type) \
    Result Name(Type handle) override { return crashed ? Result{} : target().Name(handle); }

// Numbers every call that can fail and fails the `target`th; in Crash mode
// from there on every call fails and nothing reaches the machine. Records
// every change to a key of another program. Run's first Sleep hands the
// scenario's steps to the handler.
class FaultingPlatform : public ForwardingPlatform {
public:
    FaultingPlatform(Platform& machine, Mode mode, int target, std::vector<std::string> foreign)
        : ForwardingPlatform(machine), mode_(mode), target_(target), foreign_(std::move(foreign)) {}

    int calls = 0;
    bool crashed = false;
    bool hung = false;
    std::vector<std::string> changedForeignKeys;
    std::function<void()> onRunning;  // the steps, then a stop

    LONG RegCreateKeyExA(HKEY key, LPCSTR path, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPVOID security, PHKEY result, LPDWORD disp) override {
        return Opened(path, result, Api("RegCreateKeyExA", LONG{}, [&] {
                          return target().RegCreateKeyExA(key, path, reserved, keyClass, options,
                                                          access, security, result, disp);
                      }));
    }
    LONG RegOpenKeyExA(HKEY key, LPCSTR path, DWORD options, REGSAM access, PHKEY result) override {
        return Opened(path, result, Api("RegOpenKeyExA", LONG{}, [&] {
                          return target().RegOpenKeyExA(key, path, options, access, result);
                      }));
    }
    LONG RegCreateKeyA(HKEY key, LPCSTR path, PHKEY result) override {
        return Opened(path, result, Api("RegCreateKeyA", LONG{}, [&] {
                          return target().RegCreateKeyA(key, path, result);
                      }));
    }
    LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD size) override {
        Changed(paths_[key]);
        return Api("RegSetValueExA", LONG{},
                   [&] { return target().RegSetValueExA(key, name, reserved, type, data, size); });
    }
    LONG RegDeleteKeyA(HKEY key, LPCSTR path) override {
        Changed(path);
        return Api("RegDeleteKeyA", LONG{}, [&] { return target().RegDeleteKeyA(key, path); });
    }
    LONG CallRegDeleteKeyExA(FARPROC f, HKEY key, LPCSTR path, REGSAM view, DWORD r) override {
        Changed(path);
        return Api("CallRegDeleteKeyExA", LONG{},
                   [&] { return target().CallRegDeleteKeyExA(f, key, path, view, r); });
    }
    QX_MAY_FAIL(LONG, RegEnumKeyExA, 0,
                (HKEY k, DWORD i, LPSTR n, LPDWORD l, LPDWORD r, LPSTR c, LPDWORD cl, PFILETIME t),
                (k, i, n, l, r, c, cl, t))
    QX_MAY_FAIL(LONG, RegQueryValueExA, 0,
                (HKEY k, LPCSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s), (k, n, r, t, d, s))
    QX_MAY_FAIL(LONG, RegQueryInfoKeyA, 0,
                (HKEY k, LPSTR c, LPDWORD cl, LPDWORD r, LPDWORD s, LPDWORD ms, LPDWORD mc,
                 LPDWORD v, LPDWORD mv, LPDWORD mvl, LPDWORD sd, PFILETIME t),
                (k, c, cl, r, s, ms, mc, v, mv, mvl, sd, t))
    QX_MAY_FAIL(HMODULE, GetModuleHandleA, nullptr, (LPCSTR name), (name))
    QX_MAY_FAIL(FARPROC, GetProcAddress, nullptr, (HMODULE m, LPCSTR name), (m, name))
    QX_MAY_FAIL(BOOL, CallIsWow64Process, FALSE, (FARPROC f, HANDLE p, PBOOL w), (f, p, w))
    QX_MAY_FAIL(SC_HANDLE, OpenSCManagerA, nullptr, (LPCSTR m, LPCSTR d, DWORD a), (m, d, a))
    QX_MAY_FAIL(SC_HANDLE, OpenServiceA, nullptr, (SC_HANDLE m, LPCSTR n, DWORD a), (m, n, a))
    QX_MAY_FAIL(BOOL, ControlService, FALSE, (SC_HANDLE s, DWORD c, SERVICE_STATUS* st), (s, c, st))
    QX_MAY_FAIL(BOOL, QueryServiceStatus, FALSE, (SC_HANDLE s, SERVICE_STATUS* st), (s, st))
    QX_MAY_FAIL(BOOL, QueryServiceStatusEx, FALSE,
                (SC_HANDLE s, SC_STATUS_TYPE l, LPBYTE b, DWORD z, LPDWORD n), (s, l, b, z, n))
    QX_MAY_FAIL(BOOL, ChangeServiceConfigA, FALSE,
                (SC_HANDLE s, DWORD t, DWORD st, DWORD e, LPCSTR p, LPCSTR g, LPDWORD tag, LPCSTR d,
                 LPCSTR a, LPCSTR pw, LPCSTR n),
                (s, t, st, e, p, g, tag, d, a, pw, n))
    QX_MAY_FAIL(BOOL, DeleteService, FALSE, (SC_HANDLE s), (s))
    QX_MAY_FAIL(SERVICE_STATUS_HANDLE, RegisterServiceCtrlHandlerExA, nullptr,
                (LPCSTR n, LPHANDLER_FUNCTION_EX h, LPVOID c), (n, h, c))
    QX_MAY_FAIL(BOOL, SetServiceStatus, FALSE, (SERVICE_STATUS_HANDLE h, SERVICE_STATUS* s), (h, s))
    QX_MAY_FAIL(HDEVNOTIFY, RegisterDeviceNotificationA, nullptr, (HANDLE r, LPVOID f, DWORD l),
                (r, f, l))
    QX_MAY_FAIL(HANDLE, RegisterEventSourceA, nullptr, (LPCSTR s, LPCSTR n), (s, n))
    QX_MAY_FAIL(BOOL, ReportEventA, FALSE,
                (HANDLE h, WORD t, WORD c, DWORD i, PSID s, WORD n, DWORD z, LPCSTR* st, LPVOID d),
                (h, t, c, i, s, n, z, st, d))
    QX_MAY_FAIL(BOOL, GetVersionExA, FALSE, (OSVERSIONINFOA * info), (info))
    QX_MAY_FAIL(UINT, GetDriveTypeA, DRIVE_UNKNOWN, (LPCSTR root), (root))
    QX_MAY_FAIL(DWORD, GetModuleFileNameA, 0, (HMODULE m, LPSTR n, DWORD s), (m, n, s))
    QX_MAY_FAIL(int, WideCharToMultiByte, 0,
                (UINT p, DWORD f, LPCWCH w, int wl, LPSTR m, int ml, LPCCH d, LPBOOL u),
                (p, f, w, wl, m, ml, d, u))
    QX_MAY_FAIL(HANDLE, OpenProcess, nullptr, (DWORD a, BOOL i, DWORD p), (a, i, p))
    QX_MAY_FAIL(DWORD, WaitForSingleObject, WAIT_FAILED, (HANDLE h, DWORD ms), (h, ms))
    QX_CLOSE(LONG, RegCloseKey, HKEY)
    QX_CLOSE(BOOL, CloseServiceHandle, SC_HANDLE)
    QX_CLOSE(BOOL, DeregisterEventSource, HANDLE)
    QX_CLOSE(BOOL, CloseHandle, HANDLE)
    void WriteStdout(LPCSTR text) override {
        if (!crashed) target().WriteStdout(text);
    }
    void Sleep(DWORD) override {
        if (onRunning) {
            std::exchange(onRunning, nullptr)();
        } else if (!hung) {
            hung = true;  // the stop did not end Run
            CNTService::Instance->IsRunning = FALSE;
        }
    }

private:
    template <typename Result, typename Call>
    Result Api(const char* function, Result failure, Call call) {
        if (!crashed && (++calls != target_ || mode_ == Mode::Clean)) return call();
        crashed = mode_ == Mode::Crash;
        const DWORD error = kFailures.at(function);
        if constexpr (std::is_same_v<Result, LONG>) return static_cast<LONG>(error);
        target().SetLastError(error);
        return failure;
    }
    LONG Opened(LPCSTR path, PHKEY key, LONG result) {
        if (result == ERROR_SUCCESS) paths_[*key] = path;
        return result;
    }
    void Changed(const std::string& path) {
        for (const std::string& foreign : foreign_)  // the service spells DriveIcons as they are
            if (path.compare(0, foreign.size(), foreign) == 0) changedForeignKeys.push_back(path);
    }

    const Mode mode_;
    const int target_;
    const std::vector<std::string> foreign_;
    std::map<HKEY, std::string> paths_;
};

struct Sweep {
    const char* name;
    const char* scenario;
    DWORD major, minor;
    BYTE productType;
    bool uninstall;  // "-u" of the service killed after its start, instead of its life
};

void PrintTo(const Sweep& sweep, std::ostream* out) { *out << sweep.name; }

constexpr BYTE kWork = VER_NT_WORKSTATION;
const Sweep kSweeps[] = {
    {"Xp", "XpArrivalsAndRemovals", 5, 1, kWork, false},
    {"XpX64", "XpArrivalsAndRemovals", 5, 2, kWork, false},
    {"Server2003X64", "XpArrivalsAndRemovals", 5, 2, VER_NT_SERVER, false},
    {"VistaX64WithStaleKeys", "VistaArrivalsAndRemovalsIn64BitView", 6, 0, kWork, false},
    {"VistaX64KeysChangedByOthers", "VistaKeysChangedBySomeoneElse", 6, 0, kWork, false},
    {"UninstallAfterAKillOnVistaX64", "VistaArrivalsAndRemovalsIn64BitView", 6, 0, kWork, true},
};

// Under a sanitizer every seventh call, still of each life in both modes;
// the plain build takes every one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kStride = 7;
#else
constexpr int kStride = 1;
#endif

// Keys of other programs, in both views: C's own icon, a label without the
// marker, the label of R, where a reader is, a marker with a label of no
// model; and a subkey added below a letter of the service's.
const char* const kOthers[] = {"C\\DefaultIcon =C:\\Windows\\disk.ico",
                               "T\\DefaultLabel =KB Media",
                               "R\\DefaultLabel =My card",
                               "U QarnHMD=KB/KC Media",
                               "U\\DefaultIcon =C:\\Old\\QarnIcons.dll,0",
                               "U\\DefaultLabel =KB/KC Media"};
std::vector<std::string> ForeignKeys() {
    std::vector<std::string> keys;
    for (const std::string& base : {kDriveIcons, kDriveIcons32})
        for (const char* key : {"C", "R", "T", "U", "G\\Shell"}) keys.push_back(base + "\\" + key);
    return keys;
}

// Both views, a line per key with its default value and marker; a letter key
// with neither shows nothing (a crash between its creation and its first
// value leaves one; the shell reads nothing from it).
std::vector<std::string> State(FakeWindows& fake) {
    std::vector<std::string> lines;
    for (const std::string& base : {kDriveIcons, kDriveIcons32}) {
        for (const std::string& path : fake.KeysBelow(base)) {
            std::string line = (base == kDriveIcons ? "" : "32: ") + path.substr(base.size() + 1);
            if (auto value = fake.GetValue(path, "")) line += " =" + value->AsString();
            if (auto mark = fake.GetValue(path, "QarnHMD")) line += " QarnHMD=" + mark->AsString();
            if (line.find_first_of("=\\") != std::string::npos) lines.push_back(line);
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool Within(const std::vector<std::string>& lines, const std::vector<std::string>& all) {
    return std::includes(all.begin(), all.end(), lines.begin(), lines.end());
}

struct Outcome {
    int calls = 0;
    bool hung = false;
    DWORD exitCode = 0;  // and the output, of "-u"
    std::string output;
    std::vector<std::string> changedForeignKeys, afterRun, whileRunning, afterStop;
};

// The machine's part of a step: drives plugged and pulled, keys changed by others.
void ApplyMachineStep(FakeWindows& fake, const DeviceEventScenario& scenario,
                      const ScenarioStep& step) {
    for (const ScenarioDrive& drive : scenario.drives) {
        if (drive.letter != step.letter) continue;
        if (step.kind == ScenarioStep::Plug) WriteReaderRecords(fake, drive, scenario.vista);
        if (step.kind == ScenarioStep::Plug || step.kind == ScenarioStep::Unplug)
            fake.SetDriveType(drive.letter, step.kind == ScenarioStep::Plug ? DRIVE_REMOVABLE
                                                                            : DRIVE_NO_ROOT_DIR);
    }
    if (step.kind == ScenarioStep::LabelKeyDeleted) DeleteLabelKey(fake, kDriveIcons, step.letter);
    if (step.kind == ScenarioStep::ForeignSubkeyAdded)
        AddForeignSubkey(fake, kDriveIcons, step.letter);
}

Outcome Live(const Sweep& sweep, Mode mode, int target) {
    const DeviceEventScenario& scenario = FindScenario(sweep.scenario);
    FakeWindows fake;
    fake.SetVersion(sweep.major, sweep.minor, sweep.productType);
    fake.SetWow64Process(true);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    fake.SetDriveType('C', DRIVE_FIXED);
    for (char letter : scenario.presentAtStart)
        ApplyMachineStep(fake, scenario, ScenarioStep{ScenarioStep::Plug, letter, "", {}, {}});
    for (const ExpectedLetter& stale : scenario.staleKeys) WriteStaleKeys(fake, kDriveIcons, stale);
    WriteReaderRecords(fake, {'R', kKbSlot, "9&0", "7&r&0"}, scenario.vista);
    fake.SetDriveType('R', DRIVE_REMOVABLE);
    for (const std::string& base : {kDriveIcons, kDriveIcons32}) {
        fake.SetString(LetterKey('C', base) + "\\DefaultIcon", "", "C:\\Windows\\disk.ico");
        fake.SetString(LetterKey('T', base) + "\\DefaultLabel", "", "KB Media");
        fake.SetString(LetterKey('R', base) + "\\DefaultLabel", "", "My card");
        WriteIconKeys(fake, 'U', "KB/KC Media", base);
    }

    Outcome outcome;
    FaultingPlatform os(fake, mode, target, ForeignKeys());
    if (sweep.uninstall) {
        CIConEx(fake).OnInit();  // then killed
        FakeWindows::ServiceRecord record;
        record.name = "QarnIEx";
        record.serviceType = SERVICE_WIN32_OWN_PROCESS;
        fake.AddService(record);
        CIConEx console(os);
        char arg0[] = "QarnIEx.exe", arg1[] = "-u";
        char* argv[] = {arg0, arg1};
        console.ProcessCommandLine(2, argv);
        outcome.exitCode = console.ServiceStatus.dwWin32ExitCode;
        outcome.output = fake.Stdout();
        outcome.afterRun = State(fake);
    } else {
        CIConEx service(os);
        size_t applied = 0;
        os.onRunning = [&] {
            for (; applied < scenario.steps.size(); ++applied) {
                const ScenarioStep& step = scenario.steps[applied];
                ApplyMachineStep(fake, scenario, step);
                if (step.kind == ScenarioStep::Arrival) DeliverDeviceEvent(DBT_DEVICEARRIVAL);
                if (step.kind == ScenarioStep::Removal)
                    DeliverDeviceEvent(DBT_DEVICEREMOVECOMPLETE);
            }
            CNTService::Handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        };
        char name[] = "QarnIEx";
        LPSTR argv[] = {name, nullptr};
        CNTService::ServiceMain(1, argv);
        // A service that never ran: the drives come and go all the same.
        for (; applied < scenario.steps.size(); ++applied)
            ApplyMachineStep(fake, scenario, scenario.steps[applied]);
    }
    outcome.calls = os.calls;
    outcome.hung = os.hung;
    outcome.changedForeignKeys = os.changedForeignKeys;

    CIConEx clean(fake);
    clean.OnInit();
    outcome.whileRunning = State(fake);
    clean.OnStop();
    outcome.afterStop = State(fake);
    return outcome;
}

class FaultSweep : public ::testing::TestWithParam<Sweep> {};

TEST_P(FaultSweep, NothingOutlivesOneFailedCallOrACrash) {
    const Sweep& sweep = GetParam();
    const Outcome reference = Live(sweep, Mode::Clean, 0);
    ASSERT_FALSE(reference.hung);
    EXPECT_TRUE(reference.changedForeignKeys.empty());
    EXPECT_EQ(0u, reference.exitCode);
    // What may stay: keys of others, and a letter key of the service's with
    // its marker where another program added a subkey below it.
    std::vector<std::string> others, mayStay;
    for (const std::string view : {"", "32: "})
        for (const char* line : kOthers) others.push_back(view + line);
    mayStay = others;
    for (const std::string& line : FindScenario(sweep.scenario).extraAfterStop) {
        mayStay.push_back(line);
        if (line.find("QarnHMD") == std::string::npos) others.push_back(line);
    }
    std::sort(others.begin(), others.end());
    std::sort(mayStay.begin(), mayStay.end());
    EXPECT_EQ(mayStay, reference.afterStop);
    // The keys a clean start gives the readers present.
    std::vector<std::string> readers;
    std::set_difference(reference.whileRunning.begin(), reference.whileRunning.end(),
                        mayStay.begin(), mayStay.end(), std::back_inserter(readers));

    int runs = 0;
    for (const Mode mode : {Mode::Fail, Mode::Crash}) {
        for (int call = 1; call <= reference.calls && !HasFailure(); call += kStride, ++runs) {
            SCOPED_TRACE((mode == Mode::Fail ? "call failed: " : "crash at call ") +
                         std::to_string(call));
            const Outcome run = Live(sweep, mode, call);
            EXPECT_FALSE(run.hung);
            EXPECT_EQ(std::vector<std::string>{}, run.changedForeignKeys);
            EXPECT_TRUE(Within(readers, run.whileRunning) &&
                        Within(run.whileRunning, reference.whileRunning))
                << ::testing::PrintToString(run.whileRunning);
            EXPECT_TRUE(Within(others, run.afterStop) && Within(run.afterStop, mayStay))
                << ::testing::PrintToString(run.afterStop);
            // "-u" that exits with 0 leaves what a fault-free one does.
            if (mode == Mode::Fail && sweep.uninstall) {
                EXPECT_TRUE(run.exitCode == 0 ? run.afterRun == reference.afterRun
                                              : run.output.find(" Error ") != std::string::npos)
                    << run.output;
            }
        }
    }
    EXPECT_EQ(2 * ((reference.calls + kStride - 1) / kStride), runs);
    std::printf("%s: %d calls, %d runs\n", sweep.name, reference.calls, runs);
}

INSTANTIATE_TEST_SUITE_P(Lives, FaultSweep, ::testing::ValuesIn(kSweeps),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
