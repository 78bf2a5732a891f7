// Texts of a machine (from a file, a device or the registry) or of the
// command line, as the explain tool's report and messages show them.
#pragma once

#include <string>

#include "platform/Platform.h"

// The code page of a Linux command line and terminal (CP_UTF8).
constexpr UINT kUtf8CodePage = 65001;

// The text so that no such text can pass for the tool's own words. Printable
// are letters, marks, digits, punctuation, symbols and the ASCII space, as
// far as `codePage` (1252, 932 or kUtf8CodePage; 0: every byte above 0x7F is
// unknown) knows them; the rest comes out as \n for a line feed, \u{XXXX}
// for a UTF-8 character, else \xNN per byte. With `quotes`, a double quote,
// which the report puts around texts, comes out as \x22. A backslash stays
// itself unless it could be read as the start of such an escape (before a
// backslash, n, u{, or x and two hex digits): then it is written \\.
std::string ShownText(const std::string& text, UINT codePage, bool quotes);

// A path of the machine (a folder, an icon path, a registry key's) as the
// report shows it, exactly as the service would write it: every printable
// character as it is, '\' too; one that no Windows path holds (by
// ShownText's rules for `codePage`, and "*<>?|) as <xNN> per byte. '<' is
// always escaped, so no path can pass for an escape.
std::string ShownPath(const std::string& path, UINT codePage);

// Text of the machine's ANSI code page in UTF-8, converted by the machine
// (MultiByteToWideChar); what it cannot convert is left out.
std::string AnsiToUtf8(Platform& os, const std::string& ansi);
