// The state that every part of the double shares, behind the one lock; the
// in-memory Windows below it keeps its own. Private to the Fake*.cpp files,
// each of which implements one part's members on top of it.
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

#include "support/FakeWindows.h"

namespace fakewindows {

// A misuse of the double by a test: reported and aborted.
[[noreturn]] void TestBug(const char* message);

std::string Hex(DWORD value);  // "0x" and lower-case hex digits

// ---- Dispatcher (FakeDispatcher.cpp) ------------------------------------------

struct PendingControl {
    DWORD control = 0;
    DWORD eventType = 0;
    LPVOID eventData = nullptr;
    bool answered = false;
    DWORD result = 0;
};

}  // namespace fakewindows

struct FakeWindows::State {
    using PendingControl = fakewindows::PendingControl;

    explicit State(MemoryWindows& machine) : os(machine) { calls.reserve(4096); }

    MemoryWindows& os;
    mutable std::mutex mu;
    // Signals queued controls, answered controls, the service thread's end and status reports.
    std::condition_variable changed;
    // The function names are literals; a Call is built only when a test asks.
    struct RecordedCall {
        const char* function;
        std::string detail;
    };
    std::vector<RecordedCall> calls;
    ULONG_PTR nextHandle = 0x40000000;

    // Registry: the path each open key was opened by, as the caller named it.
    std::map<HKEY, std::string> keyPaths;
    std::set<std::vector<std::string>> denied;  // key identities (MemoryWindows::KeyIdentity)

    // Process and system
    std::set<std::string> missingExports;
    bool extendedVersionFails = false;
    bool plainVersionFails = false;
    bool modulePathFails = false;

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

    void Fail(DWORD error) { os.MemoryWindows::SetLastError(error); }

    // Service names are ASCII; Windows compares them without regard to case.
    static bool EqualsNoCase(const std::string& a, const std::string& b);

    // ---- Registry (FakeWindows.cpp) ---------------------------------------------

    // The path of an open key as its opener named it; "" for HKEY_LOCAL_MACHINE.
    std::string PathOf(HKEY key) const;
    std::string Requested(HKEY key, LPCSTR subKey) const;
    // Whether DenyAccess forbids opening (or, with `creates`, creating) the key.
    bool Denied(HKEY key, LPCSTR subKey, REGSAM access, bool creates) const;
    bool Denied(HKEY key, const std::u16string& subKey, REGSAM access) const;

    // ---- Services (FakeServices.cpp) --------------------------------------------

    ServiceRecord* FindRecord(const std::string& name);
    // The record behind a service handle; sets the error when there is none.
    ServiceRecord* ServiceOf(SC_HANDLE handle);
    bool IsManager(SC_HANDLE handle) const;
    static void FillStatus(const ServiceRecord& record, SERVICE_STATUS* status);
};
