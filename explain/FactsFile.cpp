#include "explain/FactsFile.h"

#include <cstdlib>
#include <functional>
#include <map>

const char kFactsFileName[] = "facts.txt";

namespace {

const char kFirstLine[] = "QarnIExplain facts";
const char kFormat[] = "1";

const char* const kProductTypes[] = {"unknown", "workstation", "domain controller", "server"};
// GetDriveTypeA's answers from DRIVE_UNKNOWN (0) to DRIVE_RAMDISK (6).
const char* const kDriveTypes[] = {"unknown", "none",  "removable", "fixed",
                                   "remote",  "cdrom", "ramdisk"};

std::string Hex2(unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    return std::string("\\x") + kHex[c >> 4] + kHex[c & 0xF];
}

// A value on one line: a backslash doubled, control characters as \xNN.
std::string Escape(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7F)
            out += Hex2(c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& value, std::string& out) {
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            out += value[i];
        } else if (i + 1 < value.size() && value[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < value.size() && value[i + 1] == 'x' && HexValue(value[i + 2]) >= 0 &&
                   HexValue(value[i + 3]) >= 0) {
            out += static_cast<char>(HexValue(value[i + 2]) * 16 + HexValue(value[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// A decimal number of at most `digits` digits.
bool Number(const std::string& text, unsigned long long& number, size_t digits = 10) {
    if (text.empty() || text.size() > digits) return false;
    number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

template <size_t N>
int IndexOf(const char* const (&names)[N], const std::string& name) {
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i]) return static_cast<int>(i);
    }
    return -1;
}

std::string ServiceText(long state, LONG error) {
    if (state == 0) return "not installed";
    if (state == SERVICE_RUNNING) return "running";
    if (state == SERVICE_STOPPED) return "stopped";
    if (state > 0) return "state " + std::to_string(state);
    return "unknown (error " + std::to_string(error) + ")";
}

std::string DrivesText(const SavedFacts& facts) {
    std::string text;
    for (int i = 0; i < DriveLetterCount; ++i) {
        const UINT type = facts.driveTypes[i];
        if (type == DRIVE_NO_ROOT_DIR) continue;
        if (!text.empty()) text += ' ';
        text += static_cast<char>(FirstDriveLetter + i);
        text += ':';
        text += type < 7 ? kDriveTypes[type] : std::to_string(type);
    }
    return text;
}

}  // namespace

std::string ArchitectureName(WORD architecture) {
    switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
    case PROCESSOR_ARCHITECTURE_AMD64: return "x64";
    case PROCESSOR_ARCHITECTURE_IA64: return "ia64";
    default: return "architecture " + std::to_string(architecture);
    }
}

bool IsPlainRegFileName(const std::string& name) {
    if (name.size() < 5 || name.size() > 64 || name.compare(name.size() - 4, 4, ".reg") != 0)
        return false;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!plain) return false;
    }
    return name[0] != '.';
}

std::string FactsText(const SavedFacts& facts) {
    std::string out = std::string(kFirstLine) + "\r\n";
    auto line = [&](const char* name, const std::string& value) {
        out += std::string(name) + "=" + Escape(value) + "\r\n";
    };
    line("format", kFormat);
    line("computer", facts.computer);
    line("windows", std::to_string(facts.major) + "." + std::to_string(facts.minor) + "." +
                        std::to_string(facts.build));
    line("service pack", facts.servicePack);
    line("product type", facts.productType < 4
                             ? kProductTypes[facts.productType]
                             : "product type " + std::to_string(facts.productType));
    line("architecture", facts.architecture == PROCESSOR_ARCHITECTURE_UNKNOWN
                             ? std::string("unknown")
                             : ArchitectureName(facts.architecture));
    line("wow64", facts.wow64 ? "yes" : "no");
    line("code page", std::to_string(facts.codePage));
    line("drives", DrivesText(facts));
    line("service", ServiceText(facts.serviceState, facts.serviceError));
    for (const auto& [name, size] : facts.files) line("file", name + " " + std::to_string(size));
    for (const std::string& problem : facts.problems) line("problem", problem);
    return out + "end\r\n";
}

namespace {

using Reader = std::function<bool(const std::string& value, SavedFacts& facts)>;

bool ReadWindows(const std::string& value, SavedFacts& facts) {
    const size_t first = value.find('.');
    const size_t second = value.find('.', first == std::string::npos ? first : first + 1);
    unsigned long long major = 0, minor = 0, build = 0;
    if (second == std::string::npos || !Number(value.substr(0, first), major, 3) ||
        !Number(value.substr(first + 1, second - first - 1), minor, 3) ||
        !Number(value.substr(second + 1), build))
        return false;
    facts.major = static_cast<DWORD>(major);
    facts.minor = static_cast<DWORD>(minor);
    facts.build = static_cast<DWORD>(build);
    return build <= 0xFFFFFFFFu;
}

bool ReadArchitecture(const std::string& value, SavedFacts& facts) {
    for (WORD known : {PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_AMD64,
                       PROCESSOR_ARCHITECTURE_IA64}) {
        if (value == ArchitectureName(known)) facts.architecture = known;
    }
    unsigned long long number = 0;
    if (value == "unknown") facts.architecture = PROCESSOR_ARCHITECTURE_UNKNOWN;
    if (value.compare(0, 13, "architecture ") == 0 && Number(value.substr(13), number, 5) &&
        number < 0xFFFF)
        facts.architecture = static_cast<WORD>(number);
    return value == "unknown" || facts.architecture != PROCESSOR_ARCHITECTURE_UNKNOWN;
}

bool ReadDrives(const std::string& value, SavedFacts& facts) {
    for (UINT& type : facts.driveTypes) type = DRIVE_NO_ROOT_DIR;
    for (size_t at = 0; at < value.size();) {
        const size_t end = std::min(value.find(' ', at), value.size());
        const std::string drive = value.substr(at, end - at);
        at = end + 1;
        unsigned long long number = 0;
        if (drive.size() < 3 || drive[1] != ':' || !IsDriveIconLetter(drive[0])) return false;
        const int known = IndexOf(kDriveTypes, drive.substr(2));
        if (known < 0 && !Number(drive.substr(2), number, 5)) return false;
        UINT& type = facts.driveTypes[drive[0] - FirstDriveLetter];
        if (type != DRIVE_NO_ROOT_DIR) return false;  // a letter twice
        type = known >= 0 ? static_cast<UINT>(known) : static_cast<UINT>(number);
    }
    return true;
}

bool ReadService(const std::string& value, SavedFacts& facts) {
    unsigned long long number = 0;
    facts.serviceError = 0;
    if (value == "not installed" || value == "running" || value == "stopped") {
        facts.serviceState = value == "running" ? SERVICE_RUNNING : value == "stopped" ? 1 : 0;
    } else if (value.compare(0, 6, "state ") == 0 && Number(value.substr(6), number, 2) &&
               number > 0) {
        facts.serviceState = static_cast<long>(number);
    } else if (value.compare(0, 15, "unknown (error ") == 0 && value.back() == ')' &&
               Number(value.substr(15, value.size() - 16), number)) {
        facts.serviceState = -2;
        facts.serviceError = static_cast<LONG>(number);
    } else {
        return false;
    }
    return true;
}

bool ReadFile(const std::string& value, SavedFacts& facts) {
    const size_t blank = value.rfind(' ');
    unsigned long long size = 0;
    if (blank == std::string::npos || !IsPlainRegFileName(value.substr(0, blank)) ||
        !Number(value.substr(blank + 1), size, 12))
        return false;
    for (const auto& file : facts.files) {
        if (file.first == value.substr(0, blank)) return false;
    }
    facts.files.emplace_back(value.substr(0, blank), size);
    return true;
}

// Each line's reader; the repeatable ones may come more than once.
const std::map<std::string, Reader>& Readers() {
    static const std::map<std::string, Reader> readers = {
        {"format", [](const std::string& v, SavedFacts&) { return v == kFormat; }},
        {"computer",
         [](const std::string& v, SavedFacts& f) {
             f.computer = v;  // empty when the save could not read it
             return v.size() <= 4 * MAX_COMPUTERNAME_LENGTH;
         }},
        {"windows", ReadWindows},
        {"service pack",
         [](const std::string& v, SavedFacts& f) {
             f.servicePack = v;
             return v.size() < 4 * 128;
         }},
        {"product type",
         [](const std::string& v, SavedFacts& f) {
             const int type = IndexOf(kProductTypes, v);
             f.productType = static_cast<BYTE>(type < 0 ? 0 : type);
             return type >= 0;
         }},
        {"architecture", ReadArchitecture},
        {"wow64",
         [](const std::string& v, SavedFacts& f) {
             f.wow64 = v == "yes";
             return v == "yes" || v == "no";
         }},
        {"code page",
         [](const std::string& v, SavedFacts& f) {
             unsigned long long page = 0;
             f.codePage = Number(v, page, 5) ? static_cast<UINT>(page) : 0;
             return f.codePage > 0 && page < 65536;
         }},
        {"drives", ReadDrives},
        {"service", ReadService},
        {"file", ReadFile},
        {"problem",
         [](const std::string& v, SavedFacts& f) {
             f.problems.push_back(v);
             return f.problems.size() <= kMaxProblems + 1;
         }},
    };
    return readers;
}

bool Repeatable(const std::string& name) { return name == "file" || name == "problem"; }

}  // namespace

bool ParseFacts(const std::string& text, SavedFacts& facts, std::string& error) {
    facts = SavedFacts{};
    std::map<std::string, int> seen;
    int number = 0;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    // A file edited in Notepad may begin with a UTF-8 byte order mark.
    for (size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (ended && !line.empty()) return fail("text after the \"end\" line");
        if (ended) continue;  // blank lines an editor added
        if (number == 1) {
            if (line != kFirstLine)
                return fail("not a facts file: the first line must be \"" +
                            std::string(kFirstLine) + "\"");
            continue;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        const size_t equals = line.find('=');
        const std::string name = line.substr(0, equals);
        auto reader = Readers().find(name);
        if (equals == std::string::npos)
            return fail("expected name=value, not \"" + Escape(line.substr(0, 40)) + "\"");
        if (reader == Readers().end())
            return fail("no line of format " + std::string(kFormat) + " is named \"" +
                        Escape(name.substr(0, 40)) + "\"");
        if (++seen[name] > 1 && !Repeatable(name)) return fail("\"" + name + "\" given twice");
        std::string value;
        if (!Unescape(line.substr(equals + 1), value) || !reader->second(value, facts)) {
            return fail(name == "format" ? "format " + Escape(line.substr(equals + 1)) +
                                               ": this QarnIExplain reads format " + kFormat
                                         : "\"" + name + "\" has no value it can take");
        }
    }
    if (!ended) return fail("no \"end\" line: the file is cut short");
    for (const auto& [name, reader] : Readers()) {
        if (!Repeatable(name) && seen.count(name) == 0)
            return fail("no \"" + name + "\" line before \"end\"");
    }
    return true;
}
