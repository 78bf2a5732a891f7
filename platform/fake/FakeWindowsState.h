// The state that every subsystem of FakeWindows shares, behind the one lock.
// Private to platform/fake: each FakeWindows*.cpp file implements one
// subsystem's members on top of it.
#pragma once

#include <charconv>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fake/FakeWindows.h"

namespace fakewindows {

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

// A misuse of the substitute by a test: reported and aborted.
[[noreturn]] void TestBug(const char* message);

std::string Hex(DWORD value);  // "0x" and lower-case hex digits

// ---- Code pages (FakeCodePages.cpp) -------------------------------------------

bool IsLeadByte(UINT codePage, BYTE byte);
// Bytes of the character at `pos`. A lead byte at the end, or before a NUL,
// stands alone.
size_t CharLength(UINT codePage, const std::string& text, size_t pos);
// 'a'..'z' upper-cased per character of the code page (never a trail byte).
std::string Upper(std::string text, UINT codePage);
// One character of the code page (`length` bytes at `pos`) as UTF-16.
// Double-byte characters the substitute does not know come back as their code.
char16_t DecodeChar(UINT codePage, const std::string& text, size_t pos, size_t length);
char16_t UpperUnit(char16_t unit);
// The registry's view of a name: the upper-case UTF-16 units of its
// characters, big-endian, so that equal keys are equal names and byte order
// is the order Windows enumerates in.
std::string NameKey(const std::string& name, UINT codePage);
// A registry path cut at its separators, per character of the code page.
std::vector<std::string> SplitPath(const std::string& path, UINT codePage);
std::string JoinPath(const std::vector<std::string>& parts);

// ---- Registry tree (FakeRegistry.cpp) -----------------------------------------

struct Key {
    using Subkeys = std::map<std::string, std::shared_ptr<Key>>;

    std::string name;
    // Keyed by NameKey: the order Windows enumerates in. Changed
    // only through AddSubkey and EraseSubkey, which keep the cursor right.
    Subkeys subkeys;
    std::map<std::string, std::pair<std::string, FakeWindows::RegValue>> values;
    bool deleted = false;

    // The subkey at `index` (< subkeys.size()). Callers enumerate index after
    // index, so the last position is kept: stepping through the map from its
    // start every time would make a whole enumeration quadratic.
    Subkeys::iterator SubkeyAt(size_t index);
    std::shared_ptr<Key>& AddSubkey(const std::string& nameKey);
    void EraseSubkey(Subkeys::iterator it);

private:
    bool positioned = false;
    size_t atIndex = 0;
    Subkeys::iterator at;
};

void MarkDeleted(Key& key);  // with every key below it

struct OpenKey {
    std::shared_ptr<Key> key;
    std::vector<std::string> native;  // components as stored, after redirection
    std::string requested;            // as the caller named it, for the call record
    REGSAM access = 0;
};

// ---- Dispatcher (FakeDispatcher.cpp) ------------------------------------------

struct PendingControl {
    DWORD control = 0;
    DWORD eventType = 0;
    LPVOID eventData = nullptr;
    bool answered = false;
    DWORD result = 0;
};

// ---- Run-time look-up (FakeSystem.cpp) ----------------------------------------

extern const HMODULE kExeModule;
extern const HMODULE kKernel32;
extern const HMODULE kAdvapi32;
extern const HANDLE kCurrentProcess;
// What GetProcAddress hands out for the two exports; never meant to be called.
void IsWow64ProcessExport();
void RegDeleteKeyExAExport();

}  // namespace fakewindows

struct FakeWindows::State {
    using Key = fakewindows::Key;
    using OpenKey = fakewindows::OpenKey;
    using PendingControl = fakewindows::PendingControl;

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
    std::set<std::vector<std::string>> denied;  // native paths, each part a NameKey

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
    DWORD changeConfigFails = 0;
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

    State() { calls.reserve(4096); }

    template <typename H>
    H NewHandle() {
        nextHandle += 0x10;
        return reinterpret_cast<H>(nextHandle);
    }

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

    void Fail(DWORD error) { lastError[std::this_thread::get_id()] = error; }

    // Text as the current code page cuts it into characters.
    std::string Upper(const std::string& text) const { return fakewindows::Upper(text, codePage); }
    std::vector<std::string> SplitPath(const std::string& path) const {
        return fakewindows::SplitPath(path, codePage);
    }
    std::string NameKey(const std::string& name) const {
        return fakewindows::NameKey(name, codePage);
    }
    std::vector<std::string> KeyPath(std::vector<std::string> parts) const {
        for (std::string& part : parts) part = NameKey(part);
        return parts;
    }
    bool EqualsNoCase(const std::string& a, const std::string& b) const {
        return Upper(a) == Upper(b);
    }

    // ---- Registry (FakeRegistry.cpp) --------------------------------------------

    std::shared_ptr<Key> Find(const std::vector<std::string>& parts) const;
    // Also puts the stored names of the keys found into `parts`.
    std::shared_ptr<Key> FindNamed(std::vector<std::string>& parts) const;
    // Creates every missing key; fills in the stored names of the existing ones.
    std::shared_ptr<Key> Create(std::vector<std::string>& parts, bool* created);
    bool IsDenied(const std::vector<std::string>& parts) const;

    // The open key behind a handle; HKEY_LOCAL_MACHINE is always open.
    OpenKey machine;
    OpenKey* Lookup(HKEY key);
    static std::string Requested(LPCSTR subKey, const OpenKey* base);
    LONG OpenOrCreate(const char* function, HKEY key, LPCSTR subKey, REGSAM access, bool create,
                      PHKEY result, LPDWORD disposition);
    LONG DeleteKey(const char* function, HKEY key, LPCSTR subKey, REGSAM access, bool showAccess);

    // ---- Services (FakeServices.cpp) --------------------------------------------

    ServiceRecord* FindRecord(const std::string& name);
    // The record behind a service handle; sets the error when there is none.
    ServiceRecord* ServiceOf(SC_HANDLE handle);
    bool IsManager(SC_HANDLE handle) const;
    static void FillStatus(const ServiceRecord& record, SERVICE_STATUS* status);

private:
    struct Target {
        OpenKey* base = nullptr;
        std::vector<std::string> native;
        std::string requested;
    };
    // Whether the 32-bit view applies to an access mask.
    bool Redirects(REGSAM access) const;
    void Redirect(std::vector<std::string>& parts) const;
    // Resolves key + subKey into a native path, choosing the view by `access`.
    LONG Resolve(HKEY key, LPCSTR subKey, REGSAM access, Target& target);
};
