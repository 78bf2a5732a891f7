// GoogleTest checks shared by the drive icon tests; the builders they use
// are in tests/support.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/FakeMachine.h"

namespace fixture {

using namespace support;

// Keys under DriveIcons of every kind the restore meets: marked with a known
// label (F "KD Media", K "KA Media" of rows 0 and 5), an empty marker (J),
// a marker naming a model without a DefaultLabel value (E) or key (G), as a
// failed delete or a crash leaves them, one naming none without a
// DefaultLabel (L), a label without a marker (H), a label in other case (I),
// and a letter before 'D' (C).
inline void WriteIconKeysOfEveryKind(FakeWindows& fake) {
    WriteIconKeys(fake, 'F', "KD Media");
    WriteIconKeys(fake, 'K', "KA Media");
    fake.SetString(LetterKey('E'), "QarnHMD", "KB Media");
    fake.CreateKey(LetterKey('E') + "\\DefaultLabel");
    fake.SetString(LetterKey('G'), "QarnHMD", "KB Media");
    fake.SetString(LetterKey('L'), "QarnHMD", "KB/KC Media");
    fake.SetString(LetterKey('H') + "\\DefaultLabel", "", "KB Media");
    WriteIconKeys(fake, 'I', "kb media");
    WriteIconKeys(fake, 'J', "KF Card");
    fake.SetString(LetterKey('J'), "QarnHMD", "");
    WriteIconKeys(fake, 'C', "KB Media");
}

// Every letter D to Z marked by an earlier run (every fourth without its
// DefaultIcon), and 22 reader drives E to Z: more than the 20 slots.
inline void MarkEveryLetterAndPlugMoreReadersThanSlots(FakeWindows& fake) {
    const char* labels[] = {"KA Media", "KB Media", "KB/KC", "KEE/KF", "KF Card"};
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        WriteIconKeys(fake, letter, labels[letter % 5]);
        if (letter % 4 == 0) fake.DeleteTree(LetterKey(letter) + "\\DefaultIcon");
    }
    for (char letter = 'E'; letter <= 'Z'; ++letter) {
        PlugParentIdDevice(fake, letter, kKcModule, std::string(1, letter) + "&0",
                           std::string("7&") + letter + "&0");
    }
}

inline std::vector<BYTE> SzBytes(const std::string& text) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// The letter's keys hold exactly the label, icon (none: no DefaultIcon key)
// and marker the service writes.
inline ::testing::AssertionResult HasDriveKeys(const FakeWindows& fake, char letter,
                                               const std::string& label,
                                               const std::optional<std::string>& icon,
                                               const std::string& base = kDriveIcons) {
    const std::string key = LetterKey(letter, base);
    auto expectSz = [&](const std::string& path, const std::string& name,
                        const std::string& text) -> std::string {
        auto value = fake.GetValue(path, name);
        if (!value) return path + " [" + name + "] missing";
        if (value->type != REG_SZ || value->data != SzBytes(text)) {
            return path + " [" + name + "] holds '" + value->AsString() + "' type " +
                   std::to_string(value->type) + ", expected '" + text + "'";
        }
        return "";
    };
    std::string failure = expectSz(key + "\\DefaultLabel", "", label);
    if (failure.empty()) failure = expectSz(key, "QarnHMD", label);
    if (failure.empty() && icon) failure = expectSz(key + "\\DefaultIcon", "", *icon);
    if (failure.empty() && !icon && fake.KeyExists(key + "\\DefaultIcon")) {
        failure = key + "\\DefaultIcon exists";
    }
    if (failure.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << failure;
}

}  // namespace fixture
