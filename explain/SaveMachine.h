// QarnIExplain.exe --save: the keys the explain tool reads, copied from the
// machine's registry into files as "reg export" writes them, in the views the
// service and the shell read on that Windows, and the machine's facts
// (facts.txt) read from Windows itself. Reads only: every call goes through
// a ReadOnlyPlatform. Both builds (the tests run it on the in-memory Windows).
#pragma once

#include <string>
#include <vector>

#include "explain/FactsFile.h"
#include "explain/SaveFolder.h"
#include "platform/Platform.h"

// One file of a saved folder: the key it holds below HKEY_LOCAL_MACHINE as
// the file names it, and how it is read.
struct SavedKey {
    const char* file;
    std::string path;  // as the file names it (Wow6432Node for the 32-bit view)
    std::string openPath;
    REGSAM view;                    // KEY_WOW64_64KEY, or 0 for the process's own view
    bool tree;                      // with every key below it; else the key's values
    std::vector<std::string> only;  // the values copied; empty: all
};

// The files for this machine: MountedDevices, USBSTOR and the service's key
// (its values only) in the native view; DriveIcons in the view the service
// reads, and the shell's 64-bit one where that is a key of its own (64-bit
// NT 5.2 and 6.0); the CurrentVersion value of Windows NT\CurrentVersion.
std::vector<SavedKey> SavedKeys(Platform& os);

// What Windows says of itself, as the service would be told it.
SavedFacts ReadMachineFacts(Platform& os);

// Writes the files, then facts.txt, after removing every file an earlier
// save may have left (facts.txt first, so that a save cut short leaves no
// facts). 0: all written; 3: written, with
// problems (keys that could not be read, names no reg file can hold: listed
// in facts.txt and `facts`); 1: the folder could not be written (`failure`).
int SaveMachine(Platform& machine, SaveFolder& folder, SavedFacts& facts, std::string& failure);
