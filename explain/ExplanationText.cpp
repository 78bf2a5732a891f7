// The explanation as text for an administrator or a support engineer.
#include <algorithm>
#include <string>
#include <vector>

#include "Version.h"
#include "driveicons/ReaderModels.h"
#include "explain/DriveExplainer.h"

namespace {

const char kIndent[] = "    ";
const size_t kFieldWidth = 16;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

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
            icon = e.serviceDirectoryKnown ? write.text : kUnknownFolder + write.text;
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
    if (e.driveTypesInferred) {
        field("Drive types",
              "inferred from the mount records, which the files hold; the files do "
              "not tell them\n                (--removable LETTERS names the "
              "removable drives)");
    }
    field("Service folder",
          (e.serviceDirectory.empty() ? std::string("(none)") : e.serviceDirectory) + " (" +
              e.serviceDirectorySource + ")");
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
              "HKLM\\" + path + ": " +
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
            return "no device key under USBSTOR is named " + l.volume.DeviceKeyName;
        }
        const DeviceSeen& device = l.devices.front();
        if (device.modelRow < 0)
            return "device key " + device.name + " holds no reader model's text";
        if (device.instances.empty()) return "device key " + device.name + " has no instance keys";
        return "device key " + device.name + " has no instance key " + l.volume.InstanceKeyName;
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
        return "the drive is " + l.ownerDevice + " (instance " + l.ownerInstance +
               "), which is no supported reader";
    }
    return "no instance of a reader's device key has ParentIdPrefix " + l.volume.ParentId;
}

std::string DevicesText(const LetterExplanation& l) {
    std::string text;
    for (const DeviceSeen& device : l.devices) {
        if (!text.empty()) text += "\n";
        if (device.modelRow < 0) {
            text += device.name + ": no reader model's text";
            continue;
        }
        text += device.name + ": reader " + ModelName(device.modelRow) + " (row " +
                std::to_string(device.modelRow) + ")";
        if (device.instances.empty()) text += ", no instance keys";
        for (const InstanceSeen& instance : device.instances) {
            text += "\n  instance " + instance.name;
            if (instance.parentIdPrefix) {
                text += ": ParentIdPrefix " + *instance.parentIdPrefix;
            } else if (instance.parentIdPrefixTooLong) {
                text += ": ParentIdPrefix too long for the service's read";
            } else if (!l.volume.ParentId.empty() || l.volume.DeviceKeyName.empty()) {
                text += ": no readable ParentIdPrefix";
            }
        }
    }
    return text;
}

std::string IconKeysText(const IconKeysNow& now) {
    if (!now.exists) return "no key";
    auto part = [&](const char* name, const std::optional<std::string>& value) {
        if (value) return std::string(name) + " " + Quoted(*value);
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
    if (l.deleted) {
        line(l.deleteFunctionFound
                 ? "deletes the keys: they carry the service's marker and the label of row " +
                       std::to_string(l.markedRow)
                 : "would delete the keys, but RegDeleteKeyExA is missing: they stay");
    } else if (l.marked) {
        line(l.markedLabel ? "leaves the keys: marked, but " + Quoted(*l.markedLabel) +
                                 " is no reader model's label"
             : Has(l.now.tooLong, "DefaultLabel")
                 ? "leaves the keys: marked, but DefaultLabel is too long for the service's read"
                 : "leaves the keys: marked, but DefaultLabel cannot be read");
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
            line("writes DefaultIcon = " + Quoted(kUnknownFolder + write.text) +
                 " only if that path has fewer than 260 characters: the service folder is "
                 "unknown (--service-dir)");
        } else {
            line(write.accepted ? "writes " + WriteName(write) + " = " + Quoted(write.text)
                                : "does not write " + WriteName(write) + " " + Quoted(write.text) +
                                      ": longer than 259 characters");
        }
    }
    if (l.GetsIcon() && !iconWritten && !e.isVistaWorkstation && e.isWow64) {
        line("writes no DefaultIcon: the parent-id scan leaves it out under WOW64");
    }
    if (text.empty()) line("nothing");
    return text;
}

std::string LetterText(const Explanation& e, const LetterExplanation& l) {
    std::string out;
    std::string headline = std::string(1, l.letter) + ":  ";
    if (l.GetsIcon()) {
        headline += "ICON     reader " + ModelName(l.modelRow) + " (model row " +
                    std::to_string(l.modelRow) + "), label " +
                    Quoted(ReaderModelTable[l.modelRow].Label);
    } else {
        headline += "NO ICON  " + WhyNot(e, l);
    }
    out += headline + "\n";
    Field(out, "drive type", DriveTypeName(l.driveType));
    if (l.driveType == DRIVE_REMOVABLE) {
        Field(out, "scan variant", e.isVistaWorkstation ? "instance-path" : "parent-id");
    }
    if (l.recordRead && !l.mountText.empty()) Field(out, "mount record", l.mountText);
    if (l.markerFound) {
        if (e.isVistaWorkstation) {
            Field(out, "device key", l.volume.DeviceKeyName + " (from the record)");
            Field(out, "instance key", l.volume.InstanceKeyName + " (from the record)");
        } else {
            Field(out, "parent id", l.volume.ParentId);
        }
    }
    if (l.matched) {
        if (!e.isVistaWorkstation) {
            std::string instance = l.matchedInstance;
            for (const DeviceSeen& device : l.devices) {
                for (const InstanceSeen& seen : device.instances) {
                    if (seen.match && seen.parentIdPrefix) {
                        instance = seen.name + " (ParentIdPrefix " + *seen.parentIdPrefix + ")";
                    }
                }
            }
            Field(out, "device key", l.matchedDevice);
            Field(out, "instance key", instance);
        } else {
            Field(out, "found",
                  "device key " + l.matchedDevice + ", instance key " + l.matchedInstance);
        }
    }
    if (l.GetsIcon()) {
        Field(out, "model", ModelText(e, l));
    } else if (l.markerFound && !l.devices.empty()) {
        Field(out, "device keys", DevicesText(l));
    }
    Field(out, "DriveIcons now", IconKeysText(l.now));
    Field(out, "at start", AtStartText(e, l));
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
