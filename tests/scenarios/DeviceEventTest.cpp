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

#include <memory>
#include <string>
#include <vector>

#include "driveicons/IConEx.h"
#include "ScenarioRun.h"
#include "support/DeviceEventScenarios.h"

namespace {

using namespace support;

class DeviceEvents : public ::testing::TestWithParam<size_t> {};

TEST_P(DeviceEvents, RegistryAfterEachStep) {
    const DeviceEventScenario& scenario = DeviceEventScenarios()[GetParam()];
    std::unique_ptr<ScenarioMachine> machine = NewScenarioMachine();
    if (!machine->UseWindows(scenario.vista))
        GTEST_SKIP() << "needs Windows " << (scenario.vista ? "Vista" : "XP") << " x64";
    Platform& os = machine->os();
    const std::string base = IconBase(scenario.vista, machine->Wow64Process());
    const std::string otherBase = OtherIconBase(scenario.vista, machine->Wow64Process());
    PrepareScenario(*machine, scenario, base);
    if (HasFatalFailure()) return;

    CIConEx service(os);
    ASSERT_TRUE(service.Initialize());
    service.IsRunning = TRUE;
    {
        SCOPED_TRACE("after the start");
        CheckScenarioState(os, service, base, otherBase, scenario.slotsAfterStart,
                           scenario.keysAfterStart, {}, {});
    }
    RunScenarioSteps(*machine, scenario, service, base, otherBase, [](DWORD eventType) {
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DeliverDeviceEvent(eventType));
    });

    CNTService::Handler(SERVICE_CONTROL_STOP, 0, nullptr,
                        reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(1)));
    EXPECT_FALSE(service.IsRunning);
    {
        SCOPED_TRACE("after the stop");
        CheckScenarioState(os, service, base, otherBase, "", {}, scenario.extraAfterStop, {});
    }
    ClearScenarioKeys(os, scenario);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, DeviceEvents,
                         ::testing::Range<size_t>(0, DeviceEventScenarios().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(DeviceEventScenarios()[info.param].name);
                         });

}  // namespace
