// Device-event scenarios of the drive icon service, described once and run
// on both implementations of the platform: against the in-memory substitute
// (tests/scenarios with FakeScenarioMachine) and against the real Win32
// platform under Wine (tests/win32, Win32ScenarioMachine). Platform-free and
// gtest-free: everything here goes through Platform.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ReaderDevices.h"
#include "platform/Platform.h"

class CIConEx;

namespace support {

// A removable drive of a USB storage device, as the mount manager and the
// USB storage driver record it.
struct ScenarioDrive {
    char letter;
    std::string deviceKey;
    std::string instance;
    std::string parentId;  // the pre-Vista records name the volume by it
};

// The keys a drive's letter has under DriveIcons (see DriveIconState).
struct ExpectedLetter {
    char letter;
    std::string label;
    int icon;  // index in QarnIcons.dll
};

struct ScenarioStep {
    enum Kind {
        Plug,               // the drive appears (records written, letter present)
        Unplug,             // the drive goes (letter absent)
        Arrival,            // SERVICE_CONTROL_DEVICEEVENT with DBT_DEVICEARRIVAL
        Removal,            // ... with DBT_DEVICEREMOVECOMPLETE
        LabelKeyDeleted,    // someone else deletes the letter's DefaultLabel key
        ForeignSubkeyAdded  // someone else adds a subkey "Shell" below the letter key
    };
    Kind kind;
    char letter;  // Plug, Unplug and the changes by someone else
    // After Arrival and Removal: the tracked drives (see Slots) and the keys
    // under DriveIcons; `extra` are further lines of DriveIconState.
    std::string slots;
    std::vector<ExpectedLetter> keys;
    std::vector<std::string> extra;
};

struct DeviceEventScenario {
    const char* name;
    bool vista;  // Windows Vista (instance-path records) or XP (parent-id records)
    std::vector<ScenarioDrive> drives;  // every drive the scenario uses
    std::vector<char> presentAtStart;
    std::vector<ExpectedLetter> staleKeys;  // left by a run that was killed
    std::string slotsAfterStart;
    std::vector<ExpectedLetter> keysAfterStart;
    std::vector<ScenarioStep> steps;
    std::vector<std::string> extraAfterStop;  // what may stay after the stop
};

const std::vector<DeviceEventScenario>& DeviceEventScenarios();
const DeviceEventScenario& FindScenario(const std::string& name);  // aborts when unknown

// What a scenario needs from a machine beyond Platform. Both machines are
// 64-bit Windows; the service runs as a 32-bit process under WOW64, except in
// the 64-bit build of the Windows test programs.
class ScenarioMachine {
public:
    virtual ~ScenarioMachine() = default;
    virtual Platform& os() = 0;
    // Whether the service runs under WOW64; a 64-bit process has only the 64-bit view.
    virtual bool Wow64Process() = 0;
    // Whether the machine runs the scenario's Windows version (the substitute: now does).
    virtual bool UseWindows(bool vista) = 0;
    // Makes the drive letter a removable drive, or no drive at all. A present
    // drive's records are written after this call.
    virtual bool SetDrivePresent(char letter, bool present) = 0;
};
std::unique_ptr<ScenarioMachine> NewScenarioMachine();

// The registry view the service writes in: its own one, except on Vista
// (NT 6.0) under WOW64, where it asks for the 64-bit one. NT 5.1 takes no
// part in WOW64 views, so a 32-bit service on XP writes in the 32-bit view.
std::string IconBase(bool vista, bool wow64);
std::string OtherIconBase(bool vista, bool wow64);

// Writes the USBSTOR instance and the mount record of a plugged drive.
bool WriteReaderRecords(Platform& os, const ScenarioDrive& drive, bool vista);
// Removes the scenario's USBSTOR device keys, mount records and the letters'
// keys under DriveIcons (both views), so that a scenario starts clean.
void ClearScenarioKeys(Platform& os, const DeviceEventScenario& scenario);
// The three keys of a letter under `base`, as a killed run left them.
bool WriteStaleKeys(Platform& os, const std::string& base, const ExpectedLetter& letter);
// Changes of someone else to a letter's keys under `base`.
bool DeleteLabelKey(Platform& os, const std::string& base, char letter);
bool AddForeignSubkey(Platform& os, const std::string& base, char letter);

// Every key below `base` (in the 64-bit view), relative to it, one line each:
// "<path>" then " =<default value>" and " QarnHMD=<marker>" where present;
// `moduleDirectory` at the start of a value reads "<dir>\". Sorted.
std::vector<std::string> DriveIconState(Platform& os, const std::string& base,
                                        const std::string& moduleDirectory);
// The lines DriveIconState gives for the three keys the service writes.
std::vector<std::string> ExpectedState(const std::vector<ExpectedLetter>& letters,
                                       const std::vector<std::string>& extra = {});

// Hands the service's control handler one device event, with the broadcast
// record Windows passes for a volume.
DWORD DeliverDeviceEvent(DWORD eventType);

}  // namespace support
