#include "explain/ReportHeader.h"

#include "Version.h"
#include "driveicons/AnsiText.h"
#include "driveicons/DriveIconLayout.h"
#include "explain/ShownText.h"

std::string RegistryErrorText(LONG error) {
    if (error == ERROR_MORE_DATA) {
        return "a key name longer than the service's " + std::to_string(RegTextSize) +
               "-byte buffer: its walk stops there";
    }
    return error == ERROR_ACCESS_DENIED ? std::string("access denied (run as administrator)")
                                        : "error " + std::to_string(error);
}

std::string ReportHeaderText(const Explanation& e) {
    std::string out =
        "QarnIExplain " QX_VERSION_SHORT
        ": why a drive has, or has not, a card reader icon.\n"
        "The service's own start-up runs against a read-only registry: nothing is written or "
        "deleted.\n\n";
    auto field = [&](const std::string& name, const std::string& text) {
        std::string line = name;
        line.resize(kReportFieldWidth, ' ');
        out += line + text + "\n";
    };
    const OSVERSIONINFOEXA& v = e.version;
    if (!e.versionRead) {
        field("Windows", "unknown (the version query failed)");
    } else if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        field("Windows",
              "not of the NT family (platform id " + std::to_string(v.dwPlatformId) + ")");
    } else {
        std::string product = "product type unknown (only the short version record was filled)";
        if (e.extendedVersion) {
            product = v.wProductType == VER_NT_WORKSTATION ? "workstation"
                      : v.wProductType == VER_NT_SERVER    ? "server"
                      : v.wProductType == VER_NT_DOMAIN_CONTROLLER
                          ? "domain controller"
                          : "product type " + std::to_string(v.wProductType);
        }
        const std::string pack = AnsiText::FromBuffer(v.szCSDVersion, sizeof v.szCSDVersion);
        field("Windows",
              "NT " + std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) +
                  " build " + std::to_string(v.dwBuildNumber) +
                  (pack.empty() ? "" : " " + ShownText(pack, e.codePage, true)) + ", " + product);
    }
    if (!e.computerName.empty()) field("Computer", ShownText(e.computerName, e.codePage, true));
    if (!e.factsSource.empty()) field("Facts", e.factsSource);
    field("Process",
          e.wow64Process ? "32-bit under WOW64 (64-bit Windows)" : "32-bit, not under WOW64");
    field("Platform row", std::string("IsVistaWorkstation ") + (e.isVistaWorkstation ? "1" : "0") +
                              ", IsWow64 " + (e.isWow64 ? "1" : "0"));
    field("Scan variant",
          e.isVistaWorkstation
              ? "instance-path: the mount record holds the USB storage device path;\n"
                "                its device and instance key must exist under USBSTOR"
              : "parent-id: the mount record names a removable-media volume; its parent id\n"
                "                must be the ParentIdPrefix of an instance of a reader's device "
                "key");
    field("Registry view", e.isWow64        ? "64-bit (KEY_WOW64_64KEY)"
                           : e.wow64Process ? "32-bit (the process's own view)"
                                            : "the process's own");
    if (e.shellReadsOtherView) {
        field("Shell view",
              "64-bit: the shell reads DriveIcons in the 64-bit view only, and before Windows 7 "
              "and\n                Server 2008 R2 that is not the 32-bit view's DriveIcons, "
              "where the service writes");
    }
    if (e.driveTypesInferred) {
        field("Drive types",
              "inferred from the mount records, which the files hold; the files do "
              "not tell them\n                (--removable LETTERS names the "
              "removable drives)");
    }
    field("Service folder",
          (e.serviceDirectory.empty() ? std::string("(none)")
                                      : ShownPath(e.serviceDirectory, e.codePage)) +
              " (" + e.serviceDirectorySource + ")");
    const std::string saved = e.serviceStateSaved ? " when the files were saved" : "";
    if (e.serviceState == 0) {
        field("Service",
              "not installed" + saved + ": no drive gets an icon (QarnIEx.exe -i installs it)");
    } else if (e.serviceState == SERVICE_RUNNING) {
        field("Service",
              "running" + saved + "; below is what its start does with the registry as it is now");
    } else if (e.serviceState > 0) {
        field("Service", "not running" + saved + " (state " + std::to_string(e.serviceState) +
                             "): no drive gets an icon until it starts (net start QarnIEx)");
    } else if (e.serviceState == -2) {
        field("Service", "unknown: the service manager could not be asked: " +
                             RegistryErrorText(e.serviceError));
    }
    for (const auto& [path, error] : e.unreadableKeys) {
        field("Cannot read", "HKLM\\" + ShownPath(path, e.codePage) + ": " +
                                 (error == ERROR_FILE_NOT_FOUND ? std::string("no such key")
                                                                : RegistryErrorText(error)));
    }
    return out;
}
