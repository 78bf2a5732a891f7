// One file as "reg export" writes it: "Windows Registry Editor Version 5.00"
// in UTF-16 LE with its byte-order mark and CR LF line ends, a [key] line,
// its values and an empty line per key. The explain tool's reader
// (RegFile.h) reads back exactly what was written.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "explain/SaveFolder.h"
#include "platform/WinTypes.h"

class RegExportWriter {
public:
    // Writes the header into the file the folder has started.
    explicit RegExportWriter(SaveFolder& folder);

    // Why a key or value name cannot be written on a line of the file (a
    // line break or a NUL in it), "" when it can.
    static std::string Unwritable(const std::u16string& name);

    // The [key] line; `path` from HKEY_LOCAL_MACHINE on, writable.
    void Key(const std::u16string& path);
    // A value line (continued over lines for hex data); `name` writable, ""
    // for the default value. REG_SZ text with its one closing NUL and no
    // line break is written as "text", a 4-byte REG_DWORD as dword:, the
    // rest as hex(type): bytes.
    void Value(const std::u16string& name, DWORD type, const BYTE* data, size_t size);
    // The empty line that ends a key's block.
    void EndKey();

    // Writes what is buffered; false, with why, once anything failed.
    bool Flush(std::string& why);
    unsigned long long Bytes() const { return bytes_; }

private:
    void Put(const std::u16string& text);
    void PutAscii(const std::string& text);
    void HexValue(const std::u16string& head, DWORD type, const BYTE* data, size_t size);

    SaveFolder& folder_;
    std::vector<unsigned char> buffer_;
    unsigned long long bytes_ = 0;
    std::string error_;
};
