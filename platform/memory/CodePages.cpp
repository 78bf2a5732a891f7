// The two ANSI code pages (1252 single-byte, 932 double-byte) character by
// character: cutting text into characters, folding case for registry names,
// converting to and from UTF-16. Plain functions of the code page passed in;
// the data is in CodePageTables.cpp, the machine's active code page in
// MemoryCodePages.cpp.
#include <cstring>
#include <vector>

#include "platform/CodePageRules.h"
#include "platform/memory/CodePageTables.h"
#include "platform/memory/CodePages.h"

namespace codepages {

bool IsLeadByte(UINT codePage, BYTE byte) { return codePage == 932 && Is932LeadByte(byte); }

size_t CharLength(UINT codePage, const std::string& text, size_t pos) {
    if (pos + 1 < text.size() && text[pos + 1] != '\0' &&
        IsLeadByte(codePage, static_cast<BYTE>(text[pos])))
        return 2;
    return 1;
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

// The unit MultiByteToWideChar gives for what cannot be converted.
constexpr char16_t kCp932Default = 0x30FB;

std::u16string ToUtf16(const std::string& text, UINT codePage) {
    std::u16string wide;
    wide.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const BYTE first = static_cast<BYTE>(text[pos]);
        const size_t length = CharLength(codePage, text, pos);
        if (length == 2) {
            const char16_t unit =
                Cp932Unit(static_cast<WORD>(first << 8 | static_cast<BYTE>(text[pos + 1])));
            wide += unit != 0 ? unit : kCp932Default;
        } else if (first < 0x80) {
            wide += first;
        } else if (codePage == 1252) {
            wide += first < 0xA0 ? kCp1252High[first - 0x80] : first;
        } else if (first >= 0xA1 && first <= 0xDF) {
            wide += static_cast<char16_t>(0xFF61 + first - 0xA1);  // half-width katakana
        } else if (IsLeadByte(codePage, first)) {
            wide += kCp932Default;
        } else if (first == 0x80) {
            wide += first;
        } else {
            // 0xA0, 0xFD to 0xFF: characters of Windows' own, in the private use area.
            wide += static_cast<char16_t>(first == 0xA0 ? 0xF8F0 : 0xF8F1 + first - 0xFD);
        }
        pos += length;
    }
    return wide;
}

namespace {

// The capital of each small letter, as Windows folds registry names.
char16_t UpperUnit(char16_t unit) {
    static const std::vector<char16_t> capitals = [] {
        std::vector<char16_t> table(0x10000);
        for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<char16_t>(i);
        for (size_t i = 0; i < kUpcasePairCount; ++i)
            table[kUpcasePairs[i][0]] = kUpcasePairs[i][1];
        return table;
    }();
    return capitals[unit];
}

}  // namespace

std::u16string FoldName(const std::u16string& name) {
    std::u16string folded = name;
    for (char16_t& unit : folded) unit = UpperUnit(unit);
    return folded;
}

std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    for (size_t pos = 0; pos <= path.size(); ++pos) {
        if (pos < path.size() && path[pos] != u'\\') continue;
        if (pos > start) parts.push_back(path.substr(start, pos - start));
        start = pos + 1;
    }
    return parts;
}

std::u16string JoinPath(const std::vector<std::u16string>& parts) {
    std::u16string path;
    for (const std::u16string& part : parts) {
        if (!path.empty()) path += u'\\';
        path += part;
    }
    return path;
}

namespace {

EncodedUnit CodeBytes(WORD code) {
    if (code <= 0xFF) return {{static_cast<char>(code), 0}, 1};
    return {{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)}, 2};
}

EncodedUnit BestFitBytes(const BestFit* table, size_t size, char16_t unit) {
    for (size_t i = 0; i < size; ++i)
        if (table[i].unit == unit) return CodeBytes(table[i].code);
    return {{0, 0}, 0};
}

}  // namespace

EncodedUnit EncodeUnit(UINT codePage, char16_t unit) {
    if (unit < 0x80) return CodeBytes(unit);
    if (codePage == 1252) {
        if (unit >= 0xA0 && unit <= 0xFF) return CodeBytes(unit);
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == unit) return CodeBytes(static_cast<WORD>(0x80 + i));
        if (unit >= 0xFF01 && unit <= 0xFF5E && unit != 0xFF1F)
            return CodeBytes(static_cast<WORD>(unit - 0xFEE0));
        return BestFitBytes(kBestFit1252, kBestFit1252Size, unit);
    }
    if (unit >= 0xFF61 && unit <= 0xFF9F) return CodeBytes(static_cast<WORD>(unit - 0xFF61 + 0xA1));
    if (unit == 0x0080) return CodeBytes(0x80);
    if (unit == 0xF8F0) return CodeBytes(0xA0);
    if (unit >= 0xF8F1 && unit <= 0xF8F3) return CodeBytes(static_cast<WORD>(unit - 0xF8F1 + 0xFD));
    if (const WORD code = Cp932Code(unit)) return CodeBytes(code);
    return BestFitBytes(kBestFit932, kBestFit932Size, unit);
}

std::string FromUtf16(const char16_t* text, size_t length, UINT codePage, bool* usedDefault) {
    std::string out;
    out.reserve(length);
    bool defaulted = false;
    for (size_t i = 0; i < length; ++i) {
        const EncodedUnit encoded = EncodeUnit(codePage, text[i]);
        if (encoded.length == 0) {
            out += '?';
            defaulted = true;
        } else {
            out.append(encoded.bytes, encoded.length);
        }
    }
    if (usedDefault) *usedDefault = defaulted;
    return out;
}

}  // namespace codepages
