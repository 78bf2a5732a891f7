// The two ANSI code pages of the in-memory Windows, per character: 1252
// (single-byte) and 932 (Shift-JIS, double-byte). Also what reads a file in
// one of them (the explain tool's REGEDIT4 reader) cuts characters by.
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
// 'a'..'z' upper-cased per character of the code page (never a trail byte).
std::string Upper(std::string text, UINT codePage);
// One character of the code page (`length` bytes at `pos`) as UTF-16.
// Double-byte pairs that are no character come back as their code.
char16_t DecodeChar(UINT codePage, const std::string& text, size_t pos, size_t length);
// The bytes of one UTF-16 unit in the code page, exact or by best fit; empty
// when it has none.
std::string EncodeUnit(UINT codePage, char16_t unit);
char16_t UpperUnit(char16_t unit);
// The registry's view of a name: the upper-case UTF-16 units of its
// characters, big-endian, so that equal keys are equal names and byte order
// is the order Windows enumerates in.
std::string NameKey(const std::string& name, UINT codePage);
// A registry path cut at its separators, per character of the code page.
std::vector<std::string> SplitPath(const std::string& path, UINT codePage);
std::string JoinPath(const std::vector<std::string>& parts);

}  // namespace codepages
