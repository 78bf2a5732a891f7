// The scenarios' machine on the in-memory substitute: 64-bit Windows, the
// service run from C:\QarnTest.
#include "platform/fake/FakeWindows.h"
#include "support/DeviceEventScenarios.h"

namespace {

class FakeScenarioMachine : public support::ScenarioMachine {
public:
    FakeScenarioMachine() {
        fake_.SetWow64Process(true);
        fake_.SetModulePath("C:\\QarnTest\\device_events.exe");
        fake_.SetDriveType('C', DRIVE_FIXED);
    }
    Platform& os() override { return fake_; }
    bool UseWindows(bool vista) override {
        fake_.SetVersion(vista ? 6 : 5, vista ? 0 : 1, VER_NT_WORKSTATION);
        return true;
    }
    bool SetDrivePresent(char letter, bool present) override {
        fake_.SetDriveType(letter, present ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR);
        return true;
    }

private:
    FakeWindows fake_;
};

}  // namespace

std::unique_ptr<support::ScenarioMachine> support::NewScenarioMachine() {
    return std::make_unique<FakeScenarioMachine>();
}
