// The explanation against the service itself: on the machines of the drive
// icon tests, what the explanation says of each letter is what the service's
// start then does to it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Scenarios.h"
#include "explain/DriveExplainer.h"
#include "explain/ExplanationText.h"
#include "explain/ShownText.h"
#include "explain/Verdict.h"

using namespace fixture;

namespace {

// The letter's keys after the start, as the explanation tells it: the old
// keys unless deleted, then the values written.
IconKeysNow Predicted(const LetterExplanation& letter) {
    IconKeysNow keys = letter.deleted && letter.deleteFunctionFound ? IconKeysNow{} : letter.now;
    for (const ValueWrite& write : letter.writes) {
        if (!write.accepted) continue;
        keys.exists = true;
        if (write.subkey.empty() && write.valueName == "QarnHMD") keys.marker = write.text;
        if (write.subkey == "DefaultLabel" && write.valueName.empty()) keys.label = write.text;
        if (write.subkey == "DefaultIcon" && write.valueName.empty()) keys.icon = write.text;
    }
    return keys;
}

std::string KeysText(const IconKeysNow& keys) {
    if (!keys.exists) return "none";
    auto part = [](const std::optional<std::string>& value) {
        return value ? "'" + *value + "'" : "-";
    };
    return "marker " + part(keys.marker) + ", label " + part(keys.label) + ", icon " +
           part(keys.icon);
}

}  // namespace

TEST(ExplanationAgreesWithTheService, OnTheMachinesOfTheDriveIconTests) {
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        FakeWindows fake;
        fake.SetModulePath("C:\\Qarn\\QarnIEx.exe");
        scenario.build(fake);

        const Explanation explanation = ExplainDrives(fake, ExplainOptions{});
        CIConEx service(fake);
        ASSERT_TRUE(service.OnInit());
        // Read back in the service's view, through the same reads.
        const Explanation after = ExplainDrives(fake, ExplainOptions{});

        std::string withIcon;
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            SCOPED_TRACE(std::string("letter ") + letter);
            const LetterExplanation& said = explanation.Letter(letter);
            const DriveSlot* slot = nullptr;
            for (const DriveSlot& candidate : service.Scan.DriveSlots) {
                if (candidate.Letter == letter) slot = &candidate;
            }
            EXPECT_EQ(said.GetsIcon(), slot != nullptr);
            // The fleet's reason word and step agree with the verdict.
            const LetterVerdict verdict = JudgeLetter(explanation, said);
            const ReasonText* reason = FindReason(verdict.reason);
            ASSERT_NE(nullptr, reason) << verdict.reason;
            EXPECT_STREQ(reason->step, verdict.step);
            EXPECT_EQ(said.GetsIcon(), std::string(verdict.verdict) != "NO ICON");
            if (said.GetsIcon()) {
                withIcon += letter;
                if (slot) {
                    EXPECT_EQ(said.modelRow, slot->ModelIndex);
                }
            }
            EXPECT_EQ(KeysText(Predicted(said)), KeysText(after.Letter(letter).now));
        }
        EXPECT_EQ(scenario.lettersWithIcon, withIcon);
        EXPECT_EQ(0u, fake.OpenKeyCount());
    }
}
