// Hostile and odd input: what a crafted device, a damaged registry or a locked
// key can put in front of the scans. Nothing may crash, overrun, leak a key or
// leave a key behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DriveFixture.h"

using namespace fixture;

namespace {

void SetRecordBytes(FakeWindows& fake, char letter, const std::vector<BYTE>& bytes) {
    fake.SetDriveType(letter, DRIVE_REMOVABLE);
    fake.SetBinary(kMounted, MountValueName(letter), bytes);
}

struct Machine : ScanMachine {
    using ScanMachine::ScanMachine;
    // Marks the letters as tracked, then runs one full release walk.
    std::string ReleaseCheck(const std::string& letters) {
        int slot = DriveSlotCount - 1;
        for (char letter : letters) service.Scan.DriveSlots[slot--] = DriveSlot{letter, 0};
        service.Scan.ReleaseDrives(TRUE);
        return Slots(service);
    }
};

// A service started through its hooks on the given machine.
struct Started {
    FakeWindows& fake;
    CIConEx service;
    explicit Started(FakeWindows& f) : fake(f), service(f) {}
    void Arrival() { service.OnDeviceChange(DBT_DEVICEARRIVAL, nullptr); }
    void Removal() { service.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, nullptr); }
};

std::string Repeat(const std::string& piece, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += piece;
    return text;
}

}  // namespace

TEST(BadMountRecord, OddLengthsNulsAndTheSizeLimit) {
    Machine m;
    // One stray byte after the text: the half character is dropped.
    std::vector<BYTE> odd = Latin1Units(ParentIdRecord("7&e&0"));
    odd.push_back('Z');
    SetRecordBytes(m.fake, 'E', odd);
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\1&0", "ParentIdPrefix", "7&e&0");
    // A single byte: no character at all.
    SetRecordBytes(m.fake, 'F', {0x52});
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\2&0", "ParentIdPrefix", "");
    // A NUL after "&RM": the text ends there.
    std::vector<BYTE> cut = Latin1Units("\\??\\STORAGE#RemovableMedia#7&g&0&RM");
    cut.insert(cut.end(), {0, 0});
    const std::vector<BYTE> tail = Latin1Units("#RemovableMedia#7&x&0&RM#" + kVolumeGuid);
    cut.insert(cut.end(), tail.begin(), tail.end());
    SetRecordBytes(m.fake, 'G', cut);
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\3&0", "ParentIdPrefix", "7&g&0");
    // A NUL before the marker hides it.
    std::vector<BYTE> hidden = Latin1Units("\\??\\STORAGE");
    hidden.insert(hidden.end(), {0, 0});
    const std::vector<BYTE> rest = Latin1Units("#RemovableMedia#7&h&0&RM#" + kVolumeGuid);
    hidden.insert(hidden.end(), rest.begin(), rest.end());
    SetRecordBytes(m.fake, 'H', hidden);
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\4&0", "ParentIdPrefix", "7&h&0");
    // A buffer's worth of NUL bytes.
    SetRecordBytes(m.fake, 'I', std::vector<BYTE>(MountRecordSize, 0));
    // A full buffer and one byte more is not read at all.
    const std::string fullId = "7&j&0";
    std::vector<BYTE> tooLong =
        Latin1Units(PaddedRecord(ParentIdRecord(fullId), MountRecordSize / 2));
    ASSERT_EQ(MountRecordSize, tooLong.size());
    tooLong.push_back('{');
    SetRecordBytes(m.fake, 'J', tooLong);
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\5&0", "ParentIdPrefix", fullId);
    // One byte short of the buffer: half of the last character, inside the GUID.
    const std::string keptId = "7&k&0";
    std::vector<BYTE> short1 =
        Latin1Units(PaddedRecord(ParentIdRecord(keptId), MountRecordSize / 2));
    short1.pop_back();
    SetRecordBytes(m.fake, 'K', short1);
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\6&0", "ParentIdPrefix", keptId);

    EXPECT_TRUE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 G8 K8 ", Slots(m.service));
    EXPECT_EQ(9u, DriveIconKeys(m.fake).size());
    EXPECT_EQ(0u, m.fake.OpenKeyCount());
    // The release check reads them alike: the three stay, the others go.
    EXPECT_EQ("E8 G8 K8 ", m.ReleaseCheck("FHIJ"));

    // Instance-path records of readers with serial numbers of 40 and 126
    // characters (the most USB allows), one that fills the buffer with an
    // instance key name of the registry's longest, and one a character longer.
    Machine v(true);
    PlugInstancePathDevice(v.fake, 'E', kKdSlot, std::string(40, 'S') + "&0");
    PlugInstancePathDevice(v.fake, 'G', kKcModule, std::string(126, 'U') + "&0");
    const std::string instance = std::string(253, '1') + "&0";
    const std::string device =
        kKdSlot +
        std::string(MountRecordSize / 2 - InstancePathRecord(kKdSlot, instance).size(), 'x');
    PlugInstancePathDevice(v.fake, 'H', device, instance);
    ASSERT_EQ(MountRecordSize, v.fake.GetValue(kMounted, MountValueName('H'))->data.size());
    PlugInstancePathDevice(v.fake, 'J', device + "x", instance);
    EXPECT_FALSE(v.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E3 G8 H3 ", Slots(v.service));
    EXPECT_EQ("E3 G8 H3 ", v.ReleaseCheck("J"));
    EXPECT_EQ(0u, v.fake.OpenKeyCount());
}

TEST(BadMountRecord, FixedDiskBinaryForms) {
    // What the mount manager keeps for basic disks: a 4-byte disk signature
    // and an 8-byte partition offset, or "DMIO:ID:" and a partition GUID.
    const std::vector<BYTE> mbr = {0xBD, 0x30, 0x68, 0x88, 0x00, 0x7E,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<BYTE> mbrNoZero = {0x52, 0x65, 0x6D, 0x6F, 0x23, 0x26,
                                         0x5C, 0x30, 0x41, 0x00, 0x01, 0x00};
    std::vector<BYTE> gpt = {'D', 'M', 'I', 'O', ':', 'I', 'D', ':'};
    const BYTE guid[16] = {0x5C, 0x30, 0x23, 0x00, 0x26, 0xFF, 0x3C, 0xFF,
                           0xD8, 0xD8, 0x00, 0xDC, 0x9A, 0x0B, 0x11, 0x22};
    gpt.insert(gpt.end(), guid, guid + 16);
    ASSERT_EQ(24u, gpt.size());

    for (UINT codePage : {1252u, 932u}) {
        for (bool vista : {false, true}) {
            SCOPED_TRACE(std::to_string(codePage) + (vista ? " instance path" : " parent id"));
            Machine m(vista);
            m.fake.SetCodePage(codePage);
            SetRecordBytes(m.fake, 'E', mbr);
            SetRecordBytes(m.fake, 'F', mbrNoZero);
            SetRecordBytes(m.fake, 'G', gpt);
            // Readers whose instances carry empty or odd parent ids.
            m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\1&0", "ParentIdPrefix", "");
            m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\?", "ParentIdPrefix", "?");
            m.fake.CreateKey(kUsbStor + "\\" + kKcModule + "\\DMIO:ID:");

            m.service.Scan.AssignDrives(TRUE);
            EXPECT_EQ("", Slots(m.service));
            EXPECT_TRUE(DriveIconKeys(m.fake).empty());
            EXPECT_EQ("", m.ReleaseCheck("EFG"));
            EXPECT_EQ(0u, m.fake.OpenKeyCount());
        }
    }
}

TEST(BadKeyNames, SeparatorsLookAlikesAndTheNameBufferEdge) {
    Machine m;
    // '#' and '&' inside the parent-id field.
    m.fake.SetDriveType('E', DRIVE_REMOVABLE);
    m.fake.SetMountRecord('E', ParentIdRecord("7#e&&0"));
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\1&0", "ParentIdPrefix", "7&e&&0");
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\2&0", "ParentIdPrefix", "7#e&&0");
    // Full-width '\' and '#' have no single-byte form: Windows takes the
    // nearest one (best fit), '\' and '#'; no instance has that parent id.
    m.fake.SetDriveType('F', DRIVE_REMOVABLE);
    m.fake.SetBinary(
        kMounted, MountValueName('F'),
        FakeWindows::Utf16Bytes(u"\\??\\STORAGE#RemovableMedia#7&\uFF3C\uFF03&0&RM#{g}"));
    m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\3&0", "ParentIdPrefix", "7&f&0");
    EXPECT_FALSE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 ", Slots(m.service));
    EXPECT_TRUE(HasDriveKeys(m.fake, 'E', "KC Media", "C:\\Qarn\\QarnIcons.dll,5"));

    // Instance-path records: an extra '#' field names a device key with '/';
    // full-width '#' and '\' turn into real ones (best fit) and so cut the
    // record into fields that name keys that are not there.
    Machine v(true);
    PlugInstancePathDevice(v.fake, 'E', kKcModule + "/extra", "0001&0");
    v.fake.SetDriveType('F', DRIVE_REMOVABLE);
    v.fake.SetBinary(kMounted, MountValueName('F'),
                     FakeWindows::Utf16Bytes(u"\\??\\USBSTOR#Disk&Ven_Qarn&Prod_KF_Slot_Module"
                                             u"\uFF03Rev_1.00#0002&0#{g}"));
    v.fake.CreateKey(kUsbStor + "\\" + kKfModule + "\\0002&0");
    v.fake.SetDriveType('G', DRIVE_REMOVABLE);
    v.fake.SetBinary(kMounted, MountValueName('G'),
                     FakeWindows::Utf16Bytes(u"\\??\\USBSTOR#" +
                                             std::u16string(kKfModule.begin(), kKfModule.end()) +
                                             u"#0003\uFF3C0#{g}"));
    v.fake.CreateKey(kUsbStor + "\\" + kKfModule + "\\0003&0");
    EXPECT_FALSE(v.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 ", Slots(v.service));

    // Code page 932: device key names of 259 bytes fit the 260-byte buffer,
    // one ending in a double-byte character, one in a single-byte katakana
    // (0xB1, no lead byte). A name never ends in a lone lead byte: Windows
    // converts it from Unicode, and a lead byte before '\' in a path takes the
    // '\' as its trail byte.
    Machine j;
    j.fake.SetCodePage(932);
    const std::string nichi = "\x93\xFA";  // U+65E5, no '\' in it
    const std::string fullKey = kKcModule + "_" + Repeat(nichi, 108);
    ASSERT_EQ(259u, fullKey.size());
    const std::string kanaKey = kKfModule + Repeat(nichi, 108) + "\xB1";
    ASSERT_EQ(259u, kanaKey.size());
    PlugParentIdDevice(j.fake, 'E', fullKey, "1&0", "7&e&0");
    PlugParentIdDevice(j.fake, 'F', kanaKey, "1&0", "7&f&0");
    // One byte more does not fit: the enumeration ends at that key, which
    // sorts after the other two.
    const std::string overKey = kKdSlot + Repeat(nichi, 108) + "_";
    ASSERT_EQ(261u, overKey.size());
    PlugParentIdDevice(j.fake, 'G', overKey, "1&0", "7&g&0");
    EXPECT_FALSE(j.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 F10 ", Slots(j.service));
    EXPECT_TRUE(HasDriveKeys(j.fake, 'F', "KF Card", "C:\\Qarn\\QarnIcons.dll,4"));
    EXPECT_EQ("E8 F10 ", j.ReleaseCheck("G"));
    EXPECT_EQ(0u, j.fake.OpenKeyCount());
}

TEST(BadParentIdPrefix, StoredAsBinaryOrDword) {
    Machine m;
    const std::string device = kUsbStor + "\\" + kKcModule + "\\";
    auto record = [&](char letter, const std::string& parentId) {
        m.fake.SetDriveType(letter, DRIVE_REMOVABLE);
        m.fake.SetMountRecord(letter, ParentIdRecord(parentId));
    };
    // Binary without a NUL: the bytes are the text.
    record('E', "7&e&0");
    m.fake.SetBinary(device + "E1", "ParentIdPrefix", {'7', '&', 'e', '&', '0'});
    // A DWORD whose four bytes spell "7&f" and a NUL.
    record('F', "7&f");
    m.fake.SetDword(device + "F1", "ParentIdPrefix", 0x00662637);
    // A DWORD that spells nothing, then the right text on the next instance.
    record('G', "7&g&0");
    m.fake.SetDword(device + "G1", "ParentIdPrefix", 0x12345678);
    m.fake.SetString(device + "G2", "ParentIdPrefix", "7&G&0");
    // Binary of 261 bytes is too long to read, even though it starts right.
    record('H', "7&h&0");
    std::vector<BYTE> longBinary = {'7', '&', 'h', '&', '0', 0};
    longBinary.resize(261, 0);
    m.fake.SetBinary(device + "H1", "ParentIdPrefix", longBinary);
    // Empty binary.
    record('I', "7&i&0");
    m.fake.SetBinary(device + "I1", "ParentIdPrefix", {});
    // Exactly 260 bytes of binary is read.
    record('J', "7&j&0");
    std::vector<BYTE> fullBinary = {'7', '&', 'j', '&', '0'};
    fullBinary.resize(260, 0);
    m.fake.SetBinary(device + "J1", "ParentIdPrefix", fullBinary);

    EXPECT_TRUE(m.service.Scan.AssignDrives(TRUE));
    EXPECT_EQ("E8 F8 G8 J8 ", Slots(m.service));
    EXPECT_EQ("E8 F8 G8 J8 ", m.ReleaseCheck("HI"));
    EXPECT_EQ(0u, m.fake.OpenKeyCount());
}

TEST(AccessDenied, DriveIconsUsbStorAndOneInstanceKey) {
    // DriveIcons locked: the drive is tracked without keys, once, and freed
    // again when it goes.
    {
        FakeWindows fake;
        fake.SetVersion(5, 1, VER_NT_WORKSTATION);
        PlugParentIdDevice(fake, 'E', kKcModule, "1&0", "7&e&0");
        fake.CreateKey(kDriveIcons);
        fake.DenyAccess(kDriveIcons);
        Started s(fake);
        EXPECT_TRUE(s.service.OnInit());
        EXPECT_EQ("E8 ", Slots(s.service));
        s.Arrival();
        EXPECT_EQ("E8 ", Slots(s.service));
        fake.SetDriveType('E', DRIVE_NO_ROOT_DIR);
        s.Removal();
        EXPECT_EQ("", Slots(s.service));
        s.service.OnStop();
        EXPECT_TRUE(DriveIconKeys(fake).empty());
        EXPECT_EQ(0u, fake.OpenKeyCount());
    }
    // USBSTOR locked after the start: a drive that cannot be confirmed is
    // released; nothing is recognised; no key is made elsewhere.
    {
        FakeWindows fake;
        fake.SetVersion(5, 1, VER_NT_WORKSTATION);
        PlugParentIdDevice(fake, 'E', kKcModule, "1&0", "7&e&0");
        PlugParentIdDevice(fake, 'F', kKfModule, "1&0", "7&f&0");
        fake.SetDriveType('F', DRIVE_NO_ROOT_DIR);
        Started s(fake);
        EXPECT_TRUE(s.service.OnInit());
        EXPECT_EQ("E8 ", Slots(s.service));
        const std::vector<std::string> before = fake.KeysBelow("SYSTEM");
        fake.DenyAccess(kUsbStor);
        s.Removal();
        EXPECT_EQ("", Slots(s.service));
        EXPECT_TRUE(DriveIconKeys(fake).empty());
        fake.SetDriveType('F', DRIVE_REMOVABLE);
        s.Arrival();
        EXPECT_EQ("", Slots(s.service));
        s.service.OnStop();
        EXPECT_TRUE(DriveIconKeys(fake).empty());
        EXPECT_EQ(before, fake.KeysBelow("SYSTEM"));
        EXPECT_EQ(0u, fake.OpenKeyCount());
    }
    // One instance key locked: the parent-id variant passes over it to the
    // next instance; the instance-path variant never opens it.
    for (bool vista : {false, true}) {
        SCOPED_TRACE(vista ? "instance path" : "parent id");
        Machine m(vista);
        if (vista) {
            PlugInstancePathDevice(m.fake, 'E', kKcModule, "2&0");
            PlugInstancePathDevice(m.fake, 'F', kKfModule, "1&0");
        } else {
            PlugParentIdDevice(m.fake, 'E', kKcModule, "2&0", "7&e&0");
            PlugParentIdDevice(m.fake, 'F', kKfModule, "1&0", "7&f&0");
        }
        m.fake.SetString(kUsbStor + "\\" + kKcModule + "\\1&0", "ParentIdPrefix", "7&e&0");
        m.fake.DenyAccess(kUsbStor + "\\" + kKcModule + "\\1&0");
        m.fake.DenyAccess(kUsbStor + "\\" + kKfModule + "\\1&0");
        m.service.Scan.AssignDrives(TRUE);
        EXPECT_EQ(vista ? "E8 F10 " : "E8 ", Slots(m.service));
        EXPECT_EQ(vista ? "E8 F10 " : "E8 ", m.ReleaseCheck(vista ? "" : "F"));
        EXPECT_EQ(0u, m.fake.OpenKeyCount());
    }
}

TEST(BadStartState, TwentyThreeMarkedLettersAndMoreReadersThanSlots) {
    FakeWindows fake;
    fake.SetVersion(5, 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    MarkEveryLetterAndPlugMoreReadersThanSlots(fake);
    Started s(fake);
    EXPECT_TRUE(s.service.OnInit());
    EXPECT_EQ("E8 F8 G8 H8 I8 J8 K8 L8 M8 N8 O8 P8 Q8 R8 S8 T8 U8 V8 W8 X8 ", Slots(s.service));
    EXPECT_EQ(60u, DriveIconKeys(fake).size());
    EXPECT_FALSE(fake.KeyExists(LetterKey('D')));
    EXPECT_FALSE(fake.KeyExists(LetterKey('Y')));
    EXPECT_TRUE(HasDriveKeys(fake, 'X', "KC Media", "C:\\Qarn\\QarnIcons.dll,5"));

    // No slot free: an arrival changes nothing; a removal frees one for Y.
    s.Arrival();
    EXPECT_EQ(60u, DriveIconKeys(fake).size());
    fake.SetDriveType('G', DRIVE_NO_ROOT_DIR);
    s.Removal();
    s.Arrival();
    EXPECT_EQ("E8 F8 Y8 H8 I8 J8 K8 L8 M8 N8 O8 P8 Q8 R8 S8 T8 U8 V8 W8 X8 ", Slots(s.service));
    EXPECT_FALSE(fake.KeyExists(LetterKey('G')));
    EXPECT_TRUE(HasDriveKeys(fake, 'Y', "KC Media", "C:\\Qarn\\QarnIcons.dll,5"));

    s.service.OnStop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_EQ("", Slots(s.service));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}
