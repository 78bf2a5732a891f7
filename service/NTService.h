// The service framework: the service object with its identity and status
// record, the console switches, installation and removal, the service entry and
// control handler, the event log and the debug trace.
//
// Operations return BOOL and set no error code of their own: after a FALSE the
// caller reads the platform's last-error value left by the call that failed.
#pragma once

#include <atomic>

#include "platform/Platform.h"
#include "platform/Sync.h"

class CNTService {
public:
    // Sets the process-wide instance pointer; at most 63 characters of the name are kept.
    CNTService(const char* serviceName, Platform& os);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // Hooks, in this order: a derived service changes behaviour only here.
    virtual void Run();
    virtual BOOL OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual BOOL OnUserControl(DWORD controlCode);
    virtual BOOL OnDeviceChange(DWORD eventType, LPVOID eventData);
    // After "-u" removed a service seen STOPPED, in the console's process: the
    // place to take back what the service leaves behind when it could not stop
    // itself. FALSE, with the last error, when some of it stays; the hook says
    // what on the console, and "-u" exits with that error.
    virtual BOOL OnRemoved();

    // Console switches "-v", "-i", "-u"; TRUE when one was handled.
    BOOL ProcessCommandLine(int argc, char* argv[]);
    // FALSE with the last error ERROR_SERVICE_DOES_NOT_EXIST: not installed.
    // FALSE with any other: the service manager could not be asked.
    BOOL IsServiceInstalled();
    // Of an installed service: ERROR_SUCCESS, ERROR_SERVICE_MARKED_FOR_DELETE
    // (Windows deletes it once its process has ended and the last handle to
    // it is closed; until then no service of its name can be created), or
    // the error that kept the service manager from answering.
    DWORD CheckNotMarkedForDeletion();
    BOOL InstallService();
    // Stops the service (waiting about 30 s at most for STOPPED, and as long
    // again for its process) and deletes it. *stopped tells whether it was
    // seen STOPPED or its process seen ended. A service already marked for
    // deletion counts as deleted, with *marked set: it goes once it has
    // stopped and the last handle to it is closed.
    BOOL RemoveService(BOOL* stopped = nullptr, BOOL* marked = nullptr);
    BOOL RunDispatcher();

    BOOL Initialize();
    void SetStatus(DWORD state);
    void WriteEventLog(WORD eventType, DWORD eventId, const char* insert1 = nullptr,
                       const char* insert2 = nullptr, const char* insert3 = nullptr);

    // Called by the service control manager; they reach the object through Instance.
    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static DWORD WINAPI Handler(DWORD controlCode, DWORD eventType, LPVOID eventData,
                                LPVOID context);

    static CNTService* Instance;

    char ServiceName[64];
    const char* ServiceDescription = nullptr;  // shown by the Services console; set by "-i"
    int MajorVersion;
    int MinorVersion;
    int PatchVersion;
    SERVICE_STATUS_HANDLE StatusHandle;
    SERVICE_STATUS ServiceStatus;
    std::atomic<BOOL> IsRunning;  // cleared by the handler, polled by Run
    HANDLE EventSource;
    HDEVNOTIFY DeviceNotification;

    Platform& os;

private:
    // The switches "-v", "-i" and "-u".
    void PrintVersion();
    void InstallFromConsole();
    void RemoveFromConsole();
    // After IsServiceInstalled said FALSE: 0 when the service is not
    // installed, else the error of a service manager that could not be asked
    // (without elevation, say), which it prints.
    DWORD UnaskedError();
    // A failed "-i" or "-u": the process exits with `error` (never with 0).
    void SetSwitchFailed(DWORD error);
    // The state the service was last seen in after the stop, 0 if unknown.
    DWORD StopForRemoval(SC_HANDLE service);
    // Description and recovery policy; what fails is left unset.
    void ConfigureService(SC_HANDLE service);
    void SetStatusLocked(DWORD state);  // statusLock_ held
    void ReportStatus();                // sends ServiceStatus as a whole; statusLock_ held

    // The service thread and the dispatcher thread both write the status and the event log.
    Mutex statusLock_;
    Mutex eventLock_;
    bool stopReported_ = false;  // STOP_PENDING or STOPPED reported; under statusLock_

    // The dispatcher returns to main as soon as STOPPED is reported, while
    // ServiceMain still traces its last line: the destructor waits for it.
    friend class ServiceThreadScope;
    ManualResetEvent serviceThreadLeft_{true};
};

// One line "[<service name>](<thread id>): <text>\n" on the debugger output,
// built in a 1024-byte buffer; a longer line is cut to fit. `format` must be a
// literal: texts from outside go in as "%s" arguments.
[[gnu::format(printf, 2, 3)]] void TraceMsg(CNTService* service, const char* format, ...);
