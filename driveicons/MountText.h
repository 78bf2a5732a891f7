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

// Bytes read of a mount record: the longest device path the mount manager
// writes, "\??\USBSTOR#<device>#<instance>#{guid}" with key names at the
// registry's limit of 255 characters, in UTF-16. A serial number (the
// instance key name less "&0") may so have 253 characters; USB allows 126.
constexpr size_t MountRecordSize = 2 * (12 + 255 + 1 + 255 + 1 + 38);

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
