#include "driveicons/AnsiText.h"

#include <cstring>

#include "platform/CodePageRules.h"

namespace AnsiText {

size_t CharLength(Platform& os, const std::string& text, size_t pos) {
    // A lead byte at the end, or before a NUL, stands alone.
    if (pos + 1 < text.size() && text[pos + 1] != '\0' &&
        os.IsDBCSLeadByte(static_cast<BYTE>(text[pos]))) {
        return 2;
    }
    return 1;
}

std::vector<bool> CharBoundaries(Platform& os, const std::string& text) {
    std::vector<bool> boundaries(text.size() + 1, false);
    for (size_t pos = 0; pos < text.size(); pos += CharLength(os, text, pos)) {
        boundaries[pos] = true;
    }
    boundaries[text.size()] = true;
    return boundaries;
}

size_t Find(const std::string& text, const std::vector<bool>& boundaries, std::string_view what,
            size_t from) {
    for (size_t pos = from; pos + what.size() <= text.size(); ++pos) {
        if (boundaries[pos] && boundaries[pos + what.size()] &&
            text.compare(pos, what.size(), what) == 0) {
            return pos;
        }
    }
    return npos;
}

size_t Find(Platform& os, const std::string& text, std::string_view what, size_t from) {
    return Find(text, CharBoundaries(os, text), what, from);
}

size_t FindChar(Platform& os, const std::string& text, char c, size_t from) {
    for (size_t pos = 0; pos < text.size(); pos += CharLength(os, text, pos)) {
        if (pos >= from && text[pos] == c && CharLength(os, text, pos) == 1) return pos;
    }
    return npos;
}

size_t FindLastChar(Platform& os, const std::string& text, char c) {
    size_t found = npos;
    for (size_t pos = 0; pos < text.size(); pos += CharLength(os, text, pos)) {
        if (text[pos] == c && CharLength(os, text, pos) == 1) found = pos;
    }
    return found;
}

std::string ReplaceChar(Platform& os, const std::string& text, char from, char to) {
    std::string result = text;
    for (size_t pos = 0; pos < result.size(); pos += CharLength(os, result, pos)) {
        if (result[pos] == from && CharLength(os, result, pos) == 1) result[pos] = to;
    }
    return result;
}

bool EqualNoCase(Platform& os, const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t pos = 0; pos < a.size();) {
        const size_t length = CharLength(os, a, pos);
        if (length != CharLength(os, b, pos)) return false;
        if (length == 2) {
            if (a.compare(pos, 2, b, pos, 2) != 0) return false;
        } else if (AsciiLower(a[pos]) != AsciiLower(b[pos])) {
            return false;
        }
        pos += length;
    }
    return true;
}

std::string FromBuffer(const char* buffer, size_t capacity) {
    const void* nul = std::memchr(buffer, '\0', capacity);
    return std::string(buffer, nul ? static_cast<const char*>(nul) - buffer : capacity);
}

bool FromWide(Platform& os, const WCHAR* wide, size_t length, std::string& text) {
    text.clear();
    if (length == 0) return true;
    const int wideLength = static_cast<int>(length);
    const int needed =
        os.WideCharToMultiByte(CP_ACP, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    std::vector<char> buffer(static_cast<size_t>(needed));
    const int written = os.WideCharToMultiByte(CP_ACP, 0, wide, wideLength, buffer.data(), needed,
                                               nullptr, nullptr);
    if (written <= 0 || written > needed) return false;
    text.assign(buffer.data(), static_cast<size_t>(written));
    return true;
}

}  // namespace AnsiText
