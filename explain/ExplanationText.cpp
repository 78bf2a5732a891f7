// The explanation as text for an administrator or a support engineer.
#include "explain/ExplanationText.h"

#include <algorithm>
#include <string>
#include <vector>

#include "driveicons/ReaderModels.h"
#include "explain/ReportHeader.h"
#include "explain/ShownText.h"
#include "explain/Verdict.h"

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
// A path of the machine, exactly as the service writes it.
std::string Path(const Explanation& e, const std::string& path) {
    return ShownPath(path, e.codePage);
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
            icon = (e.serviceDirectoryKnown ? "" : kUnknownFolder) + Path(e, write.text);
    }
    return "row " + std::to_string(l.modelRow) + ", " + ModelName(l.modelRow) + ": label " +
           Quoted(model.Label) + ", icon " + icon;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
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
        if (value && std::string(name) == DefaultIconKey)
            return std::string(name) + " " + Quoted(Path(e, *value));
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
            line("writes DefaultIcon = " + Quoted(kUnknownFolder + Path(e, write.text)) +
                 " only if that path has fewer than " + std::to_string(RegTextSize) +
                 " characters: the service folder is unknown (--service-dir)");
        } else {
            const std::string text = Quoted(icon ? Path(e, write.text) : Shown(e, write.text));
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

std::string LetterText(const Explanation& e, const LetterExplanation& l) {
    std::string out;
    const LetterVerdict verdict = JudgeLetter(e, l);
    std::string headline = std::string(1, l.letter) + ":  " + verdict.verdict;
    headline.resize(headline.size() < 13 ? 13 : headline.size() + 1, ' ');
    headline += verdict.detail;
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
