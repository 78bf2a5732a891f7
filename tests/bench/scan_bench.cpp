// Cost of the start-up scan (OnInit) and of one arrival scan as the machine's
// USB history grows: N device keys under USBSTOR (one or four instances each)
// and 1, 4 or 23 removable reader drives. Reports time and registry calls per
// scan. Parent-id variant (Windows XP), the reader device key sorting after
// all the others, so every letter walks the whole history. Then, with the
// service run through the dispatcher: how long a stop sent during the start-up
// scan takes to STOPPED, and how long the handler takes to return from an
// arrival sent then.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "driveicons/IConEx.h"
#include "platform/fake/FakeWindows.h"
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
        fake.SetString(kUsbStor + "\\" + kReader + "\\" + letter + "&0", "ParentIdPrefix", parentId);
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
        for (DriveSlot& slot : service.DriveSlots) {
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
// device key number `at` (counted from 1), and notes when STOPPED is reported.
class TimedStartWindows : public BenchWindows {
public:
    std::function<void()> onKey;
    int at = 1;

    void Reset() {
        deviceKeys_ = 0;
        stopped_ = {};
    }
    Clock::time_point Stopped() const { return stopped_; }

    LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                       LPSTR keyClass, LPDWORD classLength, PFILETIME lastWriteTime) override {
        const LONG result = BenchWindows::RegEnumKeyExA(key, index, name, nameLength, reserved,
                                                        keyClass, classLength, lastWriteTime);
        if (result == ERROR_SUCCESS && std::strncmp(name, "Disk&", 5) == 0 &&
            ++deviceKeys_ == at && onKey) {
            onKey();
        }
        return result;
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
        if (status != nullptr && status->dwCurrentState == SERVICE_STOPPED &&
            stopped_ == Clock::time_point{}) {
            stopped_ = Clock::now();
        }
        return BenchWindows::SetServiceStatus(handle, status);
    }

private:
    int deviceKeys_ = 0;  // service thread only
    Clock::time_point stopped_;
};

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// A stop (range(2) 1: an arrival, then a stop) posted when the start-up scan
// is halfway through its first walk; the time to STOPPED. The substitute's
// Sleep only yields, so the Run loop's period (up to a second on Windows) is
// not in the figure.
void StopDuringStartup(benchmark::State& state) {
    TimedStartWindows fake;
    const int devices = static_cast<int>(state.range(0));
    Build(fake, devices, 1, static_cast<int>(state.range(1)));
    fake.at = std::max(1, devices / 2);
    const bool arrivalFirst = state.range(2) != 0;
    Clock::time_point posted;
    fake.onKey = [&] {
        posted = Clock::now();
        if (arrivalFirst) fake.PostControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
        fake.PostControl(SERVICE_CONTROL_STOP);
    };
    for (auto _ : state) {
        fake.Reset();
        CIConEx service(fake);
        support::DispatcherRun run(fake, service);
        run.Join();
        state.SetIterationTime(Seconds(posted, fake.Stopped()));
        if (!fake.SubkeyNames(kDriveIcons).empty()) {
            state.SkipWithError("keys outlived the stop");
            break;
        }
    }
}

// An arrival sent from another thread when the start-up scan is halfway
// through its first walk: the time until the handler has returned.
void HandlerDuringStartup(benchmark::State& state) {
    TimedStartWindows fake;
    const int devices = static_cast<int>(state.range(0));
    Build(fake, devices, 1, static_cast<int>(state.range(1)));
    fake.at = std::max(1, devices / 2);
    std::mutex mu;
    std::condition_variable reached;
    bool atKey = false;
    fake.onKey = [&] {
        std::lock_guard<std::mutex> lock(mu);
        atKey = true;
        reached.notify_all();
    };
    for (auto _ : state) {
        fake.Reset();
        atKey = false;
        CIConEx service(fake);
        support::DispatcherRun run(fake, service);
        double seconds = 0;
        std::thread sender([&] {
            std::unique_lock<std::mutex> lock(mu);
            reached.wait(lock, [&] { return atKey; });
            lock.unlock();
            const Clock::time_point sent = Clock::now();
            fake.SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL);
            seconds = Seconds(sent, Clock::now());
        });
        sender.join();
        run.Stop();
        state.SetIterationTime(seconds);
    }
}

void LatencySizes(benchmark::internal::Benchmark* b, bool withArrival) {
    if (withArrival) {
        b->ArgNames({"devices", "letters", "arrival_first"});
    } else {
        b->ArgNames({"devices", "letters"});
    }
    for (int devices : {10, 10000}) {
        for (int letters : {4, 23}) {
            if (!withArrival) {
                b->Args({devices, letters});
                continue;
            }
            b->Args({devices, letters, 0});
            b->Args({devices, letters, 1});
        }
    }
    b->UseManualTime()->Iterations(7)->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(StartupScan)->Apply(Sizes);
BENCHMARK(ArrivalScan)->Apply(Sizes);
BENCHMARK(StopDuringStartup)->Apply([](benchmark::internal::Benchmark* b) { LatencySizes(b, true); });
BENCHMARK(HandlerDuringStartup)->Apply([](benchmark::internal::Benchmark* b) {
    LatencySizes(b, false);
});
BENCHMARK_MAIN();
