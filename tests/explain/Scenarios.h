// Machines of the drive icon tests, for the tests of the explanation: each
// a set-up of the in-memory Windows and the letters the service gives icons.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include "../driveicons/DriveFixture.h"

namespace fixture {

struct Scenario {
    const char* name;
    std::function<void(FakeWindows&)> build;
    const char* lettersWithIcon;  // what the scenario is about, checked too
};

inline void SetPlatform(FakeWindows& fake, DWORD major, DWORD minor, bool wow64,
                        BYTE product = VER_NT_WORKSTATION) {
    fake.SetVersion(major, minor, product);
    fake.SetWow64Process(wow64);
}

inline const Scenario kScenarios[] = {
    {"pre-Vista machine with a CD drive, a fixed disk and a foreign stick",
     [](FakeWindows& fake) {
         fake.SetDriveType('C', DRIVE_FIXED);
         fake.SetBinary("SYSTEM\\MountedDevices", "\\DosDevices\\C:",
                        {0x8A, 0x3E, 0x2C, 0x1B, 0x00, 0x7E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
         fake.SetDriveType('D', DRIVE_CDROM);
         fake.SetMountRecord('D',
                             "\\??\\IDE#CdRomHL-DT-ST_DVD-RAM_GSA-H55N_1.00____#5&2b1a3c&0&1."
                             "0.0#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
         PlugParentIdDevice(fake, 'E', kKbSlot, "0000000000001&0", "7&1a2b3c4d&0");
         PlugParentIdDevice(fake, 'F', "Disk&Ven_SanDisk&Prod_Cruzer_Micro&Rev_8.02", "20043512&0",
                            "7&2c3d4e5f&0");
         PlugParentIdDevice(fake, 'G', kKcModule, "0000000000002&0", "7&aa11bb22&0");
         fake.SetString(LetterKey('C') + "\\DefaultIcon", "", "C:\\Windows\\disk.ico");
     },
     "EG"},
    {"letters examined and skipped",
     [](FakeWindows& fake) {
         PlugParentIdDevice(fake, 'C', kKbSlot, "1&0", "7&c&0");
         PlugParentIdDevice(fake, 'E', kKbSlot, "2&0", "7&e&0");
         fake.SetDriveType('E', DRIVE_FIXED);
         PlugParentIdDevice(fake, 'F', kKbSlot, "3&0", "7&f&0");
         fake.SetDriveType('F', DRIVE_CDROM);
         PlugParentIdDevice(fake, 'G', kKbSlot, "4&0", "7&g&0");
         fake.SetDriveType('G', DRIVE_REMOTE);
         PlugParentIdDevice(fake, 'Z', kKbSlot, "5&0", "7&z&0");
         PlugParentIdDevice(fake, 'H', kKfModule, "6&0", "7&h&0");
     },
     "HZ"},
    {"parent-id recognition",
     [](FakeWindows& fake) {
         PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&ABCD&0");
         fake.SetMountRecord('E', "\\??\\STORAGE#RemovableMedia#7&abcd&0&RM#" + kVolumeGuid);
         PlugParentIdDevice(fake, 'F', "Disk&Ven_QARN&Prod_LNK___QX-KB_Slot&Rev_2.00", "1&0",
                            "7&f&0");
         PlugParentIdDevice(fake, 'G', kKbSlot, "3&0", "7&g&0");
         fake.SetMountRecord('G', "\\??\\STORAGE#Volume#7&g&0&RM#" + kVolumeGuid);
         fake.CreateKey(kUsbStor + "\\" + kKcModule);
         PlugParentIdDevice(fake, 'H', kKfModule, "2&0", "7&h&0");
         fake.CreateKey(kUsbStor + "\\" + kKfModule + "\\1&0");
         fake.SetDriveType('I', DRIVE_REMOVABLE);
     },
     "EH"},
    {"model row: the lower row wins, the display name plays no part",
     [](FakeWindows& fake) {
         PlugParentIdDevice(fake, 'E',
                            "Disk&Ven_Qarn&Prod_KD_Slot_Module+Disk&Ven_Qarn&Prod_LNK___QX-KD_Slot",
                            "1&0", "7&e&0");
         PlugParentIdDevice(fake, 'F', "Disk&Ven_Qarn&Prod_KC/KB___Module&Rev_1", "2&0", "7&f&0");
     },
     "EF"},
    {"XP x64: parent-id scan under WOW64, old keys in the 64-bit view",
     [](FakeWindows& fake) {
         SetPlatform(fake, 5, 2, true);
         PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
         WriteIconKeys(fake, 'K', "KD Media");
         WriteIconKeys(fake, 'L', "KD Media", kDriveIcons32);  // a view the service never sees
     },
     "E"},
    {"Server 2003 x64: WOW64 process in the 32-bit view",
     [](FakeWindows& fake) {
         SetPlatform(fake, 5, 2, true, VER_NT_SERVER);
         PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
         WriteIconKeys(fake, 'K', "KD Media", kDriveIcons32);
         WriteIconKeys(fake, 'L', "KD Media");
     },
     "E"},
    {"instance-path recognition",
     [](FakeWindows& fake) {
         SetPlatform(fake, 6, 0, false);
         PlugInstancePathDevice(fake, 'E', kKcKb, "0000000000001&0");
         PlugInstancePathDevice(fake, 'F', kKcModule, "0000000000002&0");
         fake.SetMountRecord('F',
                             "\\??\\USBSTOR#disk&ven_qarn&prod_kc_slot_module&rev_2.10#"
                             "0000000000002&0#" +
                                 kVolumeGuid);
         PlugInstancePathDevice(fake, 'G', kKfModule, "0000000000003&0");
         fake.DeleteTree(kUsbStor + "\\" + kKfModule + "\\0000000000003&0");
         fake.CreateKey(kUsbStor + "\\" + kKfModule + "\\0000000000009&0");
         PlugParentIdDevice(fake, 'H', kKbSlot, "1&0", "7&h&0");
         PlugInstancePathDevice(fake, 'I', "Disk&Ven_Qarn&Prod_kf_slot_module&Rev_9.99", "4&0");
         PlugInstancePathDevice(fake, 'J', "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07", "5&0");
         fake.SetDriveType('K', DRIVE_REMOVABLE);
         fake.SetMountRecord('K',
                             "\\??\\USBSTOR#Disk&Ven_Qarn&Prod_KD_Slot_Module#6&0#" + kVolumeGuid);
     },
     "EF"},
    {"Vista x64: instance-path scan under WOW64 writes the icon",
     [](FakeWindows& fake) {
         SetPlatform(fake, 6, 0, true);
         PlugInstancePathDevice(fake, 'E', kKcKb, "1&0");
         WriteIconKeys(fake, 'E', "KF Card");
     },
     "E"},
    {"mount records that fill the buffer and one character more",
     [](FakeWindows& fake) {
         const size_t full = MountRecordSize / 2;
         PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
         fake.SetBinary(kMounted, MountValueName('E'),
                        Latin1Units(PaddedRecord(ParentIdRecord("7&e&0"), full)));
         PlugParentIdDevice(fake, 'F', kKfModule, "1&0", "7&f&0");
         fake.SetBinary(kMounted, MountValueName('F'),
                        Latin1Units(PaddedRecord(ParentIdRecord("7&f&0"), full + 1)));
     },
     "E"},
    {"service folder too long for the icon path",
     [](FakeWindows& fake) {
         fake.SetModulePath("C:\\" + std::string(241, 'd') + "\\QarnIEx.exe");
         PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
     },
     "E"},
    {"restore and purge of old keys",
     [](FakeWindows& fake) {
         WriteIconKeysOfEveryKind(fake);
         fake.DeleteTree(LetterKey('J') + "\\DefaultIcon");
         PlugParentIdDevice(fake, 'K', kKcModule, "1&0", "7&k&0");
         // H holds another program's label: the reader there gets none.
         PlugParentIdDevice(fake, 'H', kKfModule, "1&0", "7&h&0");
     },
     "K"},
    {"Vista x64 without RegDeleteKeyExA: old keys stay",
     [](FakeWindows& fake) {
         SetPlatform(fake, 6, 0, true);
         fake.SetExportPresent("RegDeleteKeyExA", false);
         WriteIconKeys(fake, 'E', "KB Media");
         WriteIconKeys(fake, 'F', "KB Media");
         PlugInstancePathDevice(fake, 'E', kKcModule, "1&0");
     },
     "E"},
    {"23 marked letters and 22 readers for 20 slots", MarkEveryLetterAndPlugMoreReadersThanSlots,
     "EFGHIJKLMNOPQRSTUVWX"},
    {"double-byte key names under code page 932",
     [](FakeWindows& fake) {
         SetPlatform(fake, 6, 0, false);
         fake.SetCodePage(932);
         fake.SetDriveType('E', DRIVE_REMOVABLE);
         fake.SetBinary(
             "SYSTEM\\MountedDevices", "\\DosDevices\\E:",
             FakeWindows::Utf16Bytes(u"\\??\\USBSTOR#Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_"
                                     u"\u30BD#7&\u8868&0#{53f56307-b6bf-11d0-94f2-"
                                     u"00a0c91efb8b}"));
         fake.CreateKey(kUsbStor +
                        "\\Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_\x83\x5C\\7&\x95\x5C&0");
         fake.SetDriveType('F', DRIVE_REMOVABLE);
         fake.SetBinary("SYSTEM\\MountedDevices", "\\DosDevices\\F:",
                        FakeWindows::Utf16Bytes(std::u16string(130, u'\u8868')));
     },
     "E"},
};

inline const Scenario& FindScenario(const std::string& name) {
    for (const Scenario& scenario : kScenarios) {
        if (name == scenario.name) return scenario;
    }
    throw std::invalid_argument("no scenario " + name);
}

}  // namespace fixture
