// The state that every part of MemoryWindows shares, behind the one lock.
// Private to platform/memory: each Memory*.cpp file implements one part's
// members on top of it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/memory/CodePages.h"
#include "platform/memory/MemoryWindows.h"

namespace memorywindows {

// The longest key name the registry takes, in UTF-16 units: 512 bytes, as
// Windows and Wine have it (Microsoft's documentation says 255 characters).
constexpr size_t kMaxKeyNameLength = 256;

// ---- Registry tree (MemoryRegistry.cpp) ---------------------------------------
// Names and string data are kept as Windows keeps them, in UTF-16; the ANSI
// calls convert at the call with the active code page.

using Name = std::u16string;
using NamePath = std::vector<Name>;

struct StoredValue {
    Name name;  // as it was first set
    DWORD type = REG_NONE;
    std::vector<BYTE> data;  // strings as UTF-16 LE
};

struct Key {
    using Subkeys = std::map<Name, std::shared_ptr<Key>>;

    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    // Frees the keys below without recursion, however deep the tree.
    ~Key();

    Name name;
    // Keyed by codepages::FoldName: the order Windows enumerates in. Changed
    // only through AddSubkey and EraseSubkey, which keep the cursor right.
    Subkeys subkeys;
    std::map<Name, StoredValue> values;  // keyed by FoldName
    bool deleted = false;

    // The subkey at `index` (< subkeys.size()). Callers enumerate index after
    // index, so the last position is kept: stepping through the map from its
    // start every time would make a whole enumeration quadratic.
    Subkeys::iterator SubkeyAt(size_t index);
    std::shared_ptr<Key>& AddSubkey(const Name& folded);
    void EraseSubkey(Subkeys::iterator it);
    // A value set again keeps the name it was first set with.
    void SetValue(const Name& name, DWORD type, std::vector<BYTE> data);

private:
    bool positioned = false;
    size_t atIndex = 0;
    Subkeys::iterator at;
};

void MarkDeleted(Key& key);  // with every key below it

struct OpenKey {
    std::shared_ptr<Key> key;
    NamePath native;  // as stored, after redirection
    REGSAM access = 0;
};

// ---- Run-time look-up (MemorySystem.cpp) --------------------------------------

extern const HMODULE kExeModule;
extern const HMODULE kKernel32;
extern const HMODULE kAdvapi32;
extern const HANDLE kCurrentProcess;
// What GetProcAddress hands out for the two exports; only compared with, never
// called through: the Call* members stand for the calls.
void IsWow64ProcessExport();
void RegDeleteKeyExAExport();
void GetNativeSystemInfoExport();

}  // namespace memorywindows

struct MemoryWindows::State {
    using Key = memorywindows::Key;
    using OpenKey = memorywindows::OpenKey;
    using Name = memorywindows::Name;
    using NamePath = memorywindows::NamePath;
    using StoredValue = memorywindows::StoredValue;

    mutable std::mutex mu;
    ULONG_PTR nextHandle = 0x10000;

    // Registry
    std::shared_ptr<Key> root = std::make_shared<Key>();
    std::map<HKEY, OpenKey> keys;

    // Process and system
    bool wow64 = false;
    OSVERSIONINFOEXA version{};
    std::string modulePath;
    std::map<char, UINT> driveTypes;
    std::u16string computerName = u"QARNMEMORY";
    UINT codePage = 1252;
    std::map<std::thread::id, DWORD> lastError;
    std::map<std::thread::id, DWORD> threadIds;
    DWORD nextThreadId = 1000;

    template <typename H>
    H NewHandle() {
        nextHandle += 0x10;
        return reinterpret_cast<H>(nextHandle);
    }

    void Fail(DWORD error) { lastError[std::this_thread::get_id()] = error; }

    // Names and text of the ANSI calls, converted with the active code page.
    Name Wide(const std::string& text) const { return codepages::ToUtf16(text, codePage); }
    std::string Ansi(const Name& text) const { return codepages::FromUtf16(text, codePage); }
    NamePath SplitPath(const std::string& path) const { return codepages::SplitPath(Wide(path)); }
    // Data set through an ANSI call, as stored; and stored data as an ANSI
    // query returns it.
    std::vector<BYTE> StoredData(DWORD type, const BYTE* data, size_t size) const;
    std::vector<BYTE> AnsiData(const StoredValue& value) const;

    // ---- Registry (MemoryRegistry.cpp) --------------------------------------------

    std::shared_ptr<Key> Find(const NamePath& parts) const;
    // Also puts the stored names of the keys found into `parts`.
    std::shared_ptr<Key> FindNamed(NamePath& parts) const;
    // Creates every missing key; fills in the stored names of the existing ones.
    std::shared_ptr<Key> Create(NamePath& parts, bool* created);
    // ERROR_INVALID_PARAMETER when a name is longer than the registry takes.
    static LONG CheckNames(const NamePath& parts);

    // The open key behind a handle; HKEY_LOCAL_MACHINE is always open.
    OpenKey machine{root, {}, KEY_ALL_ACCESS};
    const OpenKey* Lookup(HKEY key) const;
    // Resolves key + subKey into a native path, choosing the view by `access`.
    LONG Resolve(HKEY key, const Name& subKey, REGSAM access, NamePath& native) const;
    LONG OpenOrCreate(HKEY key, const Name& subKey, REGSAM access, bool create, PHKEY result,
                      LPDWORD disposition);
    LONG DeleteKey(HKEY key, LPCSTR subKey, REGSAM access);

private:
    // Whether the 32-bit view applies to an access mask.
    bool Redirects(REGSAM access) const;
    void Redirect(NamePath& parts) const;
};
