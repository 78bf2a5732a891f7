// The contract's set-up layer for the real Win32 implementation. The runner
// (tests/win32/run_win32_tests.sh) arranges the Wine prefix; this layer only
// removes the scratch keys and the scratch service before and after each test.
#include <string>

#include "contract/ContractMachine.h"

namespace {

// Deletes a key and everything below it in one registry view; a missing key is
// fine. Through the W functions, which name every key, also those the code
// page cannot write; relative to its parent, as Wine takes no path of 260
// characters or more.
void DeleteTree(HKEY parent, const std::wstring& name, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
    wchar_t child[300];
    DWORD length = 300;
    for (DWORD index = 0; ::RegEnumKeyExW(key, index, child, &length, nullptr, nullptr, nullptr,
                                          nullptr) == ERROR_SUCCESS;
         length = 300) {
        DeleteTree(key, child, view);
        HKEY probe = nullptr;
        if (::RegOpenKeyExW(key, child, 0, KEY_READ | view, &probe) == ERROR_SUCCESS) {
            ::RegCloseKey(probe);
            ++index;  // could not be deleted: pass over it rather than loop
        }
    }
    using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    auto deleteEx = reinterpret_cast<RegDeleteKeyExWFn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleA("advapi32"), "RegDeleteKeyExW")));
    ::RegCloseKey(key);
    if (deleteEx != nullptr)
        deleteEx(parent, name.c_str(), view, 0);
    else
        ::RegDeleteKeyW(parent, name.c_str());
}

void RemoveScratch() {
    DeleteTree(HKEY_LOCAL_MACHINE, L"SYSTEM\\QarnContract", 0);
    DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QarnContract", KEY_WOW64_64KEY);
    DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QarnContract", KEY_WOW64_32KEY);
    SC_HANDLE scm = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr) return;
    if (SC_HANDLE service = ::OpenServiceA(scm, "QarnContract", SERVICE_ALL_ACCESS)) {
        ::DeleteService(service);
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(scm);
}

DWORD WINAPI RunWork(LPVOID work) {
    (*static_cast<const std::function<void()>*>(work))();
    return 0;
}

class Win32ContractMachine : public ContractMachine {
public:
    Win32ContractMachine() { RemoveScratch(); }
    ~Win32ContractMachine() override { RemoveScratch(); }
    Platform& os() override { return RealPlatform(); }
    bool UseCodePage(UINT codePage) override { return ::GetACP() == codePage; }
    LONG SetUnicodeValue(const std::u16string& keyPath, const std::u16string& name,
                         const std::u16string& text) override {
        HKEY key = nullptr;
        LONG error =
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (error != ERROR_SUCCESS) return error;
        error = ::RegSetValueExW(key, Wide(name), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>(2 * (text.size() + 1)));
        ::RegCloseKey(key);
        return error;
    }

private:
    static const wchar_t* Wide(const std::u16string& text) {
        return reinterpret_cast<const wchar_t*>(text.c_str());
    }
    void RunOnOtherThread(const std::function<void()>& work) override {
        HANDLE thread = ::CreateThread(nullptr, 0, RunWork,
                                       const_cast<std::function<void()>*>(&work), 0, nullptr);
        ASSERT_NE(nullptr, thread);
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
    }
};

}  // namespace

std::unique_ptr<ContractMachine> NewContractMachine() {
    return std::make_unique<Win32ContractMachine>();
}
