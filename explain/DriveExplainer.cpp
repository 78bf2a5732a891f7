#include "explain/DriveExplainer.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "driveicons/AnsiText.h"
#include "driveicons/DriveIconScan.h"
#include "driveicons/PlatformQuery.h"
#include "driveicons/ScanObserver.h"
#include "explain/WindowsFolder.h"
#include "platform/CodePageRules.h"
#include "platform/ReadOnlyPlatform.h"
#include "platform/ScopedHandle.h"

namespace {

const std::string kServiceKey = ServiceKeyPath();
constexpr DWORD kManagerConnect = 0x0001;      // SC_MANAGER_CONNECT
constexpr DWORD kServiceQueryStatus = 0x0004;  // SERVICE_QUERY_STATUS
const std::string kServiceExe = std::string(DriveIconServiceName) + ".exe";

// The service asks for its own path at start; here the answer is the
// service's, not the tool's. Without one the call fails, as when the service
// cannot learn its path.
class ExplainPlatform : public ReadOnlyPlatform {
public:
    ExplainPlatform(Platform& machine, std::string servicePath)
        : ReadOnlyPlatform(machine), servicePath_(std::move(servicePath)) {}

    DWORD GetModuleFileNameA(HMODULE, LPSTR fileName, DWORD size) override {
        if (servicePath_.empty() || size == 0 || fileName == nullptr) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        const size_t length = servicePath_.size() < size ? servicePath_.size() : size - 1;
        std::memcpy(fileName, servicePath_.data(), length);
        fileName[length] = '\0';
        if (length < servicePath_.size()) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        return static_cast<DWORD>(length);
    }

private:
    std::string servicePath_;
};

// Writes each step of the service's start-up into the explanation.
class Recorder : public ScanObserver {
public:
    explicit Recorder(Explanation& explanation) : explanation_(explanation) {}

    void OnMarkedKey(char letter, const std::string* label, const std::string& marker,
                     int modelRow) override {
        LetterExplanation& l = At(letter);
        l.marked = true;
        l.markedLabel = label ? std::optional<std::string>(*label) : std::nullopt;
        l.marker = marker;
        l.markedRow = modelRow;
    }
    void OnDeleteKeys(char letter, bool deleteFunctionFound) override {
        At(letter).deleted = true;
        At(letter).deleteFunctionFound = deleteFunctionFound;
    }
    void OnLetter(char letter, UINT driveType) override {
        At(letter).examined = true;
        At(letter).driveType = driveType;
    }
    void OnMountText(char letter, bool read, const std::string& mountText,
                     const CRegistry::StoredValue& stored) override {
        LetterExplanation& l = At(letter);
        l.recordRead = read;
        l.mountText = mountText;
        if (!read && stored.size > MountRecordSize) l.recordTooLong = stored.size;
        if (stored.type != REG_BINARY && stored.type != REG_NONE) l.recordType = stored.type;
    }
    void OnVolumeId(char letter, bool markerFound, const VolumeId& volume) override {
        At(letter).markerFound = markerFound;
        At(letter).volume = volume;
    }
    void OnDeviceKey(char letter, const std::string& name, int modelRow) override {
        At(letter).devices.push_back(DeviceSeen{name, modelRow, {}});
    }
    void OnInstanceKey(char letter, const std::string& name, const std::string* parentIdPrefix,
                       bool parentIdPrefixTooLong, bool match) override {
        LetterExplanation& l = At(letter);
        if (l.devices.empty()) return;
        DeviceSeen& device = l.devices.back();
        device.instances.push_back(InstanceSeen{
            name, parentIdPrefix ? std::optional<std::string>(*parentIdPrefix) : std::nullopt,
            match, parentIdPrefixTooLong});
        if (match) {
            l.matchedDevice = device.name;
            l.matchedInstance = name;
        }
    }
    void OnMatch(char letter, int slot, int modelRow) override {
        At(letter).matched = true;
        At(letter).slot = slot;
        At(letter).modelRow = modelRow;
    }
    void OnHeldByOthers(char letter) override { At(letter).heldByOthers = true; }
    void OnWrite(char letter, const char* subkey, const char* valueName, const char* text,
                 bool accepted) override {
        At(letter).writes.push_back(ValueWrite{subkey ? subkey : "", valueName ? valueName : "",
                                               text ? text : "", accepted});
    }

private:
    LetterExplanation& At(char letter) {
        return explanation_.letters[static_cast<size_t>(letter - FirstDriveLetter)];
    }

    Explanation& explanation_;
};

std::string FolderOf(Platform& os, const std::string& path) {
    const size_t slash = AnsiText::FindLastChar(os, path, '\\');
    return slash == AnsiText::npos ? std::string() : path.substr(0, slash + 1);
}

// The program an ImagePath names: without quotes, arguments after it and the
// "\??\" of an NT path.
std::string ImageProgram(std::string path) {
    if (path.size() >= 2 && path.front() == '"') {
        const size_t close = path.find('"', 1);
        path = path.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
        std::string lower = path;
        for (char& c : lower) c = AsciiLower(c);
        const size_t exe = lower.find(".exe ");
        if (exe != std::string::npos) path.resize(exe + 4);
    }
    if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
    return path;
}

// The folder of the installed service's program, as Windows takes it. False
// when there is no service or ImagePath, or the folder is not the machine's
// to know (a variable such as %ProgramFiles%); `why` then says why when the
// ImagePath names a folder Windows would not take. No Windows path is
// longer than 32767 characters.
bool ReadImageFolder(Platform& os, std::string& folder, std::string& why) {
    constexpr DWORD kLongestPath = 32767 + 2 + 1;  // quotes and NUL
    ScopedRegKey key(os);
    if (os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), 0, KEY_READ, key.receive()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    if (os.RegQueryValueExA(key.get(), "ImagePath", nullptr, nullptr, nullptr, &size) !=
            ERROR_SUCCESS ||
        size > kLongestPath) {
        return false;
    }
    std::vector<char> buffer(size + 1, '\0');
    if (os.RegQueryValueExA(key.get(), "ImagePath", nullptr, nullptr,
                            reinterpret_cast<LPBYTE>(buffer.data()), &size) != ERROR_SUCCESS) {
        return false;
    }
    const std::string path = ImageProgram(AnsiText::FromBuffer(buffer.data(), size));
    // A variable (%ProgramFiles%) is the machine's to expand, not an export's.
    if (path.find('%') != std::string::npos) return false;
    const size_t slash = std::max(AnsiText::FindLastChar(os, path, '\\') + 1,
                                  AnsiText::FindLastChar(os, path, '/') + 1);
    if (slash == 0) return false;
    why = TakeWindowsFolder(os, path.substr(0, slash), folder);
    return why.empty();
}

// Path of QarnIEx.exe for the service's start-up, and where it came from.
std::string ServicePath(Platform& os, const ExplainOptions& options, std::string& source) {
    if (!options.serviceDirectory.empty()) {
        source = "as given";
        std::string folder = options.serviceDirectory;
        // Under 932 a folder may end in a character whose trail byte is a '\\'.
        if (AnsiText::FindLastChar(os, folder, '\\') + 1 != folder.size()) folder += '\\';
        return folder + kServiceExe;
    }
    std::string folder;
    std::string why;
    if (ReadImageFolder(os, folder, why)) {
        source = "from the installed service's ImagePath";
        return folder + kServiceExe;
    }
    if (!why.empty()) {
        source =
            "unknown: the installed service's ImagePath names a folder Windows does not "
            "take: " +
            why;
        return "";
    }
    char own[MAX_PATH] = {};
    const DWORD length = os.GetModuleFileNameA(nullptr, own, MAX_PATH);
    if (length > 0 && length < MAX_PATH && !FolderOf(os, own).empty()) {
        source = "the folder of this program; no installed service names one";
        return FolderOf(os, own) + kServiceExe;
    }
    source = "unknown: the icon paths below lack it";
    return "";
}

void ReadPlatform(Platform& os, Explanation& explanation) {
    explanation.versionRead = QueryVersion(os, explanation.version, &explanation.extendedVersion);
    BOOL wow64 = FALSE;
    QueryWow64(os, wow64);
    explanation.wow64Process = wow64 != FALSE;
    const OSVERSIONINFOEXA& v = explanation.version;
    explanation.shellReadsOtherView = explanation.versionRead &&
                                      v.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                                      explanation.wow64Process && !explanation.isWow64 &&
                                      KeepsDriveIconsViewsApart(v.dwMajorVersion, v.dwMinorVersion);
    explanation.codePage = KnownCodePage(os);
}

void ReadIconKeys(CRegistry& registry, char letter, IconKeysNow& now) {
    const std::string key = DriveIconKey(letter);
    now.exists = registry.OpenRegKeyResult(HKEY_LOCAL_MACHINE, key.c_str()) == ERROR_SUCCESS;
    if (!now.exists) return;
    auto read = [&](const std::string& path, const char* name,
                    const char* shown) -> std::optional<std::string> {
        std::string text;
        CRegistry::StoredValue stored;
        if (registry.ReadRegValue(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_SZ, &text,
                                  RegTextSize, &stored))
            return text;
        if (stored.size > RegTextSize) now.tooLong.push_back(shown);
        return std::nullopt;
    };
    now.marker = read(key, DriveIconMarker, DriveIconMarker);
    now.label = read(DriveIconKey(letter, DefaultLabelKey), nullptr, DefaultLabelKey);
    now.icon = read(DriveIconKey(letter, DefaultIconKey), nullptr, DefaultIconKey);
}

// The instance whose ParentIdPrefix is the volume's, among the device keys
// the scan told of but did not search (no reader's): the report names the
// drive all the same.
void FindParentIdOwner(CRegistry& registry, Platform& os, LetterExplanation& l) {
    for (const DeviceSeen& device : l.devices) {
        if (device.modelRow >= 0) continue;
        const std::string devicePath = std::string(UsbStorPath) + "\\" + device.name;
        std::string instance, prefix;
        for (DWORD i = 0; registry.SubkeyAt(HKEY_LOCAL_MACHINE, devicePath.c_str(), i, instance);
             ++i) {
            if (registry.ReadRegValue(HKEY_LOCAL_MACHINE, (devicePath + "\\" + instance).c_str(),
                                      "ParentIdPrefix", REG_SZ, &prefix, RegTextSize) &&
                AnsiText::EqualNoCase(os, prefix, l.volume.ParentId)) {
                l.ownerDevice = device.name;
                l.ownerInstance = instance;
                return;
            }
        }
    }
}

}  // namespace

long QueryServiceState(Platform& os, LONG& error) {
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, kManagerConnect));
    ScopedServiceHandle service(
        os, manager ? os.OpenServiceA(manager.get(), DriveIconServiceName, kServiceQueryStatus)
                    : nullptr);
    SERVICE_STATUS status{};
    if (service && os.QueryServiceStatus(service.get(), &status))
        return static_cast<long>(status.dwCurrentState);
    error = static_cast<LONG>(os.GetLastError());
    return manager && !service && error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : -2;
}

namespace {

// Keys the explanation reads, in the service's view, that cannot be opened.
void CheckKeys(CRegistry& registry, Explanation& explanation) {
    std::string driveIcons = DriveIconsBase;
    driveIcons.pop_back();
    for (const std::string& path :
         {std::string(MountedDevicesPath), std::string(UsbStorPath), driveIcons}) {
        const LONG error = registry.OpenRegKeyResult(HKEY_LOCAL_MACHINE, path.c_str());
        // No DriveIcons key only means that no drive has an icon of its own.
        if (error == ERROR_SUCCESS || (path == driveIcons && error == ERROR_FILE_NOT_FOUND))
            continue;
        explanation.unreadableKeys.emplace_back(path, error);
    }
    // A device or instance key whose name does not fit the scan's buffer of
    // RegTextSize bytes (a long name of double-byte characters) ends its walk there.
    char name[4 * RegTextSize];
    // The subkey at `index`, noted where it is too long; false past the last.
    auto subkeyAt = [&](const std::string& path, DWORD index, std::string& found) {
        std::memset(name, 0, sizeof name);
        DWORD length = sizeof name;
        if (!registry.EnumRegSubkey(HKEY_LOCAL_MACHINE, path.c_str(), name, &length, index))
            return false;
        found = AnsiText::FromBuffer(name, sizeof name);
        if (found.size() >= RegTextSize)
            explanation.unreadableKeys.emplace_back(path + "\\" + found, ERROR_MORE_DATA);
        return true;
    };
    std::string device, instance;
    for (DWORD d = 0; subkeyAt(UsbStorPath, d, device); ++d) {
        if (device.size() >= RegTextSize) continue;
        const std::string devicePath = std::string(UsbStorPath) + "\\" + device;
        for (DWORD i = 0; subkeyAt(devicePath, i, instance); ++i) continue;
    }
}

}  // namespace

std::string ServiceKeyPath() {
    return std::string("SYSTEM\\CurrentControlSet\\Services\\") + DriveIconServiceName;
}

UINT KnownCodePage(Platform& os) {
    // 1252's characters from 0x80 on, without its five holes, and four of 932's.
    static const unsigned short kHigh1252[] = {
        0x20AC, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030,
        0x0160, 0x2039, 0x0152, 0x017D, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x017E, 0x0178};
    std::vector<WCHAR> probe(std::begin(kHigh1252), std::end(kHigh1252));
    for (unsigned c = 0xA0; c <= 0xFF; ++c) probe.push_back(static_cast<WCHAR>(c));
    for (unsigned c : {0xFF71u, 0x30BDu, 0x4E00u, 0xFF3Cu}) probe.push_back(static_cast<WCHAR>(c));
    auto convert = [&](UINT page) {
        std::string bytes(2 * probe.size(), '\0');
        const int length =
            os.WideCharToMultiByte(page, 0, probe.data(), static_cast<int>(probe.size()), &bytes[0],
                                   static_cast<int>(bytes.size()), nullptr, nullptr);
        bytes.resize(length > 0 ? static_cast<size_t>(length) : 0);
        return bytes;
    };
    const std::string active = convert(CP_ACP);
    for (const UINT page : {1252u, 932u}) {
        if (!active.empty() && convert(page) == active) return page;
    }
    return 0;
}

Explanation ExplainDrives(Platform& machine, const ExplainOptions& options) {
    Explanation explanation;
    for (char letter = FirstDriveLetter; IsDriveIconLetter(letter); ++letter) {
        explanation.letters.emplace_back();
        explanation.letters.back().letter = letter;
    }
    ReadOnlyPlatform reader(machine);
    const std::string servicePath =
        ServicePath(reader, options, explanation.serviceDirectorySource);
    ExplainPlatform serviceView(machine, servicePath);
    explanation.serviceDirectoryKnown = !servicePath.empty();

    Recorder recorder(explanation);
    CDriveIconScan scan(serviceView, &recorder);
    scan.StartUpScan();

    explanation.isVistaWorkstation = scan.IsVistaWorkstation() != FALSE;
    explanation.isWow64 = scan.IsWow64() != FALSE;
    explanation.serviceDirectory = scan.ModuleDirectory;
    ReadPlatform(serviceView, explanation);
    // The keys as they are now, in the view the service reads.
    CRegistry registry(serviceView, scan.Registry.View());
    for (LetterExplanation& letter : explanation.letters) {
        ReadIconKeys(registry, letter.letter, letter.now);
        if (letter.markerFound && !letter.matched && !explanation.isVistaWorkstation)
            FindParentIdOwner(registry, serviceView, letter);
    }
    CheckKeys(registry, explanation);
    if (options.askServiceState) {
        explanation.serviceState = QueryServiceState(serviceView, explanation.serviceError);
    } else {
        explanation.serviceState = options.savedServiceState;
        explanation.serviceError = options.savedServiceError;
        explanation.serviceStateSaved = options.savedServiceState != -1;
    }
    explanation.refused = serviceView.Refused();
    return explanation;
}
