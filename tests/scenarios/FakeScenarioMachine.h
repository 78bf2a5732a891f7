// The device-event scenarios' machine on the in-memory substitute.
#pragma once

#include "support/FakeWindows.h"
#include "support/DeviceEventScenarios.h"

namespace support {

class FakeScenarioMachine : public ScenarioMachine {
public:
    explicit FakeScenarioMachine(FakeWindows& fake) : fake_(fake) {}
    Platform& os() override { return fake_; }
    // Under WOW64, as the Wine runner's prefix runs the service.
    bool UseWindows(bool vista) override;
    bool Wow64Process() override { return true; }
    bool SetDrivePresent(char letter, bool present) override;

private:
    FakeWindows& fake_;
};

}  // namespace support
