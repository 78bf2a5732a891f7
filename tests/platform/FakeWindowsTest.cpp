// The substitute every other unit test trusts: each case checks a point where
// it must answer the way Windows does.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ScopedHandle.h"
#include "platform/fake/FakeWindows.h"

namespace {

constexpr LONG kErrorKeyDeleted = 1018;
constexpr DWORD kErrorProcNotFound = 127;

std::vector<BYTE> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Opens (or creates) a key and hands it to a scoped owner.
LONG Open(FakeWindows& os, ScopedRegKey& key, const char* path, REGSAM access = KEY_READ) {
    return os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key.receive());
}
LONG Create(FakeWindows& os, ScopedRegKey& key, const char* path, REGSAM access = KEY_ALL_ACCESS,
            DWORD* disposition = nullptr) {
    return os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, key.receive(), disposition);
}

LONG Enum(FakeWindows& os, const ScopedRegKey& key, DWORD index, char* name, DWORD* length) {
    return os.RegEnumKeyExA(key.get(), index, name, length, nullptr, nullptr, nullptr, nullptr);
}
LONG Query(FakeWindows& os, const ScopedRegKey& key, LPCSTR value, void* data, DWORD* size,
           DWORD* type = nullptr) {
    return os.RegQueryValueExA(key.get(), value, nullptr, type, static_cast<BYTE*>(data), size);
}

// Win32 error codes are long literals; the APIs hand them back as DWORD.
constexpr DWORD Code(long error) { return static_cast<DWORD>(error); }

std::string Convert(FakeWindows& os, const std::u16string& text, BOOL* usedDefault = nullptr) {
    char out[64];
    int n = os.WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out,
                                   sizeof out, nullptr, usedDefault);
    return std::string(out, n > 0 ? n : 0);
}

TEST(FakeRegistry, KeysAreFoundWithoutRegardToCaseAndCreatedAlongTheWholePath) {
    FakeWindows os;
    {
        ScopedRegKey key(os);
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(os, key, "SYSTEM\\Setup\\Deep\\Leaf", KEY_ALL_ACCESS, &disposition));
        EXPECT_EQ(Code(REG_CREATED_NEW_KEY), disposition);
        EXPECT_TRUE(os.KeyExists("system\\SETUP\\deep"));
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(os, key, "system\\setup\\DEEP\\leaf", KEY_ALL_ACCESS, &disposition));
        EXPECT_EQ(Code(REG_OPENED_EXISTING_KEY), disposition);
        EXPECT_EQ(std::vector<std::string>{"Leaf"}, os.SubkeyNames("SYSTEM\\SETUP\\DEEP"));
        EXPECT_EQ(1u, os.OpenKeyCount());

        // Relative to an open key, and the key itself for an empty or missing subkey.
        ScopedRegKey setup(os), child(os), self(os), same(os);
        ASSERT_EQ(ERROR_SUCCESS, Open(os, setup, "SYSTEM\\Setup"));
        EXPECT_EQ(ERROR_SUCCESS,
                  os.RegOpenKeyExA(setup.get(), "deep\\LEAF", 0, KEY_READ, child.receive()));
        EXPECT_EQ(ERROR_SUCCESS, os.RegOpenKeyExA(setup.get(), "", 0, KEY_READ, self.receive()));
        EXPECT_EQ(ERROR_SUCCESS,
                  os.RegOpenKeyExA(setup.get(), nullptr, 0, KEY_READ, same.receive()));
        EXPECT_NE(self.get(), same.get());
        EXPECT_EQ(5u, os.OpenKeyCount());
    }
    EXPECT_EQ(0u, os.OpenKeyCount());
    EXPECT_EQ(ERROR_INVALID_HANDLE, os.RegCloseKey(reinterpret_cast<HKEY>(0x1234)));

    // Opening never creates.
    ScopedRegKey missing(os);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, missing, "SYSTEM\\Setup\\Nothing"));
    EXPECT_FALSE(missing);
    EXPECT_FALSE(os.KeyExists("SYSTEM\\Setup\\Nothing"));
    EXPECT_EQ(0u, os.OpenKeyCount());
}

TEST(FakeRegistry, EnumeratesInCaseInsensitiveOrderAndReportsEndAndShortBuffers) {
    FakeWindows os;
    for (const char* name : {"beta", "Alpha", "GAMMA", "A_1", "AB"})
        os.CreateKey(std::string("SYSTEM\\Enum\\") + name);
    // Windows compares upper-cased names, so '_' (0x5F) sorts after the letters.
    EXPECT_EQ((std::vector<std::string>{"AB", "Alpha", "A_1", "beta", "GAMMA"}),
              os.SubkeyNames("SYSTEM\\Enum"));

    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, "SYSTEM\\ENUM"));
    char name[8];
    DWORD length = sizeof name;
    ASSERT_EQ(ERROR_SUCCESS, Enum(os, key, 1, name, &length));
    EXPECT_STREQ("Alpha", name);
    EXPECT_EQ(5u, length);
    length = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(os, key, 5, name, &length));

    // "Alpha" needs 6 bytes with its NUL: 5 is too few, and the buffer stays as it was.
    std::memset(name, 'x', sizeof name);
    length = 5;
    EXPECT_EQ(ERROR_MORE_DATA, Enum(os, key, 1, name, &length));
    EXPECT_EQ(std::string(8, 'x'), std::string(name, 8));
    length = 6;
    EXPECT_EQ(ERROR_SUCCESS, Enum(os, key, 1, name, &length));

    // A key opened only to read values may not be enumerated.
    ScopedRegKey valuesOnly(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, valuesOnly, "SYSTEM\\Enum", KEY_QUERY_VALUE));
    length = sizeof name;
    EXPECT_EQ(ERROR_ACCESS_DENIED, Enum(os, valuesOnly, 0, name, &length));
}

TEST(FakeRegistry, EnumerationByIndexFollowsEveryChangeToTheSubkeys) {
    FakeWindows os;
    for (const char* name : {"K1", "K3", "K5", "K7"})
        os.CreateKey(std::string("SYSTEM\\E\\") + name);
    ScopedRegKey key(os), other(os), writable(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, "SYSTEM\\E"));
    ASSERT_EQ(ERROR_SUCCESS, Open(os, other, "SYSTEM\\E"));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, writable, "SYSTEM\\E"));
    auto nameAt = [&](const ScopedRegKey& handle, DWORD index) -> std::string {
        char name[16];
        DWORD length = sizeof name;
        LONG error = Enum(os, handle, index, name, &length);
        if (error != ERROR_SUCCESS) return "error " + std::to_string(error);
        return std::string(name, length);
    };
    // In order, backwards, skipping ahead, and two handles taking turns.
    EXPECT_EQ("K1", nameAt(key, 0));
    EXPECT_EQ("K3", nameAt(key, 1));
    EXPECT_EQ("K7", nameAt(key, 3));
    EXPECT_EQ("K5", nameAt(key, 2));
    EXPECT_EQ("K1", nameAt(other, 0));
    EXPECT_EQ("K7", nameAt(key, 3));
    EXPECT_EQ("K3", nameAt(other, 1));
    EXPECT_EQ("error 259", nameAt(key, 4));

    // A key created before the last index read moves the ones after it.
    EXPECT_EQ("K5", nameAt(key, 2));
    ScopedRegKey added(os);
    ASSERT_EQ(ERROR_SUCCESS, os.RegCreateKeyExA(writable.get(), "K4", 0, nullptr,
                                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                added.receive(), nullptr));
    EXPECT_EQ("K4", nameAt(key, 2));
    EXPECT_EQ("K5", nameAt(key, 3));
    os.CreateKey("SYSTEM\\E\\K0");
    EXPECT_EQ("K4", nameAt(key, 3));
    EXPECT_EQ("K5", nameAt(key, 4));
    // Deleting the key the last read stood on, through the API and the test set-up.
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(writable.get(), "K5"));
    EXPECT_EQ("K7", nameAt(key, 4));
    EXPECT_EQ("error 259", nameAt(key, 5));
    EXPECT_EQ("K7", nameAt(key, 4));
    os.DeleteTree("SYSTEM\\E\\K7");
    EXPECT_EQ("error 259", nameAt(key, 4));
    EXPECT_EQ("K4", nameAt(key, 3));
    // Opening an existing key changes nothing.
    ASSERT_EQ(ERROR_SUCCESS, Create(os, added, "SYSTEM\\E\\k1"));
    EXPECT_EQ("K4", nameAt(key, 3));
    EXPECT_EQ((std::vector<std::string>{"K0", "K1", "K3", "K4"}), os.SubkeyNames("SYSTEM\\E"));
}

TEST(FakeRegistry, DoubleByteNamesAreCutAndComparedByCharacter) {
    // Under 932, 0x83 0x5C is U+30BD: its trail byte is no separator.
    const std::string device = "Disk&Ven_\x83\x5C&Prod_X";
    FakeWindows sjis;
    sjis.SetCodePage(932);
    sjis.CreateKey("SYSTEM\\USBSTOR\\" + device + "\\0001");
    EXPECT_EQ(std::vector<std::string>{device}, sjis.SubkeyNames("SYSTEM\\USBSTOR"));
    EXPECT_EQ((std::vector<std::string>{"SYSTEM", "SYSTEM\\USBSTOR", "SYSTEM\\USBSTOR\\" + device,
                                        "SYSTEM\\USBSTOR\\" + device + "\\0001"}),
              sjis.KeysBelow(""));
    {
        ScopedRegKey usbstor(sjis), opened(sjis), part(sjis), created(sjis);
        ASSERT_EQ(ERROR_SUCCESS, Open(sjis, usbstor, "SYSTEM\\USBSTOR"));
        char name[32];
        DWORD length = sizeof name;
        ASSERT_EQ(ERROR_SUCCESS, Enum(sjis, usbstor, 0, name, &length));
        EXPECT_EQ(device, std::string(name, length));
        length = sizeof name;
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(sjis, usbstor, 1, name, &length));
        // ASCII letters fold, the double-byte character stays whole.
        EXPECT_EQ(ERROR_SUCCESS, Open(sjis, opened, "system\\usbstor\\DISK&VEN_\x83\x5C&PROD_x"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(sjis, part, "SYSTEM\\USBSTOR\\Disk&Ven_\x83"));
        // Relative to an open key, and a new key whose name holds one.
        EXPECT_EQ(ERROR_SUCCESS,
                  sjis.RegOpenKeyExA(usbstor.get(), (device + "\\0001").c_str(), 0, KEY_READ,
                                     part.receive()));
        ASSERT_EQ(ERROR_SUCCESS, Create(sjis, created, "SYSTEM\\\x95\x5C\\\x83\x5C"));
        EXPECT_EQ(std::vector<std::string>{"\x83\x5C"}, sjis.SubkeyNames("SYSTEM\\\x95\x5C"));
    }
    const std::string devicePath = "SYSTEM\\USBSTOR\\" + device;
    EXPECT_EQ(ERROR_SUCCESS,
              sjis.RegDeleteKeyA(HKEY_LOCAL_MACHINE, (devicePath + "\\0001").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, sjis.RegDeleteKeyA(HKEY_LOCAL_MACHINE, devicePath.c_str()));
    EXPECT_TRUE(sjis.SubkeyNames("SYSTEM\\USBSTOR").empty());
    // A trail byte in 'a'..'z' is never folded: 0x83 0x61 (U+30C2) and 0x83 0x41
    // (U+30A2) are different characters, in key and value names alike. A lead
    // byte at the end of a name stands alone.
    sjis.CreateKey("SYSTEM\\Trail\\\x83\x61");
    sjis.CreateKey("SYSTEM\\Trail\\\x83\x41");
    sjis.CreateKey("SYSTEM\\Trail\\Lone\x83");
    EXPECT_EQ((std::vector<std::string>{"Lone\x83", "\x83\x41", "\x83\x61"}),
              sjis.SubkeyNames("SYSTEM\\Trail"));
    sjis.SetString("SYSTEM\\Trail", "N\x83\x61", "text");
    EXPECT_FALSE(sjis.GetValue("SYSTEM\\Trail", "N\x83\x41"));
    EXPECT_TRUE(sjis.GetValue("SYSTEM\\TRAIL", "n\x83\x61"));

    // Under 1252 the same bytes are two characters, 0x5C a separator: two levels.
    FakeWindows latin;
    latin.CreateKey("SYSTEM\\USBSTOR\\" + device);
    EXPECT_EQ(std::vector<std::string>{"Disk&Ven_\x83"}, latin.SubkeyNames("SYSTEM\\USBSTOR"));
    EXPECT_EQ(std::vector<std::string>{"&Prod_X"},
              latin.SubkeyNames("SYSTEM\\USBSTOR\\Disk&Ven_\x83"));
    latin.CreateKey("SYSTEM\\Trail\\\x83\x61");
    latin.CreateKey("SYSTEM\\Trail\\\x83\x41");
    EXPECT_EQ(std::vector<std::string>{"\x83\x61"}, latin.SubkeyNames("SYSTEM\\Trail"));
    latin.SetString("SYSTEM\\Trail", "N\x83\x61", "text");
    EXPECT_TRUE(latin.GetValue("SYSTEM\\Trail", "N\x83\x41"));
}

TEST(FakeRegistry, QueriesCopyRawBytesOnlyWhenTheyFit) {
    FakeWindows os;
    os.SetValue("SYSTEM\\Values", "Raw", REG_BINARY, Bytes("abc"));  // no NUL stored
    os.SetString("SYSTEM\\Values", "", "default text");
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, "SYSTEM\\Values"));

    char data[16];
    std::memset(data, 'x', sizeof data);
    DWORD type = 0, size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, "RAW", data, &size, &type));
    EXPECT_EQ(Code(REG_BINARY), type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ("abcx", std::string(data, 4));  // nothing appended

    // Size only; then a buffer one byte short.
    size = 0;
    EXPECT_EQ(ERROR_SUCCESS, Query(os, key, nullptr, nullptr, &size, &type));
    EXPECT_EQ(13u, size);
    EXPECT_EQ(Code(REG_SZ), type);
    std::memset(data, 'x', sizeof data);
    size = 12;
    EXPECT_EQ(ERROR_MORE_DATA, Query(os, key, "", data, &size));
    EXPECT_EQ(13u, size);
    EXPECT_EQ(std::string(16, 'x'), std::string(data, 16));
    size = 13;
    EXPECT_EQ(ERROR_SUCCESS, Query(os, key, nullptr, data, &size));
    EXPECT_STREQ("default text", data);

    size = sizeof data;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(os, key, "Absent", data, &size));
    os.SetValue("SYSTEM\\Empty", "Other", REG_SZ, Bytes("x"));
    ScopedRegKey empty(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, empty, "SYSTEM\\Empty"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(os, empty, nullptr, data, &size));

    // Setting stores exactly the bytes given; a read-only key refuses.
    BYTE label[] = {'L', 'b', 0, 'z'};
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegSetValueExA(key.get(), nullptr, 0, REG_SZ, label, 3));
    ScopedRegKey writable(os);
    ASSERT_EQ(ERROR_SUCCESS, Create(os, writable, "SYSTEM\\Values"));
    EXPECT_EQ(ERROR_SUCCESS, os.RegSetValueExA(writable.get(), nullptr, 0, REG_SZ, label, 3));
    auto stored = os.GetValue("SYSTEM\\VALUES", "");
    ASSERT_TRUE(stored);
    EXPECT_EQ((std::vector<BYTE>{'L', 'b', 0}), stored->data);
    EXPECT_EQ("Lb", stored->AsString());
}

TEST(FakeRegistry, DeletesOnlyKeysWithoutSubkeys) {
    FakeWindows os;
    os.SetString("SOFTWARE\\Icons\\G\\DefaultIcon", "", "icon");
    os.SetString("SOFTWARE\\Icons\\G", "Marker", "1");
    ScopedRegKey held(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, held, "SOFTWARE\\Icons\\G\\DefaultIcon"));

    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Icons\\G"));
    EXPECT_TRUE(os.GetValue("SOFTWARE\\Icons\\G", "Marker"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Icons\\H"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere\\H"));
    EXPECT_EQ(ERROR_SUCCESS,
              os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\icons\\g\\defaulticon"));
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Icons\\G"));
    EXPECT_FALSE(os.KeyExists("SOFTWARE\\Icons\\G"));

    // A handle to a deleted key stays open but reaches nothing, even once the path is back.
    os.SetString("SOFTWARE\\Icons\\G\\DefaultIcon", "", "new");
    DWORD size = 0;
    EXPECT_EQ(kErrorKeyDeleted, Query(os, held, nullptr, nullptr, &size));
    EXPECT_EQ(1u, os.OpenKeyCount());
}

TEST(FakeRegistry, Wow64ProcessSeesTheRedirectedSoftwareViewUnlessItAsksFor64Bit) {
    FakeWindows os;
    os.SetWow64Process(true);
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, "SOFTWARE\\Qarn\\Plain"));
    ASSERT_EQ(ERROR_SUCCESS,
              Create(os, key, "SOFTWARE\\Qarn\\Native", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS,
              Create(os, key, "SOFTWARE\\Qarn\\Explicit", KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, "SOFTWARE\\Wow6432Node\\Already"));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, "SYSTEM\\Never"));
    key.reset();
    ASSERT_EQ(ERROR_SUCCESS,
              os.RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn\\Old", key.receive()));
    key.reset();
    EXPECT_EQ((std::vector<std::string>{"Native"}), os.SubkeyNames("SOFTWARE\\Qarn"));
    EXPECT_EQ((std::vector<std::string>{"Explicit", "Old", "Plain"}),
              os.SubkeyNames("SOFTWARE\\Wow6432Node\\Qarn"));
    EXPECT_TRUE(os.KeyExists("SOFTWARE\\Wow6432Node\\Already"));
    EXPECT_TRUE(os.KeyExists("SYSTEM\\Never"));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, key, "SOFTWARE\\Qarn\\Native"));
    EXPECT_EQ(ERROR_SUCCESS, Open(os, key, "SOFTWARE\\Qarn\\Native", KEY_READ | KEY_WOW64_64KEY));
    key.reset();

    // Plain RegDeleteKeyA stays in the 32-bit view; RegDeleteKeyExA picks its view.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn\\Native"));
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qarn\\Plain"));
    FARPROC deleteEx = os.GetProcAddress(os.GetModuleHandleA("Advapi32"), "RegDeleteKeyExA");
    ASSERT_NE(nullptr, deleteEx);
    EXPECT_EQ(ERROR_SUCCESS, os.CallRegDeleteKeyExA(deleteEx, HKEY_LOCAL_MACHINE,
                                                    "SOFTWARE\\Qarn\\Native", KEY_WOW64_64KEY, 0));
    EXPECT_EQ(ERROR_SUCCESS, os.CallRegDeleteKeyExA(deleteEx, HKEY_LOCAL_MACHINE,
                                                    "SOFTWARE\\Qarn\\Old", KEY_WOW64_32KEY, 0));
    EXPECT_TRUE(os.SubkeyNames("SOFTWARE\\Qarn").empty());
    EXPECT_EQ((std::vector<std::string>{"Explicit"}),
              os.SubkeyNames("SOFTWARE\\Wow6432Node\\Qarn"));

    // A 32-bit Windows has one view: both flags change nothing.
    FakeWindows plain;
    ScopedRegKey k(plain);
    ASSERT_EQ(ERROR_SUCCESS, Create(plain, k, "SOFTWARE\\A", KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    ASSERT_EQ(ERROR_SUCCESS, Create(plain, k, "SOFTWARE\\B", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    EXPECT_EQ((std::vector<std::string>{"A", "B"}), plain.SubkeyNames("SOFTWARE"));
}

TEST(FakeRegistry, DeniedKeysCannotBeOpenedCreatedBelowOrDeleted) {
    FakeWindows os;
    os.CreateKey("SOFTWARE\\Locked\\Inside");
    os.DenyAccess("software\\locked");
    ScopedRegKey key(os);
    EXPECT_EQ(ERROR_ACCESS_DENIED, Open(os, key, "SOFTWARE\\Locked"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, Create(os, key, "SOFTWARE\\Locked"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, Create(os, key, "SOFTWARE\\Locked\\New\\Deeper"));
    EXPECT_FALSE(os.KeyExists("SOFTWARE\\Locked\\New"));
    EXPECT_EQ(0u, os.OpenKeyCount());
    os.DeleteTree("SOFTWARE\\Locked\\Inside");
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Locked"));
    EXPECT_TRUE(os.KeyExists("SOFTWARE\\Locked"));
    // A key not yet there is denied as well.
    os.DenyAccess("SYSTEM\\Future");
    EXPECT_EQ(ERROR_ACCESS_DENIED, Create(os, key, "SYSTEM\\Future"));
    EXPECT_FALSE(os.KeyExists("SYSTEM\\Future"));
}

TEST(FakeRegistry, RecordsPathsAsRequestedWithAccessAndValueNames) {
    FakeWindows os;
    os.SetWow64Process(true);
    os.SetBinary("SYSTEM\\MountedDevices", "\\DosDevices\\G:", Bytes("x"));
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, "SYSTEM\\MountedDevices"));
    BYTE data[4];
    DWORD size = sizeof data;
    os.RegQueryValueExA(key.get(), "\\DosDevices\\G:", nullptr, nullptr, data, &size);
    Create(os, key, "SOFTWARE\\X", KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    key.reset();
    auto calls = os.Calls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ("RegOpenKeyExA", calls[0].function);
    EXPECT_EQ("SYSTEM\\MountedDevices 0x20019", calls[0].detail);
    EXPECT_EQ("SYSTEM\\MountedDevices \\DosDevices\\G:", calls[1].detail);
    EXPECT_EQ("RegCloseKey", calls[2].function);
    EXPECT_EQ("SOFTWARE\\X 0xf013f", calls[3].detail);
    EXPECT_EQ(5u, os.CountCallsWithPrefix("Reg"));
    os.ClearCalls();
    EXPECT_EQ(0u, os.CountCalls("RegOpenKeyExA"));

    // Relative to an open key, refused calls too: the whole path.
    ScopedRegKey system(os), refused(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, system, "SYSTEM"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              os.RegOpenKeyExA(system.get(), "MountedDevices", 1, KEY_READ, refused.receive()));
    char name[32];
    DWORD length = sizeof name;
    EXPECT_EQ(ERROR_SUCCESS, Enum(os, system, 0, name, &length));
    calls = os.Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("SYSTEM\\MountedDevices 0x20019", calls[1].detail);
    EXPECT_EQ("RegEnumKeyExA", calls[2].function);
    EXPECT_EQ("SYSTEM 0", calls[2].detail);
}

TEST(FakeSystem, LooksUpOptionalExportsByModuleAndName) {
    FakeWindows os;
    HMODULE kernel = os.GetModuleHandleA("kernel32");
    ASSERT_NE(nullptr, kernel);
    EXPECT_EQ(kernel, os.GetModuleHandleA("KERNEL32.DLL"));
    HMODULE advapi = os.GetModuleHandleA("advapi32.dll");
    ASSERT_NE(nullptr, advapi);
    EXPECT_NE(kernel, advapi);
    EXPECT_EQ(nullptr, os.GetModuleHandleA("user64"));

    FARPROC isWow64 = os.GetProcAddress(kernel, "IsWow64Process");
    ASSERT_NE(nullptr, isWow64);
    EXPECT_EQ(nullptr, os.GetProcAddress(advapi, "IsWow64Process"));  // wrong module
    EXPECT_EQ(kErrorProcNotFound, os.GetLastError());
    EXPECT_EQ(nullptr,
              os.GetProcAddress(kernel, "iswow64process"));  // export names keep their case

    BOOL flag = TRUE;
    EXPECT_TRUE(os.CallIsWow64Process(isWow64, os.GetCurrentProcess(), &flag));
    EXPECT_FALSE(flag);
    os.SetWow64Process(true);
    EXPECT_TRUE(os.CallIsWow64Process(isWow64, os.GetCurrentProcess(), &flag));
    EXPECT_TRUE(flag);

    os.SetExportPresent("IsWow64Process", false);
    os.SetLastError(0);
    EXPECT_EQ(nullptr, os.GetProcAddress(kernel, "IsWow64Process"));
    EXPECT_EQ(kErrorProcNotFound, os.GetLastError());
    os.SetExportPresent("RegDeleteKeyExA", false);
    EXPECT_EQ(nullptr, os.GetProcAddress(advapi, "RegDeleteKeyExA"));
}

TEST(FakeSystem, VersionRecordSizeDecidesWhatIsFilledAndWhatFails) {
    FakeWindows os;
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(5u, ex.dwMajorVersion);
    EXPECT_EQ(1u, ex.dwMinorVersion);
    EXPECT_EQ(Code(VER_PLATFORM_WIN32_NT), ex.dwPlatformId);
    EXPECT_EQ(VER_NT_WORKSTATION, ex.wProductType);
    EXPECT_EQ(2, ex.wServicePackMajor);

    os.SetVersion(6, 0, VER_NT_SERVER);
    OSVERSIONINFOEXA plain{};
    plain.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    plain.wProductType = 0x77;
    ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&plain)));
    EXPECT_EQ(6u, plain.dwMajorVersion);
    EXPECT_EQ(0x77, plain.wProductType);  // beyond the short record: untouched

    OSVERSIONINFOEXA odd{};
    odd.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&odd)));
    EXPECT_EQ(0u, odd.dwMajorVersion);

    os.SetVersionFailures(true, false);
    EXPECT_FALSE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(Code(ERROR_INVALID_PARAMETER), os.GetLastError());
    EXPECT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&plain)));
    os.SetVersionFailures(false, true);
    EXPECT_FALSE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&plain)));
    EXPECT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
}

TEST(FakeSystem, ModulePathIsCutToTheBufferAndDriveTypesArePerLetter) {
    FakeWindows os;
    char path[MAX_PATH];
    DWORD n = os.GetModuleFileNameA(nullptr, path, MAX_PATH);
    EXPECT_STREQ("C:\\Program Files\\Qarn\\QarnIEx.exe", path);
    EXPECT_EQ(std::strlen(path), n);

    os.SetModulePath("C:\\abcdefgh.exe");  // 15 characters
    char small[10];
    std::memset(small, 'x', sizeof small);
    os.SetLastError(0);
    EXPECT_EQ(8u, os.GetModuleFileNameA(nullptr, small, 8));
    EXPECT_STREQ("C:\\abcd", small);
    EXPECT_EQ('x', small[8]);  // nothing past the terminator
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    char exact[16];
    EXPECT_EQ(15u, os.GetModuleFileNameA(nullptr, exact, 16));

    os.SetModulePathFails(true);
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(0u, os.GetModuleFileNameA(nullptr, small, sizeof small));
    EXPECT_EQ('x', small[0]);
    EXPECT_NE(0u, os.GetLastError());

    os.SetDriveType('g', DRIVE_REMOVABLE);
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), os.GetDriveTypeA("G:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), os.GetDriveTypeA("g:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), os.GetDriveTypeA("H:\\"));
    EXPECT_EQ(3u, os.CountCalls("GetDriveTypeA"));
}

TEST(FakeCodePage, Windows1252MapsLatin1AndItsOwnPunctuationAndDefaultsTheRest) {
    FakeWindows os;
    BOOL usedDefault = TRUE;
    EXPECT_EQ("Caf\xE9 \x80 \x93x\x94 \x85\x99\x96", Convert(os, u"Café € “x” …™–", &usedDefault));
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ("a?b?", Convert(os, u"a\u0100b\u3042", &usedDefault));
    EXPECT_TRUE(usedDefault);
    EXPECT_FALSE(os.IsDBCSLeadByte(0x83));

    // -1: up to and including the NUL; size 0: only the size.
    EXPECT_EQ(4, os.WideCharToMultiByte(CP_ACP, 0, u"abc", -1, nullptr, 0, nullptr, nullptr));
    char out[8];
    EXPECT_EQ(4, os.WideCharToMultiByte(CP_ACP, 0, u"abc", -1, out, sizeof out, nullptr, nullptr));
    EXPECT_STREQ("abc", out);
}

TEST(FakeCodePage, ShiftJisKeepsDoubleByteCharactersWholeIncludingTrailBackslashes) {
    FakeWindows os;
    os.SetCodePage(932);
    EXPECT_EQ("\x83\x5C\x95\x5C\x94\x5C\x8F\x5C", Convert(os, u"ソ表能十"));
    EXPECT_EQ(
        "\x82\xA0\x93\xFA\x96\x7B"
        "A\\\xB1",
        Convert(os, u"あ日本A\\ｱ"));
    BOOL usedDefault = FALSE;
    EXPECT_EQ("?x", Convert(os, u"\u00E9x", &usedDefault));
    EXPECT_TRUE(usedDefault);
    EXPECT_TRUE(os.IsDBCSLeadByte(0x83));
    EXPECT_TRUE(os.IsDBCSLeadByte(0xE0));
    EXPECT_FALSE(os.IsDBCSLeadByte(0x5C));
    EXPECT_FALSE(os.IsDBCSLeadByte(0xB1));

    // Too small: nothing past the buffer, no half character, and a failure.
    char out[6];
    std::memset(out, 'x', sizeof out);
    os.SetLastError(0);
    EXPECT_EQ(0, os.WideCharToMultiByte(CP_ACP, 0, u"aソ表", 3, out, 4, nullptr, nullptr));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    EXPECT_EQ("a\x83\x5Cx", std::string(out, 4));
    EXPECT_EQ('x', out[4]);
    EXPECT_EQ(5, os.WideCharToMultiByte(CP_ACP, 0, u"aソ表", 3, nullptr, 0, nullptr, nullptr));
}

TEST(FakeSystem, LastErrorAndThreadIdBelongToTheCallingThread) {
    FakeWindows os;
    EXPECT_EQ(0u, os.GetLastError());
    os.SetLastError(1234);
    DWORD mainId = os.GetCurrentThreadId();
    DWORD otherError = 99, otherId = 0;
    std::thread other([&] {
        otherError = os.GetLastError();
        os.SetLastError(5);
        otherId = os.GetCurrentThreadId();
    });
    other.join();
    EXPECT_EQ(0u, otherError);
    EXPECT_EQ(1234u, os.GetLastError());
    EXPECT_NE(mainId, otherId);
    EXPECT_EQ(mainId, os.GetCurrentThreadId());
}

TEST(FakeServiceManager, HoldsServicesAndWalksTheStopSequence) {
    FakeWindows os;
    os.SetScmOpenFails(ERROR_ACCESS_DENIED);
    EXPECT_EQ(nullptr, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    EXPECT_EQ(Code(ERROR_ACCESS_DENIED), os.GetLastError());
    os.SetScmOpenFails(0);

    ScopedServiceHandle scm(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    {
        ScopedServiceHandle created(
            os,
            os.CreateServiceA(scm.get(), "QarnIEx", "Qarn", SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              "C:\\q.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(created);
        EXPECT_EQ(2u, os.OpenServiceHandleCount());
    }
    auto record = os.FindService("qarniex");
    ASSERT_TRUE(record);
    EXPECT_EQ("C:\\q.exe", record->imagePath);
    EXPECT_EQ(Code(SERVICE_AUTO_START), record->startType);
    EXPECT_EQ("", record->account);
    EXPECT_EQ(nullptr,
              os.CreateServiceA(scm.get(), "QARNIEX", "x", SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                "C:\\q.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Code(ERROR_SERVICE_EXISTS), os.GetLastError());
    EXPECT_EQ(nullptr, os.OpenServiceA(scm.get(), "Other", SERVICE_QUERY_CONFIG));
    EXPECT_EQ(Code(ERROR_SERVICE_DOES_NOT_EXIST), os.GetLastError());

    ScopedServiceHandle service(os, os.OpenServiceA(scm.get(), "QarnIEx", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    SERVICE_STATUS status{};
    EXPECT_FALSE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));  // not running
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.GetLastError());

    record->state = SERVICE_RUNNING;
    record->queriesUntilStopped = 2;
    os.UpdateService(*record);
    ASSERT_TRUE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(Code(SERVICE_STOP_PENDING), status.dwCurrentState);
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(Code(SERVICE_STOP_PENDING), status.dwCurrentState);
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(Code(SERVICE_STOPPED), status.dwCurrentState);

    record = os.FindService("QarnIEx");
    record->state = SERVICE_RUNNING;
    record->refuseStop = true;
    record->queryFails = true;
    record->deleteFails = true;
    os.UpdateService(*record);
    EXPECT_FALSE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(Code(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), os.GetLastError());
    EXPECT_FALSE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_FALSE(os.DeleteService(service.get()));
    EXPECT_EQ(Code(ERROR_ACCESS_DENIED), os.GetLastError());
    record->deleteFails = false;
    os.UpdateService(*record);
    EXPECT_TRUE(os.DeleteService(service.get()));
    EXPECT_FALSE(os.FindService("QarnIEx"));

    service.reset();
    scm.reset();
    EXPECT_EQ(0u, os.OpenServiceHandleCount());
    EXPECT_FALSE(os.CloseServiceHandle(reinterpret_cast<SC_HANDLE>(0x4321)));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
}

TEST(FakeServiceManager, ReportsTheServiceProcessUntilItEnds) {
    FakeWindows os;
    FakeWindows::ServiceRecord record;
    record.name = "QarnIEx";
    record.state = SERVICE_RUNNING;
    record.queriesUntilStopped = 1;
    record.processId = 1234;
    os.AddService(record);
    ScopedServiceHandle scm(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScopedServiceHandle service(os, os.OpenServiceA(scm.get(), "QarnIEx", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    EXPECT_FALSE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&status), 8, &needed));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    EXPECT_EQ(36u, needed);
    ASSERT_TRUE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<LPBYTE>(&status), sizeof status, &needed));
    EXPECT_EQ(Code(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(1234u, status.dwProcessId);

    EXPECT_EQ(nullptr, os.OpenProcess(SYNCHRONIZE, FALSE, 999));
    EXPECT_EQ(Code(ERROR_INVALID_PARAMETER), os.GetLastError());
    ScopedKernelHandle process(os, os.OpenProcess(SYNCHRONIZE, FALSE, 1234));
    ASSERT_TRUE(process);
    EXPECT_EQ(Code(WAIT_TIMEOUT), os.WaitForSingleObject(process.get(), 10));  // still running

    SERVICE_STATUS plain{};
    ASSERT_TRUE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &plain));
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &plain));
    EXPECT_EQ(Code(SERVICE_STOPPED), plain.dwCurrentState);
    EXPECT_EQ(Code(WAIT_OBJECT_0), os.WaitForSingleObject(process.get(), 10));
    ASSERT_TRUE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<LPBYTE>(&status), sizeof status, &needed));
    EXPECT_EQ(0u, status.dwProcessId) << "a stopped service has no process";
    EXPECT_EQ(nullptr, os.OpenProcess(SYNCHRONIZE, FALSE, 1234));

    record = *os.FindService("QarnIEx");
    record.processOutlivesStop = true;
    os.UpdateService(record);
    EXPECT_EQ(Code(WAIT_TIMEOUT), os.WaitForSingleObject(process.get(), 10));

    EXPECT_EQ(1u, os.OpenProcessHandleCount());
    process.reset();
    EXPECT_EQ(0u, os.OpenProcessHandleCount());
    EXPECT_FALSE(os.CloseHandle(reinterpret_cast<HANDLE>(0x4321)));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
}

// A minimal service for the dispatcher: it registers its handler, reports
// running and waits for a stop control.
struct Probe {
    FakeWindows* os = nullptr;
    bool registerHandler = true;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::thread::id mainThread, handlerThread;
    std::vector<std::string> args;
    std::vector<DWORD> controls;
    DWORD handlerThreadId = 0;
};
Probe* g_probe = nullptr;

DWORD WINAPI ProbeHandler(DWORD control, DWORD eventType, LPVOID, LPVOID context) {
    Probe& p = *static_cast<Probe*>(context);
    DWORD id = p.os->GetCurrentThreadId();  // the fake's lock must be free here
    std::lock_guard<std::mutex> lock(p.mu);
    p.handlerThread = std::this_thread::get_id();
    p.handlerThreadId = id;
    p.controls.push_back(control);
    if (control == SERVICE_CONTROL_STOP) {
        p.stop = true;
        p.cv.notify_all();
    }
    return control == 200 ? 42 + eventType : NO_ERROR;
}

void WINAPI ProbeMain(DWORD argc, LPSTR* argv) {
    Probe& p = *g_probe;
    {
        std::lock_guard<std::mutex> lock(p.mu);
        p.mainThread = std::this_thread::get_id();
        for (DWORD i = 0; i < argc; ++i) p.args.push_back(argv[i]);
    }
    if (!p.registerHandler) {
        std::unique_lock<std::mutex> lock(p.mu);
        p.cv.wait(lock, [&] { return p.stop; });
        return;
    }
    SERVICE_STATUS_HANDLE handle = p.os->RegisterServiceCtrlHandlerExA(argv[0], ProbeHandler, &p);
    SERVICE_STATUS status{
        SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    p.os->SetServiceStatus(handle, &status);
    {
        std::unique_lock<std::mutex> lock(p.mu);
        p.cv.wait(lock, [&] { return p.stop; });
    }
    status.dwCurrentState = SERVICE_STOPPED;
    p.os->SetServiceStatus(handle, &status);
}

TEST(FakeDispatcher, FailsWhenTheProcessWasNotStartedAsAService) {
    FakeWindows os;
    char name[] = "Probe";
    SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
    EXPECT_FALSE(os.StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(Code(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), os.GetLastError());
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.SendControl(SERVICE_CONTROL_STOP));
}

TEST(FakeDispatcher, RunsServiceMainOnItsOwnThreadAndHandlersOnTheDispatcherThread) {
    FakeWindows os;
    Probe probe;
    probe.os = &os;
    g_probe = &probe;
    FakeWindows::ServiceRecord record;
    record.name = "Probe";
    os.AddService(record);
    os.SetStartedAsService(true);

    char name[] = "Probe";
    SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
    BOOL result = FALSE;
    std::thread::id dispatcherThread;
    DWORD dispatcherThreadId = 0;
    std::thread dispatcher([&] {
        dispatcherThread = std::this_thread::get_id();
        dispatcherThreadId = os.GetCurrentThreadId();
        result = os.StartServiceCtrlDispatcherA(table);
    });
    ASSERT_TRUE(os.WaitForReportedState(SERVICE_RUNNING));
    EXPECT_EQ(Code(SERVICE_RUNNING), os.FindService("probe")->state);
    EXPECT_EQ(45u, os.SendControl(200, 3));
    EXPECT_EQ(Code(NO_ERROR), os.SendControl(SERVICE_CONTROL_STOP));
    dispatcher.join();

    EXPECT_TRUE(result);
    EXPECT_EQ(std::vector<std::string>{"Probe"}, probe.args);
    EXPECT_EQ((std::vector<DWORD>{200, SERVICE_CONTROL_STOP}), probe.controls);
    EXPECT_EQ(dispatcherThread, probe.handlerThread);
    EXPECT_EQ(dispatcherThreadId, probe.handlerThreadId);
    EXPECT_NE(dispatcherThread, probe.mainThread);
    EXPECT_NE(std::this_thread::get_id(), probe.mainThread);
    auto reports = os.StatusReports();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(Code(SERVICE_STOPPED), reports[1].dwCurrentState);
    EXPECT_EQ(Code(SERVICE_STOPPED), os.FindService("Probe")->state);
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.SendControl(200));
}

TEST(FakeDispatcher, EarlyControlsWaitForTheHandlerOrFailWhenTheServiceEnds) {
    // Posted before the service is even started: delivered once the handler is there.
    {
        FakeWindows os;
        Probe probe;
        probe.os = &os;
        g_probe = &probe;
        os.SetStartedAsService(true);
        os.PostControl(SERVICE_CONTROL_STOP);
        char name[] = "Probe";
        SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
        EXPECT_TRUE(os.StartServiceCtrlDispatcherA(table));
        EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, probe.controls);
    }
    // A service that never registers a handler answers nothing.
    {
        FakeWindows os;
        Probe probe;
        probe.os = &os;
        probe.registerHandler = false;
        g_probe = &probe;
        os.SetStartedAsService(true);
        char name[] = "Probe";
        SERVICE_TABLE_ENTRYA table[] = {{name, ProbeMain}, {nullptr, nullptr}};
        std::thread dispatcher([&] { os.StartServiceCtrlDispatcherA(table); });
        std::thread sender([&] {
            std::lock_guard<std::mutex> lock(probe.mu);
            probe.stop = true;
            probe.cv.notify_all();
        });
        DWORD answer = os.SendControl(SERVICE_CONTROL_STOP);
        sender.join();
        dispatcher.join();
        EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), answer);
        EXPECT_TRUE(probe.controls.empty());
    }
}

TEST(FakeEventLog, RecordsSourcesEventsAndDebugOutput) {
    FakeWindows os;
    HANDLE source = os.RegisterEventSourceA(nullptr, "QarnIEx");
    ASSERT_NE(nullptr, source);
    LPCSTR strings[] = {"QarnIEx", "second"};
    EXPECT_TRUE(
        os.ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 102, nullptr, 2, 0, strings, nullptr));
    EXPECT_FALSE(os.ReportEventA(reinterpret_cast<HANDLE>(0x99), EVENTLOG_ERROR_TYPE, 0, 1, nullptr,
                                 0, 0, nullptr, nullptr));
    auto events = os.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("QarnIEx", events[0].source);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
    EXPECT_EQ(102u, events[0].id);
    EXPECT_FALSE(events[0].hasSid);
    EXPECT_EQ((std::vector<std::string>{"QarnIEx", "second"}), events[0].strings);
    EXPECT_EQ(1, os.OpenEventSourceCount());
    EXPECT_TRUE(os.DeregisterEventSource(source));
    EXPECT_FALSE(os.DeregisterEventSource(source));
    EXPECT_EQ(0, os.OpenEventSourceCount());
    os.SetRegisterEventSourceFails(true);
    EXPECT_EQ(nullptr, os.RegisterEventSourceA(nullptr, "QarnIEx"));
    EXPECT_EQ(1, os.EventSourceRegistrations());

    os.OutputDebugStringA("[QarnIEx](1000): one\n");
    os.OutputDebugStringA("two");
    EXPECT_EQ((std::vector<std::string>{"[QarnIEx](1000): one\n", "two"}), os.DebugOutput());
    os.WriteStdout("a\n");
    os.WriteStdout("b\n");
    EXPECT_EQ("a\nb\n", os.Stdout());
}

TEST(FakeDeviceNotification, CopiesTheFilterAndWantsARegisteredStatusHandle) {
    FakeWindows os;
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid.Data1 = 0x53F5630D;
    EXPECT_EQ(nullptr, os.RegisterDeviceNotificationA(reinterpret_cast<HANDLE>(0x55), &filter,
                                                      DEVICE_NOTIFY_SERVICE_HANDLE));
    SERVICE_STATUS_HANDLE status = os.RegisterServiceCtrlHandlerExA("Probe", ProbeHandler, nullptr);
    ASSERT_NE(nullptr, status);
    EXPECT_NE(nullptr,
              os.RegisterDeviceNotificationA(status, &filter, DEVICE_NOTIFY_SERVICE_HANDLE));
    filter.dbcc_classguid.Data1 = 0;  // the fake keeps its own copy
    auto registrations = os.DeviceRegistrations();
    ASSERT_EQ(1u, registrations.size());
    EXPECT_EQ(static_cast<HANDLE>(status), registrations[0].recipient);
    EXPECT_EQ(0x53F5630Du, registrations[0].filter.dbcc_classguid.Data1);

    os.SetRegisterHandlerFails(true);
    EXPECT_EQ(nullptr, os.RegisterServiceCtrlHandlerExA("Probe", ProbeHandler, nullptr));
    EXPECT_NE(0u, os.GetLastError());
    SERVICE_STATUS report{};
    EXPECT_FALSE(os.SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x77), &report));
}

}  // namespace
