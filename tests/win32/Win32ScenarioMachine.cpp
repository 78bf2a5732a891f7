// The scenarios' machine on the real Win32 platform under Wine. A Win32
// program cannot plug in a USB drive, so drive letters come and go through
// Wine's mount manager, the way winecfg defines drives: a removable drive on
// the folder named by QX_MEDIA_DIR (a Unix path the runner creates), or no
// drive at all. Like Windows the mount manager writes a record under
// SYSTEM\MountedDevices for a drive it defines, and (unlike Windows) deletes
// it with the drive; the scenario writes the reader's own record afterwards.
// The Windows version is the runner's (HKCU\Software\Wine "Version").
#include "support/DeviceEventScenarios.h"

#include <winioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Wine's private mount manager interface (include/ddk/mountmgr.h of Wine).
constexpr DWORD kMountMgrType = 0x6D;
constexpr DWORD kDefineUnixDrive =
    CTL_CODE(kMountMgrType, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
struct UnixDrive {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};

class Win32ScenarioMachine : public support::ScenarioMachine {
public:
    Win32ScenarioMachine() {
        manager_ =
            ::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        const char* media = std::getenv("QX_MEDIA_DIR");
        if (media != nullptr) media_ = media;
    }
    ~Win32ScenarioMachine() override {
        if (manager_ != INVALID_HANDLE_VALUE) ::CloseHandle(manager_);
    }
    Platform& os() override { return RealPlatform(); }
    bool Wow64Process() override {
        BOOL wow64 = FALSE;
        return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
    }
    bool UseWindows(bool vista) override {
        OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof version;
        // The 32-bit program must run under WOW64; the 64-bit one is 64-bit Windows itself.
        return ::GetVersionExA(&version) && (sizeof(void*) == 8 || Wow64Process()) &&
               version.dwMajorVersion == (vista ? 6u : 5u) &&
               version.dwMinorVersion == (vista ? 0u : 1u);
    }
    bool SetDrivePresent(char letter, bool present) override {
        if (manager_ == INVALID_HANDLE_VALUE || (present && media_.empty())) return false;
        std::vector<char> buffer(sizeof(UnixDrive) + media_.size() + 1, 0);
        auto* drive = reinterpret_cast<UnixDrive*>(buffer.data());
        drive->size = sizeof(UnixDrive);
        drive->letter = static_cast<WCHAR>(letter - 'A' + 'a');
        drive->type = present ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR;
        if (present) {
            drive->mountPointOffset = sizeof(UnixDrive);
            std::memcpy(buffer.data() + sizeof(UnixDrive), media_.c_str(), media_.size() + 1);
            drive->size = static_cast<ULONG>(buffer.size());
        }
        // Removing a letter that is no drive fails, and changes nothing.
        DWORD returned = 0;
        if (!::DeviceIoControl(manager_, kDefineUnixDrive, buffer.data(), drive->size, nullptr, 0,
                               &returned, nullptr) &&
            present)
            return false;
        const char root[] = {letter, ':', '\\', '\0'};
        return ::GetDriveTypeA(root) == (present ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR);
    }

private:
    HANDLE manager_ = INVALID_HANDLE_VALUE;
    std::string media_;
};

}  // namespace

std::unique_ptr<support::ScenarioMachine> support::NewScenarioMachine() {
    return std::make_unique<Win32ScenarioMachine>();
}
