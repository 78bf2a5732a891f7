#include "FakeScenarioMachine.h"

namespace support {

bool FakeScenarioMachine::UseWindows(bool vista) {
    fake_.SetWow64Process(true);
    fake_.SetVersion(vista ? 6 : 5, vista ? 0 : 1, VER_NT_WORKSTATION);
    return true;
}

bool FakeScenarioMachine::SetDrivePresent(char letter, bool present) {
    fake_.SetDriveType(letter, present ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR);
    return true;
}

namespace {

// A machine of its own: C: fixed, the service run from C:\QarnTest.
struct OwnFakeMachine : FakeWindows, FakeScenarioMachine {
    OwnFakeMachine() : FakeScenarioMachine(static_cast<FakeWindows&>(*this)) {
        SetModulePath("C:\\QarnTest\\device_events.exe");
        SetDriveType('C', DRIVE_FIXED);
    }
};

}  // namespace

std::unique_ptr<ScenarioMachine> NewScenarioMachine() { return std::make_unique<OwnFakeMachine>(); }

}  // namespace support
