#include "explain/RegFile.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/Utf16.h"
#include "platform/memory/CodePages.h"

namespace {

using View = std::u16string_view;

const View kHeader5 = u"Windows Registry Editor Version 5.00";
const View kHeader4 = u"REGEDIT4";

// A failure at one line of the file.
struct Failure {
    int line;
    std::string what;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

View TrimRight(View text) {
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

View SkipBlanks(View text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

bool StartsWith(View text, View prefix) { return text.substr(0, prefix.size()) == prefix; }

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Printable form of a piece of the file for an error message: ASCII as is,
// anything else as \uXXXX, at most 40 characters.
std::string Show(View text) {
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

int LineAt(View text, size_t end) {
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

// Why no well-formed UTF-8 character starts at `pos`.
std::string Utf8Error(const std::string& bytes, size_t pos) {
    const unsigned char lead = static_cast<unsigned char>(bytes[pos]);
    const size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (extra == 0 || lead > 0xF4) return NotUtf8(lead);
    if (pos + extra >= bytes.size()) return "the file ends in the middle of a UTF-8 character";
    for (size_t i = 1; i <= extra; ++i) {
        // The lead byte is the one out of place: an ANSI character followed
        // by plain text.
        if ((static_cast<unsigned char>(bytes[pos + i]) & 0xC0) != 0x80) return NotUtf8(lead);
    }
    return "not UTF-8 text";  // an overlong form, a surrogate, past U+10FFFF
}

// UTF-8 into UTF-16; false at the first byte that is not well-formed UTF-8.
bool DecodeUtf8(const std::string& bytes, size_t start, std::u16string& text, Failure& failure) {
    text.reserve(bytes.size() - start);
    for (size_t pos = start; pos < bytes.size();) {
        char32_t code = 0;
        const size_t length = DecodeUtf8At(bytes, pos, code);
        if (length == 0) {
            failure = {LineAt(text, text.size()), Utf8Error(bytes, pos)};
            return false;
        }
        AppendUtf16(text, code);
        pos += length;
    }
    return true;
}

// The file as characters, and whether it is a version 5 (Unicode) file. The
// bytes are given up once decoded, so that the two are held together only
// while the text is made.
bool Decode(std::string& bytes, std::u16string& text, bool& unicode, Failure& failure) {
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    auto release = [&] { std::string().swap(bytes); };
    if (bytes.size() >= 2 && byteAt(0) == 0xFF && byteAt(1) == 0xFE) {
        unicode = true;
        text = DecodeUtf16LE(reinterpret_cast<const unsigned char*>(bytes.data()) + 2,
                             bytes.size() - 2);
        const bool odd = bytes.size() % 2 != 0;
        release();
        if (odd) {
            failure = {LineAt(text, text.size()), "the file ends in the middle of a character"};
            return false;
        }
        return true;
    }
    if (bytes.size() >= 2 && byteAt(0) == 0xFE && byteAt(1) == 0xFF) {
        failure = {1, "UTF-16 big-endian text; reg export writes UTF-16 little-endian"};
        return false;
    }
    if (bytes.size() >= 2 && byteAt(0) != 0 && byteAt(1) == 0) {
        failure = {1, "UTF-16 text without its byte-order mark (FF FE), which reg export writes"};
        return false;
    }
    if (bytes.compare(0, 8, "REGEDIT4") == 0) {
        // ANSI: one byte per character here; names and text are converted
        // with the code page once they are cut out.
        unicode = false;
        text.resize(bytes.size());
        for (size_t i = 0; i < bytes.size(); ++i) text[i] = byteAt(i);
        release();
        return true;
    }
    // Anything else must be a version 5 file re-saved as UTF-8; what is not
    // fails at its first line, of which a little is enough to show.
    unicode = true;
    const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (bytes.compare(start, 36, "Windows Registry Editor Version 5.00") != 0) {
        for (size_t i = start; i < bytes.size() && i < start + 64; ++i) {
            if (bytes[i] == '\r' || bytes[i] == '\n') break;
            text += byteAt(i);
        }
        return true;  // the header check reports it
    }
    const bool decoded = DecodeUtf8(bytes, start, text, failure);
    release();
    return decoded;
}

// The lines of the text, one after the other, as views into it. A line end
// closes the last line; no empty line follows it.
class Lines {
public:
    explicit Lines(View text) : text_(text) {}

    bool Next(View& line) {
        if (pos_ > text_.size() || (pos_ == text_.size() && number_ > 0)) return false;
        size_t end = text_.find(u'\n', pos_);
        if (end == View::npos) end = text_.size();
        line = text_.substr(pos_, end - pos_);
        if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
        pos_ = end + 1;
        ++number_;
        last_ = line;
        return true;
    }
    int Number() const { return number_; }  // of the line Next gave last
    View Last() const { return last_; }
    bool EndsWithLineEnd() const { return !text_.empty() && text_.back() == u'\n'; }

private:
    View text_;
    size_t pos_ = 0;
    int number_ = 0;
    View last_;
};

class Parser {
public:
    Parser(View text, bool unicode, UINT ansiCodePage)
        : lines_(text), unicode_(unicode), ansiCodePage_(ansiCodePage) {}

    bool Run(RegFile& file, Failure& failure) {
        file.unicode = unicode_;
        View header;
        lines_.Next(header);
        header = TrimRight(header);
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
        for (View text; lines_.Next(text);) {
            const int line = lines_.Number();
            text = SkipBlanks(text);
            if (text.empty() || text[0] == u';') continue;
            if (text[0] == u'[') {
                if (!ParseKey(text, line, file, failure)) return false;
            } else if (text[0] == u'"' || text[0] == u'@') {
                if (file.keys.empty()) {
                    return Fail(failure, line, "a value before the first [key] line");
                }
                RegFileValue value;
                value.line = line;
                if (!ParseValue(text, line, value, failure)) return false;
                file.keys.back().values.push_back(std::move(value));
            } else {
                return Fail(failure, line,
                            "expected a [key] line, a \"name\"= or @= value line, or a ; comment, "
                            "not \"" +
                                Show(text) + "\"");
            }
        }
        // reg export ends every key block, the last one too, with an empty
        // line; a file cut short lacks it (or the line end before it).
        const int last = lines_.Number();
        if (!lines_.EndsWithLineEnd()) {
            return Fail(failure, last, "the file does not end with a line end (is it cut short?)");
        }
        if (!TrimRight(lines_.Last()).empty()) {
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

    // A name or path of the file as UTF-16: a REGEDIT4 file's bytes converted
    // with its code page, as regedit's ANSI reading of it would.
    std::u16string Wide(std::u16string text) const {
        if (unicode_) return text;
        return codepages::ToUtf16(std::string(text.begin(), text.end()), ansiCodePage_);
    }

    bool ParseKey(View text, int line, RegFile& file, Failure& failure) {
        const View trimmed = TrimRight(text);
        if (trimmed.size() < 2 || trimmed.back() != u']') {
            return Fail(failure, line, "key line not closed with ']'");
        }
        const View path = trimmed.substr(1, trimmed.size() - 2);
        if (!path.empty() && path[0] == u'-') {
            return Fail(failure, line, "a key deletion [-...] does not belong in an export");
        }
        if (path.empty()) return Fail(failure, line, "empty key name");
        if (path.find(u'\0') != View::npos) {
            return Fail(failure, line, "NUL character in a key name");
        }
        RegFileKey key;
        key.line = line;
        key.path = Wide(std::u16string(path));
        file.keys.push_back(std::move(key));
        return true;
    }

    // A "quoted" text at the start of `text` with \\ and \" undone, handed to
    // `add` a character at a time; `text` is left after the closing quote.
    template <typename Add>
    bool ParseQuoted(View& text, int line, const char* what, Failure& failure, Add add) const {
        for (size_t pos = 1; pos < text.size(); ++pos) {
            const char16_t c = text[pos];
            if (c == u'"') {
                text.remove_prefix(pos + 1);
                return true;
            }
            // A double-byte character whose trail byte is a backslash (0x5C)
            // escapes nothing.
            if (IsLeadByte(c) && pos + 1 < text.size()) {
                add(c);
                add(text[++pos]);
                continue;
            }
            if (c == u'\\' && pos + 1 < text.size() &&
                (text[pos + 1] == u'\\' || text[pos + 1] == u'"')) {
                ++pos;
            }
            add(text[pos]);
        }
        return Fail(failure, line,
                    std::string(what) + " not closed with '\"' (is the file cut short?)");
    }

    bool ParseValue(View text, int line, RegFileValue& value, Failure& failure) {
        if (text[0] == u'@') {
            text.remove_prefix(1);
        } else {
            std::u16string name;
            if (!ParseQuoted(text, line, "value name", failure, [&](char16_t c) { name += c; }))
                return false;
            if (name.find(u'\0') != std::u16string::npos) {
                return Fail(failure, line, "NUL character in a value name");
            }
            value.name = Wide(std::move(name));
        }
        text = SkipBlanks(text);
        if (text.empty() || text[0] != u'=') {
            return Fail(failure, line, "'=' missing after the value name");
        }
        const View data = SkipBlanks(text.substr(1));

        if (!data.empty() && data[0] == u'"') {
            View rest = data;
            value.type = REG_SZ;
            // UTF-16 LE with its NUL, as the registry holds a string.
            std::string ansi;
            auto add = [&](char16_t c) {
                if (!unicode_) {
                    ansi += static_cast<char>(c);
                    return;
                }
                value.data.push_back(static_cast<BYTE>(c & 0xFF));
                value.data.push_back(static_cast<BYTE>(c >> 8));
            };
            if (!ParseQuoted(rest, line, "string value", failure, add)) return false;
            if (!SkipBlanks(rest).empty()) {
                return Fail(failure, line, "text after the closing '\"' of a string value");
            }
            if (!unicode_) AppendUtf16LE(value.data, codepages::ToUtf16(ansi, ansiCodePage_));
            value.data.push_back(0);
            value.data.push_back(0);
            return true;
        }
        if (StartsWith(data, u"dword:")) {
            const View digits = TrimRight(data.substr(6));
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
        if (StartsWith(data, u"hex")) {
            if (!ParseHex(data.substr(3), line, value, failure)) return false;
            // The text of a REGEDIT4 file is in the code page, hex(2) and hex(7) too.
            if (!unicode_ && IsRegStringType(value.type)) {
                const std::string ansi(value.data.begin(), value.data.end());
                value.data.clear();
                AppendUtf16LE(value.data, codepages::ToUtf16(ansi, ansiCodePage_));
            }
            return true;
        }
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

    // "hex:" or "hex(type):" and the byte list, continued over the lines that
    // follow a line ending in '\'. The list is read as one text: each piece
    // without its trailing blanks and '\', each continuation without its
    // leading blanks; nothing of it is copied.
    bool ParseHex(View text, int line, RegFileValue& value, Failure& failure) {
        value.type = REG_BINARY;
        if (!text.empty() && text[0] == u'(') {
            const size_t close = text.find(u')');
            if (close == View::npos || close == 1 || close > 9) {
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
            text.remove_prefix(close + 1);
        }
        if (text.empty() || text[0] != u':') return Fail(failure, line, "':' missing after hex");

        View piece;  // the part of the list not read yet
        bool continued = false;
        auto take = [&](View raw) {
            piece = TrimRight(raw);
            continued = !piece.empty() && piece.back() == u'\\';
            if (continued) piece.remove_suffix(1);
        };
        take(text.substr(1));
        // The next character of the list, 0 at its end; moves on to the
        // continuation lines as needed.
        bool cutShort = false;
        auto peek = [&]() -> char16_t {
            while (piece.empty() && continued) {
                View more;
                if (!lines_.Next(more)) {
                    cutShort = true;
                    return 0;
                }
                take(SkipBlanks(more));
            }
            return piece.empty() ? 0 : piece[0];
        };
        auto badList = [&] {
            return Fail(failure, line,
                        "hex data must be bytes of two hex digits separated by ',', at \"" +
                            Show(piece) + "\"" + (peek() == 0 ? " (is the file cut short?)" : ""));
        };
        auto skipBlanks = [&] {
            while (IsBlank(peek())) piece.remove_prefix(1);
        };
        // Comma-separated bytes of two hex digits; an empty list is no data.
        skipBlanks();
        if (peek() == 0 && !cutShort) return true;
        for (;;) {
            int digits = 0;
            int byte = 0;
            while (peek() != 0 && HexDigit(peek()) >= 0 && digits < 3) {
                byte = byte * 16 + HexDigit(peek());
                piece.remove_prefix(1);
                ++digits;
            }
            if (cutShort) {
                return Fail(failure, lines_.Number(),
                            "the file ends after a line continued with '\\' (is it cut short?)");
            }
            if (digits != 2) return badList();
            value.data.push_back(static_cast<BYTE>(byte));
            skipBlanks();
            if (peek() == 0) {
                if (!cutShort) return true;
                return Fail(failure, lines_.Number(),
                            "the file ends after a line continued with '\\' (is it cut short?)");
            }
            if (peek() != u',') return badList();
            piece.remove_prefix(1);
            skipBlanks();
        }
    }

    Lines lines_;
    bool unicode_;
    UINT ansiCodePage_;
};

}  // namespace

bool ParseRegFile(std::string bytes, RegFile& file, std::string& error, UINT ansiCodePage) {
    file = RegFile{};
    std::u16string text;
    bool unicode = true;
    Failure failure{0, ""};
    if (!Decode(bytes, text, unicode, failure) ||
        !Parser(text, unicode, ansiCodePage).Run(file, failure)) {
        error = "line " + std::to_string(failure.line) + ": " + failure.what;
        return false;
    }
    return true;
}
