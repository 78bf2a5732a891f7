// Registry paths, reader device names and mount records of the drive icon
// tests, fuzz targets and benchmark. Platform-free: also built into the
// Windows test programs.
#pragma once

#include <string>
#include <vector>

#include "driveicons/MountText.h"  // MountValueName
#include "platform/WinTypes.h"

class CIConEx;

namespace support {

// Below HKEY_LOCAL_MACHINE.
extern const std::string kDriveIcons;
extern const std::string kDriveIcons32;  // the 32-bit view's copy on 64-bit Windows
extern const std::string kUsbStor;
extern const std::string kMounted;
extern const std::string kVolumeGuid;

// Device key names of supported readers, by their row in the model table,
// and of a stick of another vendor.
extern const std::string kKbSlot;    // row 1
extern const std::string kKcKb;      // row 2
extern const std::string kKdSlot;    // row 3
extern const std::string kKbModule;  // row 6
extern const std::string kKcModule;  // row 8
extern const std::string kKfModule;  // row 10
extern const std::string kStick;

std::string LetterKey(char letter, const std::string& base = kDriveIcons);
// Mount record texts: before Vista the record names a removable-media device
// whose parent id is the USBSTOR instance's ParentIdPrefix; on Vista it is
// the USBSTOR device path itself, a '/' of the device name written as '#'.
std::string ParentIdRecord(const std::string& parentId);
std::string InstancePathRecord(const std::string& deviceKey, const std::string& instance);
// `record` padded after its GUID to `characters`, which the scans do not read.
std::string PaddedRecord(const std::string& record, size_t characters);
// UTF-16LE bytes with one code unit per char of `text` (Latin-1), no NUL:
// the REG_BINARY form the mount manager writes.
std::vector<BYTE> Latin1Units(const std::string& text);

// The tracked drives as "E8 G2 " (letter and model row, in slot order).
std::string Slots(const CIConEx& service);

}  // namespace support
