#include "driveicons/Registry.h"

#include <cstring>
#include <utility>

#include "driveicons/AnsiText.h"
#include "driveicons/DriveIconLayout.h"
#include "platform/ScopedHandle.h"

BOOL CRegistry::EnumRegSubkey(HKEY root, const char* keyPath, char* name, DWORD* nameLength,
                              DWORD index) {
    ScopedRegKey key(*os_);
    DWORD disposition = 0;
    if (os_->RegCreateKeyExA(root, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | view_,
                             nullptr, key.receive(), &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    return os_->RegEnumKeyExA(key.get(), index, name, nameLength, nullptr, nullptr, nullptr,
                              nullptr) == ERROR_SUCCESS;
}

BOOL CRegistry::SubkeyAt(HKEY root, const char* keyPath, DWORD index, std::string& name) {
    char buffer[RegTextSize] = {};
    DWORD length = sizeof buffer;
    if (!EnumRegSubkey(root, keyPath, buffer, &length, index)) return FALSE;
    name = AnsiText::FromBuffer(buffer, sizeof buffer);
    return TRUE;
}

BOOL CRegistry::ReadRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind,
                             void* out, DWORD size, StoredValue* stored) {
    return Read(root, keyPath, valueName, kind, out, size, stored) == ERROR_SUCCESS;
}

LONG CRegistry::ReadRegText(HKEY root, const char* keyPath, const char* valueName,
                            std::string& text) {
    return Read(root, keyPath, valueName, REG_SZ, &text, RegTextSize, nullptr);
}

LONG CRegistry::Read(HKEY root, const char* keyPath, const char* valueName, DWORD kind, void* out,
                     DWORD size, StoredValue* stored) {
    ScopedRegKey key(*os_);
    const LONG opened = os_->RegOpenKeyExA(root, keyPath, 0, KEY_READ | view_, key.receive());
    if (opened != ERROR_SUCCESS) return opened;
    StoredValue ignored;
    if (stored == nullptr) stored = &ignored;
    // Text goes through a buffer of its own, of at most 1024 bytes.
    char text[1024];
    if (kind == REG_SZ && size > sizeof text) size = sizeof text;
    stored->size = size;
    const LONG queried = os_->RegQueryValueExA(
        key.get(), valueName, nullptr, &stored->type,
        kind == REG_SZ ? reinterpret_cast<LPBYTE>(text) : static_cast<LPBYTE>(out), &stored->size);
    // A stored string need not end in a NUL: stop at the data returned.
    if (queried == ERROR_SUCCESS && kind == REG_SZ) {
        *static_cast<std::string*>(out) =
            AnsiText::FromBuffer(text, stored->size < size ? stored->size : size);
    }
    return queried;
}

LONG CRegistry::OpenRegKeyResult(HKEY root, const char* keyPath) {
    ScopedRegKey key(*os_);
    return os_->RegOpenKeyExA(root, keyPath, 0, KEY_READ | view_, key.receive());
}

LONG CRegistry::CountEntries(HKEY root, const char* keyPath, DWORD& entries) {
    ScopedRegKey key(*os_);
    DWORD subkeys = 0, values = 0;
    LONG result = os_->RegOpenKeyExA(root, keyPath, 0, KEY_READ | view_, key.receive());
    if (result == ERROR_SUCCESS) {
        result = os_->RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr,
                                       nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    }
    entries = subkeys + values;
    return result;
}

bool CRegistry::Writable(DWORD kind, const char* data) {
    return kind == REG_SZ && data != nullptr && std::strlen(data) <= MaxTextLength;
}

BOOL CRegistry::WriteRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind,
                              const char* data) {
    if (!Writable(kind, data)) return FALSE;
    ScopedRegKey key(*os_);
    DWORD disposition = 0;
    if (os_->RegCreateKeyExA(root, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS | view_, nullptr, key.receive(),
                             &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    const size_t length = std::strlen(data);
    BYTE buffer[RegTextSize] = {};
    std::memcpy(buffer, data, length);
    return os_->RegSetValueExA(key.get(), valueName, 0, REG_SZ, buffer,
                               static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
}

void CRegistry::DeleteDriveIconKeys(char letter, bool* deleteFunctionFound) {
    const std::string paths[] = {DriveIconKey(letter, DefaultIconKey),
                                 DriveIconKey(letter, DefaultLabelKey), DriveIconKey(letter)};
    const bool view64 = (view_ & KEY_WOW64_64KEY) != 0;
    FARPROC deleteKeyEx = nullptr;
    if (view64) {
        const HMODULE advapi = os_->GetModuleHandleA("Advapi32");
        deleteKeyEx = advapi ? os_->GetProcAddress(advapi, "RegDeleteKeyExA") : nullptr;
    }
    if (deleteFunctionFound != nullptr) *deleteFunctionFound = !view64 || deleteKeyEx != nullptr;
    if (view64 && deleteKeyEx == nullptr) {
        if (deleteError_ == 0) deleteError_ = ERROR_PROC_NOT_FOUND;
        return;
    }
    for (const std::string& path : paths) {
        const LONG deleted = view64 ? os_->CallRegDeleteKeyExA(deleteKeyEx, HKEY_LOCAL_MACHINE,
                                                               path.c_str(), KEY_WOW64_64KEY, 0)
                                    : os_->RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
        // A key already gone is no failure; the restore finds what else stays.
        if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND && deleteError_ == 0) {
            deleteError_ = static_cast<DWORD>(deleted);
        }
    }
}

DWORD CRegistry::TakeDeleteError() { return std::exchange(deleteError_, 0); }
