// facts.txt: what QarnIExplain.exe --save read of a machine beyond its keys
// (its Windows, architecture, code page, computer name, drive types, the
// service's state) and which files it wrote, as the Linux tool reads them
// back. Both builds: written on Windows, read on Linux.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "driveicons/DriveIconLayout.h"
#include "platform/WinTypes.h"

// The name of the file in a machine's folder.
extern const char kFactsFileName[];

struct SavedFacts {
    std::string computer;  // the NetBIOS name, UTF-8
    // GetVersionExA as the service asks it (both are 32-bit programs without
    // a manifest, so on Windows 8.1 and later both are told 6.2).
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    std::string servicePack;  // UTF-8; "" for none
    BYTE productType = 0;     // VER_NT_*; 0: only the short version record was filled
    WORD architecture = PROCESSOR_ARCHITECTURE_UNKNOWN;  // the machine's (GetNativeSystemInfo)
    bool wow64 = false;  // the saving process, a 32-bit one like the service, ran under WOW64
    UINT codePage = 0;   // the ANSI code page (GetACP)
    UINT driveTypes[DriveLetterCount] = {};  // D: to Z:, GetDriveTypeA
    // As Explanation::serviceState: a SERVICE_* state, 0 not installed, -2
    // the service manager could not tell (serviceError says why).
    long serviceState = -2;
    LONG serviceError = 0;
    // The files written, with their sizes in bytes: a file cut or replaced
    // since does not have its size.
    std::vector<std::pair<std::string, unsigned long long>> files;
    // What the save could not read or write, UTF-8; at most kMaxProblems.
    std::vector<std::string> problems;
};

constexpr size_t kMaxProblems = 100;
// Larger is no facts file: a long computer name and a hundred problems come
// to a few tens of kilobytes.
constexpr size_t kMaxFactsBytes = 256 * 1024;

// The file, in UTF-8 with CR LF line ends.
std::string FactsText(const SavedFacts& facts);

// `text` read back; false with "line N: ..." (UTF-8, to be shown escaped)
// for anything FactsText does not write: another format number, an unknown
// or repeated line, a value out of range, a file name that is not a plain
// *.reg name, and a file without its closing "end" line (cut short).
bool ParseFacts(const std::string& text, SavedFacts& facts, std::string& error);

// "x86", "x64", "ia64", or "architecture N".
std::string ArchitectureName(WORD architecture);
// Whether a file name is one a saved folder may list: letters, digits, '.',
// '-' and '_', ending in ".reg", no path.
bool IsPlainRegFileName(const std::string& name);
