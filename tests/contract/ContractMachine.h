// The contract of the Platform seam: what the service framework and the drive
// icon logic rely on from Windows, written against Platform alone and run
// natively against the in-memory Windows and the tests' double built on it
// and, cross-built, against the real Win32 implementation under Wine
// (tests/win32/run_win32_tests.sh).
//
// Each implementation has a thin set-up layer that defines
// NewContractMachine(). It hands out a machine arranged as the Wine runner
// arranges its prefix:
//   - Windows XP x64: version 5.2, build 3790, workstation, NT platform;
//     the process runs under WOW64;
//   - C: a fixed drive, R: a removable one, Q: no drive at all;
//   - the scratch keys HKLM\SYSTEM\QarnContract and HKLM\SOFTWARE\QarnContract
//     (in both registry views) absent, and no service named QarnContract.
// What a Win32 program cannot arrange for itself (the ANSI code page, a
// process that is not WOW64) the substitute sets up and the real machine only
// reports; a test that needs another arrangement skips.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ScopedHandle.h"

class ContractMachine {
public:
    virtual ~ContractMachine() = default;
    virtual Platform& os() = 0;
    // Whether the active ANSI code page is (the substitute: has been made) this one.
    virtual bool UseCodePage(UINT codePage) = 0;
    // Runs `work` on a new thread of the process and waits for its end.
    virtual void RunOnOtherThread(const std::function<void()>& work) = 0;
    // Whether there are a service manager, an event log and service processes
    // (the in-memory Windows of the product has none).
    virtual bool HasServices() { return true; }
    // Writes as the W functions (and regedit) do, what the ANSI calls cannot
    // name: the key, its parts separated by '\\', below HKEY_LOCAL_MACHINE,
    // and a REG_SZ value `name` holding `text`.
    virtual LONG SetUnicodeValue(const std::u16string& keyPath, const std::u16string& name,
                                 const std::u16string& text) = 0;
};

std::unique_ptr<ContractMachine> NewContractMachine();

namespace contract {

// Scratch keys below HKEY_LOCAL_MACHINE; SOFTWARE is the one WOW64 redirects.
inline const std::string kSystemScratch = "SYSTEM\\QarnContract";
inline const std::string kSoftwareScratch = "SOFTWARE\\QarnContract";

// Win32 error codes are long literals; the APIs hand some back as DWORD.
constexpr DWORD Code(long error) { return static_cast<DWORD>(error); }

using Names = std::vector<std::string>;

class ContractTest : public ::testing::Test {
protected:
    std::unique_ptr<ContractMachine> machine = NewContractMachine();
    Platform& os = machine->os();
};

inline LONG Open(Platform& os, ScopedRegKey& key, const std::string& path,
                 REGSAM access = KEY_READ) {
    return os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.receive());
}

inline LONG Create(Platform& os, ScopedRegKey& key, const std::string& path,
                   REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
    return os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              access, nullptr, key.receive(), disposition);
}

// Creates the key and closes it again.
inline LONG CreateKey(Platform& os, const std::string& path, REGSAM access = KEY_ALL_ACCESS) {
    ScopedRegKey key(os);
    return Create(os, key, path, access);
}

inline LONG SetValue(Platform& os, const std::string& path, const char* name, DWORD type,
                     const std::string& bytes, REGSAM access = KEY_ALL_ACCESS) {
    ScopedRegKey key(os);
    LONG error = Create(os, key, path, access);
    if (error != ERROR_SUCCESS) return error;
    return os.RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()));
}

inline LONG Enum(Platform& os, const ScopedRegKey& key, DWORD index, char* name, DWORD* length) {
    return os.RegEnumKeyExA(key.get(), index, name, length, nullptr, nullptr, nullptr, nullptr);
}

inline LONG Query(Platform& os, const ScopedRegKey& key, LPCSTR value, void* data, DWORD* size,
                  DWORD* type = nullptr) {
    return os.RegQueryValueExA(key.get(), value, nullptr, type, static_cast<BYTE*>(data), size);
}

// The subkey names of a key in enumeration order; "error <code>" when it cannot be opened.
inline Names SubkeyNames(Platform& os, const std::string& path, REGSAM access = KEY_READ) {
    ScopedRegKey key(os);
    LONG error = Open(os, key, path, access);
    if (error != ERROR_SUCCESS) return {"error " + std::to_string(error)};
    Names names;
    for (DWORD index = 0;; ++index) {
        char name[300];
        DWORD length = sizeof name;
        error = Enum(os, key, index, name, &length);
        if (error != ERROR_SUCCESS) {
            if (error != ERROR_NO_MORE_ITEMS) names.push_back("error " + std::to_string(error));
            return names;
        }
        names.push_back(std::string(name, length));
    }
}

}  // namespace contract
