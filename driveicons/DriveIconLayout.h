// The drive icon keys as the service lays them out, and the sizes it reads
// and writes them with: what the scans, the service and the explain tool
// must agree on, in one place.
#pragma once

#include <cstddef>
#include <string>

#include "platform/WinTypes.h"

// The service's name: its service, event source and trace prefix.
extern const char DriveIconServiceName[];

// The letters the service looks at.
constexpr char FirstDriveLetter = 'D';
constexpr char LastDriveLetter = 'Z';
constexpr int DriveLetterCount = LastDriveLetter - FirstDriveLetter + 1;
constexpr bool IsDriveIconLetter(char letter) {
    return letter >= FirstDriveLetter && letter <= LastDriveLetter;
}

// One tracked drive; Letter 0 marks a free slot.
struct DriveSlot {
    char Letter;
    unsigned short ModelIndex;
};
constexpr int DriveSlotCount = 20;

// Below HKEY_LOCAL_MACHINE. A letter's key under DriveIconsBase carries the
// marker value (its text: the model's label) and the subkeys DefaultLabel and
// DefaultIcon, whose default values the shell reads.
extern const char DriveIconsBase[];  // with its trailing backslash
extern const char DriveIconMarker[];
extern const char DefaultLabelKey[];
extern const char DefaultIconKey[];
extern const char MountedDevicesPath[];
extern const char UsbStorPath[];
// "<DriveIconsBase><letter>", or with a subkey "<...><letter>\<subkey>".
std::string DriveIconKey(char letter, const char* subkey = nullptr);

// The service reads registry texts and key names into buffers of
// RegTextSize bytes, NUL included, and writes texts of at most
// MaxTextLength characters.
constexpr DWORD RegTextSize = MAX_PATH;
constexpr size_t MaxTextLength = RegTextSize - 1;

// Bytes read of a mount record: the longest device path the mount manager
// writes, "\??\USBSTOR#<device>#<instance>#{guid}" with key names at the
// registry's limit of 255 characters, in UTF-16. A serial number (the
// instance key name less "&0") may so have 253 characters; USB allows 126.
constexpr size_t MountRecordSize = 2 * (12 + 255 + 1 + 255 + 1 + 38);
