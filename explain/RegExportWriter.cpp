#include "explain/RegExportWriter.h"

#include "platform/Utf16.h"

namespace {

constexpr size_t kFlushBytes = 64 * 1024;
// regedit breaks a hex list after the byte that takes its line past this.
constexpr size_t kHexLineWidth = 76;

// A name or text between quotes: backslash and quote escaped.
std::u16string Quoted(const std::u16string& text) {
    std::u16string out = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out + u"\"";
}

// REG_SZ data that a "text" line gives back as it is: whole units, one NUL
// at the end and none before, no line break.
bool PlainText(DWORD type, const BYTE* data, size_t size, std::u16string& text) {
    if (type != REG_SZ || size < 2 || size % 2 != 0) return false;
    text = DecodeUtf16LE(data, size);
    if (text.back() != u'\0') return false;
    text.pop_back();
    return text.find_first_of(std::u16string(u"\r\n\0", 3)) == std::u16string::npos;
}

}  // namespace

RegExportWriter::RegExportWriter(SaveFolder& folder) : folder_(folder) {
    buffer_ = {0xFF, 0xFE};
    Put(u"Windows Registry Editor Version 5.00\r\n\r\n");
}

std::string RegExportWriter::Unwritable(const std::u16string& name) {
    if (name.find_first_of(u"\r\n") != std::u16string::npos) return "a line break in its name";
    if (name.find(u'\0') != std::u16string::npos) return "a NUL in its name";
    return "";
}

void RegExportWriter::Put(const std::u16string& text) {
    AppendUtf16LE(buffer_, text);
    if (buffer_.size() >= kFlushBytes) {
        std::string ignored;
        Flush(ignored);
    }
}

void RegExportWriter::PutAscii(const std::string& text) {
    Put(std::u16string(text.begin(), text.end()));
}

void RegExportWriter::Key(const std::u16string& path) { Put(u"[" + path + u"]\r\n"); }

void RegExportWriter::EndKey() { Put(u"\r\n"); }

void RegExportWriter::Value(const std::u16string& name, DWORD type, const BYTE* data, size_t size) {
    const std::u16string head = (name.empty() ? u"@" : Quoted(name)) + u"=";
    std::u16string text;
    if (PlainText(type, data, size, text)) {
        Put(head + Quoted(text) + u"\r\n");
    } else if (type == REG_DWORD && size == 4) {
        static const char kHex[] = "0123456789abcdef";
        std::string digits;
        for (int i = 3; i >= 0; --i) digits += {kHex[data[i] >> 4], kHex[data[i] & 0xF]};
        Put(head);
        PutAscii("dword:" + digits + "\r\n");
    } else {
        HexValue(head, type, data, size);
    }
}

void RegExportWriter::HexValue(const std::u16string& head, DWORD type, const BYTE* data,
                               size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string kind = "hex";
    if (type != REG_BINARY) {
        std::string digits;
        for (DWORD rest = type; rest != 0 || digits.empty(); rest >>= 4)
            digits.insert(digits.begin(), kHex[rest & 0xF]);
        kind += "(" + digits + ")";
    }
    Put(head);
    size_t width = head.size() + kind.size() + 1;
    std::string line = kind + ":";
    for (size_t i = 0; i < size; ++i) {
        line += {kHex[data[i] >> 4], kHex[data[i] & 0xF]};
        width += 2;
        if (i + 1 == size) break;
        line += ',';
        if (++width > kHexLineWidth) {
            PutAscii(line + "\\\r\n");
            line = "  ";
            width = 2;
        }
    }
    PutAscii(line + "\r\n");
}

bool RegExportWriter::Flush(std::string& why) {
    if (error_.empty() && !buffer_.empty() &&
        !folder_.Append(buffer_.data(), buffer_.size(), error_) && error_.empty())
        error_ = "a write failed";
    if (error_.empty()) bytes_ += buffer_.size();
    buffer_.clear();
    why = error_;
    return error_.empty();
}
