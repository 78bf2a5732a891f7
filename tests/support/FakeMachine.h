// Machines built on the in-memory Windows: reader drives plugged in, icon
// keys left by an earlier run, the state read back, and the service run
// through the framework's dispatcher.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "ReaderDevices.h"
#include "driveicons/IConEx.h"
#include "support/FakeWindows.h"

namespace support {

// A removable drive whose volume belongs to the USBSTOR instance, recorded
// the way Windows before Vista does (parent id) or Vista does (instance path).
void PlugParentIdDevice(FakeWindows& fake, char letter, const std::string& deviceKey,
                        const std::string& instance, const std::string& parentId);
void PlugInstancePathDevice(FakeWindows& fake, char letter, const std::string& deviceKey,
                            const std::string& instance);

// The three icon keys of one letter, as left by an earlier run.
void WriteIconKeys(FakeWindows& fake, char letter, const std::string& label,
                   const std::string& base = kDriveIcons);

// Names of the keys below DriveIcons, relative to it, e.g. "E\DefaultLabel".
std::vector<std::string> DriveIconKeys(const FakeWindows& fake,
                                       const std::string& base = kDriveIcons);

// Trace texts after the "[name](thread): " prefix, without the newline.
std::vector<std::string> TraceTexts(const FakeWindows& fake);

// Sets what OnInit would have set for a scan from 'D' of a service installed
// in C:\Qarn\; the parent-id variant unless `vista`.
void ReadyForScan(CIConEx& service, bool vista);

// A service ready for a scan (see ReadyForScan) on its own machine.
struct ScanMachine {
    FakeWindows fake;
    CIConEx service{fake};
    explicit ScanMachine(bool vista = false) { ReadyForScan(service, vista); }
};

// The service run through the framework's dispatcher on its own thread, as
// the service control manager would start it.
class DispatcherRun {
public:
    DispatcherRun(FakeWindows& fake, CNTService& service);
    ~DispatcherRun() { Stop(); }
    DispatcherRun(const DispatcherRun&) = delete;
    DispatcherRun& operator=(const DispatcherRun&) = delete;

    // Waits until the service ended by itself; RunDispatcher's result.
    BOOL Join();
    // Sends a stop request and waits for the end.
    void Stop();

private:
    FakeWindows& fake_;
    std::thread thread_;
    BOOL result_ = FALSE;
};

}  // namespace support
