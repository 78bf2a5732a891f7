// Registry: the key tree with its WOW64 views, key handles, and the Win32
// registry calls. Set-up and inspection: MemoryRegistrySetup.cpp.
#include <cstring>

#include "platform/Utf16.h"

#include "platform/memory/MemoryWindowsState.h"

namespace memorywindows {

Key::Subkeys::iterator Key::SubkeyAt(size_t index) {
    if (!positioned || index < atIndex) {
        at = subkeys.begin();
        atIndex = 0;
        positioned = true;
    }
    std::advance(at, index - atIndex);
    atIndex = index;
    return at;
}

std::shared_ptr<Key>& Key::AddSubkey(const Name& folded) {
    auto inserted = subkeys.emplace(folded, nullptr);
    if (inserted.second) positioned = false;
    return inserted.first->second;
}

void Key::SetValue(const Name& name, DWORD type, std::vector<BYTE> data) {
    auto [it, added] = values.try_emplace(codepages::FoldName(name));
    if (added) it->second.name = name;
    it->second.type = type;
    it->second.data = std::move(data);
}

void Key::EraseSubkey(Subkeys::iterator it) {
    positioned = false;
    subkeys.erase(it);
}

Key::~Key() {
    // Each key taken from `pending` has no subkeys left when it is released,
    // so no destructor below this one recurses. A key an open handle still
    // holds is released, with its subtree, when that handle closes.
    std::vector<std::shared_ptr<Key>> pending;
    for (auto& entry : subkeys) pending.push_back(std::move(entry.second));
    subkeys.clear();
    while (!pending.empty()) {
        std::shared_ptr<Key> key = std::move(pending.back());
        pending.pop_back();
        if (key.use_count() > 1) continue;
        for (auto& entry : key->subkeys) pending.push_back(std::move(entry.second));
        key->subkeys.clear();
    }
}

void MarkDeleted(Key& key) {
    std::vector<Key*> pending{&key};
    while (!pending.empty()) {
        Key* next = pending.back();
        pending.pop_back();
        next->deleted = true;
        for (auto& entry : next->subkeys) pending.push_back(entry.second.get());
    }
}

}  // namespace memorywindows

using namespace memorywindows;

// ---- Tree and handles -------------------------------------------------------------

std::vector<BYTE> MemoryWindows::State::StoredData(DWORD type, const BYTE* data,
                                                   size_t size) const {
    if (!IsRegStringType(type)) return std::vector<BYTE>(data, data + size);
    std::vector<BYTE> stored;
    AppendUtf16LE(stored, Wide(std::string(reinterpret_cast<const char*>(data), size)));
    return stored;
}

std::vector<BYTE> MemoryWindows::State::AnsiData(const StoredValue& value) const {
    if (!IsRegStringType(value.type)) return value.data;
    const std::string text = Ansi(DecodeUtf16LE(value.data.data(), value.data.size()));
    return std::vector<BYTE>(text.begin(), text.end());
}

std::shared_ptr<Key> MemoryWindows::State::Find(const NamePath& parts) const {
    const std::shared_ptr<Key>* key = &root;
    for (const Name& part : parts) {
        auto it = (*key)->subkeys.find(codepages::FoldName(part));
        if (it == (*key)->subkeys.end()) return nullptr;
        key = &it->second;
    }
    return *key;
}

std::shared_ptr<Key> MemoryWindows::State::FindNamed(NamePath& parts) const {
    const std::shared_ptr<Key>* key = &root;
    for (Name& part : parts) {
        auto it = (*key)->subkeys.find(codepages::FoldName(part));
        if (it == (*key)->subkeys.end()) return nullptr;
        key = &it->second;
        part = (*key)->name;
    }
    return *key;
}

std::shared_ptr<Key> MemoryWindows::State::Create(NamePath& parts, bool* created) {
    std::shared_ptr<Key> key = root;
    if (created) *created = false;
    for (Name& part : parts) {
        std::shared_ptr<Key>& slot = key->AddSubkey(codepages::FoldName(part));
        if (!slot) {
            slot = std::make_shared<Key>();
            slot->name = part;
            if (created) *created = true;
        }
        part = slot->name;
        key = slot;
    }
    return key;
}

LONG MemoryWindows::State::CheckNames(const NamePath& parts) {
    for (const Name& part : parts) {
        if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

bool MemoryWindows::State::Redirects(REGSAM access) const {
    if (!wow64) return false;
    return (access & KEY_WOW64_32KEY) != 0 || (access & KEY_WOW64_64KEY) == 0;
}

void MemoryWindows::State::Redirect(NamePath& parts) const {
    if (parts.size() >= 2 && codepages::FoldName(parts[0]) == u"SOFTWARE" &&
        codepages::FoldName(parts[1]) != u"WOW6432NODE")
        parts.insert(parts.begin() + 1, u"Wow6432Node");
}

const MemoryWindows::State::OpenKey* MemoryWindows::State::Lookup(HKEY key) const {
    if (key == HKEY_LOCAL_MACHINE) return &machine;
    auto it = keys.find(key);
    return it == keys.end() ? nullptr : &it->second;
}

LONG MemoryWindows::State::Resolve(HKEY key, const Name& subKey, REGSAM access,
                                   NamePath& native) const {
    const OpenKey* base = Lookup(key);
    if (!base) return ERROR_INVALID_HANDLE;
    if (base->key->deleted) return ERROR_KEY_DELETED;
    if (!subKey.empty() && subKey[0] == u'\\') return ERROR_BAD_PATHNAME;
    native = base->native;
    for (Name& part : codepages::SplitPath(subKey)) native.push_back(std::move(part));
    if (Redirects(access)) Redirect(native);
    return CheckNames(native);
}

LONG MemoryWindows::State::OpenOrCreate(HKEY key, const Name& subKey, REGSAM access, bool create,
                                        PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    NamePath native;
    LONG error = Resolve(key, subKey, access, native);
    if (error != ERROR_SUCCESS) return error;

    std::shared_ptr<Key> found = FindNamed(native);
    if (!found && !create) return ERROR_FILE_NOT_FOUND;
    bool created = false;
    std::shared_ptr<Key> opened = found ? found : Create(native, &created);
    HKEY handle = NewHandle<HKEY>();
    keys[handle] = OpenKey{opened, native, access};
    *result = handle;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG MemoryWindows::State::DeleteKey(HKEY key, LPCSTR subKey, REGSAM access) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    NamePath native;
    LONG error = Resolve(key, Wide(subKey), access, native);
    if (error != ERROR_SUCCESS) return error;
    if (native.empty()) return ERROR_ACCESS_DENIED;  // the hive root
    NamePath parentPath(native.begin(), native.end() - 1);
    std::shared_ptr<Key> parent = Find(parentPath);
    if (!parent) return ERROR_FILE_NOT_FOUND;
    auto it = parent->subkeys.find(codepages::FoldName(native.back()));
    if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
    MarkDeleted(*it->second);
    parent->EraseSubkey(it);
    return ERROR_SUCCESS;
}

// ---- Registry -------------------------------------------------------------------

LONG MemoryWindows::RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR /*keyClass*/,
                                    DWORD options, REGSAM access, LPVOID /*securityAttributes*/,
                                    PHKEY result, LPDWORD disposition) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (reserved != 0 || options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
    return state_->OpenOrCreate(key, state_->Wide(subKey ? subKey : ""), access, true, result,
                                disposition);
}

LONG MemoryWindows::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                  PHKEY result) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (options != 0) return ERROR_INVALID_PARAMETER;
    return state_->OpenOrCreate(key, state_->Wide(subKey ? subKey : ""), access, false, result,
                                nullptr);
}

LONG MemoryWindows::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                  PHKEY result) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (options != 0) return ERROR_INVALID_PARAMETER;
    return state_->OpenOrCreate(key, subKey ? Name(subKey) : Name(), access, false, result,
                                nullptr);
}

LONG MemoryWindows::RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->OpenOrCreate(key, state_->Wide(subKey ? subKey : ""), KEY_ALL_ACCESS, true,
                                result, nullptr);
}

LONG MemoryWindows::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                  LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                                  PFILETIME lastWriteTime) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const OpenKey* open = s.Lookup(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!name || !nameLength || reserved) return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return ERROR_KEY_DELETED;
    if (!(open->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    if (index >= open->key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string found = s.Ansi(open->key->SubkeyAt(index)->second->name);
    if (found.size() + 1 > *nameLength) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameLength = static_cast<DWORD>(found.size());
    if (keyClass && classLength && *classLength > 0) keyClass[0] = '\0';
    if (classLength) *classLength = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0xD53E8000u, 0x01C6E1A0u};  // a day in 2006
    return ERROR_SUCCESS;
}

// The numbers of subkeys and values; the rest as a key without class,
// security descriptor or names reports it.
LONG MemoryWindows::RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength,
                                     LPDWORD reserved, LPDWORD subKeys, LPDWORD maxSubKeyLength,
                                     LPDWORD maxClassLength, LPDWORD values,
                                     LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                     LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const OpenKey* open = s.Lookup(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return ERROR_KEY_DELETED;
    if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (keyClass && classLength && *classLength > 0) keyClass[0] = '\0';
    for (LPDWORD zero : {classLength, maxSubKeyLength, maxClassLength, maxValueNameLength,
                         maxValueLength, securityDescriptorSize}) {
        if (zero) *zero = 0;
    }
    if (subKeys) *subKeys = static_cast<DWORD>(open->key->subkeys.size());
    if (values) *values = static_cast<DWORD>(open->key->values.size());
    if (lastWriteTime) *lastWriteTime = FILETIME{0xD53E8000u, 0x01C6E1A0u};
    return ERROR_SUCCESS;
}

LONG MemoryWindows::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                  LPDWORD reserved, LPWSTR keyClass, LPDWORD classLength,
                                  PFILETIME lastWriteTime) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const OpenKey* open = s.Lookup(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!name || !nameLength || reserved) return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return ERROR_KEY_DELETED;
    if (!(open->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    if (index >= open->key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const Name& found = open->key->SubkeyAt(index)->second->name;
    if (found.size() + 1 > *nameLength) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), 2 * (found.size() + 1));
    *nameLength = static_cast<DWORD>(found.size());
    if (keyClass && classLength && *classLength > 0) keyClass[0] = u'\0';
    if (classLength) *classLength = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0xD53E8000u, 0x01C6E1A0u};  // a day in 2006
    return ERROR_SUCCESS;
}

// Values come in the order of their upper-case names; Windows and Wine give
// them in the order they were set. Nothing that reads them depends on it.
LONG MemoryWindows::RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                                  LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const OpenKey* open = s.Lookup(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (!valueName || !valueNameLength || reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return ERROR_KEY_DELETED;
    if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if (index >= open->key->values.size()) return ERROR_NO_MORE_ITEMS;
    const StoredValue& stored = std::next(open->key->values.begin(), index)->second;
    if (stored.name.size() + 1 > *valueNameLength) return ERROR_MORE_DATA;
    const DWORD size = static_cast<DWORD>(stored.data.size());
    if (data && size > *dataSize) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(valueName, stored.name.c_str(), 2 * (stored.name.size() + 1));
    *valueNameLength = static_cast<DWORD>(stored.name.size());
    if (type) *type = stored.type;
    if (data && size > 0) std::memcpy(data, stored.data.data(), size);
    if (dataSize) *dataSize = size;
    return ERROR_SUCCESS;
}

LONG MemoryWindows::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                     LPBYTE data, LPDWORD dataSize) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const OpenKey* open = s.Lookup(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    if (open->key->deleted) return ERROR_KEY_DELETED;
    if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto it = open->key->values.find(codepages::FoldName(s.Wide(valueName ? valueName : "")));
    if (it == open->key->values.end()) return ERROR_FILE_NOT_FOUND;
    const StoredValue& stored = it->second;
    // Strings come back in the code page, and the size is theirs.
    const bool text = IsRegStringType(stored.type);
    const std::vector<BYTE> converted = text ? s.AnsiData(stored) : std::vector<BYTE>();
    const std::vector<BYTE>& bytes = text ? converted : stored.data;
    DWORD size = static_cast<DWORD>(bytes.size());
    if (type) *type = stored.type;
    if (!data) {
        if (dataSize) *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (size > *dataSize) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0) std::memcpy(data, bytes.data(), size);
    // A string stored without its NUL gets one where the buffer has room;
    // the size does not count it.
    if (IsRegStringType(stored.type) && size > 0 && size < *dataSize && data[size - 1] != 0)
        data[size] = 0;
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG MemoryWindows::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD dataSize) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const OpenKey* open = s.Lookup(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (reserved) return ERROR_INVALID_PARAMETER;
    if (!data && dataSize) return ERROR_NOACCESS;
    if (open->key->deleted) return ERROR_KEY_DELETED;
    if (!(open->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    // A string whose size leaves out the NUL that follows it gets the NUL
    // stored too, as Windows does (it reads the byte past the size for that).
    if (IsRegStringType(type) && dataSize > 0 && data[dataSize - 1] != 0 && data[dataSize] == 0)
        ++dataSize;
    open->key->SetValue(s.Wide(valueName ? valueName : ""), type,
                        s.StoredData(type, data, dataSize));
    return ERROR_SUCCESS;
}

LONG MemoryWindows::RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return state_->keys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG MemoryWindows::RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->DeleteKey(key, subKey, 0);
}

LONG MemoryWindows::CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey,
                                        REGSAM access, DWORD reserved) {
    if (regDeleteKeyExA != &RegDeleteKeyExAExport) return ERROR_INVALID_FUNCTION;
    std::lock_guard<std::mutex> lock(state_->mu);
    if (reserved != 0) return ERROR_INVALID_PARAMETER;
    return state_->DeleteKey(key, subKey, access);
}
