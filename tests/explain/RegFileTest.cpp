// Reg export files as Windows writes them (regedit 5 in UTF-16 LE, REGEDIT4 in
// ANSI) and as an editor may re-save them (UTF-8), and the explanation of a
// machine read from them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <algorithm>
#include <cstdio>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "../driveicons/DriveFixture.h"
#include "driveicons/DriveIconScan.h"
#include "driveicons/PlatformQuery.h"
#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ShownText.h"
#include "explain/ExportedMachine.h"
#include "explain/Fleet.h"
#include "explain/MachineFolder.h"
#include "explain/RegFile.h"
#include "explain/SaveMachine.h"
#include "explain/Verdict.h"
#include "platform/Utf16.h"

using namespace fixture;

namespace {

std::string Utf16File(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// A "hex:" list of the UTF-16 form of `text`, wrapped the way regedit wraps it.
std::string HexRecord(const std::string& name, const std::string& text) {
    std::string line = "\"" + name + "\"=hex:";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char pair[8];
        std::snprintf(pair, sizeof pair, "%02x,00", static_cast<unsigned char>(text[i]));
        line += pair;
        if (i + 1 == text.size()) break;
        line += ",";
        if (line.size() > 74) {
            out += line + "\\\r\n";
            line = "  ";
        }
    }
    return out + line + "\r\n";
}

// One machine as exports: reader E, a foreign stick F, a fixed disk C, a key
// left by an earlier run for W and another program's key for U.
std::string MachineExport() {
    const std::string kc =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\" + kKcModule;
    const std::string stick =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\"
        "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07";
    const std::string icons =
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n" +
           HexRecord("\\\\DosDevices\\\\E:", ParentIdRecord("7&1a2b3c4d&0")) +
           HexRecord("\\\\DosDevices\\\\F:", ParentIdRecord("7&3c4d5e6f&0")) +
           "\"\\\\DosDevices\\\\C:\"=hex:8a,3e,2c,1b,00,7e,00,00,00,00,00,00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR]\r\n\r\n"
           "[" +
           kc + "]\r\n\r\n[" + kc +
           "\\0000000000002&0]\r\n"
           "\"ParentIdPrefix\"=\"7&1a2b3c4d&0\"\r\n\"Capabilities\"=dword:00000010\r\n\r\n"
           "[" +
           stick +
           "\\AA00000000001&0]\r\n\"ParentIdPrefix\"=\"7&3c4d5e6f&0\"\r\n\r\n"
           "[" +
           icons +
           "]\r\n\r\n"
           "[" +
           icons +
           "\\U\\DefaultIcon]\r\n@=\"C:\\\\Other\\\\drive.ico\"\r\n\r\n"
           "[" +
           icons +
           "\\W]\r\n\"QarnHMD\"=\"KD Media\"\r\n\r\n"
           "[" +
           icons + "\\W\\DefaultLabel]\r\n@=\"KD Media\"\r\n\r\n";
}

// The same machine set up directly.
void BuildMachine(FakeWindows& fake) {
    fake.SetDriveType('C', DRIVE_FIXED);
    fake.SetBinary("SYSTEM\\MountedDevices",
                   "\\DosDevices\\C:", {0x8a, 0x3e, 0x2c, 0x1b, 0, 0x7e, 0, 0, 0, 0, 0, 0});
    PlugParentIdDevice(fake, 'E', kKcModule, "0000000000002&0", "7&1a2b3c4d&0");
    fake.SetDword(kUsbStor + "\\" + kKcModule + "\\0000000000002&0", "Capabilities", 0x10);
    PlugParentIdDevice(fake, 'F', "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07", "AA00000000001&0",
                       "7&3c4d5e6f&0");
    fake.SetString(LetterKey('U') + "\\DefaultIcon", "", "C:\\Other\\drive.ico");
    fake.SetString(LetterKey('W'), "QarnHMD", "KD Media");
    fake.SetString(LetterKey('W') + "\\DefaultLabel", "", "KD Media");
}

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

std::string ParseError(const std::string& bytes) {
    RegFile file;
    std::string error;
    return ParseRegFile(bytes, file, error) ? "parsed" : error;
}

}  // namespace

TEST(RegFile, ExportsInEveryFormExplainLikeTheMachineItself) {
    const std::string body = MachineExport();
    const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n" + body;
    std::string utf8Lf = "\xEF\xBB\xBF" + v5;
    for (size_t at; (at = utf8Lf.find("\r\n")) != std::string::npos;) utf8Lf.erase(at, 1);
    const std::vector<std::pair<const char*, std::string>> files = {
        {"regedit 5, UTF-16 LE", Utf16File(Widen(v5))},
        {"regedit 5, UTF-8 with LF line ends", utf8Lf},
        {"REGEDIT4", "REGEDIT4\r\n\r\n" + body},
    };

    FakeWindows direct;
    direct.SetVersion(5, 1, VER_NT_WORKSTATION);
    BuildMachine(direct);
    ExplainOptions options;
    options.serviceDirectory = "C:\\Qarn";
    const std::string expected = ExplanationText(ExplainDrives(direct, options));
    ASSERT_NE(std::string::npos, expected.find("E:  ICON     reader KC Slot Module (model row 8)"));

    for (const auto& [form, bytes] : files) {
        SCOPED_TRACE(form);
        RegFile file;
        std::string error;
        ASSERT_TRUE(ParseRegFile(bytes, file, error)) << error;
        ASSERT_EQ(9u, file.keys.size());
        const RegFileKey& mounted = file.keys[0];
        EXPECT_EQ(u"HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices", mounted.path);
        ASSERT_EQ(3u, mounted.values.size());
        EXPECT_EQ(u"\\DosDevices\\E:", mounted.values[0].name);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), mounted.values[0].type);
        EXPECT_EQ(FakeWindows::Utf16Bytes(Widen(ParentIdRecord("7&1a2b3c4d&0"))),
                  mounted.values[0].data);
        // The record of E goes on over several lines.
        const std::string recordE = HexRecord("E", ParentIdRecord("7&1a2b3c4d&0"));
        const int recordLines = static_cast<int>(std::count(recordE.begin(), recordE.end(), '\n'));
        EXPECT_LT(1, recordLines);
        EXPECT_EQ(recordLines, mounted.values[1].line - mounted.values[0].line);
        const RegFileValue& capabilities = file.keys[3].values[1];
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), capabilities.type);
        EXPECT_EQ((std::vector<BYTE>{0x10, 0, 0, 0}), capabilities.data);
        EXPECT_TRUE(file.keys[6].values[0].name.empty());  // @

        FakeWindows machine;
        MachineFacts facts;
        ASSERT_TRUE(ParseWindowsName("xp", facts));
        SetUpMachine(machine, facts);
        ASSERT_TRUE(LoadRegFile(machine, file, error)) << error;
        SetDriveTypes(machine, "");
        EXPECT_EQ(
            "7&1a2b3c4d&0",
            machine.GetValue(kUsbStor + "\\" + kKcModule + "\\0000000000002&0", "ParentIdPrefix")
                ->AsString());
        EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), machine.GetDriveTypeA("F:\\"));
        EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), machine.GetDriveTypeA("U:\\"));
        EXPECT_EQ(expected, ExplanationText(ExplainDrives(machine, options)));
    }
}

TEST(RegFile, NamesAndTextInTheMachinesCodePage) {
    // U+00E9 is 0xE9 under 1252; U+30BD is 0x83 0x5C under 932, whose trail
    // byte is a backslash that must not split the key name.
    const std::u16string v5 =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SYSTEM\\Caf\u00e9\\\u30bd]\r\n"
        u"\"N\u00e9\"=\"\u00e9\u30bd\"\r\n\"Path\"=hex(2):25,00,41,00,25,00,00,00\r\n"
        u"\"Quote\"=\"say \\\"hi\\\" \\\\ \"\r\n\r\n";
    RegFile file;
    std::string error;
    ASSERT_TRUE(ParseRegFile(Utf16File(v5), file, error)) << error;

    FakeWindows cp932;
    MachineFacts facts;
    facts.codePage = 932;
    ASSERT_TRUE(ParseWindowsName("vista", facts));
    SetUpMachine(cp932, facts);
    ASSERT_TRUE(LoadRegFile(cp932, file, error)) << error;
    // The registry keeps the names as the file has them. 932 has no e-acute:
    // an ANSI enumeration shows its best fit, a plain 'e', by which the key is
    // then not found.
    EXPECT_EQ((std::vector<std::string>{"SYSTEM\\Cafe", "SYSTEM\\Cafe\\\x83\x5C"}),
              cp932.KeysBelow("SYSTEM"));
    EXPECT_FALSE(cp932.KeyExists("SYSTEM\\Cafe"));
    std::u16string shown;
    for (const auto& [name, value] : cp932.Values({u"system", u"CAF\u00c9", u"\u30bd"})) {
        const std::u16string text = DecodeUtf16LE(value.data.data(), value.data.size());
        shown +=
            name + u"=" + static_cast<char16_t>(u'0' + value.type) + u":" + text.c_str() + u";";
    }
    EXPECT_EQ(u"N\u00e9=1:\u00e9\u30bd;Path=2:%A%;Quote=1:say \"hi\" \\ ;", shown);

    // A REGEDIT4 file holds the bytes of the code page already.
    ASSERT_TRUE(ParseRegFile(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Caf\xE9]\n\"N\xE9\"=\"\xE9\"\n\n", file, error))
        << error;
    FakeWindows cp1252;
    SetUpMachine(cp1252, MachineFacts{5, 1, false, false, 1252, 0, 0, ""});
    ASSERT_TRUE(LoadRegFile(cp1252, file, error)) << error;
    EXPECT_EQ("\xE9", cp1252.GetValue("SYSTEM\\Caf\xE9", "N\xE9")->AsString());
}

TEST(RegFile, MalformedOrTruncatedFilesNameTheirLine) {
    const std::string v5 = "Windows Registry Editor Version 5.00\r\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n";
    const struct {
        std::string bytes;
        std::string error;
    } cases[] = {
        {"", "line 1: not a registry export"},
        {"[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n", "line 1: not a registry export"},
        {"\xFE\xFF\0W", "line 1: UTF-16 big-endian"},
        {Utf16File(Widen(v5)).substr(2), "line 1: UTF-16 text without its byte-order mark"},
        {Utf16File(Widen(v5 + key)) + "x", "line 3: the file ends in the middle of a character"},
        {v5 + key + "\"A\"=hex:41,\xC3",
         "line 3: the file ends in the middle of a UTF-8 character"},
        {v5 + key + "\"A\"=\"\xFF\"\r\n", "line 3: not UTF-8 text (byte 0xff)"},
        {v5 + key + "\"A\"=\"\x80\"\r\n", "line 3: not UTF-8 text (byte 0x80)"},
        {v5 + "\"A\"=\"x\"\r\n", "line 2: a value before the first [key] line"},
        {v5 + "[HKEY_LOCAL_MACHINE\\SYSTEM\r\n", "line 2: key line not closed with ']'"},
        {v5 + "[-HKEY_LOCAL_MACHINE\\SYSTEM]\r\n", "line 2: a key deletion"},
        {v5 + "[]\r\n", "line 2: empty key name"},
        {v5 + key + "\r\n\"A\"=\"cut",
         "line 4: string value not closed with '\"' (is the file cut short?)"},
        {v5 + key + "\"A=\"x\"\r\n", "line 3: '=' missing after the value name"},
        {v5 + key + "\"A\"=\"x\" y\r\n", "line 3: text after the closing '\"'"},
        {v5 + key + "\"A\"=hex:01,02,\\\r\n", "line 3: the file ends after a line continued"},
        {v5 + key + "\"A\"=hex:01,02,\\\r\n  03,\r\n",
         "line 3: hex data must be bytes of two hex digits separated by ',', at \"\" (is the file "
         "cut short?)"},
        {v5 + key + "\"A\"=hex:01,0g\r\n", "line 3: hex data must be bytes"},
        // Cut short: a lone digit, no line end, no closing empty line, no key.
        {v5 + key + "\"A\"=hex:01,\\\r\n  6\r\n\r\n", "line 3: hex data must be bytes"},
        {v5 + key + "\"A\"=dword:0000", "line 3: the file does not end with a line end"},
        {v5 + key + "\"A\"=dword:00000001\r\n",
         "line 3: the file does not end with the empty line that reg export writes last"},
        {v5 + "\r\n", "line 2: no [key] line (is the file cut short?)"},
        // Encodings that do not go with their header.
        {"\xEF\xBB\xBFREGEDIT4\r\n" + key + "\r\n",
         "line 1: a \"REGEDIT4\" file must be in the ANSI code page"},
        {Utf16File(u"REGEDIT4\r\n"), "line 1: a \"REGEDIT4\" file must be in the ANSI code page"},
        {v5 + key + "\"A\"=\"Caf\xE9 au lait\"\r\n\r\n",
         "line 3: not UTF-8 text (byte 0xe9); a file in the ANSI code page needs the first line "
         "\"REGEDIT4\""},
        {v5 + key + "\"A\"=hex:012\r\n", "line 3: hex data must be bytes"},
        {v5 + key + "\"A\"=hex(zz):01\r\n", "line 3: hex(type): needs a type"},
        {v5 + key + "\"A\"=hex\r\n", "line 3: ':' missing after hex"},
        {v5 + key + "\"A\"=dword:123456789\r\n", "line 3: dword: needs 1 to 8 hex digits"},
        {v5 + key + "\"A\"=dword:\r\n", "line 3: dword: needs 1 to 8 hex digits"},
        {v5 + key + "\"A\"=-\r\n", "line 3: a value deletion"},
        {v5 + key + "\"A\"=str\r\n", "line 3: value data must be"},
        {v5 + key + "garbage\r\n", "line 3: expected a [key] line"},
        {"REGEDIT4\r\n\r\n; comment\r\n" + key + "@=hex:\r\n\"\"=\"\"\r\n\"B\"=\"x",
         "line 7: string value not closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::string error = ParseError(c.bytes);
        EXPECT_EQ(c.error, error.substr(0, c.error.size())) << error;
    }
    // Fewer than eight digits are the low ones.
    RegFile shortDword;
    std::string parseError;
    ASSERT_TRUE(ParseRegFile(v5 + key + "\"D\"=dword:1f\r\n\r\n", shortDword, parseError));
    EXPECT_EQ((std::vector<BYTE>{0x1F, 0, 0, 0}), shortDword.keys[0].values[0].data);
    // Blanks after the commas of a hex list, as regedit reads them.
    ASSERT_TRUE(
        ParseRegFile(v5 + key + "\"H\"=hex: 01, 02,\\\r\n  03\r\n\r\n", shortDword, parseError));
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), shortDword.keys[0].values[0].data);
    // NUL characters cannot be named through the ANSI functions.
    EXPECT_EQ(
        "line 2: NUL character in a key name",
        ParseError(Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A" +
                             std::u16string(1, u'\0') + u"]\r\n")));

    // A file of another root, or with the root abbreviated, loads nothing; nor
    // does a file that contradicts an earlier one, or holds a key name the
    // registry refuses, or cannot be an export at all. Letter keys of a view
    // the service never reads on that Windows load, but are named.
    const std::string icons = "Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
    const struct {
        std::string second;
        std::string error;
        std::string file = "";  // read instead of `second`
        const char* windows = "xp";
    } loads[] = {
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\" + icons + "\\E]\r\n\r\n",
         "the 32-bit view of a 64-bit Windows (Wow6432Node), which 32-bit Windows does not have "
         "(--wow64?)"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + icons + "\\E]\r\n\r\n",
         "the 64-bit view, which the service does not read on this Windows", "", "2003-x64"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + icons + "\\E]\r\n\r\n", "", "", "7-x64"},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + icons + "\\E]\r\n\r\n", "", "", "xp-x64"},
        {"[HKEY_CURRENT_USER\\Software]\r\n\r\n",
         "line 3: a key outside HKEY_LOCAL_MACHINE; export HKLM keys only"},
        {"[HKLM\\SYSTEM]\r\n\r\n",
         "line 3: the root key must be spelled out: HKEY_LOCAL_MACHINE, not HKLM"},
        {key + "\"A\"=hex:01\r\n\r\n",
         "line 4: value \"A\" of HKLM\\SYSTEM\\MountedDevices differs from the one an earlier "
         "file or line gives"},
        {key + "\"A\"=hex:02\r\n\r\n", ""},
        {"[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\r\n\r\n", ""},
        // One form of a key path: a doubled backslash passed over, as regedit
        // does (the value of the first file is there again, unchanged), no
        // deeper than the registry nests.
        {"[HKEY_LOCAL_MACHINE\\SYSTEM\\\\MountedDevices\\]\r\n\"A\"=hex:01\r\n\r\n",
         "line 4: value \"A\" of HKLM\\SYSTEM\\MountedDevices differs from the one an earlier "
         "file or line gives"},
        {"[HKEY_LOCAL_MACHINE" + Repeat("\\k", 512) + "]\r\n\r\n", ""},
        {"[HKEY_LOCAL_MACHINE" + Repeat("\\k", 513) + "]\r\n\r\n",
         "line 3: a key nested 513 levels deep; the registry nests at most 512"},
        // Names the code page cannot write stay apart (中, 文).
        {key + "\"\xE4\xB8\xAD\"=hex:01\r\n\"\xE6\x96\x87\"=hex:02\r\n\r\n", ""},
        {"[HKEY_LOCAL_MACHINE\\" + std::string(257, 'k') + "]\r\n\r\n",
         "line 3: a key name longer than the registry takes (256 characters; error 87)"},
        {std::string(5000, ';'), "too large: 5040 bytes, more than the 4096 read"},
        // Exactly the limit: read.
        {std::string(4096 - v5.size() - 2 - 2 - key.size() - 14, ';') + "\r\n" + key +
             "\"A\"=hex:02\r\n\r\n",
         ""},
        {"", "not a regular file: a folder, device or pipe is not read", "/dev/zero"},
        {"", "not a regular file: a folder, device or pipe is not read", QX_SOURCE_DIR},
    };
    for (const auto& load : loads) {
        RegFile file;
        std::string error;
        FakeWindows machine;
        MachineFacts facts;
        const std::string windows = load.windows;
        // "xp-x64" is a name of its own; "<name>-x64" is <name> with --wow64.
        if (!ParseWindowsName(windows, facts)) {
            ASSERT_TRUE(ParseWindowsName(windows.substr(0, windows.size() - 4), facts));
            facts.wow64 = true;
        }
        EXPECT_EQ("", ImpossibleMachine(facts)) << windows;
        SetUpMachine(machine, facts);
        BOOL wow64 = FALSE;
        ASSERT_TRUE(QueryWow64(machine, wow64));
        EXPECT_EQ(facts.wow64, wow64 != FALSE) << windows;
        CDriveIconScan scan(machine);
        scan.DetectPlatform();
        ASSERT_TRUE(ParseRegFile(v5 + key + "\"A\"=hex:02\r\n\r\n", file, error)) << error;
        ASSERT_TRUE(LoadRegFile(machine, file, error)) << error;
        const std::string name =
            load.file.empty() ? ::testing::TempDir() + "second.reg" : load.file;
        if (load.file.empty()) std::ofstream(name, std::ios::binary) << v5 + "\r\n" + load.second;
        std::string bytes;
        if (ReadExportFile(name, bytes, error, 4096) && ParseRegFile(bytes, file, error) &&
            LoadRegFile(machine, file, error, SharesDriveIcons(facts)))
            error = UnreadDriveIconsView(facts, scan.IsWow64(), DriveIconsViewsOf(file));
        EXPECT_EQ(load.error, error);
        // Where the two views share DriveIcons, the service reads either file.
        if (SharesDriveIcons(facts)) {
            EXPECT_TRUE(machine.KeyExists("SOFTWARE\\Wow6432Node\\" + icons + "\\E"));
        }
    }
    // A full-width backslash is a character of a name, not one the service's
    // query of H:'s mount record finds.
    RegFile fullWidth;
    std::string loadError;
    ASSERT_TRUE(ParseRegFile(v5 + key +
                                 "\"\xEF\xBC\xBC"
                                 "DosDevices\xEF\xBC\xBCH:\"=hex:01\r\n\r\n",
                             fullWidth, loadError));
    FakeWindows machine;
    ASSERT_TRUE(LoadRegFile(machine, fullWidth, loadError)) << loadError;
    EXPECT_FALSE(machine.GetValue(kMounted, MountValueName('H')).has_value());
    // Only machines that existed, each named wholly by one --windows.
    const struct {
        const char* windows;
        bool server, wow64;
        std::string error;  // its start
    } machines[] = {
        {"xp", false, true, "--wow64: Windows XP (NT 5.1 workstation) had no 64-bit edition"},
        {"5.0", false, true, "--wow64: Windows 2000 Professional (NT 5.0 workstation) had no"},
        {"xp", true, false, "--server: NT 5.1 (Windows XP) had no server edition"},
        {"5.1", true, false, "--server: NT 5.1 (Windows XP) had no server edition"},
        {"5.2", false, false, "Windows XP x64 (NT 5.2 workstation) is 64-bit only: add --wow64"},
        {"6.1", true, false, "Windows Server 2008 R2 (NT 6.1 server) is 64-bit only"},
        {"10.0", true, false, "Windows Server 2016 or later (NT 10.0 server) is 64-bit only"},
        {"7", true, true,
         "--server: --windows 7 is Windows 7, a workstation edition; Windows "
         "Server 2008 R2 is --windows 6.1 --server --wow64"},
        {"xp-x64", true, true, "--server: --windows xp-x64 is Windows XP x64, a workstation"},
        {"6.4", false, false, "--windows: no Windows was NT 6.4"},
        {"xp-x64", false, false, ""},
        {"2003", true, false, ""},
        {"2003", false, true, ""},
        {"5.0", true, false, ""},
        {"6.1", true, true, ""},
        {"8.1", false, false, ""},
    };
    for (const auto& [name, major, minor] : {std::tuple{"8", 6u, 2u}, std::tuple{"10", 10u, 0u}}) {
        MachineFacts facts;
        ASSERT_TRUE(ParseWindowsName(name, facts));
        EXPECT_EQ(major * 100 + minor, facts.majorVersion * 100 + facts.minorVersion) << name;
    }
    for (const auto& m : machines) {
        MachineFacts facts;
        ASSERT_TRUE(ParseWindowsName("2003", facts));  // replaced wholly by the next name
        ASSERT_TRUE(ParseWindowsName(m.windows, facts));
        facts.server = facts.server || m.server;
        facts.wow64 = facts.wow64 || m.wow64;
        const std::string error = ImpossibleMachine(facts, m.windows);
        EXPECT_EQ(m.error, error.substr(0, m.error.size())) << m.windows;
        EXPECT_EQ(m.error.empty(), error.empty()) << m.windows << ": " << error;
    }

    // A folder of the (UTF-8) command line, in the machine's code page.
    const struct {
        std::string utf8;
        UINT codePage;
        std::string ansi;  // or the error
    } folders[] = {
        {"C:\\Programme\\Zubeh\xC3\xB6r", 1252, "C:\\Programme\\Zubeh\xF6r"},
        {"C:\\\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88\\\xE3\x82\xAB", 932,
         "C:\\\x83\x5C\x83\x74\x83\x67\\\x83\x4A"},
        {"C:\\Zubeh\xC3\xB6r", 932, "U+00F6 \"\xC3\xB6\" cannot be written in code page 932"},
        {"C:\\\xE3\x82\xBD", 1252, "U+30BD \"\xE3\x82\xBD\" cannot be written in code page 1252"},
        {"C:\\\xE2\x80\xA8", 1252, "U+2028 cannot be written in code page 1252"},
        {"C:\\\xF0\x9F\x98\x80", 932, "U+1F600 \"\xF0\x9F\x98\x80\" cannot be written in code"},
        {"C:\\Zubeh\xF6r", 1252, "not UTF-8 (byte 9 is \\xF6)"},
    };
    for (const auto& f : folders) {
        FakeWindows machine;
        SetUpMachine(machine, MachineFacts{5, 1, false, false, f.codePage, 0, 0, ""});
        std::string ansi;
        std::string error;
        const bool converted = ToMachineText(machine, f.utf8, ansi, error);
        EXPECT_EQ(f.ansi, (converted ? ansi : error).substr(0, f.ansi.size())) << f.utf8;
    }

    // Cut anywhere, a real export either still parses or names a line it has.
    const std::string whole =
        Utf16File(Widen("Windows Registry Editor Version 5.00\r\n\r\n" + MachineExport()));
    for (size_t cut = 0; cut < whole.size(); cut += 3) {
        const std::string part = whole.substr(0, cut);
        const std::string result = ParseError(part);
        if (result == "parsed") continue;
        int line = 0;
        ASSERT_EQ(1, std::sscanf(result.c_str(), "line %d:", &line)) << result;
        int lines = 1;
        for (size_t i = 2; i + 1 < part.size(); i += 2)
            lines += part[i] == '\n' && part[i + 1] == 0;
        EXPECT_GE(line, 1);
        EXPECT_LE(line, lines) << result;
    }
}

// Exports as a mail or a copy cuts them: every cut is refused or explained
// as the whole file, unless it falls between two key blocks.
TEST(RegFile, CutShortExportsAreRefusedOrExplainedAsTheWhole) {
    const std::string vista =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices]\r\n" +
        HexRecord("\\\\DosDevices\\\\E:",
                  InstancePathRecord(kKcKb, "QX40SERIAL0000000000000000000000000040&0")) +
        "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\" + kKcKb +
        "\\QX40SERIAL0000000000000000000000000040&0]\r\n\"Capabilities\"=dword:00000010\r\n\r\n";
    const struct {
        const char* windows;
        std::string body;
    } samples[] = {{"xp", MachineExport()}, {"vista", vista}, {"6.0", vista}};
    for (const auto& sample : samples) {
        const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n" + sample.body;
        std::string lf = v5;
        for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
        for (const bool utf16 : {true, false}) {
            SCOPED_TRACE(std::string(sample.windows) + (utf16 ? " UTF-16" : " UTF-8 with LF"));
            const std::string whole = utf16 ? Utf16File(Widen(v5)) : lf;
            auto report = [&](const std::string& bytes) -> std::string {
                RegFile file;
                std::string error;
                FakeWindows machine;
                MachineFacts facts;
                ParseWindowsName(sample.windows, facts);
                SetUpMachine(machine, facts);
                if (!ParseRegFile(bytes, file, error) || !LoadRegFile(machine, file, error))
                    return "";
                SetDriveTypes(machine, "");
                return ExplanationText(ExplainDrives(machine, ExplainOptions{}));
            };
            const std::string expected = report(whole);
            ASSERT_NE(std::string::npos, expected.find("E:  ICON"));
            const std::string blockEnd = utf16 ? std::string("\n\0\r\0\n\0", 6) : "\n\n";
            for (size_t cut = 0; cut < whole.size(); ++cut) {
                const std::string part = whole.substr(0, cut);
                const std::string got = report(part);
                const bool betweenBlocks =
                    part.size() >= blockEnd.size() &&
                    part.compare(part.size() - blockEnd.size(), blockEnd.size(), blockEnd) == 0;
                if (!got.empty() && got != expected) {
                    EXPECT_TRUE(betweenBlocks) << "cut at " << cut << " explained as:\n" << got;
                }
            }
        }
    }
}

// What reg export writes on a Japanese and on a Western machine: a version 5
// file in UTF-16 and a REGEDIT4 file in the code page, with a service folder
// and a note in the machine's own script. 表 ends in the byte 0x5C.
TEST(RegFile, ExportsInTheMachinesOwnScript) {
    const struct {
        UINT codePage;
        std::u16string folder;
        std::u16string note;
    } machines[] = {
        {932, u"C:\\\u30ab\u30fc\u30c9\u30ea\u30fc\u30c0\u30fc\\Qarn\\", u"\u4e00\u89a7\u8868"},
        {1252, u"C:\\K\u00e4se \u2013 L\u00ebser\\", u"Caf\u00e9 \u20ac"},
    };
    for (const auto& m : machines) {
        SCOPED_TRACE(m.codePage);
        FakeWindows machine;
        SetUpMachine(machine, MachineFacts{5, 1, false, false, m.codePage, 0, 0, ""});
        auto ansi = [&](const std::u16string& text) {
            std::string bytes(2 * text.size(), '\0');
            bytes.resize(static_cast<size_t>(machine.WideCharToMultiByte(
                CP_ACP, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                static_cast<int>(bytes.size()), nullptr, nullptr)));
            return bytes;
        };
        auto escaped = [](std::u16string text) {
            for (size_t at = 0; (at = text.find(u'\\', at)) != std::u16string::npos; at += 2)
                text.insert(at, 1, u'\\');
            return text;
        };
        const std::u16string service =
            u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QarnIEx]\r\n"
            u"\"ImagePath\"=\"" +
            escaped(m.folder) + u"QarnIEx.exe\"\r\n\"Note\"=\"" + m.note + u"\"\r\n\r\n";
        const std::string v5 = Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n" +
                                         Widen(MachineExport()) + service);
        const std::string regedit4 = "REGEDIT4\r\n\r\n" + MachineExport() + ansi(service);
        ASSERT_EQ(std::string::npos, ansi(m.folder + m.note).find('?'));
        ASSERT_EQ(m.folder + m.note, machine.AnsiToUtf16(ansi(m.folder + m.note)));

        for (const std::string& bytes : {v5, regedit4}) {
            RegFile file;
            std::string error;
            ASSERT_TRUE(ParseRegFile(bytes, file, error, m.codePage)) << error;
            FakeWindows loaded;
            SetUpMachine(loaded, MachineFacts{5, 1, false, false, m.codePage, 0, 0, ""});
            ASSERT_TRUE(LoadRegFile(loaded, file, error)) << error;
            SetDriveTypes(loaded, "");
            EXPECT_EQ(ansi(m.note),
                      loaded.GetValue("SYSTEM\\CurrentControlSet\\Services\\QarnIEx", "Note")
                          ->AsString());
            const std::string report = ExplanationText(ExplainDrives(loaded, ExplainOptions{}));
            EXPECT_NE(std::string::npos,
                      report.find("icon " + ansi(m.folder) + "QarnIcons.dll,5\n"))
                << report;
        }
    }
}

namespace {

// A folder in memory for --save; `failAt`: the byte count at which writes fail.
struct MemoryFolder : SaveFolder {
    std::map<std::string, std::string> files;
    std::string current;
    size_t failAt = SIZE_MAX;
    size_t written = 0;
    bool Create(const std::string& name, std::string&) override {
        files[current = name].clear();
        return true;
    }
    bool Append(const void* data, size_t size, std::string& why) override {
        if ((written += size) > failAt) why = "disk full";
        files[current].append(static_cast<const char*>(data), size);
        return written <= failAt;
    }
    bool Finish(std::string&) override { return true; }
    bool Remove(const std::string& name, std::string&) override {
        files.erase(name);
        return true;
    }
};

// Every key and value below `path`, as UTF-8 lines: what a file must give back.
std::string Tree(const MemoryWindows& machine, const MemoryWindows::KeyPath& path) {
    std::string out;
    for (const auto& [name, value] : machine.Values(path)) {
        out += Utf8Of(name) + "=" + std::to_string(value.type) + ":" +
               std::string(value.data.begin(), value.data.end()) + "\n";
    }
    for (const std::u16string& sub : machine.SubkeyNames(path)) {
        MemoryWindows::KeyPath below = path;
        below.push_back(sub);
        out += "[" + Utf8Of(sub) + "]\n" + Tree(machine, below);
    }
    return out;
}

MemoryWindows::KeyPath Parts(const std::string& path) {
    MemoryWindows::KeyPath parts(1);
    for (char c : path) {
        if (c == '\\')
            parts.emplace_back();
        else
            parts.back() += static_cast<char16_t>(c);
    }
    return parts;
}

}  // namespace

// --save on every platform row: the files hold the views the service and the
// shell read, load back as the registry holds them, and the facts read back.
TEST(RegFile, SavedFolderLoadsBackAsTheMachine) {
    const struct {
        DWORD major, minor;
        BYTE product;
        bool wow64;
        const char* files;
    } rows[] = {
        {5, 1, VER_NT_WORKSTATION, false, "driveicons.reg mounted.reg service.reg usbstor.reg"},
        {5, 2, VER_NT_WORKSTATION, true, "driveicons.reg mounted.reg service.reg usbstor.reg"},
        {5, 2, VER_NT_SERVER, true,
         "driveicons.reg driveicons32.reg mounted.reg service.reg usbstor.reg"},
        {6, 1, VER_NT_WORKSTATION, true, "driveicons32.reg mounted.reg service.reg usbstor.reg"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.major) + "." + std::to_string(row.minor));
        FakeWindows fake;
        fake.SetVersion(row.major, row.minor, row.product);
        fake.SetWow64Process(row.wow64);
        BuildMachine(fake);
        fake.SetString(ServiceKeyPath(), "ImagePath", "\"C:\\Q\\QarnIEx.exe\"");
        fake.SetString(ServiceKeyPath() + "\\Security", "Kept", "out");
        fake.SetString("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "5.1");
        fake.SetString("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductId", "secret");
        WriteIconKeys(fake, 'K', "KD Media", kDriveIcons32);
        const std::string odd = kUsbStor + "\\Odd";
        fake.SetValue(odd, "q\"\\\"", REG_SZ, SzBytes("a\"b\\c\r\nd"));
        fake.SetValue(odd, "multi", REG_MULTI_SZ, SzBytes(std::string("x\0y\0", 4)));
        fake.SetValue(odd, "none", REG_NONE, {});
        fake.SetValue(odd, "odd", REG_SZ, {'a'});
        fake.SetValue(odd, "big", 0x100000, std::vector<BYTE>(300, 0xAB));
        fake.SetValue(Parts(odd), u"\u4E2D\u00E9", REG_SZ, {0x2D, 0x4E, 0, 0});
        fake.SetValue(Parts(odd + "\\Bad"), u"line\nbreak", REG_DWORD, {1, 0, 0, 0});
        fake.CreateKey(Parts(odd + "\\Bad\\cut\rkey\\below"));

        MemoryFolder folder;
        SavedFacts facts;
        std::string failure;
        ASSERT_EQ(3, SaveMachine(fake, folder, facts, failure)) << failure;
        EXPECT_EQ(0u, fake.OpenKeyCount());
        EXPECT_EQ(0u, fake.CountCalls("RegCreateKeyExA") + fake.CountCalls("RegSetValueExA"));
        EXPECT_EQ((std::vector<std::string>{
                      "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Odd\\Bad: a value with a "
                      "line break in its name, which a reg file cannot hold",
                      "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\Odd\\Bad: a subkey with a "
                      "line break in its name, which a reg file cannot hold"}),
                  facts.problems);

        SavedFacts read;
        ASSERT_TRUE(ParseFacts(folder.files.at("facts.txt"), read, failure)) << failure;
        EXPECT_EQ(FactsText(facts), FactsText(read));
        EXPECT_EQ("QARNMEMORY", read.computer);
        EXPECT_EQ(row.wow64, read.wow64);
        EXPECT_EQ(row.wow64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL,
                  read.architecture);
        EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), read.driveTypes['F' - 'D']);
        EXPECT_EQ(0, read.serviceState);  // no such service in the double's manager

        MemoryWindows loaded;
        MachineFacts loadFacts;
        loadFacts.wow64 = row.wow64;
        std::string names;
        for (const auto& [name, bytes] : folder.files) {
            if (name == "facts.txt") continue;
            names += (names.empty() ? "" : " ") + name;
            RegFile file;
            ASSERT_TRUE(ParseRegFile(bytes, file, failure)) << name << ": " << failure;
            ASSERT_TRUE(LoadRegFile(loaded, file, failure)) << name << ": " << failure;
        }
        EXPECT_EQ(std::string(row.files) + " windows.reg", names);
        fake.DeleteTree(odd + "\\Bad");  // what no file can hold
        loaded.DeleteTree(odd + "\\Bad");
        std::vector<std::string> keys = {kMounted, kUsbStor};
        if (names.find("driveicons.reg") != std::string::npos) keys.push_back(kDriveIcons);
        if (names.find("driveicons32.reg") != std::string::npos) keys.push_back(kDriveIcons32);
        for (const std::string& key : keys) {
            EXPECT_NE("", Tree(fake, Parts(key))) << key;
            EXPECT_EQ(Tree(fake, Parts(key)), Tree(loaded, Parts(key))) << key;
        }
        // The service's values without its subkeys; of the version key its version alone.
        auto sz = [](const std::u16string& text) {
            const std::vector<BYTE> bytes = FakeWindows::Utf16Bytes(text + u'\0');
            return std::string(bytes.begin(), bytes.end());
        };
        EXPECT_EQ("ImagePath=1:" + sz(u"\"C:\\Q\\QarnIEx.exe\"") + "\n",
                  Tree(loaded, Parts(ServiceKeyPath())));
        EXPECT_EQ("CurrentVersion=1:" + sz(u"5.1") + "\n",
                  Tree(loaded, Parts("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion")));
    }

    // A folder that cannot be written ends the save, without facts.
    FakeWindows fake;
    BuildMachine(fake);
    MemoryFolder full;
    full.failAt = 100;
    SavedFacts facts;
    std::string failure;
    EXPECT_EQ(1, SaveMachine(fake, full, facts, failure));
    EXPECT_EQ("disk full", failure);
    EXPECT_EQ(0u, full.files.count("facts.txt"));
}

namespace {

// A folder of its own below the tests' temporary folder.
// The run's folders, under one made for it and removed when the tests end.
struct TempRoot {
    std::string path;
    ~TempRoot() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

std::string TempFolder(const std::string& name) {
    static const TempRoot root{[] {
        std::string pattern = ::testing::TempDir() + "/qarn-explain-XXXXXX";
        const char* made = mkdtemp(&pattern[0]);
        return made != nullptr ? std::string(made) : std::string();
    }()};
    EXPECT_NE("", root.path) << "no temporary folder: " << std::strerror(errno);
    const std::string path = root.path + "/" + name;
    mkdir(path.c_str(), 0777);
    return path;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The machine of a Windows row: reader E, a stick on F, old keys on W, the
// service installed in C:\Qarn; saved into `folder` as --save saves it.
void SaveRow(const std::string& folder, DWORD major, DWORD minor, BYTE product, bool wow64,
             FakeWindows& fake) {
    fake.SetVersion(major, minor, product);
    fake.SetWow64Process(wow64);
    BuildMachine(fake);
    fake.SetString(ServiceKeyPath(), "ImagePath", "C:\\Qarn\\QarnIEx.exe");
    fake.SetString("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion",
                   std::to_string(major) + "." + std::to_string(minor));
    if (major == 6 && minor == 0 && product == VER_NT_WORKSTATION) {
        PlugInstancePathDevice(fake, 'E', kKcModule, "0000000000002&0");
        PlugInstancePathDevice(fake, 'F', "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07", "AA01&0");
    }
    std::string why;
    SavedFacts facts;
    ASSERT_EQ(0, SaveMachine(fake, *FileFolder::Open(folder, why), facts, why)) << why;
}

// The report from the first letter's block on: what the machine itself says.
std::string LetterBlocks(const std::string& text) {
    for (size_t at = text.find("\n"); at != std::string::npos; at = text.find("\n", at + 1)) {
        if (at + 4 < text.size() && IsDriveIconLetter(text[at + 1]) && text[at + 2] == ':')
            return text.substr(at);
    }
    return "(no letter)";
}

}  // namespace

// Every Windows row saved by --save and read back by the Linux tool with no
// option: the same letters as the machine itself, and as a fleet, the rows.
TEST(RegFile, SavedMachinesOfEveryWindowsRowAsAFleet) {
    const struct {
        const char* name;
        DWORD major, minor;
        BYTE product;
        bool wow64;
        const char* verdictE;
    } rows[] = {
        {"xp", 5, 1, VER_NT_WORKSTATION, false, "ICON"},
        {"xp-x64", 5, 2, VER_NT_WORKSTATION, true, "LABEL"},
        {"2003-x64", 5, 2, VER_NT_SERVER, true, "NOT SHOWN"},
        {"vista-x64", 6, 0, VER_NT_WORKSTATION, true, "ICON"},
        {"2008-x64", 6, 0, VER_NT_SERVER, true, "NOT SHOWN"},
        {"7-x64", 6, 1, VER_NT_WORKSTATION, true, "ICON"},
        {"10", 10, 0, VER_NT_WORKSTATION, false, "ICON"},
    };
    const std::string fleet = TempFolder("fleet");
    std::string error;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeWindows fake;
        const std::string folder = fleet + "/" + row.name;
        SaveRow(folder, row.major, row.minor, row.product, row.wow64, fake);
        const std::string direct = ExplanationText(ExplainDrives(fake, ExplainOptions{}));
        LoadedMachine loaded;
        ASSERT_EQ(ReadOutcome::kRead, ReadMachine({folder}, MachineOptions{}, loaded, error))
            << error;
        const Explanation read = ExplainLoaded(loaded);
        EXPECT_EQ(LetterBlocks(direct), LetterBlocks(ExplanationText(read)));
        EXPECT_EQ(row.verdictE, std::string(JudgeLetter(read, read.Letter('E')).verdict));
        EXPECT_EQ("QARNMEMORY", read.computerName);
    }
    // A folder saved again keeps nothing of the earlier save: no DriveIcons of
    // the 32-bit view where the service reads the 64-bit one.
    FakeWindows server, workstation;
    const std::string reused = TempFolder("reused");
    WriteIconKeys(server, 'K', "KD Media", kDriveIcons32);
    SaveRow(reused, 5, 2, VER_NT_SERVER, true, server);
    EXPECT_NE("", ReadFile(reused + "/driveicons32.reg"));
    SaveRow(reused, 6, 0, VER_NT_WORKSTATION, true, workstation);
    LoadedMachine again;
    ASSERT_EQ(ReadOutcome::kRead, ReadMachine({reused}, MachineOptions{}, again, error)) << error;
    EXPECT_EQ((std::vector<std::string>{}), again.warnings);
    EXPECT_EQ("", ReadFile(reused + "/driveicons32.reg"));
    // A file where the folder should be is refused before anything is written.
    EXPECT_EQ(nullptr, FileFolder::Open(reused + "/facts.txt", error));
    EXPECT_EQ("a file of that name is there, not a folder", error);
    // The fleet in CSV: a row per machine and letter, in the folders' order.
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(3, ExplainFleet(fleet, ReportFormat::kCsv, out, error)) << error;  // NOT SHOWN, twins
    std::rewind(out);
    std::string csv;
    for (int c; (c = std::fgetc(out)) != EOF;) csv += static_cast<char>(c);
    std::fclose(out);
    EXPECT_EQ(0u, csv.find("\xEF\xBB\xBFkind,machine,computer,windows,service,letter,verdict,"));
    EXPECT_NE(std::string::npos,
              csv.find("letter,2003-x64,QARNMEMORY,Server 2003 x64,not installed,E,NOT SHOWN,"
                       "other-view,shell view,\"reader KC Slot Module (model row 8), label "
                       "\"\"KC Media\"\": its keys go to the 32-bit view, the shell reads the "
                       "64-bit view\",\r\n"))
        << csv;
    EXPECT_NE(std::string::npos, csv.find("letter,vista-x64,QARNMEMORY,Vista x64,not installed,F,"
                                          "NO ICON,not-a-reader,device key,"))
        << csv;
    EXPECT_NE(std::string::npos, csv.find("machine,xp-x64,QARNMEMORY,XP x64,not installed,,"
                                          "DUPLICATE,same-computer-name,files,the computer "
                                          "QARNMEMORY is also that of folder 10,\r\n"))
        << csv;
    EXPECT_NE(std::string::npos, csv.find("verdict,,,,,,NOT SHOWN,,,,2\r\n")) << csv;
    EXPECT_NE(std::string::npos, csv.find("machines,,,,,,,,,\"read 7, complete 7\",7\r\n")) << csv;
    EXPECT_LT(csv.find("letter,10,"), csv.find("letter,2003-x64,"));
    // The same fleet in JSON: each row's machine with its Windows and E's verdict.
    out = std::tmpfile();
    EXPECT_EQ(3, ExplainFleet(fleet, ReportFormat::kJson, out, error)) << error;
    std::rewind(out);
    std::string json;
    for (int c; (c = std::fgetc(out)) != EOF;) json += static_cast<char>(c);
    std::fclose(out);
    const char* windows[] = {"XP",    "XP x64", "Server 2003 x64", "Vista x64", "Server 2008 x64",
                             "7 x64", "10"};
    for (size_t i = 0; i < std::size(rows); ++i) {
        const size_t at = json.find(std::string("{\"machine\": \"") + rows[i].name + "\", ");
        ASSERT_NE(std::string::npos, at) << rows[i].name;
        // Its Windows is named within its own object, before the next machine's.
        EXPECT_LT(json.find(std::string("\"windows\": \"") + windows[i] + "\"", at),
                  json.find("{\"machine\": ", at + 1))
            << json.substr(at, 200);
        EXPECT_NE(
            std::string::npos,
            json.find(std::string("{\"letter\": \"E\", \"verdict\": \"") + rows[i].verdictE, at))
            << rows[i].name;
    }
}

// A machine's folder gone wrong, or options against it: refused or read,
// each with its reason, never taken for another machine.
TEST(RegFile, MachineFoldersGoneWrongAndOptionsAgainstThem) {
    auto edit = [](const char* from, const char* to) {
        return [from, to](const std::string& folder) {
            std::string facts = ReadFile(folder + "/facts.txt");
            facts.replace(facts.find(from), std::strlen(from), to);
            WriteFile(folder + "/facts.txt", facts);
        };
    };
    auto cut = [](const char* file, size_t bytes) {
        return [file, bytes](const std::string& folder) {
            const std::string whole = ReadFile(folder + "/" + file);
            WriteFile(folder + "/" + file, whole.substr(0, whole.size() - bytes));
        };
    };
    const std::function<void(const std::string&)> none = [](const std::string&) {};
    const std::function<void(const std::string&)> noFacts = [](const std::string& f) {
        std::remove((f + "/facts.txt").c_str());
    };
    MachineOptions windows2003, codePage932, removableE, removableEF, fleetMachine;
    fleetMachine.factsRequired = true;
    ParseWindowsName("2003", windows2003.windowsFacts);
    windows2003.windows = "2003";
    codePage932.codePage = 932;
    removableE.removable = "e";
    removableEF.removable = "fE";
    const struct {
        const char* what;
        std::function<void(const std::string&)> change;
        MachineOptions options;
        ReadOutcome outcome;
        const char* failure;
        const char* error;
    } rows[] = {
        {"facts cut short",
         cut("facts.txt", 5),
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "no \"end\" line: the file is cut short"},
        {"an export cut short",
         cut("usbstor.reg", 6),
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "usbstor.reg: 1234 bytes"},
        {"an export gone",
         [](const std::string& f) { std::remove((f + "/mounted.reg").c_str()); },
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "lists mounted.reg ("},
        {"a .reg that is no export",
         [edit](const std::string& f) {
             WriteFile(f + "/notes.reg", "hi");
             edit("end", "file=notes.reg 2\r\nend")(f);
         },
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "notes.reg: line 1: not a registry export"},
        {"facts.txt saved again by Notepad",
         [](const std::string& f) {
             WriteFile(f + "/facts.txt", "\xEF\xBB\xBF" + ReadFile(f + "/facts.txt") + "\r\n");
         },
         {},
         ReadOutcome::kRead,
         "",
         ""},
        {"a line of no format",
         edit("end", "colour=blue\r\nend"),
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "no line of format 1 is named \"colour\""},
        {"a file of another name",
         [](const std::string& f) {
             WriteFile(f + "/notes.txt", "hi");
             WriteFile(f + "/other.reg", "hi");  // not of the save: not read
         },
         {},
         ReadOutcome::kRead,
         "",
         ""},
        {"x86 under WOW64",
         edit("wow64=no", "wow64=yes"),
         {},
         ReadOutcome::kRefused,
         "no-such-windows",
         "facts.txt contradicts itself"},
        {"code page 1251",
         edit("code page=1252", "code page=1251"),
         {},
         ReadOutcome::kRefused,
         "no-such-windows",
         "code page 1251: the Linux tool reads"},
        {"XP as a server",
         edit("product type=workstation", "product type=server"),
         {},
         ReadOutcome::kRefused,
         "no-such-windows",
         "facts.txt names no Windows that existed"},
        {"facts against the version key",
         edit("windows=5.1.2600", "windows=6.0.6000"),
         {},
         ReadOutcome::kRefused,
         "contradiction",
         "facts.txt says NT 6.0, the CurrentVersion value of the exports 5.1"},
        {"a file outside the folder",
         edit("end", "file=../evil.reg 5\r\nend"),
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "\"file\" has no value it can take"},
        {"a newer format",
         edit("format=1", "format=2"),
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "format 2: this QarnIExplain reads format 1"},
        {"--windows against the facts", none, windows2003, ReadOutcome::kUsageError,
         "contradiction",
         "--windows 2003 (NT 5.2 server) contradicts facts.txt (NT 5.1 workstation)"},
        {"--codepage against the facts", none, codePage932, ReadOutcome::kUsageError,
         "contradiction", "--codepage 932 contradicts facts.txt (code page 1252)"},
        {"--removable against the facts", none, removableE, ReadOutcome::kUsageError,
         "contradiction", "--removable e contradicts facts.txt (removable: EF)"},
        {"--removable as the facts", none, removableEF, ReadOutcome::kRead, "", ""},
        {"x86 with a WOW64 view's keys",
         [edit](const std::string& f) {
             const std::string w = Utf16File(
                 Widen("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\"
                       "Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\E]"
                       "\r\n\r\n"));
             WriteFile(f + "/w.reg", w);
             edit("end", ("file=w.reg " + std::to_string(w.size()) + "\r\nend").c_str())(f);
         },
         {},
         ReadOutcome::kRefused,
         "contradiction",
         "below Wow6432Node, which the save of an x86 machine never writes"},
        {"an ia64 machine",
         edit("architecture=x86", "architecture=ia64"),
         {},
         ReadOutcome::kRefused,
         "no-such-windows",
         "facts.txt says the machine is ia64"},
        {"facts.txt a folder",
         [](const std::string& f) {
             std::remove((f + "/facts.txt").c_str());
             mkdir((f + "/FACTS.TXT").c_str(), 0777);
         },
         {},
         ReadOutcome::kRefused,
         "bad-file",
         "FACTS.TXT: not a regular file"},
        {"a fleet's machine without facts", noFacts, fleetMachine, ReadOutcome::kRefused,
         "no-facts", "no facts.txt (a save cut short"},
        {"no facts: the version from the key", noFacts, {}, ReadOutcome::kRead, "", ""},
        {"no facts, no version key",
         [](const std::string& f) {
             std::remove((f + "/facts.txt").c_str());
             std::remove((f + "/windows.reg").c_str());
         },
         {},
         ReadOutcome::kUsageError,
         "no-facts",
         "say which Windows the files come from"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FakeWindows fake;
        const std::string folder = TempFolder(row.what);
        SaveRow(folder, 5, 1, VER_NT_WORKSTATION, false, fake);
        const std::string usbstor = std::to_string(ReadFile(folder + "/usbstor.reg").size() - 6);
        row.change(folder);
        LoadedMachine loaded;
        std::string error;
        EXPECT_EQ(row.outcome, ReadMachine({folder}, row.options, loaded, error)) << error;
        EXPECT_EQ(row.failure, std::string(loaded.failure));
        std::string expected = row.error;
        if (expected.find("1234") != std::string::npos) expected.replace(13, 4, usbstor);
        EXPECT_NE(std::string::npos, error.find(expected)) << error;
        if (row.outcome != ReadOutcome::kRead) continue;
        const Explanation read = ExplainLoaded(loaded);
        EXPECT_EQ("ICON", std::string(JudgeLetter(read, read.Letter('E')).verdict));
        std::string notes;
        for (const std::string& note : loaded.notes) notes += note + "\n";
        EXPECT_EQ(
            std::string(row.what) == "a file of another name",
            notes.find("notes.txt: passed over") != std::string::npos &&
                notes.find("other.reg: passed over: not listed in facts.txt") != std::string::npos)
            << notes;
        EXPECT_EQ(
            std::string(row.what).compare(0, 8, "no facts") == 0,
            loaded.factsSource.find("CurrentVersion value in windows.reg") != std::string::npos)
            << loaded.factsSource;
    }
}

// A fleet goes on past machines it cannot read; every name and text of theirs
// comes out escaped; the JSON is the documented schema.
TEST(RegFile, FleetGoesOnPastWhatItCannotRead) {
    const std::string fleet = TempFolder("fleet2");
    FakeWindows fake;
    SaveRow(fleet + "/ok", 5, 1, VER_NT_WORKSTATION, false, fake);
    std::string facts = ReadFile(fleet + "/ok/facts.txt");
    facts.replace(facts.find("computer=QARNMEMORY"), 19, "computer=W\\x1B[2J\"S");
    WriteFile(fleet + "/ok/facts.txt", facts);
    TempFolder("fleet2/bad\nname");
    WriteFile(fleet + "/bad\nname/facts.txt", "QarnIExplain facts\r\nformat=1\r\n");
    TempFolder("fleet2/empty");
    WriteFile(fleet + "/not a folder.csv", "");
    std::FILE* out = std::tmpfile();
    std::string error;
    EXPECT_EQ(3, ExplainFleet(fleet, ReportFormat::kJson, out, error)) << error;
    std::rewind(out);
    std::string json;
    for (int c; (c = std::fgetc(out)) != EOF;) json += static_cast<char>(c);
    std::fclose(out);
    const std::string head =
        "{\"schemaVersion\": 1, \"tool\": \"QarnIExplain 1.20\",\n \"machines\": [\n"
        "  {\"machine\": \"bad\\\\nname\", \"computer\": \"\", \"windows\": \"\", \"service\": "
        "\"\", "
        "\"read\": false, \"complete\": false,\n   \"rows\": [\n    {\"letter\": null, "
        "\"verdict\": "
        "\"UNREAD\", \"reason\": \"bad-file\", \"step\": \"files\", \"detail\": \"facts.txt: line "
        "2: "
        "no \\\"end\\\" line: the file is cut short\"}]},\n"
        "  {\"machine\": \"empty\", \"computer\": \"\", \"windows\": \"\", \"service\": \"\", "
        "\"read\": false, \"complete\": false,\n   \"rows\": [\n    {\"letter\": null, "
        "\"verdict\": "
        "\"UNREAD\", \"reason\": \"no-facts\", \"step\": \"files\", \"detail\": \"no facts.txt and "
        "no .reg file\"}]},\n"
        "  {\"machine\": \"ok\", \"computer\": \"W\\\\x1B[2J\\\"S\", \"windows\": \"XP\", "
        "\"service\": "
        "\"not installed\", \"read\": true, \"complete\": true,\n   \"rows\": [\n    {\"letter\": "
        "\"E\", \"verdict\": \"ICON\", \"reason\": \"reader\", \"step\": \"keys written\", "
        "\"detail\": \"reader KC Slot Module (model row 8), label \\\"KC Media\\\"\"},\n";
    EXPECT_EQ(head, json.substr(0, head.size())) << json;
    EXPECT_NE(std::string::npos,
              json.find("\n \"summary\": {\"machines\": 3, \"read\": 1, \"complete\": 1,\n  "
                        "\"verdicts\": {\"ICON\": 1, \"NO ICON\": 3, \"UNREAD\": 2},\n"))
        << json;
    // Not a fleet: one machine's folder, and a folder of none.
    EXPECT_EQ(1, ExplainFleet(fleet + "/ok", ReportFormat::kCsv, stdout, error));
    EXPECT_EQ("one machine's folder, not a fleet's: give it without --fleet", error);
    EXPECT_EQ(1, ExplainFleet(fleet + "/empty", ReportFormat::kCsv, stdout, error));
}
