#include "explain/SaveMachine.h"

#include <memory>

#include "driveicons/AnsiText.h"
#include "driveicons/PlatformQuery.h"
#include "explain/DriveExplainer.h"
#include "explain/RegExportWriter.h"
#include "explain/ShownText.h"
#include "platform/ReadOnlyPlatform.h"
#include "platform/ScopedHandle.h"
#include "platform/Utf16.h"

namespace {

constexpr REGSAM kReadAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
// A value larger than this is no value of the keys saved.
constexpr DWORD kMaxValueBytes = 16u << 20;
constexpr DWORD kMaxValueName = 16384;  // characters with the NUL, as Windows allows
constexpr DWORD kMaxKeyName = 512;
const char kVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}
LPCWSTR Wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }
std::u16string FromWide(const WCHAR* text, size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

std::string Hklm(const std::u16string& path) { return "HKLM\\" + Utf8Of(path); }

bool SameAsciiName(const std::u16string& name, const std::string& wanted) {
    if (name.size() != wanted.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t a = name[i] >= u'a' && name[i] <= u'z' ? name[i] - 32 : name[i];
        const char b = wanted[i] >= 'a' && wanted[i] <= 'z' ? wanted[i] - 32 : wanted[i];
        if (a != static_cast<char16_t>(b)) return false;
    }
    return true;
}

// Copies keys into one file, noting in `problems` what it cannot copy.
class KeyCopier {
public:
    KeyCopier(Platform& os, RegExportWriter& out, std::vector<std::string>& problems)
        : os_(os), out_(out), problems_(problems) {}

    void Copy(const SavedKey& saved, HKEY root);

private:
    // Counted beyond the last one kept: the facts say how many more there were.
    void Problem(const std::string& what) {
        problems_.push_back(problems_.size() < kMaxProblems ? what : std::string());
    }
    void WriteValues(HKEY key, const std::u16string& path, const std::vector<std::string>& only);
    bool ReadValue(HKEY key, DWORD index, const std::u16string& path, std::u16string& name,
                   DWORD& type, DWORD& size, LONG& error);
    // The next subkey of the top of the walk, opened; false past the last.
    bool OpenNextSubkey(HKEY parent, DWORD& index, const std::u16string& path, REGSAM view,
                        std::unique_ptr<ScopedRegKey>& child, std::u16string& childPath);

    Platform& os_;
    RegExportWriter& out_;
    std::vector<std::string>& problems_;
    WCHAR name_[kMaxValueName];
    std::vector<BYTE> data_ = std::vector<BYTE>(4096);
};

bool KeyCopier::ReadValue(HKEY key, DWORD index, const std::u16string& path, std::u16string& name,
                          DWORD& type, DWORD& size, LONG& error) {
    // A value that grows between the calls is asked for again, a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD nameLength = kMaxValueName;
        size = static_cast<DWORD>(data_.size());
        error =
            os_.RegEnumValueW(key, index, name_, &nameLength, nullptr, &type, data_.data(), &size);
        if (error == ERROR_SUCCESS) {
            name = FromWide(name_, nameLength);
            return true;
        }
        if (error != ERROR_MORE_DATA || size <= data_.size()) return false;
        if (size > kMaxValueBytes) {
            Problem(Hklm(path) + ": value " + std::to_string(index) + " has " +
                    std::to_string(size) + " bytes, more than the " +
                    std::to_string(kMaxValueBytes) + " copied");
            error = ERROR_SUCCESS;
            return false;
        }
        data_.resize(size);
    }
    return false;
}

void KeyCopier::WriteValues(HKEY key, const std::u16string& path,
                            const std::vector<std::string>& only) {
    for (DWORD index = 0;; ++index) {
        std::u16string name;
        DWORD type = REG_NONE, size = 0;
        LONG error = ERROR_SUCCESS;
        if (!ReadValue(key, index, path, name, type, size, error)) {
            if (error == ERROR_NO_MORE_ITEMS) return;
            if (error == ERROR_SUCCESS) continue;  // too large, noted
            Problem(Hklm(path) + ": its values cannot be read (error " + std::to_string(error) +
                    ")");
            return;
        }
        bool wanted = only.empty();
        for (const std::string& one : only) wanted = wanted || SameAsciiName(name, one);
        if (!wanted) continue;
        const std::string why = RegExportWriter::Unwritable(name);
        if (!why.empty()) {
            Problem(Hklm(path) + ": a value with " + why + ", which a reg file cannot hold");
            continue;
        }
        out_.Value(name, type, data_.data(), size);
    }
}

bool KeyCopier::OpenNextSubkey(HKEY parent, DWORD& index, const std::u16string& path, REGSAM view,
                               std::unique_ptr<ScopedRegKey>& child, std::u16string& childPath) {
    for (;; ++index) {
        WCHAR name[kMaxKeyName];
        DWORD length = kMaxKeyName;
        const LONG error =
            os_.RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) return false;
        if (error != ERROR_SUCCESS) {
            Problem(Hklm(path) + ": its subkeys cannot be read (error " + std::to_string(error) +
                    ")");
            return false;
        }
        const std::u16string subkey = FromWide(name, length);
        childPath = path + u"\\" + subkey;
        const std::string why = RegExportWriter::Unwritable(subkey);
        if (!why.empty()) {
            Problem(Hklm(path) + ": a subkey with " + why + ", which a reg file cannot hold");
            continue;
        }
        child = std::make_unique<ScopedRegKey>(os_);
        const LONG opened =
            os_.RegOpenKeyExW(parent, Wide(subkey), 0, kReadAccess | view, child->receive());
        if (opened == ERROR_SUCCESS) {
            ++index;
            return true;
        }
        Problem(Hklm(childPath) + ": cannot be read (error " + std::to_string(opened) + ")");
    }
}

void KeyCopier::Copy(const SavedKey& saved, HKEY root) {
    struct Frame {
        std::unique_ptr<ScopedRegKey> key;
        std::u16string path;
        DWORD next;
    };
    std::vector<Frame> walk;
    const std::u16string path = Widen(saved.path);
    out_.Key(u"HKEY_LOCAL_MACHINE\\" + path);
    WriteValues(root, path, saved.only);
    out_.EndKey();
    if (!saved.tree) return;
    walk.push_back({nullptr, path, 0});
    while (!walk.empty()) {
        Frame& top = walk.back();
        std::unique_ptr<ScopedRegKey> child;
        std::u16string childPath;
        if (!OpenNextSubkey(top.key ? top.key->get() : root, top.next, top.path, saved.view, child,
                            childPath)) {
            walk.pop_back();
            continue;
        }
        out_.Key(u"HKEY_LOCAL_MACHINE\\" + childPath);
        WriteValues(child->get(), childPath, {});
        out_.EndKey();
        walk.push_back({std::move(child), childPath, 0});
    }
}

}  // namespace

std::vector<SavedKey> SavedKeys(Platform& os) {
    BOOL wow64 = FALSE;
    QueryWow64(os, wow64);
    const REGSAM native = wow64 ? KEY_WOW64_64KEY : 0;
    std::string driveIcons = DriveIconsBase;
    driveIcons.pop_back();
    std::vector<SavedKey> keys = {
        {"mounted.reg", MountedDevicesPath, MountedDevicesPath, native, true, {}},
        {"usbstor.reg", UsbStorPath, UsbStorPath, native, true, {}},
        {"service.reg", ServiceKeyPath(), ServiceKeyPath(), native, false, {}},
        {"windows.reg", kVersionKey, kVersionKey, native, false, {"CurrentVersion"}},
    };
    // The service's view: the 64-bit one on 64-bit XP and Vista workstations,
    // else its own; and the shell's 64-bit view where it is a key apart.
    OSVERSIONINFOEXA version;
    const bool apart = QueryVersion(os, version) &&
                       KeepsDriveIconsViewsApart(version.dwMajorVersion, version.dwMinorVersion);
    const bool service64 = QueryPlatformFlags(os).IsWow64 != FALSE;
    if (!wow64 || service64 || apart)
        keys.push_back({"driveicons.reg", driveIcons, driveIcons, native, true, {}});
    if (wow64 && !service64) {
        std::string redirected = driveIcons;
        redirected.insert(std::string("SOFTWARE\\").size(), "Wow6432Node\\");
        keys.push_back({"driveicons32.reg", redirected, driveIcons, 0, true, {}});
    }
    return keys;
}

namespace {

WORD MachineArchitecture(Platform& os) {
    SYSTEM_INFO info{};
    info.wProcessorArchitecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
    const HMODULE kernel = os.GetModuleHandleA("kernel32");
    const FARPROC native = kernel ? os.GetProcAddress(kernel, "GetNativeSystemInfo") : nullptr;
    if (native != nullptr)
        os.CallGetNativeSystemInfo(native, &info);
    else
        os.GetSystemInfo(&info);  // before XP: no WOW64 either
    return info.wProcessorArchitecture;
}

}  // namespace

SavedFacts ReadMachineFacts(Platform& os) {
    SavedFacts facts;
    OSVERSIONINFOEXA version;
    bool extended = false;
    if (QueryVersion(os, version, &extended)) {
        facts.major = version.dwMajorVersion;
        facts.minor = version.dwMinorVersion;
        facts.build = version.dwBuildNumber;
        facts.servicePack =
            AnsiToUtf8(os, AnsiText::FromBuffer(version.szCSDVersion, sizeof version.szCSDVersion));
        facts.productType = extended ? version.wProductType : 0;
    } else {
        facts.problems.push_back("the version query failed (error " +
                                 std::to_string(os.GetLastError()) + ")");
    }
    BOOL wow64 = FALSE;
    QueryWow64(os, wow64);
    facts.wow64 = wow64 != FALSE;
    facts.architecture = MachineArchitecture(os);
    facts.codePage = os.GetACP();
    WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (os.GetComputerNameW(name, &length))
        facts.computer = Utf8Of(FromWide(name, length));
    else
        facts.problems.push_back("the computer name cannot be read (error " +
                                 std::to_string(os.GetLastError()) + ")");
    for (int i = 0; i < DriveLetterCount; ++i) {
        const char root[] = {static_cast<char>(FirstDriveLetter + i), ':', '\\', '\0'};
        facts.driveTypes[i] = os.GetDriveTypeA(root);
    }
    facts.serviceState = QueryServiceState(os, facts.serviceError);
    return facts;
}

namespace {

// One key into its file; false once the folder cannot be written.
bool SaveKey(Platform& os, SaveFolder& folder, const SavedKey& saved, SavedFacts& facts,
             std::string& failure) {
    ScopedRegKey root(os);
    const std::u16string path = Widen(saved.openPath);
    const LONG error = os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path), 0, kReadAccess | saved.view,
                                        root.receive());
    if (error != ERROR_SUCCESS) {
        // Not there: no file (none of an earlier save is left either).
        if (error != ERROR_FILE_NOT_FOUND) {
            facts.problems.push_back(Hklm(Widen(saved.path)) + ": cannot be read (error " +
                                     std::to_string(error) + ")");
        }
        return true;
    }
    if (!folder.Create(saved.file, failure)) return false;
    RegExportWriter out(folder);
    KeyCopier(os, out, facts.problems).Copy(saved, root.get());
    if (!out.Flush(failure) || !folder.Finish(failure)) return false;
    facts.files.emplace_back(saved.file, out.Bytes());
    return true;
}

}  // namespace

int SaveMachine(Platform& machine, SaveFolder& folder, SavedFacts& facts, std::string& failure) {
    ReadOnlyPlatform os(machine);
    // Nothing of an earlier save stays: a file this Windows does not get
    // (the other view's DriveIcons) would be read as this machine's.
    for (const char* file : {kFactsFileName, "mounted.reg", "usbstor.reg", "service.reg",
                             "windows.reg", "driveicons.reg", "driveicons32.reg"}) {
        if (!folder.Remove(file, failure)) return 1;
    }
    facts = ReadMachineFacts(os);
    for (const SavedKey& saved : SavedKeys(os)) {
        if (!SaveKey(os, folder, saved, facts, failure)) return 1;
    }
    if (facts.problems.size() > kMaxProblems) {
        const size_t more = facts.problems.size() - kMaxProblems;
        facts.problems.resize(kMaxProblems);
        facts.problems.push_back("and " + std::to_string(more) + " more");
    }
    const std::string text = FactsText(facts);
    if (!folder.Create(kFactsFileName, failure) ||
        !folder.Append(text.data(), text.size(), failure) || !folder.Finish(failure))
        return 1;
    return facts.problems.empty() ? 0 : 3;
}
