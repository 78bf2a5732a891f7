#include "ReaderDevices.h"

#include "driveicons/IConEx.h"

namespace support {

const std::string kDriveIcons =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
const std::string kDriveIcons32 =
    "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons";
const std::string kUsbStor = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
const std::string kMounted = "SYSTEM\\MountedDevices";
const std::string kVolumeGuid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

const std::string kKbSlot = "Disk&Ven_Qarn&Prod_LNK___QX-KB_Slot&Rev_1.00";
const std::string kKcKb = "Disk&Ven_Qarn&Prod_LNK___QX-KC/KB&Rev_1.00";
const std::string kKdSlot = "Disk&Ven_Qarn&Prod_LNK___QX-KD_Slot&Rev_1.00";
const std::string kKbModule = "Disk&Ven_Qarn&Prod_KB_Slot_Module&Rev_1.00";
const std::string kKcModule = "Disk&Ven_Qarn&Prod_KC_Slot_Module&Rev_2.10";
const std::string kKfModule = "Disk&Ven_Qarn&Prod_KF_Slot_Module&Rev_1.00";
const std::string kStick = "Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07";

std::string LetterKey(char letter, const std::string& base) { return base + "\\" + letter; }

std::string ParentIdRecord(const std::string& parentId) {
    return "\\??\\STORAGE#RemovableMedia#" + parentId + "&RM#" + kVolumeGuid;
}

std::string PaddedRecord(const std::string& record, size_t characters) {
    return record + std::string(characters - record.size(), '}');
}

std::string InstancePathRecord(const std::string& deviceKey, const std::string& instance) {
    std::string device = deviceKey;
    for (char& c : device) {
        if (c == '/') c = '#';
    }
    return "\\??\\USBSTOR#" + device + "#" + instance + "#" + kVolumeGuid;
}

std::vector<BYTE> Latin1Units(const std::string& text) {
    std::vector<BYTE> bytes;
    for (char c : text) {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(0);
    }
    return bytes;
}

std::string Slots(const CIConEx& service) {
    std::string text;
    for (const DriveSlot& slot : service.Scan.DriveSlots) {
        if (slot.Letter == 0) continue;
        text += slot.Letter;
        text += std::to_string(slot.ModelIndex);
        text += ' ';
    }
    return text;
}

}  // namespace support
