// What the explain tool learns of a machine: the service's own start-up,
// step by step per letter, and what the registry holds now.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driveicons/DriveIconLayout.h"
#include "driveicons/MountText.h"
#include "platform/WinTypes.h"

struct InstanceSeen {
    std::string name;
    std::optional<std::string> parentIdPrefix;  // parent-id variant, when readable
    bool match = false;
    bool parentIdPrefixTooLong = false;  // there, but longer than the service reads
};

struct DeviceSeen {
    std::string name;
    int modelRow = -1;  // -1: holds no reader model's text; its instances were not read
    std::vector<InstanceSeen> instances;
};

struct ValueWrite {
    std::string subkey;     // "" (the letter key), DefaultLabelKey or DefaultIconKey
    std::string valueName;  // "" for the default value
    std::string text;
    bool accepted = true;  // false: too long, refused before any registry call
};

// DriveIcons\<letter> in the registry view the service uses, as it is now.
struct IconKeysNow {
    bool exists = false;
    std::optional<std::string> marker;  // the marker value
    std::optional<std::string> label;   // default value of DefaultLabel
    std::optional<std::string> icon;    // default value of DefaultIcon
    // Of the marker, DefaultLabel and DefaultIcon, those that are there but
    // longer than the service reads (RegTextSize bytes).
    std::vector<std::string> tooLong;
};

struct LetterExplanation {
    char letter = 0;
    UINT driveType = DRIVE_NO_ROOT_DIR;

    // The assignment scan's steps; each is set only when the scan got there.
    bool examined = false;
    bool recordRead = false;
    // A record the scan could not read, because it is longer than MountRecordSize.
    std::optional<DWORD> recordTooLong;  // its size in bytes
    // The type the record is stored with, when it is neither REG_BINARY nor REG_NONE.
    std::optional<DWORD> recordType;
    std::string mountText;
    bool markerFound = false;
    VolumeId volume;
    std::vector<DeviceSeen> devices;
    bool matched = false;       // a matching instance was found
    bool heldByOthers = false;  // ... but another program's keys are at the letter
    int slot = -1;              // the slot it got; -1: none (none free, or no match)
    int modelRow = -1;
    std::string matchedDevice;
    std::string matchedInstance;
    // Parent-id variant without a match: the USBSTOR device key and instance
    // whose ParentIdPrefix is the volume's, whatever device it is; empty when none.
    std::string ownerDevice;
    std::string ownerInstance;

    // DriveIcons: what is there, what the clean-up at start makes of it,
    // and what the scan writes.
    IconKeysNow now;
    bool marked = false;  // the restore found the marker
    std::optional<std::string> markedLabel;
    std::string marker;  // the marker's text
    int markedRow = -1;
    bool deleted = false;  // the purge deletes its keys
    bool deleteFunctionFound = true;
    std::vector<ValueWrite> writes;

    bool GetsIcon() const { return slot >= 0; }
};

struct Explanation {
    // Platform as the version query reports it (for the header; the service
    // decides on its own query).
    bool versionRead = false;
    bool extendedVersion = false;  // the OSVERSIONINFOEXA record could be filled
    OSVERSIONINFOEXA version{};
    bool wow64Process = false;
    // What the service's platform detection set.
    bool isVistaWorkstation = false;
    bool isWow64 = false;
    // The service writes DriveIcons in the 32-bit view, which the 64-bit shell
    // of this Windows never reads: 64-bit NT 5.2 and 6.0 without the 64-bit
    // view (Server 2003 x64, Server 2008 x64). Only from NT 6.1 (Windows 7,
    // Server 2008 R2) on do the two views share DriveIcons.
    bool shellReadsOtherView = false;
    // The ANSI code page the machine's texts are in, as far as the report
    // knows which of its characters are printable: 1252, 932, or 0 for another.
    UINT codePage = 0;

    std::string serviceDirectory;  // ModuleDirectory as the service sets it
    std::string serviceDirectorySource;
    // False: neither an option, the service's ImagePath nor the tool's own
    // path names the folder, and the icon paths depend on it.
    bool serviceDirectoryKnown = true;
    // State of the installed service (SERVICE_RUNNING and so on); 0: not
    // installed; -1: not asked; -2: the service manager could not tell
    // (serviceError says why).
    long serviceState = -1;
    LONG serviceError = 0;
    bool serviceStateSaved = false;  // as a saved folder's facts tell it
    // From a saved folder or the machine itself: its NetBIOS name, in its code
    // page; and where the Windows, architecture and code page came from.
    std::string computerName;
    std::string factsSource;
    // The drive types were inferred from the mount records (files do not tell them).
    bool driveTypesInferred = false;
    // Registry keys the explanation rests on that could not be opened: path
    // and error code.
    std::vector<std::pair<std::string, LONG>> unreadableKeys;

    std::vector<LetterExplanation> letters;  // FirstDriveLetter to LastDriveLetter
    std::map<std::string, int> refused;      // calls the read-only view refused

    // Every key and the service manager could be read.
    bool Complete() const { return unreadableKeys.empty() && serviceState != -2; }
    // A letter gets keys from the service, but in a view the shell does not read.
    bool NotShown(const LetterExplanation& l) const { return shellReadsOtherView && l.GetsIcon(); }
    bool AnyNotShown() const {
        return std::any_of(letters.begin(), letters.end(), [&](auto& l) { return NotShown(l); });
    }

    const LetterExplanation& Letter(char letter) const {
        return letters.at(static_cast<size_t>(letter - FirstDriveLetter));
    }
};
