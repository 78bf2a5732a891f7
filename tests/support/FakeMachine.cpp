#include "FakeMachine.h"

#include <cstring>

namespace support {

void PlugParentIdDevice(FakeWindows& fake, char letter, const std::string& deviceKey,
                        const std::string& instance, const std::string& parentId) {
    fake.SetDriveType(letter, DRIVE_REMOVABLE);
    fake.SetMountRecord(letter, ParentIdRecord(parentId));
    fake.SetString(kUsbStor + "\\" + deviceKey + "\\" + instance, "ParentIdPrefix", parentId);
}

void PlugInstancePathDevice(FakeWindows& fake, char letter, const std::string& deviceKey,
                            const std::string& instance) {
    fake.SetDriveType(letter, DRIVE_REMOVABLE);
    fake.SetMountRecord(letter, InstancePathRecord(deviceKey, instance));
    fake.CreateKey(kUsbStor + "\\" + deviceKey + "\\" + instance);
}

void WriteIconKeys(FakeWindows& fake, char letter, const std::string& label,
                   const std::string& base) {
    fake.SetString(LetterKey(letter, base) + "\\DefaultLabel", "", label);
    fake.SetString(LetterKey(letter, base) + "\\DefaultIcon", "", "C:\\Old\\QarnIcons.dll,0");
    fake.SetString(LetterKey(letter, base), "QarnHMD", label);
}

std::vector<std::string> DriveIconKeys(const FakeWindows& fake, const std::string& base) {
    std::vector<std::string> names;
    for (const std::string& path : fake.KeysBelow(base)) {
        names.push_back(path.size() > base.size() + 1 ? path.substr(base.size() + 1) : path);
    }
    return names;
}

std::vector<std::string> TraceTexts(const FakeWindows& fake) {
    std::vector<std::string> texts;
    for (std::string line : fake.DebugOutput()) {
        const size_t prefixEnd = line.find("): ");
        if (prefixEnd != std::string::npos) line = line.substr(prefixEnd + 3);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        texts.push_back(line);
    }
    return texts;
}

void ReadyForScan(CIConEx& service, bool vista) {
    std::strcpy(service.Scan.ModuleDirectory, "C:\\Qarn\\");
    service.Scan.SetPlatform(vista ? TRUE : FALSE, FALSE);
}

DispatcherRun::DispatcherRun(FakeWindows& fake, CNTService& service) : fake_(fake) {
    fake.SetStartedAsService(true);
    thread_ = std::thread([this, &service] { result_ = service.RunDispatcher(); });
}

BOOL DispatcherRun::Join() {
    if (thread_.joinable()) thread_.join();
    return result_;
}

void DispatcherRun::Stop() {
    if (!thread_.joinable()) return;
    fake_.SendControl(SERVICE_CONTROL_STOP);
    thread_.join();
}

}  // namespace support
