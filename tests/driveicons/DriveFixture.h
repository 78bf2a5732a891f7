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
