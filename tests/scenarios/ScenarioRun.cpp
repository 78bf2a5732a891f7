#include "ScenarioRun.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace support {

void PrepareScenario(ScenarioMachine& machine, const DeviceEventScenario& scenario,
                     const std::string& base) {
    Platform& os = machine.os();
    ClearScenarioKeys(os, scenario);
    for (const ScenarioDrive& drive : scenario.drives) {
        const bool present =
            std::find(scenario.presentAtStart.begin(), scenario.presentAtStart.end(),
                      drive.letter) != scenario.presentAtStart.end();
        ASSERT_TRUE(machine.SetDrivePresent(drive.letter, present)) << drive.letter;
        if (present) {
            ASSERT_TRUE(WriteReaderRecords(os, drive, scenario.vista)) << drive.letter;
        }
    }
    for (const ExpectedLetter& stale : scenario.staleKeys)
        ASSERT_TRUE(WriteStaleKeys(os, base, stale)) << stale.letter;
}

void CheckScenarioState(Platform& os, const CIConEx& service, const std::string& base,
                        const std::string& otherBase, const std::string& slots,
                        const std::vector<ExpectedLetter>& keys,
                        const std::vector<std::string>& extra,
                        const std::vector<std::string>& unrelated) {
    std::vector<std::string> lines = extra;
    lines.insert(lines.end(), unrelated.begin(), unrelated.end());
    EXPECT_EQ(slots, Slots(service));
    EXPECT_EQ(ExpectedState(keys, lines), DriveIconState(os, base, service.Scan.ModuleDirectory));
    EXPECT_TRUE(DriveIconState(os, otherBase, "").empty());
}

void RunScenarioSteps(ScenarioMachine& machine, const DeviceEventScenario& scenario,
                      const CIConEx& service, const std::string& base, const std::string& otherBase,
                      const std::function<void(DWORD eventType)>& deliver,
                      const std::vector<std::string>& unrelated) {
    Platform& os = machine.os();
    int number = 0;
    for (const ScenarioStep& step : scenario.steps) {
        SCOPED_TRACE("step " + std::to_string(++number));
        const auto drive =
            std::find_if(scenario.drives.begin(), scenario.drives.end(),
                         [&](const ScenarioDrive& d) { return d.letter == step.letter; });
        switch (step.kind) {
        case ScenarioStep::Plug:
            ASSERT_NE(scenario.drives.end(), drive);
            ASSERT_TRUE(machine.SetDrivePresent(step.letter, true));
            ASSERT_TRUE(WriteReaderRecords(os, *drive, scenario.vista));
            break;
        case ScenarioStep::Unplug: ASSERT_TRUE(machine.SetDrivePresent(step.letter, false)); break;
        case ScenarioStep::Arrival:
        case ScenarioStep::Removal:
            deliver(step.kind == ScenarioStep::Arrival ? DBT_DEVICEARRIVAL
                                                       : DBT_DEVICEREMOVECOMPLETE);
            CheckScenarioState(os, service, base, otherBase, step.slots, step.keys, step.extra,
                               unrelated);
            break;
        case ScenarioStep::LabelKeyDeleted:
            ASSERT_TRUE(DeleteLabelKey(os, base, step.letter));
            break;
        case ScenarioStep::ForeignSubkeyAdded:
            ASSERT_TRUE(AddForeignSubkey(os, base, step.letter));
            break;
        }
    }
}

}  // namespace support
