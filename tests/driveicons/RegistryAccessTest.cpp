// Registry operations of the drive icon service and platform detection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DriveFixture.h"

using namespace fixture;

TEST(DriveIconRegistry, EnumerateCreatesMissingKeyAndStopsPastTheEnd) {
    FakeWindows fake;
    CIConEx service(fake);
    fake.CreateKey(kUsbStor + "\\DeviceA");
    fake.CreateKey(kUsbStor + "\\DeviceB");

    char name[MAX_PATH];
    DWORD length = MAX_PATH;
    std::memset(name, 0, sizeof name);
    ASSERT_TRUE(service.Scan.Registry.EnumRegSubkey(HKEY_LOCAL_MACHINE, kUsbStor.c_str(), name,
                                                    &length, 1));
    EXPECT_EQ(fake.SubkeyNames(kUsbStor)[1], std::string(name));
    EXPECT_EQ(std::strlen(name), length);

    length = MAX_PATH;
    EXPECT_FALSE(service.Scan.Registry.EnumRegSubkey(HKEY_LOCAL_MACHINE, kUsbStor.c_str(), name,
                                                     &length, 2));

    // A missing path is created, empty, and yields nothing; ReadRegValue creates nothing.
    std::string text;
    EXPECT_FALSE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing\\Read",
                                                    nullptr, REG_SZ, &text, MAX_PATH));
    EXPECT_FALSE(fake.KeyExists("SOFTWARE\\Missing\\Read"));
    length = MAX_PATH;
    EXPECT_FALSE(service.Scan.Registry.EnumRegSubkey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing\\Enum",
                                                     name, &length, 0));
    EXPECT_TRUE(fake.KeyExists("SOFTWARE\\Missing\\Enum"));

    // A name longer than the buffer is refused.
    fake.CreateKey(kUsbStor + "\\DeviceA\\" + std::string(40, 'x'));
    char small[8];
    length = sizeof small;
    EXPECT_FALSE(service.Scan.Registry.EnumRegSubkey(
        HKEY_LOCAL_MACHINE, (kUsbStor + "\\DeviceA").c_str(), small, &length, 0));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}

TEST(DriveIconRegistry, ReadStringsAndBinaryData) {
    FakeWindows fake;
    CIConEx service(fake);
    const std::string key = "SOFTWARE\\Test";
    fake.SetString(key, "", "default text");
    fake.SetString(key, "Named", "named text");
    fake.SetBinary(key, "Bytes", {'a', 'b', 'c'});  // no NUL
    fake.SetValue(key, "Embedded", REG_SZ, {'o', 'n', 'e', 0, 't', 'w', 'o', 0});
    fake.SetString(key, "Big", std::string(300, 'b'));

    std::string text = "stale";
    ASSERT_TRUE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ,
                                                   &text, MAX_PATH));
    EXPECT_EQ("default text", text);
    ASSERT_TRUE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Named", REG_SZ,
                                                   &text, MAX_PATH));
    EXPECT_EQ("named text", text);
    // A string stored without a NUL ends with the data returned.
    ASSERT_TRUE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Bytes", REG_SZ,
                                                   &text, MAX_PATH));
    EXPECT_EQ("abc", text);
    ASSERT_TRUE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Embedded",
                                                   REG_SZ, &text, MAX_PATH));
    EXPECT_EQ("one", text);
    EXPECT_FALSE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Big", REG_SZ,
                                                    &text, MAX_PATH));
    EXPECT_FALSE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Missing",
                                                    REG_SZ, &text, MAX_PATH));

    // Binary reads take the bytes whatever the stored type.
    BYTE bytes[MAX_PATH];
    std::memset(bytes, 0x7F, sizeof bytes);
    ASSERT_TRUE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Named",
                                                   REG_BINARY, bytes, sizeof bytes));
    EXPECT_EQ(0, std::memcmp(bytes, "named text", 11));
    EXPECT_EQ(0x7F, bytes[11]);
    EXPECT_FALSE(service.Scan.Registry.ReadRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Big",
                                                    REG_BINARY, bytes, sizeof bytes));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}

TEST(DriveIconRegistry, WriteStringsWithinTheBuffer) {
    FakeWindows fake;
    CIConEx service(fake);
    const std::string key = "SOFTWARE\\A\\B\\C";
    ASSERT_TRUE(
        service.Scan.Registry.WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, ""));
    EXPECT_TRUE(fake.KeyExists("SOFTWARE\\A\\B"));
    EXPECT_EQ(std::vector<BYTE>{0}, fake.GetValue(key, "")->data);

    const std::string longest(259, 'x');
    ASSERT_TRUE(service.Scan.Registry.WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Long", REG_SZ,
                                                    longest.c_str()));
    EXPECT_EQ(260u, fake.GetValue(key, "Long")->data.size());
    EXPECT_EQ(REG_SZ, fake.GetValue(key, "Long")->type);

    // 260 characters do not fit: nothing is written, not even the key.
    const std::string tooLong(260, 'y');
    EXPECT_FALSE(service.Scan.Registry.WriteRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\D", "Long",
                                                     REG_SZ, tooLong.c_str()));
    EXPECT_FALSE(fake.KeyExists("SOFTWARE\\D"));
    EXPECT_FALSE(service.Scan.Registry.WriteRegValue(HKEY_LOCAL_MACHINE, key.c_str(), "Dword",
                                                     REG_DWORD, "1"));
    EXPECT_FALSE(fake.GetValue(key, "Dword").has_value());

    fake.DenyAccess("SOFTWARE\\Denied");
    EXPECT_FALSE(service.Scan.Registry.WriteRegValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Denied\\X",
                                                     nullptr, REG_SZ, "a"));
    EXPECT_EQ(0u, fake.OpenKeyCount());
}

TEST(DriveIconRegistry, DeleteDriveIconKeysInBothViews) {
    FakeWindows fake;
    CIConEx service(fake);
    // No keys for the letter: nothing changes.
    service.Scan.Registry.DeleteDriveIconKeys('E');
    EXPECT_TRUE(DriveIconKeys(fake).empty());

    WriteIconKeys(fake, 'E', "KB Media");
    WriteIconKeys(fake, 'F', "KB Media");
    fake.CreateKey(LetterKey('F') + "\\Other");
    service.Scan.Registry.DeleteDriveIconKeys('E');
    service.Scan.Registry.DeleteDriveIconKeys('F');
    // F keeps its letter key, which still has a subkey of another program.
    EXPECT_EQ((std::vector<std::string>{"F", "F\\Other"}), DriveIconKeys(fake));

    // Under WOW64 the 64-bit view, in the order icon, label, letter.
    fake.DeleteTree(kDriveIcons);
    fake.SetWow64Process(true);
    service.Scan.SetPlatform(FALSE, TRUE);
    WriteIconKeys(fake, 'G', "KD Media");
    WriteIconKeys(fake, 'G', "KD Media", kDriveIcons32);
    fake.ClearCalls();
    service.Scan.Registry.DeleteDriveIconKeys('G');
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_EQ(3u, DriveIconKeys(fake, kDriveIcons32).size());
    std::vector<std::string> deleted;
    for (const auto& call : fake.Calls()) {
        if (call.function == "RegDeleteKeyExA") deleted.push_back(call.detail);
    }
    ASSERT_EQ(3u, deleted.size());
    EXPECT_NE(std::string::npos, deleted[0].find("G\\DefaultIcon"));
    EXPECT_NE(std::string::npos, deleted[1].find("G\\DefaultLabel"));
    EXPECT_EQ(std::string::npos, deleted[2].find("G\\Default"));
    EXPECT_EQ(0u, fake.CountCalls("RegDeleteKeyA"));

    // Without RegDeleteKeyExA nothing is deleted.
    WriteIconKeys(fake, 'H', "KD Media");
    fake.SetExportPresent("RegDeleteKeyExA", false);
    service.Scan.Registry.DeleteDriveIconKeys('H');
    EXPECT_EQ(3u, DriveIconKeys(fake).size());
    EXPECT_EQ(0u, fake.OpenKeyCount());
}

TEST(DriveIconRegistry, DetectPlatformTable) {
    struct Row {
        DWORD major, minor;
        BYTE product;
        DWORD platformId;
        bool wow64Process;
        bool exportPresent;
        bool extendedFails, plainFails;
        BOOL vista, wow64;
        bool asked;  // IsWow64Process called
    };
    const DWORD nt = VER_PLATFORM_WIN32_NT;
    const BYTE ws = VER_NT_WORKSTATION, srv = VER_NT_SERVER, dc = VER_NT_DOMAIN_CONTROLLER;
    const Row rows[] = {
        {4, 10, ws, VER_PLATFORM_WIN32_WINDOWS, true, true, false, false, 0, 0, false},
        {5, 0, ws, nt, true, true, false, false, 0, 0, false},
        {5, 1, ws, nt, true, true, false, false, 0, 0, false},
        {5, 1, srv, nt, true, true, false, false, 0, 0, false},
        {5, 2, ws, nt, true, true, false, false, 0, 1, true},
        {5, 2, ws, nt, false, true, false, false, 0, 0, true},
        {5, 2, ws, nt, true, false, false, false, 0, 0, false},
        {5, 2, srv, nt, true, true, false, false, 0, 0, true},
        {5, 2, dc, nt, true, true, false, false, 0, 0, true},
        {6, 0, ws, nt, true, true, false, false, 1, 1, true},
        {6, 0, ws, nt, false, true, false, false, 1, 0, true},
        {6, 0, ws, nt, true, false, false, false, 1, 0, false},
        {6, 0, srv, nt, true, true, false, false, 0, 0, true},
        {6, 0, dc, nt, false, true, false, false, 0, 0, true},
        {6, 1, ws, nt, true, true, false, false, 0, 0, false},
        {7, 0, ws, nt, true, true, false, false, 0, 0, false},
        {4, 0, ws, nt, true, true, false, false, 0, 0, false},
        // Only the short record: the product type reads 0.
        {6, 0, ws, nt, true, true, true, false, 0, 0, true},
        {5, 2, ws, nt, true, true, true, false, 0, 0, true},
        {6, 0, ws, nt, true, true, true, true, 0, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.major) + "." + std::to_string(row.minor) + " product " +
                     std::to_string(row.product) + " wow64 " + std::to_string(row.wow64Process) +
                     " export " + std::to_string(row.exportPresent) + " fails " +
                     std::to_string(row.extendedFails) + std::to_string(row.plainFails));
        FakeWindows fake;
        fake.SetVersion(row.major, row.minor, row.product, row.platformId);
        fake.SetWow64Process(row.wow64Process);
        fake.SetExportPresent("IsWow64Process", row.exportPresent);
        fake.SetVersionFailures(row.extendedFails, row.plainFails);
        CIConEx service(fake);
        service.Scan.SetPlatform(TRUE, TRUE);  // cleared first thing
        service.Scan.DetectPlatform();
        EXPECT_EQ(row.vista, service.Scan.IsVistaWorkstation());
        EXPECT_EQ(row.wow64, service.Scan.IsWow64());
        EXPECT_EQ(row.asked ? 1u : 0u, fake.CountCalls("IsWow64Process"));
        EXPECT_EQ(0u, fake.CountCallsWithPrefix("Reg"));
    }
}

TEST(DriveIconRegistry, FlagsChooseViewVariantAndDefaultIcon) {
    struct Row {
        DWORD major, minor;
        BYTE product;
        bool wow64Process;
        bool instancePath;  // the record shape the machine writes
        std::string base;   // where the keys land in the native tree
        bool icon;
    };
    const Row rows[] = {
        {5, 1, VER_NT_WORKSTATION, false, false, kDriveIcons, true},
        {5, 2, VER_NT_WORKSTATION, true, false, kDriveIcons, false},
        {5, 2, VER_NT_SERVER, true, false, kDriveIcons32, true},
        {6, 0, VER_NT_WORKSTATION, true, true, kDriveIcons, true},
        {6, 0, VER_NT_WORKSTATION, false, true, kDriveIcons, true},
        {6, 0, VER_NT_SERVER, true, false, kDriveIcons32, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.major) + "." + std::to_string(row.minor) + " product " +
                     std::to_string(row.product) + " wow64 " + std::to_string(row.wow64Process));
        FakeWindows fake;
        fake.SetVersion(row.major, row.minor, row.product);
        fake.SetWow64Process(row.wow64Process);
        fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
        const std::string device = kKfModule;
        if (row.instancePath) {
            PlugInstancePathDevice(fake, 'E', device, "0000000000001&0");
        } else {
            PlugParentIdDevice(fake, 'E', device, "0000000000001&0", "7&5e6f&0");
        }
        CIConEx service(fake);
        ASSERT_TRUE(service.OnInit());
        EXPECT_EQ("E10 ", Slots(service));
        const std::string other = row.base == kDriveIcons ? kDriveIcons32 : kDriveIcons;
        EXPECT_TRUE(HasDriveKeys(
            fake, 'E', "KF Card",
            row.icon ? std::optional<std::string>("C:\\Qarn\\QarnIcons.dll,4") : std::nullopt,
            row.base));
        EXPECT_TRUE(DriveIconKeys(fake, other).empty());

        service.OnStop();
        EXPECT_TRUE(DriveIconKeys(fake, row.base).empty());
        EXPECT_EQ("", Slots(service));
        EXPECT_EQ(0u, fake.OpenKeyCount());
    }
}
