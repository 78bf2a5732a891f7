// The mount manager's record of one removable drive, as raw bytes, taken
// apart by both scan variants under a single-byte and a double-byte code
// page. First input byte: bit 0 selects code page 932; the rest is the
// REG_BINARY record of drive E.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "driveicons/IConEx.h"
#include "support/FakeWindows.h"
#include "support/FakeMachine.h"

namespace {

using namespace support;

// A plausible machine: two readers, one with a '/' in its product name, a
// foreign stick, and a device name with a double-byte character.
void BuildTree(FakeWindows& fake) {
    const std::string kc = kUsbStor + "\\" + kKcModule;
    fake.SetString(kc + "\\0000000000001&0", "ParentIdPrefix", "7&1a2b3c4d&0");
    fake.SetString(kc + "\\0000000000002&0", "ParentIdPrefix", "7&E&0");
    fake.SetString(kUsbStor + "\\" + kKcKb + "\\AA&0", "ParentIdPrefix", "7&e&0");
    fake.SetString(kUsbStor + "\\" + kStick + "\\1234&0", "ParentIdPrefix", "7&2f&0");
    fake.SetString(kUsbStor + "\\Disk&Ven_Qarn&Prod_KF_Slot_Module&Rev_\x93\xFA\\\x93\xFA&0",
                   "ParentIdPrefix", "7&\x93\xFA&0");
    fake.CreateKey(kDriveIcons);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
}

void RunVariant(FakeWindows& fake, bool vista) {
    CIConEx service(fake);
    ReadyForScan(service, vista);

    service.Scan.AssignDrives(TRUE);
    FUZZ_CHECK(fake.OpenKeyCount() == 0, "key left open by the scan");
    const std::set<char> tracked = CheckSlots(service);
    FUZZ_CHECK(tracked.empty() || (tracked.size() == 1 && *tracked.begin() == 'E'),
               "a letter other than E tracked");
    const bool assigned = !tracked.empty();
    FUZZ_CHECK(assigned == fake.KeyExists(kDriveIcons + "\\E"), "slot and keys disagree");

    // Nothing changed: the release check must agree with the assignment.
    if (!assigned) service.Scan.DriveSlots[DriveSlotCount - 1] = DriveSlot{'E', 0};
    service.Scan.ReleaseDrives(TRUE);
    FUZZ_CHECK(fake.OpenKeyCount() == 0, "key left open by the release walk");
    FUZZ_CHECK(CheckSlots(service).count('E') == (assigned ? 1u : 0u),
               "release check disagrees with the assignment");
    service.Scan.PurgeDriveIcons();
    FUZZ_CHECK(fake.SubkeyNames(kDriveIcons).empty(), "keys left after the purge");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FakeWindows fake;
    fake.SetCodePage((data[0] & 1) ? 932 : 1252);
    BuildTree(fake);
    fake.SetDriveType('E', DRIVE_REMOVABLE);
    fake.SetBinary(kMounted, MountValueName('E'), std::vector<BYTE>(data + 1, data + size));
    RunVariant(fake, false);
    RunVariant(fake, true);
    return 0;
}
