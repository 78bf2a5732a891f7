// Rebuilding the slots from marked keys, and deleting them.
#include <gtest/gtest.h>

#include <string>

#include "DriveFixture.h"

using namespace fixture;

TEST(RestorePurge, WhichLettersAreRestored) {
    FakeWindows fake;
    CIConEx service(fake);
    for (DriveSlot& slot : service.Scan.DriveSlots) slot = DriveSlot{'Q', 7};
    WriteIconKeysOfEveryKind(fake);

    service.Scan.RestoreDriveSlots();
    EXPECT_EQ("E1 F3 G1 J10 K0 ", Slots(service));
    EXPECT_EQ(0, service.Scan.DriveSlots[5].ModelIndex);  // cleared, not only freed
    EXPECT_EQ(0u, fake.OpenKeyCount());

    // Purge in reverse slot order: K before J before F.
    fake.DeleteTree(LetterKey('J') + "\\DefaultIcon");
    fake.ClearCalls();
    service.Scan.PurgeDriveIcons();
    std::string order;
    for (const auto& call : fake.Calls()) {
        if (call.function != "RegDeleteKeyA") continue;
        const size_t at = call.detail.find("DriveIcons\\");
        ASSERT_NE(std::string::npos, at);
        order += call.detail.substr(at + 11, 1);
    }
    EXPECT_EQ("KKKJJJGGGFFFEEE", order);
    EXPECT_EQ("", Slots(service));
    EXPECT_EQ(10, service.Scan.DriveSlots[3].ModelIndex);  // purge frees the letter only
    EXPECT_EQ(
        (std::vector<std::string>{"C", "C\\DefaultIcon", "C\\DefaultLabel", "H", "H\\DefaultLabel",
                                  "I", "I\\DefaultIcon", "I\\DefaultLabel", "L"}),
        DriveIconKeys(fake));

    // Nothing tracked: nothing deleted.
    fake.ClearCalls();
    service.Scan.PurgeDriveIcons();
    EXPECT_EQ(0u, fake.CountCallsWithPrefix("Reg"));
}

TEST(RestorePurge, MoreMarkedLettersThanSlots) {
    FakeWindows fake;
    CIConEx service(fake);
    for (char letter = 'D'; letter <= 'Z'; ++letter) WriteIconKeys(fake, letter, "KB Media");

    // The restore alone never goes past the twentieth slot.
    service.Scan.RestoreDriveSlots();
    EXPECT_EQ('D', service.Scan.DriveSlots[0].Letter);
    EXPECT_EQ('W', service.Scan.DriveSlots[19].Letter);

    // A stop removes all 23, also those beyond the twentieth.
    service.OnStop();
    EXPECT_TRUE(DriveIconKeys(fake).empty());
    EXPECT_EQ("", Slots(service));

    // 21 marked letters, with unmarked ones in between, at start.
    FakeWindows second;
    second.SetVersion(5, 1, VER_NT_WORKSTATION);
    CIConEx restarted(second);
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        if (letter == 'E' || letter == 'Y') continue;
        WriteIconKeys(second, letter, "KC Media");
    }
    WriteIconKeys(second, 'E', "Unknown");
    ASSERT_TRUE(restarted.OnInit());
    EXPECT_EQ((std::vector<std::string>{"E", "E\\DefaultIcon", "E\\DefaultLabel"}),
              DriveIconKeys(second));
    EXPECT_EQ(0u, second.OpenKeyCount());
}
