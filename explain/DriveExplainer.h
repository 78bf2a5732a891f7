// Why a drive has, or has not, a reader icon: the service's own start-up
// (platform detection, clean-up of old keys, full assignment scan) run on a
// read-only view of a machine, with an observer that records each step.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driveicons/MountText.h"
#include "platform/Platform.h"

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
    std::string subkey;     // "" (the letter key), "DefaultLabel" or "DefaultIcon"
    std::string valueName;  // "" for the default value
    std::string text;
    bool accepted = true;  // false: too long, refused before any registry call
};

// DriveIcons\<letter> in the registry view the service uses, as it is now.
struct IconKeysNow {
    bool exists = false;
    std::optional<std::string> marker;  // the QarnHMD value
    std::optional<std::string> label;   // default value of DefaultLabel
    std::optional<std::string> icon;    // default value of DefaultIcon
    // Of "QarnHMD", "DefaultLabel" and "DefaultIcon", those that are there but
    // longer than the service reads (MAX_PATH bytes).
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
    // The type the record is stored with, when it is not REG_BINARY.
    std::optional<DWORD> recordType;
    std::string mountText;
    bool markerFound = false;
    VolumeId volume;
    std::vector<DeviceSeen> devices;
    bool matched = false;  // a matching instance was found
    int slot = -1;         // the slot it got; -1: none (none free, or no match)
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
    // The drive types were inferred from the mount records (files do not tell them).
    bool driveTypesInferred = false;
    // Registry keys the explanation rests on that could not be opened: path
    // and error code.
    std::vector<std::pair<std::string, LONG>> unreadableKeys;

    std::vector<LetterExplanation> letters;  // 'D' to 'Z'
    std::map<std::string, int> refused;      // calls the read-only view refused

    // Every key and the service manager could be read.
    bool Complete() const { return unreadableKeys.empty() && serviceState != -2; }
    // A letter gets keys from the service, but in a view the shell does not read.
    bool NotShown(const LetterExplanation& l) const { return shellReadsOtherView && l.GetsIcon(); }
    bool AnyNotShown() const {
        for (const LetterExplanation& l : letters) {
            if (NotShown(l)) return true;
        }
        return false;
    }

    const LetterExplanation& Letter(char letter) const { return letters.at(letter - 'D'); }
};

struct ExplainOptions {
    // Folder of QarnIEx.exe. Empty: the installed service's ImagePath, else
    // the folder of the running program (on Windows the tool, which belongs
    // beside the service), else unknown.
    std::string serviceDirectory;
    // Ask the service manager whether the service runs (the machine the tool
    // runs on; files do not say it).
    bool askServiceState = false;
};

// Nothing on `machine` is written or deleted: every call goes through a
// ReadOnlyPlatform.
Explanation ExplainDrives(Platform& machine, const ExplainOptions& options);

// The report: a header with the platform row, then one block per letter that
// is removable or has a key under DriveIcons.
std::string ExplanationText(const Explanation& explanation);

// 1252 or 932 when the active ANSI code page converts text exactly as that
// one does, else 0.
UINT KnownCodePage(Platform& os);

// The code page of a Linux command line and terminal (CP_UTF8).
constexpr UINT kUtf8CodePage = 65001;

// Text of the machine (from a file, a device or the registry) or of the
// command line, as the report and the tool's messages show it, so that no
// such text can pass for the tool's own words. Printable are letters, marks,
// digits, punctuation, symbols and the ASCII space, as far as `codePage`
// (1252, 932 or kUtf8CodePage; 0: every byte above 0x7F is unknown) knows
// them; the rest comes out as \n for a line feed, \u{XXXX} for a UTF-8
// character, else \xNN per byte. With `quotes`, a double quote, which the
// report puts around texts, comes out as \x22. A backslash stays itself
// unless it could be read as the start of such an escape (before a
// backslash, n, u{, or x and two hex digits): then it is written \\.
std::string ShownText(const std::string& text, UINT codePage, bool quotes);
