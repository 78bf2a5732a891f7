// Reader key names holding a double-byte character whose trail byte is '\'
// (code page 932): the scan must reach the keys by those names, not by pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DriveFixture.h"

using namespace fixture;

TEST(DoubleByteKeyNames, InstancePathReaderIsRecognisedAndReleased) {
    FakeWindows fake;
    fake.SetCodePage(932);
    CIConEx service(fake);
    ReadyForScan(service, true);

    // U+30BD is 0x83 0x5C, U+8868 is 0x95 0x5C under 932.
    const std::string device = "Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_\x83\x5C";  // row 5
    const std::string instance = "7&\x95\x5C&0";
    const std::string devicePath = kUsbStor + "\\" + device;
    fake.SetDriveType('E', DRIVE_REMOVABLE);
    fake.SetBinary("SYSTEM\\MountedDevices", "\\DosDevices\\E:",
                   FakeWindows::Utf16Bytes(u"\\??\\USBSTOR#Disk&Ven_Qarn&Prod_KA_Slot_Module&Rev_"
                                           u"\u30BD#7&\u8868&0#{53f56307-b6bf-11d0-94f2-"
                                           u"00a0c91efb8b}"));
    fake.CreateKey(devicePath + "\\" + instance);

    EXPECT_TRUE(service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E5 ", Slots(service));
    EXPECT_TRUE(HasDriveKeys(fake, 'E', "KA Media", "C:\\Qarn\\QarnIcons.dll,0"));
    EXPECT_EQ((std::vector<std::string>{"E", "E\\DefaultIcon", "E\\DefaultLabel"}),
              DriveIconKeys(fake));
    // The device key's instances were enumerated under its whole name.
    bool enumeratedInstances = false;
    for (const FakeWindows::Call& call : fake.Calls()) {
        if (call.function == "RegEnumKeyExA" && call.detail == devicePath + " 0") {
            enumeratedInstances = true;
        }
    }
    EXPECT_TRUE(enumeratedInstances);
    // Nothing split: no key was made for a piece of a name.
    EXPECT_EQ((std::vector<std::string>{devicePath, devicePath + "\\" + instance}),
              fake.KeysBelow(kUsbStor));
    EXPECT_EQ(0u, fake.OpenKeyCount());

    // The release check finds the reader by the same names, and lets it go
    // once its instance key is gone.
    EXPECT_TRUE(service.Scan.ReleaseDrives(TRUE));
    EXPECT_EQ("E5 ", Slots(service));
    fake.DeleteTree(devicePath + "\\" + instance);
    EXPECT_TRUE(service.Scan.ReleaseDrives(TRUE));
    EXPECT_EQ("", Slots(service));
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_EQ(std::vector<std::string>{device}, fake.SubkeyNames(kUsbStor));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}
