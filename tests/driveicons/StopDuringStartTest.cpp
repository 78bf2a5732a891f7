// A stop request, or an event the service ignores, that comes while a long
// start-up scan runs: the handler must not wait for the scan, the reported
// states must only move forward, and no key of ours may outlive the stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DriveFixture.h"
#include "service/EventIds.h"

using namespace fixture;

namespace {

constexpr int kForeignDevices = 300;

// Holds the start-up scan at one step until the test, or a stop request that
// the service has taken note of, opens the gate. Device keys are told from
// instance keys by their "Disk&" names.
class GatedScanWindows : public FakeWindows {
public:
    enum class Step { BeforeStart, FirstLetter, DeviceKey, FirstWrite };

    explicit GatedScanWindows(Step step, int deviceKey = 0) : step_(step), deviceKey_(deviceKey) {}

    bool WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mu_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
    }
    bool StillHeld() {
        std::lock_guard<std::mutex> lock(mu_);
        return holding_;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        changed_.notify_all();
    }
    void OpenOnceStopRequested(const CIConEx& service) {
        std::lock_guard<std::mutex> lock(mu_);
        service_ = &service;
    }
    int DeviceKeysAfterHold() {
        std::lock_guard<std::mutex> lock(mu_);
        return deviceKeysAfterHold_;
    }

    HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override {
        HDEVNOTIFY notification =
            FakeWindows::RegisterDeviceNotificationA(recipient, filter, flags);
        if (step_ == Step::BeforeStart) Hold();
        return notification;
    }
    UINT GetDriveTypeA(LPCSTR root) override {
        if (step_ == Step::FirstLetter && root != nullptr && root[0] == 'D') Hold();
        return FakeWindows::GetDriveTypeA(root);
    }
    LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        const LONG result = FakeWindows::RegEnumKeyExA(key, index, name, nameLength, reserved,
                                                       keyClass, classLength, lastWriteTime);
        if (result == ERROR_SUCCESS && std::strncmp(name, "Disk&", 5) == 0) {
            bool hold = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (held_) ++deviceKeysAfterHold_;
                hold = step_ == Step::DeviceKey && ++deviceKeys_ == deviceKey_;
            }
            if (hold) Hold();
        }
        return result;
    }
    LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override {
        if (step_ == Step::FirstWrite) Hold();
        return FakeWindows::RegSetValueExA(key, valueName, reserved, type, data, dataSize);
    }

private:
    // Only the first time; bounded, so a service that waits for the test
    // fails it instead of hanging it.
    void Hold() {
        std::unique_lock<std::mutex> lock(mu_);
        if (held_) return;
        held_ = holding_ = true;
        changed_.notify_all();
        // The stop flag is polled: the service raises it without a platform call.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!open_ && !(service_ != nullptr && service_->Scan.StopRequested()) &&
               std::chrono::steady_clock::now() < deadline) {
            changed_.wait_for(lock, std::chrono::milliseconds(1));
        }
        holding_ = false;
    }

    const Step step_;
    const int deviceKey_;
    std::mutex mu_;
    std::condition_variable changed_;
    bool held_ = false;
    bool holding_ = false;
    bool open_ = false;
    const CIConEx* service_ = nullptr;
    int deviceKeys_ = 0;
    int deviceKeysAfterHold_ = 0;
};

// 64-bit Vista with a long USB history: the readers' device keys sort after
// kForeignDevices sticks, so each reader letter's search walks past them all.
void BuildLongHistoryMachine(FakeWindows& fake) {
    fake.SetVersion(6, 0, VER_NT_WORKSTATION);
    fake.SetWow64Process(true);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    for (int i = 0; i < kForeignDevices; ++i) {
        char device[64];
        std::snprintf(device, sizeof device, "Disk&Ven_Other&Prod_Stick_%03d&Rev_1.00", i);
        fake.CreateKey(kUsbStor + "\\" + device + "\\1&0");
    }
    PlugInstancePathDevice(fake, 'E', kKcModule, "0001&0");
    PlugInstancePathDevice(fake, 'G', kKcKb, "0002&0");
    PlugInstancePathDevice(fake, 'K', kKdSlot, "0003&0");
    WriteIconKeys(fake, 'P', "KD Media");  // left by a killed run
}

std::vector<DWORD> ReportedStates(const FakeWindows& fake) {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : fake.StatusReports())
        states.push_back(status.dwCurrentState);
    return states;
}

std::vector<DWORD> EventIds(const FakeWindows& fake) {
    std::vector<DWORD> ids;
    for (const FakeWindows::Event& event : fake.Events()) ids.push_back(event.id);
    return ids;
}

}  // namespace

TEST(StopDuringStart, TakenAtOnceAtEveryPointOfTheScan) {
    using Step = GatedScanWindows::Step;
    const struct {
        const char* name;
        Step step;
        int deviceKey;
    } cases[] = {
        {"before OnInit", Step::BeforeStart, 0},
        {"before the first letter", Step::FirstLetter, 0},
        {"between device keys", Step::DeviceKey, 100},
        {"during the writes", Step::FirstWrite, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GatedScanWindows fake(c.step, c.deviceKey);
        BuildLongHistoryMachine(fake);
        CIConEx service(fake);
        DispatcherRun run(fake, service);
        ASSERT_TRUE(fake.WaitUntilHeld());

        fake.OpenOnceStopRequested(service);
        // Returns once the handler has: it waits for the scan's current step
        // only, then the run ends.
        run.Stop();

        // A scan run to its end would walk all sticks for each reader letter.
        EXPECT_EQ(0, fake.DeviceKeysAfterHold()) << "the scan went on after the stop";
        const std::vector<DWORD> states = ReportedStates(fake);
        EXPECT_EQ(states.end(), std::find(states.begin(), states.end(), SERVICE_RUNNING));
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), states.back());
        EXPECT_EQ(0u, fake.StatusReports().back().dwWin32ExitCode);
        const auto stopPending = std::find(states.begin(), states.end(), SERVICE_STOP_PENDING);
        EXPECT_TRUE(std::all_of(stopPending, states.end(), [](DWORD state) {
            return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
        }));
        // Never started, so only the stop is logged.
        EXPECT_EQ(std::vector<DWORD>{MsgStopped}, EventIds(fake));
        EXPECT_TRUE(DriveIconKeys(fake).empty());
        EXPECT_TRUE(DriveIconKeys(fake, kDriveIcons32).empty());
        EXPECT_EQ(0u, fake.OpenKeyCount());
    }
}

TEST(StopDuringStart, IgnoredEventDoesNotWaitForTheScan) {
    GatedScanWindows fake(GatedScanWindows::Step::DeviceKey, 100);
    BuildLongHistoryMachine(fake);
    CIConEx service(fake);
    DispatcherRun run(fake, service);
    ASSERT_TRUE(fake.WaitUntilHeld());

    // Windows asks this before a safe removal and waits for the answer.
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEQUERYREMOVE));
    EXPECT_TRUE(fake.StillHeld()) << "the handler waited for the start-up scan";

    fake.Open();
    ASSERT_TRUE(fake.WaitForReportedState(SERVICE_RUNNING));
    EXPECT_EQ("E8 G2 K3 ", Slots(service));
    run.Stop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());
}

// An arrival, then a stop, while the start-up scan is held: the handler
// returns at once for the arrival, the stop behind it is taken, and neither
// the scan nor the arrival leaves a key.
TEST(StopDuringStart, StopBehindAnArrivalIsTakenAtOnce) {
    GatedScanWindows fake(GatedScanWindows::Step::DeviceKey, 100);
    BuildLongHistoryMachine(fake);
    CIConEx service(fake);
    DispatcherRun run(fake, service);
    ASSERT_TRUE(fake.WaitUntilHeld());
    fake.OpenOnceStopRequested(service);

    std::mutex mu;
    std::condition_variable answered;
    bool arrivalAnswered = false;
    std::thread sender([&] {
        fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
        std::lock_guard<std::mutex> lock(mu);
        arrivalAnswered = true;
        answered.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mu);
        EXPECT_TRUE(answered.wait_for(lock, std::chrono::seconds(10), [&] {
            return arrivalAnswered;
        })) << "the handler waited for the start-up scan";
    }
    EXPECT_TRUE(fake.StillHeld());

    fake.PostControl(SERVICE_CONTROL_STOP);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!service.Scan.StopRequested() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(service.Scan.StopRequested()) << "the stop queued behind the arrival was not taken";
    fake.Open();  // a service that missed the stop runs on from here
    sender.join();
    run.Join();

    EXPECT_EQ(0, fake.DeviceKeysAfterHold()) << "the scan went on after the stop";
    const std::vector<DWORD> states = ReportedStates(fake);
    EXPECT_EQ(states.end(), std::find(states.begin(), states.end(), SERVICE_RUNNING));
    EXPECT_EQ(std::vector<DWORD>{MsgStopped}, EventIds(fake));
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_TRUE(DriveIconKeys(fake, kDriveIcons32).empty());
    EXPECT_EQ(0u, fake.OpenKeyCount());
}
