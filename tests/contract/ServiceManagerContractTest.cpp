// The service control manager as the console switches use it, with the
// last-error values they print, and the dispatcher outside a service process.
#include "ContractMachine.h"

namespace {

using namespace contract;
using ServiceManagerContract = ContractTest;

constexpr char kName[] = "QarnContract";

void WINAPI NoServiceMain(DWORD, LPSTR*) {}

TEST_F(ServiceManagerContract, CreatesOpensControlsAndDeletesWithTheirErrorCodes) {
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
    EXPECT_TRUE(os.DeleteService(service.get()));
    service.reset();
    EXPECT_EQ(nullptr, os.OpenServiceA(scm.get(), kName, SERVICE_ALL_ACCESS));
    EXPECT_EQ(Code(ERROR_SERVICE_DOES_NOT_EXIST), os.GetLastError());
}

TEST_F(ServiceManagerContract, DispatcherFailsInAProcessNotStartedAsAService) {
    char name[] = "QarnContract";
    SERVICE_TABLE_ENTRYA table[] = {{name, NoServiceMain}, {nullptr, nullptr}};
    os.SetLastError(0);
    EXPECT_FALSE(os.StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(Code(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), os.GetLastError());
}

TEST_F(ServiceManagerContract, EventSourceTakesReportsUntilDeregistered) {
    HANDLE source = os.RegisterEventSourceA(nullptr, kName);
    ASSERT_NE(nullptr, source);
    LPCSTR strings[] = {kName};
    EXPECT_TRUE(os.ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 105, nullptr, 1, 0, strings,
                                nullptr));
    EXPECT_TRUE(os.DeregisterEventSource(source));
}

}  // namespace
