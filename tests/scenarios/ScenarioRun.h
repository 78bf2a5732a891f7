// Runs a device-event scenario of tests/support against a started service,
// with GoogleTest checks after each step. Used with the service's handler
// called directly (DeviceEventTest.cpp, on both platforms) and with controls
// sent through the substitute's dispatcher (tests/driveicons/ServiceLifeTest.cpp).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driveicons/IConEx.h"
#include "support/DeviceEventScenarios.h"

namespace support {

// Drives present at the start with their records, the other letters absent,
// and the keys a killed run left, under `base`.
void PrepareScenario(ScenarioMachine& machine, const DeviceEventScenario& scenario,
                     const std::string& base);

// The tracked drives and the keys under `base` (plus `unrelated`, lines of
// other programs' keys there), and no key under `otherBase`.
void CheckScenarioState(Platform& os, const CIConEx& service, const std::string& base,
                        const std::string& otherBase, const std::string& slots,
                        const std::vector<ExpectedLetter>& keys,
                        const std::vector<std::string>& extra,
                        const std::vector<std::string>& unrelated);

// Applies the steps after the start; `deliver` hands the service one device event.
void RunScenarioSteps(ScenarioMachine& machine, const DeviceEventScenario& scenario,
                      const CIConEx& service, const std::string& base, const std::string& otherBase,
                      const std::function<void(DWORD eventType)>& deliver,
                      const std::vector<std::string>& unrelated = {});

}  // namespace support
