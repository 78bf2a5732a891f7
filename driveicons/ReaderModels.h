// The supported card-reader models and the per-drive icon registry layout.
#pragma once

// One supported reader model.
struct ReaderModel {
    const char* Label;          // drive label, also the marker value
    const char* IconRef;        // "<icon library>,<index>", put after the module directory
    const char* DisplayName;    // product name, 16 characters; never read by the logic
    const char* InstanceMatch;  // text found in the model's USBSTOR device key names
};

constexpr int ReaderModelCount = 12;
// Row order matters: the first matching row wins.
extern const ReaderModel ReaderModelTable[ReaderModelCount];

// One tracked drive; Letter 0 marks a free slot.
struct DriveSlot {
    char Letter;
    unsigned short ModelIndex;
};

constexpr int DriveSlotCount = 20;

// Base of the per-letter icon keys under HKEY_LOCAL_MACHINE, with its trailing backslash.
extern const char DriveIconsBase[];
// Value that marks a letter key as written by this service.
extern const char DriveIconMarker[];
extern const char MountedDevicesPath[];
extern const char UsbStorPath[];
