// The drive icon service run through the framework's ServiceMain and Handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DriveFixture.h"
#include "scenarios/FakeScenarioMachine.h"
#include "service/EventIds.h"
#include "scenarios/ScenarioRun.h"
#include "support/Interleavings.h"

using namespace fixture;

namespace {

using Keys = std::vector<std::string>;

Keys LetterKeys(std::initializer_list<char> letters) {
    Keys keys;
    for (char letter : letters) {
        keys.push_back(std::string(1, letter));
        keys.push_back(std::string(1, letter) + "\\DefaultIcon");
        keys.push_back(std::string(1, letter) + "\\DefaultLabel");
    }
    return keys;
}

Keys Sorted(Keys keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
}

// The trace texts the dispatcher thread (the one that runs the handler)
// wrote since line `from`; the service thread may still be tracing its start.
std::vector<std::string> TraceSince(const FakeWindows& fake, size_t from) {
    const std::vector<std::string> raw = fake.DebugOutput();
    const std::vector<std::string> texts = TraceTexts(fake);
    std::string dispatcher;
    std::vector<std::string> lines;
    for (size_t i = from; i < raw.size() && i < texts.size(); ++i) {
        const std::string prefix = raw[i].substr(0, raw[i].find("): ") + 1);
        if (dispatcher.empty() && texts[i].find("CNTService::Handler(") == 0) dispatcher = prefix;
        if (!dispatcher.empty() && prefix == dispatcher) lines.push_back(texts[i]);
    }
    return lines;
}

// "QarnIEx.exe -u" of the installed service, by a service object of its own
// as in a console; its output.
std::string UninstallFromConsole(FakeWindows& fake, bool deleteFails = false,
                                 DWORD* exitCode = nullptr) {
    FakeWindows::ServiceRecord record;
    record.name = "QarnIEx";
    record.serviceType = SERVICE_WIN32_OWN_PROCESS;
    record.imagePath = "C:\\Qarn\\QarnIEx.exe";
    record.deleteFails = deleteFails;
    fake.AddService(record);
    fake.SetModulePath(record.imagePath);
    CIConEx service(fake);
    char arg0[] = "QarnIEx.exe";
    char arg1[] = "-u";
    char* argv[] = {arg0, arg1};
    EXPECT_TRUE(service.ProcessCommandLine(2, argv));
    if (exitCode != nullptr) *exitCode = service.ServiceStatus.dwWin32ExitCode;
    return fake.Stdout();
}

// As the handler during the start: whenever a scan looks at the letter `at`,
// the machine changes (`change`, if set) and the events `each` come, `total`
// in all.
class EventsDuringTheStart : public FakeWindows {
public:
    EventsDuringTheStart(char at, std::vector<DWORD> each, int total)
        : at_(at), each_(std::move(each)), total_(total) {}
    UINT GetDriveTypeA(LPCSTR root) override {
        if (root[0] == at_ && queued < total_ && change) change();
        for (size_t i = 0; i < each_.size() && root[0] == at_ && queued < total_; ++i, ++queued)
            service->OnDeviceChange(each_[i], nullptr);
        return FakeWindows::GetDriveTypeA(root);
    }
    CIConEx* service = nullptr;
    std::function<void()> change;
    int queued = 0;

private:
    const char at_;
    const std::vector<DWORD> each_;
    const int total_;
};
constexpr DWORD kArrival = DBT_DEVICEARRIVAL;

}  // namespace

// The device-event scenarios of tests/support, which tests/win32 also runs on
// the real platform, here through the framework's dispatcher: every event is a
// control sent to the running service.
void SendDeviceEvent(FakeWindows& fake, DWORD eventType) {
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, eventType));
}

TEST(DriveIconServiceLife, PreVistaMachine) {
    // Windows XP without WOW64: one registry view. Besides the scenario's USB
    // drives a fixed disk C, whose DefaultIcon another program set, and a CD-ROM D.
    const DeviceEventScenario& scenario = FindScenario("XpArrivalsAndRemovals");
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Program Files\\Qarn\\QarnIEx.exe");
    fake.SetDriveType('C', DRIVE_FIXED);
    fake.SetBinary(kMounted, MountValueName('C'),
                   {0x8A, 0x3E, 0x2C, 0x1B, 0x00, 0x7E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    fake.SetDriveType('D', DRIVE_CDROM);
    fake.SetMountRecord('D',
                        "\\??\\IDE#CdRomHL-DT-ST_DVD-RAM_GSA-H55N_1.00____#5&2b1a3c&0&1.0.0#"
                        "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
    FakeScenarioMachine machine(fake);
    PrepareScenario(machine, scenario, kDriveIcons);
    fake.SetString(LetterKey('C') + "\\DefaultIcon", "", "C:\\Windows\\disk.ico");
    const std::vector<std::string> unrelated = {"C", "C\\DefaultIcon =C:\\Windows\\disk.ico"};
    fake.ClearCalls();

    CIConEx service(fake);
    DispatcherRun run(fake, service);
    ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));
    EXPECT_STREQ("C:\\Program Files\\Qarn\\", service.Scan.ModuleDirectory);
    EXPECT_FALSE(service.Scan.IsVistaWorkstation());
    EXPECT_FALSE(service.Scan.IsWow64());
    CheckScenarioState(fake, service, kDriveIcons, kDriveIcons32, scenario.slotsAfterStart,
                       scenario.keysAfterStart, {}, unrelated);
    RunScenarioSteps(
        machine, scenario, service, kDriveIcons, kDriveIcons32,
        [&](DWORD eventType) { SendDeviceEvent(fake, eventType); }, unrelated);
    // A pulled-out drive's record stays in MountedDevices, as on Windows.
    EXPECT_TRUE(fake.GetValue(kMounted, MountValueName('H')));

    run.Stop();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), fake.StatusReports().back().dwCurrentState);
    CheckScenarioState(fake, service, kDriveIcons, kDriveIcons32, "", {}, scenario.extraAfterStop,
                       unrelated);
    EXPECT_EQ(0u, fake.CountCalls("RegDeleteKeyExA"));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}

TEST(DriveIconServiceLife, VistaMachineUnderWow64) {
    const DeviceEventScenario& scenario = FindScenario("VistaArrivalsAndRemovalsIn64BitView");
    FakeWindows fake;
    fake.SetModulePath("C:\\Program Files (x86)\\Qarn\\QarnIEx.exe");
    fake.SetDriveType('C', DRIVE_FIXED);
    fake.SetDriveType('D', DRIVE_CDROM);
    FakeScenarioMachine machine(fake);
    ASSERT_TRUE(machine.UseWindows(true));
    PrepareScenario(machine, scenario, kDriveIcons);
    fake.ClearCalls();

    CIConEx service(fake);
    DispatcherRun run(fake, service);
    ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));
    EXPECT_STREQ("C:\\Program Files (x86)\\Qarn\\", service.Scan.ModuleDirectory);
    EXPECT_TRUE(service.Scan.IsVistaWorkstation());
    EXPECT_TRUE(service.Scan.IsWow64());
    CheckScenarioState(fake, service, kDriveIcons, kDriveIcons32, scenario.slotsAfterStart,
                       scenario.keysAfterStart, {}, {});
    RunScenarioSteps(machine, scenario, service, kDriveIcons, kDriveIcons32,
                     [&](DWORD eventType) { SendDeviceEvent(fake, eventType); });
    EXPECT_EQ(0u, fake.CountCalls("RegDeleteKeyA"));

    run.Stop();
    CheckScenarioState(fake, service, kDriveIcons, kDriveIcons32, "", {}, {}, {});
    EXPECT_FALSE(fake.KeyExists(kDriveIcons32));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}

TEST(DriveIconServiceLife, TraceLinesControlsAndIgnoredEvents) {
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    CIConEx service(fake);
    DispatcherRun run(fake, service);
    ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));

    PlugParentIdDevice(fake, 'E', kKbModule, "1&0", "7&e&0");
    // Other event types change nothing and trace nothing of their own.
    for (DWORD type : {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING, DBT_DEVNODES_CHANGED}) {
        const size_t before = TraceTexts(fake).size();
        fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, type);
        EXPECT_EQ("", Slots(service));
        const auto lines = TraceSince(fake, before);
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ("CNTService::Handler(11)", lines[0]);
        EXPECT_EQ(0u, lines[1].find("Updating status ("));
    }

    size_t before = TraceTexts(fake).size();
    fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
    EXPECT_EQ("E6 ", Slots(service));
    auto lines = TraceSince(fake, before);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("CNTService::Handler(11)", lines[0]);
    EXPECT_EQ("DeviceArrival-Enter", lines[1]);
    EXPECT_EQ("DeviceArrival-Exit", lines[2]);
    EXPECT_EQ(0u, lines[3].find("Updating status ("));

    before = TraceTexts(fake).size();
    fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ("E6 ", Slots(service));  // still present
    lines = TraceSince(fake, before);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("DeviceRemoveComplete-Enter", lines[1]);
    EXPECT_EQ("DeviceRemoveComplete-Exit", lines[2]);

    // User control 128 is accepted without an event; 129 and 255 are refused.
    const size_t events = fake.Events().size();
    fake.SendControl(128);
    EXPECT_EQ(events, fake.Events().size());
    fake.SendControl(129);
    fake.SendControl(255);
    ASSERT_EQ(events + 2, fake.Events().size());
    EXPECT_EQ(106u, fake.Events().back().id);
    EXPECT_EQ(106u, fake.Events()[events].id);
    EXPECT_FALSE(service.OnUserControl(127));

    before = TraceTexts(fake).size();
    run.Stop();
    lines = TraceSince(fake, before);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ("CNTService::Handler(1)", lines[0]);
    EXPECT_NE(std::string::npos, lines[1].find("CNTService::SetStatus("));
    EXPECT_EQ(", 3)", lines[1].substr(lines[1].size() - 4));
    EXPECT_EQ("CIConEx::OnStop()", lines[2]);
    EXPECT_EQ(0u, lines[3].find("Updating status ("));
    // Run never traces its passes.
    for (const std::string& line : TraceTexts(fake)) EXPECT_NE("Sleeping...", line);
    EXPECT_FALSE(fake.KeyExists(LetterKey('E')));
}

TEST(DriveIconServiceLife, ModuleDirectoryAndStartValues) {
    struct Case {
        std::string path;
        bool fails;
        UINT codePage;
        std::string directory;
    };
    const std::string longPath = "C:\\" + std::string(300, 'p') + "\\QarnIEx.exe";
    const Case cases[] = {
        {"C:\\Tools\\QarnIEx.exe", false, 1252, "C:\\Tools\\"},
        {"QarnIEx.exe", false, 1252, ""},
        {"C:\\Tools\\QarnIEx.exe", true, 1252, ""},
        {longPath, false, 1252, ""},  // cut short by GetModuleFileNameA
        // U+30BD and U+8868 end in '\' under 932.
        {"C:\\Qarn\\\x83\x5C\x95\x5C.exe", false, 932, "C:\\Qarn\\"},
        {"C:\\\x83\x5C\\x.exe", false, 932, "C:\\\x83\x5C\\"},
        {"C:\\Qarn\\\x83\x5C\x95\x5C.exe", false, 1252, "C:\\Qarn\\\x83\x5C\x95\x5C"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        FakeWindows fake;
        fake.SetVersion(5, 1, VER_NT_WORKSTATION);
        fake.SetModulePath(c.path);
        fake.SetModulePathFails(c.fails);
        fake.SetCodePage(c.codePage);
        PlugParentIdDevice(fake, 'E', "Disk&Ven_Qarn&Prod_KD_Slot_Module&Rev_1.00", "1&0", "7&e&0");
        CIConEx service(fake);
        // Zero values before OnInit.
        EXPECT_EQ("", Slots(service));
        EXPECT_EQ(0, service.Scan.DriveSlots[19].ModelIndex);
        EXPECT_EQ(0, service.Scan.ScanStartLetter());
        EXPECT_STREQ("", service.Scan.ModuleDirectory);
        EXPECT_FALSE(service.Scan.IsVistaWorkstation());
        EXPECT_FALSE(service.Scan.IsWow64());

        EXPECT_TRUE(service.OnInit());
        EXPECT_EQ(c.directory, service.Scan.ModuleDirectory);
        EXPECT_EQ('D', service.Scan.ScanStartLetter());
        EXPECT_TRUE(HasDriveKeys(fake, 'E', "KD Media", c.directory + "QarnIcons.dll,1"));
    }
}

TEST(DriveIconServiceLife, DeviceEventDuringStartIsHandledAfterTheStartUpScanBeforeRunning) {
    OverlappingWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    PlugParentIdDevice(fake, 'G', "Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_1.00", "1&0", "7&g&0");
    PlugParentIdDevice(fake, 'M', "Disk&Ven_Qarn&Prod_KD_Slot_Module&Rev_1.00", "2&0", "7&m&0");
    WriteIconKeys(fake, 'P', "KD Media");  // left by a killed run
    fake.Arm();

    CIConEx service(fake);
    DispatcherRun run(fake, service);
    ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));
    // A control sent now is handled after the posted one.
    fake.SendControl(SERVICE_CONTROL_INTERROGATE);

    // The same as start-up scan first, arrival second.
    EXPECT_EQ("G8 M9 E6 ", Slots(service));
    EXPECT_EQ(Sorted(LetterKeys({'E', 'G', 'M'})), Sorted(DriveIconKeys(fake)));
    // The arrival scan began only after the start-up scan had examined 'Z'.
    std::vector<std::string> roots;
    for (const auto& call : fake.Calls()) {
        if (call.function == "GetDriveTypeA") roots.push_back(call.detail);
    }
    const auto lastOfStart = std::find(roots.begin(), roots.end(), "Z:\\");
    const auto firstOfArrival = std::find(lastOfStart, roots.end(), "D:\\");
    ASSERT_NE(roots.end(), firstOfArrival);
    EXPECT_EQ(25u, roots.size());  // 23 at start; the arrival stops after E
    EXPECT_EQ(1, std::count(roots.begin(), lastOfStart, "D:\\"));

    run.Stop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());
}

TEST(DriveIconServiceLife, QueuedEventsCostOneFullScanAndTakeAReaderSwappedAtItsLetter) {
    EventsDuringTheStart fake('Z', {kArrival, kArrival, kArrival}, 3);  // no drives
    CIConEx service(fake);
    fake.service = &service;
    EXPECT_TRUE(service.OnInit());
    EXPECT_EQ(3, fake.queued);
    EXPECT_EQ(46u, fake.CountCalls("GetDriveTypeA"));  // 23 at start, 23 for all three
    // Three removals cost one release walk and a rescan too.
    const DWORD removal = DBT_DEVICEREMOVECOMPLETE;
    EventsDuringTheStart removals('Z', {removal, removal, removal}, 3);
    removals.SetVersion(5, 1, VER_NT_WORKSTATION);
    PlugParentIdDevice(removals, 'E', kKcModule, "1&0", "7&e&0");
    PlugParentIdDevice(removals, 'F', kKbModule, "2&0", "7&f&0");
    CIConEx removing(removals);
    removals.service = &removing;
    EXPECT_TRUE(removing.OnInit());
    EXPECT_EQ(23u + 2 + 23, removals.CountCalls("GetDriveTypeA"));  // E and F checked once

    // The KC reader at E pulled and a KB reader plugged in while the start-up
    // scan runs; Windows gives the new volume E again. E gets the KB's keys.
    EventsDuringTheStart swapped('Z', {DBT_DEVICEREMOVECOMPLETE, kArrival}, 2);
    swapped.SetVersion(5, 1, VER_NT_WORKSTATION);
    swapped.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    PlugParentIdDevice(swapped, 'E', kKcModule, "1&0", "7&e&0");
    swapped.change = [&] { PlugParentIdDevice(swapped, 'E', kKbModule, "2&0", "7&e2&0"); };
    CIConEx starting(swapped);
    swapped.service = &starting;
    EXPECT_TRUE(starting.OnInit());
    EXPECT_EQ("E6 ", Slots(starting));
    EXPECT_TRUE(HasDriveKeys(swapped, 'E', "KB Media", "C:\\Qarn\\QarnIcons.dll,3"));
}

// Readers whose contacts flap send volume events faster than the scans can
// handle them, from before the start until after RUNNING: the start must
// still end, and no event may be lost between the start-up and the handler.
TEST(DriveIconServiceLife, EventsFasterThanTheScansNeitherHoldTheStartNorGetLost) {
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    PlugParentIdDevice(fake, 'E', kKbModule, "1&0", "7&e&0");
    PlugParentIdDevice(fake, 'F', kKcModule, "2&0", "7&f&0");
    PlugParentIdDevice(fake, 'G', kKdSlot, "3&0", "7&g&0");
    // Sticks sorting before the readers: each search for a reader walks past them.
    for (int i = 0; i < 200; ++i) {
        fake.CreateKey(kUsbStor + "\\Disk&Ven_Other&Prod_" + std::to_string(i) + "\\1&0");
    }
    CIConEx service(fake);
    auto change = [&](char letter, bool present) {
        fake.SetDriveType(letter, present ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR);
        fake.PostControl(SERVICE_CONTROL_DEVICEEVENT,
                         present ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
    };
    auto reported = [&](DWORD state) {
        const auto reports = fake.StatusReports();
        return std::any_of(reports.begin(), reports.end(),
                           [&](const SERVICE_STATUS& r) { return r.dwCurrentState == state; });
    };
    bool runningWhileFed = false;
    std::thread feeder([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int more = -1;  // events still to send once RUNNING is reported
        for (int i = 0; more != 0 && std::chrono::steady_clock::now() < deadline; ++i) {
            change(i % 2 ? 'E' : 'F', i % 4 >= 2);
            if (more > 0) {
                --more;
            } else if (reported(SERVICE_RUNNING)) {
                runningWhileFed = true;
                more = 200;
            }
            std::this_thread::yield();
        }
        change('E', true);
        change('F', false);
    });
    DispatcherRun run(fake, service);
    feeder.join();
    // Sent after every posted event, so handled after them.
    fake.SendControl(SERVICE_CONTROL_INTERROGATE);

    EXPECT_TRUE(runningWhileFed);
    EXPECT_EQ(Sorted(LetterKeys({'E', 'G'})), Sorted(DriveIconKeys(fake)));
    run.Stop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());

    // Two arrivals in each round, each one's own scan two walks (sticks at D
    // and H, readers at E, G and K): still at most two walks a round.
    EventsDuringTheStart sticks('D', {kArrival, kArrival}, 8);
    sticks.SetVersion(5, 1, VER_NT_WORKSTATION);
    for (char letter : {'D', 'E', 'G', 'H', 'K'})
        PlugParentIdDevice(sticks, letter, letter == 'D' || letter == 'H' ? kStick : kKcModule,
                           std::string(1, letter) + "&0", std::string("7&") + letter + "&0");
    CIConEx starting(sticks);
    sticks.service = &starting;
    ASSERT_TRUE(starting.OnInit());
    const auto calls = sticks.Calls();
    EXPECT_EQ(1 + 4 * 2,
              std::count_if(calls.begin(), calls.end(),
                            [](const auto& call) { return call.detail == kUsbStor + " 0"; }))
        << "the start-up scan's walk, then four rounds";
}

// The service control manager can still deliver device events while Run winds
// down after a stop: keys written then would outlive the service.
TEST(DriveIconServiceLife, DeviceEventsAfterStopWriteNothing) {
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    PlugParentIdDevice(fake, 'E', "Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_1.00", "0000000000001&0",
                       "7&1a2b3c4d&0");
    CIConEx service(fake);
    ASSERT_TRUE(service.OnInit());
    EXPECT_EQ("E5 ", Slots(service));

    service.OnStop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    PlugParentIdDevice(fake, 'F', kKbModule, "0000000000002&0", "7&2b3c4d5e&0");
    EXPECT_TRUE(service.OnDeviceChange(DBT_DEVICEARRIVAL, nullptr));
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_EQ("", Slots(service));
}

// A drive whose DefaultLabel could not be written carries our marker but no
// label to restore from: the stop must still take back what the service wrote.
TEST(DriveIconServiceLife, StopRemovesTrackedKeysWhoseLabelIsUnreadable) {
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    PlugParentIdDevice(fake, 'E', "Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_1.00", "0000000000001&0",
                       "7&1a2b3c4d&0");
    fake.DenyAccess(LetterKey('E') + "\\DefaultLabel");
    CIConEx service(fake);
    ASSERT_TRUE(service.OnInit());
    EXPECT_EQ("E5 ", Slots(service));
    ASSERT_TRUE(fake.GetValue(LetterKey('E'), "QarnHMD").has_value());
    ASSERT_TRUE(fake.KeyExists(LetterKey('E') + "\\DefaultIcon"));

    service.OnStop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_EQ("", Slots(service));
}

// A killed service cannot stop, so its keys stay; "-u" takes them back once the
// service is removed, in the view the platform uses, as a start would: all 23
// letters (more than the slots hold), and nothing of others. The keys are
// where the service writes them: in the 64-bit view under WOW64, so a purge
// that looked in the 32-bit view would leave them.
TEST(DriveIconServiceLife, UninstallAfterAKillTakesBackTheKeys) {
    struct Case {
        const char* what;
        bool vistaWow64;
        std::function<void(FakeWindows&)> fault;
        std::string failure;  // the line after the removal's
        DWORD exitCode;
        Keys left;  // besides the keys of others
    };
    const Case cases[] = {
        {"XP", false, nullptr, "", 0, {}},
        {"Vista under WOW64", true, nullptr, "", 0, {}},
        // Never taken for a clean removal: nothing would take them back later.
        {"a DefaultLabel that cannot be deleted",
         false,
         [](FakeWindows& fake) { fake.DenyAccess(LetterKey('E') + "\\DefaultLabel"); },
         "The drive icon keys of E: could not be taken back. Error 5\n",
         5,
         {"E", "E\\DefaultLabel"}},
        // Where a run that could not tell its view wrote them.
        {"keys in the 32-bit view too",
         true,
         [](FakeWindows& fake) { WriteIconKeys(fake, 'G', "KD Media", kDriveIcons32); },
         "",
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeWindows fake;
        fake.SetVersion(c.vistaWow64 ? 6 : 5, c.vistaWow64 ? 0 : 1, VER_NT_WORKSTATION);
        fake.SetWow64Process(c.vistaWow64);
        for (char letter = 'D'; letter <= 'Z'; ++letter) WriteIconKeys(fake, letter, "KB/KC");
        // U carries no marker, V a label of no model: not ours.
        fake.DeleteTree(LetterKey('U'));
        fake.SetString(LetterKey('U') + "\\DefaultLabel", "", "KB/KC");
        WriteIconKeys(fake, 'V', "KB/KC Media");
        if (c.fault) c.fault(fake);

        DWORD exitCode = 0;
        EXPECT_EQ(
            UninstallFromConsole(fake, false, &exitCode),
            "QarnIEx removed. (You must delete the file (C:\\Qarn\\QarnIEx.exe) yourself.)\n" +
                c.failure);
        EXPECT_EQ(c.exitCode, exitCode);
        EXPECT_FALSE(fake.FindService("QarnIEx").has_value());
        Keys left = {"U", "U\\DefaultLabel", "V", "V\\DefaultIcon", "V\\DefaultLabel"};
        left.insert(left.end(), c.left.begin(), c.left.end());
        EXPECT_EQ(Sorted(left), DriveIconKeys(fake));
        EXPECT_TRUE(DriveIconKeys(fake, kDriveIcons32).empty());
        const auto events = fake.Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(c.failure.empty() ? MsgRemoved : MsgKeysLeft, events.back().id);
        if (!c.failure.empty()) {
            EXPECT_EQ((std::vector<std::string>{"QarnIEx", "E:", "5"}), events.back().strings);
        }
        EXPECT_EQ(0u, fake.OpenKeyCount());
    }

    // A removal that fails leaves the service, which takes its keys back itself.
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    WriteIconKeys(fake, 'E', "KB/KC");
    EXPECT_EQ(UninstallFromConsole(fake, true), "Could not remove QarnIEx. Error 5\n");
    EXPECT_EQ(LetterKeys({'E'}), DriveIconKeys(fake));
}
