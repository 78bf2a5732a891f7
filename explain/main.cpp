// QarnIExplain: why a drive has, or has not, a card reader icon. On Windows it
// reads the registry of the machine it runs on; the Linux build reads
// "reg export" files of that machine into the in-memory Windows.
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "explain/DriveExplainer.h"

#ifndef _WIN32
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
constexpr int kComplete = 0;    // a report on every key it rests on
constexpr int kFailed = 1;      // a file refused or unreadable, or the report not written
constexpr int kUsageError = 2;  // a usage error
constexpr int kIncomplete = 3;  // a report, but keys it rests on could not be read
constexpr int kGoOn = -1;       // the command line is fine

int UsageError(const std::string& message) {
    Error(message + "\n");
    std::fputs(kUsage, stderr);
    return kUsageError;
}

// An option of the command line and what it does with its value ("" for an
// option without one): a complaint, or "" when the value is fine.
struct Option {
    const char* name;
    bool takesValue;
    std::function<std::string(const std::string& value)> apply;
};

// kGoOn, or the exit code once help or a usage error has been printed. Words
// that do not start with '-' go to `files` where the tool takes files.
int ParseArguments(int argc, char* argv[], const std::vector<Option>& options,
                   std::vector<std::string>* files) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "/?") {
            std::fputs(kUsage, stdout);
            return kComplete;
        }
        const Option* option = nullptr;
        for (const Option& known : options) {
            if (arg == known.name) option = &known;
        }
        if (option == nullptr && files != nullptr && (arg.empty() || arg[0] != '-')) {
            files->push_back(arg);
            continue;
        }
        if (option == nullptr) return UsageError("unknown option \"" + arg + "\"");
        if (option->takesValue && i + 1 == argc) return UsageError(arg + " needs a value");
        const std::string complaint = option->apply(option->takesValue ? argv[++i] : "");
        if (!complaint.empty()) return UsageError(complaint);
    }
    return kGoOn;
}

Option ServiceDirOption(ExplainOptions& options) {
    return {"--service-dir", true, [&options](const std::string& folder) {
                options.serviceDirectory = folder;
                return std::string();
            }};
}

// A write error shows at the latest when the buffer is flushed.
int WriteReport(const std::string& report, const Explanation& explanation) {
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        Error("the report could not be written");
        return kFailed;
    }
    return explanation.Complete() ? kComplete : kIncomplete;
}

#ifdef _WIN32

// The registry of the machine the tool runs on.
int ExplainThisMachine(int argc, char* argv[]) {
    ExplainOptions options;
    options.askServiceState = true;
    const int status = ParseArguments(argc, argv, {ServiceDirOption(options)}, nullptr);
    if (status != kGoOn) return status;
    const Explanation explanation = ExplainDrives(RealPlatform(), options);
    return WriteReport(ExplanationText(explanation), explanation);
}

#else

// The report in UTF-8, as a Linux terminal and grep expect it; the texts of
// the machine are in its ANSI code page.
std::string ToUtf8(MemoryWindows& machine, const std::string& ansi) {
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

// "reg export" files of a machine, loaded into the in-memory Windows with
// what the command line says of the machine.
int ExplainExports(int argc, char* argv[]) {
    ExplainOptions options;
    MachineFacts facts;
    bool windowsGiven = false;
    std::string removable;
    std::vector<std::string> files;
    auto flag = [](bool& set) {
        return [&set](const std::string&) {
            set = true;
            return std::string();
        };
    };
    const std::vector<Option> known = {
        ServiceDirOption(options),
        {"--windows", true,
         [&](const std::string& name) {
             windowsGiven = true;
             return ParseWindowsName(name, facts) ? "" : "unknown Windows version \"" + name + "\"";
         }},
        {"--server", false, flag(facts.server)},
        {"--wow64", false, flag(facts.wow64)},
        {"--removable", true,
         [&](const std::string& letters) {
             removable = letters;
             for (char c : letters) {
                 const char upper = static_cast<char>(c & ~0x20);
                 if (upper < 'D' || upper > 'Z')
                     return std::string("--removable takes drive letters D to Z, e.g. EFG");
             }
             return std::string();
         }},
        {"--codepage", true,
         [&](const std::string& page) {
             facts.codePage = page == "932" ? 932 : 1252;
             return page == "1252" || page == "932" ? "" : std::string("--codepage is 1252 or 932");
         }},
    };
    const int parsed = ParseArguments(argc, argv, known, &files);
    if (parsed != kGoOn) return parsed;
    if (!windowsGiven) return UsageError("say which Windows the files come from: --windows");
    const std::string impossible = ImpossibleMachine(facts);
    if (!impossible.empty()) return UsageError(impossible);
    if (files.empty()) return UsageError("no reg export files given");

    MemoryWindows machine;
    SetUpMachine(machine, facts);
    std::vector<unsigned> views;
    for (const std::string& name : files) {
        std::string bytes;
        std::string error;
        RegFile file;
        if (!ReadExportFile(name, bytes, error) ||
            !ParseRegFile(std::move(bytes), file, error, facts.codePage) ||
            !LoadRegFile(machine, file, error, SharesDriveIcons(facts))) {
            Error(name + ": " + error);
            return kFailed;
        }
        views.push_back(DriveIconsViewsOf(file));
    }
    SetDriveTypes(machine, removable);
    Explanation explanation = ExplainDrives(machine, options);
    explanation.driveTypesInferred = removable.empty();
    int status = WriteReport(ToUtf8(machine, ExplanationText(explanation)), explanation);
    // Letters left out of the report: it is not complete.
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string unread = UnreadDriveIconsView(facts, explanation.isWow64, views[i]);
        if (unread.empty()) continue;
        Error("warning: " + files[i] + " holds DriveIcons keys of " + unread +
              "; the report leaves them out");
        if (status == kComplete) status = kIncomplete;
    }
    return status;
}

#endif

}  // namespace

int main(int argc, char* argv[]) {
#ifdef _WIN32
    return ExplainThisMachine(argc, argv);
#else
    return ExplainExports(argc, argv);
#endif
}
