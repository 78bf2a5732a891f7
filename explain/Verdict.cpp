#include "explain/Verdict.h"

#include <cstring>
#include <iterator>

#include "driveicons/MountText.h"
#include "driveicons/ReaderModels.h"
#include "explain/ShownText.h"

const ReasonText kReasons[] = {
    {"reader", "keys written", "a reader's drive: the service writes its label and icon"},
    {"no-icon-under-wow64", "keys written",
     "a reader's drive, label only: the parent-id scan writes no DefaultIcon under WOW64 (XP x64)"},
    {"icon-path-too-long", "keys written",
     "a reader's drive, label only: the icon path has 260 characters or more"},
    {"other-view", "shell view",
     "a reader's drive whose keys go to the 32-bit view, which the 64-bit shell does not read "
     "(Server 2003 x64, Server 2008 x64)"},
    {"not-removable", "drive type", "not a removable drive"},
    {"not-examined", "drive type", "not examined by the scan"},
    {"record-too-long", "mount record", "a mount record longer than the service reads"},
    {"no-mount-record", "mount record", "no mount record for the letter"},
    {"record-not-binary", "mount record", "a mount record stored as text, not REG_BINARY"},
    {"record-empty", "mount record", "a mount record without text"},
    {"not-removable-media", "volume",
     "the record names no removable-media volume (parent-id scan, before Vista)"},
    {"not-usb-storage", "volume", "the record holds no USB storage device path (Vista)"},
    {"held-by-others", "slot",
     "a reader's drive, but DriveIcons holds another program's keys for the letter"},
    {"slots-taken", "slot", "a reader's drive, but all 20 slots are taken"},
    {"no-device-key", "device key", "no device key under USBSTOR of the name the record holds"},
    {"not-a-reader", "device key", "the drive's device is no supported reader"},
    {"no-device-keys", "device key", "no device keys under USBSTOR"},
    {"no-reader-device", "device key", "no reader's device key under USBSTOR"},
    {"no-instance-keys", "instance key", "the device key has no instance keys"},
    {"no-instance-key", "instance key", "the device key has no instance key of the recorded name"},
    {"no-reader-instances", "instance key", "the readers' device keys have no instance keys"},
    {"no-parent-id-match", "instance key",
     "no instance of a reader's device key has the volume's parent id"},
    // What concerns a machine as a whole.
    {"no-drives", "drive type", "no letter from D: to Z: is removable or has DriveIcons keys"},
    {"unreadable-key", "registry", "a key the report rests on could not be read"},
    {"service-unknown", "service", "the service manager could not be asked"},
    {"not-saved", "save", "the save could not copy a key or value (listed in facts.txt)"},
    {"unread-view", "files", "an export of a DriveIcons view the service does not read"},
    {"passed-over", "files",
     "a file of the folder that is neither facts.txt nor a .reg file it lists"},
    {"no-facts", "files",
     "no facts.txt (a fleet's machine), nor a CurrentVersion value to say which Windows, or "
     "no file at all"},
    {"bad-file", "files", "a file that is no export, cut short, malformed or unreadable"},
    {"contradiction", "files", "files that contradict each other, or facts.txt itself"},
    {"no-such-windows", "files", "facts of a Windows that never existed, or of another code page"},
    {"same-computer-name", "files", "a computer name an earlier folder of the fleet has too"},
};
const size_t kReasonCount = std::size(kReasons);

const ReasonText* FindReason(const std::string& reason) {
    for (const ReasonText& known : kReasons) {
        if (reason == known.reason) return &known;
    }
    return nullptr;
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

namespace {

std::string Shown(const Explanation& e, const std::string& text) {
    return ShownText(text, e.codePage, true);
}

LetterVerdict No(const char* reason, std::string detail) {
    const ReasonText* known = FindReason(reason);
    return {"NO ICON", reason, known ? known->step : "", std::move(detail)};
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

// Why the scan gave the letter no icon: the step at which it stopped.
LetterVerdict WhyNot(const Explanation& e, const LetterExplanation& l) {
    if (l.driveType != DRIVE_REMOVABLE) {
        return No("not-removable", "not a removable drive (" + DriveTypeName(l.driveType) +
                                       "); the service looks at removable drives only");
    }
    if (!l.examined) return No("not-examined", "not examined by the scan");
    if (l.recordTooLong) {
        return No("record-too-long", "the mount record " + MountValueName(l.letter) + " is " +
                                         std::to_string(*l.recordTooLong) +
                                         " bytes long; the service reads at most " +
                                         std::to_string(MountRecordSize));
    }
    if (!l.recordRead) {
        return No("no-mount-record", "no mount record " + MountValueName(l.letter) +
                                         " under HKLM\\" + MountedDevicesPath);
    }
    if (!l.markerFound && l.recordType && StringTypeName(*l.recordType)) {
        return No("record-not-binary",
                  "the mount record " + MountValueName(l.letter) + " is a " +
                      StringTypeName(*l.recordType) +
                      " value, not REG_BINARY: the service's ANSI query returns it as text of "
                      "the code page, not as the mount manager's record");
    }
    if (l.mountText.empty()) return No("record-empty", "the mount record has no text");
    if (!l.markerFound) {
        return e.isVistaWorkstation
                   ? No("not-usb-storage",
                        "the mount record holds no \"USBSTOR\": not the USB storage device path "
                        "a reader's drive has")
                   : No("not-removable-media",
                        "the mount record holds no \"RemovableMedia\": not the removable-media "
                        "volume a reader's drive has");
    }
    if (l.heldByOthers) {
        return No("held-by-others", std::string("a reader's drive, but DriveIcons holds another "
                                                "program's keys for it (no ") +
                                        DriveIconMarker +
                                        " marker): the service leaves them alone");
    }
    if (l.matched) {
        return No("slots-taken", "a reader's drive, but all " + std::to_string(DriveSlotCount) +
                                     " slots are taken: no keys are written");
    }
    if (e.isVistaWorkstation) {
        if (l.devices.empty()) {
            return No("no-device-key",
                      "no device key under USBSTOR is named " + Shown(e, l.volume.DeviceKeyName));
        }
        const DeviceSeen& device = l.devices.front();
        const std::string name = Shown(e, device.name);
        if (device.modelRow < 0)
            return No("not-a-reader", "device key " + name + " holds no reader model's text");
        if (device.instances.empty())
            return No("no-instance-keys", "device key " + name + " has no instance keys");
        return No("no-instance-key", "device key " + name + " has no instance key " +
                                         Shown(e, l.volume.InstanceKeyName));
    }
    if (l.devices.empty())
        return No("no-device-keys", "no device keys under USBSTOR (or USBSTOR cannot be read)");
    bool reader = false;
    bool instances = false;
    for (const DeviceSeen& device : l.devices) {
        reader = reader || device.modelRow >= 0;
        instances = instances || !device.instances.empty();
    }
    if (!reader)
        return No("no-reader-device", "no device key under USBSTOR holds a reader model's text");
    if (!instances) {
        return No("no-reader-instances",
                  "the readers' device keys under USBSTOR have no instance keys");
    }
    // Had it been a reader's, the scan would have found it.
    if (!l.ownerDevice.empty()) {
        return No("not-a-reader", "the drive is " + Shown(e, l.ownerDevice) + " (instance " +
                                      Shown(e, l.ownerInstance) +
                                      "), which is no supported reader");
    }
    return No("no-parent-id-match", "no instance of a reader's device key has ParentIdPrefix " +
                                        Shown(e, l.volume.ParentId));
}

// The service writes the label but no DefaultIcon (under WOW64 on XP x64, or
// a path too long): the shell shows its own icon.
bool LabelOnly(const LetterExplanation& l) {
    for (const ValueWrite& write : l.writes) {
        if (write.subkey == DefaultIconKey && write.accepted) return false;
    }
    return true;
}

}  // namespace

LetterVerdict JudgeLetter(const Explanation& e, const LetterExplanation& l) {
    if (!l.GetsIcon()) return WhyNot(e, l);
    const std::string model = "reader " + ModelName(l.modelRow) + " (model row " +
                              std::to_string(l.modelRow) + "), label \"" +
                              ReaderModelTable[l.modelRow].Label + "\"";
    if (e.NotShown(l)) {
        return {"NOT SHOWN", "other-view", "shell view",
                model + ": its keys go to the 32-bit view, the shell reads the 64-bit view"};
    }
    if (!LabelOnly(l)) return {"ICON", "reader", "keys written", model};
    bool refused = false;
    for (const ValueWrite& write : l.writes) refused = refused || !write.accepted;
    return {"LABEL", refused ? "icon-path-too-long" : "no-icon-under-wow64", "keys written",
            model + ", no DefaultIcon: the shell shows its own icon"};
}
