// UTF-16 as Windows stores it in the registry and in files: two bytes a unit,
// the low byte first.
#pragma once

#include <cstddef>
#include <string>

// The units of `size` bytes; a last odd byte is left out.
inline std::u16string DecodeUtf16LE(const unsigned char* bytes, size_t size) {
    std::u16string text(size / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}
