// The two ANSI code pages (1252 single-byte, 932 double-byte) character by
// character: cutting text into characters, folding case for registry names,
// converting to and from UTF-16. Plain functions of the code page passed in;
// the data is in CodePageTables.cpp, the machine's active code page in
// MemoryCodePages.cpp.
#include <cstring>
#include <vector>

#include "platform/memory/CodePageTables.h"
#include "platform/memory/CodePages.h"

namespace codepages {

bool IsLeadByte(UINT codePage, BYTE byte) {
    return codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

size_t CharLength(UINT codePage, const std::string& text, size_t pos) {
    if (pos + 1 < text.size() && text[pos + 1] != '\0' &&
        IsLeadByte(codePage, static_cast<BYTE>(text[pos])))
        return 2;
    return 1;
}

std::string Upper(std::string text, UINT codePage) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t length = CharLength(codePage, text, pos);
        if (length == 1 && text[pos] >= 'a' && text[pos] <= 'z')
            text[pos] = static_cast<char>(text[pos] - 'a' + 'A');
        pos += length;
    }
    return text;
}

namespace {

// Index into kCp932DoubleBytes, or -1 when the bytes cannot form a character.
int DoubleByteIndex(WORD code) {
    const int lead = code >> 8;
    const int trail = code & 0xFF;
    const int leadIndex = lead >= 0x81 && lead <= 0x9F   ? lead - 0x81
                          : lead >= 0xE0 && lead <= 0xFC ? lead - 0xE0 + 0x1F
                                                         : -1;
    const int trailIndex = trail >= 0x40 && trail <= 0x7E   ? trail - 0x40
                           : trail >= 0x80 && trail <= 0xFC ? trail - 0x80 + 0x3F
                                                            : -1;
    if (leadIndex < 0 || trailIndex < 0) return -1;
    return leadIndex * static_cast<int>(kCp932TrailCount) + trailIndex;
}

char16_t Cp932Unit(WORD code) {
    const int index = DoubleByteIndex(code);
    return index < 0 ? 0 : kCp932DoubleBytes[index];
}

// The double-byte code of a UTF-16 unit, 0 for none. Where 932 has a
// character twice (NEC and IBM extensions), Windows writes the lower code.
WORD Cp932Code(char16_t unit) {
    static const std::vector<WORD> codes = [] {
        std::vector<WORD> table(0x10000, 0);
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                const WORD code = static_cast<WORD>(lead << 8 | trail);
                const char16_t found = Cp932Unit(code);
                if (found != 0 && table[found] == 0) table[found] = code;
            }
        }
        return table;
    }();
    return codes[unit];
}

}  // namespace

char16_t DecodeChar(UINT codePage, const std::string& text, size_t pos, size_t length) {
    const BYTE first = static_cast<BYTE>(text[pos]);
    if (length == 1) {
        if (first < 0x80) return first;
        if (codePage == 1252) return first < 0xA0 ? kCp1252High[first - 0x80] : first;
        if (first >= 0xA1 && first <= 0xDF) return static_cast<char16_t>(0xFF61 + first - 0xA1);
        return first;  // a lone lead byte
    }
    const WORD code = static_cast<WORD>(first << 8 | static_cast<BYTE>(text[pos + 1]));
    const char16_t unit = Cp932Unit(code);
    return unit != 0 ? unit : code;  // no character: ordered by its code
}

char16_t UpperUnit(char16_t unit) {
    if (unit >= 'a' && unit <= 'z') return static_cast<char16_t>(unit - 0x20);
    if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) return static_cast<char16_t>(unit - 0x20);
    if (unit >= 0xFF41 && unit <= 0xFF5A) return static_cast<char16_t>(unit - 0x20);
    switch (unit) {
    case 0x00FF: return 0x0178;  // ÿ
    case 0x0153: return 0x0152;  // œ
    case 0x0161: return 0x0160;  // š
    case 0x017E: return 0x017D;  // ž
    case 0x0192: return 0x0191;  // ƒ
    default: return unit;
    }
}

std::string NameKey(const std::string& name, UINT codePage) {
    std::string key;
    key.reserve(2 * name.size());
    for (size_t pos = 0; pos < name.size();) {
        const size_t length = CharLength(codePage, name, pos);
        const char16_t unit = UpperUnit(DecodeChar(codePage, name, pos, length));
        key += static_cast<char>(unit >> 8);
        key += static_cast<char>(unit & 0xFF);
        pos += length;
    }
    return key;
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

std::string CodeBytes(WORD code) {
    if (code <= 0xFF) return std::string(1, static_cast<char>(code));
    return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

std::string BestFitBytes(const BestFit* table, size_t size, char16_t unit) {
    for (size_t i = 0; i < size; ++i)
        if (table[i].unit == unit) return CodeBytes(table[i].code);
    return {};
}

}  // namespace

std::string EncodeUnit(UINT codePage, char16_t unit) {
    if (unit < 0x80) return std::string(1, static_cast<char>(unit));
    if (codePage == 1252) {
        if (unit >= 0xA0 && unit <= 0xFF) return std::string(1, static_cast<char>(unit));
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == unit) return std::string(1, static_cast<char>(0x80 + i));
        if (unit >= 0xFF01 && unit <= 0xFF5E && unit != 0xFF1F)
            return std::string(1, static_cast<char>(unit - 0xFEE0));
        return BestFitBytes(kBestFit1252, kBestFit1252Size, unit);
    }
    if (unit >= 0xFF61 && unit <= 0xFF9F)
        return std::string(1, static_cast<char>(unit - 0xFF61 + 0xA1));
    if (const WORD code = Cp932Code(unit)) return CodeBytes(code);
    return BestFitBytes(kBestFit932, kBestFit932Size, unit);
}

}  // namespace codepages
