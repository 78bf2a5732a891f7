// The two ANSI code pages of the in-memory Windows, per character: 1252
// (single-byte) and 932 (Shift-JIS, double-byte), and the rules Windows keeps
// registry names by once they are UTF-16. Also what reads a file in one of the
// code pages (the explain tool's REGEDIT4 reader) cuts characters by.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace codepages {

// Whether the byte opens a double-byte character (only under 932).
bool IsLeadByte(UINT codePage, BYTE byte);
// Bytes of the character at `pos`. A lead byte at the end, or before a NUL,
// stands alone.
size_t CharLength(UINT codePage, const std::string& text, size_t pos);

// Text of the code page as UTF-16, as MultiByteToWideChar gives it: a byte
// pair that is no character, or a lead byte standing alone, becomes the code
// page's default character (U+30FB under 932).
std::u16string ToUtf16(const std::string& text, UINT codePage);

// The bytes of one UTF-16 unit in the code page, exact or by best fit; none
// (length 0) when it has neither.
struct EncodedUnit {
    char bytes[2];
    size_t length;
};
EncodedUnit EncodeUnit(UINT codePage, char16_t unit);
// UTF-16 as text of the code page, as WideCharToMultiByte gives it without
// flags: a unit without bytes becomes '?' (each half of a surrogate pair one).
std::string FromUtf16(const char16_t* text, size_t length, UINT codePage,
                      bool* usedDefault = nullptr);
inline std::string FromUtf16(const std::u16string& text, UINT codePage) {
    return FromUtf16(text.data(), text.size(), codePage);
}

// A registry name as Windows compares it: every unit upper-cased, so that
// names equal but for case are equal, and ordered as Windows enumerates.
std::u16string FoldName(const std::u16string& name);
// A registry path cut at its backslashes; empty parts (a doubled or trailing
// backslash) are passed over.
std::vector<std::u16string> SplitPath(const std::u16string& path);
std::u16string JoinPath(const std::vector<std::u16string>& parts);

}  // namespace codepages
