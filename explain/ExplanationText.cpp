// The explanation as text for an administrator or a support engineer.
#include <algorithm>
#include <string>
#include <vector>

#include "Version.h"
#include "driveicons/ReaderModels.h"
#include "explain/DriveExplainer.h"
#include "platform/Utf16.h"

namespace {

const char kIndent[] = "    ";
const size_t kFieldWidth = 16;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The double-byte characters of code page 932 that are printable (letters,
// marks, digits, punctuation and symbols; not U+3000, the ideographic space,
// nor the user-defined ones at 0xF040 to 0xF9FC), as ranges of lead byte * 256
// + trail byte: Windows' table as Python's cp932 codec has it, kept where
// str.isprintable() holds.
const unsigned short kPrintable932[][2] = {
    {0x8141, 0x817E}, {0x8180, 0x81AC}, {0x81B8, 0x81BF}, {0x81C8, 0x81CE}, {0x81DA, 0x81E8},
    {0x81F0, 0x81F7}, {0x81FC, 0x81FC}, {0x824F, 0x8258}, {0x8260, 0x8279}, {0x8281, 0x829A},
    {0x829F, 0x82F1}, {0x8340, 0x837E}, {0x8380, 0x8396}, {0x839F, 0x83B6}, {0x83BF, 0x83D6},
    {0x8440, 0x8460}, {0x8470, 0x847E}, {0x8480, 0x8491}, {0x849F, 0x84BE}, {0x8740, 0x875D},
    {0x875F, 0x8775}, {0x877E, 0x877E}, {0x8780, 0x879C}, {0x889F, 0x88FC}, {0x8940, 0x897E},
    {0x8980, 0x89FC}, {0x8A40, 0x8A7E}, {0x8A80, 0x8AFC}, {0x8B40, 0x8B7E}, {0x8B80, 0x8BFC},
    {0x8C40, 0x8C7E}, {0x8C80, 0x8CFC}, {0x8D40, 0x8D7E}, {0x8D80, 0x8DFC}, {0x8E40, 0x8E7E},
    {0x8E80, 0x8EFC}, {0x8F40, 0x8F7E}, {0x8F80, 0x8FFC}, {0x9040, 0x907E}, {0x9080, 0x90FC},
    {0x9140, 0x917E}, {0x9180, 0x91FC}, {0x9240, 0x927E}, {0x9280, 0x92FC}, {0x9340, 0x937E},
    {0x9380, 0x93FC}, {0x9440, 0x947E}, {0x9480, 0x94FC}, {0x9540, 0x957E}, {0x9580, 0x95FC},
    {0x9640, 0x967E}, {0x9680, 0x96FC}, {0x9740, 0x977E}, {0x9780, 0x97FC}, {0x9840, 0x9872},
    {0x989F, 0x98FC}, {0x9940, 0x997E}, {0x9980, 0x99FC}, {0x9A40, 0x9A7E}, {0x9A80, 0x9AFC},
    {0x9B40, 0x9B7E}, {0x9B80, 0x9BFC}, {0x9C40, 0x9C7E}, {0x9C80, 0x9CFC}, {0x9D40, 0x9D7E},
    {0x9D80, 0x9DFC}, {0x9E40, 0x9E7E}, {0x9E80, 0x9EFC}, {0x9F40, 0x9F7E}, {0x9F80, 0x9FFC},
    {0xE040, 0xE07E}, {0xE080, 0xE0FC}, {0xE140, 0xE17E}, {0xE180, 0xE1FC}, {0xE240, 0xE27E},
    {0xE280, 0xE2FC}, {0xE340, 0xE37E}, {0xE380, 0xE3FC}, {0xE440, 0xE47E}, {0xE480, 0xE4FC},
    {0xE540, 0xE57E}, {0xE580, 0xE5FC}, {0xE640, 0xE67E}, {0xE680, 0xE6FC}, {0xE740, 0xE77E},
    {0xE780, 0xE7FC}, {0xE840, 0xE87E}, {0xE880, 0xE8FC}, {0xE940, 0xE97E}, {0xE980, 0xE9FC},
    {0xEA40, 0xEA7E}, {0xEA80, 0xEAA4}, {0xED40, 0xED7E}, {0xED80, 0xEDFC}, {0xEE40, 0xEE7E},
    {0xEE80, 0xEEEC}, {0xEEEF, 0xEEFC}, {0xFA40, 0xFA7E}, {0xFA80, 0xFAFC}, {0xFB40, 0xFB7E},
    {0xFB80, 0xFBFC}, {0xFC40, 0xFC4B},
};

// Not printable beyond ASCII, by Unicode: the C1 controls, the spaces but
// ' ', the format characters and separators of U+2000 to U+206F, private use,
// the specials and noncharacters, tags. A superset of what is not printable
// in 1252 and 932.
bool PrintableBeyondAscii(char32_t c) {
    return c > 0xA0 && c != 0xAD && c != 0x061C && c != 0x180E && c != 0x3000 && c != 0xFEFF &&
           !(c >= 0x2000 && c <= 0x200F) && !(c >= 0x2028 && c <= 0x202F) &&
           !(c >= 0x205F && c <= 0x206F) && !(c >= 0xE000 && c <= 0xF8FF) &&
           !(c >= 0xFFF0 && c <= 0xFFFB) && (c & 0xFFFE) != 0xFFFE && c < 0xE0000;
}

// Bytes of the character at `pos` (a double-byte one as the service steps
// over it: a lead byte and any byte but NUL; in UTF-8 a well-formed sequence,
// else the byte alone) and whether it is printable.
size_t CharAt(const std::string& text, size_t pos, UINT codePage, bool& printable) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    printable = c >= 0x20 && c < 0x7F;
    if (c < 0x80) return 1;
    if (codePage == kUtf8CodePage) {
        char32_t code = 0;
        const size_t length = DecodeUtf8At(text, pos, code);
        printable = length > 0 && PrintableBeyondAscii(code);
        return length > 0 ? length : 1;
    }
    if (codePage == 1252) {
        // The five bytes 1252 leaves out, the no-break space and the soft hyphen.
        printable =
            c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D && c != 0xA0 && c != 0xAD;
        return 1;
    }
    if (codePage != 932) return 1;
    printable = c >= 0xA1 && c <= 0xDF;  // half-width katakana
    const bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (!lead || pos + 1 == text.size() || text[pos + 1] == '\0') return 1;
    const unsigned code = c * 256u + static_cast<unsigned char>(text[pos + 1]);
    for (const auto& range : kPrintable932)
        printable = printable || (code >= range[0] && code <= range[1]);
    return 2;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether a backslash before `at` could be read as an escape's.
bool LooksEscaped(const std::string& text, size_t at) {
    if (at >= text.size()) return false;
    const char c = text[at];
    if (c == '\\' || c == 'n') return true;
    if (c == 'u') return at + 1 < text.size() && text[at + 1] == '{';
    return c == 'x' && at + 2 < text.size() && IsHexDigit(text[at + 1]) && IsHexDigit(text[at + 2]);
}

// One "    name            text" line; further lines of the text line up under it.
void Field(std::string& out, const std::string& name, const std::string& text) {
    std::string line = kIndent + name;
    line.resize(sizeof kIndent - 1 + kFieldWidth, ' ');
    const std::string continuation(line.size(), ' ');
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        out += (start == 0 ? line : continuation) + text.substr(start, end - start) + "\n";
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// A text of the machine, entering the report.
std::string Shown(const Explanation& e, const std::string& text) {
    return ShownText(text, e.codePage, true);
}

std::string DriveTypeName(UINT type) {
    switch (type) {
    case DRIVE_REMOVABLE: return "removable drive";
    case DRIVE_FIXED: return "fixed disk";
    case DRIVE_REMOTE: return "network drive";
    case DRIVE_CDROM: return "CD/DVD drive";
    case DRIVE_RAMDISK: return "RAM disk";
    case DRIVE_NO_ROOT_DIR: return "no drive";
    default: return "drive of unknown type";
    }
}

std::string ModelName(int row) {
    std::string name = ReaderModelTable[row].DisplayName;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

// Where the service folder is unknown, the icon path the service writes begins with it.
const char kUnknownFolder[] = "<service folder>";

// Row, label and the icon path the scan writes (or the bare reference when
// it writes none; the lines "at start" say why).
std::string ModelText(const Explanation& e, const LetterExplanation& l) {
    const ReaderModel& model = ReaderModelTable[l.modelRow];
    std::string icon = std::string(model.IconRef) + " (no DefaultIcon written)";
    for (const ValueWrite& write : l.writes) {
        if (write.subkey == "DefaultIcon" && write.accepted)
            icon = Shown(e, e.serviceDirectoryKnown ? write.text : kUnknownFolder + write.text);
    }
    return "row " + std::to_string(l.modelRow) + ", " + ModelName(l.modelRow) + ": label " +
           Quoted(model.Label) + ", icon " + icon;
}

// The string types, which the ANSI functions return converted to the code page.
const char* StringTypeName(DWORD type) {
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return nullptr;
    }
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string ErrorText(LONG error) {
    if (error == ERROR_MORE_DATA)
        return "a key name longer than the service's 260-byte buffer: its walk stops there";
    return error == ERROR_ACCESS_DENIED ? std::string("access denied (run as administrator)")
                                        : "error " + std::to_string(error);
}

std::string HeaderText(const Explanation& e) {
    std::string out =
        "QarnIExplain " QX_VERSION_SHORT
        ": why a drive has, or has not, a card reader icon.\n"
        "The service's own start-up runs against a read-only registry: nothing is written or "
        "deleted.\n\n";
    auto field = [&](const std::string& name, const std::string& text) {
        std::string line = name;
        line.resize(kFieldWidth, ' ');
        out += line + text + "\n";
    };
    const OSVERSIONINFOEXA& v = e.version;
    if (!e.versionRead) {
        field("Windows", "unknown (the version query failed)");
    } else if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        field("Windows",
              "not of the NT family (platform id " + std::to_string(v.dwPlatformId) + ")");
    } else {
        std::string product = "product type unknown (only the short version record was filled)";
        if (e.extendedVersion) {
            product = v.wProductType == VER_NT_WORKSTATION ? "workstation"
                      : v.wProductType == VER_NT_SERVER    ? "server"
                      : v.wProductType == VER_NT_DOMAIN_CONTROLLER
                          ? "domain controller"
                          : "product type " + std::to_string(v.wProductType);
        }
        field("Windows", "NT " + std::to_string(v.dwMajorVersion) + "." +
                             std::to_string(v.dwMinorVersion) + " build " +
                             std::to_string(v.dwBuildNumber) + ", " + product);
    }
    field("Process",
          e.wow64Process ? "32-bit under WOW64 (64-bit Windows)" : "32-bit, not under WOW64");
    field("Platform row", std::string("IsVistaWorkstation ") + (e.isVistaWorkstation ? "1" : "0") +
                              ", IsWow64 " + (e.isWow64 ? "1" : "0"));
    field("Scan variant",
          e.isVistaWorkstation
              ? "instance-path: the mount record holds the USB storage device path;\n"
                "                its device and instance key must exist under USBSTOR"
              : "parent-id: the mount record names a removable-media volume; its parent id\n"
                "                must be the ParentIdPrefix of an instance of a reader's device "
                "key");
    field("Registry view", e.isWow64        ? "64-bit (KEY_WOW64_64KEY)"
                           : e.wow64Process ? "32-bit (the process's own view)"
                                            : "the process's own");
    if (e.shellReadsOtherView) {
        field("Shell view",
              "64-bit: the shell reads DriveIcons in the 64-bit view only, and before Windows 7 "
              "and\n                Server 2008 R2 that is not the 32-bit view's DriveIcons, "
              "where the service writes");
    }
    if (e.driveTypesInferred) {
        field("Drive types",
              "inferred from the mount records, which the files hold; the files do "
              "not tell them\n                (--removable LETTERS names the "
              "removable drives)");
    }
    field("Service folder",
          (e.serviceDirectory.empty() ? std::string("(none)") : Shown(e, e.serviceDirectory)) +
              " (" + e.serviceDirectorySource + ")");
    if (e.serviceState == 0) {
        field("Service", "not installed: no drive gets an icon (QarnIEx.exe -i installs it)");
    } else if (e.serviceState == SERVICE_RUNNING) {
        field("Service", "running; below is what its start does with the registry as it is now");
    } else if (e.serviceState > 0) {
        field("Service", "not running (state " + std::to_string(e.serviceState) +
                             "): no drive gets an icon until it starts (net start QarnIEx)");
    } else if (e.serviceState == -2) {
        field("Service",
              "unknown: the service manager could not be asked: " + ErrorText(e.serviceError));
    }
    for (const auto& [path, error] : e.unreadableKeys) {
        field("Cannot read",
              "HKLM\\" + Shown(e, path) + ": " +
                  (error == ERROR_FILE_NOT_FOUND ? std::string("no such key") : ErrorText(error)));
    }
    return out;
}

// Why the scan gave the letter no icon: the step at which it stopped.
std::string WhyNot(const Explanation& e, const LetterExplanation& l) {
    if (l.driveType != DRIVE_REMOVABLE) {
        return "not a removable drive (" + DriveTypeName(l.driveType) +
               "); the service looks at removable drives only";
    }
    if (!l.examined) return "not examined by the scan";
    if (l.recordTooLong) {
        return "the mount record " + MountValueName(l.letter) + " is " +
               std::to_string(*l.recordTooLong) + " bytes long; the service reads at most " +
               std::to_string(MountRecordSize);
    }
    if (!l.recordRead) {
        return "no mount record " + MountValueName(l.letter) + " under HKLM\\" + MountedDevicesPath;
    }
    if (!l.markerFound && l.recordType && StringTypeName(*l.recordType)) {
        return "the mount record " + MountValueName(l.letter) + " is a " +
               StringTypeName(*l.recordType) +
               " value, not REG_BINARY: the service's ANSI query returns it as text of the code "
               "page, not as the mount manager's record";
    }
    if (l.mountText.empty()) return "the mount record has no text";
    if (!l.markerFound) {
        return e.isVistaWorkstation
                   ? "the mount record holds no \"USBSTOR\": not the USB storage device path "
                     "a reader's drive has"
                   : "the mount record holds no \"RemovableMedia\": not the removable-media "
                     "volume a reader's drive has";
    }
    if (l.matched) return "a reader's drive, but all 20 slots are taken: no keys are written";
    if (e.isVistaWorkstation) {
        if (l.devices.empty()) {
            return "no device key under USBSTOR is named " + Shown(e, l.volume.DeviceKeyName);
        }
        const DeviceSeen& device = l.devices.front();
        const std::string name = Shown(e, device.name);
        if (device.modelRow < 0) return "device key " + name + " holds no reader model's text";
        if (device.instances.empty()) return "device key " + name + " has no instance keys";
        return "device key " + name + " has no instance key " + Shown(e, l.volume.InstanceKeyName);
    }
    if (l.devices.empty()) return "no device keys under USBSTOR (or USBSTOR cannot be read)";
    bool reader = false;
    bool instances = false;
    for (const DeviceSeen& device : l.devices) {
        reader = reader || device.modelRow >= 0;
        instances = instances || !device.instances.empty();
    }
    if (!reader) return "no device key under USBSTOR holds a reader model's text";
    if (!instances) return "the readers' device keys under USBSTOR have no instance keys";
    // Had it been a reader's, the scan would have found it.
    if (!l.ownerDevice.empty()) {
        return "the drive is " + Shown(e, l.ownerDevice) + " (instance " +
               Shown(e, l.ownerInstance) + "), which is no supported reader";
    }
    return "no instance of a reader's device key has ParentIdPrefix " + Shown(e, l.volume.ParentId);
}

std::string DevicesText(const Explanation& e, const LetterExplanation& l) {
    std::string text;
    for (const DeviceSeen& device : l.devices) {
        if (!text.empty()) text += "\n";
        if (device.modelRow < 0) {
            text += Shown(e, device.name) + ": no reader model's text";
            continue;
        }
        text += Shown(e, device.name) + ": reader " + ModelName(device.modelRow) + " (row " +
                std::to_string(device.modelRow) + ")";
        if (device.instances.empty()) text += ", no instance keys";
        for (const InstanceSeen& instance : device.instances) {
            text += "\n  instance " + Shown(e, instance.name);
            if (instance.parentIdPrefix) {
                text += ": ParentIdPrefix " + Shown(e, *instance.parentIdPrefix);
            } else if (instance.parentIdPrefixTooLong) {
                text += ": ParentIdPrefix too long for the service's read";
            } else if (!l.volume.ParentId.empty() || l.volume.DeviceKeyName.empty()) {
                text += ": no readable ParentIdPrefix";
            }
        }
    }
    return text;
}

std::string IconKeysText(const Explanation& e, const IconKeysNow& now) {
    if (!now.exists) return "no key";
    auto part = [&](const char* name, const std::optional<std::string>& value) {
        if (value) return std::string(name) + " " + Quoted(Shown(e, *value));
        return Has(now.tooLong, name) ? std::string(name) + " too long for the service's read"
                                      : std::string("no ") + name;
    };
    return part("QarnHMD", now.marker) + ", " + part("DefaultLabel", now.label) + ", " +
           part("DefaultIcon", now.icon);
}

std::string WriteName(const ValueWrite& write) {
    if (!write.subkey.empty())
        return write.valueName.empty() ? write.subkey : write.subkey + "\\" + write.valueName;
    return write.valueName.empty() ? "the letter key's default value" : write.valueName;
}

// What the service's start does to the letter's keys: the clean-up of marked
// keys first, then the writes of the scan.
std::string AtStartText(const Explanation& e, const LetterExplanation& l) {
    std::string text;
    auto line = [&](const std::string& more) { text += (text.empty() ? "" : "\n") + more; };
    const std::string labelUnread = Has(l.now.tooLong, "DefaultLabel")
                                        ? "DefaultLabel is too long for the service's read"
                                        : "DefaultLabel cannot be read";
    if (l.deleted) {
        line(!l.deleteFunctionFound
                 ? "would delete the keys, but RegDeleteKeyExA is missing: they stay"
             : l.markedLabel
                 ? "deletes the keys: they carry the service's marker and the label of row " +
                       std::to_string(l.markedRow)
                 : "deletes the keys: they carry the service's marker, whose text is the label "
                   "of row " +
                       std::to_string(l.markedRow) + " (" + labelUnread + ")");
    } else if (l.marked) {
        line(l.markedLabel ? "leaves the keys: marked, but " + Quoted(Shown(e, *l.markedLabel)) +
                                 " is no reader model's label"
                           : "leaves the keys: marked, but " + labelUnread + " and the marker " +
                                 Quoted(Shown(e, l.marker)) + " is no reader model's label");
    } else if (Has(l.now.tooLong, DriveIconMarker)) {
        line(
            "leaves the keys: QarnHMD too long for the service's read, so it does not take them "
            "for its own");
    } else if (l.now.exists) {
        line("leaves the keys: no QarnHMD marker, so they are not the service's");
    }
    bool iconWritten = false;
    for (const ValueWrite& write : l.writes) {
        const bool icon = write.subkey == "DefaultIcon";
        iconWritten = iconWritten || icon;
        if (icon && !e.serviceDirectoryKnown) {
            line("writes DefaultIcon = " + Quoted(Shown(e, kUnknownFolder + write.text)) +
                 " only if that path has fewer than 260 characters: the service folder is "
                 "unknown (--service-dir)");
        } else {
            const std::string text = Quoted(Shown(e, write.text));
            line(write.accepted ? "writes " + WriteName(write) + " = " + text
                                : "does not write " + WriteName(write) + " " + text +
                                      ": longer than 259 characters");
        }
    }
    if (l.GetsIcon() && !iconWritten && !e.isVistaWorkstation && e.isWow64) {
        line("writes no DefaultIcon: the parent-id scan leaves it out under WOW64");
    }
    if (text.empty()) line("nothing");
    return text;
}

// The service writes the label but no DefaultIcon (under WOW64 on XP x64, or
// a path too long): the shell shows its own icon.
bool LabelOnly(const LetterExplanation& l) {
    for (const ValueWrite& write : l.writes) {
        if (write.subkey == "DefaultIcon" && write.accepted) return false;
    }
    return true;
}

std::string LetterText(const Explanation& e, const LetterExplanation& l) {
    std::string out;
    std::string headline = std::string(1, l.letter) + ":  ";
    if (l.GetsIcon()) {
        const bool labelOnly = !e.NotShown(l) && LabelOnly(l);
        headline += std::string(e.NotShown(l) ? "NOT SHOWN "
                                : labelOnly   ? "LABEL    "
                                              : "ICON     ") +
                    "reader " + ModelName(l.modelRow) + " (model row " +
                    std::to_string(l.modelRow) + "), label " +
                    Quoted(ReaderModelTable[l.modelRow].Label);
        if (e.NotShown(l))
            headline += ": its keys go to the 32-bit view, the shell reads the 64-bit view";
        if (labelOnly) headline += ", no DefaultIcon: the shell shows its own icon";
    } else {
        headline += "NO ICON  " + WhyNot(e, l);
    }
    out += headline + "\n";
    Field(out, "drive type", DriveTypeName(l.driveType));
    if (l.driveType == DRIVE_REMOVABLE) {
        Field(out, "scan variant", e.isVistaWorkstation ? "instance-path" : "parent-id");
    }
    if (l.recordRead && !l.mountText.empty()) Field(out, "mount record", Shown(e, l.mountText));
    if (l.markerFound) {
        if (e.isVistaWorkstation) {
            Field(out, "device key", Shown(e, l.volume.DeviceKeyName) + " (from the record)");
            Field(out, "instance key", Shown(e, l.volume.InstanceKeyName) + " (from the record)");
        } else {
            Field(out, "parent id", Shown(e, l.volume.ParentId));
        }
    }
    if (l.matched) {
        if (!e.isVistaWorkstation) {
            std::string instance = Shown(e, l.matchedInstance);
            for (const DeviceSeen& device : l.devices) {
                for (const InstanceSeen& seen : device.instances) {
                    if (seen.match && seen.parentIdPrefix) {
                        instance = Shown(e, seen.name) + " (ParentIdPrefix " +
                                   Shown(e, *seen.parentIdPrefix) + ")";
                    }
                }
            }
            Field(out, "device key", Shown(e, l.matchedDevice));
            Field(out, "instance key", instance);
        } else {
            Field(out, "found",
                  "device key " + Shown(e, l.matchedDevice) + ", instance key " +
                      Shown(e, l.matchedInstance));
        }
    }
    if (l.GetsIcon()) {
        Field(out, "model", ModelText(e, l));
    } else if (l.markerFound && !l.devices.empty()) {
        Field(out, "device keys", DevicesText(e, l));
    }
    Field(out, "DriveIcons now", IconKeysText(e, l.now));
    Field(out, "at start", AtStartText(e, l));
    if (e.NotShown(l)) {
        Field(out, "shell",
              std::string("64-bit: reads DriveIcons\\") + l.letter +
                  " in the 64-bit view, a key of its own on this Windows: the drive shows the "
                  "shell's own label and icon");
    }
    return out;
}

}  // namespace

std::string ExplanationText(const Explanation& explanation) {
    std::string out = HeaderText(explanation);
    bool any = false;
    for (const LetterExplanation& letter : explanation.letters) {
        if (letter.driveType != DRIVE_REMOVABLE && !letter.now.exists) continue;
        out += "\n" + LetterText(explanation, letter);
        any = true;
    }
    if (!any) out += "\nNo letter from D: to Z: is removable or has a key under DriveIcons.\n";
    int refused = 0;
    for (const auto& entry : explanation.refused) refused += entry.second;
    out += "\nNothing was changed: " + std::to_string(refused) +
           " registry calls that would have written or deleted were refused.\n";
    return out;
}

std::string ShownText(const std::string& text, UINT codePage, bool quotes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        bool printable = false;
        const size_t length = CharAt(text, pos, codePage, printable);
        char32_t code = 0;
        if (quotes && text[pos] == '"') {
            out += "\\x22";
        } else if (!printable && length > 1 && codePage == kUtf8CodePage &&
                   DecodeUtf8At(text, pos, code) == length) {
            out += "\\u{";
            for (int shift = code > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4)
                out += kHex[(code >> shift) & 0xF];
            out += '}';
        } else if (printable) {
            if (text[pos] == '\\' && LooksEscaped(text, pos + 1)) out += '\\';
            out.append(text, pos, length);
        } else {
            for (size_t i = pos; i < pos + length; ++i) {
                const unsigned char c = static_cast<unsigned char>(text[i]);
                if (c == '\n') {
                    out += "\\n";
                } else {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                }
            }
        }
        pos += length;
    }
    return out;
}
