#include "explain/ReportRows.h"

#include <algorithm>

#include "driveicons/AnsiText.h"
#include "explain/MachineFacts.h"
#include "explain/ReportHeader.h"
#include "explain/ShownText.h"
#include "explain/Verdict.h"

const char kUnread[] = "UNREAD";
const char kIncomplete[] = "INCOMPLETE";
const char kNoDrives[] = "NO DRIVES";
const char kDuplicate[] = "DUPLICATE";
const char kNote[] = "NOTE";

namespace {

std::string Escaped(const std::string& utf8) { return ShownText(utf8, kUtf8CodePage, false); }

std::string WindowsOf(Platform& os, const Explanation& e) {
    if (!e.versionRead) return "unknown";
    MachineFacts facts;
    facts.majorVersion = e.version.dwMajorVersion;
    facts.minorVersion = e.version.dwMinorVersion;
    facts.server = e.extendedVersion && e.version.wProductType != VER_NT_WORKSTATION;
    facts.wow64 = e.wow64Process;
    std::string pack = AnsiText::FromBuffer(e.version.szCSDVersion, sizeof e.version.szCSDVersion);
    if (pack.compare(0, 13, "Service Pack ") == 0) pack = "SP" + pack.substr(13);
    return WindowsShortName(facts) + (pack.empty() ? "" : " " + Escaped(AnsiToUtf8(os, pack)));
}

std::string ServiceOf(long state) {
    if (state == 0) return "not installed";
    if (state == SERVICE_RUNNING) return "running";
    if (state == SERVICE_STOPPED) return "stopped";
    if (state > 0) return "state " + std::to_string(state);
    return state == -2 ? "unknown" : "";
}

void MachineRows(Platform& os, const Explanation& e, const MachineExtras& x, MachineReport& r) {
    auto add = [&](const char* verdict, const char* reason, const char* step,
                   const std::string& detail) {
        r.rows.push_back({"", verdict, reason, step, detail});
    };
    for (const auto& [path, error] : e.unreadableKeys) {
        add(kIncomplete, "unreadable-key", "registry",
            "HKLM\\" + AnsiToUtf8(os, ShownPath(path, e.codePage)) + ": " +
                (error == ERROR_FILE_NOT_FOUND ? "no such key" : RegistryErrorText(error)));
    }
    if (e.serviceState == -2) {
        add(kIncomplete, "service-unknown", "service",
            "the service manager could not be asked: " + RegistryErrorText(e.serviceError));
    }
    for (const std::string& text : x.saveProblems)
        add(kIncomplete, "not-saved", "save", "the save could not copy: " + Escaped(text));
    for (const std::string& text : x.incomplete)
        add(kIncomplete, "unread-view", "files", Escaped(text));
    for (const std::string& text : x.notes) add(kNote, "passed-over", "files", Escaped(text));
}

}  // namespace

MachineReport ReportOf(const std::string& machine, Platform& os, const Explanation& e,
                       const MachineExtras& extras) {
    MachineReport r;
    r.machine = Escaped(machine);
    r.computer = Escaped(extras.computer);
    r.windows = WindowsOf(os, e);
    r.service = ServiceOf(e.serviceState);
    r.read = true;
    MachineRows(os, e, extras, r);
    r.complete = std::none_of(r.rows.begin(), r.rows.end(),
                              [](const ReportRow& row) { return row.verdict == kIncomplete; });
    bool any = false;
    for (const LetterExplanation& l : e.letters) {
        if (l.driveType != DRIVE_REMOVABLE && !l.now.exists) continue;
        const LetterVerdict v = JudgeLetter(e, l);
        r.rows.push_back(
            {std::string(1, l.letter), v.verdict, v.reason, v.step, AnsiToUtf8(os, v.detail)});
        any = true;
    }
    if (!any) {
        r.rows.push_back({"", kNoDrives, "no-drives", "drive type",
                          "no letter from D: to Z: is removable or has a key under DriveIcons"});
    }
    return r;
}

MachineReport UnreadReport(const std::string& machine, const std::string& reason,
                           const std::string& error) {
    MachineReport r;
    r.machine = Escaped(machine);
    r.rows.push_back({"", kUnread, reason, "files", error});
    return r;
}

void ReportSummary::Add(const MachineReport& report) {
    ++machines;
    read += report.read ? 1 : 0;
    complete += report.complete ? 1 : 0;
    for (const ReportRow& row : report.rows) {
        ++verdicts[row.verdict];
        ++reasons[row.reason];
    }
}

void ReportWriter::Put(const std::string& text) {
    if (written_ && std::fwrite(text.data(), 1, text.size(), out_) != text.size()) written_ = false;
}
