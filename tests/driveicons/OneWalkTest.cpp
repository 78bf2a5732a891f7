// The scans walk USBSTOR once for all their letters. On generated machines
// they must do what the rule says letter by letter: the first instance, in
// enumeration order, of a reader's device key that belongs to the letter's
// volume; slots in letter order while they last; the same keys in the same
// order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "DriveFixture.h"

using namespace fixture;

namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

int ModelRow(const std::string& text) {
    for (int row = 0; row < ReaderModelCount; ++row) {
        if (text.find(ReaderModelTable[row].InstanceMatch) != std::string::npos) return row;
    }
    return -1;
}

// The rule for one letter, plainly: the text its model row is looked up in,
// or "" when nothing matches.
std::string FirstMatch(FakeWindows& fake, bool vista, char letter,
                       const std::map<char, std::string>& records) {
    const auto record = records.find(letter);
    if (fake.GetDriveTypeA((std::string(1, letter) + ":\\").c_str()) != DRIVE_REMOVABLE ||
        record == records.end()) {
        return "";
    }
    VolumeId v;
    if (vista ? !ParseInstancePathText(fake, record->second, v.DeviceKeyName, v.InstanceKeyName)
              : !ParseParentIdText(fake, record->second, v.ParentId)) {
        return "";
    }
    for (const std::string& device : fake.SubkeyNames(kUsbStor)) {
        if ((vista && !SameNoCase(device, v.DeviceKeyName)) || ModelRow(device) < 0) continue;
        const std::string devicePath = kUsbStor + "\\" + device;
        for (const std::string& instance : fake.SubkeyNames(devicePath)) {
            const auto prefix = fake.GetValue(devicePath + "\\" + instance, "ParentIdPrefix");
            if (vista ? SameNoCase(instance, v.InstanceKeyName)
                      : prefix && SameNoCase(prefix->AsString(), v.ParentId)) {
                return vista ? device : devicePath + "\\" + instance;
            }
        }
    }
    return "";
}

std::string Flip(std::string text, std::mt19937& rng) {
    for (char& c : text) {
        if (rng() % 3 == 0)
            c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
    }
    return text;
}

// Readers, their names in other case (no model: that test is
// case-sensitive) and sticks sorting before and after them; instances with
// parent ids from a small pool, so several devices can claim one volume.
// Letters: not removable, without a record, with a malformed one, or naming
// an instance in any case; dense machines have more reader drives than slots.
std::map<char, std::string> Generate(FakeWindows& fake, std::mt19937& rng, bool vista, bool dense) {
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    fake.SetVersion(vista ? 6 : 5, vista ? 0 : 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    const std::string readers[] = {kKbSlot, kKcKb, kKdSlot, kKbModule, kKcModule, kKfModule};
    std::vector<std::pair<std::string, std::string>> instances;  // device, instance
    for (size_t d = 0, count = 2 + pick(12); d < count; ++d) {
        const std::string kinds[] = {
            readers[pick(6)], readers[pick(6)], Flip(readers[pick(6)], rng),
            "Disk&Ven_Aaa&Prod_" + std::to_string(d), "Disk&Ven_Zed&Prod_" + std::to_string(d)};
        const std::string device = kinds[pick(dense ? 2 : 5)];
        for (size_t i = 0, n = 1 + pick(3); i < n; ++i) {
            const std::string instance = std::to_string(pick(50)) + "&0";
            const std::string path = kUsbStor + "\\" + device + "\\" + instance;
            if (pick(6) == 0) {
                fake.CreateKey(path);
            } else {
                fake.SetString(path, "ParentIdPrefix", "7&" + std::to_string(pick(30)) + "&0");
            }
            instances.emplace_back(device, instance);
        }
    }
    const std::string malformed[] = {"",
                                     "\\??\\STORAGE#Volume#7&1&0&RM#{x}",
                                     "RemovableMedia",
                                     "USBSTOR",
                                     "\\??\\USBSTOR#Disk#1&0",
                                     "#&#&"};
    std::map<char, std::string> records;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        const size_t kind = dense ? 3 : pick(8);
        if (kind == 0) continue;
        fake.SetDriveType(letter, DRIVE_REMOVABLE);
        if (kind == 1) continue;
        std::string record = malformed[pick(6)];
        if (kind >= 3) {
            const auto& [device, instance] = instances[pick(instances.size())];
            const auto prefix =
                fake.GetValue(kUsbStor + "\\" + device + "\\" + instance, "ParentIdPrefix");
            record = vista ? InstancePathRecord(Flip(device, rng), Flip(instance, rng))
                           : ParentIdRecord(Flip(prefix ? prefix->AsString() : "7&99&0", rng));
        }
        fake.SetMountRecord(letter, record);
        records[letter] = record;
    }
    return records;
}

// Each value written, in order, with the text it holds now.
std::string Writes(const FakeWindows& fake) {
    std::string text;
    for (const FakeWindows::Call& call : fake.Calls()) {
        if (call.function != "RegSetValueExA") continue;
        const size_t blank = call.detail.rfind(' ');
        const auto value =
            fake.GetValue(call.detail.substr(0, blank), call.detail.substr(blank + 1));
        text += call.detail + "=" + (value ? value->AsString() : "?") + "\n";
    }
    return text;
}

}  // namespace

TEST(OneWalk, DecidesEveryLetterAsTheRuleDoesLetterByLetter) {
    std::mt19937 rng(18);
    for (int round = 0; round < 64; ++round) {
        const bool vista = round % 2 == 1;
        SCOPED_TRACE("round " + std::to_string(round));
        FakeWindows fake;
        const std::map<char, std::string> records = Generate(fake, rng, vista, round % 8 < 2);
        CIConEx service(fake);

        // The start-up scan.
        std::string slots;
        std::string writes;
        int taken = 0;
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            const std::string match = FirstMatch(fake, vista, letter, records);
            if (match.empty() || taken == DriveSlotCount) continue;
            ++taken;
            const int row = ModelRow(match);
            const ReaderModel& model = ReaderModelTable[row];
            slots += std::string(1, letter) + std::to_string(row) + " ";
            writes += LetterKey(letter) + "\\DefaultLabel =" + model.Label + "\n" +
                      LetterKey(letter) + "\\DefaultIcon =C:\\Qarn\\" + model.IconRef + "\n" +
                      LetterKey(letter) + " QarnHMD=" + model.Label + "\n";
        }
        fake.ClearCalls();
        ASSERT_TRUE(service.OnInit());
        EXPECT_EQ(slots, Slots(service));
        EXPECT_EQ(writes, Writes(fake));

        // Drives go and come. A removal takes back the gone drive of the
        // highest slot (every gone one with releaseAll); an arrival gives the
        // first free slot to the lowest new reader drive.
        if (rng() % 3 == 0) fake.DeleteTree(kUsbStor + "\\" + kKbSlot);
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            if (rng() % 4 == 0) fake.SetDriveType(letter, DRIVE_NO_ROOT_DIR);
            if (rng() % 5 == 0) fake.SetDriveType(letter, DRIVE_REMOVABLE);
        }
        CIConEx expected(fake);
        std::copy(std::begin(service.DriveSlots), std::end(service.DriveSlots),
                  expected.DriveSlots);
        const bool releaseAll = rng() % 2 == 0;
        for (int index = DriveSlotCount - 1, released = 0; index >= 0; --index) {
            DriveSlot& slot = expected.DriveSlots[index];
            if (slot.Letter == 0 || (released && !releaseAll)) continue;
            if (!FirstMatch(fake, vista, slot.Letter, records).empty()) continue;
            slot.Letter = 0;
            released = 1;
        }
        EXPECT_TRUE(service.ReleaseDrives(releaseAll));
        EXPECT_EQ(Slots(expected), Slots(service));

        DriveSlot* free =
            std::find_if(std::begin(expected.DriveSlots), std::end(expected.DriveSlots),
                         [](const DriveSlot& slot) { return slot.Letter == 0; });
        for (char letter = 'D'; letter <= 'Z' && free != std::end(expected.DriveSlots); ++letter) {
            const std::string match = FirstMatch(fake, vista, letter, records);
            const bool tracked =
                std::any_of(std::begin(expected.DriveSlots), std::end(expected.DriveSlots),
                            [&](const DriveSlot& slot) { return slot.Letter == letter; });
            if (match.empty() || tracked) continue;
            *free = DriveSlot{letter, static_cast<unsigned short>(ModelRow(match))};
            break;
        }
        service.ScanStartLetter = 'D';
        service.AssignDrives(FALSE);
        EXPECT_EQ(Slots(expected), Slots(service));
        EXPECT_EQ(0u, fake.OpenKeyCount());
        if (HasFailure()) break;
    }
}
