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

struct Key {
    using Subkeys = std::map<std::string, std::shared_ptr<Key>>;

    std::string name;
    // Keyed by NameKey: the order Windows enumerates in. Changed
    // only through AddSubkey and EraseSubkey, which keep the cursor right.
    Subkeys subkeys;
    std::map<std::string, std::pair<std::string, MemoryWindows::RegValue>> values;
    bool deleted = false;

    // The subkey at `index` (< subkeys.size()). Callers enumerate index after
    // index, so the last position is kept: stepping through the map from its
    // start every time would make a whole enumeration quadratic.
    Subkeys::iterator SubkeyAt(size_t index);
    std::shared_ptr<Key>& AddSubkey(const std::string& nameKey);
    void EraseSubkey(Subkeys::iterator it);

private:
    bool positioned = false;
    size_t atIndex = 0;
    Subkeys::iterator at;
};

void MarkDeleted(Key& key);  // with every key below it

struct OpenKey {
    std::shared_ptr<Key> key;
    std::vector<std::string> native;  // components as stored, after redirection
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

}  // namespace memorywindows

struct MemoryWindows::State {
    using Key = memorywindows::Key;
    using OpenKey = memorywindows::OpenKey;

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

    // Text as the current code page cuts it into characters.
    std::string Upper(const std::string& text) const { return codepages::Upper(text, codePage); }
    std::vector<std::string> SplitPath(const std::string& path) const {
        return codepages::SplitPath(path, codePage);
    }
    std::string NameKey(const std::string& name) const {
        return codepages::NameKey(name, codePage);
    }
    std::vector<std::string> KeyPath(std::vector<std::string> parts) const {
        for (std::string& part : parts) part = NameKey(part);
        return parts;
    }

    // ---- Registry (MemoryRegistry.cpp) --------------------------------------------

    std::shared_ptr<Key> Find(const std::vector<std::string>& parts) const;
    // Also puts the stored names of the keys found into `parts`.
    std::shared_ptr<Key> FindNamed(std::vector<std::string>& parts) const;
    // Creates every missing key; fills in the stored names of the existing ones.
    std::shared_ptr<Key> Create(std::vector<std::string>& parts, bool* created);
    // ERROR_INVALID_PARAMETER when a name is longer than the registry takes.
    LONG CheckNames(const std::vector<std::string>& parts) const;

    // The open key behind a handle; HKEY_LOCAL_MACHINE is always open.
    OpenKey machine{root, {}, KEY_ALL_ACCESS};
    const OpenKey* Lookup(HKEY key) const;
    // Resolves key + subKey into a native path, choosing the view by `access`.
    LONG Resolve(HKEY key, LPCSTR subKey, REGSAM access, std::vector<std::string>& native) const;
    LONG OpenOrCreate(HKEY key, LPCSTR subKey, REGSAM access, bool create, PHKEY result,
                      LPDWORD disposition);
    LONG DeleteKey(HKEY key, LPCSTR subKey, REGSAM access);

private:
    // Whether the 32-bit view applies to an access mask.
    bool Redirects(REGSAM access) const;
    void Redirect(std::vector<std::string>& parts) const;
};
