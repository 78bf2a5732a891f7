// System queries: version records, drive types, the module path, the
// run-time look-up of optional exports, and the per-thread last error.
#include <cstring>

#include "ContractMachine.h"

namespace {

using namespace contract;
using SystemContract = ContractTest;

TEST_F(SystemContract, VersionRecordSizeDecidesWhatIsFilledAndWhatFails) {
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(sizeof ex, ex.dwOSVersionInfoSize);
    EXPECT_EQ(5u, ex.dwMajorVersion);
    EXPECT_EQ(2u, ex.dwMinorVersion);
    EXPECT_EQ(3790u, ex.dwBuildNumber);
    EXPECT_EQ(Code(VER_PLATFORM_WIN32_NT), ex.dwPlatformId);
    EXPECT_EQ(VER_NT_WORKSTATION, ex.wProductType);

    OSVERSIONINFOEXA plain{};
    plain.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    plain.wProductType = 0x77;
    ASSERT_TRUE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&plain)));
    EXPECT_EQ(ex.dwMajorVersion, plain.dwMajorVersion);
    EXPECT_EQ(ex.dwMinorVersion, plain.dwMinorVersion);
    EXPECT_EQ(ex.dwBuildNumber, plain.dwBuildNumber);
    EXPECT_EQ(ex.dwPlatformId, plain.dwPlatformId);
    EXPECT_STREQ(ex.szCSDVersion, plain.szCSDVersion);
    EXPECT_EQ(0x77, plain.wProductType);  // beyond the short record: untouched

    OSVERSIONINFOEXA odd{};
    odd.dwOSVersionInfoSize = 100;
    os.SetLastError(0);
    EXPECT_FALSE(os.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&odd)));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    EXPECT_EQ(0u, odd.dwMajorVersion);
}

TEST_F(SystemContract, DriveTypesArePerLetter) {
    EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), os.GetDriveTypeA("C:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), os.GetDriveTypeA("R:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), os.GetDriveTypeA("r:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), os.GetDriveTypeA("R:"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), os.GetDriveTypeA("Q:\\"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), os.GetDriveTypeA(nullptr));  // the current drive
}

TEST_F(SystemContract, ModulePathIsCutToTheBuffer) {
    char path[MAX_PATH];
    const DWORD n = os.GetModuleFileNameA(nullptr, path, MAX_PATH);
    ASSERT_GT(n, 8u);
    ASSERT_LT(n, static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(std::strlen(path), n);
    EXPECT_EQ(':', path[1]);
    EXPECT_EQ('\\', path[2]);
    char same[MAX_PATH];
    EXPECT_EQ(n, os.GetModuleFileNameA(os.GetModuleHandleA(nullptr), same, MAX_PATH));
    EXPECT_STREQ(path, same);

    // Too short: cut to the buffer without a terminator (as Windows XP
    // does; Vista puts a NUL in the last byte), the buffer size returned,
    // nothing written past it.
    char small[10];
    std::memset(small, 'x', sizeof small);
    os.SetLastError(0);
    EXPECT_EQ(8u, os.GetModuleFileNameA(nullptr, small, 8));
    const DWORD error = os.GetLastError();
    EXPECT_EQ(std::string(path, 8), std::string(small, 8));
    EXPECT_EQ("xx", std::string(small + 8, 2));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), error);
    // No room for the NUL alone is too short as well.
    std::vector<char> exact(n + 1, 'x');
    EXPECT_EQ(n, os.GetModuleFileNameA(nullptr, exact.data(), n));
    EXPECT_EQ(std::string(path, n), std::string(exact.data(), n));
    os.SetLastError(0);
    EXPECT_EQ(n, os.GetModuleFileNameA(nullptr, exact.data(), n + 1));
    EXPECT_STREQ(path, exact.data());
    EXPECT_EQ(0u, os.GetLastError());
    // A module the process has not loaded has no file.
    EXPECT_EQ(0u, os.GetModuleFileNameA(reinterpret_cast<HMODULE>(0x7A500000), same, MAX_PATH));
    EXPECT_EQ(Code(ERROR_MOD_NOT_FOUND), os.GetLastError());
}

TEST_F(SystemContract, LooksUpOptionalExportsByModuleAndName) {
    HMODULE kernel = os.GetModuleHandleA("kernel32");
    ASSERT_NE(nullptr, kernel);
    EXPECT_EQ(kernel, os.GetModuleHandleA("KERNEL32.DLL"));
    HMODULE advapi = os.GetModuleHandleA("Advapi32");
    ASSERT_NE(nullptr, advapi);
    EXPECT_EQ(advapi, os.GetModuleHandleA("advapi32.dll"));
    EXPECT_NE(kernel, advapi);
    os.SetLastError(0);
    EXPECT_EQ(nullptr, os.GetModuleHandleA("user64"));
    EXPECT_EQ(Code(ERROR_MOD_NOT_FOUND), os.GetLastError());

    FARPROC isWow64 = os.GetProcAddress(kernel, "IsWow64Process");
    ASSERT_NE(nullptr, isWow64);
    EXPECT_NE(nullptr, os.GetProcAddress(advapi, "RegDeleteKeyExA"));
    os.SetLastError(0);
    EXPECT_EQ(nullptr, os.GetProcAddress(advapi, "IsWow64Process"));  // another module's
    EXPECT_EQ(Code(ERROR_PROC_NOT_FOUND), os.GetLastError());
    EXPECT_EQ(nullptr,
              os.GetProcAddress(kernel, "iswow64process"));  // export names keep their case
}

TEST_F(SystemContract, IsWow64ProcessTellsAProcessUnderWow64) {
    // The runner's machine is 64-bit: the 32-bit process runs under WOW64.
    FARPROC isWow64 = os.GetProcAddress(os.GetModuleHandleA("kernel32"), "IsWow64Process");
    ASSERT_NE(nullptr, isWow64);
    BOOL flag = FALSE;
    EXPECT_TRUE(os.CallIsWow64Process(isWow64, os.GetCurrentProcess(), &flag));
    EXPECT_TRUE(flag);
}

TEST_F(SystemContract, LastErrorBelongsToTheCallingThread) {
    os.SetLastError(1234);
    const DWORD mainId = os.GetCurrentThreadId();
    EXPECT_EQ(mainId, os.GetCurrentThreadId());
    EXPECT_EQ(0u, mainId % 4);  // Windows thread ids are multiples of four
    DWORD otherError = 99, otherId = 0;
    machine->RunOnOtherThread([&] {
        otherError = os.GetLastError();
        os.SetLastError(5);
        otherId = os.GetCurrentThreadId();
    });
    EXPECT_EQ(0u, otherError);
    EXPECT_EQ(1234u, os.GetLastError());
    EXPECT_NE(mainId, otherId);

    // Failing registry calls return their error and leave the last error alone.
    os.SetLastError(77);
    ScopedRegKey missing(os);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Open(os, missing, kSystemScratch + "\\Nothing"));
    EXPECT_EQ(77u, os.GetLastError());
}

}  // namespace

namespace {

using namespace contract;
using SystemContract = ContractTest;

TEST_F(SystemContract, ComputerNameIsTheNetBiosNameAndSaysTheSizeItNeeds) {
    WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(os.GetComputerNameW(name, &size));
    ASSERT_GT(size, 0u);
    ASSERT_LE(size, static_cast<DWORD>(MAX_COMPUTERNAME_LENGTH));
    EXPECT_EQ(0, name[size]);
    for (DWORD i = 0; i < size; ++i) EXPECT_NE(0, name[i]);
    // No room for the NUL: a failure that names the size with it.
    WCHAR small[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD smallSize = size;
    os.SetLastError(0);
    EXPECT_FALSE(os.GetComputerNameW(small, &smallSize));
    EXPECT_EQ(Code(ERROR_BUFFER_OVERFLOW), os.GetLastError());
    EXPECT_EQ(size + 1, smallSize);
}

// The process's own view and the machine's: a WOW64 process is told of x86.
TEST_F(SystemContract, SystemInfoOfTheProcessAndOfTheMachine) {
    FARPROC native = os.GetProcAddress(os.GetModuleHandleA("kernel32"), "GetNativeSystemInfo");
    ASSERT_NE(nullptr, native);
    SYSTEM_INFO machineInfo{};
    os.CallGetNativeSystemInfo(native, &machineInfo);
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_AMD64, machineInfo.wProcessorArchitecture);
    EXPECT_EQ(4096u, machineInfo.dwPageSize);
    EXPECT_EQ(65536u, machineInfo.dwAllocationGranularity);
    EXPECT_GE(machineInfo.dwNumberOfProcessors, 1u);
    SYSTEM_INFO processInfo{};
    os.GetSystemInfo(&processInfo);
    BOOL wow64 = FALSE;
    ASSERT_TRUE(
        os.CallIsWow64Process(os.GetProcAddress(os.GetModuleHandleA("kernel32"), "IsWow64Process"),
                              os.GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64 ? PROCESSOR_ARCHITECTURE_INTEL : PROCESSOR_ARCHITECTURE_AMD64,
              processInfo.wProcessorArchitecture);
    EXPECT_EQ(4096u, processInfo.dwPageSize);
}

}  // namespace
