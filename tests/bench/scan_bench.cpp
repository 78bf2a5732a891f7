// Cost of the start-up scan (OnInit) and of one arrival scan as the machine's
// USB history grows: N device keys under USBSTOR (one or four instances each)
// and 1, 4 or 23 removable reader drives. Reports time and registry calls per
// scan. Parent-id variant (Windows XP), the reader device key sorting after
// all the others, so every letter walks the whole history. Then how long a
// stop sent during the start-up scan takes, and the handler for an arrival;
// and how long the start stays pending while arrivals keep coming.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "driveicons/IConEx.h"
#include "support/FakeWindows.h"
#include "support/FakeMachine.h"
#include "support/ReaderDevices.h"

namespace {

using namespace support;

const std::string kReader = "Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_1.00";

// The substitute answers the code-page query without recording it: the text
// searches ask it for every character of every device key name, and keeping
// a record of each would take gigabytes at 10,000 keys and 23 letters.
class BenchWindows : public FakeWindows {
public:
    BOOL IsDBCSLeadByte(BYTE) override { return FALSE; }  // code page 1252
};

void Build(FakeWindows& fake, int devices, int instances, int letters) {
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    fake.CreateKey(kDriveIcons);
    char name[96];
    // Foreign sticks: "Generic" sorts before "Qarn".
    for (int d = 0; d < devices - 1; ++d) {
        std::snprintf(name, sizeof name, "Disk&Ven_Generic%05d&Prod_USB_Flash_Disk&Rev_1.00", d);
        const std::string device = kUsbStor + "\\" + name;
        for (int i = 0; i < instances; ++i) {
            char instance[32];
            std::snprintf(instance, sizeof instance, "\\%08X%d&0", d, i);
            char parentId[32];
            std::snprintf(parentId, sizeof parentId, "7&%x&%d", d, i);
            fake.SetString(device + instance, "ParentIdPrefix", parentId);
        }
    }
    // One reader device key, one instance per drive letter.
    for (int l = 0; l < letters; ++l) {
        const char letter = static_cast<char>('D' + l);
        const std::string parentId = std::string("7&reader") + letter + "&0";
        fake.SetString(kUsbStor + "\\" + kReader + "\\" + letter + "&0", "ParentIdPrefix",
                       parentId);
        fake.SetDriveType(letter, DRIVE_REMOVABLE);
        fake.SetMountRecord(letter, ParentIdRecord(parentId));
    }
}

void Report(benchmark::State& state, FakeWindows& fake) {
    state.counters["reg_calls"] = static_cast<double>(fake.CountCallsWithPrefix("Reg"));
    state.counters["device_keys"] = static_cast<double>(state.range(0));
}

void StartupScan(benchmark::State& state) {
    BenchWindows fake;
    Build(fake, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
          static_cast<int>(state.range(2)));
    for (auto _ : state) {
        state.PauseTiming();
        fake.DeleteTree(kDriveIcons);
        fake.CreateKey(kDriveIcons);
        fake.ClearCalls();
        CIConEx service(fake);
        state.ResumeTiming();
        service.OnInit();
        state.PauseTiming();
        // 20 slots: of 23 reader drives, 'X' to 'Z' stay without keys.
        if (fake.SubkeyNames(kDriveIcons).size() !=
            static_cast<size_t>(std::min<int64_t>(state.range(2), DriveSlotCount))) {
            state.SkipWithError("not every reader drive was assigned");
            break;
        }
        Report(state, fake);
        state.ResumeTiming();
    }
}

// The last reader letter that gets a slot arrives while the others are tracked.
void ArrivalScan(benchmark::State& state) {
    BenchWindows fake;
    const int letters = static_cast<int>(state.range(2));
    Build(fake, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), letters);
    CIConEx service(fake);
    service.OnInit();
    const char arriving = static_cast<char>('D' + std::min(letters, DriveSlotCount) - 1);
    for (auto _ : state) {
        state.PauseTiming();
        for (DriveSlot& slot : service.Scan.DriveSlots) {
            if (slot.Letter == arriving) slot.Letter = 0;
        }
        fake.DeleteTree(kDriveIcons + "\\" + arriving);
        fake.ClearCalls();
        state.ResumeTiming();
        service.OnDeviceChange(DBT_DEVICEARRIVAL, nullptr);
        state.PauseTiming();
        if (!fake.KeyExists(kDriveIcons + "\\" + arriving)) {
            state.SkipWithError("the arriving drive was not assigned");
            break;
        }
        Report(state, fake);
        state.ResumeTiming();
    }
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"devices", "instances", "letters"});
    for (int devices : {10, 100, 1000, 10000}) {
        for (int instances : {1, 4}) {
            for (int letters : {1, 4, 23}) b->Args({devices, instances, letters});
        }
    }
    b->Unit(benchmark::kMillisecond);
}

using Clock = std::chrono::steady_clock;

// Calls `onKey` on the service thread when the start-up scan enumerates its
// device key number `at`, and notes when STOPPED is reported.
class TimedStartWindows : public BenchWindows {
public:
    std::function<void()> onKey;
    int at = 1;
    int deviceKeys = 0;
    Clock::time_point stopped;

    LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        const LONG result = BenchWindows::RegEnumKeyExA(key, index, name, nameLength, reserved,
                                                        keyClass, classLength, lastWriteTime);
        if (result == ERROR_SUCCESS && std::strncmp(name, "Disk&", 5) == 0 && ++deviceKeys == at)
            onKey();
        return result;
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
        if (status->dwCurrentState == SERVICE_STOPPED && stopped == Clock::time_point{})
            stopped = Clock::now();
        return BenchWindows::SetServiceStatus(handle, status);
    }
};

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The service run through the dispatcher. Halfway through the start-up
// scan's first walk comes a stop (mode 0), an arrival and then a stop (1), or
// an arrival sent from another thread (2). Time, per run: from then to
// STOPPED (the substitute's Sleep only yields, so the Run loop's period, up
// to a second on Windows, is left out), or until the handler has returned.
void DuringStartup(benchmark::State& state) {
    TimedStartWindows fake;
    const int devices = static_cast<int>(state.range(0));
    Build(fake, devices, 1, static_cast<int>(state.range(1)));
    fake.at = std::max(1, devices / 2);
    const int64_t mode = state.range(2);
    for (auto _ : state) {
        fake.deviceKeys = 0;
        fake.stopped = {};
        Clock::time_point from;
        std::promise<void> reached;
        fake.onKey = [&] {
            from = Clock::now();
            if (mode == 2) return reached.set_value();
            if (mode == 1) fake.PostControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
            fake.PostControl(SERVICE_CONTROL_STOP);
        };
        CIConEx service(fake);
        support::DispatcherRun run(fake, service);
        if (mode == 2) {
            reached.get_future().wait();
            const Clock::time_point sent = Clock::now();
            fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
            state.SetIterationTime(Seconds(sent, Clock::now()));
            run.Stop();
        } else {
            run.Join();
            state.SetIterationTime(Seconds(from, fake.stopped));
        }
        if (!fake.SubkeyNames(kDriveIcons).empty()) state.SkipWithError("keys outlived the stop");
    }
}

void LatencySizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"devices", "letters", "mode"});
    for (int devices : {10, 10000}) {
        for (int letters : {4, 23}) {
            for (int mode : {0, 1, 2}) b->Args({devices, letters, mode});
        }
    }
    b->UseManualTime()->Iterations(1)->Repetitions(9)->ReportAggregatesOnly(true);
    b->Unit(benchmark::kMicrosecond);
}

// Notes when the start-up scan wrote its last marker (the first `scanMarkers`
// written) and when RUNNING is reported.
class HandOverWindows : public BenchWindows {
public:
    int scanMarkers = 0;
    std::atomic<int> markers{0};
    std::atomic<Clock::rep> scanEnd{0};
    std::atomic<Clock::rep> running{0};

    LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD dataSize) override {
        const LONG result =
            BenchWindows::RegSetValueExA(key, valueName, reserved, type, data, dataSize);
        if (valueName != nullptr && std::strcmp(valueName, "QarnHMD") == 0 &&
            ++markers == scanMarkers)
            scanEnd = Clock::now().time_since_epoch().count();
        return result;
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
        if (status->dwCurrentState == SERVICE_RUNNING && running == 0)
            running = Clock::now().time_since_epoch().count();
        return BenchWindows::SetServiceStatus(handle, status);
    }
};

// Volume arrivals posted from another thread every `period` ms from the start
// on, for a removable drive that is no reader's: each costs a walk over all N
// device keys. Time from the end of the start-up scan to RUNNING.
void HandOver(benchmark::State& state) {
    HandOverWindows fake;
    const int letters = 4;
    Build(fake, static_cast<int>(state.range(0)), 1, letters);
    fake.SetDriveType('S', DRIVE_REMOVABLE);
    fake.SetMountRecord('S', ParentIdRecord("7&nobody&0"));
    fake.scanMarkers = letters;
    const auto period = std::chrono::milliseconds(state.range(1));
    for (auto _ : state) {
        fake.DeleteTree(kDriveIcons);
        fake.markers = 0;
        fake.scanEnd = 0;
        fake.running = 0;
        CIConEx service(fake);
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            while (feeding) {
                fake.PostControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
                std::this_thread::sleep_for(period);
            }
        });
        support::DispatcherRun run(fake, service);
        fake.WaitForReportedState(SERVICE_RUNNING);
        feeding = false;
        feeder.join();
        run.Stop();
        if (fake.scanEnd == 0 || fake.running == 0) {
            state.SkipWithError("the start-up scan or RUNNING was not seen");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(Clock::duration(fake.running - fake.scanEnd)).count());
    }
}

void HandOverSizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"devices", "period_ms"});
    for (int devices : {100, 1000, 10000}) {
        for (int period : {1, 10}) b->Args({devices, period});
    }
    b->UseManualTime()->Iterations(1)->Repetitions(5)->ReportAggregatesOnly(true);
    b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(StartupScan)->Apply(Sizes);
BENCHMARK(ArrivalScan)->Apply(Sizes);
BENCHMARK(DuringStartup)->Apply(LatencySizes);
BENCHMARK(HandOver)->Apply(HandOverSizes);
BENCHMARK_MAIN();
