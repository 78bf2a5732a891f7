#include "explain/DriveExplainer.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "driveicons/AnsiText.h"
#include "driveicons/DriveIconScan.h"
#include "driveicons/PlatformQuery.h"
#include "driveicons/ScanObserver.h"
#include "platform/ReadOnlyPlatform.h"
#include "platform/ScopedHandle.h"

namespace {

const char kServiceName[] = "QarnIEx";
const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\QarnIEx";
constexpr DWORD kManagerConnect = 0x0001;      // SC_MANAGER_CONNECT
constexpr DWORD kServiceQueryStatus = 0x0004;  // SERVICE_QUERY_STATUS
const char kServiceExe[] = "QarnIEx.exe";

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
        if (LetterExplanation* l = At(letter)) {
            l->marked = true;
            l->markedLabel = label ? std::optional<std::string>(*label) : std::nullopt;
            l->marker = marker;
            l->markedRow = modelRow;
        }
    }
    void OnDeleteKeys(char letter, bool deleteFunctionFound) override {
        if (LetterExplanation* l = At(letter)) {
            l->deleted = true;
            l->deleteFunctionFound = deleteFunctionFound;
        }
    }
    void OnLetter(char letter, UINT driveType) override {
        current_ = At(letter);
        if (current_ == nullptr) return;
        current_->examined = true;
        current_->driveType = driveType;
    }
    void OnMountText(char letter, bool read, const std::string& mountText) override {
        if (LetterExplanation* l = At(letter)) {
            l->recordRead = read;
            l->mountText = mountText;
        }
    }
    void OnVolumeId(bool markerFound, const VolumeId& volume) override {
        if (current_ == nullptr) return;
        current_->markerFound = markerFound;
        current_->volume = volume;
    }
    void OnDeviceKey(char letter, const std::string& name, int modelRow) override {
        if (LetterExplanation* l = At(letter)) l->devices.push_back(DeviceSeen{name, modelRow, {}});
    }
    void OnInstanceKey(char letter, const std::string& name, const std::string* parentIdPrefix,
                       bool match) override {
        LetterExplanation* l = At(letter);
        if (l == nullptr || l->devices.empty()) return;
        DeviceSeen& device = l->devices.back();
        device.instances.push_back(InstanceSeen{
            name, parentIdPrefix ? std::optional<std::string>(*parentIdPrefix) : std::nullopt,
            match});
        if (match) {
            l->matchedDevice = device.name;
            l->matchedInstance = name;
        }
    }
    void OnMatch(char letter, int slot, int modelRow) override {
        if (LetterExplanation* l = At(letter)) {
            l->matched = true;
            l->slot = slot;
            l->modelRow = modelRow;
        }
    }
    void OnWrite(const std::string& keyPath, const char* valueName, const char* text,
                 bool accepted) override {
        // <DriveIcons base><letter>[\<subkey>]
        const size_t base = std::strlen(DriveIconsBase);
        if (keyPath.compare(0, base, DriveIconsBase) != 0 || keyPath.size() <= base) return;
        LetterExplanation* l = At(keyPath[base]);
        if (l == nullptr) return;
        const std::string subkey = keyPath.size() > base + 2 ? keyPath.substr(base + 2) : "";
        l->writes.push_back(
            ValueWrite{subkey, valueName ? valueName : "", text ? text : "", accepted});
    }

private:
    LetterExplanation* At(char letter) {
        if (letter < 'D' || letter > 'Z') return nullptr;
        return &explanation_.letters[static_cast<size_t>(letter - 'D')];
    }

    Explanation& explanation_;
    LetterExplanation* current_ = nullptr;
};

std::string FolderOf(Platform& os, const std::string& path) {
    const size_t slash = AnsiText::FindLastChar(os, path, '\\');
    return slash == AnsiText::npos ? std::string() : path.substr(0, slash + 1);
}

// The ImagePath of the installed service, whole, without the quotes that a
// path with blanks gets. No Windows path is longer than 32767 characters.
bool ReadImagePath(Platform& os, std::string& path) {
    constexpr DWORD kLongestPath = 32767 + 2 + 1;  // quotes and NUL
    ScopedRegKey key(os);
    if (os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, key.receive()) !=
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
    path = AnsiText::FromBuffer(buffer.data(), size);
    // The program alone: no quotes, no arguments after it, no "\??\" of an NT path.
    if (path.size() >= 2 && path.front() == '"') {
        const size_t close = path.find('"', 1);
        path = path.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
        std::string lower = path;
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        const size_t exe = lower.find(".exe ");
        if (exe != std::string::npos) path.resize(exe + 4);
    }
    if (path.compare(0, 4, "\\??\\") == 0) path.erase(0, 4);
    // A variable (%ProgramFiles%) is the machine's to expand, not an export's.
    if (path.find('%') != std::string::npos) return false;
    return !FolderOf(os, path).empty();
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
    std::string imagePath;
    if (ReadImagePath(os, imagePath)) {
        source = "from the installed service's ImagePath";
        return FolderOf(os, imagePath) + kServiceExe;
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
    const bool before61 = v.dwMajorVersion == 5 ? v.dwMinorVersion == 2
                                                : v.dwMajorVersion == 6 && v.dwMinorVersion == 0;
    explanation.shellReadsOtherView = explanation.versionRead &&
                                      v.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                                      explanation.wow64Process && !explanation.isWow64 && before61;
    explanation.codePage = KnownCodePage(os);
}

// A value that is there but larger than the service's read of `limit` bytes.
bool TooLong(CDriveIconScan& scan, const std::string& keyPath, const char* name, DWORD limit) {
    const auto stored = scan.QueryRegValueInfo(HKEY_LOCAL_MACHINE, keyPath.c_str(), name);
    return stored && stored->size > limit;
}

void ReadIconKeys(CDriveIconScan& scan, char letter, IconKeysNow& now) {
    const std::string key = std::string(DriveIconsBase) + letter;
    now.exists = scan.OpenRegKeyResult(HKEY_LOCAL_MACHINE, key.c_str()) == ERROR_SUCCESS;
    if (!now.exists) return;
    auto read = [&](const std::string& path, const char* name,
                    const char* shown) -> std::optional<std::string> {
        std::string text;
        if (scan.ReadRegValue(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_SZ, &text, MAX_PATH))
            return text;
        if (TooLong(scan, path, name, MAX_PATH)) now.tooLong.push_back(shown);
        return std::nullopt;
    };
    now.marker = read(key, DriveIconMarker, DriveIconMarker);
    now.label = read(key + "\\DefaultLabel", nullptr, "DefaultLabel");
    now.icon = read(key + "\\DefaultIcon", nullptr, "DefaultIcon");
}

// What the scan read of the letter's mount record, beyond its text: its size
// when it was too long to read, and its type when that is not REG_BINARY.
void ReadRecordFacts(CDriveIconScan& scan, LetterExplanation& l) {
    const auto stored = scan.QueryRegValueInfo(HKEY_LOCAL_MACHINE, MountedDevicesPath,
                                               MountValueName(l.letter).c_str());
    if (!stored) return;
    if (!l.recordRead && stored->size > MountRecordSize) l.recordTooLong = stored->size;
    if (stored->type != REG_BINARY) l.recordType = stored->type;
}

// The readers' ParentIdPrefix values the scan could not read because they are
// too long.
void FindTooLongPrefixes(CDriveIconScan& scan, LetterExplanation& l) {
    for (DeviceSeen& device : l.devices) {
        for (InstanceSeen& instance : device.instances) {
            const std::string path =
                std::string(UsbStorPath) + "\\" + device.name + "\\" + instance.name;
            instance.parentIdPrefixTooLong =
                !instance.parentIdPrefix && TooLong(scan, path, "ParentIdPrefix", MAX_PATH);
        }
    }
}

// The instance whose ParentIdPrefix is the volume's, among the device keys
// the scan told of but did not search (no reader's): the report names the
// drive all the same.
void FindParentIdOwner(CDriveIconScan& scan, LetterExplanation& l) {
    char name[MAX_PATH];
    for (const DeviceSeen& device : l.devices) {
        if (device.modelRow >= 0) continue;
        const std::string devicePath = std::string(UsbStorPath) + "\\" + device.name;
        for (DWORD i = 0;; ++i) {
            std::memset(name, 0, sizeof name);
            DWORD length = sizeof name;
            if (!scan.EnumRegSubkey(HKEY_LOCAL_MACHINE, devicePath.c_str(), name, &length, i))
                break;
            const std::string instance = AnsiText::FromBuffer(name, sizeof name);
            std::string prefix;
            if (scan.ReadRegValue(HKEY_LOCAL_MACHINE, (devicePath + "\\" + instance).c_str(),
                                  "ParentIdPrefix", REG_SZ, &prefix, MAX_PATH) &&
                AnsiText::EqualNoCase(scan.os, prefix, l.volume.ParentId)) {
                l.ownerDevice = device.name;
                l.ownerInstance = instance;
                return;
            }
        }
    }
}

// The service's state, 0 when it is not installed, -2 with the error when
// the service manager cannot be opened or asked.
long ServiceState(Platform& os, LONG& error) {
    ScopedServiceHandle manager(os, os.OpenSCManagerA(nullptr, nullptr, kManagerConnect));
    if (!manager) {
        error = static_cast<LONG>(os.GetLastError());
        return -2;
    }
    ScopedServiceHandle service(os,
                                os.OpenServiceA(manager.get(), kServiceName, kServiceQueryStatus));
    if (!service) {
        error = static_cast<LONG>(os.GetLastError());
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : -2;
    }
    SERVICE_STATUS status{};
    if (!os.QueryServiceStatus(service.get(), &status)) {
        error = static_cast<LONG>(os.GetLastError());
        return -2;
    }
    return static_cast<long>(status.dwCurrentState);
}

// Keys the explanation reads, in the service's view, that cannot be opened.
void CheckKeys(CDriveIconScan& scan, Explanation& explanation) {
    std::string driveIcons = DriveIconsBase;
    driveIcons.pop_back();
    for (const std::string& path :
         {std::string(MountedDevicesPath), std::string(UsbStorPath), driveIcons}) {
        const LONG error = scan.OpenRegKeyResult(HKEY_LOCAL_MACHINE, path.c_str());
        // No DriveIcons key only means that no drive has an icon of its own.
        if (error == ERROR_SUCCESS || (path == driveIcons && error == ERROR_FILE_NOT_FOUND))
            continue;
        explanation.unreadableKeys.emplace_back(path, error);
    }
    // A device or instance key whose name does not fit the scan's buffer of
    // MAX_PATH bytes (a long name of double-byte characters) ends its walk there.
    char name[4 * MAX_PATH];
    // The subkey at `index`, noted where it is too long; false past the last.
    auto subkeyAt = [&](const std::string& path, DWORD index, std::string& found) {
        std::memset(name, 0, sizeof name);
        DWORD length = sizeof name;
        if (!scan.EnumRegSubkey(HKEY_LOCAL_MACHINE, path.c_str(), name, &length, index))
            return false;
        found = AnsiText::FromBuffer(name, sizeof name);
        if (found.size() >= MAX_PATH)
            explanation.unreadableKeys.emplace_back(path + "\\" + found, ERROR_MORE_DATA);
        return true;
    };
    std::string device, instance;
    for (DWORD d = 0; subkeyAt(UsbStorPath, d, device); ++d) {
        if (device.size() >= MAX_PATH) continue;
        const std::string devicePath = std::string(UsbStorPath) + "\\" + device;
        for (DWORD i = 0; subkeyAt(devicePath, i, instance); ++i) continue;
    }
}

}  // namespace

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
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        explanation.letters.emplace_back();
        explanation.letters.back().letter = letter;
    }
    ReadOnlyPlatform reader(machine);
    const std::string servicePath =
        ServicePath(reader, options, explanation.serviceDirectorySource);
    ExplainPlatform serviceView(machine, servicePath);
    explanation.serviceDirectoryKnown = !servicePath.empty();

    CDriveIconScan scan(serviceView);
    Recorder recorder(explanation);
    scan.Observer = &recorder;
    scan.StartUpScan();
    scan.Observer = nullptr;

    explanation.isVistaWorkstation = scan.IsVistaWorkstation != FALSE;
    explanation.isWow64 = scan.IsWow64 != FALSE;
    explanation.serviceDirectory = scan.ModuleDirectory;
    ReadPlatform(serviceView, explanation);
    for (LetterExplanation& letter : explanation.letters) {
        ReadIconKeys(scan, letter.letter, letter.now);
        if (letter.examined) ReadRecordFacts(scan, letter);
        if (letter.markerFound && !letter.matched && !explanation.isVistaWorkstation) {
            FindTooLongPrefixes(scan, letter);
            FindParentIdOwner(scan, letter);
        }
    }
    CheckKeys(scan, explanation);
    if (options.askServiceState)
        explanation.serviceState = ServiceState(serviceView, explanation.serviceError);
    explanation.refused = serviceView.Refused();
    return explanation;
}
