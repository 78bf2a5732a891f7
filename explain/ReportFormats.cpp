// The three forms of the rows: a table to read, CSV for a spreadsheet, JSON.
#include <cstdio>
#include <string>

#include "Version.h"
#include "explain/ReportRows.h"
#include "explain/Verdict.h"

namespace {

std::string Padded(const std::string& text, size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text + " ";
}

class TextWriter : public ReportWriter {
public:
    explicit TextWriter(std::FILE* out) : ReportWriter(out) {}
    void Begin() override {
        Put(Row("MACHINE", "WINDOWS", "SERVICE", "LETTER", "VERDICT", "STEP", "REASON", "DETAIL"));
    }
    void Machine(const MachineReport& r) override {
        for (const ReportRow& row : r.rows) {
            Put(Row(r.machine, r.windows, r.service, row.letter.empty() ? "-" : row.letter + ":",
                    row.verdict, row.step, row.reason, row.detail));
        }
    }
    void End(const ReportSummary& s) override {
        Put("\nMachines: " + std::to_string(s.machines) + ", read " + std::to_string(s.read) +
            ", complete (every key read) " + std::to_string(s.complete) + "\n\nRows by verdict\n");
        for (const auto& [verdict, count] : s.verdicts)
            Put("  " + Padded(verdict, 12) + std::to_string(count) + "\n");
        Put("\nRows by reason\n");
        for (const auto& [reason, count] : s.reasons) {
            const ReasonText* known = FindReason(reason);
            Put("  " + Padded(reason, 21) + Padded(std::to_string(count), 8) +
                (known ? known->meaning : "") + "\n");
        }
    }

private:
    static std::string Row(const std::string& machine, const std::string& windows,
                           const std::string& service, const std::string& letter,
                           const std::string& verdict, const std::string& step,
                           const std::string& reason, const std::string& detail) {
        return Padded(machine, 16) + Padded(windows, 22) + Padded(service, 14) + Padded(letter, 7) +
               Padded(verdict, 11) + Padded(step, 13) + Padded(reason, 20) + detail + "\n";
    }
};

// RFC 4180: a field in quotes when it holds a comma, quote or line break, its
// quotes doubled. A field a spreadsheet would take for a formula (= + - @)
// starts with \xNN instead, as the report escapes.
std::string CsvField(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string field = text;
    if (!field.empty() && std::string("=+-@").find(field[0]) != std::string::npos)
        field = std::string("\\x") + kHex[field[0] >> 4] + kHex[field[0] & 0xF] + field.substr(1);
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

class CsvWriter : public ReportWriter {
public:
    explicit CsvWriter(std::FILE* out) : ReportWriter(out) {}
    // UTF-8 with its byte-order mark, which tells a spreadsheet the encoding.
    void Begin() override {
        Put("\xEF\xBB\xBFkind,machine,computer,windows,service,letter,verdict,reason,step,detail,"
            "count\r\n");
    }
    void Machine(const MachineReport& r) override {
        for (const ReportRow& row : r.rows) {
            Put(Line({row.letter.empty() ? "machine" : "letter", r.machine, r.computer, r.windows,
                      r.service, row.letter, row.verdict, row.reason, row.step, row.detail, ""}));
        }
    }
    void End(const ReportSummary& s) override {
        Put(Line({"machines", "", "", "", "", "", "", "", "",
                  "read " + std::to_string(s.read) + ", complete " + std::to_string(s.complete),
                  std::to_string(s.machines)}));
        for (const auto& [verdict, count] : s.verdicts)
            Put(Line({"verdict", "", "", "", "", "", verdict, "", "", "", std::to_string(count)}));
        for (const auto& [reason, count] : s.reasons) {
            const ReasonText* known = FindReason(reason);
            Put(Line({"reason", "", "", "", "", "", "", reason, known ? known->step : "",
                      known ? known->meaning : "", std::to_string(count)}));
        }
    }

private:
    static std::string Line(std::initializer_list<std::string> fields) {
        std::string line;
        for (const std::string& field : fields) line += (line.empty() ? "" : ",") + CsvField(field);
        return line + "\r\n";
    }
};

// A JSON string; the texts are UTF-8 and escaped already, so only the
// characters JSON itself needs escaped are.
std::string Json(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += std::string("\\u00") + kHex[c >> 4] + kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

class JsonWriter : public ReportWriter {
public:
    explicit JsonWriter(std::FILE* out) : ReportWriter(out) {}
    void Begin() override {
        Put("{\"schemaVersion\": " + std::to_string(kReportSchemaVersion) +
            ", \"tool\": " + Json("QarnIExplain " QX_VERSION_SHORT) + ",\n \"machines\": [");
    }
    void Machine(const MachineReport& r) override {
        Put(std::string(first_ ? "\n" : ",\n") + "  {\"machine\": " + Json(r.machine) +
            ", \"computer\": " + Json(r.computer) + ", \"windows\": " + Json(r.windows) +
            ", \"service\": " + Json(r.service) + ", \"read\": " + (r.read ? "true" : "false") +
            ", \"complete\": " + (r.complete ? "true" : "false") + ",\n   \"rows\": [");
        for (size_t i = 0; i < r.rows.size(); ++i) {
            const ReportRow& row = r.rows[i];
            Put(std::string(i == 0 ? "\n" : ",\n") +
                "    {\"letter\": " + (row.letter.empty() ? "null" : Json(row.letter)) +
                ", \"verdict\": " + Json(row.verdict) + ", \"reason\": " + Json(row.reason) +
                ", \"step\": " + Json(row.step) + ", \"detail\": " + Json(row.detail) + "}");
        }
        Put("]}");
        first_ = false;
    }
    void End(const ReportSummary& s) override {
        Put("\n ],\n \"summary\": {\"machines\": " + std::to_string(s.machines) + ", \"read\": " +
            std::to_string(s.read) + ", \"complete\": " + std::to_string(s.complete) +
            ",\n  \"verdicts\": " + Counts(s.verdicts) + ",\n  \"reasons\": " + Counts(s.reasons) +
            "}}\n");
    }

private:
    static std::string Counts(const std::map<std::string, size_t>& counts) {
        std::string out = "{";
        for (const auto& [name, count] : counts)
            out += (out.size() > 1 ? ", " : "") + Json(name) + ": " + std::to_string(count);
        return out + "}";
    }
    bool first_ = true;
};

}  // namespace

std::unique_ptr<ReportWriter> ReportWriter::Make(ReportFormat format, std::FILE* out) {
    switch (format) {
    case ReportFormat::kCsv: return std::make_unique<CsvWriter>(out);
    case ReportFormat::kJson: return std::make_unique<JsonWriter>(out);
    default: return std::make_unique<TextWriter>(out);
    }
}
