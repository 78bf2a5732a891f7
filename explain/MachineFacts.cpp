#include "explain/MachineFacts.h"

#include <cctype>
#include <cstdlib>

#include "driveicons/PlatformQuery.h"

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

// The releases of the NT family for x86 and x64 (the Itanium editions aside)
// by the version and product type GetVersionEx reports, and which of their
// editions were 32-bit and which 64-bit.
struct Release {
    DWORD major;
    DWORD minor;
    const char* workstation;
    const char* server;  // nullptr: none
    bool workstation32;
    bool server32;
    bool x64;  // both editions had a 64-bit one
};

const Release kReleases[] = {
    {4, 0, "Windows NT 4.0 Workstation", "Windows NT 4.0 Server", true, true, false},
    {5, 0, "Windows 2000 Professional", "Windows 2000 Server", true, true, false},
    {5, 1, "Windows XP", nullptr, true, false, false},
    {5, 2, "Windows XP x64", "Windows Server 2003", false, true, true},
    {6, 0, "Windows Vista", "Windows Server 2008", true, true, true},
    {6, 1, "Windows 7", "Windows Server 2008 R2", true, false, true},
    {6, 2, "Windows 8", "Windows Server 2012", true, false, true},
    {6, 3, "Windows 8.1", "Windows Server 2012 R2", true, false, true},
    {10, 0, "Windows 10", "Windows Server 2016 or later", true, false, true},
};

}  // namespace

bool ParseWindowsName(const std::string& name, MachineFacts& facts) {
    facts.server = false;
    facts.wow64 = false;
    for (const WindowsName& known : kWindowsNames) {
        if (name != known.name) continue;
        facts.majorVersion = known.major;
        facts.minorVersion = known.minor;
        facts.server = known.server;
        facts.wow64 = known.wow64;
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

std::string ImpossibleMachine(const MachineFacts& facts, const std::string& windows) {
    const std::string nt =
        "NT " + std::to_string(facts.majorVersion) + "." + std::to_string(facts.minorVersion);
    const Release* release = nullptr;
    for (const Release& known : kReleases) {
        if (known.major == facts.majorVersion && known.minor == facts.minorVersion)
            release = &known;
    }
    if (release == nullptr) {
        return "--windows: no Windows was " + nt +
               " (4.0, 5.0, 5.1, 5.2, 6.0, 6.1, 6.2, 6.3 and 10.0 were)";
    }
    for (const WindowsName& known : kWindowsNames) {
        if (windows != known.name || known.server || !facts.server || !release->server) continue;
        return "--server: --windows " + windows + " is " + release->workstation +
               ", a workstation edition; " + release->server + " is --windows " + nt.substr(3) +
               " --server" + (release->server32 ? "" : " --wow64");
    }
    const char* edition = facts.server ? release->server : release->workstation;
    if (edition == nullptr) {
        return "--server: " + nt + " (" + release->workstation +
               ") had no server edition; Windows Server 2003 is NT 5.2: --windows 2003";
    }
    const std::string which =
        std::string(edition) + " (" + nt + (facts.server ? " server" : " workstation") + ")";
    if (facts.wow64 && !release->x64) {
        return "--wow64: " + which + " had no 64-bit edition" +
               (facts.majorVersion == 5 && facts.minorVersion == 1
                    ? "; Windows XP x64 is NT 5.2: --windows xp-x64"
                    : "");
    }
    if (!facts.wow64 && !(facts.server ? release->server32 : release->workstation32))
        return which + " is 64-bit only: add --wow64";
    return "";
}

bool SharesDriveIcons(const MachineFacts& facts) {
    return facts.wow64 && SharesDriveIconsViews(facts.majorVersion, facts.minorVersion);
}

bool NamesEdition(const std::string& windows) {
    for (const WindowsName& known : kWindowsNames) {
        if (windows == known.name) return true;
    }
    return false;
}

std::string DescribeMachine(const MachineFacts& facts) {
    return "NT " + std::to_string(facts.majorVersion) + "." + std::to_string(facts.minorVersion) +
           (facts.server ? " server" : " workstation") + (facts.wow64 ? ", 64-bit" : "");
}

std::string WindowsShortName(const MachineFacts& facts) {
    for (const Release& known : kReleases) {
        if (known.major != facts.majorVersion || known.minor != facts.minorVersion) continue;
        std::string name = facts.server && known.server ? known.server : known.workstation;
        if (name.compare(0, 8, "Windows ") == 0) name.erase(0, 8);
        const bool named64 = name.find("x64") != std::string::npos;
        return name + (facts.wow64 && !named64 ? " x64" : "");
    }
    return "NT " + std::to_string(facts.majorVersion) + "." + std::to_string(facts.minorVersion);
}
