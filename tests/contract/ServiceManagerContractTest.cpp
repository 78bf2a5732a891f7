// The service control manager as the console switches use it, with the
// last-error values they print, and the dispatcher outside a service process.
#include "ContractMachine.h"

namespace {

using namespace contract;
using ServiceManagerContract = ContractTest;

constexpr char kName[] = "QarnContract";

void WINAPI NoServiceMain(DWORD, LPSTR*) {}

TEST_F(ServiceManagerContract, CreatesOpensControlsAndDeletesWithTheirErrorCodes) {
    if (!machine->HasServices()) GTEST_SKIP() << "no service manager here";
    ScopedServiceHandle scm(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    {
        ScopedServiceHandle created(
            os, os.CreateServiceA(scm.get(), kName, "Qarn contract", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, "C:\\QarnTest\\absent.exe", nullptr,
                                  nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(created);
    }
    os.SetLastError(0);
    EXPECT_EQ(nullptr, os.CreateServiceA(scm.get(), "QARNCONTRACT", "x", SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, "C:\\QarnTest\\absent.exe", nullptr,
                                         nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Code(ERROR_SERVICE_EXISTS), os.GetLastError());
    EXPECT_EQ(nullptr, os.OpenServiceA(scm.get(), "QarnContractOther", SERVICE_QUERY_CONFIG));
    EXPECT_EQ(Code(ERROR_SERVICE_DOES_NOT_EXIST), os.GetLastError());

    ScopedServiceHandle service(os, os.OpenServiceA(scm.get(), "qarncontract", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    SERVICE_STATUS status{};
    ASSERT_TRUE(os.QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(Code(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(Code(SERVICE_WIN32_OWN_PROCESS), status.dwServiceType);
    EXPECT_FALSE(os.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(Code(ERROR_SERVICE_NOT_ACTIVE), os.GetLastError());
    // The extended status of a stopped service names no process.
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    EXPECT_FALSE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<LPBYTE>(&process), sizeof status,
                                         &needed));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    EXPECT_EQ(sizeof process, needed);
    ASSERT_TRUE(os.QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<LPBYTE>(&process), sizeof process,
                                        &needed));
    EXPECT_EQ(Code(SERVICE_STOPPED), process.dwCurrentState);
    EXPECT_EQ(0u, process.dwProcessId);
    // A change of nothing tells a service marked for deletion, which stays
    // while a handle to it is open.
    auto noChange = [&] {
        return os.ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    };
    EXPECT_TRUE(noChange());
    EXPECT_TRUE(os.DeleteService(service.get()));
    EXPECT_FALSE(noChange());
    EXPECT_EQ(Code(ERROR_SERVICE_MARKED_FOR_DELETE), os.GetLastError());
    service.reset();
    EXPECT_EQ(nullptr, os.OpenServiceA(scm.get(), kName, SERVICE_ALL_ACCESS));
    EXPECT_EQ(Code(ERROR_SERVICE_DOES_NOT_EXIST), os.GetLastError());
}

// What "-i" sets after the creation: the description and the recovery policy.
TEST_F(ServiceManagerContract, TakesADescriptionAndFailureActions) {
    if (!machine->HasServices()) GTEST_SKIP() << "no service manager here";
    ScopedServiceHandle scm(os, os.OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    ScopedServiceHandle service(
        os,
        os.CreateServiceA(scm.get(), kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\QarnTest\\absent.exe",
                          nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service);
    char text[] = "Qarn contract service";
    SERVICE_DESCRIPTIONA description = {text};
    EXPECT_TRUE(os.ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description));
    SC_ACTION restarts[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSA actions = {86400, nullptr, nullptr, 2, restarts};
    EXPECT_TRUE(os.ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &actions));
    EXPECT_TRUE(os.DeleteService(service.get()));
    service.reset();
    os.SetLastError(0);
    EXPECT_FALSE(os.ChangeServiceConfig2A(nullptr, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
}

TEST_F(ServiceManagerContract, DispatcherFailsInAProcessNotStartedAsAService) {
    char name[] = "QarnContract";
    SERVICE_TABLE_ENTRYA table[] = {{name, NoServiceMain}, {nullptr, nullptr}};
    os.SetLastError(0);
    EXPECT_FALSE(os.StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(Code(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), os.GetLastError());
}

// What "-u" meets when the service's process is already gone.
TEST_F(ServiceManagerContract, HandlesOfNoProcessFail) {
    os.SetLastError(0);
    EXPECT_EQ(nullptr, os.OpenProcess(SYNCHRONIZE, FALSE, 0));
    EXPECT_EQ(Code(ERROR_INVALID_PARAMETER), os.GetLastError());
    const HANDLE none = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF0000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_FAILED), os.WaitForSingleObject(none, 0));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
    os.SetLastError(0);
    EXPECT_FALSE(os.CloseHandle(none));
    EXPECT_EQ(Code(ERROR_INVALID_HANDLE), os.GetLastError());
}

TEST_F(ServiceManagerContract, EventSourceTakesReportsUntilDeregistered) {
    if (!machine->HasServices()) GTEST_SKIP() << "no event log here";
    HANDLE source = os.RegisterEventSourceA(nullptr, kName);
    ASSERT_NE(nullptr, source);
    LPCSTR strings[] = {kName};
    EXPECT_TRUE(os.ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 105, nullptr, 1, 0, strings,
                                nullptr));
    EXPECT_TRUE(os.DeregisterEventSource(source));
}

}  // namespace
