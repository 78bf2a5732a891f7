// The explanation as text for an administrator or a support engineer.
#include "explain/ExplanationText.h"

#include <algorithm>
#include <string>
#include <vector>

#include "driveicons/ReaderModels.h"
#include "explain/ReportHeader.h"
#include "explain/ShownText.h"

namespace {

const char kIndent[] = "    ";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// One "    name            text" line; further lines of the text line up under it.
void Field(std::string& out, const std::string& name, const std::string& text) {
    std::string line = kIndent + name;
    line.resize(sizeof kIndent - 1 + kReportFieldWidth, ' ');
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
        if (write.subkey == DefaultIconKey && write.accepted)
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
    if (l.heldByOthers) {
        return std::string(
                   "a reader's drive, but DriveIcons holds another program's keys for "
                   "it (no ") +
               DriveIconMarker + " marker): the service leaves them alone";
    }
    if (l.matched) {
        return "a reader's drive, but all " + std::to_string(DriveSlotCount) +
               " slots are taken: no keys are written";
    }
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
    return part(DriveIconMarker, now.marker) + ", " + part(DefaultLabelKey, now.label) + ", " +
           part(DefaultIconKey, now.icon);
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
    const std::string labelUnread =
        std::string(DefaultLabelKey) + (Has(l.now.tooLong, DefaultLabelKey)
                                            ? " is too long for the service's read"
                                            : " cannot be read");
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
        line(std::string("leaves the keys: ") + DriveIconMarker +
             " too long for the service's read, so it does not take them for its own");
    } else if (l.now.exists) {
        line(std::string("leaves the keys: no ") + DriveIconMarker +
             " marker, so they are not the service's");
    }
    bool iconWritten = false;
    for (const ValueWrite& write : l.writes) {
        const bool icon = write.subkey == DefaultIconKey;
        iconWritten = iconWritten || icon;
        if (icon && !e.serviceDirectoryKnown) {
            line("writes DefaultIcon = " + Quoted(Shown(e, kUnknownFolder + write.text)) +
                 " only if that path has fewer than " + std::to_string(RegTextSize) +
                 " characters: the service folder is unknown (--service-dir)");
        } else {
            const std::string text = Quoted(Shown(e, write.text));
            line(write.accepted
                     ? "writes " + WriteName(write) + " = " + text
                     : "does not write " + WriteName(write) + " " + text + ": longer than " +
                           std::to_string(MaxTextLength) + " characters");
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
        if (write.subkey == DefaultIconKey && write.accepted) return false;
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
    std::string out = ReportHeaderText(explanation);
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
