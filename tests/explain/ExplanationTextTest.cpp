// What the explanation tells: the step at which the scan stopped for each
// letter, in words, and the details behind it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Scenarios.h"
#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ShownText.h"
#include "explain/Verdict.h"
#include "explain/WindowsFolder.h"

using namespace fixture;

namespace {

std::string Explain(const std::function<void(FakeWindows&)>& build) {
    FakeWindows fake;
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    build(fake);
    return ExplanationText(ExplainDrives(fake, ExplainOptions{}));
}

// The headline of a letter's block, without the "X:  ".
std::string Headline(const std::string& text, char letter) {
    const std::string start = std::string("\n") + letter + ":  ";
    const size_t at = text.find(start);
    if (at == std::string::npos) return "(no block)";
    const size_t from = at + start.size();
    return text.substr(from, text.find('\n', from) - from);
}

std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// The block of a letter: its headline and the indented lines after it.
std::string Block(const std::string& text, char letter) {
    const size_t at = text.find(std::string("\n") + letter + ":  ");
    if (at == std::string::npos) return "(no block)";
    return text.substr(at + 1, text.find("\n\n", at + 1) - at);
}

}  // namespace

TEST(ExplanationText, EveryStepAtWhichTheScanStops) {
    std::string text = Explain(FindScenario("parent-id recognition").build);
    EXPECT_EQ("ICON     reader LNK   QX-KB Slot (model row 1), label \"KB Media\"",
              Headline(text, 'E'));
    EXPECT_EQ(
        "NO ICON  the drive is Disk&Ven_QARN&Prod_LNK___QX-KB_Slot&Rev_2.00 (instance 1&0), "
        "which is no supported reader",
        Headline(text, 'F'));
    EXPECT_EQ(
        "NO ICON  the mount record holds no \"RemovableMedia\": not the removable-media "
        "volume a reader's drive has",
        Headline(text, 'G'));
    EXPECT_EQ("NO ICON  no mount record \\DosDevices\\I: under HKLM\\SYSTEM\\MountedDevices",
              Headline(text, 'I'));
    text = Explain(FindScenario("mount records that fill the buffer and one character more").build);
    EXPECT_EQ("NO ICON  the mount record \\DosDevices\\F: is " +
                  std::to_string(MountRecordSize + 2) + " bytes long; the service reads at most " +
                  std::to_string(MountRecordSize),
              Headline(text, 'F'));
    EXPECT_EQ("(no block)", Headline(text, 'J'));  // neither removable nor with keys

    text = Explain(FindScenario("instance-path recognition").build);
    EXPECT_EQ(
        "NO ICON  device key Disk&Ven_Qarn&Prod_KF_Slot_Module&Rev_1.00 has no instance key "
        "0000000000003&0",
        Headline(text, 'G'));
    EXPECT_EQ(
        "NO ICON  the mount record holds no \"USBSTOR\": not the USB storage device path a "
        "reader's drive has",
        Headline(text, 'H'));
    EXPECT_EQ(
        "NO ICON  device key Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07 holds no reader "
        "model's text",
        Headline(text, 'J'));
    EXPECT_EQ("NO ICON  no device key under USBSTOR is named Disk&Ven_Qarn&Prod_KD_Slot_Module",
              Headline(text, 'K'));

    text = Explain(FindScenario("23 marked letters and 22 readers for 20 slots").build);
    EXPECT_EQ("NO ICON  a reader's drive, but all 20 slots are taken: no keys are written",
              Headline(text, 'Z'));
    text = Explain(FindScenario("double-byte key names under code page 932").build);
    EXPECT_EQ(
        "NO ICON  the mount record holds no \"USBSTOR\": not the USB storage device path a "
        "reader's drive has",
        Headline(text, 'F'));

    // How far the parent-id device search got.
    text = Explain([](FakeWindows& fake) {
        PlugParentIdDevice(fake, 'E', "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07", "1&0", "7&e&0");
    });
    EXPECT_EQ("NO ICON  no device key under USBSTOR holds a reader model's text",
              Headline(text, 'E'));
    text = Explain([](FakeWindows& fake) {
        PlugParentIdDevice(fake, 'E', "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07", "1&0", "7&e&0");
        fake.CreateKey(kUsbStor + "\\" + kKcModule);
    });
    EXPECT_EQ("NO ICON  the readers' device keys under USBSTOR have no instance keys",
              Headline(text, 'E'));
    text = Explain([](FakeWindows& fake) {
        fake.SetDriveType('E', DRIVE_REMOVABLE);
        fake.SetMountRecord('E', "\\??\\STORAGE#RemovableMedia#7&e&0&RM#" + kVolumeGuid);
    });
    EXPECT_EQ("NO ICON  no device keys under USBSTOR (or USBSTOR cannot be read)",
              Headline(text, 'E'));
    text = Explain([](FakeWindows& fake) {
        PlugParentIdDevice(fake, 'E', kKcModule, "1&0", "7&e&0");
        fake.SetMountRecord('E', "\\??\\STORAGE#RemovableMedia#7&gone&0&RM#" + kVolumeGuid);
    });
    EXPECT_EQ("NO ICON  no instance of a reader's device key has ParentIdPrefix 7&gone&0",
              Headline(text, 'E'));
    // Values the service cannot read as it reads them: a mount record stored
    // as text (hex(2), hex(7) in an export), values longer than its reads.
    for (const auto& [type, name] : {std::pair<DWORD, std::string>{REG_EXPAND_SZ, "REG_EXPAND_SZ"},
                                     {REG_MULTI_SZ, "REG_MULTI_SZ"}}) {
        text = Explain([type = type](FakeWindows& fake) {
            PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
            fake.SetValue(kMounted, MountValueName('E'), type, SzBytes(ParentIdRecord("7&e&0")));
        });
        EXPECT_EQ("NO ICON  the mount record \\DosDevices\\E: is a " + name +
                      " value, not REG_BINARY: the service's ANSI query returns it as text of the "
                      "code page, not as the mount manager's record",
                  Headline(text, 'E'));
    }
    text = Explain([](FakeWindows& fake) {
        PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", std::string(300, 'p'));
        WriteIconKeys(fake, 'K', "KD Media");
        fake.SetString(LetterKey('K'), "QarnHMD", std::string(300, 'q'));
        fake.SetString(LetterKey('K') + "\\DefaultIcon", "", std::string(300, 'i'));
    });
    EXPECT_NE(std::string::npos,
              text.find("instance 1&0: ParentIdPrefix too long for the service's read\n"))
        << text;
    EXPECT_NE(std::string::npos,
              Block(text, 'K').find("DriveIcons now  QarnHMD too long for the service's read, "
                                    "DefaultLabel \"KD Media\", DefaultIcon too long for the "
                                    "service's read\n    at start        leaves the keys: QarnHMD "
                                    "too long for the service's read, so it does not take them "
                                    "for its own\n"))
        << text;
    text = Explain([](FakeWindows& fake) {  // a reader after a foreign stick in USBSTOR
        PlugParentIdDevice(fake, 'E', kStick, "1&0", "7&e&0");
        fake.SetString(kUsbStor + "\\" + kKcModule + "\\2&0", "ParentIdPrefix", "7&k&0");
    });
    EXPECT_NE(std::string::npos, Block(text, 'E').find("\n                    " + kKcModule +
                                                       ": reader KC Slot Module (row 8)\n"
                                                       "                      instance 2&0: "
                                                       "ParentIdPrefix 7&k&0\n"))
        << text;
}

TEST(ExplanationText, HeaderAndLetterDetails) {
    const std::string text = Explain(
        FindScenario("XP x64: parent-id scan under WOW64, old keys in the 64-bit view").build);
    const size_t headerStart = text.find("Windows ");
    EXPECT_EQ(Lines({
                  "Windows         NT 5.2 build 3790, workstation",
                  "Process         32-bit under WOW64 (64-bit Windows)",
                  "Platform row    IsVistaWorkstation 0, IsWow64 1",
                  "Scan variant    parent-id: the mount record names a removable-media volume; "
                  "its parent id",
                  "                must be the ParentIdPrefix of an instance of a reader's device "
                  "key",
                  "Registry view   64-bit (KEY_WOW64_64KEY)",
                  "Service folder  C:\\Qarn\\ (the folder of this program; no installed service "
                  "names one)",
              }),
              text.substr(headerStart, text.find("\nE:  ") - headerStart));
    EXPECT_EQ(Lines({
                  "E:  LABEL    reader LNK   QX-KB Slot (model row 1), label \"KB Media\", no "
                  "DefaultIcon: the shell shows its own icon",
                  "    drive type      removable drive",
                  "    scan variant    parent-id",
                  "    mount record    \\??\\STORAGE#RemovableMedia#7&e&0&RM#" + kVolumeGuid,
                  "    parent id       7&e&0",
                  "    device key      Disk&Ven_Qarn&Prod_LNK___QX-KB_Slot&Rev_1.00",
                  "    instance key    1&0 (ParentIdPrefix 7&e&0)",
                  "    model           row 1, LNK   QX-KB Slot: label \"KB Media\", icon "
                  "QarnIcons.dll,3 (no DefaultIcon written)",
                  "    DriveIcons now  no key",
                  "    at start        writes QarnHMD = \"KB Media\"",
                  "                    writes DefaultLabel = \"KB Media\"",
                  "                    writes no DefaultIcon: the parent-id scan leaves it out "
                  "under WOW64",
              }),
              Block(text, 'E'));
    EXPECT_EQ(Lines({
                  "K:  NO ICON  not a removable drive (no drive); the service looks at removable "
                  "drives only",
                  "    drive type      no drive",
                  "    DriveIcons now  QarnHMD \"KD Media\", DefaultLabel \"KD Media\", "
                  "DefaultIcon \"C:\\Old\\QarnIcons.dll,0\"",
                  "    at start        deletes the keys: they carry the service's marker and the "
                  "label of row 3",
              }),
              Block(text, 'K'));
    EXPECT_NE(std::string::npos,
              text.find("Nothing was changed: 5 registry calls that would have written or deleted "
                        "were refused.\n"));

    // The foreign stick: every device key the search went through.
    const std::string stick = Block(
        Explain(FindScenario("pre-Vista machine with a CD drive, a fixed disk and a foreign stick")
                    .build),
        'F');
    EXPECT_NE(
        std::string::npos,
        stick.find("    device keys     Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_2.10: reader "
                   "KC Slot Module (row 8)\n"
                   "                      instance 0000000000002&0: ParentIdPrefix 7&aa11bb22&0\n"
                   "                    Disk&Ven_Qarn&Prod_LNK___QX-KB_Slot&Rev_1.00: reader "
                   "LNK   QX-KB Slot (row 1)\n"
                   "                      instance 0000000000001&0: ParentIdPrefix 7&1a2b3c4d&0\n"
                   "                    Disk&Ven_SanDisk&Prod_Cruzer_Micro&Rev_8.02: no reader "
                   "model's text\n"))
        << stick;

    // Keys the explanation rests on that cannot be read are named.
    const std::string denied = Explain([](FakeWindows& fake) {
        fake.CreateKey("SYSTEM\\MountedDevices");
        fake.DenyAccess("SYSTEM\\MountedDevices");
    });
    EXPECT_NE(std::string::npos,
              denied.find(
                  "Cannot read     HKLM\\SYSTEM\\MountedDevices: access denied (run as "
                  "administrator)\n"
                  "Cannot read     HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR: no such key\n"))
        << denied;
    for (const std::string& key : {kUsbStor, kDriveIcons}) {  // MountedDevices readable
        const std::string text = Explain([&](FakeWindows& fake) {
            fake.CreateKey(kMounted);
            fake.CreateKey(key);
            fake.DenyAccess(key);
        });
        EXPECT_NE(std::string::npos, text.find("Cannot read     HKLM\\" + key +
                                               ": access denied (run as administrator)\n"))
            << text;
    }

    // A key name of 932's double-byte characters too long for the service's
    // buffer ends its walk of USBSTOR: named, and the report is not complete.
    FakeWindows longName;
    longName.SetCodePage(932);
    longName.CreateKey(kMounted);
    std::string wide = kUsbStor + "\\A";
    for (int i = 0; i < 200; ++i) wide += "\x95\x5C";
    longName.CreateKey(wide);
    // Every instance of a device is looked at, not only the first.
    longName.CreateKey(kUsbStor + "\\" + kKbSlot + "\\1&0");
    longName.CreateKey(kUsbStor + "\\" + kKbSlot + wide.substr(kUsbStor.size()));
    const Explanation walked = ExplainDrives(longName, ExplainOptions{});
    EXPECT_EQ(2u, walked.unreadableKeys.size());
    EXPECT_FALSE(walked.Complete());
    EXPECT_NE(std::string::npos, ExplanationText(walked).find("longer than the service's 260-byte "
                                                              "buffer: its walk stops there\n"));

    // On the machine itself the tool also says whether the service runs.
    FakeWindows fake;
    ExplainOptions options;
    options.askServiceState = true;
    auto serviceLine = [&] {
        const std::string out = ExplanationText(ExplainDrives(fake, options));
        const size_t at = out.find("\nService         ");
        return at == std::string::npos ? "(none)"
                                       : out.substr(at + 17, out.find('\n', at + 1) - at - 17);
    };
    EXPECT_EQ("not installed: no drive gets an icon (QarnIEx.exe -i installs it)", serviceLine());
    FakeWindows::ServiceRecord record;
    record.name = "QarnIEx";
    record.state = SERVICE_STOPPED;
    fake.AddService(record);
    EXPECT_EQ("not running (state 1): no drive gets an icon until it starts (net start QarnIEx)",
              serviceLine());
    record.state = SERVICE_RUNNING;
    fake.UpdateService(record);
    EXPECT_EQ("running; below is what its start does with the registry as it is now",
              serviceLine());
    // A service manager that cannot be asked is not taken for "not installed",
    // and the report is not complete.
    fake.CreateKey("SYSTEM\\MountedDevices");
    fake.CreateKey(kUsbStor);
    EXPECT_TRUE(ExplainDrives(fake, options).Complete());
    fake.SetScmOpenFails(ERROR_ACCESS_DENIED);
    EXPECT_EQ(
        "unknown: the service manager could not be asked: access denied (run as "
        "administrator)",
        serviceLine());
    EXPECT_FALSE(ExplainDrives(fake, options).Complete());
    // Nor is a service that cannot be opened for another reason.
    fake.SetScmOpenFails(0);
    struct ServiceDenied : FakeWindows {
        SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) override {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    } serviceDenied;
    const std::string deniedText = ExplanationText(ExplainDrives(serviceDenied, options));
    EXPECT_NE(std::string::npos, deniedText.find("Service         unknown: the service manager "
                                                 "could not be asked: access denied"));
    EXPECT_FALSE(ExplainDrives(serviceDenied, options).Complete());
    options.askServiceState = false;
    EXPECT_EQ("(none)", serviceLine());
    for (const char* folder : {"C:\\Qarn", "C:\\Qarn\\"}) {  // --service-dir, with or without '\\'
        options.serviceDirectory = folder;
        const std::string text = ExplanationText(ExplainDrives(fake, options));
        EXPECT_NE(std::string::npos, text.find("Service folder  C:\\Qarn\\ (as given)\n")) << text;
    }

    // The installed service's folder, however long its ImagePath; an icon path of
    // 260 characters or more is not written, as the service refuses it. Unknown,
    // the folder is named as what the icon write depends on.
    const struct {
        size_t exeLength;  // 0: no ImagePath, no path of the tool's own
        std::string atStart;
    } folders[] = {
        {255, "writes DefaultIcon = \"C:\\Program Files\\" + std::string(226, 'q') +
                  "\\QarnIcons.dll,3\""},
        {256, "does not write DefaultIcon \"C:\\Program Files\\" + std::string(227, 'q') +
                  "\\QarnIcons.dll,3\": longer than 259 characters"},
        {257, "does not write DefaultIcon \"C:\\Program Files\\" + std::string(228, 'q') +
                  "\\QarnIcons.dll,3\": longer than 259 characters"},
        {259, "does not write DefaultIcon \"C:\\Program Files\\" + std::string(230, 'q') +
                  "\\QarnIcons.dll,3\": longer than 259 characters"},
        {0,
         "writes DefaultIcon = \"<service folder>QarnIcons.dll,3\" only if that path has "
         "fewer than 260 characters: the service folder is unknown (--service-dir)"},
    };
    for (const auto& folder : folders) {
        const std::string text = Explain([&](FakeWindows& fake) {
            PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
            if (folder.exeLength == 0) return fake.SetModulePath("");
            const std::string exe =
                "C:\\Program Files\\" + std::string(folder.exeLength - 29, 'q') + "\\QarnIEx.exe";
            fake.SetString("SYSTEM\\CurrentControlSet\\Services\\QarnIEx", "ImagePath",
                           "\"" + exe + "\"");
        });
        EXPECT_NE(std::string::npos,
                  Block(text, 'E').find("\n                    " + folder.atStart + "\n"))
            << text;
    }
    // The program of an ImagePath with arguments or of an NT path; a variable
    // is the machine's to expand, so the folder is unknown.
    for (const auto& [image, folder] :
         {std::pair<std::string, std::string>{"C:\\Q\\QarnIEx.EXE -x \"y\\z\"", "C:\\Q\\ (from"},
          {"\\??\\C:\\Q\\QarnIEx.exe", "C:\\Q\\ (from"},
          {"%ProgramFiles%\\QarnIEx.exe", "(none) (unknown"}}) {
        const std::string text = Explain([&, image = image](FakeWindows& fake) {
            fake.SetModulePath("");
            fake.SetString("SYSTEM\\CurrentControlSet\\Services\\QarnIEx", "ImagePath", image);
        });
        EXPECT_NE(std::string::npos, text.find("Service folder  " + folder)) << text;
    }
}

// No text of the machine passes for the report's own words: every line starts
// with the tool's, and an escape in the text cannot be told for one.
TEST(ExplanationText, TextsOfTheMachineAreShownEscaped) {
    const struct {
        std::string text;
        UINT codePage;
        std::string shown;
    } rows[] = {
        {"a\nJ:  ICON\r\t\x1B[2J\x7F", 1252, "a\\nJ:  ICON\\x0D\\x09\\x1B[2J\\x7F"},
        {"say \"hi\"", 1252, "say \\x22hi\\x22"},
        {"Zubeh\xF6r \x80\x81\x8D\x8F\x90\x9D\xA0\xAD\xFF", 1252,
         "Zubeh\xF6r \x80\\x81\\x8D\\x8F\\x90\\x9D\\xA0\\xAD\xFF"},
        {"C:\\Qarn\\x86\\nvidia\\users\\u{41}\\xZ\\\\", 1252,
         "C:\\Qarn\\\\x86\\\\nvidia\\users\\\\u{41}\\xZ\\\\\\"},
        // 0x5C as a trail byte is no backslash; half-width katakana are
        // printable, the ideographic space, unassigned pairs and a lone or
        // ill-paired lead byte are not.
        {"\x83\x5C"
         "n\\n \xB1\xA0\xFD \x81\x40\x85\x40\x81 \x81",
         932,
         "\x83\x5C"
         "n\\\\n \xB1\\xA0\\xFD \\x81\\x40\\x85\\x40\\x81\\x20\\x81"},
        {"\xE9", 0, "\\xE9"},
        {"\xC3\xB6 \xE2\x80\xA8\xC2\x85\xEF\xBB\xBF \xF0\x9F\x98\x80 \xFF\xED\xA0\x80\xC3",
         kUtf8CodePage,
         "\xC3\xB6 \\u{2028}\\u{0085}\\u{FEFF} \xF0\x9F\x98\x80 \\xFF\\xED\\xA0\\x80\\xC3"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.shown, ShownText(row.text, row.codePage, true));
    EXPECT_EQ("\"a\"\\n", ShownText("\"a\"\n", 1252, false));  // a message's own quotes

    const std::string forged = "\nJ:  ICON     reader KA Slot Module (model row 5)\n";
    const std::string text = Explain([&](FakeWindows& fake) {
        PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
        fake.SetMountRecord('E', ParentIdRecord("7&e&0") + forged);
        WriteIconKeys(fake, 'K', "KD Media\r\nL:  ICON");
    });
    for (const char letter : {'J', 'L'}) EXPECT_EQ("(no block)", Headline(text, letter)) << text;
    EXPECT_NE(std::string::npos, Block(text, 'E').find("RM#" + kVolumeGuid +
                                                       "\\nJ:  ICON     reader KA Slot Module "
                                                       "(model row 5)\\n\n"))
        << text;
    EXPECT_NE(std::string::npos, Block(text, 'K').find("\"KD Media\\x0D\\nL:  ICON\""));
}

// Where the 64-bit shell reads another view than the one the service writes
// (64-bit NT 5.2 and 6.0 servers), a reader's drive shows nothing of it.
TEST(ExplanationText, KeysInAViewTheShellDoesNotRead) {
    const struct {
        DWORD major, minor;
        BYTE product;
        bool wow64;
        bool shortVersionRecord;
        const char* verdict;
    } platforms[] = {
        {5, 2, VER_NT_SERVER, true, false, "NOT SHOWN"},  // Server 2003 x64
        {6, 0, VER_NT_SERVER, true, false, "NOT SHOWN"},  // Server 2008 x64
        {6, 0, VER_NT_DOMAIN_CONTROLLER, true, false, "NOT SHOWN"},
        {6, 0, VER_NT_WORKSTATION, true, true, "NOT SHOWN"},  // product type unknown
        {6, 1, VER_NT_SERVER, true, false, "ICON"},           // Server 2008 R2: shared
        {5, 2, VER_NT_SERVER, false, false, "ICON"},          // Server 2003, 32-bit
        {5, 2, VER_NT_WORKSTATION, true, false, "LABEL"},     // XP x64: the 64-bit view
    };
    for (const auto& p : platforms) {
        SCOPED_TRACE(std::to_string(p.major) + "." + std::to_string(p.minor) + " product " +
                     std::to_string(p.product) + (p.wow64 ? " WOW64" : ""));
        FakeWindows fake;
        SetPlatform(fake, p.major, p.minor, p.wow64, p.product);
        fake.SetVersionFailures(p.shortVersionRecord, false);
        PlugParentIdDevice(fake, 'E', kKbSlot, "1&0", "7&e&0");
        const Explanation explanation = ExplainDrives(fake, ExplainOptions{});
        const std::string text = ExplanationText(explanation);
        const bool notShown = std::string(p.verdict) == "NOT SHOWN";
        EXPECT_EQ(notShown, explanation.AnyNotShown());
        EXPECT_EQ(
            notShown
                ? "NOT SHOWN reader LNK   QX-KB Slot (model row 1), label \"KB Media\": "
                  "its keys go to the 32-bit view, the shell reads the 64-bit view"
                : (std::string(p.verdict) + "     ").substr(0, 9) +
                      "reader LNK   QX-KB Slot (model row 1), label \"KB Media\"" +
                      (p.verdict[0] == 'L' ? ", no DefaultIcon: the shell shows its own icon" : ""),
            Headline(text, 'E'));
        EXPECT_EQ(notShown, text.find("\nShell view      64-bit: the shell reads DriveIcons in the "
                                      "64-bit view only") != std::string::npos);
        EXPECT_EQ(notShown,
                  Block(text, 'E').find("    shell           64-bit: reads DriveIcons\\E in the "
                                        "64-bit view, a key of its own on this Windows") !=
                      std::string::npos)
            << text;
    }
    // A letter without a reader is no concern of the shell's view.
    FakeWindows fake;
    SetPlatform(fake, 5, 2, true, VER_NT_SERVER);
    PlugParentIdDevice(fake, 'E', kStick, "1&0", "7&e&0");
    EXPECT_FALSE(ExplainDrives(fake, ExplainOptions{}).AnyNotShown());

    // A folder given under 932 that ends in a trail byte 0x5C still gets its '\'.
    fake.SetCodePage(932);
    ExplainOptions options;
    options.serviceDirectory = "C:\\\x83\x5C";
    EXPECT_EQ("C:\\\x83\x5C\\", ExplainDrives(fake, options).serviceDirectory);
}

// A folder typed with '/', doubled separators or as UNC is taken as Windows
// takes it; what Windows would not take is refused, with why.
TEST(ExplanationText, TypedFoldersAreTakenAsWindowsTakesThem) {
    const struct {
        const char* typed;
        const char* folder;  // or the start of the complaint
    } rows[] = {
        {"C:/Program Files/Qarn/", "C:\\Program Files\\Qarn\\"},
        {"c:\\Qarn\\\\x86\\", "c:\\Qarn\\x86\\"},
        {"\\\\server\\share\\Qarn", "\\\\server\\share\\Qarn\\"},
        {"//server/share/Qarn", "\\\\server\\share\\Qarn\\"},
        {"C:\\", "C:\\"},
        {"C:\\Qarn ", "\"Qarn \" ends in a blank"},
        {"C:\\Qarn.\\x", "\"Qarn.\" ends in a period"},
        {"C:\\a\\..\\b", "\"..\" in the path"},
        {"Qarn", "not a full path"},
        {"\\Qarn", "not a full path"},
        {"C:Qarn", "a folder relative to the current folder of drive C:"},
        {"\\\\server", "a UNC folder needs a server and a share"},
        {"\\\\?\\C:\\Qarn", "a device or long-path name"},
        {"C:\\Qa\trn", "U+0009 cannot be part of a Windows folder name"},
        {"C:\\Qarn|x", "U+007C \"|\" cannot be part"},
        {"C:\\Qarn\\nul .txt", "\"nul .txt\" is the name of a device"},
        {"\\\\con\\share", "\\\\con\\share\\"},
    };
    FakeWindows fake;
    for (const auto& row : rows) {
        std::string folder;
        const std::string complaint = TakeWindowsFolder(fake, row.typed, folder);
        EXPECT_EQ(row.folder,
                  complaint.empty() ? folder : complaint.substr(0, std::strlen(row.folder)))
            << row.typed << ": " << complaint;
    }
    // Under 932 a trail byte 0x5C is part of its character, not a separator.
    fake.SetCodePage(932);
    std::string folder;
    EXPECT_EQ("", TakeWindowsFolder(fake, "C:\\\x83\x5C", folder));
    EXPECT_EQ("C:\\\x83\x5C\\", folder);

    // Paths come out as the service writes them; what no path holds, '<'
    // among it, as <xNN>, so that nothing in a path passes for an escape.
    EXPECT_EQ("\\\\server\\share\\x86\\nvidia\\u{41}",
              ShownPath("\\\\server\\share\\x86\\nvidia\\u{41}", 1252));
    EXPECT_EQ("a<x3C>b<x0A>", ShownPath("a<b\n", 1252));
    EXPECT_EQ("<xA0><x22>|<x7C>",
              ShownPath("\xA0\"|", 1252).substr(0, 10) + "|" + ShownPath("|", 1252));
    EXPECT_EQ("\x83\x5C", ShownPath("\x83\x5C", 932));

    // The service's folder from its ImagePath, and the icon path it writes.
    for (const auto& [image, shown] :
         {std::pair<std::string, std::string>{"\"\\\\server\\share\\Qarn\\QarnIEx.exe\"",
                                              "\\\\server\\share\\Qarn\\"},
          {"C:/Program Files/Qarn/QarnIEx.exe", "C:\\Program Files\\Qarn\\"}}) {
        const std::string text = Explain([&, image = image](FakeWindows& machine) {
            PlugParentIdDevice(machine, 'E', kKbSlot, "1&0", "7&e&0");
            machine.SetString(ServiceKeyPath(), "ImagePath", image);
        });
        EXPECT_NE(std::string::npos, text.find("Service folder  " + shown + " (from")) << text;
        EXPECT_NE(std::string::npos,
                  text.find("writes DefaultIcon = \"" + shown + "QarnIcons.dll,3\""))
            << text;
    }
    const std::string refused = Explain([](FakeWindows& machine) {
        machine.SetString(ServiceKeyPath(), "ImagePath", "C:\\Qarn \\QarnIEx.exe");
    });
    EXPECT_NE(std::string::npos,
              refused.find("Service folder  (none) (unknown: the installed service's ImagePath "
                           "names a folder Windows does not take: \"Qarn \" ends in a blank"))
        << refused;
}

// The reason word a fleet counts by, for the steps of the scan.
TEST(ExplanationText, ReasonWordsOfTheSteps) {
    const struct {
        const char* scenario;
        char letter;
        const char* verdict;
        const char* reason;
    } rows[] = {
        {"parent-id recognition", 'E', "ICON", "reader"},
        {"parent-id recognition", 'F', "NO ICON", "not-a-reader"},
        {"parent-id recognition", 'G', "NO ICON", "not-removable-media"},
        {"parent-id recognition", 'I', "NO ICON", "no-mount-record"},
        {"letters examined and skipped", 'E', "NO ICON", "not-removable"},
        {"instance-path recognition", 'G', "NO ICON", "no-instance-key"},
        {"instance-path recognition", 'H', "NO ICON", "not-usb-storage"},
        {"instance-path recognition", 'J', "NO ICON", "not-a-reader"},
        {"instance-path recognition", 'K', "NO ICON", "no-device-key"},
        {"mount records that fill the buffer and one character more", 'F', "NO ICON",
         "record-too-long"},
        {"23 marked letters and 22 readers for 20 slots", 'Z', "NO ICON", "slots-taken"},
        {"restore and purge of old keys", 'H', "NO ICON", "held-by-others"},
        {"XP x64: parent-id scan under WOW64, old keys in the 64-bit view", 'E', "LABEL",
         "no-icon-under-wow64"},
        {"service folder too long for the icon path", 'E', "LABEL", "icon-path-too-long"},
        {"Server 2003 x64: WOW64 process in the 32-bit view", 'E', "NOT SHOWN", "other-view"},
    };
    for (const auto& row : rows) {
        FakeWindows fake;
        fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
        FindScenario(row.scenario).build(fake);
        const Explanation e = ExplainDrives(fake, ExplainOptions{});
        const LetterVerdict verdict = JudgeLetter(e, e.Letter(row.letter));
        EXPECT_EQ(std::string(row.verdict) + " " + row.reason,
                  std::string(verdict.verdict) + " " + verdict.reason)
            << row.scenario << " " << row.letter;
    }
}
