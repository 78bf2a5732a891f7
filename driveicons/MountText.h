// The mount manager's record of a volume, turned into ANSI text and taken
// apart the two ways the scans need.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Platform.h"

// What a mount record says about its device.
struct VolumeId {
    std::string ParentId;         // parent-id variant
    std::string DeviceKeyName;    // instance-path variant
    std::string InstanceKeyName;  // instance-path variant
};

// The record's value name under SYSTEM\MountedDevices: "\DosDevices\E:".
std::string MountValueName(char letter);

// The ANSI text of a record (UTF-16LE up to its first NUL or the end of the
// `size` bytes). False, with an empty text, when the conversion fails.
bool MountRecordToText(Platform& os, const BYTE* record, size_t size, std::string& text);

// "\??\STORAGE#RemovableMedia#<parent id>&RM#{guid}": false when the text has
// no "RemovableMedia".
bool ParseParentIdText(Platform& os, const std::string& mountText, std::string& volumeParentId);

// "\??\USBSTOR#<device>#<instance>#{guid}", a '/' of the device name written as
// '#': false when the text has no "USBSTOR".
bool ParseInstancePathText(Platform& os, const std::string& mountText, std::string& deviceKeyName,
                           std::string& instanceKeyName);
