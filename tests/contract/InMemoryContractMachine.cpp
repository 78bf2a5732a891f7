// The contract's set-up layer for the in-memory Windows: a fresh one per test,
// arranged as the Wine runner arranges its prefix. The build chooses which:
// the product's MemoryWindows (platform_contract_memory) or the tests' double
// built on it (platform_contract).
#include <thread>
#include <type_traits>

#include "ContractMachine.h"
#include "support/FakeWindows.h"

namespace {

template <typename Windows>
class InMemoryContractMachine : public ContractMachine {
public:
    InMemoryContractMachine() {
        windows_.SetVersion(5, 2, VER_NT_WORKSTATION);
        windows_.SetWow64Process(true);
        windows_.SetDriveType('C', DRIVE_FIXED);
        windows_.SetDriveType('R', DRIVE_REMOVABLE);
        windows_.SetModulePath("C:\\QarnTest\\platform_contract.exe");
    }
    Platform& os() override { return windows_; }
    bool UseCodePage(UINT codePage) override { return windows_.SetCodePage(codePage); }
    void RunOnOtherThread(const std::function<void()>& work) override { std::thread(work).join(); }
    bool HasServices() override { return std::is_same_v<Windows, FakeWindows>; }
    LONG SetUnicodeValue(const std::u16string& keyPath, const std::u16string& name,
                         const std::u16string& text) override {
        MemoryWindows::KeyPath parts(1);
        for (char16_t c : keyPath) {
            if (c == u'\\')
                parts.emplace_back();
            else
                parts.back().push_back(c);
        }
        std::vector<BYTE> data;
        for (char16_t c : text + u'\0') data.insert(data.end(), {BYTE(c & 0xFF), BYTE(c >> 8)});
        return windows_.SetValue(parts, name, REG_SZ, std::move(data));
    }

private:
    Windows windows_;
};

}  // namespace

std::unique_ptr<ContractMachine> NewContractMachine() {
#ifdef QX_CONTRACT_ON_MEMORY_WINDOWS
    return std::make_unique<InMemoryContractMachine<MemoryWindows>>();
#else
    return std::make_unique<InMemoryContractMachine<FakeWindows>>();
#endif
}
