#include "explain/ExportedMachine.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "driveicons/AnsiText.h"
#include "driveicons/DriveIconLayout.h"
#include "driveicons/MountText.h"
#include "explain/DriveExplainer.h"
#include "explain/ShownText.h"
#include "platform/Utf16.h"
#include "platform/memory/CodePages.h"

namespace {

std::u16string Utf16(const std::vector<BYTE>& data) {
    return DecodeUtf16LE(data.data(), data.size());
}

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

std::string VersionValueOf(const RegFile& file) {
    static const std::vector<std::u16string> kKey = {u"SOFTWARE", u"MICROSOFT", u"WINDOWS NT",
                                                     u"CURRENTVERSION"};
    MemoryWindows::KeyPath names;
    std::string why;
    for (const RegFileKey& key : file.keys) {
        if (!KeyNames(key.path, names, why) || names.size() != kKey.size() ||
            !IsBelow(names, kKey, true))
            continue;
        for (const RegFileValue& value : key.values) {
            if (codepages::FoldName(value.name) != u"CURRENTVERSION" || value.type != REG_SZ)
                continue;
            std::string text = Utf8Of(Utf16(value.data));
            return text.substr(0, text.find('\0'));
        }
    }
    return "";
}

void SetUpMachine(MemoryWindows& machine, const MachineFacts& facts) {
    machine.SetVersion(facts.majorVersion, facts.minorVersion,
                       facts.productType != 0 ? facts.productType
                       : facts.server         ? VER_NT_SERVER
                                              : VER_NT_WORKSTATION);
    if (facts.build != 0 || !facts.servicePack.empty()) {
        machine.SetVersionDetails(facts.build, machine.Utf16ToAnsi(Utf16Of(facts.servicePack)), 0);
    }
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
        error = "not a regular file: a folder, device or pipe is not read";
        return false;
    }
    if (static_cast<unsigned long long>(status.st_size) > maxBytes) {
        error = "too large: " + std::to_string(status.st_size) + " bytes, more than the " +
                std::to_string(maxBytes) + " read";
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
    if (bytes.size() > maxBytes) error = "too large: it grew while it was read";
    std::fclose(in);
    return error.empty();
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
    for (char letter = FirstDriveLetter; IsDriveIconLetter(letter); ++letter) {
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
