#include "explain/ShownText.h"

#include <cstring>

#include "platform/CodePageRules.h"
#include "platform/Utf16.h"

namespace {

// The double-byte characters of code page 932 that are printable (letters,
// marks, digits, punctuation and symbols; not U+3000, the ideographic space,
// nor the user-defined ones at 0xF040 to 0xF9FC), as ranges of lead byte * 256
// + trail byte: Windows' table as Python's cp932 codec has it, kept where
// str.isprintable() holds.
const unsigned short kPrintable932[][2] = {
    {0x8141, 0x817E}, {0x8180, 0x81AC}, {0x81B8, 0x81BF}, {0x81C8, 0x81CE}, {0x81DA, 0x81E8},
    {0x81F0, 0x81F7}, {0x81FC, 0x81FC}, {0x824F, 0x8258}, {0x8260, 0x8279}, {0x8281, 0x829A},
    {0x829F, 0x82F1}, {0x8340, 0x837E}, {0x8380, 0x8396}, {0x839F, 0x83B6}, {0x83BF, 0x83D6},
    {0x8440, 0x8460}, {0x8470, 0x847E}, {0x8480, 0x8491}, {0x849F, 0x84BE}, {0x8740, 0x875D},
    {0x875F, 0x8775}, {0x877E, 0x877E}, {0x8780, 0x879C}, {0x889F, 0x88FC}, {0x8940, 0x897E},
    {0x8980, 0x89FC}, {0x8A40, 0x8A7E}, {0x8A80, 0x8AFC}, {0x8B40, 0x8B7E}, {0x8B80, 0x8BFC},
    {0x8C40, 0x8C7E}, {0x8C80, 0x8CFC}, {0x8D40, 0x8D7E}, {0x8D80, 0x8DFC}, {0x8E40, 0x8E7E},
    {0x8E80, 0x8EFC}, {0x8F40, 0x8F7E}, {0x8F80, 0x8FFC}, {0x9040, 0x907E}, {0x9080, 0x90FC},
    {0x9140, 0x917E}, {0x9180, 0x91FC}, {0x9240, 0x927E}, {0x9280, 0x92FC}, {0x9340, 0x937E},
    {0x9380, 0x93FC}, {0x9440, 0x947E}, {0x9480, 0x94FC}, {0x9540, 0x957E}, {0x9580, 0x95FC},
    {0x9640, 0x967E}, {0x9680, 0x96FC}, {0x9740, 0x977E}, {0x9780, 0x97FC}, {0x9840, 0x9872},
    {0x989F, 0x98FC}, {0x9940, 0x997E}, {0x9980, 0x99FC}, {0x9A40, 0x9A7E}, {0x9A80, 0x9AFC},
    {0x9B40, 0x9B7E}, {0x9B80, 0x9BFC}, {0x9C40, 0x9C7E}, {0x9C80, 0x9CFC}, {0x9D40, 0x9D7E},
    {0x9D80, 0x9DFC}, {0x9E40, 0x9E7E}, {0x9E80, 0x9EFC}, {0x9F40, 0x9F7E}, {0x9F80, 0x9FFC},
    {0xE040, 0xE07E}, {0xE080, 0xE0FC}, {0xE140, 0xE17E}, {0xE180, 0xE1FC}, {0xE240, 0xE27E},
    {0xE280, 0xE2FC}, {0xE340, 0xE37E}, {0xE380, 0xE3FC}, {0xE440, 0xE47E}, {0xE480, 0xE4FC},
    {0xE540, 0xE57E}, {0xE580, 0xE5FC}, {0xE640, 0xE67E}, {0xE680, 0xE6FC}, {0xE740, 0xE77E},
    {0xE780, 0xE7FC}, {0xE840, 0xE87E}, {0xE880, 0xE8FC}, {0xE940, 0xE97E}, {0xE980, 0xE9FC},
    {0xEA40, 0xEA7E}, {0xEA80, 0xEAA4}, {0xED40, 0xED7E}, {0xED80, 0xEDFC}, {0xEE40, 0xEE7E},
    {0xEE80, 0xEEEC}, {0xEEEF, 0xEEFC}, {0xFA40, 0xFA7E}, {0xFA80, 0xFAFC}, {0xFB40, 0xFB7E},
    {0xFB80, 0xFBFC}, {0xFC40, 0xFC4B},
};

// Not printable beyond ASCII, by Unicode: the C1 controls, the spaces but
// ' ', the format characters and separators of U+2000 to U+206F, private use,
// the specials and noncharacters, tags. A superset of what is not printable
// in 1252 and 932.
bool PrintableBeyondAscii(char32_t c) {
    return c > 0xA0 && c != 0xAD && c != 0x061C && c != 0x180E && c != 0x3000 && c != 0xFEFF &&
           !(c >= 0x2000 && c <= 0x200F) && !(c >= 0x2028 && c <= 0x202F) &&
           !(c >= 0x205F && c <= 0x206F) && !(c >= 0xE000 && c <= 0xF8FF) &&
           !(c >= 0xFFF0 && c <= 0xFFFB) && (c & 0xFFFE) != 0xFFFE && c < 0xE0000;
}

// Bytes of the character at `pos` (a double-byte one as the service steps
// over it: a lead byte and any byte but NUL; in UTF-8 a well-formed sequence,
// else the byte alone) and whether it is printable.
size_t CharAt(const std::string& text, size_t pos, UINT codePage, bool& printable) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    printable = c >= 0x20 && c < 0x7F;
    if (c < 0x80) return 1;
    if (codePage == kUtf8CodePage) {
        char32_t code = 0;
        const size_t length = DecodeUtf8At(text, pos, code);
        printable = length > 0 && PrintableBeyondAscii(code);
        return length > 0 ? length : 1;
    }
    if (codePage == 1252) {
        // The five bytes 1252 leaves out, the no-break space and the soft hyphen.
        printable =
            c != 0x81 && c != 0x8D && c != 0x8F && c != 0x90 && c != 0x9D && c != 0xA0 && c != 0xAD;
        return 1;
    }
    if (codePage != 932) return 1;
    printable = c >= 0xA1 && c <= 0xDF;  // half-width katakana
    if (!Is932LeadByte(c) || pos + 1 == text.size() || text[pos + 1] == '\0') return 1;
    const unsigned code = c * 256u + static_cast<unsigned char>(text[pos + 1]);
    for (const auto& range : kPrintable932)
        printable = printable || (code >= range[0] && code <= range[1]);
    return 2;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether a backslash before `at` could be read as an escape's.
bool LooksEscaped(const std::string& text, size_t at) {
    if (at >= text.size()) return false;
    const char c = text[at];
    if (c == '\\' || c == 'n') return true;
    if (c == 'u') return at + 1 < text.size() && text[at + 1] == '{';
    return c == 'x' && at + 2 < text.size() && IsHexDigit(text[at + 1]) && IsHexDigit(text[at + 2]);
}

}  // namespace

std::string ShownText(const std::string& text, UINT codePage, bool quotes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        bool printable = false;
        const size_t length = CharAt(text, pos, codePage, printable);
        char32_t code = 0;
        if (quotes && text[pos] == '"') {
            out += "\\x22";
        } else if (!printable && length > 1 && codePage == kUtf8CodePage &&
                   DecodeUtf8At(text, pos, code) == length) {
            out += "\\u{";
            for (int shift = code > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4)
                out += kHex[(code >> shift) & 0xF];
            out += '}';
        } else if (printable) {
            if (text[pos] == '\\' && LooksEscaped(text, pos + 1)) out += '\\';
            out.append(text, pos, length);
        } else {
            for (size_t i = pos; i < pos + length; ++i) {
                const unsigned char c = static_cast<unsigned char>(text[i]);
                if (c == '\n') {
                    out += "\\n";
                } else {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                }
            }
        }
        pos += length;
    }
    return out;
}

std::string ShownPath(const std::string& path, UINT codePage) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (size_t pos = 0; pos < path.size();) {
        bool printable = false;
        const size_t length = CharAt(path, pos, codePage, printable);
        if (printable && std::strchr("\"*<>?|", path[pos]) == nullptr) {
            out.append(path, pos, length);
        } else {
            for (size_t i = pos; i < pos + length; ++i) {
                const unsigned char c = static_cast<unsigned char>(path[i]);
                out += std::string("<x") + kHex[c >> 4] + kHex[c & 0xF] + ">";
            }
        }
        pos += length;
    }
    return out;
}

std::string AnsiToUtf8(Platform& os, const std::string& ansi) {
    if (ansi.empty() || ansi.size() > 0x7FFFFFFF) return "";
    const int length = static_cast<int>(ansi.size());
    const int units = os.MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
    if (units <= 0) return "";
    std::u16string wide(static_cast<size_t>(units), u'\0');
    const int converted = os.MultiByteToWideChar(CP_ACP, 0, ansi.data(), length,
                                                 reinterpret_cast<LPWSTR>(&wide[0]), units);
    wide.resize(converted > 0 ? static_cast<size_t>(converted) : 0);
    return Utf8Of(wide);
}
