// The scans walk USBSTOR once for all their letters. On generated machines
// they must do what the rule says letter by letter: the first instance, in
// enumeration order, of a reader's device key that belongs to the letter's
// volume; slots in letter order while they last; the same keys in the same
// order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "DriveFixture.h"

using namespace fixture;

namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

int ModelRow(const std::string& text) {
    for (int row = 0; row < ReaderModelCount; ++row) {
        if (text.find(ReaderModelTable[row].InstanceMatch) != std::string::npos) return row;
    }
    return -1;
}

// The rule for one letter: the text its model row is looked up in, or "".
std::string FirstMatch(FakeWindows& fake, bool vista, char letter,
                       std::map<char, std::string>& records) {
    VolumeId v;
    if (fake.GetDriveTypeA((std::string(1, letter) + ":\\").c_str()) != DRIVE_REMOVABLE ||
        !records.count(letter) ||
        !(vista ? ParseInstancePathText(fake, records[letter], v.DeviceKeyName, v.InstanceKeyName)
                : ParseParentIdText(fake, records[letter], v.ParentId))) {
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

// Readers, their names in other case (no model: that test is case-sensitive)
// and sticks sorting before and after them; instances with parent ids from a
// small pool, so several devices claim one volume. Letters: not removable,
// without a record, with a malformed one, or naming an instance in any case;
// dense machines have more reader drives than slots.
std::map<char, std::string> Generate(FakeWindows& fake, std::mt19937& rng, bool vista, bool dense) {
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    auto flip = [&](std::string text) {
        for (char& c : text) {
            if (pick(3) == 0)
                c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
        }
        return text;
    };
    fake.SetVersion(vista ? 6 : 5, vista ? 0 : 1, VER_NT_WORKSTATION);
    fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
    const std::string readers[] = {kKbSlot, kKcKb, kKdSlot, kKbModule, kKcModule, kKfModule};
    std::vector<std::string> instances;
    for (size_t d = 0, count = 2 + pick(12); d < count; ++d) {
        const std::string kinds[] = {readers[pick(6)], readers[pick(6)], flip(readers[pick(6)]),
                                     "Disk&Ven_Aaa&Prod_" + std::to_string(d),
                                     "Disk&Ven_Zed&Prod_" + std::to_string(d)};
        const std::string device = kinds[pick(dense ? 2 : 5)];
        for (size_t i = 0, n = 1 + pick(3); i < n; ++i) {
            instances.push_back(device + "\\" + std::to_string(pick(50)) + "&0");
            fake.CreateKey(kUsbStor + "\\" + instances.back());
            if (pick(6) != 0) {
                fake.SetString(kUsbStor + "\\" + instances.back(), "ParentIdPrefix",
                               "7&" + std::to_string(pick(30)) + "&0");
            }
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
        if (kind > 0) fake.SetDriveType(letter, DRIVE_REMOVABLE);
        if (kind < 2) continue;
        const std::string& instance = instances[pick(instances.size())];
        const auto prefix = fake.GetValue(kUsbStor + "\\" + instance, "ParentIdPrefix");
        const size_t slash = instance.rfind('\\');
        records[letter] = kind == 2 ? malformed[pick(6)]
                          : vista   ? InstancePathRecord(flip(instance.substr(0, slash)),
                                                         flip(instance.substr(slash + 1)))
                                    : ParentIdRecord(flip(prefix ? prefix->AsString() : "7&99&0"));
        fake.SetMountRecord(letter, records[letter]);
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
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool vista = round % 2 == 1;
        FakeWindows fake;
        std::map<char, std::string> records = Generate(fake, rng, vista, round % 8 < 2);
        CIConEx service(fake);
        CIConEx expected(fake);  // its slots: what the rule says

        // The start-up scan.
        std::string writes;
        DriveSlot* slot = expected.Scan.DriveSlots;
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            const std::string match = FirstMatch(fake, vista, letter, records);
            if (match.empty() || slot == std::end(expected.Scan.DriveSlots)) continue;
            const ReaderModel& model = ReaderModelTable[ModelRow(match)];
            *slot++ = DriveSlot{letter, static_cast<unsigned short>(ModelRow(match))};
            const std::string key = LetterKey(letter);
            writes += key + " QarnHMD=" + model.Label + "\n" + key +
                      "\\DefaultLabel =" + model.Label + "\n" + key + "\\DefaultIcon =C:\\Qarn\\" +
                      model.IconRef + "\n";
        }
        fake.ClearCalls();
        ASSERT_TRUE(service.OnInit());
        EXPECT_EQ(Slots(expected), Slots(service));
        EXPECT_EQ(writes, Writes(fake));

        // Drives go, come and change. A removal frees the slot of the gone
        // drive of the highest slot (of every gone one with releaseAll), and
        // of one whose volume now belongs to another model; an arrival gives
        // the first free slot to the lowest new reader drive.
        if (rng() % 3 == 0) fake.DeleteTree(kUsbStor + "\\" + kKbSlot);
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            if (rng() % 4 == 0) fake.SetDriveType(letter, DRIVE_NO_ROOT_DIR);
            if (rng() % 5 == 0) fake.SetDriveType(letter, DRIVE_REMOVABLE);
            if (rng() % 4 == 0) {  // another volume behind the letter, of no reader
                records[letter] =
                    vista ? InstancePathRecord(kStick, "1&0") : ParentIdRecord("7&0&9");
                fake.SetMountRecord(letter, records[letter]);
            }
        }
        const bool releaseAll = rng() % 2 == 0;
        for (int index = DriveSlotCount - 1, released = 0; index >= 0; --index) {
            DriveSlot& tracked = expected.Scan.DriveSlots[index];
            if (tracked.Letter == 0 || (released && !releaseAll)) continue;
            const std::string match = FirstMatch(fake, vista, tracked.Letter, records);
            if (!match.empty() && ModelRow(match) == tracked.ModelIndex) continue;
            tracked.Letter = 0;
            released = 1;
        }
        EXPECT_TRUE(service.Scan.ReleaseDrives(releaseAll));
        EXPECT_EQ(Slots(expected), Slots(service));

        slot =
            std::find_if(std::begin(expected.Scan.DriveSlots), std::end(expected.Scan.DriveSlots),
                         [](const DriveSlot& s) { return s.Letter == 0; });
        for (char letter = 'D'; letter <= 'Z' && slot != std::end(expected.Scan.DriveSlots);
             ++letter) {
            const std::string match = FirstMatch(fake, vista, letter, records);
            if (match.empty() || Slots(expected).find(letter) != std::string::npos) continue;
            *slot = DriveSlot{letter, static_cast<unsigned short>(ModelRow(match))};
            break;
        }
        service.Scan.AssignFromFirstLetter(FALSE);
        EXPECT_EQ(Slots(expected), Slots(service));
        EXPECT_EQ(0u, fake.OpenKeyCount());
        if (HasFailure()) break;
    }
}
