#include "explain/ExportedMachine.h"

#include <cctype>
#include <cstdlib>

#include "driveicons/ReaderModels.h"

namespace {

struct WindowsName {
    const char* name;
    DWORD major;
    DWORD minor;
    bool server;
    bool wow64;
};

const WindowsName kWindowsNames[] = {
    {"xp", 5, 1, false, false},    {"xp-x64", 5, 2, false, true}, {"2003", 5, 2, true, false},
    {"vista", 6, 0, false, false}, {"2008", 6, 0, true, false},   {"7", 6, 1, false, false},
    {"8", 6, 2, false, false},     {"8.1", 6, 3, false, false},   {"10", 10, 0, false, false},
};

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char16_t a = text[i] < 0x80 ? static_cast<char16_t>(std::toupper(text[i])) : text[i];
        if (a != prefix[i]) return false;
    }
    return true;
}

// Names and string data as the ANSI functions show them: a version 5 file's
// UTF-16 converted to the code page, a REGEDIT4 file's bytes as they are.
std::string ToAnsi(FakeWindows& machine, const std::u16string& text, bool unicode) {
    std::string out;
    if (!unicode) {
        for (char16_t c : text) out += static_cast<char>(c & 0xFF);
        return out;
    }
    if (text.empty()) return out;
    const int length = static_cast<int>(text.size());
    const int needed =
        machine.WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return out;
    out.resize(static_cast<size_t>(needed));
    machine.WideCharToMultiByte(CP_ACP, 0, text.data(), length, &out[0], needed, nullptr, nullptr);
    return out;
}

std::u16string Utf16(const std::vector<BYTE>& data) {
    std::u16string text;
    for (size_t pos = 0; pos + 1 < data.size(); pos += 2) {
        text += static_cast<char16_t>(data[pos] | (data[pos + 1] << 8));
    }
    return text;
}

}  // namespace

bool ParseWindowsName(const std::string& name, MachineFacts& facts) {
    for (const WindowsName& known : kWindowsNames) {
        if (name != known.name) continue;
        facts.majorVersion = known.major;
        facts.minorVersion = known.minor;
        facts.server = facts.server || known.server;
        facts.wow64 = facts.wow64 || known.wow64;
        return true;
    }
    // MAJOR.MINOR
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() || name.size() > 7)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (i != dot && !std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    facts.majorVersion = static_cast<DWORD>(std::atoi(name.substr(0, dot).c_str()));
    facts.minorVersion = static_cast<DWORD>(std::atoi(name.substr(dot + 1).c_str()));
    return true;
}

void SetUpMachine(FakeWindows& machine, const MachineFacts& facts) {
    machine.SetVersion(facts.majorVersion, facts.minorVersion,
                       facts.server ? VER_NT_SERVER : VER_NT_WORKSTATION);
    machine.SetWow64Process(facts.wow64);
    machine.SetCodePage(facts.codePage);
    // The tool has no path of its own there.
    machine.SetModulePathFails(true);
}

bool LoadRegFile(FakeWindows& machine, const RegFile& file, std::string& error) {
    const std::u16string root = u"HKEY_LOCAL_MACHINE";
    for (const RegFileKey& key : file.keys) {
        if (!StartsWithNoCase(key.path, root) ||
            (key.path.size() > root.size() && key.path[root.size()] != u'\\')) {
            const bool shortRoot = StartsWithNoCase(key.path, u"HKLM") &&
                                   (key.path.size() == 4 || key.path[4] == u'\\');
            error = "line " + std::to_string(key.line) +
                    (shortRoot ? ": the root key must be spelled out: HKEY_LOCAL_MACHINE, not HKLM"
                               : ": a key outside HKEY_LOCAL_MACHINE; export HKLM keys only");
            return false;
        }
        const std::string path = ToAnsi(machine, key.path.substr(root.size()), file.unicode);
        machine.CreateKey(path);
        for (const RegFileValue& value : key.values) {
            std::vector<BYTE> data = value.data;
            if (file.unicode && IsStringType(value.type)) {
                const std::string text = ToAnsi(machine, Utf16(value.data), true);
                data.assign(text.begin(), text.end());
            }
            const std::string name = ToAnsi(machine, value.name, file.unicode);
            // Exports taken at different times can disagree; neither may win unseen.
            const auto earlier = machine.GetValue(path, name);
            if (earlier && (earlier->type != value.type || earlier->data != data)) {
                error = "line " + std::to_string(value.line) + ": value \"" + name + "\" of HKLM" +
                        path + " differs from the one an earlier file or line gives";
                return false;
            }
            machine.SetValue(path, name, value.type, data);
        }
    }
    return true;
}

void SetDriveTypes(FakeWindows& machine, const std::string& removable) {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        const std::string valueName = std::string("\\DosDevices\\") + letter + ":";
        const auto record = machine.GetValue(MountedDevicesPath, valueName);
        bool isRemovable = false;
        if (!removable.empty()) {
            isRemovable =
                removable.find(letter) != std::string::npos ||
                removable.find(static_cast<char>(std::tolower(letter))) != std::string::npos;
        } else if (record) {
            const std::u16string text = Utf16(record->data);
            isRemovable = text.find(u"USBSTOR") != std::u16string::npos ||
                          text.find(u"RemovableMedia") != std::u16string::npos;
        }
        machine.SetDriveType(letter, isRemovable ? DRIVE_REMOVABLE
                                     : record    ? DRIVE_FIXED
                                                 : DRIVE_NO_ROOT_DIR);
    }
}
