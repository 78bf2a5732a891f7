#include "explain/RegFile.h"

#include <cstdint>
#include <utility>

#include "platform/Utf16.h"
#include "platform/memory/CodePages.h"

namespace {

const std::u16string kHeader5 = u"Windows Registry Editor Version 5.00";
const std::u16string kHeader4 = u"REGEDIT4";

// A failure at one line of the file.
struct Failure {
    int line;
    std::string what;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string TrimRight(std::u16string text) {
    while (!text.empty() && IsBlank(text.back())) text.pop_back();
    return text;
}

size_t SkipBlanks(const std::u16string& text, size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    return pos;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Printable form of a piece of the file for an error message: ASCII as is,
// anything else as \uXXXX, at most 40 characters.
std::string Show(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < 40; ++i) {
        const char16_t c = text[i];
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static const char digits[] = "0123456789abcdef";
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += digits[(c >> shift) & 0xF];
        }
    }
    if (text.size() > 40) out += "...";
    return out;
}

int LineAt(const std::u16string& text, size_t end) {
    int line = 1;
    for (size_t i = 0; i < end && i < text.size(); ++i) line += text[i] == u'\n';
    return line;
}

std::string HexByte(unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0xF];
}

std::string NotUtf8(unsigned char byte) {
    return "not UTF-8 text (byte " + HexByte(byte) +
           "); a file in the ANSI code page needs the first line \"REGEDIT4\"";
}

// UTF-8 into UTF-16; false at the first byte that is not well-formed UTF-8.
bool DecodeUtf8(const std::string& bytes, size_t start, std::u16string& text, Failure& failure) {
    auto fail = [&](const std::string& what) {
        failure = {LineAt(text, text.size()), what};
        return false;
    };
    for (size_t pos = start; pos < bytes.size();) {
        const unsigned char lead = static_cast<unsigned char>(bytes[pos]);
        uint32_t code = lead;
        size_t extra = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            code = lead & 0x1F;
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code = lead & 0x07;
            extra = 3;
        } else if (lead >= 0x80) {
            return fail(NotUtf8(lead));
        }
        if (pos + extra >= bytes.size() && extra > 0) {
            return fail("the file ends in the middle of a UTF-8 character");
        }
        for (size_t i = 1; i <= extra; ++i) {
            const unsigned char next = static_cast<unsigned char>(bytes[pos + i]);
            // The lead byte is the one out of place: an ANSI character
            // followed by plain text.
            if ((next & 0xC0) != 0x80) return fail(NotUtf8(lead));
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (extra == 3 && (code < 0x10000 || code > 0x10FFFF))) {
            return fail("not UTF-8 text");
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            text += static_cast<char16_t>(0xD800 + (code >> 10));
            text += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            text += static_cast<char16_t>(code);
        }
        pos += extra + 1;
    }
    return true;
}

// The file as characters, and whether it is a version 5 (Unicode) file.
bool Decode(const std::string& bytes, std::u16string& text, bool& unicode, Failure& failure) {
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        unicode = true;
        text = DecodeUtf16LE(reinterpret_cast<const unsigned char*>(bytes.data()) + 2,
                             bytes.size() - 2);
        if (bytes.size() % 2 != 0) {
            failure = {LineAt(text, text.size()), "the file ends in the middle of a character"};
            return false;
        }
        return true;
    }
    if (bytes.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF) {
        failure = {1, "UTF-16 big-endian text; reg export writes UTF-16 little-endian"};
        return false;
    }
    if (bytes.compare(0, 8, "REGEDIT4") == 0) {
        // ANSI: one byte per character, whatever the code page.
        unicode = false;
        for (char c : bytes) text += static_cast<char16_t>(static_cast<unsigned char>(c));
        return true;
    }
    // Anything else must be a version 5 file re-saved as UTF-8; what is not
    // fails at its first line.
    unicode = true;
    const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (bytes.compare(start, 36, "Windows Registry Editor Version 5.00") != 0) {
        const size_t end = bytes.find_first_of("\r\n", start);
        for (size_t i = start; i < bytes.size() && i < end; ++i) {
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
        }
        return true;  // the header check reports it
    }
    return DecodeUtf8(bytes, start, text, failure);
}

std::vector<std::u16string> SplitLines(const std::u16string& text) {
    std::vector<std::u16string> lines;
    size_t start = 0;
    // A line end closes the last line; no empty line follows it.
    while (start < text.size() || (start == 0 && text.empty())) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

class Parser {
public:
    Parser(std::vector<std::u16string> lines, bool endsWithLineEnd, bool unicode, UINT ansiCodePage)
        : lines_(std::move(lines)),
          endsWithLineEnd_(endsWithLineEnd),
          unicode_(unicode),
          ansiCodePage_(ansiCodePage) {}

    bool Run(RegFile& file, Failure& failure) {
        file.unicode = unicode_;
        const std::u16string header = TrimRight(lines_.empty() ? std::u16string() : lines_[0]);
        if (unicode_ && header == kHeader4) {
            return Fail(failure, 1,
                        "a \"REGEDIT4\" file must be in the ANSI code page, not UTF-16 or UTF-8 "
                        "with a byte-order mark (or give it the first line \"Windows Registry "
                        "Editor Version 5.00\")");
        }
        if (header != (unicode_ ? kHeader5 : kHeader4)) {
            return Fail(failure, 1,
                        "not a registry export: the first line must be \"Windows Registry Editor "
                        "Version 5.00\" (UTF-16 or UTF-8) or \"REGEDIT4\" (ANSI), not \"" +
                            Show(header) + "\"");
        }
        for (next_ = 1; next_ < lines_.size();) {
            const int line = static_cast<int>(next_) + 1;
            const std::u16string text = lines_[next_++];
            const size_t start = SkipBlanks(text, 0);
            if (start == text.size() || text[start] == u';') continue;
            if (text[start] == u'[') {
                if (!ParseKey(text.substr(start), line, file, failure)) return false;
            } else if (text[start] == u'"' || text[start] == u'@') {
                if (file.keys.empty()) {
                    return Fail(failure, line, "a value before the first [key] line");
                }
                RegFileValue value;
                value.line = line;
                if (!ParseValue(text.substr(start), line, value, failure)) return false;
                file.keys.back().values.push_back(std::move(value));
            } else {
                return Fail(failure, line,
                            "expected a [key] line, a \"name\"= or @= value line, or a ; comment, "
                            "not \"" +
                                Show(text.substr(start)) + "\"");
            }
        }
        // reg export ends every key block, the last one too, with an empty
        // line; a file cut short lacks it (or the line end before it).
        const int last = static_cast<int>(lines_.size());
        if (!endsWithLineEnd_) {
            return Fail(failure, last, "the file does not end with a line end (is it cut short?)");
        }
        if (!TrimRight(lines_.back()).empty()) {
            return Fail(failure, last,
                        "the file does not end with the empty line that reg export writes last "
                        "(is it cut short?)");
        }
        if (file.keys.empty()) return Fail(failure, last, "no [key] line (is the file cut short?)");
        return true;
    }

private:
    static bool Fail(Failure& failure, int line, const std::string& what) {
        failure = {line, what};
        return false;
    }

    bool ParseKey(const std::u16string& text, int line, RegFile& file, Failure& failure) {
        const std::u16string trimmed = TrimRight(text);
        if (trimmed.size() < 2 || trimmed.back() != u']') {
            return Fail(failure, line, "key line not closed with ']'");
        }
        std::u16string path = trimmed.substr(1, trimmed.size() - 2);
        if (!path.empty() && path[0] == u'-') {
            return Fail(failure, line, "a key deletion [-...] does not belong in an export");
        }
        if (path.empty()) return Fail(failure, line, "empty key name");
        if (path.find(u'\0') != std::u16string::npos) {
            return Fail(failure, line, "NUL character in a key name");
        }
        RegFileKey key;
        key.line = line;
        key.path = std::move(path);
        file.keys.push_back(std::move(key));
        return true;
    }

    // A "quoted" text from `pos` (at the opening quote) with \\ and \" undone;
    // `pos` ends after the closing quote.
    bool ParseQuoted(const std::u16string& text, size_t& pos, std::u16string& out, int line,
                     const char* what, Failure& failure) const {
        for (++pos; pos < text.size(); ++pos) {
            const char16_t c = text[pos];
            if (c == u'"') {
                ++pos;
                return true;
            }
            // A double-byte character whose trail byte is a backslash (0x5C)
            // escapes nothing.
            if (IsLeadByte(c) && pos + 1 < text.size()) {
                out += c;
                out += text[++pos];
                continue;
            }
            if (c == u'\\' && pos + 1 < text.size() &&
                (text[pos + 1] == u'\\' || text[pos + 1] == u'"')) {
                ++pos;
            }
            out += text[pos];
        }
        return Fail(failure, line,
                    std::string(what) + " not closed with '\"' (is the file cut short?)");
    }

    bool ParseValue(const std::u16string& text, int line, RegFileValue& value, Failure& failure) {
        size_t pos = 0;
        if (text[0] == u'@') {
            pos = 1;
        } else {
            if (!ParseQuoted(text, pos, value.name, line, "value name", failure)) return false;
            if (value.name.find(u'\0') != std::u16string::npos) {
                return Fail(failure, line, "NUL character in a value name");
            }
        }
        pos = SkipBlanks(text, pos);
        if (pos == text.size() || text[pos] != u'=') {
            return Fail(failure, line, "'=' missing after the value name");
        }
        pos = SkipBlanks(text, pos + 1);
        const std::u16string data = text.substr(pos);

        if (!data.empty() && data[0] == u'"') {
            size_t end = 0;
            std::u16string string;
            if (!ParseQuoted(data, end, string, line, "string value", failure)) return false;
            if (SkipBlanks(data, end) != data.size()) {
                return Fail(failure, line, "text after the closing '\"' of a string value");
            }
            value.type = REG_SZ;
            for (char16_t c : string) AppendUnit(value.data, c);
            AppendUnit(value.data, 0);
            return true;
        }
        if (data.compare(0, 6, u"dword:") == 0) {
            const std::u16string digits = TrimRight(data.substr(6));
            uint32_t number = 0;
            if (digits.empty() || digits.size() > 8) {
                return Fail(failure, line, "dword: needs 1 to 8 hex digits");
            }
            for (char16_t c : digits) {
                if (HexDigit(c) < 0) return Fail(failure, line, "dword: needs 1 to 8 hex digits");
                number = number * 16 + static_cast<uint32_t>(HexDigit(c));
            }
            value.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<BYTE>(number >> (8 * i)));
            return true;
        }
        if (data.compare(0, 3, u"hex") == 0) return ParseHex(data.substr(3), line, value, failure);
        if (TrimRight(data) == u"-") {
            return Fail(failure, line, "a value deletion (=-) does not belong in an export");
        }
        return Fail(
            failure, line,
            "value data must be \"text\", dword:, hex: or hex(type):, not \"" + Show(data) + "\"");
    }

    // A REGEDIT4 file holds one byte per character.
    bool IsLeadByte(char16_t c) const {
        return !unicode_ && c <= 0xFF && codepages::IsLeadByte(ansiCodePage_, static_cast<BYTE>(c));
    }

    // One character of string data: UTF-16 LE, or one ANSI byte.
    void AppendUnit(std::vector<BYTE>& data, char16_t c) const {
        data.push_back(static_cast<BYTE>(c & 0xFF));
        if (unicode_) data.push_back(static_cast<BYTE>(c >> 8));
    }

    // "hex:" or "hex(type):" and the byte list, continued over the lines that
    // follow a line ending in '\'.
    bool ParseHex(std::u16string text, int line, RegFileValue& value, Failure& failure) {
        size_t pos = 0;
        value.type = REG_BINARY;
        if (!text.empty() && text[0] == u'(') {
            const size_t close = text.find(u')');
            if (close == std::u16string::npos || close == 1 || close > 9) {
                return Fail(failure, line, "hex(type): needs a type of 1 to 8 hex digits");
            }
            DWORD type = 0;
            for (size_t i = 1; i < close; ++i) {
                if (HexDigit(text[i]) < 0) {
                    return Fail(failure, line, "hex(type): needs a type of 1 to 8 hex digits");
                }
                type = type * 16 + static_cast<DWORD>(HexDigit(text[i]));
            }
            value.type = type;
            pos = close + 1;
        }
        if (pos == text.size() || text[pos] != u':')
            return Fail(failure, line, "':' missing after hex");
        std::u16string list = text.substr(pos + 1);
        // Trimmed in place: a copy per continuation line would cost time
        // quadratic in the value's length.
        for (;;) {
            while (!list.empty() && IsBlank(list.back())) list.pop_back();
            if (list.empty() || list.back() != u'\\') break;
            list.pop_back();
            if (next_ == lines_.size()) {
                return Fail(failure, static_cast<int>(next_),
                            "the file ends after a line continued with '\\' (is it cut short?)");
            }
            const std::u16string& more = lines_[next_++];
            list.append(more, SkipBlanks(more, 0), std::u16string::npos);
        }
        // Comma-separated bytes of two hex digits; an empty list is no data.
        size_t at = SkipBlanks(list, 0);
        if (at == list.size()) return true;
        for (;;) {
            int digits = 0;
            int byte = 0;
            while (at < list.size() && HexDigit(list[at]) >= 0 && digits < 3) {
                byte = byte * 16 + HexDigit(list[at++]);
                ++digits;
            }
            if (digits != 2) {
                return Fail(failure, line,
                            "hex data must be bytes of two hex digits separated by ',', at \"" +
                                Show(list.substr(at)) + "\"" +
                                (at == list.size() ? " (is the file cut short?)" : ""));
            }
            value.data.push_back(static_cast<BYTE>(byte));
            at = SkipBlanks(list, at);
            if (at == list.size()) return true;
            if (list[at] != u',') {
                return Fail(failure, line,
                            "hex data must be bytes of two hex digits separated by ',', at \"" +
                                Show(list.substr(at)) + "\"");
            }
            at = SkipBlanks(list, at + 1);
        }
    }

    std::vector<std::u16string> lines_;
    bool endsWithLineEnd_;
    bool unicode_;
    UINT ansiCodePage_;
    size_t next_ = 1;
};

}  // namespace

bool ParseRegFile(const std::string& bytes, RegFile& file, std::string& error, UINT ansiCodePage) {
    file = RegFile{};
    std::u16string text;
    bool unicode = true;
    Failure failure{0, ""};
    if (!Decode(bytes, text, unicode, failure) ||
        !Parser(SplitLines(text), !text.empty() && text.back() == u'\n', unicode, ansiCodePage)
             .Run(file, failure)) {
        error = "line " + std::to_string(failure.line) + ": " + failure.what;
        return false;
    }
    return true;
}
