// The explanation as rows, for a fleet's table and for --format csv|json: one
// row per letter the report names (machine, Windows, letter, verdict, reason,
// the step of the start-up where it was decided), rows for what concerns the
// machine as a whole, and a summary by verdict and by reason. Both builds.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "explain/Explanation.h"
#include "platform/Platform.h"

// The verdicts of rows that concern the machine, not a letter.
extern const char kUnread[];      // the machine's files could not be read
extern const char kIncomplete[];  // keys or the service's state could not be read
extern const char kNoDrives[];    // no letter is removable or has DriveIcons keys
extern const char kDuplicate[];   // another folder holds a machine of the same name
extern const char kNote[];        // said of the files, no bearing on the verdicts

// All text UTF-8, every text of the machine or the file system escaped
// (ShownText), so that no field holds a control character.
struct ReportRow {
    std::string letter;  // "E", or "" for the machine
    std::string verdict;
    std::string reason;
    std::string step;
    std::string detail;
};

struct MachineReport {
    std::string machine;   // a fleet's folder name, or the machine's own
    std::string computer;  // the NetBIOS name, "" when not known
    std::string windows;   // "Server 2003 x64 SP2"
    std::string service;   // "running", "stopped", "not installed", "unknown" or ""
    bool read = false;
    bool complete = false;
    std::vector<ReportRow> rows;
};

// What the tool knows of a machine beyond its explanation; UTF-8.
struct MachineExtras {
    std::string computer;
    std::vector<std::string> incomplete;    // warnings that leave the report incomplete
    std::vector<std::string> saveProblems;  // what --save could not copy
    std::vector<std::string> notes;         // files passed over
};

// `machine` and the extras as given (escaped here); `os` converts the
// machine's texts to UTF-8.
MachineReport ReportOf(const std::string& machine, Platform& os, const Explanation& e,
                       const MachineExtras& extras);
// A machine whose files could not be read: one UNREAD row. `error` is shown
// as it is: ReadMachine's reasons come escaped already.
MachineReport UnreadReport(const std::string& machine, const std::string& reason,
                           const std::string& error);

struct ReportSummary {
    size_t machines = 0;
    size_t read = 0;
    size_t complete = 0;
    std::map<std::string, size_t> verdicts;  // rows by verdict
    std::map<std::string, size_t> reasons;   // rows by reason
    void Add(const MachineReport& report);
};

enum class ReportFormat { kText, kCsv, kJson };

// Writes machines' rows as they come and the summary at the end.
class ReportWriter {
public:
    virtual ~ReportWriter() = default;
    static std::unique_ptr<ReportWriter> Make(ReportFormat format, std::FILE* out);
    virtual void Begin() = 0;
    virtual void Machine(const MachineReport& report) = 0;
    virtual void End(const ReportSummary& summary) = 0;
    // False once a write failed.
    bool Written() const { return written_; }

protected:
    explicit ReportWriter(std::FILE* out) : out_(out) {}
    void Put(const std::string& text);

private:
    std::FILE* out_;
    bool written_ = true;
};

// The CSV and JSON schema's version: raised when a column or field changes.
constexpr int kReportSchemaVersion = 1;
