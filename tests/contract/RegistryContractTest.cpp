// Registry keys and values: paths, case, enumeration, buffer rules, failure
// codes, deletion and the WOW64 views.
#include <cstring>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "ContractMachine.h"

namespace {

using namespace contract;
using RegistryContract = ContractTest;

std::string Sys(const std::string& rest) { return kSystemScratch + "\\" + rest; }
std::string Soft(const std::string& rest) { return kSoftwareScratch + "\\" + rest; }

TEST_F(RegistryContract, KeysAreFoundWithoutRegardToCaseAndCreatedAlongTheWholePath) {
    ScopedRegKey key(os);
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              Create(os, key, Sys("Setup\\Deep\\Leaf"), KEY_ALL_ACCESS, &disposition));
    EXPECT_EQ(Code(REG_CREATED_NEW_KEY), disposition);
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, "system\\qarncontract\\SETUP\\deep\\LEAF",
                                    KEY_ALL_ACCESS, &disposition));
    EXPECT_EQ(Code(REG_OPENED_EXISTING_KEY), disposition);
    // Names keep the case they were created with.
    EXPECT_EQ(Names{"Leaf"}, SubkeyNames(os, Sys("SETUP\\DEEP")));
    EXPECT_EQ(Names{"Deep"}, SubkeyNames(os, Sys("setup")));

    // Relative to an open key, and the key itself for an empty or missing subkey.
    ScopedRegKey setup(os), child(os), self(os), same(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, setup, Sys("Setup")));
    EXPECT_EQ(ERROR_SUCCESS,
              os.RegOpenKeyExA(setup.get(), "deep\\LEAF", 0, KEY_READ, child.receive()));
    EXPECT_EQ(ERROR_SUCCESS, os.RegOpenKeyExA(setup.get(), "", 0, KEY_READ, self.receive()));
    EXPECT_EQ(ERROR_SUCCESS, os.RegOpenKeyExA(setup.get(), nullptr, 0, KEY_READ, same.receive()));
    EXPECT_NE(self.get(), same.get());
    EXPECT_EQ(ERROR_SUCCESS, Open(os, child, Sys("Setup\\Deep\\")));  // a trailing separator
    EXPECT_EQ(ERROR_INVALID_HANDLE, os.RegCloseKey(reinterpret_cast<HKEY>(0x1234)));

    // Opening never creates; a leading separator is refused.
    ScopedRegKey missing(os);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, missing, Sys("Setup\\Nothing")));
    EXPECT_FALSE(missing);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, missing, Sys("Setup\\Nothing")));
    EXPECT_EQ(Code(ERROR_BAD_PATHNAME),
              static_cast<DWORD>(Open(os, missing, "\\" + kSystemScratch)));
}

// Windows and Wine take key names of up to 512 bytes of UTF-16 (Microsoft's
// documentation says 255 characters). Below an open key: Wine's ANSI
// functions take no subkey path of 260 characters or more.
TEST_F(RegistryContract, KeyNamesOfMoreThan256CharactersAreRefused) {
    ScopedRegKey parent(os), key(os);
    ASSERT_EQ(ERROR_SUCCESS, Create(os, parent, Sys("Long")));
    const std::string longest(256, 'k');
    EXPECT_EQ(ERROR_SUCCESS, os.RegCreateKeyExA(parent.get(), longest.c_str(), 0, nullptr, 0,
                                                KEY_ALL_ACCESS, nullptr, key.receive(), nullptr));
    EXPECT_EQ(Names{longest}, SubkeyNames(os, Sys("Long")));
    const std::string tooLong = longest + "k";
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              os.RegCreateKeyExA(parent.get(), tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, key.receive(), nullptr));
    EXPECT_FALSE(key);
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              os.RegOpenKeyExA(parent.get(), tooLong.c_str(), 0, KEY_READ, key.receive()));
    EXPECT_EQ(Names{longest}, SubkeyNames(os, Sys("Long")));
}

TEST_F(RegistryContract, EnumeratesInCaseInsensitiveOrderAndReportsEndAndShortBuffers) {
    for (const char* name : {"beta", "Alpha", "GAMMA", "A1", "AB"})
        ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys(std::string("Enum\\") + name)));
    EXPECT_EQ((Names{"A1", "AB", "Alpha", "beta", "GAMMA"}), SubkeyNames(os, Sys("Enum")));

    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, Sys("ENUM")));
    char name[8];
    DWORD length = sizeof name;
    ASSERT_EQ(ERROR_SUCCESS, Enum(os, key, 2, name, &length));
    EXPECT_STREQ("Alpha", name);
    EXPECT_EQ(5u, length);
    length = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, Enum(os, key, 5, name, &length));

    // "Alpha" needs 6 bytes with its NUL: 5 is too few.
    length = 5;
    EXPECT_EQ(ERROR_MORE_DATA, Enum(os, key, 2, name, &length));
    length = 6;
    EXPECT_EQ(ERROR_SUCCESS, Enum(os, key, 2, name, &length));
    EXPECT_STREQ("Alpha", name);

    // A key opened only to read values may not be enumerated.
    ScopedRegKey valuesOnly(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, valuesOnly, Sys("Enum"), KEY_QUERY_VALUE));
    length = sizeof name;
    EXPECT_EQ(ERROR_ACCESS_DENIED, Enum(os, valuesOnly, 0, name, &length));
}

TEST_F(RegistryContract, EnumerationByIndexFollowsEveryChangeToTheSubkeys) {
    for (const char* name : {"K1", "K3", "K5", "K7"})
        ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys(std::string("E\\") + name)));
    ScopedRegKey key(os), other(os), writable(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, Sys("E")));
    ASSERT_EQ(ERROR_SUCCESS, Open(os, other, Sys("E")));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, writable, Sys("E")));
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
    ASSERT_EQ(ERROR_SUCCESS,
              os.RegCreateKeyExA(writable.get(), "K4", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, added.receive(), nullptr));
    EXPECT_EQ("K4", nameAt(key, 2));
    EXPECT_EQ("K5", nameAt(key, 3));
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("E\\K0")));
    EXPECT_EQ("K4", nameAt(key, 3));
    EXPECT_EQ("K5", nameAt(key, 4));
    // Deleting the key the last read stood on, relative to a handle and by full path.
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(writable.get(), "K5"));
    EXPECT_EQ("K7", nameAt(key, 4));
    EXPECT_EQ("error 259", nameAt(key, 5));
    EXPECT_EQ("K7", nameAt(key, 4));
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Sys("E\\K7").c_str()));
    EXPECT_EQ("error 259", nameAt(key, 4));
    EXPECT_EQ("K4", nameAt(key, 3));
    // Opening an existing key changes nothing.
    ASSERT_EQ(ERROR_SUCCESS, Create(os, added, Sys("E\\k1")));
    EXPECT_EQ("K4", nameAt(key, 3));
    EXPECT_EQ((Names{"K0", "K1", "K3", "K4"}), SubkeyNames(os, Sys("E")));
}

// Windows compares names after converting them to Unicode, so accented
// letters fold like A..Z; order follows the upper-case Unicode names (the
// names here sort the same by lower case, which is how Wine orders them).
TEST_F(RegistryContract, Latin1LettersFoldInCodePage1252) {
    if (!machine->UseCodePage(1252)) GTEST_SKIP() << "needs the ANSI code page 1252";
    // Zz, Zä, àx, été, þ, Š
    for (const char* name : {"\xfe", "Zz", "\xe9t\xe9", "\x8a", "Z\xe4", "\xe0x"})
        ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys(std::string("L\\") + name)));
    EXPECT_EQ((Names{"Zz", "Z\xe4", "\xe0x", "\xe9t\xe9", "\xfe", "\x8a"}),
              SubkeyNames(os, Sys("L")));

    ScopedRegKey key(os);
    DWORD disposition = 0;
    // ÉTÉ, š, ZÄ and Þ name keys that are there.
    for (const char* other : {"\xc9T\xc9", "\x9a", "z\xc4", "\xde"}) {
        ASSERT_EQ(ERROR_SUCCESS,
                  Create(os, key, Sys(std::string("L\\") + other), KEY_ALL_ACCESS, &disposition));
        EXPECT_EQ(Code(REG_OPENED_EXISTING_KEY), disposition) << other;
    }
    EXPECT_EQ(6u, SubkeyNames(os, Sys("L")).size());
    // ÿ and Ÿ (0x9F) are one letter; × and ÷ are no letters, ß has no capital.
    for (const char* name : {"\xff", "\x9f", "\xd7", "\xf7", "\xdf"})
        ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys(std::string("M\\") + name)));
    EXPECT_EQ(4u, SubkeyNames(os, Sys("M")).size());

    // Value names fold the same way.
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, Sys("L"), "N\xe9", REG_SZ, std::string("x", 2)));
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, Sys("l")));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, Query(os, key, "n\xc9", nullptr, &size));
    EXPECT_EQ(2u, size);
}

TEST_F(RegistryContract, DoubleByteNamesAreCutAndComparedByCharacterInCodePage932) {
    if (!machine->UseCodePage(932)) GTEST_SKIP() << "needs the ANSI code page 932";
    // 0x83 0x5C is U+30BD: its trail byte is no separator.
    const std::string device = "Disk&Ven_\x83\x5C&Prod_X";
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("USBSTOR\\" + device + "\\0001")));
    EXPECT_EQ(Names{device}, SubkeyNames(os, Sys("USBSTOR")));
    EXPECT_EQ(Names{"0001"}, SubkeyNames(os, Sys("USBSTOR\\" + device)));
    {
        ScopedRegKey usbstor(os), opened(os), part(os);
        ASSERT_EQ(ERROR_SUCCESS, Open(os, usbstor, Sys("USBSTOR")));
        char name[32];
        DWORD length = sizeof name;
        ASSERT_EQ(ERROR_SUCCESS, Enum(os, usbstor, 0, name, &length));
        EXPECT_EQ(device, std::string(name, length));
        // ASCII letters fold, the double-byte character stays whole.
        EXPECT_EQ(ERROR_SUCCESS,
                  Open(os, opened, "system\\qarncontract\\usbstor\\DISK&VEN_\x83\x5C&PROD_x"));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, part, Sys("USBSTOR\\Disk&Ven_\x83")));
        EXPECT_EQ(ERROR_SUCCESS, os.RegOpenKeyExA(usbstor.get(), (device + "\\0001").c_str(), 0,
                                                  KEY_READ, part.receive()));
    }
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("\x95\x5C\\\x83\x5C")));
    EXPECT_EQ(Names{"\x83\x5C"}, SubkeyNames(os, Sys("\x95\x5C")));
    // The single bytes 932 gives no character of its own come back as they went.
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("Odd\\\x80\xA0\xFD\xFE\xFF")));
    EXPECT_EQ(Names{"\x80\xA0\xFD\xFE\xFF"}, SubkeyNames(os, Sys("Odd")));
    EXPECT_EQ(ERROR_SUCCESS,
              os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Sys("USBSTOR\\" + device + "\\0001").c_str()));
    EXPECT_EQ(ERROR_SUCCESS,
              os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Sys("USBSTOR\\" + device).c_str()));
    EXPECT_TRUE(SubkeyNames(os, Sys("USBSTOR")).empty());

    // A trail byte in 'a'..'z' is never folded: 0x83 0x61 (U+30C2) and 0x83 0x41
    // (U+30A2) are different characters, in key and value names alike.
    // Full-width letters fold: 0x82 0x60 (U+FF21) and 0x82 0x81 (U+FF41).
    for (const char* name : {"\x83\x61", "\x83\x41", "\x82\x60", "\x82\x81"})
        ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys(std::string("Trail\\") + name)));
    // Order follows the Unicode names: U+30A2, U+30C2, U+FF21.
    EXPECT_EQ((Names{"\x83\x41", "\x83\x61", "\x82\x60"}), SubkeyNames(os, Sys("Trail")));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, Sys("Trail"), "N\x83\x61", REG_SZ, std::string("x", 2)));
    ScopedRegKey trail(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, trail, Sys("TRAIL")));
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(os, trail, "N\x83\x41", nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, Query(os, trail, "n\x83\x61", nullptr, &size));
}

TEST_F(RegistryContract, SingleByteNamesUnderCodePage1252KeepEveryBackslashASeparator) {
    if (!machine->UseCodePage(1252)) GTEST_SKIP() << "needs the ANSI code page 1252";
    // The same bytes as a double-byte name under 932: two characters, 0x5C a separator.
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("USBSTOR\\Disk&Ven_\x83\x5C&Prod_X")));
    EXPECT_EQ(Names{"Disk&Ven_\x83"}, SubkeyNames(os, Sys("USBSTOR")));
    EXPECT_EQ(Names{"&Prod_X"}, SubkeyNames(os, Sys("USBSTOR\\Disk&Ven_\x83")));
    // 0x83 0x61 and 0x83 0x41 are "ƒa" and "ƒA": one key.
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("Trail\\\x83\x61")));
    ASSERT_EQ(ERROR_SUCCESS, CreateKey(os, Sys("Trail\\\x83\x41")));
    EXPECT_EQ(Names{"\x83\x61"}, SubkeyNames(os, Sys("Trail")));
}

TEST_F(RegistryContract, QueriesCopyValuesOnlyWhenTheyFit) {
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, Sys("Values"), "Raw", REG_BINARY, "abc"));
    ASSERT_EQ(ERROR_SUCCESS,
              SetValue(os, Sys("Values"), nullptr, REG_SZ, std::string("default text", 13)));
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, Sys("Values")));

    char data[16];
    std::memset(data, 'x', sizeof data);
    DWORD type = 0, size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, "RAW", data, &size, &type));
    EXPECT_EQ(Code(REG_BINARY), type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ("abcx", std::string(data, 4));  // nothing appended to binary data

    // Size only; then a buffer one byte short.
    size = 0;
    EXPECT_EQ(ERROR_SUCCESS, Query(os, key, nullptr, nullptr, &size, &type));
    EXPECT_EQ(13u, size);
    EXPECT_EQ(Code(REG_SZ), type);
    size = 12;
    EXPECT_EQ(ERROR_MORE_DATA, Query(os, key, "", data, &size));
    EXPECT_EQ(13u, size);
    size = 13;
    EXPECT_EQ(ERROR_SUCCESS, Query(os, key, nullptr, data, &size));
    EXPECT_STREQ("default text", data);

    size = sizeof data;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(os, key, "Absent", data, &size));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, Sys("Empty"), "Other", REG_SZ, std::string("x", 2)));
    ScopedRegKey empty(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, empty, Sys("Empty")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(os, empty, nullptr, data, &size));

    // Setting stores exactly the bytes given; a read-only key refuses.
    const BYTE label[] = {'L', 'b', 0, 'z'};
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegSetValueExA(key.get(), nullptr, 0, REG_SZ, label, 3));
    ScopedRegKey writable(os);
    ASSERT_EQ(ERROR_SUCCESS, Create(os, writable, Sys("Values")));
    EXPECT_EQ(ERROR_SUCCESS, os.RegSetValueExA(writable.get(), nullptr, 0, REG_SZ, label, 3));
    size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, nullptr, data, &size, &type));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(std::string("Lb", 3), std::string(data, 3));

    // A string stored without its NUL reads back as stored; where the buffer
    // has room, a NUL follows it that the size does not count.
    EXPECT_EQ(ERROR_SUCCESS, os.RegSetValueExA(writable.get(), "Bare", 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>("abcd"), 3));
    std::memset(data, 'x', sizeof data);
    size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, "Bare", data, &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(std::string("abc", 4), std::string(data, 4));
    std::memset(data, 'x', sizeof data);
    size = 3;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, "Bare", data, &size));
    EXPECT_EQ("abcx", std::string(data, 4));
    // One whose NUL follows right after the given size is stored with it.
    EXPECT_EQ(ERROR_SUCCESS, os.RegSetValueExA(writable.get(), "Short", 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>("x"), 1));
    size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, "Short", data, &size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(std::string("x", 2), std::string(data, 2));
}

TEST_F(RegistryContract, DeletesOnlyKeysWithoutSubkeys) {
    const std::string letter = Sys("Icons\\G");
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, letter + "\\DefaultIcon", nullptr, REG_SZ, "icon"));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, letter, "Marker", REG_SZ, "1"));
    ScopedRegKey held(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, held, letter + "\\DefaultIcon"));

    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, letter.c_str()));
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, letter));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, Query(os, key, "Marker", nullptr, &size));
    // What the key holds, counted: one subkey, one value.
    DWORD subkeys = 9, values = 9;
    EXPECT_EQ(ERROR_SUCCESS,
              os.RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                  &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1u, subkeys);
    EXPECT_EQ(1u, values);
    key.reset();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Sys("Icons\\H").c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Sys("Nowhere\\H").c_str()));
    EXPECT_EQ(ERROR_SUCCESS,
              os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, "system\\qarncontract\\icons\\g\\defaulticon"));
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, letter.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, key, letter));

    // A handle to a deleted key stays open but reaches nothing, even once the path is back.
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, letter + "\\DefaultIcon", nullptr, REG_SZ, "new"));
    EXPECT_EQ(ERROR_KEY_DELETED, Query(os, held, nullptr, nullptr, &size));
}

TEST_F(RegistryContract, Wow64ProcessSeesTheRedirectedSoftwareViewUnlessItAsksFor64Bit) {
    ScopedRegKey key(os);
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, Soft("Plain")));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, Soft("Native"), KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, Soft("Explicit"), KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    ASSERT_EQ(ERROR_SUCCESS, Create(os, key, Sys("Never")));
    key.reset();
    ASSERT_EQ(ERROR_SUCCESS,
              os.RegCreateKeyA(HKEY_LOCAL_MACHINE, Soft("Old").c_str(), key.receive()));
    key.reset();
    EXPECT_EQ(Names{"Native"}, SubkeyNames(os, kSoftwareScratch, KEY_READ | KEY_WOW64_64KEY));
    EXPECT_EQ((Names{"Explicit", "Old", "Plain"}), SubkeyNames(os, kSoftwareScratch));
    EXPECT_EQ((Names{"Explicit", "Old", "Plain"}),
              SubkeyNames(os, kSoftwareScratch, KEY_READ | KEY_WOW64_32KEY));
    EXPECT_EQ((Names{"Explicit", "Old", "Plain"}),
              SubkeyNames(os, "SOFTWARE\\Wow6432Node\\QarnContract", KEY_READ | KEY_WOW64_64KEY));
    EXPECT_EQ(ERROR_SUCCESS, Open(os, key, Sys("Never"), KEY_READ | KEY_WOW64_64KEY));
    EXPECT_EQ(ERROR_SUCCESS, Open(os, key, Sys("Never"), KEY_READ | KEY_WOW64_32KEY));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, key, Soft("Native")));
    EXPECT_EQ(ERROR_SUCCESS, Open(os, key, Soft("Native"), KEY_READ | KEY_WOW64_64KEY));
    key.reset();
    // The UTF-16 open picks its view the same way.
    const auto* native = reinterpret_cast<LPCWSTR>(u"SOFTWARE\\QarnContract\\Native");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, native, 0, KEY_READ, key.receive()));
    EXPECT_EQ(ERROR_SUCCESS, os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, native, 0,
                                              KEY_READ | KEY_WOW64_64KEY, key.receive()));
    key.reset();

    // Plain RegDeleteKeyA stays in the 32-bit view; RegDeleteKeyExA picks its view.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Soft("Native").c_str()));
    EXPECT_EQ(ERROR_SUCCESS, os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Soft("Plain").c_str()));
    FARPROC deleteEx = os.GetProcAddress(os.GetModuleHandleA("Advapi32"), "RegDeleteKeyExA");
    ASSERT_NE(nullptr, deleteEx);
    EXPECT_EQ(ERROR_SUCCESS, os.CallRegDeleteKeyExA(deleteEx, HKEY_LOCAL_MACHINE,
                                                    Soft("Native").c_str(), KEY_WOW64_64KEY, 0));
    EXPECT_EQ(ERROR_SUCCESS, os.CallRegDeleteKeyExA(deleteEx, HKEY_LOCAL_MACHINE,
                                                    Soft("Old").c_str(), KEY_WOW64_32KEY, 0));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              os.CallRegDeleteKeyExA(deleteEx, HKEY_LOCAL_MACHINE, Soft("Old").c_str(),
                                     KEY_WOW64_64KEY, 0));
    EXPECT_TRUE(SubkeyNames(os, kSoftwareScratch, KEY_READ | KEY_WOW64_64KEY).empty());
    EXPECT_EQ(Names{"Explicit"}, SubkeyNames(os, kSoftwareScratch));
}

}  // namespace

// The registry keeps names and text in Unicode; the ANSI calls convert them
// with the code page at each call, so a name it cannot write is shown with
// '?' and cannot be named back.
TEST_F(RegistryContract, NamesAndTextAreUnicodeAndTheAnsiCallsConvertThem) {
    if (!machine->UseCodePage(1252)) GTEST_SKIP() << "needs the ANSI code page 1252";
    const std::u16string uni = u"SYSTEM\\QarnContract\\Uni";
    for (const auto& [path, name, text] :
         {std::tuple<std::u16string, std::u16string, std::u16string>{uni + u"\\\u4E2D\u6587",
                                                                     u"\u4E2D", u"x"},
          {uni + u"\\\u03C9", u"T", u"x"},
          {uni + u"\\\u03A9", u"T", u"y"},  // omega again: one key
          {uni, u"T", u"Caf\u00E9 \u4E2D"},
          {uni, u"\u4E2D", u"z"}})
        ASSERT_EQ(ERROR_SUCCESS, machine->SetUnicodeValue(path, name, text));
    // Neither name has a best fit in 1252: '?' for each character.
    EXPECT_EQ((Names{"?", "??"}), SubkeyNames(os, Sys("Uni")));
    ScopedRegKey key(os);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, key, Sys("Uni\\??")));
    ASSERT_EQ(ERROR_SUCCESS, Open(os, key, Sys("Uni")));
    char data[16];
    DWORD size = sizeof data;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(os, key, "?", data, &size));
    size = sizeof data;
    ASSERT_EQ(ERROR_SUCCESS, Query(os, key, "T", data, &size));
    EXPECT_EQ(std::string("Caf\xE9 ?", 7), std::string(data, size));
}

namespace {

LPCWSTR Wide(const char16_t* text) { return reinterpret_cast<LPCWSTR>(text); }
std::u16string Text(const WCHAR* text, size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace

// The UTF-16 calls: names and data as the registry keeps them, whatever the
// code page; values in whatever order they come.
TEST_F(RegistryContract, UnicodeCallsReadNamesAndDataAsStored) {
    const std::u16string key = u"SYSTEM\\QarnContract\\Wide\\\u03C9\u4E2D";
    ASSERT_EQ(ERROR_SUCCESS, machine->SetUnicodeValue(key, u"\u4E2D", u"Caf\u00E9 \u4E2D"));
    ASSERT_EQ(ERROR_SUCCESS, machine->SetUnicodeValue(key, u"", u"d"));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(os, Sys("Wide\\Plain"), "Raw", REG_BINARY, "ab"));
    ScopedRegKey wide(os);
    ASSERT_EQ(ERROR_SUCCESS, os.RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                              Wide(u"system\\QARNCONTRACT\\wide\\\u03A9\u4E2D"), 0,
                                              KEY_READ, wide.receive()));
    std::map<std::u16string, std::pair<DWORD, std::string>> values;
    for (DWORD index = 0;; ++index) {
        WCHAR name[64];
        BYTE data[64];
        DWORD nameLength = 64, type = 0, size = sizeof data;
        const LONG error =
            os.RegEnumValueW(wide.get(), index, name, &nameLength, nullptr, &type, data, &size);
        if (error == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, error);
        values[Text(name, nameLength)] = {type, std::string(data, data + size)};
    }
    const std::string cafe("C\0a\0f\0\xE9\0 \0\x2D\x4E\0\0", 14);
    EXPECT_EQ((std::map<std::u16string, std::pair<DWORD, std::string>>{
                  {u"", {REG_SZ, std::string("d\0\0\0", 4)}}, {u"\u4E2D", {REG_SZ, cafe}}}),
              values);

    // Short buffers: a name with no room for its NUL; data one byte short
    // tells its size; no data buffer only tells the size.
    DWORD index = 2;  // that of the value named U+4E2D, in an order not known
    for (DWORD i = 0; i < 2; ++i) {
        WCHAR name[8];
        DWORD nameLength = 8, size = 0;
        ASSERT_EQ(ERROR_SUCCESS, os.RegEnumValueW(wide.get(), i, name, &nameLength, nullptr,
                                                  nullptr, nullptr, &size));
        if (nameLength == 1) index = i;
        EXPECT_EQ(nameLength == 1 ? 14u : 4u, size);
    }
    WCHAR name[8];
    BYTE data[16];
    DWORD nameLength = 1, size = sizeof data;
    EXPECT_EQ(ERROR_MORE_DATA, os.RegEnumValueW(wide.get(), index, name, &nameLength, nullptr,
                                                nullptr, data, &size));
    nameLength = 8;
    size = 13;
    EXPECT_EQ(ERROR_MORE_DATA, os.RegEnumValueW(wide.get(), index, name, &nameLength, nullptr,
                                                nullptr, data, &size));
    EXPECT_EQ(14u, size);

    // Subkey names as stored; the end, and a buffer without room for the NUL.
    ScopedRegKey parent(os);
    ASSERT_EQ(ERROR_SUCCESS,
              os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(u"SYSTEM\\QarnContract\\Wide"), 0, KEY_READ,
                               parent.receive()));
    std::vector<std::u16string> subkeys;
    for (DWORD i = 0;; ++i) {
        WCHAR subkey[300];
        DWORD length = 300;
        const LONG error =
            os.RegEnumKeyExW(parent.get(), i, subkey, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, error);
        subkeys.push_back(Text(subkey, length));
    }
    EXPECT_EQ((std::vector<std::u16string>{u"Plain", u"\u03C9\u4E2D"}), subkeys);
    WCHAR small[5];
    DWORD length = 5;
    EXPECT_EQ(ERROR_MORE_DATA, os.RegEnumKeyExW(parent.get(), 0, small, &length, nullptr, nullptr,
                                                nullptr, nullptr));

    // Values need KEY_QUERY_VALUE; a key that is not there is not found.
    ScopedRegKey listOnly(os);
    ASSERT_EQ(ERROR_SUCCESS,
              os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(u"SYSTEM\\QarnContract\\Wide"), 0,
                               KEY_ENUMERATE_SUB_KEYS, listOnly.receive()));
    nameLength = 8;
    EXPECT_EQ(ERROR_ACCESS_DENIED, os.RegEnumValueW(listOnly.get(), 0, name, &nameLength, nullptr,
                                                    nullptr, nullptr, nullptr));
    ScopedRegKey none(os);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(u"SYSTEM\\QarnContract\\Nothing"), 0,
                               KEY_READ, none.receive()));
}
