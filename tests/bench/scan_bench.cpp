// Cost of the start-up scan (OnInit) and of one arrival scan as the machine's
// USB history grows: N device keys under USBSTOR (one or four instances each)
// and 1, 4 or 23 removable reader drives. Reports time and registry calls per
// scan. Parent-id variant (Windows XP), the reader device key sorting after
// all the others, so every letter walks the whole history.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driveicons/IConEx.h"
#include "platform/fake/FakeWindows.h"
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

}  // namespace

BENCHMARK(StartupScan)->Apply(Sizes);
BENCHMARK(ArrivalScan)->Apply(Sizes);
BENCHMARK_MAIN();
