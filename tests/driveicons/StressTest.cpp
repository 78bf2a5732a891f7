// Device events racing the start-up scan: whatever the interleaving, the
// service must end where the same events run one after another would leave it.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "DriveFixture.h"
#include "support/Interleavings.h"

using namespace fixture;

namespace {

const DWORD kEvents[] = {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE,
                         DBT_DEVICEARRIVAL, 0x0007 /* DBT_DEVNODES_CHANGED */,
                         DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE,
                         DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL};

// 64-bit Vista: instance-path variant, keys in the 64-bit view. Readers at E,
// G, K and R, a foreign stick at F, and keys a killed run left for E and P.
void BuildMachine(FakeWindows& fake) {
    fake.SetVersion(6, 0, VER_NT_WORKSTATION);
    fake.SetWow64Process(true);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    PlugInstancePathDevice(fake, 'E', kKbModule, "0001&0");
    PlugInstancePathDevice(fake, 'F', kStick, "AA11&0");
    PlugInstancePathDevice(fake, 'G', kKcKb, "0002&0");
    PlugInstancePathDevice(fake, 'K', kKdSlot, "0003&0");
    PlugInstancePathDevice(fake, 'R', kKbModule, "0004&0");
    fake.SetDriveType('C', DRIVE_FIXED);
    WriteIconKeys(fake, 'E', "KB Media");
    WriteIconKeys(fake, 'P', "KD Media");
}

// Every key below DriveIcons in both views, with the values the service
// writes, and the slots.
std::string State(const FakeWindows& fake, const CIConEx& service) {
    std::string text = "slots: " + Slots(service) + "\n";
    for (const std::string& base : {kDriveIcons, kDriveIcons32}) {
        for (const std::string& path : fake.KeysBelow(base)) {
            text += path;
            for (const char* name : {"", "QarnHMD"}) {
                if (auto value = fake.GetValue(path, name)) {
                    text += " [" + std::string(name) + "]=" + value->AsString();
                }
            }
            text += "\n";
        }
    }
    return text;
}

}  // namespace

TEST(DriveIconStress, ArrivalBeforeStartLeavesNoKeysInTheOtherView) {
    // 64-bit XP: parent-id variant, keys in the 64-bit view, no DefaultIcon.
    ArrivalBeforeStart fake;
    fake.SetVersion(5, 2, VER_NT_WORKSTATION);
    fake.SetWow64Process(true);
    PlugParentIdDevice(fake, 'E', kKbModule, "1&0", "7&e&0");
    CIConEx service(fake);
    {
        DispatcherRun run(fake, service);
        ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));
        EXPECT_EQ("E6 ", Slots(service));
        EXPECT_TRUE(HasDriveKeys(fake, 'E', "KB Media", std::nullopt));
        EXPECT_TRUE(DriveIconKeys(fake, kDriveIcons32).empty());
    }
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_TRUE(DriveIconKeys(fake, kDriveIcons32).empty());
}

TEST(DriveIconStress, DeviceEventsDuringStartEndAsIfInSequence) {
    FakeWindows reference;
    BuildMachine(reference);
    CIConEx sequential(reference);
    ASSERT_TRUE(sequential.OnInit());
    for (DWORD event : kEvents) sequential.OnDeviceChange(event, nullptr);
    const std::string expected = State(reference, sequential);
    ASSERT_EQ("slots: E6 G2 K3 R6 \n", expected.substr(0, expected.find('\n') + 1));

    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        FakeWindows fake;
        BuildMachine(fake);
        CIConEx service(fake);
        // The events queue from before the dispatcher starts, so the first
        // reach the handler as soon as it is registered, while OnInit runs.
        std::thread sender([&fake, round] {
            for (size_t i = 0; i < sizeof kEvents / sizeof kEvents[0]; ++i) {
                fake.PostControl(SERVICE_CONTROL_DEVICEEVENT, kEvents[i]);
                if ((round + static_cast<int>(i)) % 3 == 0) std::this_thread::yield();
            }
        });
        DispatcherRun run(fake, service);
        sender.join();
        ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));
        // Handled after every posted event.
        fake.SendControl(SERVICE_CONTROL_INTERROGATE);

        EXPECT_EQ(expected, State(fake, service));
        EXPECT_EQ(0u, fake.OpenKeyCount());

        run.Stop();
        EXPECT_EQ("slots: \n", State(fake, service));
        EXPECT_EQ(0u, fake.OpenKeyCount());
        if (HasFailure()) break;
    }
}
