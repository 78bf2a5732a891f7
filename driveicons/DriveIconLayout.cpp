#include "driveicons/DriveIconLayout.h"

const char DriveIconServiceName[] = "QarnIEx";
const char DriveIconsBase[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\";
const char DriveIconMarker[] = "QarnHMD";
const char DefaultLabelKey[] = "DefaultLabel";
const char DefaultIconKey[] = "DefaultIcon";
const char MountedDevicesPath[] = "SYSTEM\\MountedDevices";
const char UsbStorPath[] = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";

std::string DriveIconKey(char letter, const char* subkey) {
    std::string key = std::string(DriveIconsBase) + letter;
    return subkey == nullptr ? key : key + "\\" + subkey;
}
