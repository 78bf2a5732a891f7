// The machine a support engineer gets from a customer as "reg export" files
// (HKLM\SYSTEM\MountedDevices, HKLM\SYSTEM\CurrentControlSet\Enum\USBSTOR and
// the DriveIcons key), set up in the in-memory Windows together with what
// the files cannot say.
#pragma once

#include <string>

#include "explain/RegFile.h"
#include "platform/fake/FakeWindows.h"

struct MachineFacts {
    DWORD majorVersion = 0;
    DWORD minorVersion = 0;
    bool server = false;
    bool wow64 = false;    // 64-bit Windows: the 32-bit service runs under WOW64
    UINT codePage = 1252;  // 1252 or 932
};

// "xp", "xp-x64", "2003", "vista", "2008", "7", "8", "8.1", "10" or a version
// number "MAJOR.MINOR"; sets the version and what the name implies (server
// edition, WOW64). False for anything else.
bool ParseWindowsName(const std::string& name, MachineFacts& facts);

// Version, edition, WOW64 and code page; before any file is loaded, since
// names are kept in the code page.
void SetUpMachine(FakeWindows& machine, const MachineFacts& facts);

// Every key and value of the file, below HKEY_LOCAL_MACHINE; names and the
// string data of a version 5 file are converted to the machine's code page.
// False with "line N: ..." for a key outside HKEY_LOCAL_MACHINE.
bool LoadRegFile(FakeWindows& machine, const RegFile& file, std::string& error);

// Drive types of D: to Z:: the letters in `removable` (upper or lower case)
// are removable; when it is empty, the letters whose mount records are USB
// storage or removable-media records. Other letters with a mount record are
// fixed disks, the rest have no drive.
void SetDriveTypes(FakeWindows& machine, const std::string& removable);
