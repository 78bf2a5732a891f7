// Registry fixtures shared by the drive icon tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driveicons/IConEx.h"
#include "platform/fake/FakeWindows.h"

namespace fixture {

inline const std::string kDriveIcons =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
inline const std::string kDriveIcons32 =
    "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
inline const std::string kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
inline const std::string kVolumeGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// Device key names of supported readers, by their row in the model table.
inline const std::string kKbSlot = "Disk&Ven_Qarn&Prod_LNK___QX-KB_Slot&Rev_1.00";   // row 1
inline const std::string kKcKb = "Disk&Ven_Qarn&Prod_LNK___QX-KC/KB&Rev_1.00";      // row 2
inline const std::string kKdSlot = "Disk&Ven_Qarn&Prod_LNK___QX-KD_Slot&Rev_1.00";   // row 3
inline const std::string kKcModule = "Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_2.10";  // row 8
inline const std::string kKfModule = "Disk&Ven_Qarn&Prod_KF_Slot_Module&Rev_1.00";  // row 10

// A service ready for a scan from 'D', installed in C:\Qarn\; the parent-id
// variant unless `vista`.
struct ScanMachine {
    FakeWindows fake;
    CIConEx service{fake};
    explicit ScanMachine(bool vista = false) {
        std::strcpy(service.ModuleDirectory, "C:\\Qarn\\");
        service.ScanStartLetter = 'D';
        service.IsVistaWorkstation = vista ? TRUE : FALSE;
    }
};

inline std::string LetterKey(char letter, const std::string& base = kDriveIcons) {
    return base + "\\" + letter;
}

// A USB volume as Windows before Vista records it: the mount record names a
// removable-media device whose parent id is the USBSTOR instance's ParentIdPrefix.
inline void PlugParentIdDevice(FakeWindows& fake, char letter, const std::string& deviceKey,
                               const std::string& instance, const std::string& parentId) {
    fake.SetDriveType(letter, DRIVE_REMOVABLE);
    fake.SetMountRecord(letter, "\\??\\STORAGE#RemovableMedia#" + parentId + "&RM#" + kVolumeGuid);
    fake.SetString(kUsbStor + "\\" + deviceKey + "\\" + instance, "ParentIdPrefix", parentId);
}

// A USB volume as Vista records it: the USBSTOR device path itself, a '/' of
// the device name written as '#'.
inline void PlugInstancePathDevice(FakeWindows& fake, char letter, const std::string& deviceKey,
                                   const std::string& instance) {
    std::string device = deviceKey;
    for (char& c : device) {
        if (c == '/') c = '#';
    }
    fake.SetDriveType(letter, DRIVE_REMOVABLE);
    fake.SetMountRecord(letter, "\\??\\USBSTOR#" + device + "#" + instance + "#" + kVolumeGuid);
    fake.CreateKey(kUsbStor + "\\" + deviceKey + "\\" + instance);
}

// The three icon keys of one letter, as left by an earlier run.
inline void WriteIconKeys(FakeWindows& fake, char letter, const std::string& label,
                          const std::string& base = kDriveIcons) {
    fake.SetString(LetterKey(letter, base) + "\\DefaultLabel", "", label);
    fake.SetString(LetterKey(letter, base) + "\\DefaultIcon", "", "C:\\Old\\QarnIcons.dll,0");
    fake.SetString(LetterKey(letter, base), "QarnHMD", label);
}

// Keys under DriveIcons of every kind the restore meets: marked with a known
// label (F "KD Media", K "KA Media" of rows 0 and 5), an empty marker (J),
// a marker without a DefaultLabel value (E) or key (G), a label without a
// marker (H), a label in other case (I), and a letter before 'D' (C).
inline void WriteIconKeysOfEveryKind(FakeWindows& fake) {
    WriteIconKeys(fake, 'F', "KD Media");
    WriteIconKeys(fake, 'K', "KA Media");
    fake.SetString(LetterKey('E'), "QarnHMD", "KB Media");
    fake.CreateKey(LetterKey('E') + "\\DefaultLabel");
    fake.SetString(LetterKey('G'), "QarnHMD", "KB Media");
    fake.SetString(LetterKey('H') + "\\DefaultLabel", "", "KB Media");
    WriteIconKeys(fake, 'I', "kb media");
    WriteIconKeys(fake, 'J', "KF Card");
    fake.SetString(LetterKey('J'), "QarnHMD", "");
    WriteIconKeys(fake, 'C', "KB Media");
}

// Every letter D to Z marked by an earlier run (every fourth without its
// DefaultIcon), and 22 reader drives E to Z: more than the 20 slots.
inline void MarkEveryLetterAndPlugMoreReadersThanSlots(FakeWindows& fake) {
    const char* labels[] = {"KA Media", "KB Media", "KB/KC", "KEE/KF", "KF Card"};
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        WriteIconKeys(fake, letter, labels[letter % 5]);
        if (letter % 4 == 0) fake.DeleteTree(LetterKey(letter) + "\\DefaultIcon");
    }
    for (char letter = 'E'; letter <= 'Z'; ++letter) {
        PlugParentIdDevice(fake, letter, kKcModule, std::string(1, letter) + "&0",
                           std::string("7&") + letter + "&0");
    }
}

inline std::vector<BYTE> SzBytes(const std::string& text) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// The letter's keys hold exactly the label, icon (none: no DefaultIcon key)
// and marker the service writes.
inline ::testing::AssertionResult HasDriveKeys(const FakeWindows& fake, char letter,
                                               const std::string& label,
                                               const std::optional<std::string>& icon,
                                               const std::string& base = kDriveIcons) {
    const std::string key = LetterKey(letter, base);
    auto expectSz = [&](const std::string& path, const std::string& name,
                        const std::string& text) -> std::string {
        auto value = fake.GetValue(path, name);
        if (!value) return path + " [" + name + "] missing";
        if (value->type != REG_SZ || value->data != SzBytes(text)) {
            return path + " [" + name + "] holds '" + value->AsString() + "' type " +
                   std::to_string(value->type) + ", expected '" + text + "'";
        }
        return "";
    };
    std::string failure = expectSz(key + "\\DefaultLabel", "", label);
    if (failure.empty()) failure = expectSz(key, "QarnHMD", label);
    if (failure.empty() && icon) failure = expectSz(key + "\\DefaultIcon", "", *icon);
    if (failure.empty() && !icon && fake.KeyExists(key + "\\DefaultIcon")) {
        failure = key + "\\DefaultIcon exists";
    }
    if (failure.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << failure;
}

// Names of the keys below DriveIcons, relative to it, e.g. "E\DefaultLabel".
inline std::vector<std::string> DriveIconKeys(const FakeWindows& fake,
                                              const std::string& base = kDriveIcons) {
    std::vector<std::string> names;
    for (const std::string& path : fake.KeysBelow(base)) {
        names.push_back(path.size() > base.size() + 1 ? path.substr(base.size() + 1) : path);
    }
    return names;
}

inline std::string Slots(const CIConEx& service) {
    std::string text;
    for (const DriveSlot& slot : service.DriveSlots) {
        if (slot.Letter == 0) continue;
        text += slot.Letter;
        text += std::to_string(slot.ModelIndex);
        text += ' ';
    }
    return text;
}

// Trace texts after the "[name](thread): " prefix, without the newline.
inline std::vector<std::string> TraceTexts(const FakeWindows& fake) {
    std::vector<std::string> texts;
    for (std::string line : fake.DebugOutput()) {
        const size_t prefixEnd = line.find("): ");
        if (prefixEnd != std::string::npos) line = line.substr(prefixEnd + 3);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        texts.push_back(line);
    }
    return texts;
}

// The service run through the framework's dispatcher on its own thread.
class DispatcherRun {
public:
    DispatcherRun(FakeWindows& fake, CIConEx& service) : fake_(fake) {
        fake.SetStartedAsService(true);
        thread_ = std::thread([&service] { service.RunDispatcher(); });
    }
    void Stop() {
        if (!thread_.joinable()) return;
        fake_.SendControl(SERVICE_CONTROL_STOP);
        thread_.join();
    }
    ~DispatcherRun() { Stop(); }

private:
    FakeWindows& fake_;
    std::thread thread_;
};

}  // namespace fixture
