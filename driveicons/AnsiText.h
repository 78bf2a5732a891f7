// Searches over ANSI text in the active code page. They step one character at
// a time, so a double-byte character is never split and its trail byte never
// counts as a '\\', '#' or '&' of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace AnsiText {

constexpr size_t npos = std::string::npos;

// Bytes taken by the character that starts at `pos` (1 or 2).
size_t CharLength(Platform& os, const std::string& text, size_t pos);

// For each byte offset of `text`, and for its end, whether a character starts there.
std::vector<bool> CharBoundaries(Platform& os, const std::string& text);

// First occurrence of `what` that starts at a character at or after `from`
// and ends on a character boundary; case-sensitive.
size_t Find(Platform& os, const std::string& text, std::string_view what, size_t from = 0);
// The same with the boundaries computed beforehand, for many searches in one text.
size_t Find(const std::string& text, const std::vector<bool>& boundaries, std::string_view what,
            size_t from = 0);
size_t FindChar(Platform& os, const std::string& text, char c, size_t from = 0);
size_t FindLastChar(Platform& os, const std::string& text, char c);

// Every single-byte character `from` replaced by `to`.
std::string ReplaceChar(Platform& os, const std::string& text, char from, char to);

// Equality that ignores the case of ASCII letters; double-byte characters
// must match byte for byte.
bool EqualNoCase(Platform& os, const std::string& a, const std::string& b);

// The text in `buffer` up to its first NUL, never past `capacity` bytes.
std::string FromBuffer(const char* buffer, size_t capacity);

// UTF-16 as text of the active code page, sized by the conversion itself (a
// code page may take more than two bytes for a character). False, with an
// empty text, when the conversion fails.
bool FromWide(Platform& os, const WCHAR* wide, size_t length, std::string& text);

}  // namespace AnsiText
