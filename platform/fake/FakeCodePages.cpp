// Code pages: the active ANSI code page (1252 single-byte or 932 double-byte)
// that cuts names into characters, folds their case, and converts UTF-16.
#include <cstring>

#include "platform/fake/FakeWindowsState.h"

namespace fakewindows {

bool IsLeadByte(UINT codePage, BYTE byte) {
    return codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

// Bytes of the character at `pos`. A lead byte at the end, or before a NUL,
// stands alone.
size_t CharLength(UINT codePage, const std::string& text, size_t pos) {
    if (pos + 1 < text.size() && text[pos + 1] != '\0' &&
        IsLeadByte(codePage, static_cast<BYTE>(text[pos])))
        return 2;
    return 1;
}

// Names are compared the way the registry does after converting them from
// the code page: per character, so a trail byte in 'a'..'z' stays as it is.
std::string Upper(std::string text, UINT codePage) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = CharLength(codePage, text, pos);
        if (length == 1 && text[pos] >= 'a' && text[pos] <= 'z')
            text[pos] = static_cast<char>(text[pos] - 'a' + 'A');
        pos += length;
    }
    return text;
}

// Split per character: under a double-byte code page a trail byte 0x5C is
// part of a name, not a separator. Empty components (a doubled or trailing
// separator) are passed over.
std::vector<std::string> SplitPath(const std::string& path, UINT codePage) {
    std::vector<std::string> parts;
    size_t start = 0;
    size_t pos = 0;
    while (pos < path.size()) {
        if (path[pos] == '\\') {
            if (pos > start) parts.push_back(path.substr(start, pos - start));
            start = ++pos;
        } else {
            pos += CharLength(codePage, path, pos);
        }
    }
    if (pos > start) parts.push_back(path.substr(start, pos - start));
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) {
        if (!path.empty()) path += '\\';
        path += part;
    }
    return path;
}

namespace {

// Windows-1252 bytes 0x80..0x9F. The five holes map to themselves, as on Windows.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// A few Shift-JIS double-byte characters; several end in 0x5C, the byte that
// doubles as '\' and trips up byte-wise text searches.
struct DoubleByte {
    char16_t unit;
    BYTE lead;
    BYTE trail;
};
const DoubleByte kCp932Table[] = {
    {0x3000, 0x81, 0x40},  // ideographic space
    {0x3042, 0x82, 0xA0},  // あ
    {0x3044, 0x82, 0xA2},  // い
    {0x30A2, 0x83, 0x41},  // ア
    {0x30BD, 0x83, 0x5C},  // ソ
    {0x4E88, 0x97, 0x5C},  // 予
    {0x5341, 0x8F, 0x5C},  // 十
    {0x7533, 0x90, 0x5C},  // 申
    {0x65E5, 0x93, 0xFA},  // 日
    {0x672C, 0x96, 0x7B},  // 本
    {0x80FD, 0x94, 0x5C},  // 能
    {0x8868, 0x95, 0x5C},  // 表
    {0x8A9E, 0x8C, 0xEA},  // 語
};

// The bytes of one UTF-16 unit in the code page; empty when it has none.
std::string EncodeUnit(UINT codePage, char16_t unit) {
    if (unit < 0x80) return std::string(1, static_cast<char>(unit));
    if (codePage == 1252) {
        if (unit >= 0xA0 && unit <= 0xFF) return std::string(1, static_cast<char>(unit));
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == unit) return std::string(1, static_cast<char>(0x80 + i));
        return {};
    }
    if (unit >= 0xFF61 && unit <= 0xFF9F)
        return std::string(1, static_cast<char>(unit - 0xFF61 + 0xA1));
    for (const DoubleByte& entry : kCp932Table)
        if (entry.unit == unit) {
            return std::string{static_cast<char>(entry.lead), static_cast<char>(entry.trail)};
        }
    return {};
}

}  // namespace
}  // namespace fakewindows

using namespace fakewindows;

void FakeWindows::SetCodePage(UINT codePage) {
    if (codePage != 1252 && codePage != 932) TestBug("SetCodePage: only 1252 and 932 are known");
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->codePage = codePage;
}

std::vector<BYTE> FakeWindows::Utf16Bytes(const std::u16string& text) {
    std::vector<BYTE> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

int FakeWindows::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                                     LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                                     LPBOOL usedDefaultChar) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("WideCharToMultiByte");
    UINT page = codePage == CP_ACP ? s.codePage : codePage;
    if (page != 1252 && page != 932) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        s.Fail(kErrorInvalidFlags);
        return 0;
    }
    if (!wideText || wideLength == 0 || wideLength < -1 || multiByteSize < 0 ||
        (multiByteSize > 0 && !multiByteText)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = 0;
    if (wideLength == -1) {
        while (wideText[count] != 0) ++count;
        ++count;  // the terminator is converted too
    } else {
        count = static_cast<size_t>(wideLength);
    }

    std::string fallback = defaultChar ? std::string(1, *defaultChar) : std::string("?");
    std::vector<std::string> chars;
    bool usedDefault = false;
    for (size_t i = 0; i < count; ++i) {
        char16_t unit = wideText[i];
        std::string bytes = EncodeUnit(page, unit);
        if (bytes.empty()) {
            // A surrogate pair is one character and gets one default char.
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && wideText[i + 1] >= 0xDC00 &&
                wideText[i + 1] <= 0xDFFF)
                ++i;
            bytes = fallback;
            usedDefault = true;
        }
        chars.push_back(bytes);
    }
    size_t needed = 0;
    for (const std::string& c : chars) needed += c.size();

    if (multiByteSize == 0) {
        if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
        return static_cast<int>(needed);
    }
    // Whole characters only, as far as they fit; then report the shortfall.
    size_t written = 0;
    for (const std::string& c : chars) {
        if (written + c.size() > static_cast<size_t>(multiByteSize)) break;
        std::memcpy(multiByteText + written, c.data(), c.size());
        written += c.size();
    }
    if (written < needed) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(needed);
}

BOOL FakeWindows::IsDBCSLeadByte(BYTE testChar) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("IsDBCSLeadByte");
    return IsLeadByte(state_->codePage, testChar) ? TRUE : FALSE;
}

