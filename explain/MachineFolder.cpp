#include "explain/MachineFolder.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "driveicons/PlatformQuery.h"
#include "explain/ExportedMachine.h"
#include "explain/FactsFile.h"
#include "explain/ShownText.h"
#include "explain/WindowsFolder.h"
#include "platform/CodePageRules.h"
#include "platform/Utf16.h"

namespace {

const char kVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::string Shown(const std::string& utf8) { return ShownText(utf8, kUtf8CodePage, false); }

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWithNoCase(const std::string& text, const std::string& end) {
    if (text.size() < end.size()) return false;
    for (size_t i = 0; i < end.size(); ++i) {
        if (AsciiLower(text[text.size() - end.size() + i]) != end[i]) return false;
    }
    return true;
}

// The files a machine is read from.
struct MachineFiles {
    std::string facts;  // facts.txt, "" when there is none
    std::vector<std::string> exports;
    std::vector<unsigned long long> sizes;  // of the exports
    std::vector<std::string> irregular;     // .reg entries that are no regular file
};

// facts.txt as a copy over a share may spell it.
bool IsFactsFile(const std::string& path) {
    const std::string name = BaseName(path);
    return name.size() == std::strlen(kFactsFileName) && EndsWithNoCase(name, kFactsFileName);
}

// A file of a machine, sorted in by its kind; false with why.
bool AddFile(const std::string& path, MachineFiles& files, std::string& why) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return true;  // told later
    if (IsFactsFile(path)) {
        if (!files.facts.empty()) {
            why = "two facts files: " + Shown(files.facts) + " and " + Shown(path);
            return false;
        }
        files.facts = path;
        return true;
    }
    files.exports.push_back(path);
    files.sizes.push_back(static_cast<unsigned long long>(status.st_size));
    return true;
}

// A folder's facts.txt and *.reg files, by name; what else it holds is passed over.
bool ListFolder(const std::string& folder, MachineFiles& files, std::vector<std::string>& notes,
                std::string& why) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        why = Shown(folder) + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    for (dirent* entry;
         (entry = readdir(dir)) != nullptr && names.size() <= 4 * kMaxMachineFiles;) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    if (names.size() > 4 * kMaxMachineFiles) {
        why = Shown(folder) + ": more than " + std::to_string(4 * kMaxMachineFiles) +
              " entries: not one machine's folder";
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat status;
        const bool regular = stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
        const bool facts = IsFactsFile(path);
        const bool named = facts || EndsWithNoCase(name, ".reg");
        if (facts && !regular) {
            why = Shown(path) + ": not a regular file (a folder, device or pipe)";
            return false;
        }
        if (regular && named) {
            if (!AddFile(path, files, why)) return false;
        } else {
            if (named) files.irregular.push_back(name);
            notes.push_back(path + ": passed over: " +
                            (named
                                 ? std::string("not a regular file (a folder, device or pipe)")
                                 : std::string("neither ") + kFactsFileName + " nor a .reg file"));
        }
    }
    return true;
}

bool CollectFiles(const std::vector<std::string>& paths, MachineFiles& files,
                  std::vector<std::string>& notes, std::string& why) {
    for (const std::string& path : paths) {
        struct stat status;
        const bool exists = stat(path.c_str(), &status) == 0;
        if (exists && S_ISDIR(status.st_mode)) {
            if (!ListFolder(path, files, notes, why)) return false;
        } else if (exists && S_ISREG(status.st_mode)) {
            if (!AddFile(path, files, why)) return false;
        } else {
            // Refused with the reader's reason: missing, a device, a pipe.
            files.exports.push_back(path);
            files.sizes.push_back(0);
        }
    }
    unsigned long long total = 0;
    for (unsigned long long size : files.sizes) total += size;
    if (files.exports.size() > kMaxMachineFiles || total > kMaxExportBytes) {
        why = "more than " + std::to_string(kMaxMachineFiles) + " export files or " +
              std::to_string(kMaxExportBytes) + " bytes for one machine: not one machine's keys";
        return false;
    }
    return true;
}

}  // namespace

namespace {

// "6.0" as major and minor; false for anything else.
bool ParseVersion(const std::string& text, DWORD& major, DWORD& minor) {
    MachineFacts parsed;
    if (!ParseWindowsName(text, parsed) || text.find('.') == std::string::npos) return false;
    major = parsed.majorVersion;
    minor = parsed.minorVersion;
    return true;
}

// Whether the version a program is told (`told`) fits the version the
// registry holds: the same, or both 6.2 or later, as Windows 8.1 and later
// tell a program without a manifest 6.2 (Microsoft, GetVersionEx) and
// keep "6.3" in CurrentVersion; the service decides alike from 6.1 on.
bool SameVersion(DWORD toldMajor, DWORD toldMinor, DWORD major, DWORD minor) {
    auto from62 = [](DWORD a, DWORD b) { return a > 6 || (a == 6 && b >= 2); };
    return (toldMajor == major && toldMinor == minor) ||
           (from62(toldMajor, toldMinor) && from62(major, minor));
}

std::string Version(DWORD major, DWORD minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// facts.txt, and the files it lists, as they were saved; a .reg it does not
// list is no file of that save and is passed over.
bool ReadSavedFacts(MachineFiles& files, SavedFacts& saved, std::vector<std::string>& notes,
                    std::string& error) {
    std::string bytes;
    if (!ReadExportFile(files.facts, bytes, error, kMaxFactsBytes) ||
        !ParseFacts(bytes, saved, error)) {
        error = Shown(files.facts) + ": " + Shown(error);
        return false;
    }
    for (const auto& [name, size] : saved.files) {
        size_t found = files.exports.size();
        for (size_t i = 0; i < files.exports.size(); ++i) {
            if (BaseName(files.exports[i]) == name) found = i;
        }
        if (found == files.exports.size()) {
            const bool irregular = std::find(files.irregular.begin(), files.irregular.end(),
                                             name) != files.irregular.end();
            error = Shown(files.facts) + " lists " + name + " (" + std::to_string(size) +
                    " bytes), which is " +
                    (irregular ? "not a regular file (a folder, device or pipe)" : "not there");
            return false;
        }
        if (files.sizes[found] != size) {
            error = Shown(files.exports[found]) + ": " + std::to_string(files.sizes[found]) +
                    " bytes, where " + kFactsFileName + " says " + std::to_string(size) +
                    ": cut or replaced since it was saved";
            return false;
        }
    }
    for (size_t i = files.exports.size(); i-- > 0;) {
        bool listed = false;
        for (const auto& file : saved.files)
            listed = listed || file.first == BaseName(files.exports[i]);
        if (listed) continue;
        notes.push_back(files.exports[i] + ": passed over: not listed in " + kFactsFileName);
        files.exports.erase(files.exports.begin() + static_cast<std::ptrdiff_t>(i));
        files.sizes.erase(files.sizes.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return true;
}

// The machine as facts.txt tells it; false with why for one that could not be read.
bool FactsOfSaved(const SavedFacts& saved, MachineFacts& facts, std::string& why) {
    facts.majorVersion = saved.major;
    facts.minorVersion = saved.minor;
    facts.productType = saved.productType;
    facts.server = saved.productType != 0 && saved.productType != VER_NT_WORKSTATION;
    facts.wow64 = saved.wow64;
    facts.build = saved.build;
    facts.servicePack = saved.servicePack;
    facts.codePage = saved.codePage;
    if (saved.wow64 && saved.architecture == PROCESSOR_ARCHITECTURE_INTEL) {
        why = "facts.txt contradicts itself: a process under WOW64 on an x86 machine";
    } else if (saved.architecture != PROCESSOR_ARCHITECTURE_INTEL &&
               saved.architecture != PROCESSOR_ARCHITECTURE_AMD64) {
        why = "facts.txt says the machine is " + ArchitectureName(saved.architecture) +
              ": the Linux tool reads x86 and x64 machines; run QarnIExplain.exe on the machine";
    } else if (saved.codePage != 1252 && saved.codePage != 932) {
        why = "code page " + std::to_string(saved.codePage) +
              ": the Linux tool reads machines of code page 1252 or 932; run QarnIExplain.exe "
              "on the machine";
    } else {
        why = ImpossibleMachine(facts);
        if (!why.empty()) why = "facts.txt names no Windows that existed: " + why;
    }
    return why.empty();
}

// Where an option says otherwise than the files ("" where none does).
std::string Contradiction(const MachineOptions& o, const MachineFacts& facts, bool saved,
                          const SavedFacts& savedFacts, const std::string& source) {
    const MachineFacts& w = o.windowsFacts;
    const std::string files = " contradicts " + source + " (" + DescribeMachine(facts) + ")";
    if (!o.windows.empty() &&
        (w.majorVersion != facts.majorVersion || w.minorVersion != facts.minorVersion ||
         (saved && NamesEdition(o.windows) &&
          (w.server != facts.server || (w.wow64 && !facts.wow64)))))
        return "--windows " + Shown(o.windows) + " (" + DescribeMachine(w) + ")" + files;
    if (saved && o.server && !facts.server) return "--server" + files;
    if (saved && o.wow64 && !facts.wow64) return "--wow64" + files;
    if (saved && o.codePage != 0 && o.codePage != facts.codePage)
        return "--codepage " + std::to_string(o.codePage) + " contradicts " + source +
               " (code page " + std::to_string(facts.codePage) + ")";
    std::string removable;
    for (int i = 0; i < DriveLetterCount; ++i) {
        if (savedFacts.driveTypes[i] == DRIVE_REMOVABLE)
            removable += static_cast<char>(FirstDriveLetter + i);
    }
    std::string given;
    for (char letter = FirstDriveLetter; IsDriveIconLetter(letter); ++letter) {
        if (o.removable.find(letter) != std::string::npos ||
            o.removable.find(static_cast<char>(letter + 32)) != std::string::npos)
            given += letter;
    }
    if (saved && !o.removable.empty() && given != removable)
        return "--removable " + Shown(o.removable) + " contradicts " + source +
               " (removable: " + (removable.empty() ? "none" : removable) + ")";
    return "";
}

}  // namespace

namespace {

// The CurrentVersion value an export holds, and the file; "" when none does.
ReadOutcome VersionOfExports(const MachineFiles& files, UINT codePage, std::string& version,
                             std::string& file, std::string& error) {
    for (const std::string& name : files.exports) {
        std::string bytes;
        RegFile parsed;
        if (!ReadExportFile(name, bytes, error) ||
            !ParseRegFile(std::move(bytes), parsed, error, codePage)) {
            error = Shown(name) + ": " + Shown(error);
            return ReadOutcome::kRefused;
        }
        version = VersionValueOf(parsed);
        if (!version.empty()) {
            file = BaseName(name);
            return ReadOutcome::kRead;
        }
    }
    return ReadOutcome::kRead;
}

// The machine's facts: from facts.txt, else an export's CurrentVersion and
// the options, else the options alone.
ReadOutcome DecideFacts(const MachineFiles& files, const MachineOptions& o, bool saved,
                        const SavedFacts& savedFacts, LoadedMachine& loaded, std::string& error) {
    MachineFacts& facts = loaded.facts;
    std::string version, versionFile;
    if (saved) {
        loaded.failure = "no-such-windows";
        if (!FactsOfSaved(savedFacts, facts, error)) return ReadOutcome::kRefused;
        loaded.factsSource = std::string(kFactsFileName) + ", as QarnIExplain.exe --save wrote it";
    } else if (o.windows.empty()) {
        const ReadOutcome read =
            VersionOfExports(files, o.codePage ? o.codePage : 1252, version, versionFile, error);
        if (read != ReadOutcome::kRead) {
            loaded.failure = "bad-file";
            return read;
        }
        if (version.empty() || !ParseVersion(version, facts.majorVersion, facts.minorVersion)) {
            error =
                "say which Windows the files come from: --windows, or give the folder "
                "QarnIExplain.exe --save wrote (with its facts.txt)";
            return ReadOutcome::kUsageError;
        }
        loaded.factsSource =
            "the CurrentVersion value in " + Shown(versionFile) + " and the command line";
    } else {
        facts = o.windowsFacts;
        loaded.factsSource = "the command line";
    }
    if (!saved) {
        facts.server = facts.server || o.server;
        facts.wow64 = facts.wow64 || o.wow64;
        facts.codePage = o.codePage ? o.codePage : 1252;
    }
    error = Contradiction(o, facts, saved, savedFacts, saved ? kFactsFileName : "the files");
    loaded.failure = error.empty() ? "no-such-windows" : "contradiction";
    if (error.empty() && !saved) error = ImpossibleMachine(facts, o.windows);
    return error.empty() ? ReadOutcome::kRead : ReadOutcome::kUsageError;
}

// The files into the machine; the DriveIcons views each holds in `views`.
bool LoadExports(LoadedMachine& loaded, const MachineFiles& files, std::vector<unsigned>& views,
                 std::string& error) {
    for (const std::string& name : files.exports) {
        std::string bytes;
        RegFile file;
        if (!ReadExportFile(name, bytes, error) ||
            !ParseRegFile(std::move(bytes), file, error, loaded.facts.codePage) ||
            !LoadRegFile(loaded.machine, file, error, SharesDriveIcons(loaded.facts))) {
            error = Shown(name) + ": " + Shown(error);
            return false;
        }
        views.push_back(DriveIconsViewsOf(file));
    }
    return true;
}

// The CurrentVersion value loaded against the facts; "" when they agree.
std::string VersionAgainstFacts(LoadedMachine& loaded, const std::string& source) {
    const auto value = loaded.machine.GetValue(kVersionKey, "CurrentVersion");
    DWORD major = 0, minor = 0;
    if (!value || value->type != REG_SZ || !ParseVersion(value->AsString(), major, minor))
        return "";
    const MachineFacts& f = loaded.facts;
    if (SameVersion(f.majorVersion, f.minorVersion, major, minor)) return "";
    return source + " says NT " + Version(f.majorVersion, f.minorVersion) +
           ", the CurrentVersion value of the exports " + Version(major, minor) +
           ": not one machine's files, or the save ran in a compatibility mode";
}

}  // namespace

namespace {

// The service's folder given in UTF-8, in the machine's code page as Windows takes it.
bool TakeServiceDir(LoadedMachine& loaded, const std::string& utf8, std::string& error) {
    if (utf8.empty()) return true;
    std::string ansi;
    if (!ToMachineText(loaded.machine, utf8, ansi, error)) {
        error = "--service-dir: " + error;
        return false;
    }
    error = TakeWindowsFolder(loaded.machine, ansi, loaded.options.serviceDirectory);
    if (!error.empty()) error = "--service-dir: " + Utf8Of(loaded.machine.AnsiToUtf16(error));
    return error.empty();
}

void SetUpLoaded(LoadedMachine& loaded, bool saved, const SavedFacts& savedFacts) {
    SetUpMachine(loaded.machine, loaded.facts);
    if (!saved) return;
    loaded.computer = savedFacts.computer;
    loaded.computerName = loaded.machine.Utf16ToAnsi(Utf16Of(savedFacts.computer));
    loaded.options.savedServiceState = savedFacts.serviceState;
    loaded.options.savedServiceError = savedFacts.serviceError;
}

// As the facts tell them, else as given, else from the mount records loaded.
void SetLoadedDriveTypes(LoadedMachine& loaded, bool saved, const SavedFacts& savedFacts,
                         const std::string& removable) {
    if (!saved) {
        SetDriveTypes(loaded.machine, removable);
        loaded.driveTypesInferred = removable.empty();
        return;
    }
    for (int i = 0; i < DriveLetterCount; ++i)
        loaded.machine.SetDriveType(static_cast<char>(FirstDriveLetter + i),
                                    savedFacts.driveTypes[i]);
}

}  // namespace

ReadOutcome ReadMachine(const std::vector<std::string>& paths, const MachineOptions& options,
                        LoadedMachine& loaded, std::string& error) {
    MachineFiles files;
    SavedFacts savedFacts;
    loaded.failure = "bad-file";
    if (!CollectFiles(paths, files, loaded.notes, error)) return ReadOutcome::kRefused;
    if (files.exports.empty() && files.facts.empty()) {
        loaded.failure = "no-facts";
        error = "no facts.txt and no .reg file";
        if (!loaded.notes.empty()) error += " (" + Shown(BaseName(loaded.notes[0])) + ")";
        return ReadOutcome::kRefused;
    }
    const bool saved = !files.facts.empty();
    if (saved && !ReadSavedFacts(files, savedFacts, loaded.notes, error))
        return ReadOutcome::kRefused;
    loaded.failure = "no-facts";
    if (!saved && options.factsRequired) {
        error = std::string("no ") + kFactsFileName +
                " (a save cut short, or exports copied by hand): the keys do not say whether "
                "the machine is a server or 64-bit; save it again with QarnIExplain.exe --save";
        return ReadOutcome::kRefused;
    }
    const ReadOutcome decided = DecideFacts(files, options, saved, savedFacts, loaded, error);
    if (decided != ReadOutcome::kRead) return decided;
    SetUpLoaded(loaded, saved, savedFacts);
    if (!TakeServiceDir(loaded, options.serviceDir, error)) return ReadOutcome::kUsageError;
    std::vector<unsigned> views;
    loaded.failure = "bad-file";
    if (!LoadExports(loaded, files, views, error)) return ReadOutcome::kRefused;
    SetLoadedDriveTypes(loaded, saved, savedFacts, options.removable);
    loaded.failure = "contradiction";
    error = VersionAgainstFacts(loaded, saved ? kFactsFileName : "--windows");
    for (size_t i = 0; i < files.exports.size() && error.empty() && saved; ++i) {
        if (savedFacts.architecture == PROCESSOR_ARCHITECTURE_INTEL &&
            (views[i] & kWow6432DriveIcons) != 0)
            error = Shown(files.exports[i]) + " holds DriveIcons keys below Wow6432Node, which " +
                    "the save of an x86 machine never writes (" + kFactsFileName +
                    " says x86): not one machine's files";
    }
    if (!error.empty()) return saved ? ReadOutcome::kRefused : ReadOutcome::kUsageError;
    loaded.failure = "";
    loaded.saveProblems = savedFacts.problems;
    // The asked-for view, as the service's detection decides it.
    const bool asks64 = QueryPlatformFlags(loaded.machine).IsWow64 != FALSE;
    for (size_t i = 0; i < files.exports.size() && !saved; ++i) {
        const std::string unread = UnreadDriveIconsView(loaded.facts, asks64, views[i]);
        // A saved folder holds the shell's view beside the service's: no warning.
        if (!unread.empty())
            loaded.warnings.push_back(files.exports[i] + " holds DriveIcons keys of " + unread +
                                      "; the report leaves them out");
    }
    return ReadOutcome::kRead;
}

Explanation ExplainLoaded(LoadedMachine& loaded) {
    Explanation explanation = ExplainDrives(loaded.machine, loaded.options);
    explanation.driveTypesInferred = loaded.driveTypesInferred;
    explanation.computerName = loaded.computerName;
    explanation.factsSource = loaded.factsSource;
    return explanation;
}
