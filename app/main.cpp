// QarnIEx.exe: a console switch (-v, -i, -u) is handled and the process ends;
// anything else hands the process to the service control manager.
#include "driveicons/IConEx.h"
#include "platform/Platform.h"

int main(int argc, char* argv[]) {
    CIConEx service(RealPlatform());
    if (!service.ProcessCommandLine(argc, argv)) service.RunDispatcher();
    return static_cast<int>(service.ServiceStatus.dwWin32ExitCode);
}
