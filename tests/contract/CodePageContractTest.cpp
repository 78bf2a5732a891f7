// The active ANSI code page: WideCharToMultiByte and IsDBCSLeadByte, as the
// mount record conversion and the text searches use them.
#include <cstring>

#include "ContractMachine.h"

namespace {

using namespace contract;
using CodePageContract = ContractTest;

std::string Convert(Platform& os, const std::u16string& text, BOOL* usedDefault = nullptr) {
    char out[64];
    int n = os.WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(text.c_str()),
                                   static_cast<int>(text.size()), out, sizeof out, nullptr,
                                   usedDefault);
    return std::string(out, n > 0 ? n : 0);
}

// Bytes of the active code page as UTF-16, by MultiByteToWideChar.
std::u16string Widen(Platform& os, const std::string& text) {
    WCHAR out[64];
    const int n =
        os.MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out, 64);
    return std::u16string(reinterpret_cast<const char16_t*>(out), n > 0 ? n : 0);
}

TEST_F(CodePageContract, Windows1252MapsLatin1AndItsOwnPunctuationAndDefaultsTheRest) {
    if (!machine->UseCodePage(1252)) GTEST_SKIP() << "needs the ANSI code page 1252";
    EXPECT_EQ(1252u, os.GetACP());
    EXPECT_EQ(u"Café € “x” …™–", Widen(os, "Caf\xE9 \x80 \x93x\x94 \x85\x99\x96"));
    EXPECT_EQ(u"\u0081\u008D\u008F\u0090\u009D", Widen(os, "\x81\x8D\x8F\x90\x9D"));
    // -1: up to and including the NUL; size 0: only the size; too small: nothing.
    EXPECT_EQ(4, os.MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0));
    WCHAR two[2];
    os.SetLastError(0);
    EXPECT_EQ(0, os.MultiByteToWideChar(CP_ACP, 0, "abc", 3, two, 2));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    BOOL usedDefault = TRUE;
    EXPECT_EQ("Caf\xE9 \x80 \x93x\x94 \x85\x99\x96", Convert(os, u"Café € “x” …™–", &usedDefault));
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ("a?b", Convert(os, u"a\u3042b", &usedDefault));
    EXPECT_TRUE(usedDefault);
    // Look-alikes take the nearest character (best fit): \u0100, full-width '#'
    // and '\', division slash; each half of a surrogate pair is one default.
    EXPECT_EQ("A#\\/aA", Convert(os, u"\u0100\uFF03\uFF3C\u2215\u0101\u01DE", &usedDefault));
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ("x??", Convert(os, u"x\U00010000", &usedDefault));
    EXPECT_TRUE(usedDefault);
    // The five bytes 1252 leaves without a character stand for the C1 controls
    // of the same value, both ways.
    EXPECT_EQ("\x81\x8D\x8F\x90\x9D", Convert(os, u"\u0081\u008D\u008F\u0090\u009D", &usedDefault));
    EXPECT_FALSE(usedDefault);
    for (BYTE byte : {0x41, 0x5C, 0x83, 0x95, 0xE0})
        EXPECT_FALSE(os.IsDBCSLeadByte(byte)) << int{byte};

    // -1: up to and including the NUL; size 0: only the size.
    const auto* abc = reinterpret_cast<LPCWCH>(u"abc");
    EXPECT_EQ(4, os.WideCharToMultiByte(CP_ACP, 0, abc, -1, nullptr, 0, nullptr, nullptr));
    char out[8];
    EXPECT_EQ(4, os.WideCharToMultiByte(CP_ACP, 0, abc, -1, out, sizeof out, nullptr, nullptr));
    EXPECT_STREQ("abc", out);
}

TEST_F(CodePageContract, ShiftJisKeepsDoubleByteCharactersWholeInCodePage932) {
    if (!machine->UseCodePage(932)) GTEST_SKIP() << "needs the ANSI code page 932";
    EXPECT_EQ(932u, os.GetACP());
    EXPECT_EQ(u"ソ表A\\ｱ", Widen(os,
                                 "\x83\x5C\x95\x5C"
                                 "A\\\xB1"));
    EXPECT_EQ(3, os.MultiByteToWideChar(CP_ACP, 0, "\x83\x5C\x95\x5C", -1, nullptr, 0));
    EXPECT_EQ("\x83\x5C\x95\x5C\x94\x5C\x8F\x5C", Convert(os, u"ソ表能十"));
    EXPECT_EQ(
        "\x82\xA0\x93\xFA\x96\x7B"
        "A\\\xB1",
        Convert(os, u"あ日本A\\ｱ"));
    BOOL usedDefault = FALSE;
    EXPECT_EQ("?x", Convert(os, u"\u0101x", &usedDefault));
    EXPECT_TRUE(usedDefault);
    // Best fit: é, ¥, ù, ß; full-width '#' and '\' are characters of their own here.
    EXPECT_EQ("e\\us\x81\x94\x81\x5F",
              Convert(os, u"\u00E9\u00A5\u00F9\u00DF\uFF03\uFF3C", &usedDefault));
    EXPECT_FALSE(usedDefault);
    EXPECT_TRUE(os.IsDBCSLeadByte(0x81));
    EXPECT_TRUE(os.IsDBCSLeadByte(0x83));
    EXPECT_TRUE(os.IsDBCSLeadByte(0x9F));
    EXPECT_TRUE(os.IsDBCSLeadByte(0xE0));
    EXPECT_TRUE(os.IsDBCSLeadByte(0xFC));
    for (BYTE byte : {0x41, 0x5C, 0x7F, 0x80, 0xA0, 0xB1, 0xDF, 0xFD})
        EXPECT_FALSE(os.IsDBCSLeadByte(byte)) << int{byte};

    // Too small: nothing past the buffer, no half character, and a failure.
    const auto* text = reinterpret_cast<LPCWCH>(u"aソ表");
    char out[6];
    std::memset(out, 'x', sizeof out);
    os.SetLastError(0);
    EXPECT_EQ(0, os.WideCharToMultiByte(CP_ACP, 0, text, 3, out, 4, nullptr, nullptr));
    EXPECT_EQ(Code(ERROR_INSUFFICIENT_BUFFER), os.GetLastError());
    EXPECT_EQ("a\x83\x5Cx", std::string(out, 4));
    EXPECT_EQ('x', out[4]);
    EXPECT_EQ(5, os.WideCharToMultiByte(CP_ACP, 0, text, 3, nullptr, 0, nullptr, nullptr));
}

}  // namespace
