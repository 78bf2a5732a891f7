// UTF-16 as Windows stores it in the registry and in files: two bytes a unit,
// the low byte first. And UTF-8, as a Linux command line and terminal have it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The units of `size` bytes; a last odd byte is left out.
inline std::u16string DecodeUtf16LE(const unsigned char* bytes, size_t size) {
    std::u16string text(size / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

// The bytes of `text`, appended to `bytes`.
inline void AppendUtf16LE(std::vector<unsigned char>& bytes, const std::u16string& text) {
    bytes.reserve(bytes.size() + 2 * text.size());
    for (char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
}

// A code point up to U+10FFFF as UTF-16, a surrogate pair beyond U+FFFF.
inline void AppendUtf16(std::u16string& out, char32_t code) {
    if (code < 0x10000) {
        out += static_cast<char16_t>(code);
        return;
    }
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
}

// A code point up to U+10FFFF as UTF-8, appended to `out`.
inline void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    static const unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    const int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[extra] | (code >> (6 * extra)));
    for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6)
        out += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
}

// The code point of the well-formed UTF-8 sequence at `pos` and its length in
// bytes; 0 where none starts (a stray or cut byte, an overlong form, a
// surrogate, beyond U+10FFFF).
inline size_t DecodeUtf8At(const std::string& text, size_t pos, char32_t& code) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    const size_t length = lead < 0x80                    ? 1
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || text.size() - pos < length) return 0;
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

// UTF-16 as UTF-8; a lone surrogate takes the three bytes it would have,
// which are no UTF-8 (a report shows them escaped).
inline std::string Utf8Of(const std::u16string& text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        AppendUtf8(utf8, code);
    }
    return utf8;
}

// UTF-8 as UTF-16; a byte that starts no well-formed sequence becomes U+FFFD.
inline std::u16string Utf16Of(const std::string& utf8) {
    std::u16string text;
    text.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();) {
        char32_t code = 0;
        const size_t length = DecodeUtf8At(utf8, pos, code);
        AppendUtf16(text, length > 0 ? code : 0xFFFD);
        pos += length > 0 ? length : 1;
    }
    return text;
}
