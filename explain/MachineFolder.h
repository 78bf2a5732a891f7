// One machine as the Linux tool reads it: a folder QarnIExplain.exe --save
// wrote (facts.txt and its reg files), or reg export files and a folder of
// them made by hand, with what the command line adds. The machine's facts
// come from facts.txt, else from the CurrentVersion value an export holds,
// else from the command line; an option that contradicts the files is a
// usage error naming both. Linux builds only (qx_regfile).
#pragma once

#include <string>
#include <vector>

#include "explain/DriveExplainer.h"
#include "explain/MachineFacts.h"
#include "platform/memory/MemoryWindows.h"

// What the command line says of the machine; empty or false: nothing.
struct MachineOptions {
    std::string windows;        // the word given to --windows
    MachineFacts windowsFacts;  // what it names (ParseWindowsName)
    bool server = false;
    bool wow64 = false;
    UINT codePage = 0;  // 0: not given
    std::string removable;
    std::string serviceDir;  // UTF-8
    // A fleet's machine: its folder must hold the facts.txt of a save, since
    // nothing can tell it its edition otherwise.
    bool factsRequired = false;
};

// The most files one machine is read from, and their most bytes together.
constexpr size_t kMaxMachineFiles = 64;

// A machine read from its files, set up in the in-memory Windows.
struct LoadedMachine {
    MemoryWindows machine;
    MachineFacts facts;
    ExplainOptions options;
    std::string computerName;  // in the machine's code page; "" when not known
    std::string factsSource;
    bool driveTypesInferred = false;
    std::string computer;  // UTF-8, as facts.txt has it
    // UTF-8 (shown escaped): exports of DriveIcons in a view the service never
    // reads, which the report leaves out; what the save could not copy; the
    // files of a folder passed over.
    std::vector<std::string> warnings;
    std::vector<std::string> saveProblems;
    std::vector<std::string> notes;
    // When the machine could not be read: one of the reason words of the
    // report's rows (no-facts, bad-file, contradiction, no-such-windows).
    const char* failure = "";
};

enum class ReadOutcome {
    kRead,
    kUsageError,  // the options: missing, impossible or against the files
    kRefused,     // the files: unreadable, malformed, cut, contradicting each other
};

// Reads the machine of `paths` (files, and folders whose facts.txt and *.reg
// files are taken) into `loaded`; else the reason in `error` (UTF-8, to be
// shown escaped).
ReadOutcome ReadMachine(const std::vector<std::string>& paths, const MachineOptions& options,
                        LoadedMachine& loaded, std::string& error);

// The explanation of a machine read so.
Explanation ExplainLoaded(LoadedMachine& loaded);
