#include "platform/fake/FakeWindows.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

namespace {

// Error codes the service never names itself, so WinTypes.h leaves them out.
constexpr LONG kErrorInvalidData = 13;
constexpr LONG kErrorInvalidName = 123;
constexpr LONG kErrorModNotFound = 126;
constexpr LONG kErrorProcNotFound = 127;
constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorNoAccess = 998;
constexpr LONG kErrorInvalidFlags = 1004;
constexpr LONG kErrorKeyDeleted = 1018;
constexpr LONG kErrorServiceAlreadyRunning = 1056;

const HMODULE kExeModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x00400000));
const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7C800000));
const HMODULE kAdvapi32 = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x77DD0000));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~static_cast<ULONG_PTR>(0));

// GetProcAddress hands out these as the exports. They are only compared with,
// never meant to be called: the caller goes through the Call* members.
void IsWow64ProcessExport() {
    std::fputs("FakeWindows: IsWow64Process was called directly; use CallIsWow64Process\n", stderr);
    std::abort();
}
void RegDeleteKeyExAExport() {
    std::fputs("FakeWindows: RegDeleteKeyExA was called directly; use CallRegDeleteKeyExA\n",
               stderr);
    std::abort();
}

[[noreturn]] void TestBug(const char* message) {
    std::fprintf(stderr, "FakeWindows: %s\n", message);
    std::abort();
}

bool IsLeadByte(UINT codePage, BYTE byte) {
    return codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

// Bytes of the character at `pos`. A lead byte at the end, or before a NUL,
// stands alone.
size_t CharLength(UINT codePage, const std::string& text, size_t pos) {
    if (pos + 1 < text.size() && text[pos + 1] != '\0' &&
        IsLeadByte(codePage, static_cast<BYTE>(text[pos])))
        return 2;
    return 1;
}

// Names are compared the way the registry does after converting them from
// the code page: per character, so a trail byte in 'a'..'z' stays as it is.
std::string Upper(std::string text, UINT codePage) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = CharLength(codePage, text, pos);
        if (length == 1 && text[pos] >= 'a' && text[pos] <= 'z')
            text[pos] = static_cast<char>(text[pos] - 'a' + 'A');
        pos += length;
    }
    return text;
}

std::string Hex(DWORD value) {
    char buffer[16] = {'0', 'x'};
    *std::to_chars(buffer + 2, buffer + sizeof buffer - 1, value, 16).ptr = '\0';
    return buffer;
}

// Split per character: under a double-byte code page a trail byte 0x5C is
// part of a name, not a separator. Empty components (a doubled or trailing
// separator) are passed over.
std::vector<std::string> SplitPath(const std::string& path, UINT codePage) {
    std::vector<std::string> parts;
    size_t start = 0;
    size_t pos = 0;
    while (pos < path.size()) {
        if (path[pos] == '\\') {
            if (pos > start) parts.push_back(path.substr(start, pos - start));
            start = ++pos;
        } else {
            pos += CharLength(codePage, path, pos);
        }
    }
    if (pos > start) parts.push_back(path.substr(start, pos - start));
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) {
        if (!path.empty()) path += '\\';
        path += part;
    }
    return path;
}

struct Key {
    using Subkeys = std::map<std::string, std::shared_ptr<Key>>;

    std::string name;
    // Keyed by the upper-case name: the order Windows enumerates in. Changed
    // only through AddSubkey and EraseSubkey, which keep the cursor right.
    Subkeys subkeys;
    std::map<std::string, std::pair<std::string, FakeWindows::RegValue>> values;
    bool deleted = false;

    // The subkey at `index` (< subkeys.size()). Callers enumerate index after
    // index, so the last position is kept: stepping through the map from its
    // start every time would make a whole enumeration quadratic.
    Subkeys::iterator SubkeyAt(size_t index) {
        if (!positioned || index < atIndex) {
            at = subkeys.begin();
            atIndex = 0;
            positioned = true;
        }
        std::advance(at, index - atIndex);
        atIndex = index;
        return at;
    }

    std::shared_ptr<Key>& AddSubkey(const std::string& upperName) {
        auto inserted = subkeys.emplace(upperName, nullptr);
        if (inserted.second) positioned = false;
        return inserted.first->second;
    }

    void EraseSubkey(Subkeys::iterator it) {
        positioned = false;
        subkeys.erase(it);
    }

private:
    bool positioned = false;
    size_t atIndex = 0;
    Subkeys::iterator at;
};

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& entry : key.subkeys) MarkDeleted(*entry.second);
}

struct OpenKey {
    std::shared_ptr<Key> key;
    std::vector<std::string> native;  // components as stored, after redirection
    std::string requested;            // as the caller named it, for the call record
    REGSAM access = 0;
};

struct PendingControl {
    DWORD control = 0;
    DWORD eventType = 0;
    LPVOID eventData = nullptr;
    bool answered = false;
    DWORD result = 0;
};

// Windows-1252 bytes 0x80..0x9F. The five holes map to themselves, as on Windows.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// A few Shift-JIS double-byte characters; several end in 0x5C, the byte that
// doubles as '\' and trips up byte-wise text searches.
struct DoubleByte {
    char16_t unit;
    BYTE lead;
    BYTE trail;
};
const DoubleByte kCp932Table[] = {
    {0x3000, 0x81, 0x40},  // ideographic space
    {0x3042, 0x82, 0xA0},  // あ
    {0x3044, 0x82, 0xA2},  // い
    {0x30A2, 0x83, 0x41},  // ア
    {0x30BD, 0x83, 0x5C},  // ソ
    {0x4E88, 0x97, 0x5C},  // 予
    {0x5341, 0x8F, 0x5C},  // 十
    {0x7533, 0x90, 0x5C},  // 申
    {0x65E5, 0x93, 0xFA},  // 日
    {0x672C, 0x96, 0x7B},  // 本
    {0x80FD, 0x94, 0x5C},  // 能
    {0x8868, 0x95, 0x5C},  // 表
    {0x8A9E, 0x8C, 0xEA},  // 語
};

// The bytes of one UTF-16 unit in the code page; empty when it has none.
std::string EncodeUnit(UINT codePage, char16_t unit) {
    if (unit < 0x80) return std::string(1, static_cast<char>(unit));
    if (codePage == 1252) {
        if (unit >= 0xA0 && unit <= 0xFF) return std::string(1, static_cast<char>(unit));
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == unit) return std::string(1, static_cast<char>(0x80 + i));
        return {};
    }
    if (unit >= 0xFF61 && unit <= 0xFF9F)
        return std::string(1, static_cast<char>(unit - 0xFF61 + 0xA1));
    for (const DoubleByte& entry : kCp932Table)
        if (entry.unit == unit) {
            return std::string{static_cast<char>(entry.lead), static_cast<char>(entry.trail)};
        }
    return {};
}

DWORD BuildNumber(DWORD major, DWORD minor) {
    if (major == 5 && minor == 0) return 2195;
    if (major == 5 && minor == 1) return 2600;
    if (major == 5 && minor == 2) return 3790;
    if (major == 6 && minor == 0) return 6000;
    if (major == 6 && minor == 1) return 7600;
    return 0;
}

}  // namespace

struct FakeWindows::State {
    mutable std::mutex mu;
    // Signals queued controls, answered controls, the service thread's end and status reports.
    std::condition_variable changed;
    // The function names are literals; a Call is built only when a test asks.
    struct RecordedCall {
        const char* function;
        std::string detail;
    };
    std::vector<RecordedCall> calls;
    ULONG_PTR nextHandle = 0x10000;

    // Registry
    std::shared_ptr<Key> root = std::make_shared<Key>();
    std::map<HKEY, OpenKey> keys;
    std::set<std::vector<std::string>> denied;  // upper-case native paths

    // Process and system
    bool wow64 = false;
    std::set<std::string> missingExports;
    OSVERSIONINFOEXA version{};
    bool extendedVersionFails = false;
    bool plainVersionFails = false;
    std::string modulePath = "C:\\Program Files\\Qarn\\QarnIEx.exe";
    bool modulePathFails = false;
    std::map<char, UINT> driveTypes;
    UINT codePage = 1252;
    std::map<std::thread::id, DWORD> lastError;
    std::map<std::thread::id, DWORD> threadIds;
    DWORD nextThreadId = 1000;

    // Service control manager
    std::vector<ServiceRecord> services;
    struct ScHandle {
        bool manager = false;
        std::string service;
    };
    std::map<SC_HANDLE, ScHandle> scHandles;
    DWORD scmOpenFails = 0;
    DWORD createServiceFails = 0;
    std::map<HANDLE, std::string> processHandles;  // handle -> name of the service

    // Dispatcher
    bool startedAsService = false;
    bool registerHandlerFails = false;
    bool dispatcherRunning = false;
    bool serviceEnded = false;
    std::thread::id dispatcherThread;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID handlerContext = nullptr;
    std::map<SERVICE_STATUS_HANDLE, std::string> statusHandles;
    std::deque<std::shared_ptr<PendingControl>> controls;
    std::vector<SERVICE_STATUS> statusReports;
    std::vector<DeviceRegistration> devices;

    // Event log and output
    std::map<HANDLE, std::string> eventSources;
    int eventSourceRegistrations = 0;
    bool registerEventSourceFails = false;
    std::vector<Event> events;
    std::vector<std::string> debugOutput;
    std::string stdoutText;

    template <typename H>
    H NewHandle() {
        nextHandle += 0x10;
        return reinterpret_cast<H>(nextHandle);
    }

    State() { calls.reserve(4096); }

    void Record(const char* function) { calls.push_back({function, std::string()}); }
    void Record(const char* function, std::string detail) {
        calls.push_back({function, std::move(detail)});
    }
    // "<first> <second>", built in one allocation.
    void Record(const char* function, const std::string& first, const std::string& second) {
        std::string detail;
        detail.reserve(first.size() + 1 + second.size());
        detail.append(first).append(1, ' ').append(second);
        calls.push_back({function, std::move(detail)});
    }
    void Record(const char* function, const std::string& first, DWORD number) {
        char digits[16];
        const char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        std::string detail;
        detail.reserve(first.size() + 1 + static_cast<size_t>(end - digits));
        detail.append(first).append(1, ' ').append(digits, static_cast<size_t>(end - digits));
        calls.push_back({function, std::move(detail)});
    }

    // Text as the current code page cuts it into characters.
    std::string Upper(const std::string& text) const { return ::Upper(text, codePage); }
    std::vector<std::string> SplitPath(const std::string& path) const {
        return ::SplitPath(path, codePage);
    }
    std::vector<std::string> UpperPath(std::vector<std::string> parts) const {
        for (std::string& part : parts) part = Upper(part);
        return parts;
    }
    bool EqualsNoCase(const std::string& a, const std::string& b) const {
        return Upper(a) == Upper(b);
    }

    void Fail(DWORD error) { lastError[std::this_thread::get_id()] = error; }

    // ---- Registry -----------------------------------------------------------

    std::shared_ptr<Key> Find(const std::vector<std::string>& parts) const {
        const std::shared_ptr<Key>* key = &root;
        for (const std::string& part : parts) {
            auto it = (*key)->subkeys.find(Upper(part));
            if (it == (*key)->subkeys.end()) return nullptr;
            key = &it->second;
        }
        return *key;
    }

    // Also puts the stored names of the keys found into `parts`.
    std::shared_ptr<Key> FindNamed(std::vector<std::string>& parts) const {
        const std::shared_ptr<Key>* key = &root;
        for (std::string& part : parts) {
            auto it = (*key)->subkeys.find(Upper(part));
            if (it == (*key)->subkeys.end()) return nullptr;
            key = &it->second;
            part = (*key)->name;
        }
        return *key;
    }

    // Creates every missing key; fills in the stored names of the existing ones.
    std::shared_ptr<Key> Create(std::vector<std::string>& parts, bool* created) {
        std::shared_ptr<Key> key = root;
        if (created) *created = false;
        for (std::string& part : parts) {
            std::shared_ptr<Key>& slot = key->AddSubkey(Upper(part));
            if (!slot) {
                slot = std::make_shared<Key>();
                slot->name = part;
                if (created) *created = true;
            }
            part = slot->name;
            key = slot;
        }
        return key;
    }

    bool IsDenied(const std::vector<std::string>& parts) const {
        return !denied.empty() && denied.count(UpperPath(parts)) != 0;
    }

    // Whether the 32-bit view applies to an access mask.
    bool Redirects(REGSAM access) const {
        if (!wow64) return false;
        return (access & KEY_WOW64_32KEY) != 0 || (access & KEY_WOW64_64KEY) == 0;
    }

    void Redirect(std::vector<std::string>& parts) const {
        if (parts.size() >= 2 && Upper(parts[0]) == "SOFTWARE" && Upper(parts[1]) != "WOW6432NODE")
            parts.insert(parts.begin() + 1, "Wow6432Node");
    }

    // The open key behind a handle; HKEY_LOCAL_MACHINE is always open.
    OpenKey machine;

    OpenKey* Lookup(HKEY key) {
        if (key == HKEY_LOCAL_MACHINE) {
            machine = OpenKey{root, {}, "", KEY_ALL_ACCESS};
            return &machine;
        }
        auto it = keys.find(key);
        return it == keys.end() ? nullptr : &it->second;
    }

    struct Target {
        OpenKey* base = nullptr;
        std::vector<std::string> native;
        std::string requested;
    };

    // Resolves key + subKey into a native path, choosing the view by `access`.
    LONG Resolve(HKEY key, LPCSTR subKey, REGSAM access, Target& target) {
        target.base = Lookup(key);
        if (!target.base) return ERROR_INVALID_HANDLE;
        if (target.base->key->deleted) return kErrorKeyDeleted;
        std::string sub = subKey ? subKey : "";
        if (!sub.empty() && sub[0] == '\\') return kErrorBadPathname;
        target.native = target.base->native;
        for (const std::string& part : SplitPath(sub)) target.native.push_back(part);
        if (Redirects(access)) Redirect(target.native);
        return ERROR_SUCCESS;
    }

    static std::string Requested(LPCSTR subKey, const OpenKey* base) {
        std::string path = base ? base->requested : std::string();
        std::string sub = subKey ? subKey : "";
        if (!path.empty() && !sub.empty()) path += '\\';
        return path + sub;
    }

    LONG OpenOrCreate(const char* function, HKEY key, LPCSTR subKey, REGSAM access, bool create,
                      PHKEY result, LPDWORD disposition) {
        OpenKey* base = Lookup(key);
        std::string requested = Requested(subKey, base);
        Record(function, requested, Hex(access));
        if (!result) return ERROR_INVALID_PARAMETER;
        Target target;
        LONG error = Resolve(key, subKey, access, target);
        if (error != ERROR_SUCCESS) return error;

        std::shared_ptr<Key> found = FindNamed(target.native);
        if (!found) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            // A missing key may not be made below (or as) a key we may not touch.
            std::vector<std::string> prefix;
            for (const std::string& part : target.native) {
                prefix.push_back(part);
                if (IsDenied(prefix)) return ERROR_ACCESS_DENIED;
            }
        } else if (IsDenied(target.native)) {
            return ERROR_ACCESS_DENIED;
        }
        bool created = false;
        std::shared_ptr<Key> opened = found ? found : Create(target.native, &created);
        HKEY handle = NewHandle<HKEY>();
        keys[handle] = OpenKey{opened, target.native, requested, access};
        *result = handle;
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    }

    LONG DeleteKey(const char* function, HKEY key, LPCSTR subKey, REGSAM access, bool showAccess) {
        OpenKey* base = Lookup(key);
        std::string requested = Requested(subKey, base);
        if (showAccess)
            Record(function, requested, Hex(access));
        else
            Record(function, requested);
        if (!subKey) return ERROR_INVALID_PARAMETER;
        Target target;
        LONG error = Resolve(key, subKey, access, target);
        if (error != ERROR_SUCCESS) return error;
        if (target.native.empty()) return ERROR_ACCESS_DENIED;  // the hive root
        std::vector<std::string> parentPath(target.native.begin(), target.native.end() - 1);
        std::shared_ptr<Key> parent = Find(parentPath);
        if (!parent) return ERROR_FILE_NOT_FOUND;
        auto it = parent->subkeys.find(Upper(target.native.back()));
        if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        if (IsDenied(target.native) || !it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
        MarkDeleted(*it->second);
        parent->EraseSubkey(it);
        return ERROR_SUCCESS;
    }

    // ---- Services -----------------------------------------------------------

    ServiceRecord* FindRecord(const std::string& name) {
        for (ServiceRecord& record : services)
            if (EqualsNoCase(record.name, name)) return &record;
        return nullptr;
    }

    // The record behind a service handle; sets the error when there is none.
    ServiceRecord* ServiceOf(SC_HANDLE handle) {
        auto it = scHandles.find(handle);
        if (it == scHandles.end() || it->second.manager) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        ServiceRecord* record = FindRecord(it->second.service);
        if (!record) Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
        return record;
    }

    bool IsManager(SC_HANDLE handle) const {
        auto it = scHandles.find(handle);
        return it != scHandles.end() && it->second.manager;
    }

    static void FillStatus(const ServiceRecord& record, SERVICE_STATUS* status) {
        if (!status) return;
        *status = SERVICE_STATUS{};
        status->dwServiceType = record.serviceType;
        status->dwCurrentState = record.state;
        status->dwControlsAccepted = record.state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
    }
};

// ---- Test set-up and inspection ----------------------------------------------

std::string FakeWindows::RegValue::AsString() const {
    auto nul = std::find(data.begin(), data.end(), BYTE{0});
    return std::string(data.begin(), nul);
}

FakeWindows::FakeWindows() : state_(std::make_unique<State>()) {
    SetVersion(5, 1, VER_NT_WORKSTATION, VER_PLATFORM_WIN32_NT);
    state_->version.wServicePackMajor = 2;
    std::strcpy(state_->version.szCSDVersion, "Service Pack 2");
    state_->version.wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS, as on XP Professional
}

FakeWindows::~FakeWindows() = default;

void FakeWindows::CreateKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    state_->Create(parts, nullptr);
}

void FakeWindows::SetValue(const std::string& path, const std::string& name, DWORD type,
                           const std::vector<BYTE>& data) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    std::shared_ptr<Key> key = state_->Create(parts, nullptr);
    key->values[state_->Upper(name)] = {name, RegValue{type, data}};
}

void FakeWindows::SetString(const std::string& path, const std::string& name,
                            const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    SetValue(path, name, REG_SZ, data);
}

void FakeWindows::SetDword(const std::string& path, const std::string& name, DWORD value) {
    std::vector<BYTE> data(4);
    for (int i = 0; i < 4; ++i) data[i] = static_cast<BYTE>(value >> (8 * i));
    SetValue(path, name, REG_DWORD, data);
}

void FakeWindows::SetBinary(const std::string& path, const std::string& name,
                            const std::vector<BYTE>& data) {
    SetValue(path, name, REG_BINARY, data);
}

void FakeWindows::SetMountRecord(char letter, const std::string& text) {
    std::u16string units;
    for (char c : text) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    std::string name = "\\DosDevices\\";
    name += letter;
    name += ':';
    SetBinary("SYSTEM\\MountedDevices", name, Utf16Bytes(units));
}

std::vector<BYTE> FakeWindows::Utf16Bytes(const std::u16string& text) {
    std::vector<BYTE> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

bool FakeWindows::KeyExists(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->Find(state_->SplitPath(path)) != nullptr;
}

std::optional<FakeWindows::RegValue> FakeWindows::GetValue(const std::string& path,
                                                           const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::shared_ptr<Key> key = state_->Find(state_->SplitPath(path));
    if (!key) return std::nullopt;
    auto it = key->values.find(state_->Upper(name));
    if (it == key->values.end()) return std::nullopt;
    return it->second.second;
}

std::vector<std::string> FakeWindows::SubkeyNames(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> names;
    if (std::shared_ptr<Key> key = state_->Find(state_->SplitPath(path)))
        for (const auto& entry : key->subkeys) names.push_back(entry.second->name);
    return names;
}

namespace {
void CollectBelow(const Key& key, const std::string& prefix, std::vector<std::string>& out) {
    for (const auto& entry : key.subkeys) {
        std::string path = prefix.empty() ? entry.second->name : prefix + "\\" + entry.second->name;
        out.push_back(path);
        CollectBelow(*entry.second, path, out);
    }
}
}  // namespace

std::vector<std::string> FakeWindows::KeysBelow(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> out;
    std::vector<std::string> parts = state_->SplitPath(path);
    std::shared_ptr<Key> key = state_->Find(parts);
    if (!key) return out;
    // Report the path in the case the keys were created with.
    std::shared_ptr<Key> walk = state_->root;
    for (std::string& part : parts) {
        walk = walk->subkeys.at(state_->Upper(part));
        part = walk->name;
    }
    CollectBelow(*key, JoinPath(parts), out);
    return out;
}

void FakeWindows::DeleteTree(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    if (parts.empty()) return;
    std::vector<std::string> parentPath(parts.begin(), parts.end() - 1);
    std::shared_ptr<Key> parent = state_->Find(parentPath);
    if (!parent) return;
    auto it = parent->subkeys.find(state_->Upper(parts.back()));
    if (it == parent->subkeys.end()) return;
    MarkDeleted(*it->second);
    parent->EraseSubkey(it);
}

void FakeWindows::DenyAccess(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->denied.insert(state_->UpperPath(state_->SplitPath(path)));
}

size_t FakeWindows::OpenKeyCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->keys.size();
}

void FakeWindows::SetWow64Process(bool wow64) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->wow64 = wow64;
}

void FakeWindows::SetExportPresent(const std::string& procName, bool present) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (present)
        state_->missingExports.erase(procName);
    else
        state_->missingExports.insert(procName);
}

void FakeWindows::SetVersion(DWORD major, DWORD minor, BYTE productType, DWORD platformId) {
    std::lock_guard<std::mutex> lock(state_->mu);
    OSVERSIONINFOEXA& v = state_->version;
    v = OSVERSIONINFOEXA{};
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = BuildNumber(major, minor);
    v.dwPlatformId = platformId;
    v.wProductType = productType;
}

void FakeWindows::SetVersionFailures(bool extendedFails, bool plainFails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->extendedVersionFails = extendedFails;
    state_->plainVersionFails = plainFails;
}

void FakeWindows::SetModulePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modulePath = path;
}

void FakeWindows::SetModulePathFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modulePathFails = fails;
}

void FakeWindows::SetDriveType(char letter, UINT type) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->driveTypes[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = type;
}

void FakeWindows::SetCodePage(UINT codePage) {
    if (codePage != 1252 && codePage != 932) TestBug("SetCodePage: only 1252 and 932 are known");
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->codePage = codePage;
}

std::vector<FakeWindows::Call> FakeWindows::Calls() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<Call> calls;
    calls.reserve(state_->calls.size());
    for (const State::RecordedCall& call : state_->calls)
        calls.push_back({call.function, call.detail});
    return calls;
}

size_t FakeWindows::CountCalls(const std::string& function) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(state_->calls.begin(), state_->calls.end(),
                         [&](const State::RecordedCall& call) {
                             return function == call.function;
                         });
}

size_t FakeWindows::CountCallsWithPrefix(const std::string& functionPrefix) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(state_->calls.begin(), state_->calls.end(),
                         [&](const State::RecordedCall& call) {
                             return std::strncmp(call.function, functionPrefix.c_str(),
                                                 functionPrefix.size()) == 0;
                         });
}

void FakeWindows::ClearCalls() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->calls.clear();
}

void FakeWindows::AddService(const ServiceRecord& record) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (ServiceRecord* existing = state_->FindRecord(record.name))
        *existing = record;
    else
        state_->services.push_back(record);
}

std::optional<FakeWindows::ServiceRecord> FakeWindows::FindService(const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    for (const ServiceRecord& record : state_->services)
        if (state_->EqualsNoCase(record.name, name)) return record;
    return std::nullopt;
}

void FakeWindows::UpdateService(const ServiceRecord& record) {
    std::lock_guard<std::mutex> lock(state_->mu);
    ServiceRecord* existing = state_->FindRecord(record.name);
    if (!existing) TestBug("UpdateService: no such service; use AddService");
    *existing = record;
}

void FakeWindows::SetScmOpenFails(DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->scmOpenFails = error;
}

void FakeWindows::SetCreateServiceFails(DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->createServiceFails = error;
}

size_t FakeWindows::OpenServiceHandleCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->scHandles.size();
}

size_t FakeWindows::OpenProcessHandleCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->processHandles.size();
}

void FakeWindows::SetStartedAsService(bool started) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->startedAsService = started;
}

void FakeWindows::SetRegisterHandlerFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->registerHandlerFails = fails;
}

DWORD FakeWindows::SendControl(DWORD control, DWORD eventType, LPVOID eventData) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    if (!s.dispatcherRunning) return ERROR_SERVICE_NOT_ACTIVE;
    if (std::this_thread::get_id() == s.dispatcherThread)
        TestBug("SendControl on the dispatcher thread would wait for itself; use PostControl");
    auto pending = std::make_shared<PendingControl>();
    pending->control = control;
    pending->eventType = eventType;
    pending->eventData = eventData;
    s.controls.push_back(pending);
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return pending->answered; });
    return pending->result;
}

void FakeWindows::PostControl(DWORD control, DWORD eventType, LPVOID eventData) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto pending = std::make_shared<PendingControl>();
    pending->control = control;
    pending->eventType = eventType;
    pending->eventData = eventData;
    state_->controls.push_back(pending);
    state_->changed.notify_all();
}

bool FakeWindows::WaitForReportedState(DWORD state) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    return s.changed.wait_for(lock, std::chrono::seconds(10), [&] {
        return std::any_of(s.statusReports.begin(), s.statusReports.end(),
                           [&](const SERVICE_STATUS& r) { return r.dwCurrentState == state; });
    });
}

std::vector<SERVICE_STATUS> FakeWindows::StatusReports() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->statusReports;
}

std::vector<FakeWindows::DeviceRegistration> FakeWindows::DeviceRegistrations() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->devices;
}

std::vector<FakeWindows::Event> FakeWindows::Events() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->events;
}

int FakeWindows::EventSourceRegistrations() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->eventSourceRegistrations;
}

int FakeWindows::OpenEventSourceCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return static_cast<int>(state_->eventSources.size());
}

void FakeWindows::SetRegisterEventSourceFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->registerEventSourceFails = fails;
}

std::vector<std::string> FakeWindows::DebugOutput() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->debugOutput;
}

std::string FakeWindows::Stdout() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->stdoutText;
}

// ---- Registry -------------------------------------------------------------------

LONG FakeWindows::RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                  DWORD options, REGSAM access, LPVOID securityAttributes,
                                  PHKEY result, LPDWORD disposition) {
    (void)keyClass;
    (void)securityAttributes;
    std::lock_guard<std::mutex> lock(state_->mu);
    if (reserved != 0 || options != REG_OPTION_NON_VOLATILE) {
        state_->Record("RegCreateKeyExA", State::Requested(subKey, state_->Lookup(key)),
                       Hex(access));
        return ERROR_INVALID_PARAMETER;
    }
    return state_->OpenOrCreate("RegCreateKeyExA", key, subKey, access, true, result, disposition);
}

LONG FakeWindows::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                PHKEY result) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (options != 0) {
        state_->Record("RegOpenKeyExA", State::Requested(subKey, state_->Lookup(key)),
                       Hex(access));
        return ERROR_INVALID_PARAMETER;
    }
    return state_->OpenOrCreate("RegOpenKeyExA", key, subKey, access, false, result, nullptr);
}

LONG FakeWindows::RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->OpenOrCreate("RegCreateKeyA", key, subKey, KEY_ALL_ACCESS, true, result,
                                nullptr);
}

LONG FakeWindows::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                                PFILETIME lastWriteTime) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    OpenKey* open = s.Lookup(key);
    s.Record("RegEnumKeyExA", open ? open->requested : std::string("?"), index);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!name || !nameLength || reserved) return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return kErrorKeyDeleted;
    if (!(open->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    if (index >= open->key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& found = open->key->SubkeyAt(index)->second->name;
    if (found.size() + 1 > *nameLength) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameLength = static_cast<DWORD>(found.size());
    if (keyClass && classLength && *classLength > 0) keyClass[0] = '\0';
    if (classLength) *classLength = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0xD53E8000u, 0x01C6E1A0u};  // a day in 2006
    return ERROR_SUCCESS;
}

LONG FakeWindows::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD dataSize) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    OpenKey* open = s.Lookup(key);
    std::string name = valueName ? valueName : "";
    s.Record("RegQueryValueExA", open ? open->requested : std::string("?"), name);
    if (!open) return ERROR_INVALID_HANDLE;
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return kErrorKeyDeleted;
    if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto it = open->key->values.find(s.Upper(name));
    if (it == open->key->values.end()) return ERROR_FILE_NOT_FOUND;
    const RegValue& value = it->second.second;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (type) *type = value.type;
    if (!data) {
        if (dataSize) *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (size > *dataSize) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0) std::memcpy(data, value.data.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG FakeWindows::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD dataSize) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    OpenKey* open = s.Lookup(key);
    std::string name = valueName ? valueName : "";
    s.Record("RegSetValueExA", open ? open->requested : std::string("?"), name);
    if (!open) return ERROR_INVALID_HANDLE;
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (!data && dataSize) return kErrorNoAccess;
    if (open->key->deleted) return kErrorKeyDeleted;
    if (!(open->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    RegValue value;
    value.type = type;
    if (dataSize) value.data.assign(data, data + dataSize);
    open->key->values[s.Upper(name)] = {name, value};
    return ERROR_SUCCESS;
}

LONG FakeWindows::RegCloseKey(HKEY key) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.keys.find(key);
    s.Record("RegCloseKey", it != s.keys.end() ? it->second.requested : std::string("?"));
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    if (it == s.keys.end()) return ERROR_INVALID_HANDLE;
    s.keys.erase(it);
    return ERROR_SUCCESS;
}

LONG FakeWindows::RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->DeleteKey("RegDeleteKeyA", key, subKey, 0, false);
}

// ---- Run-time look-up ---------------------------------------------------------------

HMODULE FakeWindows::GetModuleHandleA(LPCSTR moduleName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetModuleHandleA", moduleName ? moduleName : "");
    if (!moduleName) return kExeModule;
    std::string name = s.Upper(moduleName);
    if (name == "KERNEL32" || name == "KERNEL32.DLL") return kKernel32;
    if (name == "ADVAPI32" || name == "ADVAPI32.DLL") return kAdvapi32;
    s.Fail(kErrorModNotFound);
    return nullptr;
}

FARPROC FakeWindows::GetProcAddress(HMODULE module, LPCSTR procName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    // Values below 64K are ordinals, not names.
    bool byName = reinterpret_cast<ULONG_PTR>(procName) >= 0x10000;
    std::string name = byName ? procName : "";
    s.Record("GetProcAddress", name);
    if (module != kKernel32 && module != kAdvapi32 && module != kExeModule) {
        s.Fail(kErrorModNotFound);
        return nullptr;
    }
    if (!s.missingExports.count(name)) {
        // Export names are case-sensitive.
        if (module == kKernel32 && name == "IsWow64Process") return &IsWow64ProcessExport;
        if (module == kAdvapi32 && name == "RegDeleteKeyExA") return &RegDeleteKeyExAExport;
    }
    s.Fail(kErrorProcNotFound);
    return nullptr;
}

HANDLE FakeWindows::GetCurrentProcess() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetCurrentProcess");
    return kCurrentProcess;
}

BOOL FakeWindows::CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) {
    if (isWow64Process != &IsWow64ProcessExport)
        TestBug("CallIsWow64Process with something GetProcAddress did not return for it");
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("IsWow64Process");
    if (process != kCurrentProcess) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!wow64) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64 = s.wow64 ? TRUE : FALSE;
    return TRUE;
}

LONG FakeWindows::CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey,
                                      REGSAM access, DWORD reserved) {
    if (regDeleteKeyExA != &RegDeleteKeyExAExport)
        TestBug("CallRegDeleteKeyExA with something GetProcAddress did not return for it");
    std::lock_guard<std::mutex> lock(state_->mu);
    if (reserved != 0) {
        state_->Record("RegDeleteKeyExA", State::Requested(subKey, state_->Lookup(key)),
                       Hex(access));
        return ERROR_INVALID_PARAMETER;
    }
    return state_->DeleteKey("RegDeleteKeyExA", key, subKey, access, true);
}

// ---- Service control manager --------------------------------------------------------

SC_HANDLE FakeWindows::OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD access) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("OpenSCManagerA", Hex(access));
    if (machineName || databaseName) {
        // Only the local machine's active database exists here.
        s.Fail(machineName ? kErrorInvalidName : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.scmOpenFails) {
        s.Fail(s.scmOpenFails);
        return nullptr;
    }
    SC_HANDLE handle = s.NewHandle<SC_HANDLE>();
    s.scHandles[handle] = State::ScHandle{true, ""};
    return handle;
}

SC_HANDLE FakeWindows::CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                      DWORD access, DWORD serviceType, DWORD startType,
                                      DWORD errorControl, LPCSTR binaryPathName,
                                      LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                                      LPCSTR serviceStartName, LPCSTR password) {
    (void)access;
    (void)loadOrderGroup;
    (void)dependencies;
    (void)password;
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("CreateServiceA", serviceName ? serviceName : "");
    if (!s.IsManager(manager)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceName || !*serviceName || !binaryPathName || !*binaryPathName ||
        (tagId && !loadOrderGroup)) {
        s.Fail(serviceName && *serviceName ? ERROR_INVALID_PARAMETER : kErrorInvalidName);
        return nullptr;
    }
    if (s.createServiceFails) {
        s.Fail(s.createServiceFails);
        return nullptr;
    }
    if (s.FindRecord(serviceName)) {
        s.Fail(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    ServiceRecord record;
    record.name = serviceName;
    record.displayName = displayName ? displayName : serviceName;
    record.serviceType = serviceType;
    record.startType = startType;
    record.errorControl = errorControl;
    record.imagePath = binaryPathName;
    record.account = serviceStartName ? serviceStartName : "";
    s.services.push_back(record);
    SC_HANDLE handle = s.NewHandle<SC_HANDLE>();
    s.scHandles[handle] = State::ScHandle{false, record.name};
    return handle;
}

SC_HANDLE FakeWindows::OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("OpenServiceA", serviceName ? serviceName : "", Hex(access));
    if (!s.IsManager(manager)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!serviceName) {
        s.Fail(kErrorInvalidName);
        return nullptr;
    }
    ServiceRecord* record = s.FindRecord(serviceName);
    if (!record) {
        s.Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    SC_HANDLE handle = s.NewHandle<SC_HANDLE>();
    s.scHandles[handle] = State::ScHandle{false, record->name};
    return handle;
}

BOOL FakeWindows::ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("ControlService", std::to_string(control));
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (!status) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->state == SERVICE_STOPPED) {
        s.Fail(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (control == SERVICE_CONTROL_STOP) {
        if (record->refuseStop) {
            s.Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
            return FALSE;
        }
        record->state = record->queriesUntilStopped <= 0 ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
    }
    State::FillStatus(*record, status);
    return TRUE;
}

BOOL FakeWindows::QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("QueryServiceStatus");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (!status) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->queryFails) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (record->state == SERVICE_STOP_PENDING && --record->queriesUntilStopped <= 0) {
        record->queriesUntilStopped = 0;
        record->state = SERVICE_STOPPED;
    }
    State::FillStatus(*record, status);
    return TRUE;
}

BOOL FakeWindows::QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel,
                                       LPBYTE buffer, DWORD bufferSize, LPDWORD bytesNeeded) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("QueryServiceStatusEx");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (infoLevel != SC_STATUS_PROCESS_INFO || !bytesNeeded) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (record->queryFails) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SERVICE_STATUS plain;
    State::FillStatus(*record, &plain);
    SERVICE_STATUS_PROCESS status{};
    std::memcpy(&status, &plain, sizeof plain);
    status.dwProcessId = record->state == SERVICE_STOPPED ? 0 : record->processId;
    std::memcpy(buffer, &status, sizeof status);
    return TRUE;
}

BOOL FakeWindows::DeleteService(SC_HANDLE service) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("DeleteService");
    ServiceRecord* record = s.ServiceOf(service);
    if (!record) return FALSE;
    if (record->deleteFails) {
        s.Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    s.services.erase(s.services.begin() + (record - s.services.data()));
    return TRUE;
}

BOOL FakeWindows::CloseServiceHandle(SC_HANDLE handle) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("CloseServiceHandle");
    if (!s.scHandles.erase(handle)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- Dispatcher ---------------------------------------------------------------------

BOOL FakeWindows::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    s.Record("StartServiceCtrlDispatcherA",
             table && table->lpServiceName ? table->lpServiceName : "");
    if (!table || !table->lpServiceName || !table->lpServiceProc) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!s.startedAsService) {
        s.Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    if (s.dispatcherRunning) {
        s.Fail(kErrorServiceAlreadyRunning);
        return FALSE;
    }
    s.dispatcherRunning = true;
    s.serviceEnded = false;
    s.dispatcherThread = std::this_thread::get_id();
    s.handler = nullptr;
    s.handlerContext = nullptr;

    std::string name = table->lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = table->lpServiceProc;
    std::thread serviceThread([this, name, serviceMain] {
        std::string arg = name;
        LPSTR argv[] = {&arg[0], nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> done(state_->mu);
        state_->serviceEnded = true;
        state_->changed.notify_all();
    });

    for (;;) {
        s.changed.wait(lock, [&] { return (!s.controls.empty() && s.handler) || s.serviceEnded; });
        if (s.controls.empty() || !s.handler) break;
        std::shared_ptr<PendingControl> pending = s.controls.front();
        s.controls.pop_front();
        LPHANDLER_FUNCTION_EX handler = s.handler;
        LPVOID context = s.handlerContext;
        lock.unlock();
        DWORD result = handler(pending->control, pending->eventType, pending->eventData, context);
        lock.lock();
        pending->result = result;
        pending->answered = true;
        s.changed.notify_all();
    }
    // The service is gone: whatever is still queued never reaches a handler.
    for (auto& pending : s.controls) {
        pending->result = ERROR_SERVICE_NOT_ACTIVE;
        pending->answered = true;
    }
    s.controls.clear();
    s.dispatcherRunning = false;
    s.dispatcherThread = std::thread::id();
    s.changed.notify_all();
    lock.unlock();
    serviceThread.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE FakeWindows::RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                                 LPHANDLER_FUNCTION_EX handler,
                                                                 LPVOID context) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegisterServiceCtrlHandlerExA", serviceName ? serviceName : "");
    if (!serviceName || !handler) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.registerHandlerFails) {
        s.Fail(kErrorInvalidName);
        return nullptr;
    }
    s.handler = handler;
    s.handlerContext = context;
    SERVICE_STATUS_HANDLE handle = s.NewHandle<SERVICE_STATUS_HANDLE>();
    s.statusHandles[handle] = serviceName;
    s.changed.notify_all();
    return handle;
}

BOOL FakeWindows::SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("SetServiceStatus", status ? std::to_string(status->dwCurrentState) : "");
    auto it = s.statusHandles.find(handle);
    if (it == s.statusHandles.end()) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!status) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    s.statusReports.push_back(*status);
    if (ServiceRecord* record = s.FindRecord(it->second)) record->state = status->dwCurrentState;
    s.changed.notify_all();
    return TRUE;
}

HDEVNOTIFY FakeWindows::RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegisterDeviceNotificationA", Hex(flags));
    if (!filter) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DEV_BROADCAST_DEVICEINTERFACE_A copy;
    std::memcpy(&copy, filter, sizeof copy);
    if (copy.dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || copy.dbcc_size < sizeof copy) {
        s.Fail(kErrorInvalidData);
        return nullptr;
    }
    if ((flags & DEVICE_NOTIFY_SERVICE_HANDLE) &&
        !s.statusHandles.count(static_cast<SERVICE_STATUS_HANDLE>(recipient))) {
        s.Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    s.devices.push_back({recipient, flags, copy});
    return s.NewHandle<HDEVNOTIFY>();
}

// ---- Event log ----------------------------------------------------------------------

HANDLE FakeWindows::RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegisterEventSourceA", sourceName ? sourceName : "");
    if (serverName || !sourceName) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (s.registerEventSourceFails) {
        s.Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++s.eventSourceRegistrations;
    HANDLE handle = s.NewHandle<HANDLE>();
    s.eventSources[handle] = sourceName;
    return handle;
}

BOOL FakeWindows::ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                               PSID userSid, WORD numStrings, DWORD dataSize, LPCSTR* strings,
                               LPVOID rawData) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("ReportEventA", std::to_string(eventId));
    auto it = s.eventSources.find(eventLog);
    if (it == s.eventSources.end()) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((numStrings && !strings) || (dataSize && !rawData)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Event event{it->second, type, category, eventId, userSid != nullptr, dataSize, {}};
    for (WORD i = 0; i < numStrings; ++i) {
        if (!strings[i]) {
            s.Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        event.strings.push_back(strings[i]);
    }
    s.events.push_back(event);
    return TRUE;
}

BOOL FakeWindows::DeregisterEventSource(HANDLE eventLog) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("DeregisterEventSource");
    if (!s.eventSources.erase(eventLog)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- System queries -------------------------------------------------------------------

BOOL FakeWindows::GetVersionExA(OSVERSIONINFOA* versionInfo) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    DWORD size = versionInfo ? versionInfo->dwOSVersionInfoSize : 0;
    s.Record("GetVersionExA", std::to_string(size));
    if (!versionInfo) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    bool extended = size == sizeof(OSVERSIONINFOEXA);
    if (extended ? s.extendedVersionFails : s.plainVersionFails) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The two records share their first 148 bytes.
    std::memcpy(versionInfo, &s.version, size);
    versionInfo->dwOSVersionInfoSize = size;
    return TRUE;
}

UINT FakeWindows::GetDriveTypeA(LPCSTR rootPathName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetDriveTypeA", rootPathName ? rootPathName : "");
    if (!rootPathName) return DRIVE_FIXED;  // the current directory's drive, C:
    std::string path = rootPathName;
    if (path.size() != 3 || path[1] != ':' || path[2] != '\\' ||
        !std::isalpha(static_cast<unsigned char>(path[0])))
        return DRIVE_NO_ROOT_DIR;
    auto it =
        s.driveTypes.find(static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))));
    return it == s.driveTypes.end() ? DRIVE_NO_ROOT_DIR : it->second;
}

DWORD FakeWindows::GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetModuleFileNameA", std::to_string(size));
    if (module && module != kExeModule) {
        s.Fail(kErrorModNotFound);
        return 0;
    }
    if (s.modulePathFails) {
        s.Fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (size == 0 || !fileName) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const std::string& path = s.modulePath;
    if (path.size() < size) {
        std::memcpy(fileName, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    // Truncated the Vista way: cut, still terminated, and reported as the full size.
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    s.Fail(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

int FakeWindows::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                                     LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                                     LPBOOL usedDefaultChar) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("WideCharToMultiByte");
    UINT page = codePage == CP_ACP ? s.codePage : codePage;
    if (page != 1252 && page != 932) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        s.Fail(kErrorInvalidFlags);
        return 0;
    }
    if (!wideText || wideLength == 0 || wideLength < -1 || multiByteSize < 0 ||
        (multiByteSize > 0 && !multiByteText)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = 0;
    if (wideLength == -1) {
        while (wideText[count] != 0) ++count;
        ++count;  // the terminator is converted too
    } else {
        count = static_cast<size_t>(wideLength);
    }

    std::string fallback = defaultChar ? std::string(1, *defaultChar) : std::string("?");
    std::vector<std::string> chars;
    bool usedDefault = false;
    for (size_t i = 0; i < count; ++i) {
        char16_t unit = wideText[i];
        std::string bytes = EncodeUnit(page, unit);
        if (bytes.empty()) {
            // A surrogate pair is one character and gets one default char.
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && wideText[i + 1] >= 0xDC00 &&
                wideText[i + 1] <= 0xDFFF)
                ++i;
            bytes = fallback;
            usedDefault = true;
        }
        chars.push_back(bytes);
    }
    size_t needed = 0;
    for (const std::string& c : chars) needed += c.size();

    if (multiByteSize == 0) {
        if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
        return static_cast<int>(needed);
    }
    // Whole characters only, as far as they fit; then report the shortfall.
    size_t written = 0;
    for (const std::string& c : chars) {
        if (written + c.size() > static_cast<size_t>(multiByteSize)) break;
        std::memcpy(multiByteText + written, c.data(), c.size());
        written += c.size();
    }
    if (written < needed) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(needed);
}

BOOL FakeWindows::IsDBCSLeadByte(BYTE testChar) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("IsDBCSLeadByte");
    return IsLeadByte(state_->codePage, testChar) ? TRUE : FALSE;
}

DWORD FakeWindows::GetLastError() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetLastError");
    auto it = state_->lastError.find(std::this_thread::get_id());
    return it == state_->lastError.end() ? 0 : it->second;
}

void FakeWindows::SetLastError(DWORD errorCode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("SetLastError", std::to_string(errorCode));
    state_->Fail(errorCode);
}

void FakeWindows::Sleep(DWORD milliseconds) {
    (void)milliseconds;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->Record("Sleep");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

DWORD FakeWindows::SleepEx(DWORD milliseconds, BOOL alertable) {
    (void)milliseconds;
    (void)alertable;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->Record("SleepEx");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

DWORD FakeWindows::GetCurrentThreadId() {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetCurrentThreadId");
    auto inserted = s.threadIds.emplace(std::this_thread::get_id(), s.nextThreadId);
    if (inserted.second) s.nextThreadId += 4;  // Windows thread ids are multiples of four
    return inserted.first->second;
}

HANDLE FakeWindows::OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    (void)access;
    (void)inheritHandle;
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("OpenProcess", std::to_string(processId));
    for (const ServiceRecord& record : s.services) {
        if (processId == 0 || record.processId != processId || record.state == SERVICE_STOPPED)
            continue;
        HANDLE handle = s.NewHandle<HANDLE>();
        s.processHandles[handle] = record.name;
        return handle;
    }
    s.Fail(ERROR_INVALID_PARAMETER);  // what Windows says for an id of no process
    return nullptr;
}

DWORD FakeWindows::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("WaitForSingleObject", std::to_string(milliseconds));
    auto it = s.processHandles.find(handle);
    if (it == s.processHandles.end()) {
        s.Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // A deleted service's process has ended with it.
    const ServiceRecord* record = s.FindRecord(it->second);
    if (!record) return WAIT_OBJECT_0;
    return record->state == SERVICE_STOPPED && !record->processOutlivesStop ? WAIT_OBJECT_0
                                                                            : WAIT_TIMEOUT;
}

BOOL FakeWindows::CloseHandle(HANDLE handle) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("CloseHandle");
    if (!s.processHandles.erase(handle)) {
        s.Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void FakeWindows::OutputDebugStringA(LPCSTR text) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("OutputDebugStringA");
    if (text) state_->debugOutput.push_back(text);
}

void FakeWindows::WriteStdout(LPCSTR text) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("WriteStdout");
    if (text) state_->stdoutText += text;
}
