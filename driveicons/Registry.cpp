// Registry access and platform detection of the drive icon service.
#include <cstring>
#include <string>

#include "driveicons/AnsiText.h"
#include "driveicons/DriveIconScan.h"
#include "driveicons/PlatformQuery.h"
#include "platform/ScopedHandle.h"

DWORD CDriveIconScan::View() const { return IsWow64 ? KEY_WOW64_64KEY : 0; }

BOOL CDriveIconScan::EnumRegSubkey(HKEY root, const char* keyPath, char* name, DWORD* nameLength,
                                   DWORD index) {
    ScopedRegKey key(os);
    DWORD disposition = 0;
    if (os.RegCreateKeyExA(root, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | View(),
                           nullptr, key.receive(), &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    return os.RegEnumKeyExA(key.get(), index, name, nameLength, nullptr, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
}

BOOL CDriveIconScan::ReadRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind,
                                  void* out, DWORD size) {
    ScopedRegKey key(os);
    if (os.RegOpenKeyExA(root, keyPath, 0, KEY_READ | View(), key.receive()) != ERROR_SUCCESS) {
        return FALSE;
    }
    if (kind != REG_SZ) {
        DWORD dataSize = size;
        return os.RegQueryValueExA(key.get(), valueName, nullptr, nullptr, static_cast<LPBYTE>(out),
                                   &dataSize) == ERROR_SUCCESS;
    }
    return QueryText(key.get(), valueName, *static_cast<std::string*>(out), size) == ERROR_SUCCESS;
}

LONG CDriveIconScan::QueryText(HKEY key, const char* valueName, std::string& text, DWORD size) {
    char buffer[1024];
    const DWORD limit = size < sizeof buffer ? size : static_cast<DWORD>(sizeof buffer);
    DWORD dataSize = limit;
    const LONG queried = os.RegQueryValueExA(key, valueName, nullptr, nullptr,
                                             reinterpret_cast<LPBYTE>(buffer), &dataSize);
    // A stored string need not end in a NUL: stop at the data returned.
    if (queried == ERROR_SUCCESS)
        text = AnsiText::FromBuffer(buffer, dataSize < limit ? dataSize : limit);
    return queried;
}

LONG CDriveIconScan::ReadRegText(HKEY root, const char* keyPath, const char* valueName,
                                 std::string& text) {
    ScopedRegKey key(os);
    const LONG opened = os.RegOpenKeyExA(root, keyPath, 0, KEY_READ | View(), key.receive());
    if (opened != ERROR_SUCCESS) return opened;
    return QueryText(key.get(), valueName, text, MAX_PATH);
}

LONG CDriveIconScan::OpenRegKeyResult(HKEY root, const char* keyPath) {
    ScopedRegKey key(os);
    return os.RegOpenKeyExA(root, keyPath, 0, KEY_READ | View(), key.receive());
}

std::optional<CDriveIconScan::StoredValue> CDriveIconScan::QueryRegValueInfo(
    HKEY root, const char* keyPath, const char* valueName) {
    ScopedRegKey key(os);
    StoredValue stored{REG_NONE, 0};
    if (os.RegOpenKeyExA(root, keyPath, 0, KEY_READ | View(), key.receive()) != ERROR_SUCCESS ||
        os.RegQueryValueExA(key.get(), valueName, nullptr, &stored.type, nullptr, &stored.size) !=
            ERROR_SUCCESS) {
        return std::nullopt;
    }
    return stored;
}

BOOL CDriveIconScan::WriteRegValue(HKEY root, const char* keyPath, const char* valueName,
                                   DWORD kind, const char* data) {
    // A cut icon path would name a wrong file, so a text too long is not written at all.
    const size_t length = data == nullptr ? 0 : std::strlen(data);
    const bool accepted = kind == REG_SZ && data != nullptr && length < MAX_PATH;
    if (Observer) Observer->OnWrite(keyPath, valueName, data, accepted);
    if (!accepted) return FALSE;

    ScopedRegKey key(os);
    DWORD disposition = 0;
    if (os.RegCreateKeyExA(root, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS | View(), nullptr, key.receive(),
                           &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    BYTE buffer[MAX_PATH] = {};
    std::memcpy(buffer, data, length);
    return os.RegSetValueExA(key.get(), valueName, 0, REG_SZ, buffer,
                             static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
}

void CDriveIconScan::DeleteDriveIconKeys(char letter) {
    const std::string letterKey = std::string(DriveIconsBase) + letter;
    // Subkeys first: neither delete function removes a key that still has subkeys.
    const std::string paths[] = {letterKey + "\\DefaultIcon", letterKey + "\\DefaultLabel",
                                 letterKey};
    FARPROC deleteKeyEx = nullptr;
    if (IsWow64) {
        // Not exported before XP x64 / Server 2003 SP1, so looked up at each use.
        const HMODULE advapi = os.GetModuleHandleA("Advapi32");
        deleteKeyEx = advapi ? os.GetProcAddress(advapi, "RegDeleteKeyExA") : nullptr;
    }
    if (Observer) Observer->OnDeleteKeys(letter, !IsWow64 || deleteKeyEx != nullptr);
    if (IsWow64 && deleteKeyEx == nullptr) {
        if (deleteError_ == 0) deleteError_ = ERROR_PROC_NOT_FOUND;
        return;
    }
    for (const std::string& path : paths) {
        const LONG deleted = IsWow64 ? os.CallRegDeleteKeyExA(deleteKeyEx, HKEY_LOCAL_MACHINE,
                                                              path.c_str(), KEY_WOW64_64KEY, 0)
                                     : os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        // A key already gone is no failure; the restore finds what else stays.
        if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND && deleteError_ == 0) {
            deleteError_ = static_cast<DWORD>(deleted);
        }
    }
}

void CDriveIconScan::DetectPlatform() {
    IsVistaWorkstation = FALSE;
    IsWow64 = FALSE;

    OSVERSIONINFOEXA info;
    if (!QueryVersion(os, info)) return;
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) return;

    const bool isNt52 = info.dwMajorVersion == 5 && info.dwMinorVersion == 2;
    const bool isNt60 = info.dwMajorVersion == 6 && info.dwMinorVersion == 0;
    if (!isNt52 && !isNt60) return;

    // A missing IsWow64Process counts as FALSE on 6.0; on 5.2 it ends the detection.
    BOOL wow64 = FALSE;
    if (!QueryWow64(os, wow64) && isNt52) return;

    const bool workstation = info.wProductType == VER_NT_WORKSTATION;
    if (!workstation) return;
    if (isNt60) IsVistaWorkstation = TRUE;
    if (wow64) IsWow64 = TRUE;
}
