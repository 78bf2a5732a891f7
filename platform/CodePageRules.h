// Rules of ANSI text that the service, the explain tool of either build and
// the in-memory Windows share.
#pragma once

// ASCII letters folded to lower case; every other byte as it is.
inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether a byte opens a double-byte character of code page 932 (Shift-JIS).
inline bool Is932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}
