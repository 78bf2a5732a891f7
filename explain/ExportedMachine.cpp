#include "explain/ExportedMachine.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "driveicons/AnsiText.h"
#include "driveicons/MountText.h"
#include "driveicons/ReaderModels.h"
#include "explain/DriveExplainer.h"
#include "platform/Utf16.h"
#include "platform/memory/CodePages.h"

namespace {

struct WindowsName {
    const char* name;
    DWORD major;
    DWORD minor;
    bool server;
    bool wow64;
};

const WindowsName kWindowsNames[] = {
    {"xp", 5, 1, false, false},    {"xp-x64", 5, 2, false, true}, {"2003", 5, 2, true, false},
    {"vista", 6, 0, false, false}, {"2008", 6, 0, true, false},   {"7", 6, 1, false, false},
    {"8", 6, 2, false, false},     {"8.1", 6, 3, false, false},   {"10", 10, 0, false, false},
};

// The releases of the NT family for x86 and x64 (the Itanium editions aside)
// by the version and product type GetVersionEx reports, and which of their
// editions were 32-bit and which 64-bit.
struct Release {
    DWORD major;
    DWORD minor;
    const char* workstation;
    const char* server;  // nullptr: none
    bool workstation32;
    bool server32;
    bool x64;  // both editions had a 64-bit one
};

const Release kReleases[] = {
    {4, 0, "Windows NT 4.0 Workstation", "Windows NT 4.0 Server", true, true, false},
    {5, 0, "Windows 2000 Professional", "Windows 2000 Server", true, true, false},
    {5, 1, "Windows XP", nullptr, true, false, false},
    {5, 2, "Windows XP x64", "Windows Server 2003", false, true, true},
    {6, 0, "Windows Vista", "Windows Server 2008", true, true, true},
    {6, 1, "Windows 7", "Windows Server 2008 R2", true, false, true},
    {6, 2, "Windows 8", "Windows Server 2012", true, false, true},
    {6, 3, "Windows 8.1", "Windows Server 2012 R2", true, false, true},
    {10, 0, "Windows 10", "Windows Server 2016 or later", true, false, true},
};

std::u16string Utf16(const std::vector<BYTE>& data) {
    return DecodeUtf16LE(data.data(), data.size());
}

}  // namespace

bool ParseWindowsName(const std::string& name, MachineFacts& facts) {
    facts.server = false;
    facts.wow64 = false;
    for (const WindowsName& known : kWindowsNames) {
        if (name != known.name) continue;
        facts.majorVersion = known.major;
        facts.minorVersion = known.minor;
        facts.server = known.server;
        facts.wow64 = known.wow64;
        return true;
    }
    // MAJOR.MINOR
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name.size() > 7)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (i != dot && !std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    facts.majorVersion = static_cast<DWORD>(std::atoi(name.substr(0, dot).c_str()));
    facts.minorVersion = static_cast<DWORD>(std::atoi(name.substr(dot + 1).c_str()));
    return true;
}

std::string ImpossibleMachine(const MachineFacts& facts, const std::string& windows) {
    const std::string nt =
        "NT " + std::to_string(facts.majorVersion) + "." + std::to_string(facts.minorVersion);
    const Release* release = nullptr;
    for (const Release& known : kReleases) {
        if (known.major == facts.majorVersion && known.minor == facts.minorVersion)
            release = &known;
    }
    if (release == nullptr) {
        return "--windows: no Windows was " + nt +
               " (4.0, 5.0, 5.1, 5.2, 6.0, 6.1, 6.2, 6.3 and 10.0 were)";
    }
    for (const WindowsName& known : kWindowsNames) {
        if (windows != known.name || known.server || !facts.server || !release->server) continue;
        return "--server: --windows " + windows + " is " + release->workstation +
               ", a workstation edition; " + release->server + " is --windows " + nt.substr(3) +
               " --server" + (release->server32 ? "" : " --wow64");
    }
    const char* edition = facts.server ? release->server : release->workstation;
    if (edition == nullptr) {
        return "--server: " + nt + " (" + release->workstation +
               ") had no server edition; Windows Server 2003 is NT 5.2: --windows 2003";
    }
    const std::string which =
        std::string(edition) + " (" + nt + (facts.server ? " server" : " workstation") + ")";
    if (facts.wow64 && !release->x64) {
        return "--wow64: " + which + " had no 64-bit edition" +
               (facts.majorVersion == 5 && facts.minorVersion == 1
                    ? "; Windows XP x64 is NT 5.2: --windows xp-x64"
                    : "");
    }
    if (!facts.wow64 && !(facts.server ? release->server32 : release->workstation32))
        return which + " is 64-bit only: add --wow64";
    return "";
}

bool SharesDriveIcons(const MachineFacts& facts) {
    return facts.wow64 &&
           (facts.majorVersion > 6 || (facts.majorVersion == 6 && facts.minorVersion >= 1));
}

namespace {

// Key names below HKEY_LOCAL_MACHINE, folded as the registry compares them.
const std::vector<std::u16string> kNativeDriveIconsKey = {
    u"SOFTWARE", u"MICROSOFT", u"WINDOWS", u"CURRENTVERSION", u"EXPLORER", u"DRIVEICONS"};
const std::vector<std::u16string> kWow6432DriveIconsKey = {
    u"SOFTWARE",       u"WOW6432NODE", u"MICROSOFT", u"WINDOWS",
    u"CURRENTVERSION", u"EXPLORER",    u"DRIVEICONS"};
// The same as it is spelled, for the keys loaded there.
const std::vector<std::u16string> kWow6432DriveIconsNames = {
    u"SOFTWARE",       u"Wow6432Node", u"Microsoft", u"Windows",
    u"CurrentVersion", u"Explorer",    u"DriveIcons"};

// The key names below HKEY_LOCAL_MACHINE are below `key`, or with `orAt`, `key` itself.
bool IsBelow(const MemoryWindows::KeyPath& names, const std::vector<std::u16string>& key,
             bool orAt = false) {
    if (names.size() < key.size() || (names.size() == key.size() && !orAt)) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        if (codepages::FoldName(names[i]) != key[i]) return false;
    }
    return true;
}

// The one form of a key path that the loader, the tree and the view rules
// take: the key names below HKEY_LOCAL_MACHINE. Empty names (a backslash
// doubled, or at the end) are passed over, as regedit does when it imports;
// a path the registry could not hold is refused, with why.
bool KeyNames(const std::u16string& path, MemoryWindows::KeyPath& names, std::string& why) {
    std::vector<std::u16string> parts = codepages::SplitPath(path);
    const std::u16string root = parts.empty() ? u"" : codepages::FoldName(parts[0]);
    if (root != u"HKEY_LOCAL_MACHINE") {
        why = root == u"HKLM" ? "the root key must be spelled out: HKEY_LOCAL_MACHINE, not HKLM"
                              : "a key outside HKEY_LOCAL_MACHINE; export HKLM keys only";
        return false;
    }
    if (parts.size() - 1 > kMaxKeyDepth) {
        why = "a key nested " + std::to_string(parts.size() - 1) +
              " levels deep; the registry nests at most " + std::to_string(kMaxKeyDepth);
        return false;
    }
    names.assign(std::make_move_iterator(parts.begin() + 1), std::make_move_iterator(parts.end()));
    return true;
}

}  // namespace

unsigned DriveIconsViewsOf(const RegFile& file) {
    unsigned views = 0;
    MemoryWindows::KeyPath names;
    std::string why;
    for (const RegFileKey& key : file.keys) {
        if (!KeyNames(key.path, names, why)) continue;  // the loader refuses it
        if (IsBelow(names, kNativeDriveIconsKey)) views |= kNativeDriveIcons;
        if (IsBelow(names, kWow6432DriveIconsKey)) views |= kWow6432DriveIcons;
    }
    return views;
}

std::string UnreadDriveIconsView(const MachineFacts& facts, bool asks64BitView, unsigned views) {
    // The service reads the native view on 32-bit Windows and where it asks
    // for the 64-bit one; else its own 32-bit view.
    const bool readsNative = !facts.wow64 || asks64BitView;
    if (readsNative && (views & kWow6432DriveIcons) != 0) {
        return facts.wow64 ? "the 32-bit view (Wow6432Node), which the service does not read on "
                             "this Windows"
                           : "the 32-bit view of a 64-bit Windows (Wow6432Node), which 32-bit "
                             "Windows does not have (--wow64?)";
    }
    if (!readsNative && !SharesDriveIcons(facts) && (views & kNativeDriveIcons) != 0)
        return "the 64-bit view, which the service does not read on this Windows";
    return "";
}

void SetUpMachine(MemoryWindows& machine, const MachineFacts& facts) {
    machine.SetVersion(facts.majorVersion, facts.minorVersion,
                       facts.server ? VER_NT_SERVER : VER_NT_WORKSTATION);
    machine.SetWow64Process(facts.wow64);
    machine.SetCodePage(facts.codePage);
    // The tool has no path of its own there.
    machine.SetModulePath("");
}

bool ToMachineText(MemoryWindows& machine, const std::string& utf8, std::string& ansi,
                   std::string& error) {
    ansi.clear();
    for (size_t pos = 0; pos < utf8.size();) {
        char32_t code = 0;
        const size_t length = DecodeUtf8At(utf8, pos, code);
        if (length == 0) {
            error = "not UTF-8 (byte " + std::to_string(pos + 1) + " is " +
                    ShownText(utf8.substr(pos, 1), 0, true) + ")";
            return false;
        }
        // Written and read back: a best fit (932 writes e for e-acute) is no match.
        std::string bytes;
        const WCHAR unit = static_cast<WCHAR>(code);
        if (code > 0xFFFF || !AnsiText::FromWide(machine, &unit, 1, bytes) ||
            machine.AnsiToUtf16(bytes) != std::u16string(1, static_cast<char16_t>(code))) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code));
            const std::string character = utf8.substr(pos, length);
            const bool printable = ShownText(character, kUtf8CodePage, true) == character;
            error = name + (printable ? " \"" + character + "\"" : std::string()) +
                    " cannot be written in code page " + std::to_string(KnownCodePage(machine));
            return false;
        }
        ansi += bytes;
        pos += length;
    }
    return true;
}

bool ReadExportFile(const std::string& name, std::string& bytes, std::string& error,
                    size_t maxBytes) {
    // Looked at before it is opened: opening a pipe would wait for a writer.
    struct stat status;
    if (stat(name.c_str(), &status) != 0) {
        error = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "not a regular file: a folder, device or pipe cannot be an export";
        return false;
    }
    if (static_cast<unsigned long long>(status.st_size) > maxBytes) {
        error = "too large for an export: " + std::to_string(status.st_size) +
                " bytes, more than the " + std::to_string(maxBytes) + " read";
        return false;
    }
    std::FILE* in = std::fopen(name.c_str(), "rb");
    if (in == nullptr) {
        error = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    // Room for the whole file at once: grown piece by piece, the string would
    // hold up to twice the file while it is copied.
    bytes.reserve(static_cast<size_t>(status.st_size) + 1);
    // Up to one byte past the limit: a file can grow while it is read.
    char buffer[65536];
    size_t got;
    while (bytes.size() <= maxBytes && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        bytes.append(buffer, got);
    if (std::ferror(in) != 0) error = std::string("cannot be read: ") + std::strerror(errno);
    if (bytes.size() > maxBytes) error = "too large for an export: it grew while it was read";
    std::fclose(in);
    return error.empty();
}

std::string Utf8Of(const std::u16string& text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        AppendUtf8(utf8, code);
    }
    return utf8;
}

bool LoadRegFile(MemoryWindows& machine, RegFile& file, std::string& error, bool sharedDriveIcons) {
    MemoryWindows::KeyPath names;
    std::string why;
    for (RegFileKey& key : file.keys) {
        if (!KeyNames(key.path, names, why)) {
            error = "line " + std::to_string(key.line) + ": " + why;
            return false;
        }
        if (sharedDriveIcons && IsBelow(names, kNativeDriveIconsKey, true)) {
            names.erase(names.begin(), names.begin() + kNativeDriveIconsKey.size());
            names.insert(names.begin(), kWow6432DriveIconsNames.begin(),
                         kWow6432DriveIconsNames.end());
        }
        if (const LONG refused = machine.CreateKey(names)) {
            error = "line " + std::to_string(key.line) +
                    ": a key name longer than the registry takes (256 characters; error " +
                    std::to_string(refused) + ")";
            return false;
        }
        for (RegFileValue& value : key.values) {
            // Exports taken at different times can disagree; neither may win unseen.
            if (machine.ValueDiffers(names, value.name, value.type, value.data)) {
                std::u16string path;
                for (const std::u16string& name : names) path += u"\\" + name;
                error = "line " + std::to_string(value.line) + ": value \"" + Utf8Of(value.name) +
                        "\" of HKLM" + Utf8Of(path) +
                        " differs from the one an earlier file or line gives";
                return false;
            }
            machine.SetValue(names, value.name, value.type, std::move(value.data));
            value.data.clear();
        }
    }
    return true;
}

void SetDriveTypes(MemoryWindows& machine, const std::string& removable) {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        const auto record = machine.GetValue(MountedDevicesPath, MountValueName(letter));
        bool isRemovable = false;
        if (!removable.empty()) {
            isRemovable =
                removable.find(letter) != std::string::npos ||
                removable.find(static_cast<char>(std::tolower(letter))) != std::string::npos;
        } else if (record) {
            const std::u16string text = Utf16(record->data);
            isRemovable = text.find(u"USBSTOR") != std::u16string::npos ||
                          text.find(u"RemovableMedia") != std::u16string::npos;
        }
        machine.SetDriveType(letter, isRemovable ? DRIVE_REMOVABLE
                                     : record    ? DRIVE_FIXED
                                                 : DRIVE_NO_ROOT_DIR);
    }
}
