// The drive icon service driven through its control handler with volume
// arrivals and removals, on every scenario of tests/support; the registry is
// checked after each step. Built twice: into the unit tests with the
// substitute, and into tests/win32's device_events.exe with the real platform.
//
// The handler is called the way the service control manager's dispatcher
// calls it, after Initialize has run OnInit, as ServiceMain would: neither
// Wine nor a test can have the manager itself send device events to a
// service (Wine's user32 leaves service device notifications unimplemented).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "driveicons/IConEx.h"
#include "support/DeviceEventScenarios.h"

namespace {

using namespace support;

class DeviceEvents : public ::testing::TestWithParam<size_t> {};

TEST_P(DeviceEvents, RegistryAfterEachStep) {
    const DeviceEventScenario& scenario = DeviceEventScenarios()[GetParam()];
    std::unique_ptr<ScenarioMachine> machine = NewScenarioMachine();
    if (!machine->UseWindows(scenario.vista))
        GTEST_SKIP() << "needs Windows " << (scenario.vista ? "Vista" : "XP") << " under WOW64";
    Platform& os = machine->os();
    ClearScenarioKeys(os, scenario);
    const std::string base = IconBase(scenario.vista);
    for (const ScenarioDrive& drive : scenario.drives) {
        const bool present = std::find(scenario.presentAtStart.begin(), scenario.presentAtStart.end(),
                                       drive.letter) != scenario.presentAtStart.end();
        ASSERT_TRUE(machine->SetDrivePresent(drive.letter, present)) << drive.letter;
        if (present) {
            ASSERT_TRUE(WriteReaderRecords(os, drive, scenario.vista)) << drive.letter;
        }
    }
    for (const ExpectedLetter& stale : scenario.staleKeys)
        ASSERT_TRUE(WriteStaleKeys(os, base, stale)) << stale.letter;

    CIConEx service(os);
    ASSERT_TRUE(service.Initialize());
    service.IsRunning = TRUE;
    auto check = [&](const std::string& when, const std::string& slots,
                     const std::vector<ExpectedLetter>& keys,
                     const std::vector<std::string>& extra) {
        SCOPED_TRACE(when);
        EXPECT_EQ(slots, Slots(service));
        EXPECT_EQ(ExpectedState(keys, extra), DriveIconState(os, base, service.ModuleDirectory));
        EXPECT_TRUE(DriveIconState(os, OtherIconBase(scenario.vista), "").empty());
    };
    check("after the start", scenario.slotsAfterStart, scenario.keysAfterStart, {});

    int number = 0;
    for (const ScenarioStep& step : scenario.steps) {
        const std::string when = "step " + std::to_string(++number);
        const auto drive = std::find_if(scenario.drives.begin(), scenario.drives.end(),
                                        [&](const ScenarioDrive& d) { return d.letter == step.letter; });
        switch (step.kind) {
        case ScenarioStep::Plug:
            ASSERT_NE(scenario.drives.end(), drive) << when;
            ASSERT_TRUE(machine->SetDrivePresent(step.letter, true)) << when;
            ASSERT_TRUE(WriteReaderRecords(os, *drive, scenario.vista)) << when;
            break;
        case ScenarioStep::Unplug:
            ASSERT_TRUE(machine->SetDrivePresent(step.letter, false)) << when;
            break;
        case ScenarioStep::Arrival:
        case ScenarioStep::Removal:
            EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
                      DeliverDeviceEvent(step.kind == ScenarioStep::Arrival ? DBT_DEVICEARRIVAL
                                                                            : DBT_DEVICEREMOVECOMPLETE));
            check(when, step.slots, step.keys, step.extra);
            break;
        case ScenarioStep::LabelKeyDeleted:
            ASSERT_TRUE(DeleteLabelKey(os, base, step.letter)) << when;
            break;
        case ScenarioStep::ForeignSubkeyAdded:
            ASSERT_TRUE(AddForeignSubkey(os, base, step.letter)) << when;
            break;
        }
    }

    CNTService::Handler(SERVICE_CONTROL_STOP, 0, nullptr,
                        reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(1)));
    EXPECT_FALSE(service.IsRunning);
    check("after the stop", "", {}, scenario.extraAfterStop);
    ClearScenarioKeys(os, scenario);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DeviceEvents,
                         ::testing::Range<size_t>(0, DeviceEventScenarios().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(DeviceEventScenarios()[info.param].name);
                         });

}  // namespace
