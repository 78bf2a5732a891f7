// QarnIExplain: why a drive has, or has not, a card reader icon. On Windows it
// reads the registry of the machine it runs on; the Linux build reads
// "reg export" files of that machine into the in-memory Windows.
#include <cstdio>
#include <string>
#include <vector>

#include "explain/DriveExplainer.h"

#ifndef _WIN32
#include <cerrno>
#include <cstring>

#include "explain/ExportedMachine.h"
#endif

namespace {

#ifdef _WIN32
const char kUsage[] =
    "Usage: QarnIExplain [--service-dir FOLDER]\n"
    "\n"
    "Tells for every drive letter D: to Z: that is removable or has a key under\n"
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons whether\n"
    "the QarnIEx service gives it a card reader icon, and why. It runs the\n"
    "service's own start-up against this machine's registry without changing\n"
    "anything. Run it from an administrator console.\n"
    "\n"
    "  --service-dir FOLDER  folder of QarnIEx.exe (default: that of the installed\n"
    "                        service, else the folder of QarnIExplain.exe)\n";
#else
const char kUsage[] =
    "Usage: QarnIExplain --windows VERSION [--server] [--wow64] [--removable LETTERS]\n"
    "                    [--codepage 1252|932] [--service-dir FOLDER] FILE.reg...\n"
    "\n"
    "Tells for every drive letter D: to Z: that is removable or has a key under\n"
    "DriveIcons whether the QarnIEx service gives it a card reader icon, and why,\n"
    "from \"reg export\" files of HKLM\\SYSTEM\\MountedDevices,\n"
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR and\n"
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\n"
    "(regedit version 5 in UTF-16 or UTF-8, or REGEDIT4).\n"
    "\n"
    "What the files cannot say:\n"
    "  --windows VERSION     xp, xp-x64, 2003, vista, 2008, 7, 8, 8.1, 10, or a\n"
    "                        version number such as 6.0 (required)\n"
    "  --server              a server edition (2003 and 2008 imply it)\n"
    "  --wow64               64-bit Windows, where the 32-bit service runs under\n"
    "                        WOW64 (xp-x64 implies it)\n"
    "  --removable LETTERS   the removable drives, e.g. EFG (default: the letters\n"
    "                        whose mount records are USB storage or removable-media\n"
    "                        records)\n"
    "  --codepage 1252|932   the machine's ANSI code page (default 1252)\n"
    "  --service-dir FOLDER  folder of QarnIEx.exe (default: from the service's\n"
    "                        ImagePath, if a file holds it)\n";
#endif

// Plain fputs: the printf family would bring in MinGW's own stdio with
// msvcrt imports that are not known to be on Windows XP.
void Error(const std::string& message) {
    std::fputs(("QarnIExplain: " + message + "\n").c_str(), stderr);
}

// Exit codes, as the README lists them.
constexpr int kComplete = 0;     // a report on every key it rests on
constexpr int kFailed = 1;       // a file refused or unreadable, or the report not written
constexpr int kUsageError = 2;   // a usage error
constexpr int kIncomplete = 3;   // a report, but keys it rests on could not be read

int UsageError(const std::string& message) {
    Error(message + "\n");
    std::fputs(kUsage, stderr);
    return kUsageError;
}

#ifndef _WIN32
// The whole file; false with the reason when it cannot be read (a folder,
// no access, an I/O error).
bool ReadFile(const std::string& name, std::string& bytes, std::string& reason) {
    std::FILE* in = std::fopen(name.c_str(), "rb");
    if (in == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, got);
    const bool failed = std::ferror(in) != 0;
    if (failed) reason = std::strerror(errno);
    std::fclose(in);
    return !failed;
}

// The report in UTF-8, as a Linux terminal and grep expect it; the texts of
// the machine are in its ANSI code page.
std::string ToUtf8(FakeWindows& machine, const std::string& ansi) {
    const std::u16string wide = machine.AnsiToUtf16(ansi);
    std::string out;
    out.reserve(ansi.size());
    // 1252 and 932 have no character outside the Basic Multilingual Plane.
    for (const char16_t code : wide) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}
#endif

}  // namespace

int main(int argc, char* argv[]) {
    ExplainOptions options;
#ifndef _WIN32
    MachineFacts facts;
    bool windowsGiven = false;
    std::string removable;
    std::vector<std::string> files;
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "/?") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--service-dir" && hasValue) {
            options.serviceDirectory = argv[++i];
#ifndef _WIN32
        } else if (arg == "--windows" && hasValue) {
            if (!ParseWindowsName(argv[++i], facts)) {
                return UsageError(std::string("unknown Windows version \"") + argv[i] + "\"");
            }
            windowsGiven = true;
        } else if (arg == "--server") {
            facts.server = true;
        } else if (arg == "--wow64") {
            facts.wow64 = true;
        } else if (arg == "--removable" && hasValue) {
            removable = argv[++i];
            for (char c : removable) {
                const char upper = static_cast<char>(c & ~0x20);
                if (upper < 'D' || upper > 'Z') {
                    return UsageError("--removable takes drive letters D to Z, e.g. EFG");
                }
            }
        } else if (arg == "--codepage" && hasValue) {
            const std::string page = argv[++i];
            if (page != "1252" && page != "932") return UsageError("--codepage is 1252 or 932");
            facts.codePage = page == "932" ? 932 : 1252;
        } else if (arg.empty() || arg[0] != '-') {
            files.push_back(arg);
        } else if ((arg == "--windows" || arg == "--removable" || arg == "--codepage") &&
                   !hasValue) {
            return UsageError(arg + " needs a value");
#endif
        } else if (arg == "--service-dir" && !hasValue) {
            return UsageError(arg + " needs a value");
        } else {
            return UsageError("unknown option \"" + arg + "\"");
        }
    }

#ifdef _WIN32
    options.askServiceState = true;
    const Explanation explanation = ExplainDrives(RealPlatform(), options);
    const std::string report = ExplanationText(explanation);
#else
    if (!windowsGiven) return UsageError("say which Windows the files come from: --windows");
    if (files.empty()) return UsageError("no reg export files given");
    FakeWindows machine;
    SetUpMachine(machine, facts);
    for (const std::string& name : files) {
        std::string bytes;
        std::string error;
        if (!ReadFile(name, bytes, error)) {
            Error(name + ": cannot be read: " + error);
            return kFailed;
        }
        RegFile file;
        if (!ParseRegFile(bytes, file, error, facts.codePage)) {
            Error(name + ": " + error);
            return kFailed;
        }
        if (!LoadRegFile(machine, file, error)) {  // may name a value in the code page
            Error(name + ": " + ToUtf8(machine, error));
            return kFailed;
        }
    }
    SetDriveTypes(machine, removable);
    Explanation explanation = ExplainDrives(machine, options);
    explanation.driveTypesInferred = removable.empty();
    const std::string report = ToUtf8(machine, ExplanationText(explanation));
#endif
    // A write error shows at the latest when the buffer is flushed.
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        Error("the report could not be written");
        return kFailed;
    }
    return explanation.Complete() ? kComplete : kIncomplete;
}
