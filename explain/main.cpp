// QarnIExplain: why a drive has, or has not, a card reader icon. On Windows it
// reads the registry of the machine it runs on, or saves the keys it reads
// for the Linux build; that reads a machine's saved folder or "reg export"
// files into the in-memory Windows, or a whole fleet of saved folders.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ReportRows.h"
#include "explain/ShownText.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "explain/SaveMachine.h"
#include "explain/WindowsFolder.h"
#include "platform/ReadOnlyPlatform.h"
#else
#include "explain/Fleet.h"
#include "explain/MachineFolder.h"
#include "platform/Utf16.h"
#endif

namespace {

#ifdef _WIN32
const char kUsage[] =
    "Usage: QarnIExplain [--service-dir FOLDER] [--format text|csv|json]\n"
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
    "  --format FORMAT       text (the report, default), csv or json (one row per\n"
    "                        letter, in UTF-8)\n"
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
    "Usage: QarnIExplain [options] FOLDER | FILE.reg...\n"
    "       QarnIExplain --fleet FOLDER [--format text|csv|json]\n"
    "\n"
    "Tells for every drive letter D: to Z: that is removable or has a key under\n"
    "DriveIcons whether the QarnIEx service gives it a card reader icon, and why,\n"
    "from the folder QarnIExplain.exe --save wrote on the machine (its facts.txt\n"
    "says which Windows it is), or from \"reg export\" files of\n"
    "HKLM\\SYSTEM\\MountedDevices, HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR and\n"
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\n"
    "(regedit version 5 in UTF-16 or UTF-8, or REGEDIT4).\n"
    "\n"
    "  --fleet FOLDER        one machine per subfolder of FOLDER, each as --save\n"
    "                        wrote it: a row per machine and letter, then a summary\n"
    "  --format FORMAT       text (the report or the table, default), csv or json\n"
    "  --service-dir FOLDER  folder of QarnIEx.exe (default: from the service's\n"
    "                        ImagePath, if a file holds it), in UTF-8; it must be\n"
    "                        one the machine's code page can write\n"
    "\n"
    "What files without facts.txt cannot say; each must agree with the files:\n"
    "  --windows VERSION     xp, xp-x64, 2003, vista, 2008, 7, 8, 8.1, 10, or a\n"
    "                        version number such as 6.0 (once; needed unless an\n"
    "                        export holds Windows NT\\CurrentVersion); a name is a\n"
    "                        whole edition: 2003 and 2008 are servers, the others\n"
    "                        workstations, xp-x64 64-bit\n"
    "  --server              a server edition, for a version number (6.1 --server\n"
    "                        --wow64 is Server 2008 R2)\n"
    "  --wow64               64-bit Windows, where the 32-bit service runs under\n"
    "                        WOW64\n"
    "  --removable LETTERS   the removable drives, e.g. EFG (default: the letters\n"
    "                        whose mount records are USB storage or removable-media\n"
    "                        records)\n"
    "  --codepage 1252|932   the machine's ANSI code page (default 1252)\n"
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
        if (option == nullptr && arg == "--save")  // the Linux tool's options lack it
            return UsageError("--save saves a Windows machine: run QarnIExplain.exe there");
        if (option == nullptr) return UsageError("unknown option " + Quoted(arg, codePage));
        if (option->takesValue && i + 1 == argc) return UsageError(arg + " needs a value");
        const std::string complaint = option->apply(option->takesValue ? argv[++i] : "");
        if (!complaint.empty()) return UsageError(complaint);
    }
    return kGoOn;
}

// An option that keeps its value, once: a second one, or an empty one, is refused.
Option ValueOption(const char* name, std::string& value, const char* empty) {
    return {name, true, [name, &value, empty](const std::string& given) {
                if (!value.empty()) return std::string(name) + " given twice";
                value = given;
                return given.empty() ? std::string(name) + " needs " + empty : std::string();
            }};
}

// The format a --format value names; a complaint for one it does not.
std::string FormatNamed(const std::string& given, ReportFormat& format) {
    format = given == "csv"    ? ReportFormat::kCsv
             : given == "json" ? ReportFormat::kJson
                               : ReportFormat::kText;
    return given == "text" || given == "csv" || given == "json"
               ? std::string()
               : std::string("--format is text, csv or json");
}

// An option of one value that may be given once.
Option Once(const char* name, std::function<std::string(const std::string& value)> apply) {
    return {name, true, [name, apply, given = false](const std::string& value) mutable {
                if (given) return std::string(name) + " given twice";
                given = true;
                return apply(value);
            }};
}

Option FormatOption(ReportFormat& format) {
    return Once("--format",
                [&format](const std::string& value) { return FormatNamed(value, format); });
}

// A write error shows at the latest when the buffer is flushed.
int WriteReport(const std::string& report, const Explanation& explanation) {
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        Error("the report could not be written");
        return kFailed;
    }
    return explanation.Complete() && !explanation.AnyNotShown() ? kComplete : kIncomplete;
}

// One machine as rows, in CSV or JSON.
int WriteRows(ReportFormat format, const MachineReport& report, const Explanation& explanation) {
    std::unique_ptr<ReportWriter> writer = ReportWriter::Make(format, stdout);
    ReportSummary summary;
    summary.Add(report);
    writer->Begin();
    writer->Machine(report);
    writer->End(summary);
    if (!writer->Written() || std::fflush(stdout) != 0) {
        Error("the report could not be written");
        return kFailed;
    }
    return report.complete && !explanation.AnyNotShown() ? kComplete : kIncomplete;
}

#ifdef _WIN32

// A folder of the command line as Windows takes it, into `taken`; else the complaint.
std::string FolderComplaint(Platform& os, const char* option, const std::string& typed,
                            std::string& taken) {
    std::string complaint = TakeWindowsFolder(os, typed, taken);
    if (complaint.empty()) return "";
    if (complaint.find("U+003F") != std::string::npos)
        complaint += " (a character the ANSI code page lacks arrives as \"?\")";
    return std::string(option) + ": " + complaint;
}

// --save: the machine's keys and facts into `folder`, for the Linux tool.
int SaveThisMachine(Platform& os, const std::string& folder) {
    const UINT codePage = KnownCodePage(os);
    std::string why;
    std::unique_ptr<FileFolder> target = FileFolder::Open(folder, why);
    SavedFacts facts;
    const int saved = target ? SaveMachine(os, *target, facts, why) : 1;
    // The folder as Windows takes it, "\\server\share" and all.
    const std::string shown = "\"" + ShownPath(folder, codePage) + "\"";
    if (saved == 1) {
        Error(shown + ": " + ShownText(why, codePage, false));
        return kFailed;
    }
    // The problems are UTF-8, made from the registry's names.
    for (const std::string& problem : facts.problems)
        Error("not saved: " + ShownText(problem, kUtf8CodePage, false));
    std::string files;
    for (const auto& file : facts.files) files += file.first + ", ";
    std::fputs(("Saved to " + shown + ": " + files + kFactsFileName + "\n").c_str(), stdout);
    return saved == 0 ? kComplete : kIncomplete;
}

// The registry of the machine the tool runs on.
int ExplainThisMachine(int argc, char* argv[]) {
    Platform& os = RealPlatform();
    ExplainOptions options;
    options.askServiceState = true;
    std::string folder, saveTo;
    ReportFormat format = ReportFormat::kText;
    // The command line comes in the ANSI code page.
    const int status =
        ParseArguments(argc, argv,
                       {ValueOption("--service-dir", folder, "a folder"),
                        ValueOption("--save", saveTo, "a folder"), FormatOption(format)},
                       nullptr, KnownCodePage(os));
    if (status != kGoOn) return status;
    if (!saveTo.empty() && (!folder.empty() || format != ReportFormat::kText))
        return UsageError("--save takes no other option: the saved keys name the folder");
    if (!saveTo.empty()) {
        std::string taken;
        const std::string complaint = FolderComplaint(os, "--save", saveTo, taken);
        if (!complaint.empty()) return UsageError(complaint);
        // Without the '\' at its end, unless it is a drive's root.
        if (taken.size() > 3) taken.pop_back();
        return SaveThisMachine(os, taken);
    }
    const std::string complaint =
        folder.empty() ? ""
                       : FolderComplaint(os, "--service-dir", folder, options.serviceDirectory);
    if (!complaint.empty()) return UsageError(complaint);
    const Explanation explanation = ExplainDrives(os, options);
    if (format == ReportFormat::kText)
        return WriteReport(ExplanationText(explanation), explanation);
    // CSV and JSON keep their own line ends: no CR added before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    ReadOnlyPlatform reader(os);
    const std::string computer = ReadMachineFacts(reader).computer;
    return WriteRows(format, ReportOf(computer, os, explanation, {computer, {}, {}, {}}),
                     explanation);
}

#else

// What the command line says of the machine, into `o`.
std::vector<Option> MachineOptionList(MachineOptions& o) {
    auto flag = [](bool& set) {
        return [&set](const std::string&) {
            set = true;
            return std::string();
        };
    };
    return {
        ValueOption("--service-dir", o.serviceDir, "a folder"),
        {"--windows", true,
         [&o](const std::string& name) {
             if (!o.windows.empty()) {
                 return "--windows given twice (" + Quoted(o.windows, kUtf8CodePage) + ", then " +
                        Quoted(name, kUtf8CodePage) + "): name one Windows";
             }
             o.windows = name;
             return ParseWindowsName(name, o.windowsFacts)
                        ? ""
                        : "unknown Windows version " + Quoted(name, kUtf8CodePage);
         }},
        {"--server", false, flag(o.server)},
        {"--wow64", false, flag(o.wow64)},
        Once("--removable",
             [&o](const std::string& letters) {
                 o.removable = letters;
                 bool letter = !letters.empty();
                 for (char c : letters) letter = letter && IsDriveIconLetter(c & ~0x20);
                 return letter ? std::string()
                               : std::string("--removable takes drive letters D to Z, e.g. EFG");
             }),
        Once("--codepage",
             [&o](const std::string& page) {
                 o.codePage = page == "932" ? 932 : 1252;
                 return page == "1252" || page == "932" ? ""
                                                        : std::string("--codepage is 1252 or 932");
             }),
    };
}

// What the report leaves out, said on stderr; true when anything was.
bool Warn(const LoadedMachine& loaded) {
    for (const std::string& note : loaded.notes) Error(ShownText(note, kUtf8CodePage, false));
    for (const std::string& warning : loaded.warnings)
        Error("warning: " + ShownText(warning, kUtf8CodePage, false));
    for (const std::string& problem : loaded.saveProblems)
        Error("warning: the save could not copy: " + ShownText(problem, kUtf8CodePage, false));
    return !loaded.warnings.empty() || !loaded.saveProblems.empty();
}

// One machine from its folder or files.
int ExplainMachine(const std::vector<std::string>& paths, const MachineOptions& options,
                   ReportFormat format) {
    if (paths.empty()) return UsageError("no folder and no reg export files given");
    auto loaded = std::make_unique<LoadedMachine>();
    std::string error;
    const ReadOutcome read = ReadMachine(paths, options, *loaded, error);
    if (read == ReadOutcome::kUsageError) return UsageError(error);
    if (read == ReadOutcome::kRefused) {
        Error(error);
        return kFailed;
    }
    const bool warned = Warn(*loaded);
    const Explanation explanation = ExplainLoaded(*loaded);
    // In UTF-8, as a Linux terminal and grep expect it; the machine's texts are
    // in its ANSI code page.
    const int status =
        format == ReportFormat::kText
            ? WriteReport(Utf8Of(loaded->machine.AnsiToUtf16(ExplanationText(explanation))),
                          explanation)
            : WriteRows(format,
                        ReportOf(loaded->computer.empty() ? paths[0] : loaded->computer,
                                 loaded->machine, explanation,
                                 {loaded->computer, loaded->warnings, loaded->saveProblems,
                                  loaded->notes}),
                        explanation);
    return status == kComplete && warned ? kIncomplete : status;
}

// The Linux command line: one machine, or a fleet.
int ExplainFiles(int argc, char* argv[]) {
    MachineOptions options;
    std::vector<std::string> paths;
    std::string fleet;
    ReportFormat format = ReportFormat::kText;
    std::vector<Option> known = MachineOptionList(options);
    known.push_back(ValueOption("--fleet", fleet, "a folder of machine folders"));
    known.push_back(FormatOption(format));
    const int parsed = ParseArguments(argc, argv, known, &paths, kUtf8CodePage);
    if (parsed != kGoOn) return parsed;
    if (fleet.empty()) return ExplainMachine(paths, options, format);
    const bool machineOptions = !options.windows.empty() || options.server || options.wow64 ||
                                options.codePage != 0 || !options.removable.empty() ||
                                !options.serviceDir.empty();
    if (!paths.empty() || machineOptions)
        return UsageError("--fleet takes only --format: each machine's folder says the rest");
    std::string error;
    const int status = ExplainFleet(fleet, format, stdout, error);
    if (!error.empty())
        Error(ShownText(fleet, kUtf8CodePage, false) + ": " +
              ShownText(error, kUtf8CodePage, false));
    return status;
}

#endif

}  // namespace

int main(int argc, char* argv[]) {
#ifdef _WIN32
    return ExplainThisMachine(argc, argv);
#else
    return ExplainFiles(argc, argv);
#endif
}
