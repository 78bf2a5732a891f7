// The contract's set-up layer for the real Win32 implementation. The runner
// (tests/win32/run_win32_tests.sh) arranges the Wine prefix; this layer only
// removes the scratch keys and the scratch service before and after each test.
#include "contract/ContractMachine.h"

namespace {

// Deletes a key and everything below it in one registry view; a missing key is
// fine. Relative to its parent, as Wine's ANSI functions take no path of 260
// characters or more.
void DeleteTree(HKEY parent, const std::string& name, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
    char child[MAX_PATH];
    DWORD length = sizeof child;
    for (DWORD index = 0; ::RegEnumKeyExA(key, index, child, &length, nullptr, nullptr, nullptr,
                                          nullptr) == ERROR_SUCCESS;
         length = sizeof child) {
        DeleteTree(key, child, view);
        HKEY probe = nullptr;
        if (::RegOpenKeyExA(key, child, 0, KEY_READ | view, &probe) == ERROR_SUCCESS) {
            ::RegCloseKey(probe);
            ++index;  // could not be deleted: pass over it rather than loop
        }
    }
    using RegDeleteKeyExAFn = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);
    auto deleteEx = reinterpret_cast<RegDeleteKeyExAFn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleA("advapi32"), "RegDeleteKeyExA")));
    ::RegCloseKey(key);
    if (deleteEx != nullptr)
        deleteEx(parent, name.c_str(), view, 0);
    else
        ::RegDeleteKeyA(parent, name.c_str());
}

void RemoveScratch() {
    DeleteTree(HKEY_LOCAL_MACHINE, contract::kSystemScratch, 0);
    DeleteTree(HKEY_LOCAL_MACHINE, contract::kSoftwareScratch, KEY_WOW64_64KEY);
    DeleteTree(HKEY_LOCAL_MACHINE, contract::kSoftwareScratch, KEY_WOW64_32KEY);
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
