// What the explain tool's loader makes of one reg export, one line per key and
// per value, for the comparison with Wine's regedit (run_reg_compare.sh):
//   key<TAB>PATH
//   value<TAB>PATH<TAB>NAME<TAB>TYPE<TAB>DATA
// PATH below HKEY_LOCAL_MACHINE, names in UTF-8 (code units below 0x20, 0x7F
// and lone surrogates as \u{XXXX}), TYPE in hex, DATA as hex bytes, that of
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ in UTF-16 LE. A file the reader or
// the loader refuses gives one line: refused<TAB>ERROR.
//   reg_dump FILE CODEPAGE
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "explain/ExportedMachine.h"
#include "explain/RegFile.h"

namespace {

struct LoadedValue {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;  // strings in UTF-16 LE
};
struct LoadedKey {
    std::u16string path;
    std::vector<LoadedValue> values;
};

// The loaded tree, depth first, each key with its values as stored.
std::vector<LoadedKey> ReadLoaded(const MemoryWindows& machine) {
    std::vector<LoadedKey> keys;
    std::vector<MemoryWindows::KeyPath> pending{{}};
    while (!pending.empty()) {
        const MemoryWindows::KeyPath path = std::move(pending.back());
        pending.pop_back();
        if (!path.empty()) {
            LoadedKey key;
            for (const std::u16string& name : path)
                key.path += (key.path.empty() ? u"" : u"\\") + name;
            for (const auto& [name, value] : machine.Values(path))
                key.values.push_back({name, value.type, value.data});
            keys.push_back(std::move(key));
        }
        for (const std::u16string& name : machine.SubkeyNames(path)) {
            pending.push_back(path);
            pending.back().push_back(name);
        }
    }
    return keys;
}

std::string Utf8(const std::u16string& text) {
    static const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c < 0xE000)) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%04lX}", c);
            out += escaped;
            continue;
        }
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(lead[extra] | c >> (6 * extra));
        for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | (c >> (6 * k) & 0x3F));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: reg_dump FILE CODEPAGE\n");
        return 2;
    }
    MachineFacts facts;
    facts.codePage = static_cast<UINT>(std::atoi(argv[2]));
    ParseWindowsName("xp", facts);
    MemoryWindows machine;
    SetUpMachine(machine, facts);
    std::string bytes, error;
    RegFile file;
    if (!ReadExportFile(argv[1], bytes, error) ||
        !ParseRegFile(std::move(bytes), file, error, facts.codePage) ||
        !LoadRegFile(machine, file, error)) {
        std::printf("refused\t%s\n", error.c_str());  // UTF-8 already
        return 0;
    }
    for (const LoadedKey& key : ReadLoaded(machine)) {
        std::printf("key\t%s\n", Utf8(key.path).c_str());
        for (const LoadedValue& value : key.values) {
            std::string hex;
            for (BYTE b : value.data) {
                static const char digits[] = "0123456789abcdef";
                hex += {digits[b >> 4], digits[b & 0xF]};
            }
            std::printf("value\t%s\t%s\t%lx\t%s\n", Utf8(key.path).c_str(),
                        Utf8(value.name).c_str(), static_cast<unsigned long>(value.type),
                        hex.c_str());
        }
    }
    return 0;
}
