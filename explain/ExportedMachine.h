// The machine a support engineer gets from a customer as "reg export" files
// (HKLM\SYSTEM\MountedDevices, HKLM\SYSTEM\CurrentControlSet\Enum\USBSTOR and
// the DriveIcons key), set up in the in-memory Windows together with what
// the files cannot say. Linux builds only (qx_regfile): the explain tool
// reads its machine this way there.
#pragma once

#include <cstddef>
#include <string>

#include "explain/MachineFacts.h"
#include "explain/RegFile.h"
#include "platform/memory/MemoryWindows.h"

// The registry views of which a file holds letter keys below DriveIcons.
enum DriveIconsViews : unsigned { kNativeDriveIcons = 1, kWow6432DriveIcons = 2 };
unsigned DriveIconsViewsOf(const RegFile& file);

// The view of those letter keys that the service never reads on that machine,
// described ("" when it reads them all). `asks64BitView`: the platform
// detection chose the 64-bit view (XP x64, Vista x64).
std::string UnreadDriveIconsView(const MachineFacts& facts, bool asks64BitView, unsigned views);

// The CurrentVersion value ("5.1") of the key Windows NT\CurrentVersion
// below HKLM\SOFTWARE\Microsoft in the file, UTF-8; "" when it holds none.
std::string VersionValueOf(const RegFile& file);

// Version, edition, WOW64 and code page; before any file is loaded, since
// a REGEDIT4 file is read in the code page.
void SetUpMachine(MemoryWindows& machine, const MachineFacts& facts);

// `utf8`, a text of the Linux command line, in the machine's code page as a
// Windows of that code page has it. False, with the reason, when it is not
// UTF-8 or holds a character the code page cannot write (named as U+XXXX and,
// if printable, the character).
bool ToMachineText(MemoryWindows& machine, const std::string& utf8, std::string& ansi,
                   std::string& error);

// The largest file taken for an export. The three keys an export needs are a
// few megabytes even on a machine with a long USB history; reading one takes
// at most twice its size and 64 MB in memory when it is UTF-16, as reg export
// writes it (tests/bench/explain_memory.py); more for REGEDIT4 and UTF-8
// files, which are widened, and for files of nothing but tiny values.
constexpr size_t kMaxExportBytes = 256u << 20;

// The whole file. False, with the reason, when it cannot be read or cannot be
// an export: not a regular file (a folder, a device, a pipe), or larger than
// `maxBytes`.
bool ReadExportFile(const std::string& name, std::string& bytes, std::string& error,
                    size_t maxBytes = kMaxExportBytes);

// The registry nests keys at most this deep below a root key.
constexpr size_t kMaxKeyDepth = 512;

// Every key and value of the file, below HKEY_LOCAL_MACHINE, as the registry
// keeps them (names and text in UTF-16); the values' data is moved out of
// `file`. False with "line N: ..." (in UTF-8, to be shown escaped) for
// a key outside HKEY_LOCAL_MACHINE, a key path the registry could not hold
// (a key name longer than it takes, deeper than kMaxKeyDepth; empty names, a
// backslash doubled or at the end, are passed over as regedit does), and
// a value that an earlier file or line gives otherwise.
bool LoadRegFile(MemoryWindows& machine, RegFile& file, std::string& error,
                 bool sharedDriveIcons = false);

// Drive types of D: to Z:: the letters in `removable` (upper or lower case)
// are removable; when it is empty, the letters whose mount records are USB
// storage or removable-media records. Other letters with a mount record are
// fixed disks, the rest have no drive.
void SetDriveTypes(MemoryWindows& machine, const std::string& removable);
