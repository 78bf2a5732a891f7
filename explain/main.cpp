// QarnIExplain: why a drive has, or has not, a card reader icon. On Windows it
// reads the registry of the machine it runs on; the Linux build reads
// "reg export" files of that machine into the in-memory Windows.
#include <cstdio>
#include <string>
#include <vector>

#include "explain/DriveExplainer.h"

#ifndef _WIN32
#include <fstream>
#include <iterator>

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

int UsageError(const std::string& message) {
    Error(message + "\n");
    std::fputs(kUsage, stderr);
    return 2;
}

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
#endif
        } else {
            return UsageError("unknown option \"" + arg + "\"");
        }
    }

#ifdef _WIN32
    options.askServiceState = true;
    const Explanation explanation = ExplainDrives(RealPlatform(), options);
#else
    if (!windowsGiven) return UsageError("say which Windows the files come from: --windows");
    if (files.empty()) return UsageError("no reg export files given");
    FakeWindows machine;
    SetUpMachine(machine, facts);
    for (const std::string& name : files) {
        std::ifstream in(name, std::ios::binary);
        if (!in) {
            Error(name + ": cannot be read");
            return 1;
        }
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        RegFile file;
        std::string error;
        if (!ParseRegFile(bytes, file, error) || !LoadRegFile(machine, file, error)) {
            Error(name + ": " + error);
            return 1;
        }
    }
    SetDriveTypes(machine, removable);
    const Explanation explanation = ExplainDrives(machine, options);
#endif
    std::fputs(ExplanationText(explanation).c_str(), stdout);
    return 0;
}
