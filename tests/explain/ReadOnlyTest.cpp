// The explanation runs the service's start-up, which deletes old keys and
// writes new ones; none of that may reach the machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../driveicons/DriveFixture.h"
#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ShownText.h"
#include "platform/ReadOnlyPlatform.h"
#include "platform/ScopedHandle.h"

using namespace fixture;

namespace {

// Every call of the substitute that changes something.
size_t ChangingCalls(const FakeWindows& fake) {
    size_t count = 0;
    for (const char* function :
         {"RegSetValueExA", "RegCreateKeyA", "RegDeleteKeyA", "RegDeleteKeyExA", "RegCreateKeyExA",
          "CreateServiceA", "DeleteService", "ControlService", "ReportEventA",
          "RegisterEventSourceA", "SetServiceStatus", "RegisterDeviceNotificationA",
          "StartServiceCtrlDispatcherA", "RegisterServiceCtrlHandlerExA"}) {
        count += fake.CountCalls(function);
    }
    return count;
}

}  // namespace

TEST(ReadOnlyPlatform, PassesReadsAndRefusesEveryChange) {
    FakeWindows fake;
    fake.SetString("SOFTWARE\\Qarn", "Name", "old");
    ReadOnlyPlatform os(fake);
    fake.ClearCalls();

    // A read-only "create" of an existing key opens it; of a missing one fails
    // without making it.
    ScopedRegKey key(os);
    DWORD disposition = 0;
    EXPECT_EQ(ERROR_SUCCESS, os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn", 0, nullptr,
                                                REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                                                key.receive(), &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    char value[16] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS, os.RegQueryValueExA(key.get(), "Name", nullptr, nullptr,
                                                 reinterpret_cast<BYTE*>(value), &size));
    EXPECT_STREQ("old", value);
    ScopedRegKey missing(os);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn\\New", 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WOW64_64KEY, nullptr,
                                 missing.receive(), nullptr));

    // Write access is refused at the open already, and every change as such.
    ScopedRegKey writable(os);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn", 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                 writable.receive(), nullptr));
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn", 0,
                                                    KEY_READ | KEY_SET_VALUE, writable.receive()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegSetValueExA(key.get(), "Name", 0, REG_SZ,
                                                     reinterpret_cast<const BYTE*>("new"), 4));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              os.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", writable.receive()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn"));
    const FARPROC deleteKeyEx =
        os.GetProcAddress(os.GetModuleHandleA("Advapi32"), "RegDeleteKeyExA");
    ASSERT_NE(nullptr, deleteKeyEx);
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.CallRegDeleteKeyExA(deleteKeyEx, HKEY_LOCAL_MACHINE,
                                                          "SOFTWARE\\Qarn", KEY_WOW64_64KEY, 0));

    // The service manager: looking is allowed, installing and controlling not.
    EXPECT_EQ(nullptr, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), os.GetLastError());
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, 0x0001 /* connect */));
    ASSERT_TRUE(manager);
    EXPECT_EQ(nullptr,
              os.CreateServiceA(manager.get(), "QarnIEx", "QarnIEx", SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                "C:\\x.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(nullptr, os.RegisterEventSourceA(nullptr, "QarnIEx"));
    EXPECT_FALSE(os.ReportEventA(nullptr, EVENTLOG_INFORMATION_TYPE, 0, 100, nullptr, 0, 0, nullptr,
                                 nullptr));
    EXPECT_EQ(nullptr, os.RegisterDeviceNotificationA(nullptr, nullptr, 0));
    FakeWindows::ServiceRecord running;
    running.name = "Other";
    running.state = SERVICE_RUNNING;
    running.processId = 4;
    fake.AddService(running);
    EXPECT_EQ(nullptr, os.OpenProcess(0x0001 /* terminate */, FALSE, 4));
    EXPECT_EQ(1, os.Refused().at("OpenProcess"));
    ScopedKernelHandle process(os, os.OpenProcess(SYNCHRONIZE, FALSE, 4));  // waiting only reads
    EXPECT_TRUE(process);

    EXPECT_EQ(0u, ChangingCalls(fake));
    EXPECT_FALSE(fake.KeyExists("SOFTWARE\\Qarn\\New"));
    EXPECT_FALSE(fake.FindService("QarnIEx"));
    EXPECT_EQ("old", fake.GetValue("SOFTWARE\\Qarn", "Name")->AsString());
    EXPECT_EQ(1, os.Refused().at("RegSetValueExA"));
    EXPECT_EQ(2, os.Refused().at("RegCreateKeyExA"));
    EXPECT_EQ(1, os.Refused().at("RegOpenKeyExA"));
}

// Readers that the start-up would give keys, old marked keys that it would
// delete, on each platform row: the explanation says so, and the machine
// sees no change at all.
TEST(ReadOnlyPlatform, NoWriteReachesTheMachineWhileTheScanAssigns) {
    struct Row {
        const char* name;
        DWORD major, minor;
        bool wow64;
    };
    for (const Row& row : {Row{"xp", 5, 1, false}, Row{"xp x64", 5, 2, true},
                           Row{"vista", 6, 0, false}, Row{"vista x64", 6, 0, true}}) {
        SCOPED_TRACE(row.name);
        const bool vista = row.major == 6;
        FakeWindows fake;
        fake.SetVersion(row.major, row.minor, VER_NT_WORKSTATION);
        fake.SetWow64Process(row.wow64);
        fake.SetModulePath("C:\\Qarn\\QarnIExplain.exe");
        if (vista) {
            PlugInstancePathDevice(fake, 'E', kKcKb, "1&0");
            PlugInstancePathDevice(fake, 'F', kKfModule, "2&0");
        } else {
            PlugParentIdDevice(fake, 'E', kKcKb, "1&0", "7&e&0");
            PlugParentIdDevice(fake, 'F', kKfModule, "2&0", "7&f&0");
        }
        WriteIconKeys(fake, 'E', "KA Media");  // rewritten at start
        WriteIconKeys(fake, 'K', "KD Media");  // deleted at start
        const std::vector<std::string> keysBefore = fake.KeysBelow("");
        fake.ClearCalls();

        const Explanation explanation = ExplainDrives(fake, ExplainOptions{});

        EXPECT_EQ(0u, ChangingCalls(fake));
        EXPECT_EQ(keysBefore, fake.KeysBelow(""));
        EXPECT_TRUE(HasDriveKeys(fake, 'E', "KA Media", std::string("C:\\Old\\QarnIcons.dll,0")));
        EXPECT_EQ(0u, fake.OpenKeyCount());
        // What was refused is what the service would have done.
        EXPECT_TRUE(explanation.Letter('E').GetsIcon());
        EXPECT_TRUE(explanation.Letter('F').GetsIcon());
        EXPECT_TRUE(explanation.Letter('K').deleted);
        // Label, icon and marker of E and F (the parent-id scan writes no
        // icon under WOW64); three keys each of E and K.
        EXPECT_EQ(row.wow64 && !vista ? 4 : 6, explanation.refused.at("RegCreateKeyExA"));
        EXPECT_EQ(6, explanation.refused.at(row.wow64 ? "RegDeleteKeyExA" : "RegDeleteKeyA"));
    }
}
