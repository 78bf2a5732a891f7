// A whole substitute registry built from the input (USB storage devices and
// instances with arbitrary names, ParentIdPrefix values of any type and size,
// mount records, DriveIcons keys with and without the marker, drive types,
// locked keys), then start, device events, changes of the drives, and stop.
// The invariants are checked after every step.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "driveicons/IConEx.h"
#include "support/FakeWindows.h"
#include "support/ReaderDevices.h"

namespace {

using namespace support;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && Upper(text.substr(0, prefix.size())) == Upper(prefix);
}

struct Instance {
    std::string device;
    std::string name;
    std::string parentId;
};

class Machine {
public:
    explicit Machine(FuzzedDataProvider& in) : in_(in) {}

    FakeWindows fake;
    std::vector<Instance> instances;
    bool wow64 = false;
    bool deleteKeyExPresent = true;

    void Build() {
        static const struct {
            DWORD major, minor;
            BYTE product;
        } versions[] = {{5, 1, VER_NT_WORKSTATION},
                        {5, 2, VER_NT_WORKSTATION},
                        {5, 2, 3 /* server */},
                        {6, 0, VER_NT_WORKSTATION},
                        {6, 0, 3},
                        {6, 1, VER_NT_WORKSTATION}};
        const auto& version = versions[in_.ConsumeIntegralInRange<size_t>(0, 5)];
        fake.SetVersion(version.major, version.minor, version.product);
        wow64 = in_.ConsumeBool();
        fake.SetWow64Process(wow64);
        deleteKeyExPresent = in_.ConsumeIntegralInRange<int>(0, 7) != 0;
        fake.SetExportPresent("RegDeleteKeyExA", deleteKeyExPresent);
        fake.SetCodePage(in_.ConsumeBool() ? 932 : 1252);
        if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
            fake.SetModulePath("C:\\" + Text(300) + "\\QarnIEx.exe");
        }

        fake.CreateKey(kUsbStor);
        fake.CreateKey(kMounted);
        fake.CreateKey(kDriveIcons);
        fake.CreateKey(kDriveIcons32);

        const int devices = in_.ConsumeIntegralInRange<int>(0, 6);
        for (int d = 0; d < devices; ++d) {
            const std::string device = DeviceName();
            fake.CreateKey(kUsbStor + "\\" + device);
            const int count = in_.ConsumeIntegralInRange<int>(0, 4);
            for (int i = 0; i < count; ++i) AddInstance(device);
        }
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) continue;
            static const UINT types[] = {DRIVE_REMOVABLE,  DRIVE_REMOVABLE, DRIVE_REMOVABLE,
                                         DRIVE_FIXED,      DRIVE_CDROM,     DRIVE_REMOTE,
                                         DRIVE_NO_ROOT_DIR};
            fake.SetDriveType(letter, types[in_.ConsumeIntegralInRange<size_t>(0, 6)]);
            MountRecord(letter);
            if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) OldIconKeys(letter);
        }
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) fake.DenyAccess(kDriveIcons);
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) fake.DenyAccess(kUsbStor);
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) fake.DenyAccess(kMounted);
        if (!instances.empty() && in_.ConsumeBool()) {
            const Instance& locked = Pick();
            fake.DenyAccess(kUsbStor + "\\" + locked.device + "\\" + locked.name);
        }
    }

    // A change of the drives between two events; a tracked drive is the
    // likeliest to be pulled out.
    void Change(const std::set<char>& tracked) {
        const char letter = static_cast<char>('D' + in_.ConsumeIntegralInRange<int>(0, 22));
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {  // pulled out; the record stays, as on Windows
            char gone = letter;
            if (!tracked.empty()) {
                auto it = tracked.begin();
                std::advance(it, in_.ConsumeIntegralInRange<size_t>(0, tracked.size() - 1));
                gone = *it;
            }
            fake.SetDriveType(gone, DRIVE_NO_ROOT_DIR);
            break;
        }
        case 1:  // plugged in
            fake.SetDriveType(letter, DRIVE_REMOVABLE);
            MountRecord(letter);
            break;
        case 2: {  // a new device
            const std::string device = DeviceName();
            AddInstance(device);
            break;
        }
        default:  // a device removed from the registry
            if (!instances.empty()) fake.DeleteTree(kUsbStor + "\\" + Pick().device);
            break;
        }
    }

    const Instance& Pick() {
        return instances[in_.ConsumeIntegralInRange<size_t>(0, instances.size() - 1)];
    }

    FuzzedDataProvider& in() { return in_; }

private:
    FuzzedDataProvider& in_;

    // Bytes of a key name or text: no NUL, and no '\', which would split the path.
    std::string Text(size_t maxLength) {
        std::string text = in_.ConsumeRandomLengthString(maxLength);
        for (char& c : text) {
            if (c == '\0' || c == '\\') c = '_';
        }
        return text;
    }

    std::string DeviceName() {
        std::string name;
        if (in_.ConsumeBool()) {
            name = ReaderModelTable[in_.ConsumeIntegralInRange<int>(0, ReaderModelCount - 1)]
                       .InstanceMatch;
            name += Text(20);
        } else {
            name = Text(255);
        }
        return name.empty() ? "x" : name;
    }

    void AddInstance(const std::string& device) {
        Instance instance{device, Text(255), "7&" + Text(12) + "&0"};
        if (instance.name.empty()) instance.name = "0";
        const std::string path = kUsbStor + "\\" + device + "\\" + instance.name;
        fake.CreateKey(path);
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: break;  // no ParentIdPrefix
        case 1:
        case 2: fake.SetString(path, "ParentIdPrefix", instance.parentId); break;
        default: {
            const DWORD type = in_.ConsumeIntegral<DWORD>() % 12;
            const std::string bytes = in_.ConsumeRandomLengthString(300);
            fake.SetValue(path, "ParentIdPrefix", type,
                          std::vector<BYTE>(bytes.begin(), bytes.end()));
            break;
        }
        }
        instances.push_back(instance);
    }

    void MountRecord(char letter) {
        const std::string name = MountValueName(letter);
        const int shape = in_.ConsumeIntegralInRange<int>(0, 5);
        if (shape == 0) return;
        if (shape == 5 || instances.empty()) {
            const std::string bytes = in_.ConsumeRandomLengthString(300);
            fake.SetBinary(kMounted, name, std::vector<BYTE>(bytes.begin(), bytes.end()));
            return;
        }
        const Instance& target = Pick();
        std::string text;
        if (shape <= 2) {
            text = "\\??\\STORAGE#RemovableMedia#" + target.parentId + "&RM#{53f56307}";
        } else {
            std::string device = target.device;
            std::replace(device.begin(), device.end(), '/', '#');
            text = "\\??\\USBSTOR#" + device + "#" + target.name + "#{53f56307}";
        }
        // Each byte one UTF-16 unit, the way SetMountRecord builds it.
        fake.SetBinary(kMounted, name, Latin1Units(text));
    }

    void OldIconKeys(char letter) {
        const std::string key = (in_.ConsumeBool() ? kDriveIcons : kDriveIcons32) + "\\" + letter;
        const std::string label =
            in_.ConsumeBool() ? ReaderModelTable[in_.ConsumeIntegralInRange<int>(0, 11)].Label
                              : Text(40);
        if (in_.ConsumeBool()) fake.SetString(key + "\\DefaultLabel", "", label);
        if (in_.ConsumeBool())
            fake.SetString(key + "\\DefaultIcon", "", "C:\\Old\\QarnIcons.dll,0");
        if (in_.ConsumeBool()) {
            const std::string marker = in_.ConsumeRandomLengthString(300);
            fake.SetValue(key, "QarnHMD", in_.ConsumeIntegral<DWORD>() % 12,
                          std::vector<BYTE>(marker.begin(), marker.end()));
        }
        if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) fake.CreateKey(key + "\\Other");
        fake.CreateKey(key);
    }
};

// The access mask at the end of a recorded key-open call.
unsigned long Access(const std::string& detail) {
    const size_t space = detail.rfind(' ');
    return space == std::string::npos ? 0 : std::strtoul(detail.c_str() + space + 1, nullptr, 16);
}

class Checker {
public:
    Checker(Machine& machine, CIConEx& service) : m_(machine), service_(service) {}

    void Begin() {
        outside_ = KeysOutsideDriveIcons();
        m_.fake.ClearCalls();
    }

    void End(const char* step) {
        (void)step;
        FUZZ_CHECK(m_.fake.OpenKeyCount() == 0, "registry key left open");
        const std::set<char> tracked = CheckSlots(service_);
        FUZZ_CHECK(KeysOutsideDriveIcons() == outside_, "key outside DriveIcons made or deleted");

        const std::string letterPrefix = Upper(kDriveIcons) + "\\";
        for (const FakeWindows::Call& call : m_.fake.Calls()) {
            const bool write = call.function == "RegSetValueExA";
            const bool remove =
                call.function == "RegDeleteKeyA" || call.function == "RegDeleteKeyExA";
            const bool create =
                (call.function == "RegCreateKeyExA" || call.function == "RegCreateKeyA") &&
                (Access(call.detail) & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0;
            if (!write && !remove && !create) continue;
            FUZZ_CHECK(StartsWithNoCase(call.detail, letterPrefix) &&
                           call.detail.size() > letterPrefix.size(),
                       "registry written outside DriveIcons");
            const char letter = call.detail[letterPrefix.size()];
            const std::string rest = call.detail.substr(letterPrefix.size() + 1);
            if (write) written_.insert(letter);
            // Deleting the letter key itself ends the drive's keys.
            if (remove && (rest.empty() || rest[0] == ' ')) written_.erase(letter);
        }
        const bool keysMayStay = service_.Scan.IsWow64() && !m_.deleteKeyExPresent;
        for (char letter : written_) {
            FUZZ_CHECK(tracked.count(letter) || keysMayStay,
                       "letter with keys of this run neither tracked nor released");
        }
    }

    // After the stop: no marked key with a known label in the service's view.
    void AfterStop() {
        FUZZ_CHECK(CheckSlots(service_).empty(), "slots left after the stop");
        if (service_.Scan.IsWow64() && !m_.deleteKeyExPresent) return;  // nothing can be deleted
        const std::string& base =
            (m_.wow64 && !service_.Scan.IsWow64()) ? kDriveIcons32 : kDriveIcons;
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            const std::string key = base + "\\" + letter;
            const auto marker = m_.fake.GetValue(key, "QarnHMD");
            const auto label = m_.fake.GetValue(key + "\\DefaultLabel", "");
            if (!marker || !label || marker->data.size() > MAX_PATH ||
                label->data.size() > MAX_PATH) {
                continue;
            }
            for (const ReaderModel& model : ReaderModelTable) {
                FUZZ_CHECK(label->AsString() != model.Label, "marked key with a known label left");
            }
        }
    }

private:
    Machine& m_;
    CIConEx& service_;
    std::vector<std::string> outside_;
    std::set<char> written_;

    std::vector<std::string> KeysOutsideDriveIcons() const {
        std::vector<std::string> keys;
        for (const std::string& path : m_.fake.KeysBelow("")) {
            if (StartsWithNoCase(path, kDriveIcons + "\\") ||
                StartsWithNoCase(path, kDriveIcons32 + "\\")) {
                continue;
            }
            keys.push_back(path);
        }
        return keys;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Machine machine(in);
    machine.Build();
    CIConEx service(machine.fake);
    Checker check(machine, service);

    check.Begin();
    service.OnInit();
    check.End("start");

    const int steps = in.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < steps && in.remaining_bytes() > 0; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            check.Begin();
            service.OnDeviceChange(DBT_DEVICEARRIVAL, nullptr);
            check.End("arrival");
            break;
        case 1:
            check.Begin();
            service.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, nullptr);
            check.End("removal");
            break;
        case 2:
            check.Begin();
            service.OnDeviceChange(in.ConsumeIntegral<DWORD>(), nullptr);
            check.End("other event");
            break;
        default: machine.Change(CheckSlots(service)); break;
        }
    }

    check.Begin();
    service.OnStop();
    check.End("stop");
    check.AfterStop();
    return 0;
}
