#include "DeviceEventScenarios.h"

#include <algorithm>
#include <cstdlib>

#include "platform/ScopedHandle.h"
#include "service/NTService.h"

namespace support {

namespace {

using Step = ScenarioStep;

// The readers and sticks of the two machines; the unit tests of the service's
// life (tests/driveicons/ServiceLifeTest.cpp) plug in the same ones.
const std::string kKfSlot = "Disk&Ven_Qarn&Prod_LNK___QX-KF_Slot&Rev_1.10";
const std::string kKaSlot = "Disk&Ven_Qarn&Prod_LNK___QX-KA_Slot&Rev_1.00";
const std::string kKdModule = "Disk&Ven_Qarn&Prod_KD_Slot_Module&Rev_1.00";
const std::string kKeeKfModule = "Disk&Ven_Qarn&Prod_KEE/KF__Module&Rev_1.00";
const std::string kSanDisk = "Disk&Ven_SanDisk&Prod_Cruzer_Micro&Rev_8.02";
const std::string kKingston = "Disk&Ven_Kingston&Prod_DataTraveler_2.0&Rev_1.00";

std::vector<DeviceEventScenario> BuildScenarios() {
    std::vector<DeviceEventScenario> scenarios;

    // Windows XP: parent-id records; NT 5.1 keeps the service in the 32-bit view.
    DeviceEventScenario xp;
    xp.name = "XpArrivalsAndRemovals";
    xp.vista = false;
    xp.drives = {{'E', kKbSlot, "0000000000001&0", "7&1a2b3c4d&0"},
                 {'F', kSanDisk, "20043512&0", "7&2c3d4e5f&0"},
                 {'G', kKcModule, "0000000000002&0", "7&aa11bb22&0"},
                 {'H', kKfSlot, "0000000000003&0", "7&3b4c5d6e&0"},
                 {'I', kKdSlot, "0000000000004&0", "7&4d5e6f70&0"},
                 {'J', kKfModule, "0000000000005&0", "7&5e6f7081&0"}};
    xp.presentAtStart = {'E', 'F', 'G'};
    xp.slotsAfterStart = "E1 G8 ";
    xp.keysAfterStart = {{'E', "KB Media", 3}, {'G', "KC Media", 5}};
    xp.steps = {
        {Step::Plug, 'H', "", {}, {}},
        {Step::Arrival,
         0,
         "E1 G8 H4 ",
         {{'E', "KB Media", 3}, {'G', "KC Media", 5}, {'H', "KEE/KF", 4}},
         {}},
        // A dual reader brings I and J at once: one arrival serves one drive.
        {Step::Plug, 'I', "", {}, {}},
        {Step::Plug, 'J', "", {}, {}},
        {Step::Arrival,
         0,
         "E1 G8 H4 I3 ",
         {{'E', "KB Media", 3}, {'G', "KC Media", 5}, {'H', "KEE/KF", 4}, {'I', "KD Media", 1}},
         {}},
        {Step::Arrival,
         0,
         "E1 G8 H4 I3 J10 ",
         {{'E', "KB Media", 3},
          {'G', "KC Media", 5},
          {'H', "KEE/KF", 4},
          {'I', "KD Media", 1},
          {'J', "KF Card", 4}},
         {}},
        // H goes while the others stay.
        {Step::Unplug, 'H', "", {}, {}},
        {Step::Removal,
         0,
         "E1 G8 I3 J10 ",
         {{'E', "KB Media", 3}, {'G', "KC Media", 5}, {'I', "KD Media", 1}, {'J', "KF Card", 4}},
         {}},
    };
    scenarios.push_back(xp);

    // Windows Vista x64: instance-path records, keys in the 64-bit view, and
    // keys a killed run left for K (gone) and G (still there).
    DeviceEventScenario vista;
    vista.name = "VistaArrivalsAndRemovalsIn64BitView";
    vista.vista = true;
    vista.drives = {{'E', kKcKb, "0000000000001&0", ""},
                    {'F', kKingston, "5B6C7D8E9F00&0", ""},
                    {'G', kKdModule, "0000000000007&0", ""},
                    {'H', kKeeKfModule, "0000000000008&0", ""},
                    {'I', kKaSlot, "0000000000009&0", ""}};
    vista.presentAtStart = {'E', 'F', 'G'};
    vista.staleKeys = {{'K', "KD Media", 0}, {'G', "KD Media", 0}};
    vista.slotsAfterStart = "E2 G9 ";
    vista.keysAfterStart = {{'E', "KB/KC", 3}, {'G', "KD Media", 1}};
    vista.steps = {
        {Step::Plug, 'H', "", {}, {}},
        {Step::Arrival,
         0,
         "E2 G9 H11 ",
         {{'E', "KB/KC", 3}, {'G', "KD Media", 1}, {'H', "KEE/KF", 4}},
         {}},
        {Step::Plug, 'I', "", {}, {}},
        {Step::Arrival,
         0,
         "E2 G9 H11 I0 ",
         {{'E', "KB/KC", 3}, {'G', "KD Media", 1}, {'H', "KEE/KF", 4}, {'I', "KA Media", 0}},
         {}},
        {Step::Unplug, 'E', "", {}, {}},
        {Step::Removal,
         0,
         "G9 H11 I0 ",
         {{'G', "KD Media", 1}, {'H', "KEE/KF", 4}, {'I', "KA Media", 0}},
         {}},
        // E comes back and takes the first free slot again.
        {Step::Plug, 'E', "", {}, {}},
        {Step::Arrival,
         0,
         "E2 G9 H11 I0 ",
         {{'E', "KB/KC", 3}, {'G', "KD Media", 1}, {'H', "KEE/KF", 4}, {'I', "KA Media", 0}},
         {}},
    };
    scenarios.push_back(vista);

    // Someone else changes the keys of two tracked drives: E loses its
    // DefaultLabel key, G gets a subkey of another program. When they go,
    // what is the service's is deleted and the foreign subkey stays, and
    // with it the letter key and its marker.
    DeviceEventScenario changed;
    changed.name = "VistaKeysChangedBySomeoneElse";
    changed.vista = true;
    changed.drives = {{'E', kKbModule, "0000000000011&0", ""},
                      {'G', kKcModule, "0000000000012&0", ""}};
    changed.presentAtStart = {'E', 'G'};
    changed.slotsAfterStart = "E6 G8 ";
    changed.keysAfterStart = {{'E', "KB Media", 3}, {'G', "KC Media", 5}};
    const std::vector<std::string> foreign = {"G QarnHMD=KC Media", "G\\Shell"};
    changed.steps = {
        {Step::LabelKeyDeleted, 'E', "", {}, {}},
        {Step::ForeignSubkeyAdded, 'G', "", {}, {}},
        {Step::Unplug, 'E', "", {}, {}},
        {Step::Removal, 0, "G8 ", {{'G', "KC Media", 5}}, {"G\\Shell"}},
        {Step::Unplug, 'G', "", {}, {}},
        {Step::Removal, 0, "", {}, foreign},
    };
    changed.extraAfterStop = foreign;
    scenarios.push_back(changed);
    return scenarios;
}

REGSAM View64() { return KEY_WOW64_64KEY; }

LONG CreateKey(Platform& os, const std::string& path, ScopedRegKey& key) {
    return os.RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS | View64(), nullptr, key.receive(), nullptr);
}

bool SetValue(Platform& os, const std::string& path, const char* name, DWORD type,
              const std::vector<BYTE>& data) {
    ScopedRegKey key(os);
    if (CreateKey(os, path, key) != ERROR_SUCCESS) return false;
    return os.RegSetValueExA(key.get(), name, 0, type, data.data(),
                             static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

std::vector<BYTE> Sz(const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

LONG DeleteKey(Platform& os, const std::string& path) {
    FARPROC deleteEx = os.GetProcAddress(os.GetModuleHandleA("Advapi32"), "RegDeleteKeyExA");
    if (deleteEx == nullptr) return os.RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return os.CallRegDeleteKeyExA(deleteEx, HKEY_LOCAL_MACHINE, path.c_str(), View64(), 0);
}

std::vector<std::string> Subkeys(Platform& os, const std::string& path) {
    std::vector<std::string> names;
    ScopedRegKey key(os);
    if (os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | View64(), key.receive()) !=
        ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; ++index) {
        char name[MAX_PATH];
        DWORD length = sizeof name;
        if (os.RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return names;
        names.push_back(std::string(name, length));
    }
}

void DeleteTree(Platform& os, const std::string& path) {
    for (const std::string& name : Subkeys(os, path)) DeleteTree(os, path + "\\" + name);
    DeleteKey(os, path);
}

// A value as text, up to its first NUL; false when it is missing.
bool ReadText(Platform& os, const std::string& path, const char* name, std::string& text) {
    ScopedRegKey key(os);
    if (os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | View64(), key.receive()) !=
        ERROR_SUCCESS)
        return false;
    char data[1024] = {};
    DWORD size = sizeof data - 1;
    if (os.RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                            &size) != ERROR_SUCCESS)
        return false;
    text.assign(data, std::find(data, data + size, '\0'));
    return true;
}

void CollectState(Platform& os, const std::string& base, const std::string& relative,
                  const std::string& directory, std::vector<std::string>& lines) {
    for (const std::string& name : Subkeys(os, relative.empty() ? base : base + "\\" + relative)) {
        const std::string rel = relative.empty() ? name : relative + "\\" + name;
        const std::string path = base + "\\" + rel;
        std::string line = rel;
        std::string text;
        if (ReadText(os, path, nullptr, text)) {
            if (!directory.empty() && text.compare(0, directory.size(), directory) == 0)
                text = "<dir>\\" + text.substr(directory.size());
            line += " =" + text;
        }
        if (ReadText(os, path, "QarnHMD", text)) line += " QarnHMD=" + text;
        lines.push_back(line);
        CollectState(os, base, rel, directory, lines);
    }
}

}  // namespace

const std::vector<DeviceEventScenario>& DeviceEventScenarios() {
    static const std::vector<DeviceEventScenario> scenarios = BuildScenarios();
    return scenarios;
}

const DeviceEventScenario& FindScenario(const std::string& name) {
    for (const DeviceEventScenario& scenario : DeviceEventScenarios())
        if (name == scenario.name) return scenario;
    std::abort();
}

std::string IconBase(bool vista, bool wow64) {
    return vista || !wow64 ? kDriveIcons : kDriveIcons32;
}
std::string OtherIconBase(bool vista, bool wow64) {
    return IconBase(vista, wow64) == kDriveIcons ? kDriveIcons32 : kDriveIcons;
}

bool WriteReaderRecords(Platform& os, const ScenarioDrive& drive, bool vista) {
    const std::string instance = kUsbStor + "\\" + drive.deviceKey + "\\" + drive.instance;
    bool written;
    if (vista) {
        ScopedRegKey key(os);
        written = CreateKey(os, instance, key) == ERROR_SUCCESS;
    } else {
        written = SetValue(os, instance, "ParentIdPrefix", REG_SZ, Sz(drive.parentId));
    }
    const std::string record = vista ? InstancePathRecord(drive.deviceKey, drive.instance)
                                     : ParentIdRecord(drive.parentId);
    return written && SetValue(os, kMounted, MountValueName(drive.letter).c_str(), REG_BINARY,
                               Latin1Units(record));
}

void ClearScenarioKeys(Platform& os, const DeviceEventScenario& scenario) {
    for (const ScenarioDrive& drive : scenario.drives)
        DeleteTree(os, kUsbStor + "\\" + drive.deviceKey);
    for (const std::string& base : {kDriveIcons, kDriveIcons32})
        for (const std::string& name : Subkeys(os, base))
            if (name.size() == 1) DeleteTree(os, base + "\\" + name);
}

bool WriteStaleKeys(Platform& os, const std::string& base, const ExpectedLetter& letter) {
    const std::string key = LetterKey(letter.letter, base);
    return SetValue(os, key + "\\DefaultLabel", nullptr, REG_SZ, Sz(letter.label)) &&
           SetValue(os, key + "\\DefaultIcon", nullptr, REG_SZ, Sz("C:\\Old\\QarnIcons.dll,0")) &&
           SetValue(os, key, "QarnHMD", REG_SZ, Sz(letter.label));
}

bool DeleteLabelKey(Platform& os, const std::string& base, char letter) {
    return DeleteKey(os, LetterKey(letter, base) + "\\DefaultLabel") == ERROR_SUCCESS;
}

bool AddForeignSubkey(Platform& os, const std::string& base, char letter) {
    ScopedRegKey key(os);
    return CreateKey(os, LetterKey(letter, base) + "\\Shell", key) == ERROR_SUCCESS;
}

std::vector<std::string> DriveIconState(Platform& os, const std::string& base,
                                        const std::string& moduleDirectory) {
    std::vector<std::string> lines;
    CollectState(os, base, "", moduleDirectory, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> ExpectedState(const std::vector<ExpectedLetter>& letters,
                                       const std::vector<std::string>& extra) {
    std::vector<std::string> lines = extra;
    for (const ExpectedLetter& expected : letters) {
        const std::string letter(1, expected.letter);
        lines.push_back(letter + " QarnHMD=" + expected.label);
        lines.push_back(letter + "\\DefaultIcon =<dir>\\QarnIcons.dll," +
                        std::to_string(expected.icon));
        lines.push_back(letter + "\\DefaultLabel =" + expected.label);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

DWORD DeliverDeviceEvent(DWORD eventType) {
    // A volume's arrival or removal, as the service control manager passes it.
    DEV_BROADCAST_DEVICEINTERFACE_A record{};
    record.dbcc_size = sizeof record;
    record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record.dbcc_classguid = {
        0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    return CNTService::Handler(SERVICE_CONTROL_DEVICEEVENT, eventType, &record,
                               reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(1)));
}

}  // namespace support
