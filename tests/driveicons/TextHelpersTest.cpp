// Code-page-aware searches and the two mount-text parses.
#include <gtest/gtest.h>

#include <string>

#include "driveicons/AnsiText.h"
#include "driveicons/MountText.h"
#include "support/FakeWindows.h"

using namespace AnsiText;

TEST(AnsiText, SingleByteSearchesAndCaseRules) {
    FakeWindows fake;  // code page 1252
    const std::string text = "a#b#c\\d";
    EXPECT_EQ(1u, FindChar(fake, text, '#'));
    EXPECT_EQ(3u, FindChar(fake, text, '#', 2));
    EXPECT_EQ(npos, FindChar(fake, text, '#', 4));
    EXPECT_EQ(3u, FindLastChar(fake, text, '#'));
    EXPECT_EQ(5u, FindLastChar(fake, text, '\\'));
    EXPECT_EQ(npos, FindLastChar(fake, text, '&'));
    EXPECT_EQ("a/b/c\\d", ReplaceChar(fake, text, '#', '/'));

    // Occurrence is case-sensitive and may start at the first character.
    EXPECT_EQ(0u, Find(fake, "Disk&Ven_Qarn", "Disk"));
    EXPECT_EQ(npos, Find(fake, "disk&ven_qarn", "Disk&Ven"));
    EXPECT_EQ(npos, Find(fake, "Dis", "Disk"));

    // Equality ignores the case of ASCII letters only, and the length counts.
    EXPECT_TRUE(EqualNoCase(fake, "7&1A2B&0", "7&1a2b&0"));
    EXPECT_FALSE(EqualNoCase(fake, "7&1a2b&0", "7&1a2b&"));
    EXPECT_FALSE(EqualNoCase(fake, "\xC4", "\xE4"));  // Latin-1 letters are not folded
    EXPECT_TRUE(EqualNoCase(fake, "", ""));

    const char buffer[4] = {'a', 'b', 'c', 'd'};  // no NUL
    EXPECT_EQ("abcd", FromBuffer(buffer, sizeof buffer));
    EXPECT_EQ("ab", FromBuffer("ab\0cd", 5));
}

TEST(AnsiText, DoubleByteCharactersAreNeverSplit) {
    FakeWindows fake;
    fake.SetCodePage(932);
    // U+30BD and U+8868 end in 0x5C in code page 932; 0x83 followed by '#' is
    // not valid 932, but the helpers must still take it as one character.
    const std::string so = "\x83\x5C";
    const std::string hyo = "\x95\x5C";
    const std::string text = "C:\\Qarn\\" + so + hyo + ".exe";
    EXPECT_EQ(7u, FindLastChar(fake, text, '\\'));
    EXPECT_EQ(2u, CharLength(fake, text, 8));
    EXPECT_EQ(npos, FindLastChar(fake, so + hyo, '\\'));

    const std::string leadHash = "ab\x83#cd#";
    EXPECT_EQ(6u, FindChar(fake, leadHash, '#'));
    EXPECT_EQ(6u, FindLastChar(fake, leadHash, '#'));
    EXPECT_EQ("ab\x83#cd/", ReplaceChar(fake, leadHash, '#', '/'));
    EXPECT_EQ(npos, Find(fake, leadHash, "#cd"));
    EXPECT_EQ(4u, Find(fake, leadHash, "cd"));
    // A text ending in a lead byte must not match into the trail byte.
    EXPECT_EQ(npos, Find(fake, "x\x83\x5C", "x\x83"));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(1u, CharLength(fake, "a\x83", 1));

    // Trail bytes in the ASCII letter range are never folded.
    EXPECT_FALSE(EqualNoCase(fake, "\x83\x61", "\x83\x41"));
    EXPECT_TRUE(EqualNoCase(fake, "AB\x83\x61", "ab\x83\x61"));
    EXPECT_FALSE(EqualNoCase(fake, "\x83\x61x", "a\x83\x61"));

    // Under 1252 the same bytes are two characters each.
    fake.SetCodePage(1252);
    EXPECT_EQ(11u, FindLastChar(fake, text, '\\'));
    EXPECT_EQ(3u, FindChar(fake, leadHash, '#'));
}

TEST(MountText, ParentIdParse) {
    FakeWindows fake;
    std::string parentId = "stale";
    EXPECT_TRUE(ParseParentIdText(
        fake, "\\??\\STORAGE#RemovableMedia#7&1a2b3c4d&0&RM#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
        parentId));
    EXPECT_EQ("7&1a2b3c4d&0", parentId);

    EXPECT_FALSE(ParseParentIdText(fake, "\\??\\STORAGE#Volume#1&30a96598&0&RM#{x}", parentId));
    EXPECT_FALSE(ParseParentIdText(fake, "\\??\\STORAGE#removablemedia#7&1&0&RM#{x}", parentId));
    // No '&': empty head, so an empty parent id.
    EXPECT_TRUE(ParseParentIdText(fake, "RemovableMedia#abc", parentId));
    EXPECT_EQ("", parentId);
    // No '#' after the marker inside the head: the whole head.
    EXPECT_TRUE(ParseParentIdText(fake, "X#RemovableMedia7&1&RM", parentId));
    EXPECT_EQ("X#RemovableMedia7&1", parentId);
    // Marker after the last '&': no '#' is looked for.
    EXPECT_TRUE(ParseParentIdText(fake, "a&b#RemovableMedia#c", parentId));
    EXPECT_EQ("a", parentId);

    // Under 932 a double-byte character ending in 0x5C stays whole.
    fake.SetCodePage(932);
    EXPECT_TRUE(
        ParseParentIdText(fake, "\\??\\STORAGE#RemovableMedia#7&\x95\x5C&0&RM#{x}", parentId));
    EXPECT_EQ("7&\x95\x5C&0", parentId);
}

TEST(MountText, InstancePathParse) {
    FakeWindows fake;
    std::string device = "stale";
    std::string instance = "stale";
    EXPECT_TRUE(ParseInstancePathText(fake,
                                      "\\??\\USBSTOR#Disk&Ven_Qarn&Prod_LNK___QX-KC#KB&Rev_1.00#"
                                      "0000000000001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                                      device, instance));
    EXPECT_EQ("Disk&Ven_Qarn&Prod_LNK___QX-KC/KB&Rev_1.00", device);
    EXPECT_EQ("0000000000001&0", instance);

    EXPECT_FALSE(
        ParseInstancePathText(fake, "\\??\\STORAGE#RemovableMedia#7&1&0&RM#{x}", device, instance));
    EXPECT_FALSE(ParseInstancePathText(fake, "\\??\\usbstor#Disk#1#{x}", device, instance));
    // Only the GUID field after the first '#': no device, no instance.
    EXPECT_TRUE(ParseInstancePathText(fake, "USBSTOR#{x}", device, instance));
    EXPECT_EQ("", device);
    EXPECT_EQ("", instance);
    // No '#' at all.
    EXPECT_TRUE(ParseInstancePathText(fake, "USBSTOR", device, instance));
    EXPECT_EQ("", device);
    EXPECT_EQ("", instance);
    // Device and instance without a GUID field of their own.
    EXPECT_TRUE(ParseInstancePathText(fake, "USBSTOR#Dev#Inst", device, instance));
    EXPECT_EQ("", device);
    EXPECT_EQ("Dev", instance);

    // A '#' that is the trail of a double-byte character is no separator.
    fake.SetCodePage(932);
    EXPECT_TRUE(ParseInstancePathText(fake, "\\??\\USBSTOR#Disk&Ven_\x83#x#Inst\x95\x5C#{g}",
                                      device, instance));
    EXPECT_EQ("Disk&Ven_\x83#x", device);
    EXPECT_EQ("Inst\x95\x5C", instance);
}

TEST(MountText, RecordConversion) {
    FakeWindows fake;
    std::string text = "stale";
    // Exactly 260 bytes without a NUL: 130 characters.
    std::vector<BYTE> full;
    for (int i = 0; i < 130; ++i) {
        full.push_back(static_cast<BYTE>('a' + i % 26));
        full.push_back(0);
    }
    EXPECT_TRUE(MountRecordToText(fake, full.data(), full.size(), text));
    ASSERT_EQ(130u, text.size());
    EXPECT_EQ('a', text[0]);
    EXPECT_EQ(static_cast<char>('a' + 129 % 26), text[129]);

    // The text ends at the first NUL character.
    const std::vector<BYTE> withNul = {'A', 0, 'B', 0, 0, 0, 'C', 0};
    EXPECT_TRUE(MountRecordToText(fake, withNul.data(), withNul.size(), text));
    EXPECT_EQ("AB", text);
    const std::vector<BYTE> empty(8, 0);
    EXPECT_TRUE(MountRecordToText(fake, empty.data(), empty.size(), text));
    EXPECT_EQ("", text);

    // Under 932: U+30BD and U+8868 become two bytes each, trail 0x5C.
    fake.SetCodePage(932);
    const std::vector<BYTE> dbcs = FakeWindows::Utf16Bytes(u"#\u30BD\u8868#");
    EXPECT_TRUE(MountRecordToText(fake, dbcs.data(), dbcs.size(), text));
    EXPECT_EQ("#\x83\x5C\x95\x5C#", text);

    // 130 characters of two bytes each: the text of a full record is never cut.
    std::vector<BYTE> wide = FakeWindows::Utf16Bytes(std::u16string(130, u'\u8868'));
    EXPECT_TRUE(MountRecordToText(fake, wide.data(), wide.size(), text));
    EXPECT_EQ(260u, text.size());
    EXPECT_EQ("\x95\x5C", text.substr(258));
}
