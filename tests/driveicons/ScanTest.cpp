// The assignment scan and the release walk, both variants.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DriveFixture.h"

using namespace fixture;

TEST(AssignmentScan, LettersExaminedAndSkipped) {
    ScanMachine m;
    // Readers behind letters the scan must not look at, or that are not removable.
    PlugParentIdDevice(m.fake, 'C', kKbSlot, "1&0", "7&c&0");
    PlugParentIdDevice(m.fake, 'E', kKbSlot, "2&0", "7&e&0");
    m.fake.SetDriveType('E', DRIVE_FIXED);
    PlugParentIdDevice(m.fake, 'F', kKbSlot, "3&0", "7&f&0");
    m.fake.SetDriveType('F', DRIVE_CDROM);
    PlugParentIdDevice(m.fake, 'G', kKbSlot, "4&0", "7&g&0");
    m.fake.SetDriveType('G', DRIVE_REMOTE);
    m.fake.ClearCalls();
    EXPECT_FALSE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("", Slots(m.service));
    EXPECT_EQ(0u, m.fake.CountCallsWithPrefix("Reg"));
    EXPECT_EQ(23u, m.fake.CountCalls("GetDriveTypeA"));  // 'D' to 'Z'

    // 'Z' is examined; a letter held by a slot is skipped whatever it shows now.
    PlugParentIdDevice(m.fake, 'Z', kKbSlot, "5&0", "7&z&0");
    PlugParentIdDevice(m.fake, 'H', kKfModule, "6&0", "7&h&0");
    m.service.Scan.DriveSlots[5] = DriveSlot{'H', 3};
    EXPECT_TRUE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("Z1 H3 ", Slots(m.service));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'Z', "KB Media", "C:\\Qarn\\QarnIcons.dll,3"));
    EXPECT_FALSE(m.fake.KeyExists(LetterKey('H')));
    EXPECT_EQ(0, m.service.Scan.ScanStartLetter());  // left as it was
    EXPECT_EQ(0u, m.fake.OpenKeyCount());
}

TEST(AssignmentScan, OneAssignmentWithoutScanAllAndSlotOrder) {
    ScanMachine m;
    PlugParentIdDevice(m.fake, 'E', kKbSlot, "1&0", "7&e&0");
    PlugParentIdDevice(m.fake, 'F', kKcModule, "2&0", "7&f&0");
    m.service.Scan.DriveSlots[0] = DriveSlot{'X', 0};
    m.service.Scan.DriveSlots[2] = DriveSlot{'Y', 0};
    EXPECT_TRUE(m.service.Scan.AssignDrives(FALSE));
    EXPECT_EQ("X0 E1 Y0 ", Slots(m.service));
    EXPECT_FALSE(m.fake.KeyExists(LetterKey('F')));
    EXPECT_TRUE(m.service.Scan.AssignDrives(FALSE));
    EXPECT_EQ("X0 E1 Y0 F8 ", Slots(m.service));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'F', "KC Media", "C:\\Qarn\\QarnIcons.dll,5"));
    // Nothing new: the scan reports the end of the last device search.
    EXPECT_FALSE(m.service.Scan.AssignDrives(FALSE));

    ScanMachine all;
    PlugParentIdDevice(all.fake, 'E', kKbSlot, "1&0", "7&e&0");
    PlugParentIdDevice(all.fake, 'F', kKcModule, "2&0", "7&f&0");
    EXPECT_TRUE(all.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E1 F8 ", Slots(all.service));
}

TEST(AssignmentScan, TwentySlotLimit) {
    ScanMachine m;
    for (int i = 0; i < DriveSlotCount; ++i) m.service.Scan.DriveSlots[i] = DriveSlot{'a', 0};
    PlugParentIdDevice(m.fake, 'E', kKbSlot, "1&0", "7&e&0");
    PlugParentIdDevice(m.fake, 'F', kKbSlot, "2&0", "7&f&0");
    m.fake.ClearCalls();
    EXPECT_FALSE(m.service.Scan.AssignDrives(FALSE));
    EXPECT_TRUE(DriveIconKeys(m.fake).empty());
    EXPECT_EQ(23u, m.fake.CountCalls("GetDriveTypeA"));  // ran on to 'Z'
    // E's match leaves the device's second instance unread: E reads its
    // record and one ParentIdPrefix, F its record and two.
    EXPECT_EQ(5u, m.fake.CountCalls("RegQueryValueExA"));
    m.service.Scan.DriveSlots[19].Letter = 0;
    EXPECT_TRUE(m.service.Scan.AssignDrives(FALSE));
    EXPECT_EQ('E', m.service.Scan.DriveSlots[19].Letter);
}

TEST(AssignmentScan, ParentIdRecognition) {
    ScanMachine m;
    // Case of ParentIdPrefix does not matter; case of the model text does.
    PlugParentIdDevice(m.fake, 'E', kKbSlot, "1&0", "7&ABCD&0");
    m.fake.SetMountRecord('E', ParentIdRecord("7&abcd&0"));
    PlugParentIdDevice(m.fake, 'F', "Disk&Ven_QARN&Prod_LNK___QX-KB_Slot&Rev_2.00", "1&0", "7&f&0");
    // No "RemovableMedia" in the record.
    PlugParentIdDevice(m.fake, 'G', kKbSlot, "3&0", "7&g&0");
    m.fake.SetMountRecord('G', "\\??\\STORAGE#Volume#7&g&0&RM#" + kVolumeGuid);
    // A matching device without instances, and an instance without ParentIdPrefix.
    m.fake.CreateKey(kUsbStor + "\\" + kKcModule);
    PlugParentIdDevice(m.fake, 'H', kKfModule, "2&0", "7&h&0");
    m.fake.CreateKey(kUsbStor + "\\" + kKfModule + "\\1&0");
    // Mount record missing.
    m.fake.SetDriveType('I', DRIVE_REMOVABLE);

    EXPECT_FALSE(m.service.Scan.AssignDrives(TRUE));  // 'I' ends it without a record
    EXPECT_EQ("E1 H10 ", Slots(m.service));
    EXPECT_EQ((std::vector<std::string>{"E", "E\\DefaultIcon", "E\\DefaultLabel", "H",
                                        "H\\DefaultIcon", "H\\DefaultLabel"}),
              DriveIconKeys(m.fake));
    EXPECT_EQ(0u, m.fake.OpenKeyCount());
}

TEST(AssignmentScan, ModelRowAndWriteRules) {
    ScanMachine m;
    // A device name with the texts of rows 9 and 3: the lower row wins.
    const std::string both =
        "Disk&Ven_Qarn&Prod_KD_Slot_Module+Disk&Ven_Qarn&Prod_LNK___QX-KD_Slot";
    PlugParentIdDevice(m.fake, 'E', both, "1&0", "7&e&0");
    // The display name column plays no part.
    PlugParentIdDevice(m.fake, 'F', "Disk&Ven_Qarn&Prod_KC/KB___Module&Rev_1", "2&0", "7&f&0");
    EXPECT_TRUE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E3 F7 ", Slots(m.service));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'E', "KD Media", "C:\\Qarn\\QarnIcons.dll,1"));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'F', "KB/KC", "C:\\Qarn\\QarnIcons.dll,3"));

    // Parent-id variant under WOW64: no DefaultIcon.
    ScanMachine wow;
    wow.fake.SetWow64Process(true);
    wow.service.Scan.SetPlatform(FALSE, TRUE);
    PlugParentIdDevice(wow.fake, 'E', kKbSlot, "1&0", "7&e&0");
    EXPECT_TRUE(wow.service.Scan.AssignDrives(TRUE));
    EXPECT_TRUE(HasDriveKeys(wow.fake, 'E', "KB Media", std::nullopt));

    // Another program's keys at a reader's letter are left alone (E: a value,
    // H: a label); an empty key (a crash before the marker) and the service's
    // own are taken.
    ScanMachine others;
    for (char letter : {'E', 'F', 'G', 'H'}) {
        PlugParentIdDevice(others.fake, letter, kKbSlot, std::string(1, letter) + "&0",
                           std::string("7&") + letter + "&0");
    }
    others.fake.SetString(LetterKey('E'), "Shell", "mine");
    others.fake.CreateKey(LetterKey('F'));
    WriteIconKeys(others.fake, 'G', "KD Media");
    others.fake.SetString(LetterKey('H') + "\\DefaultLabel", "", "My card");
    EXPECT_FALSE(others.service.Scan.AssignDrives(TRUE));  // H, the last, got nothing
    EXPECT_EQ("F1 G1 ", Slots(others.service));
    EXPECT_EQ(
        (std::vector<std::string>{"E", "F", "F\\DefaultIcon", "F\\DefaultLabel", "G",
                                  "G\\DefaultIcon", "G\\DefaultLabel", "H", "H\\DefaultLabel"}),
        DriveIconKeys(others.fake));
    EXPECT_EQ("My card", others.fake.GetValue(LetterKey('H') + "\\DefaultLabel", "")->AsString());

    // Denied access on DriveIcons: the slot is taken all the same and a
    // scan without scanAll ends there.
    ScanMachine denied;
    denied.fake.CreateKey(kDriveIcons);
    denied.fake.DenyAccess(kDriveIcons);
    PlugParentIdDevice(denied.fake, 'E', kKbSlot, "1&0", "7&e&0");
    PlugParentIdDevice(denied.fake, 'F', kKbSlot, "2&0", "7&f&0");
    EXPECT_TRUE(denied.service.Scan.AssignDrives(FALSE));
    EXPECT_EQ("E1 ", Slots(denied.service));
    EXPECT_FALSE(denied.fake.KeyExists(LetterKey('E')));

    // An icon path too long for the 260-byte buffer: label and marker only.
    ScanMachine longPath;
    const std::string directory = "C:\\" + std::string(241, 'd') + "\\";  // 245 characters
    std::strcpy(longPath.service.Scan.ModuleDirectory, directory.c_str());
    PlugParentIdDevice(longPath.fake, 'E', kKbSlot, "1&0", "7&e&0");
    PlugParentIdDevice(longPath.fake, 'F', kKbSlot, "2&0", "7&f&0");
    EXPECT_TRUE(longPath.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E1 F1 ", Slots(longPath.service));
    EXPECT_TRUE(HasDriveKeys(longPath.fake, 'E', "KB Media", std::nullopt));
    // One character less fits exactly: 259 characters.
    std::strcpy(longPath.service.Scan.ModuleDirectory, directory.substr(1).c_str());
    longPath.service.Scan.DriveSlots[0].Letter = 0;
    EXPECT_TRUE(longPath.service.Scan.AssignDrives(FALSE));
    EXPECT_TRUE(
        HasDriveKeys(longPath.fake, 'E', "KB Media", directory.substr(1) + "QarnIcons.dll,3"));
}

TEST(AssignmentScan, MountRecordLengths) {
    ScanMachine m;
    // A record that fills the buffer without a NUL, and one a character longer
    // that is not read at all.
    const size_t full = MountRecordSize / 2;
    PlugParentIdDevice(m.fake, 'E', kKbSlot, "1&0", "7&e&0");
    m.fake.SetBinary(kMounted, MountValueName('E'),
                     Latin1Units(PaddedRecord(ParentIdRecord("7&e&0"), full)));
    PlugParentIdDevice(m.fake, 'F', kKfModule, "1&0", "7&f&0");
    m.fake.SetBinary(kMounted, MountValueName('F'),
                     Latin1Units(PaddedRecord(ParentIdRecord("7&f&0"), full + 1)));
    EXPECT_FALSE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E1 ", Slots(m.service));

    // The release check reads them the same way.
    m.service.Scan.DriveSlots[1] = DriveSlot{'F', 10};
    EXPECT_TRUE(m.service.Scan.ReleaseDrives(TRUE));
    EXPECT_EQ("E1 ", Slots(m.service));
}

TEST(AssignmentScan, InstancePathRecognition) {
    ScanMachine m(true);
    // '/' of the product written as '#' in the record.
    PlugInstancePathDevice(m.fake, 'E', kKcKb, "0000000000001&0");
    // Device and instance names differ from the record only in case.
    PlugInstancePathDevice(m.fake, 'F', kKcModule, "0000000000002&0");
    m.fake.SetMountRecord('F',
                          "\\??\\USBSTOR#disk&ven_qarn&prod_kc_slot_module&rev_2.10#"
                          "0000000000002&0#" +
                              kVolumeGuid);
    // Right device, instance of another unit.
    PlugInstancePathDevice(m.fake, 'G', kKfModule, "0000000000003&0");
    m.fake.DeleteTree(kUsbStor + "\\" + kKfModule + "\\0000000000003&0");
    m.fake.CreateKey(kUsbStor + "\\" + kKfModule + "\\0000000000009&0");
    // Record of the parent-id shape: no "USBSTOR".
    PlugParentIdDevice(m.fake, 'H', kKbSlot, "1&0", "7&h&0");
    // Model text in other case in the device key itself.
    PlugInstancePathDevice(m.fake, 'I', "Disk&Ven_Qarn&Prod_kf_slot_module&Rev_9.99", "4&0");

    EXPECT_FALSE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E2 F8 ", Slots(m.service));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'E', "KB/KC", "C:\\Qarn\\QarnIcons.dll,3"));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'F', "KC Media", "C:\\Qarn\\QarnIcons.dll,5"));
    EXPECT_EQ(6u, DriveIconKeys(m.fake).size());

    // Under WOW64 the instance-path variant still writes DefaultIcon.
    ScanMachine wow(true);
    wow.fake.SetWow64Process(true);
    wow.service.Scan.SetPlatform(TRUE, TRUE);
    PlugInstancePathDevice(wow.fake, 'E', kKcKb, "1&0");
    EXPECT_TRUE(wow.service.Scan.AssignDrives(FALSE));
    EXPECT_TRUE(HasDriveKeys(wow.fake, 'E', "KB/KC", "C:\\Qarn\\QarnIcons.dll,3"));
    EXPECT_TRUE(DriveIconKeys(wow.fake, kDriveIcons32).empty());
}

TEST(AssignmentScan, DoubleByteMountRecords) {
    ScanMachine m;
    m.fake.SetCodePage(932);
    // A parent id with U+30BD and U+8868, whose second bytes in 932 are '\'.
    m.fake.SetDriveType('E', DRIVE_REMOVABLE);
    m.fake.SetBinary(
        "SYSTEM\\MountedDevices", "\\DosDevices\\E:",
        FakeWindows::Utf16Bytes(u"\\??\\STORAGE#RemovableMedia#7&\u30BD\u8868&0&RM#{g}"));
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\1&0", "ParentIdPrefix",
                     "7&\x83\x5C\x95\x5C&0");
    // A record whose ANSI form needs more than 259 bytes: all 130 characters
    // double-byte. Not recognised, never overrun.
    m.fake.SetDriveType('F', DRIVE_REMOVABLE);
    m.fake.SetBinary("SYSTEM\\MountedDevices",
                     "\\DosDevices\\F:", FakeWindows::Utf16Bytes(std::u16string(130, u'\u8868')));
    // F's record was read, so the scan ends as after a record without the marker.
    EXPECT_TRUE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 ", Slots(m.service));
    // Tracked anyway, F fails the release check while E passes it.
    m.service.Scan.DriveSlots[1] = DriveSlot{'F', 10};
    m.service.Scan.ReleaseDrives(TRUE);
    EXPECT_EQ("E8 ", Slots(m.service));

    // Instance-path records with the same characters before the first '#'.
    ScanMachine v(true);
    v.fake.SetCodePage(932);
    v.fake.SetDriveType('E', DRIVE_REMOVABLE);
    v.fake.SetBinary(
        "SYSTEM\\MountedDevices", "\\DosDevices\\E:",
        FakeWindows::Utf16Bytes(u"\\??\\\u30BD\u8868USBSTOR#Disk&Ven_Qarn&Prod_KC_Slot_"
                                u"Module&Rev_2.10#5&0#{g}"));
    v.fake.CreateKey(kUsbStor + "\\" + kKcModule + "\\5&0");
    EXPECT_TRUE(v.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 ", Slots(v.service));
}

TEST(ReleaseWalk, FromTheLastSlotDownOneAtATime) {
    ScanMachine m;
    PlugParentIdDevice(m.fake, 'E', kKbSlot, "1&0", "7&e&0");
    PlugParentIdDevice(m.fake, 'F', kKcModule, "2&0", "7&f&0");
    PlugParentIdDevice(m.fake, 'G', kKfModule, "3&0", "7&g&0");
    EXPECT_TRUE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E1 F8 G10 ", Slots(m.service));
    // Spread them out: E in slot 3, G in slot 7.
    m.service.Scan.DriveSlots[3] = m.service.Scan.DriveSlots[0];
    m.service.Scan.DriveSlots[7] = m.service.Scan.DriveSlots[2];
    m.service.Scan.DriveSlots[0].Letter = 0;
    m.service.Scan.DriveSlots[2].Letter = 0;

    // Nothing gone: nothing changes, ScanStartLetter kept (none yet).
    EXPECT_TRUE(m.service.Scan.ReleaseDrives(FALSE));
    EXPECT_EQ("F8 E1 G10 ", Slots(m.service));
    EXPECT_EQ(0, m.service.Scan.ScanStartLetter());

    m.fake.SetDriveType('E', DRIVE_NO_ROOT_DIR);
    m.fake.SetDriveType('G', DRIVE_FIXED);
    m.fake.ClearCalls();
    EXPECT_TRUE(m.service.Scan.ReleaseDrives(FALSE));
    EXPECT_EQ("F8 E1 ", Slots(m.service));
    EXPECT_EQ(0, m.service.Scan.DriveSlots[7].Letter);
    EXPECT_EQ(10, m.service.Scan.DriveSlots[7].ModelIndex);  // kept
    EXPECT_EQ('D', m.service.Scan.ScanStartLetter());
    EXPECT_FALSE(m.fake.KeyExists(LetterKey('G')));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'E', "KB Media", "C:\\Qarn\\QarnIcons.dll,3"));
    // Only deletions: a letter that is not removable reads nothing.
    EXPECT_EQ(m.fake.CountCalls("RegDeleteKeyA"), m.fake.CountCallsWithPrefix("Reg"));

    EXPECT_TRUE(m.service.Scan.ReleaseDrives(FALSE));
    EXPECT_EQ("F8 ", Slots(m.service));
    EXPECT_EQ((std::vector<std::string>{"F", "F\\DefaultIcon", "F\\DefaultLabel"}),
              DriveIconKeys(m.fake));

    // releaseAll takes every gone drive in one walk.
    ScanMachine all;
    all.service.Scan.DriveSlots[3] = DriveSlot{'E', 1};
    all.service.Scan.DriveSlots[7] = DriveSlot{'G', 1};
    EXPECT_TRUE(all.service.Scan.ReleaseDrives(TRUE));
    EXPECT_EQ("", Slots(all.service));
    EXPECT_EQ(0u, m.fake.OpenKeyCount());
}

TEST(ReleaseWalk, CheckRules) {
    ScanMachine m;
    // The same model now carries the drive's parent id, in other case: kept.
    PlugParentIdDevice(m.fake, 'E', kKfModule, "1&0", "7&ABC&0");
    m.fake.SetMountRecord('E', ParentIdRecord("7&abc&0"));
    m.service.Scan.DriveSlots[0] = DriveSlot{'E', 10};
    // Another model's reader took the letter (swapped before the walk):
    // released, for a scan to give it that model's keys.
    PlugParentIdDevice(m.fake, 'I', kKfModule, "9&0", "7&i&0");
    m.service.Scan.DriveSlots[4] = DriveSlot{'I', 8};
    // A foreign stick now behind F: released.
    PlugParentIdDevice(m.fake, 'F', "Disk&Ven_Generic&Prod_Flash&Rev_1.00", "2&0", "7&f&0");
    m.service.Scan.DriveSlots[1] = DriveSlot{'F', 1};
    // Not a removable-media record any more: released.
    m.fake.SetDriveType('G', DRIVE_REMOVABLE);
    m.fake.SetMountRecord('G', "\\??\\USBSTOR#Disk&Ven_Qarn#1&0#" + kVolumeGuid);
    m.service.Scan.DriveSlots[2] = DriveSlot{'G', 1};
    // No mount record: released.
    m.fake.SetDriveType('H', DRIVE_REMOVABLE);
    m.service.Scan.DriveSlots[3] = DriveSlot{'H', 1};
    for (char letter : {'E', 'F', 'G', 'H', 'I'}) WriteIconKeys(m.fake, letter, "KB Media");

    EXPECT_TRUE(m.service.Scan.ReleaseDrives(TRUE));
    EXPECT_EQ("E10 ", Slots(m.service));
    EXPECT_EQ(3u, DriveIconKeys(m.fake).size());

    // Instance-path variant; under WOW64 without RegDeleteKeyExA the keys stay
    // while the slot is freed.
    ScanMachine v(true);
    v.fake.SetWow64Process(true);
    v.service.Scan.SetPlatform(TRUE, TRUE);
    PlugInstancePathDevice(v.fake, 'E', kKcKb, "1&0");
    PlugInstancePathDevice(v.fake, 'F', kKcKb, "2&0");
    EXPECT_TRUE(v.service.Scan.AssignDrives(TRUE));
    // Another unit of the same model now behind F.
    v.fake.SetMountRecord(
        'F', "\\??\\USBSTOR#Disk&Ven_Qarn&Prod_LNK___QX-KC#KB&Rev_1.00#7&0#" + kVolumeGuid);
    v.fake.SetExportPresent("RegDeleteKeyExA", false);
    EXPECT_TRUE(v.service.Scan.ReleaseDrives(FALSE));
    EXPECT_EQ("E2 ", Slots(v.service));
    EXPECT_EQ('D', v.service.Scan.ScanStartLetter());
    EXPECT_EQ(6u, DriveIconKeys(v.fake).size());
}
