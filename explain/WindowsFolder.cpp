#include "explain/WindowsFolder.h"

#include <cstring>
#include <vector>

#include "driveicons/AnsiText.h"
#include "explain/DriveExplainer.h"
#include "explain/ShownText.h"

namespace {

const char kNoFolderCharacters[] = "\"*:<>?|";

std::string CharacterName(char c) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string name = "U+00";
    name += kHex[(c >> 4) & 0xF];
    name += kHex[c & 0xF];
    if (c != '"' && static_cast<unsigned char>(c) > 0x20) name += std::string(" \"") + c + "\"";
    return name;
}

// The names between the separators, '/' taken for '\'; false, with why,
// at a character no folder name holds.
bool SplitNames(Platform& os, const std::string& text, std::vector<std::string>& names,
                std::string& why) {
    names.assign(1, "");
    for (size_t at = 0; at < text.size();) {
        const size_t length = AnsiText::CharLength(os, text, at);
        const char c = text[at];
        if (length == 1 && (c == '\\' || c == '/')) {
            names.emplace_back();
        } else if (length == 1 && (static_cast<unsigned char>(c) < 0x20 ||
                                   std::strchr(kNoFolderCharacters, c) != nullptr)) {
            why = CharacterName(c) + " cannot be part of a Windows folder name";
            return false;
        } else {
            names.back().append(text, at, length);
        }
        at += length;
    }
    return true;
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, alone or before an
// extension, name devices in every folder (Microsoft, "Naming Files, Paths,
// and Namespaces").
bool IsDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string TakeWindowsFolder(Platform& os, const std::string& typed, std::string& folder) {
    folder.clear();
    const bool drive =
        typed.size() >= 2 && typed[1] == ':' &&
        ((typed[0] >= 'A' && typed[0] <= 'Z') || (typed[0] >= 'a' && typed[0] <= 'z'));
    auto separator = [&](size_t at) {
        return at < typed.size() && (typed[at] == '\\' || typed[at] == '/');
    };
    const bool unc = separator(0) && separator(1);
    if (drive && !separator(2))
        return "a folder relative to the current folder of drive " + typed.substr(0, 2) +
               "; name it from the drive's root, e.g. " + typed.substr(0, 2) + "\\Qarn";
    if (!drive && !unc)
        return "not a full path: name the drive (C:\\...) or the share (\\\\server\\share\\...)";
    if (unc && typed.size() > 3 && (typed[2] == '?' || typed[2] == '.') && separator(3)) {
        return "a device or long-path name (\\\\?\\ or \\\\.\\): name the folder as C:\\... or "
               "\\\\server\\share\\...";
    }
    std::vector<std::string> names;
    std::string why;
    if (!SplitNames(os, typed.substr(drive ? 3 : 2), names, why)) return why;
    std::string path = drive ? typed.substr(0, 2) + "\\" : "\\\\";
    size_t kept = 0;
    for (const std::string& name : names) {
        if (name.empty()) continue;  // a run of separators, or one at the end
        if (name == "." || name == "..")
            return "\"" + name + "\" in the path: name the folder without it";
        const char last = name.back();
        if ((last == ' ' || last == '.') && AnsiText::CharLength(os, name, name.size() - 1) == 1)
            return "\"" + ShownPath(name, KnownCodePage(os)) + "\" ends in " +
                   (last == ' ' ? "a blank" : "a period") + ", as no Windows folder name does";
        if (IsDeviceName(name) && !(unc && kept == 0))  // a server may be named so
            return "\"" + ShownPath(name, KnownCodePage(os)) +
                   "\" is the name of a device, which no Windows folder has";
        path += name + "\\";
        ++kept;
    }
    if (unc && kept < 2) return "a UNC folder needs a server and a share: \\\\server\\share\\...";
    folder = path;
    return "";
}
