// Why a drive has, or has not, a reader icon: the service's own start-up
// (platform detection, clean-up of old keys, full assignment scan) run on a
// read-only view of a machine, with an observer that records each step.
#pragma once

#include <string>

#include "explain/Explanation.h"
#include "platform/Platform.h"

struct ExplainOptions {
    // Folder of QarnIEx.exe. Empty: the installed service's ImagePath, else
    // the folder of the running program (on Windows the tool, which belongs
    // beside the service), else unknown.
    std::string serviceDirectory;
    // Ask the service manager whether the service runs (the machine the tool
    // runs on; files do not say it).
    bool askServiceState = false;
    // Else what a saved folder's facts say of it, when they were written: as
    // Explanation::serviceState (-1: not known).
    long savedServiceState = -1;
    LONG savedServiceError = 0;
};

// Nothing on `machine` is written or deleted: every call goes through a
// ReadOnlyPlatform.
Explanation ExplainDrives(Platform& machine, const ExplainOptions& options);

// 1252 or 932 when the active ANSI code page converts text exactly as that
// one does, else 0.
UINT KnownCodePage(Platform& os);

// The installed service's key below HKEY_LOCAL_MACHINE (its ImagePath names
// the service's folder).
std::string ServiceKeyPath();

// The service's state (SERVICE_RUNNING and so on), 0 when it is not
// installed, -2 with `error` when the service manager cannot be opened or asked.
long QueryServiceState(Platform& os, LONG& error);
