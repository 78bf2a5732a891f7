// What only the substitute has, or what the real Win32 run cannot show: the
// set-up and inspection API, locked keys, the call record, a 32-bit Windows,
// missing exports and failing queries, the dispatcher of a started service,
// event records, and where Wine itself differs from Windows. Everything a
// Win32 program can check for itself is in tests/contract, which runs against
// both implementations.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ScopedHandle.h"
#include "support/FakeWindows.h"

namespace {

constexpr DWORD kErrorProcNotFound = 127;

std::vector<BYTE> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

LONG Open(FakeWindows& os, ScopedRegKey& key, const char* path, REGSAM access = KEY_READ) {
    return os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key.receive());
}
LONG Create(FakeWindows& os, ScopedRegKey& key, const char* path, REGSAM access = KEY_ALL_ACCESS) {
    return os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, key.receive(), nullptr);
}
LONG Enum(FakeWindows& os, const ScopedRegKey& key, DWORD index, char* name, DWORD* length) {
    return os.RegEnumKeyExA(key.get(), index, name, length, nullptr, nullptr, nullptr, nullptr);
}

// Win32 error codes are long literals; the APIs hand them back as DWORD.
constexpr DWORD Code(long error) { return static_cast<DWORD>(error); }

// The set-up and inspection API names keys and values by the same rules as
// the registry calls: case, code page, separators.
TEST(FakeRegistry, SetUpAndInspectionFollowTheRegistryNameRules) {
    FakeWindows os;
    os.CreateKey("SYSTEM\\Setup\\Deep\\Leaf");
    EXPECT_TRUE(os.KeyExists("system\\SETUP\\deep"));
    EXPECT_EQ(std::vector<std::string>{"Leaf"}, os.SubkeyNames("SYSTEM\\SETUP\\DEEP"));
    {
        ScopedRegKey key(os), other(os);
        ASSERT_EQ(ERROR_SUCCESS, Create(os, key, "system\\setup\\DEEP\\leaf"));
        ASSERT_EQ(ERROR_SUCCESS, Open(os, other, "SYSTEM\\Setup"));
        EXPECT_EQ(2u, os.OpenKeyCount());
    }
    EXPECT_EQ(0u, os.OpenKeyCount());
    EXPECT_EQ((std::vector<std::string>{"SYSTEM", "SYSTEM\\Setup", "SYSTEM\\Setup\\Deep",
                                        "SYSTEM\\Setup\\Deep\\Leaf"}),
              os.KeysBelow(""));
    EXPECT_EQ(std::vector<std::string>{"SYSTEM\\Setup\\Deep\\Leaf"},
              os.KeysBelow("system\\setup\\DEEP"));

    // Latin-1 letters fold under 1252 (é, É), values alike; the stored name keeps its case.
    os.SetString("SYSTEM\\\xe9t\xe9", "N\xe9", "x");
    EXPECT_TRUE(os.KeyExists("SYSTEM\\\xc9T\xc9"));
    EXPECT_EQ("x", os.GetValue("system\\\xc9t\xe9", "n\xc9")->AsString());
    os.DeleteTree("SYSTEM\\\xc9T\xc9");
    EXPECT_FALSE(os.KeyExists("SYSTEM\\\xe9t\xe9"));

    // Under 932 0x83 0x5C is one character; under 1252 two, the second a separator.
    const std::string device = "Disk&Ven_\x83\x5C&Prod_X";
    FakeWindows sjis;
    sjis.SetCodePage(932);
    sjis.CreateKey("SYSTEM\\USBSTOR\\" + device + "\\0001");
    EXPECT_EQ((std::vector<std::string>{"SYSTEM", "SYSTEM\\USBSTOR", "SYSTEM\\USBSTOR\\" + device,
                                        "SYSTEM\\USBSTOR\\" + device + "\\0001"}),
              sjis.KeysBelow(""));
    sjis.SetString("SYSTEM\\Trail", "N\x83\x61", "text");
    EXPECT_FALSE(sjis.GetValue("SYSTEM\\Trail", "N\x83\x41"));
    EXPECT_TRUE(sjis.GetValue("SYSTEM\\TRAIL", "n\x83\x61"));
    FakeWindows latin;
    latin.CreateKey("SYSTEM\\USBSTOR\\" + device);
    EXPECT_EQ(std::vector<std::string>{"Disk&Ven_\x83"}, latin.SubkeyNames("SYSTEM\\USBSTOR"));
    latin.SetString("SYSTEM\\Trail", "N\x83\x61", "text");
    EXPECT_TRUE(latin.GetValue("SYSTEM\\Trail", "N\x83\x41"));

    // Set-up writes exactly the bytes given; SetMountRecord one UTF-16 unit per char.
    os.SetValue("SYSTEM\\Values", "Raw", REG_BINARY, Bytes("abc"));
    EXPECT_EQ(Bytes("abc"), os.GetValue("SYSTEM\\Values", "raw")->data);
    os.SetMountRecord('G', "\\??\\x\xe9");
    EXPECT_EQ((std::vector<BYTE>{'\\', 0, '?', 0, '?', 0, '\\', 0, 'x', 0, 0xE9, 0}),
              os.GetValue("SYSTEM\\MountedDevices", "\\DosDevices\\G:")->data);
}

// Windows orders subkeys by their upper-case Unicode names; Wine by their
// lower-case ones, so the two differ for '[' .. '`' against letters and for
// letters whose two forms lie on either side of another (Š U+0160, ÿ U+00FF).
TEST(FakeRegistry, EnumeratesByUpperCaseNamesWhereWineDiffers) {
    FakeWindows os;
    for (const char* name : {"beta", "Alpha", "GAMMA", "A_1", "AB", "[x", "\x8a", "\xff"})
        os.CreateKey(std::string("SYSTEM\\Enum\\") + name);
    EXPECT_EQ(
        (std::vector<std::string>{"AB", "Alpha", "A_1", "beta", "GAMMA", "[x", "\x8a", "\xff"}),
        os.SubkeyNames("SYSTEM\\Enum"));
    // A double-byte character the substitute has no Unicode for sorts by its code.
    FakeWindows sjis;
    sjis.SetCodePage(932);
    for (const char* name : {"\x88\x9f", "\x83\x41", "\x8c\xea"})
        sjis.CreateKey(std::string("SYSTEM\\Enum\\") + name);
    EXPECT_EQ((std::vector<std::string>{"\x83\x41", "\x88\x9f", "\x8c\xea"}),
              sjis.SubkeyNames("SYSTEM\\Enum"));
}

// Opening, creating below and deleting a locked key; Wine gives a process of
// its prefix every access, so only the substitute can lock one.
TEST(FakeRegistry, DeniedKeysCannotBeOpenedCreatedBelowOrDeleted) {
    FakeWindows os;
    os.CreateKey("SOFTWARE\\Locked\\Inside");
    os.DenyAccess("software\\locked");
    ScopedRegKey key(os);
    EXPECT_EQ(ERROR_ACCESS_DENIED, Open(os, key, "SOFTWARE\\Locked"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, Create(os, key, "SOFTWARE\\Locked"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, Create(os, key, "SOFTWARE\\Locked\\New\\Deeper"));
    EXPECT_FALSE(os.KeyExists("SOFTWARE\\Locked\\New"));
    EXPECT_EQ(0u, os.OpenKeyCount());
    os.DeleteTree("SOFTWARE\\Locked\\Inside");
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked"));
    EXPECT_TRUE(os.KeyExists("SOFTWARE\\Locked"));
    // A key not yet there is denied as well.
    os.DenyAccess("SYSTEM\\Future");
    EXPECT_EQ(ERROR_ACCESS_DENIED, Create(os, key, "SYSTEM\\Future"));
    EXPECT_FALSE(os.KeyExists("SYSTEM\\Future"));
}

TEST(FakeRegistry, RecordsPathsAsRequestedWithAccessAndValueNames) {
    FakeWindows os;
    os.SetWow64Process(true);
    os.SetBinary("SYSTEM\\MountedDevices", "\\DosDevices\\G:", Bytes("x"));
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, "SYSTEM\\MountedDevices"));
    BYTE data[4];
    DWORD size = sizeof data;
    os.RegQueryValueExA(key.get(), "\\DosDevices\\G:", nullptr, nullptr, data, &size);
    Create(os, key, "SOFTWARE\\X", KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    key.reset();
    auto calls = os.Calls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ("RegOpenKeyExA", calls[0].function);
    EXPECT_EQ("SYSTEM\\MountedDevices 0x20019", calls[0].detail);
    EXPECT_EQ("SYSTEM\\MountedDevices \\DosDevices\\G:", calls[1].detail);
    EXPECT_EQ("RegCloseKey", calls[2].function);
    EXPECT_EQ("SOFTWARE\\X 0xf013f", calls[3].detail);
    EXPECT_EQ(5u, os.CountCallsWithPrefix("Reg"));
    os.ClearCalls();
    EXPECT_EQ(0u, os.CountCalls("RegOpenKeyExA"));

    // Relative to an open key, refused calls too: the whole path.
    ScopedRegKey system(os), refused(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, system, "SYSTEM"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              os.RegOpenKeyExA(system.get(), "MountedDevices", 1, KEY_READ, refused.receive()));
    char name[32];
    DWORD length = sizeof name;
    EXPECT_EQ(ERROR_SUCCESS, Enum(os, system, 0, name, &length));
    calls = os.Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("SYSTEM\\MountedDevices 0x20019", calls[1].detail);
    EXPECT_EQ("RegEnumKeyExA", calls[2].function);
    EXPECT_EQ("SYSTEM 0", calls[2].detail);
}

// The runner's Wine prefix is 64-bit; a 32-bit Windows has one view only.
TEST(FakeRegistry, ThirtyTwoBitWindowsHasOneView) {
    FakeWindows plain;
    ScopedRegKey k(plain);
    ASSERT_EQ(ERROR_SUCCESS, Create(plain, k, "SOFTWARE\\A", KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    ASSERT_EQ(ERROR_SUCCESS, Create(plain, k, "SOFTWARE\\B", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, Create(plain, k, "SOFTWARE\\C"));
    EXPECT_EQ((std::vector<std::string>{"A", "B", "C"}), plain.SubkeyNames("SOFTWARE"));
    BOOL flag = TRUE;
    FARPROC isWow64 = plain.GetProcAddress(plain.GetModuleHandleA("kernel32"), "IsWow64Process");
    EXPECT_TRUE(plain.CallIsWow64Process(isWow64, plain.GetCurrentProcess(), &flag));
    EXPECT_FALSE(flag);
}

// Wine has both optional exports and answers every version and module query;
// the substitute can take them away.
TEST(FakeSystem, MissingExportsAndFailingQueries) {
    FakeWindows os;
    HMODULE kernel = os.GetModuleHandleA("kernel32");
    HMODULE advapi = os.GetModuleHandleA("advapi32");
    os.SetExportPresent("IsWow64Process", false);
    os.SetLastError(0);
    EXPECT_EQ(nullptr, os.GetProcAddress(kernel, "IsWow64Process"));
    EXPECT_EQ(kErrorProcNotFound, os.GetLastError());
    os.SetExportPresent("RegDeleteKeyExA", false);
    EXPECT_EQ(nullptr, os.GetProcAddress(advapi, "RegDeleteKeyExA"));
    os.SetExportPresent("IsWow64Process", true);
    EXPECT_NE(nullptr, os.GetProcAddress(kernel, "IsWow64Process"));

    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    OSVERSIONINFOEXA plain{};
    plain.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    os.SetVersionFailures(true, false);
    EXPECT_FALSE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(Code(ERROR_INVALID_PARAMETER), os.GetLastError());
    EXPECT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&plain)));
    os.SetVersionFailures(false, true);
    EXPECT_FALSE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&plain)));
    EXPECT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));

    char small[10];
    std::memset(small, 'x', sizeof small);
    os.SetModulePathFails(true);
    EXPECT_EQ(0u, os.GetModuleFileNameA(nullptr, small, sizeof small));
    EXPECT_EQ('x', small[0]);
    EXPECT_NE(0u, os.GetLastError());
}

// One Windows version per runner prefix; the substitute takes any, XP SP2 by default.
TEST(FakeSystem, VersionAndModulePathFollowTheSetUp) {
    FakeWindows os;
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(5u, ex.dwMajorVersion);
    EXPECT_EQ(1u, ex.dwMinorVersion);
    EXPECT_EQ(2600u, ex.dwBuildNumber);
    EXPECT_EQ(VER_NT_WORKSTATION, ex.wProductType);
    EXPECT_EQ(2, ex.wServicePackMajor);
    os.SetVersion(6, 0, VER_NT_SERVER);
    ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(6u, ex.dwMajorVersion);
    EXPECT_EQ(0u, ex.dwMinorVersion);
    EXPECT_EQ(VER_NT_SERVER, ex.wProductType);

    char path[MAX_PATH];
    EXPECT_EQ(33u, os.GetModuleFileNameA(nullptr, path, MAX_PATH));
    EXPECT_STREQ("C:\\Program Files\\Qarn\\QarnIEx.exe", path);
    os.SetModulePath("C:\\abcdefgh.exe");
    EXPECT_EQ(15u, os.GetModuleFileNameA(nullptr, path, MAX_PATH));
    os.SetDriveType('g', DRIVE_REMOVABLE);
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), os.GetDriveTypeA("G:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), os.GetDriveTypeA("H:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), os.GetDriveTypeA("G:\\x"));
    EXPECT_EQ(3u, os.CountCalls("GetDriveTypeA"));
}

// The machine facts the in-memory Windows can be set to, as a program asks them.
TEST(MemoryWindowsFacts, EachVersionItsBuildAndOnlyTheCodePagesItHas) {
    const struct {
        DWORD major, minor, build;
    } versions[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6000},
                    {6, 1, 7600}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 10240}};
    MemoryWindows os;
    for (const auto& v : versions) {
        os.SetVersion(v.major, v.minor, VER_NT_WORKSTATION);
        OSVERSIONINFOEXA ex{};
        ex.dwOSVersionInfoSize = sizeof ex;
        ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
        EXPECT_EQ(v.build, ex.dwBuildNumber) << v.major << "." << v.minor;
    }
    ASSERT_TRUE(os.SetCodePage(932));
    EXPECT_FALSE(os.SetCodePage(437));  // not one it has: 932 stays in force
    EXPECT_TRUE(os.IsDBCSLeadByte(0x81));
    // A tree far deeper than the registry nests is freed without recursion.
    MemoryWindows deep;
    ASSERT_EQ(ERROR_SUCCESS, deep.CreateKey(MemoryWindows::KeyPath(300000, u"k")));
    EXPECT_EQ(std::vector<std::u16string>{u"k"},
              deep.SubkeyNames(MemoryWindows::KeyPath(299999, u"k")));
}

TEST(FakeServiceManager, HoldsServicesAndWalksTheStopSequence) {
    FakeWindows os;
    os.SetScmOpenFails(ERROR_ACCESS_DENIED);
    EXPECT_EQ(nullptr, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(Code(ERROR_ACCESS_DENIED), os.GetLastError());
    os.SetScmOpenFails(0);

    ScopedServiceHandle scm(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    {
        ScopedServiceHandle created(
            os,
            os.CreateServiceA(scm.get(), "QarnIEx", "Qarn", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              "C:\\q.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(created);
        EXPECT_EQ(2u, os.OpenServiceHandleCount());
    }
    auto record = os.FindService("qarniex");
    ASSERT_TRUE(record);
    EXPECT_EQ("C:\\q.exe", record->imagePath);
    EXPECT_EQ(Code(SERVICE_AUTO_START), record->startType);
    EXPECT_EQ("", record->account);
    EXPECT_EQ(nullptr,
              os.CreateServiceA(scm.get(), "QARNIEX", "x", SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                "C:\\q.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Code(ERROR_SERVICE_EXISTS), os.GetLastError());
    EXPECT_EQ(nullptr, os.OpenServiceA(scm.get(), "Other", SERVICE_QUERY_CONFIG));
    EXPECT_EQ(Code(ERROR_SERVICE_DOES_NOT_EXIST), os.GetLastError());

    ScopedServiceHandle service(os, os.OpenServiceA(scm.get(), "QarnIEx", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    SERVICE_STATUS status{};
    EXPECT_FALSE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));  // not running
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.GetLastError());

    record->state = SERVICE_RUNNING;
    record->queriesUntilStopped = 2;
    os.UpdateService(*record);
    ASSERT_TRUE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(Code(SERVICE_STOP_PENDING), status.dwCurrentState);
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(Code(SERVICE_STOP_PENDING), status.dwCurrentState);
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(Code(SERVICE_STOPPED), status.dwCurrentState);

    record = os.FindService("QarnIEx");
    record->state = SERVICE_RUNNING;
    record->refuseStop = true;
    record->queryFails = true;
    record->deleteFails = true;
    os.UpdateService(*record);
    EXPECT_FALSE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(Code(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), os.GetLastError());
    EXPECT_FALSE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_FALSE(os.DeleteService(service.get()));
    EXPECT_EQ(Code(ERROR_ACCESS_DENIED), os.GetLastError());
    record->deleteFails = false;
    os.UpdateService(*record);
    EXPECT_TRUE(os.DeleteService(service.get()));
    EXPECT_FALSE(os.FindService("QarnIEx"));

    service.reset();
    scm.reset();
    EXPECT_EQ(0u, os.OpenServiceHandleCount());
    EXPECT_FALSE(os.CloseServiceHandle(reinterpret_cast<SC_HANDLE>(0x4321)));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
}

TEST(FakeServiceManager, ReportsTheServiceProcessUntilItEnds) {
    FakeWindows os;
    FakeWindows::ServiceRecord record;
    record.name = "QarnIEx";
    record.state = SERVICE_RUNNING;
    record.queriesUntilStopped = 1;
    record.processId = 1234;
    os.AddService(record);
    ScopedServiceHandle scm(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScopedServiceHandle service(os, os.OpenServiceA(scm.get(), "QarnIEx", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    EXPECT_FALSE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), 8, &needed));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    EXPECT_EQ(36u, needed);
    ASSERT_TRUE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<LPBYTE>(&status), sizeof status, &needed));
    EXPECT_EQ(Code(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(1234u, status.dwProcessId);

    EXPECT_EQ(nullptr, os.OpenProcess(SYNCHRONIZE, FALSE, 999));
    EXPECT_EQ(Code(ERROR_INVALID_PARAMETER), os.GetLastError());
    ScopedKernelHandle process(os, os.OpenProcess(SYNCHRONIZE, FALSE, 1234));
    ASSERT_TRUE(process);
    EXPECT_EQ(Code(WAIT_TIMEOUT), os.WaitForSingleObject(process.get(), 10));  // still running

    SERVICE_STATUS plain{};
    ASSERT_TRUE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &plain));
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &plain));
    EXPECT_EQ(Code(SERVICE_STOPPED), plain.dwCurrentState);
    EXPECT_EQ(Code(WAIT_OBJECT_0), os.WaitForSingleObject(process.get(), 10));
    ASSERT_TRUE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<LPBYTE>(&status), sizeof status, &needed));
    EXPECT_EQ(0u, status.dwProcessId) << "a stopped service has no process";
    EXPECT_EQ(nullptr, os.OpenProcess(SYNCHRONIZE, FALSE, 1234));

    record = *os.FindService("QarnIEx");
    record.processOutlivesStop = true;
    os.UpdateService(record);
    EXPECT_EQ(Code(WAIT_TIMEOUT), os.WaitForSingleObject(process.get(), 10));

    EXPECT_EQ(1u, os.OpenProcessHandleCount());
    process.reset();
    EXPECT_EQ(0u, os.OpenProcessHandleCount());
    EXPECT_FALSE(os.CloseHandle(reinterpret_cast<HANDLE>(0x4321)));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
}

// A minimal service for the dispatcher: it registers its handler, reports
// running and waits for a stop control.
struct Probe {
    FakeWindows* os = nullptr;
    bool registerHandler = true;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::thread::id mainThread, handlerThread;
    std::vector<std::string> args;
    std::vector<DWORD> controls;
    DWORD handlerThreadId = 0;
};
Probe* g_probe = nullptr;

DWORD WINAPI ProbeHandler(DWORD control, DWORD eventType, LPVOID, LPVOID context) {
    Probe& p = *static_cast<Probe*>(context);
    DWORD id = p.os->GetCurrentThreadId();  // the fake's lock must be free here
    std::lock_guard<std::mutex> lock(p.mu);
    p.handlerThread = std::this_thread::get_id();
    p.handlerThreadId = id;
    p.controls.push_back(control);
    if (control == SERVICE_CONTROL_STOP) {
        p.stop = true;
        p.cv.notify_all();
    }
    return control == 200 ? 42 + eventType : NO_ERROR;
}

void WINAPI ProbeMain(DWORD argc, LPSTR* argv) {
    Probe& p = *g_probe;
    {
        std::lock_guard<std::mutex> lock(p.mu);
        p.mainThread = std::this_thread::get_id();
        for (DWORD i = 0; i < argc; ++i) p.args.push_back(argv[i]);
    }
    if (!p.registerHandler) {
        std::unique_lock<std::mutex> lock(p.mu);
        p.cv.wait(lock, [&] { return p.stop; });
        return;
    }
    SERVICE_STATUS_HANDLE handle = p.os->RegisterServiceCtrlHandlerExA(argv[0], ProbeHandler, &p);
    SERVICE_STATUS status{
        SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    p.os->SetServiceStatus(handle, &status);
    {
        std::unique_lock<std::mutex> lock(p.mu);
        p.cv.wait(lock, [&] { return p.stop; });
    }
    status.dwCurrentState = SERVICE_STOPPED;
    p.os->SetServiceStatus(handle, &status);
}

TEST(FakeDispatcher, FailsWhenTheProcessWasNotStartedAsAService) {
    FakeWindows os;
    char name[] = "Probe";
    SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
    EXPECT_FALSE(os.StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(Code(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), os.GetLastError());
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.SendControl(SERVICE_CONTROL_STOP));
}

TEST(FakeDispatcher, RunsServiceMainOnItsOwnThreadAndHandlersOnTheDispatcherThread) {
    FakeWindows os;
    Probe probe;
    probe.os = &os;
    g_probe = &probe;
    FakeWindows::ServiceRecord record;
    record.name = "Probe";
    os.AddService(record);
    os.SetStartedAsService(true);

    char name[] = "Probe";
    SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
    BOOL result = FALSE;
    std::thread::id dispatcherThread;
    DWORD dispatcherThreadId = 0;
    std::thread dispatcher([&] {
        dispatcherThread = std::this_thread::get_id();
        dispatcherThreadId = os.GetCurrentThreadId();
        result = os.StartServiceCtrlDispatcherA(table);
    });
    ASSERT_TRUE(os.WaitForReportedState(SERVICE_RUNNING));
    EXPECT_EQ(Code(SERVICE_RUNNING), os.FindService("probe")->state);
    EXPECT_EQ(45u, os.SendControl(200, 3));
    EXPECT_EQ(Code(NO_ERROR), os.SendControl(SERVICE_CONTROL_STOP));
    dispatcher.join();

    EXPECT_TRUE(result);
    EXPECT_EQ(std::vector<std::string>{"Probe"}, probe.args);
    EXPECT_EQ((std::vector<DWORD>{200, SERVICE_CONTROL_STOP}), probe.controls);
    EXPECT_EQ(dispatcherThread, probe.handlerThread);
    EXPECT_EQ(dispatcherThreadId, probe.handlerThreadId);
    EXPECT_NE(dispatcherThread, probe.mainThread);
    EXPECT_NE(std::this_thread::get_id(), probe.mainThread);
    auto reports = os.StatusReports();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(Code(SERVICE_STOPPED), reports[1].dwCurrentState);
    EXPECT_EQ(Code(SERVICE_STOPPED), os.FindService("Probe")->state);
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.SendControl(200));
}

TEST(FakeDispatcher, EarlyControlsWaitForTheHandlerOrFailWhenTheServiceEnds) {
    // Posted before the service is even started: delivered once the handler is there.
    {
        FakeWindows os;
        Probe probe;
        probe.os = &os;
        g_probe = &probe;
        os.SetStartedAsService(true);
        os.PostControl(SERVICE_CONTROL_STOP);
        char name[] = "Probe";
        SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
        EXPECT_TRUE(os.StartServiceCtrlDispatcherA(table));
        EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, probe.controls);
    }
    // A service that never registers a handler answers nothing.
    {
        FakeWindows os;
        Probe probe;
        probe.os = &os;
        probe.registerHandler = false;
        g_probe = &probe;
        os.SetStartedAsService(true);
        char name[] = "Probe";
        SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
        std::thread dispatcher([&] { os.StartServiceCtrlDispatcherA(table); });
        std::thread sender([&] {
            std::lock_guard<std::mutex> lock(probe.mu);
            probe.stop = true;
            probe.cv.notify_all();
        });
        DWORD answer = os.SendControl(SERVICE_CONTROL_STOP);
        sender.join();
        dispatcher.join();
        EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), answer);
        EXPECT_TRUE(probe.controls.empty());
    }
}

TEST(FakeEventLog, RecordsSourcesEventsAndDebugOutput) {
    FakeWindows os;
    HANDLE source = os.RegisterEventSourceA(nullptr, "QarnIEx");
    ASSERT_NE(nullptr, source);
    LPCSTR strings[] = {"QarnIEx", "second"};
    EXPECT_TRUE(
        os.ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 102, nullptr, 2, 0, strings, nullptr));
    EXPECT_FALSE(os.ReportEventA(reinterpret_cast<HANDLE>(0x99), EVENTLOG_ERROR_TYPE, 0, 1, nullptr,
                                 0, 0, nullptr, nullptr));
    auto events = os.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("QarnIEx", events[0].source);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
    EXPECT_EQ(102u, events[0].id);
    EXPECT_FALSE(events[0].hasSid);
    EXPECT_EQ((std::vector<std::string>{"QarnIEx", "second"}), events[0].strings);
    EXPECT_EQ(1, os.OpenEventSourceCount());
    EXPECT_TRUE(os.DeregisterEventSource(source));
    EXPECT_FALSE(os.DeregisterEventSource(source));
    EXPECT_EQ(0, os.OpenEventSourceCount());
    os.SetRegisterEventSourceFails(true);
    EXPECT_EQ(nullptr, os.RegisterEventSourceA(nullptr, "QarnIEx"));
    EXPECT_EQ(1, os.EventSourceRegistrations());

    os.OutputDebugStringA("[QarnIEx](1000): one\n");
    os.OutputDebugStringA("two");
    EXPECT_EQ((std::vector<std::string>{"[QarnIEx](1000): one\n", "two"}), os.DebugOutput());
    os.WriteStdout("a\n");
    os.WriteStdout("b\n");
    EXPECT_EQ("a\nb\n", os.Stdout());
}

TEST(FakeDeviceNotification, CopiesTheFilterAndWantsARegisteredStatusHandle) {
    FakeWindows os;
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid.Data1 = 0x53F5630D;
    EXPECT_EQ(nullptr, os.RegisterDeviceNotificationA(reinterpret_cast<HANDLE>(0x55), &filter,
                                                      DEVICE_NOTIFY_SERVICE_HANDLE));
    SERVICE_STATUS_HANDLE status = os.RegisterServiceCtrlHandlerExA("Probe", ProbeHandler, nullptr);
    ASSERT_NE(nullptr, status);
    EXPECT_NE(nullptr,
              os.RegisterDeviceNotificationA(status, &filter, DEVICE_NOTIFY_SERVICE_HANDLE));
    filter.dbcc_classguid.Data1 = 0;  // the fake keeps its own copy
    auto registrations = os.DeviceRegistrations();
    ASSERT_EQ(1u, registrations.size());
    EXPECT_EQ(static_cast<HANDLE>(status), registrations[0].recipient);
    EXPECT_EQ(0x53F5630Du, registrations[0].filter.dbcc_classguid.Data1);

    os.SetRegisterHandlerFails(true);
    EXPECT_EQ(nullptr, os.RegisterServiceCtrlHandlerExA("Probe", ProbeHandler, nullptr));
    EXPECT_NE(0u, os.GetLastError());
    SERVICE_STATUS report{};
    EXPECT_FALSE(os.SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x77), &report));
}

}  // namespace
