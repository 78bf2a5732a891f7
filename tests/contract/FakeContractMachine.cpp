// The contract's set-up layer for the in-memory substitute: a fresh
// FakeWindows per test, arranged as the Wine runner arranges its prefix.
#include <thread>

#include "ContractMachine.h"
#include "platform/fake/FakeWindows.h"

namespace {

class FakeContractMachine : public ContractMachine {
public:
    FakeContractMachine() {
        fake_.SetVersion(5, 2, VER_NT_WORKSTATION);
        fake_.SetWow64Process(true);
        fake_.SetDriveType('C', DRIVE_FIXED);
        fake_.SetDriveType('R', DRIVE_REMOVABLE);
        fake_.SetModulePath("C:\\QarnTest\\platform_contract.exe");
    }
    Platform& os() override { return fake_; }
    bool UseCodePage(UINT codePage) override {
        fake_.SetCodePage(codePage);
        return true;
    }
    void RunOnOtherThread(const std::function<void()>& work) override {
        std::thread(work).join();
    }

private:
    FakeWindows fake_;
};

}  // namespace

std::unique_ptr<ContractMachine> NewContractMachine() {
    return std::make_unique<FakeContractMachine>();
}
