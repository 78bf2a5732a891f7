// QarnIExplain: why a drive has, or has not, a card reader icon. On Windows it
// reads the registry of the machine it runs on; the Linux build reads
// "reg export" files of that machine into the in-memory Windows.
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driveicons/AnsiText.h"
#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ShownText.h"

#ifdef _WIN32
#include "explain/SaveMachine.h"
#else
#include "explain/ExportedMachine.h"
#include "platform/Utf16.h"
#endif

namespace {

#ifdef _WIN32
const char kUsage[] =
    "Usage: QarnIExplain [--service-dir FOLDER]\n"
    "       QarnIExplain --save FOLDER\n"
    "\n"
    "Tells for every drive letter D: to Z: that is removable or has a key under\n"
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons whether\n"
    "the QarnIEx service gives it a card reader icon, and why. It runs the\n"
    "service's own start-up against this machine's registry without changing\n"
    "anything. Run it from an administrator console.\n"
    "\n"
    "  --service-dir FOLDER  folder of QarnIEx.exe (default: that of the installed\n"
    "                        service, else the folder of QarnIExplain.exe)\n"
    "  --save FOLDER         writes the keys the report reads, as reg export files,\n"
    "                        and this machine's facts (facts.txt) into FOLDER (made\n"
    "                        if missing, e.g. \\\\server\\share\\%COMPUTERNAME%), for\n"
    "                        the Linux QarnIExplain; reads the registry, writes\n"
    "                        nothing but FOLDER\n"
    "\n"
    "FOLDER is taken as Windows hands the command line to the program: in its ANSI\n"
    "code page. A character that code page lacks arrives as \"?\" or a look-alike,\n"
    "so a folder named with one cannot be given; \"?\" is refused.\n";
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
    "What the files cannot say, in any order:\n"
    "  --windows VERSION     xp, xp-x64, 2003, vista, 2008, 7, 8, 8.1, 10, or a\n"
    "                        version number such as 6.0 (required, once); a name\n"
    "                        is a whole edition: 2003 and 2008 are servers, the\n"
    "                        others workstations, xp-x64 64-bit\n"
    "  --server              a server edition, for a version number (6.1 --server\n"
    "                        --wow64 is Server 2008 R2)\n"
    "  --wow64               64-bit Windows, where the 32-bit service runs under\n"
    "                        WOW64\n"
    "  --removable LETTERS   the removable drives, e.g. EFG (default: the letters\n"
    "                        whose mount records are USB storage or removable-media\n"
    "                        records)\n"
    "  --codepage 1252|932   the machine's ANSI code page (default 1252)\n"
    "  --service-dir FOLDER  folder of QarnIEx.exe (default: from the service's\n"
    "                        ImagePath, if a file holds it), in UTF-8; it must be\n"
    "                        one the machine's code page can write\n"
    "\n"
    "A machine that never existed (xp --server, --wow64 with a Windows that had no\n"
    "64-bit edition, a 64-bit-only one without it) is a usage error.\n";
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
// A report, but keys it rests on could not be read, or the shell does not
// read the keys the service writes.
constexpr int kIncomplete = 3;
constexpr int kGoOn = -1;  // the command line is fine

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

// A word of the command line in a message (in `codePage`, that of the
// command line).
std::string Quoted(const std::string& word, UINT codePage) {
    return "\"" + ShownText(word, codePage, true) + "\"";
}

// kGoOn, or the exit code once help or a usage error has been printed. Words
// that do not start with '-' go to `files` where the tool takes files.
int ParseArguments(int argc, char* argv[], const std::vector<Option>& options,
                   std::vector<std::string>* files, UINT codePage) {
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
        if (option == nullptr) return UsageError("unknown option " + Quoted(arg, codePage));
        if (option->takesValue && i + 1 == argc) return UsageError(arg + " needs a value");
        const std::string complaint = option->apply(option->takesValue ? argv[++i] : "");
        if (!complaint.empty()) return UsageError(complaint);
    }
    return kGoOn;
}

Option ServiceDirOption(std::string& folder) {
    return {"--service-dir", true, [&folder](const std::string& given) {
                folder = given;
                return given.empty() ? std::string("--service-dir needs a folder") : std::string();
            }};
}

// Why `folder`, in the machine's code page, names no Windows folder ("" when
// it may): a control character or one of "*<>?| in it.
std::string FolderComplaint(Platform& os, const std::string& folder) {
    for (size_t at = 0; at < folder.size(); at += AnsiText::CharLength(os, folder, at)) {
        const char c = folder[at];
        if (AnsiText::CharLength(os, folder, at) > 1 ||
            (static_cast<unsigned char>(c) >= 0x20 && std::strchr("\"*<>?|", c) == nullptr)) {
            continue;
        }
        static const char kHex[] = "0123456789ABCDEF";
        std::string name = "U+00";
        name += kHex[(c >> 4) & 0xF];
        name += kHex[c & 0xF];
        if (c != '"' && static_cast<unsigned char>(c) > 0x20) name += std::string(" \"") + c + "\"";
        std::string complaint =
            "--service-dir: " + name + " cannot be part of a Windows folder name";
#ifdef _WIN32
        if (c == '?') complaint += " (a character the ANSI code page lacks arrives as \"?\")";
#endif
        return complaint;
    }
    return "";
}

// A write error shows at the latest when the buffer is flushed.
int WriteReport(const std::string& report, const Explanation& explanation) {
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        Error("the report could not be written");
        return kFailed;
    }
    return explanation.Complete() && !explanation.AnyNotShown() ? kComplete : kIncomplete;
}

#ifdef _WIN32

// --save: the machine's keys and facts into `folder`, for the Linux tool.
int SaveThisMachine(Platform& os, const std::string& folder) {
    const UINT codePage = KnownCodePage(os);
    std::string why;
    std::unique_ptr<FileFolder> target = FileFolder::Open(folder, why);
    SavedFacts facts;
    const int saved = target ? SaveMachine(os, *target, facts, why) : 1;
    if (saved == 1) {
        Error(Quoted(folder, codePage) + ": " + ShownText(why, codePage, false));
        return kFailed;
    }
    // The problems are UTF-8, made from the registry's names.
    for (const std::string& problem : facts.problems)
        Error("not saved: " + ShownText(problem, kUtf8CodePage, false));
    std::string files;
    for (const auto& file : facts.files) files += file.first + ", ";
    std::fputs(
        ("Saved to " + Quoted(folder, codePage) + ": " + files + kFactsFileName + "\n").c_str(),
        stdout);
    return saved == 0 ? kComplete : kIncomplete;
}

// The registry of the machine the tool runs on.
int ExplainThisMachine(int argc, char* argv[]) {
    Platform& os = RealPlatform();
    ExplainOptions options;
    options.askServiceState = true;
    std::string folder;
    std::string saveTo;
    const Option save = {"--save", true, [&saveTo](const std::string& given) {
                             saveTo = given;
                             return given.empty() ? std::string("--save needs a folder")
                                                  : std::string();
                         }};
    // The command line comes in the ANSI code page.
    const int status =
        ParseArguments(argc, argv, {ServiceDirOption(folder), save}, nullptr, KnownCodePage(os));
    if (status != kGoOn) return status;
    if (!saveTo.empty() && !folder.empty())
        return UsageError("--save takes no --service-dir: the saved service key names the folder");
    if (!saveTo.empty()) return SaveThisMachine(os, saveTo);
    const std::string complaint = FolderComplaint(os, folder);
    if (!complaint.empty()) return UsageError(complaint);
    options.serviceDirectory = folder;
    const Explanation explanation = ExplainDrives(os, options);
    return WriteReport(ExplanationText(explanation), explanation);
}

#else

// Reads the files into `machine`; `views`: the DriveIcons views each holds.
// False once one cannot be read, said on stderr.
bool LoadExports(MemoryWindows& machine, const MachineFacts& facts,
                 const std::vector<std::string>& files, std::vector<unsigned>& views) {
    for (const std::string& name : files) {
        std::string bytes;
        std::string error;
        RegFile file;
        if (!ReadExportFile(name, bytes, error) ||
            !ParseRegFile(std::move(bytes), file, error, facts.codePage) ||
            !LoadRegFile(machine, file, error, SharesDriveIcons(facts))) {
            // Messages are UTF-8; a file's name and text are shown escaped.
            Error(ShownText(name, kUtf8CodePage, false) + ": " +
                  ShownText(error, kUtf8CodePage, false));
            return false;
        }
        views.push_back(DriveIconsViewsOf(file));
    }
    return true;
}

// "reg export" files of a machine, loaded into the in-memory Windows with
// what the command line says of the machine.
int ExplainExports(int argc, char* argv[]) {
    ExplainOptions options;
    MachineFacts facts;
    std::string windows;  // as given
    bool server = false;
    bool wow64 = false;
    std::string folder;  // UTF-8
    std::string removable;
    std::vector<std::string> files;
    auto flag = [](bool& set) {
        return [&set](const std::string&) {
            set = true;
            return std::string();
        };
    };
    const std::vector<Option> known = {
        ServiceDirOption(folder),
        {"--windows", true,
         [&](const std::string& name) {
             if (!windows.empty()) {
                 return "--windows given twice (" + Quoted(windows, kUtf8CodePage) + ", then " +
                        Quoted(name, kUtf8CodePage) + "): name one Windows";
             }
             windows = name;
             return ParseWindowsName(name, facts)
                        ? ""
                        : "unknown Windows version " + Quoted(name, kUtf8CodePage);
         }},
        {"--server", false, flag(server)},
        {"--wow64", false, flag(wow64)},
        {"--removable", true,
         [&](const std::string& letters) {
             removable = letters;
             for (char c : letters) {
                 const char upper = static_cast<char>(c & ~0x20);
                 if (!IsDriveIconLetter(upper))
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
    const int parsed = ParseArguments(argc, argv, known, &files, kUtf8CodePage);
    if (parsed != kGoOn) return parsed;
    if (windows.empty()) return UsageError("say which Windows the files come from: --windows");
    facts.server = facts.server || server;
    facts.wow64 = facts.wow64 || wow64;
    const std::string impossible = ImpossibleMachine(facts, windows);
    if (!impossible.empty()) return UsageError(impossible);
    if (files.empty()) return UsageError("no reg export files given");

    MemoryWindows machine;
    SetUpMachine(machine, facts);
    // Known only now: the code page the folder is written in.
    std::string complaint;
    if (!folder.empty() && !ToMachineText(machine, folder, options.serviceDirectory, complaint))
        complaint = "--service-dir: " + complaint;
    if (complaint.empty()) complaint = FolderComplaint(machine, options.serviceDirectory);
    if (!complaint.empty()) return UsageError(complaint);
    std::vector<unsigned> views;
    if (!LoadExports(machine, facts, files, views)) return kFailed;
    SetDriveTypes(machine, removable);
    Explanation explanation = ExplainDrives(machine, options);
    explanation.driveTypesInferred = removable.empty();
    // In UTF-8, as a Linux terminal and grep expect it; the machine's texts are
    // in its ANSI code page.
    int status =
        WriteReport(Utf8Of(machine.AnsiToUtf16(ExplanationText(explanation))), explanation);
    // Letters left out of the report: it is not complete.
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string unread = UnreadDriveIconsView(facts, explanation.isWow64, views[i]);
        if (unread.empty()) continue;
        Error("warning: " + ShownText(files[i], kUtf8CodePage, false) +
              " holds DriveIcons keys of " + unread + "; the report leaves them out");
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
