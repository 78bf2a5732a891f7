// Registry set-up and inspection: keys and values written and read by path,
// without handles; in the code page, as the ANSI calls take them, or in UTF-16.
#include <algorithm>

#include "platform/memory/MemoryWindowsState.h"

using namespace memorywindows;

namespace {

// A key's identity: its folded names as bytes.
std::vector<std::string> Identity(const NamePath& native) {
    std::vector<std::string> identity;
    for (const Name& part : native) {
        std::string bytes;
        for (char16_t unit : codepages::FoldName(part)) {
            bytes += static_cast<char>(unit >> 8);
            bytes += static_cast<char>(unit & 0xFF);
        }
        identity.push_back(std::move(bytes));
    }
    return identity;
}

}  // namespace

std::string MemoryWindows::RegValue::AsString() const {
    auto nul = std::find(data.begin(), data.end(), BYTE{0});
    return std::string(data.begin(), nul);
}

LONG MemoryWindows::CreateKey(const std::string& path) {
    KeyPath parts;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        parts = state_->SplitPath(path);
    }
    return CreateKey(parts);
}

LONG MemoryWindows::CreateKey(const KeyPath& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    NamePath parts = path;
    const LONG refused = State::CheckNames(parts);
    if (refused == ERROR_SUCCESS) state_->Create(parts, nullptr);
    return refused;
}

LONG MemoryWindows::SetValue(const std::string& path, const std::string& name, DWORD type,
                             const std::vector<BYTE>& data) {
    std::vector<BYTE> stored;
    KeyPath parts;
    std::u16string wideName;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        stored = state_->StoredData(type, data.data(), data.size());
        parts = state_->SplitPath(path);
        wideName = state_->Wide(name);
    }
    return SetValue(parts, wideName, type, std::move(stored));
}

LONG MemoryWindows::SetValue(const KeyPath& path, const std::u16string& name, DWORD type,
                             std::vector<BYTE> data) {
    std::lock_guard<std::mutex> lock(state_->mu);
    NamePath parts = path;
    const LONG refused = State::CheckNames(parts);
    if (refused != ERROR_SUCCESS) return refused;
    state_->Create(parts, nullptr)->SetValue(name, type, std::move(data));
    return ERROR_SUCCESS;
}

bool MemoryWindows::ValueDiffers(const KeyPath& path, const std::u16string& name, DWORD type,
                                 const std::vector<BYTE>& data) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::shared_ptr<Key> key = state_->Find(path);
    if (!key) return false;
    auto it = key->values.find(codepages::FoldName(name));
    return it != key->values.end() && (it->second.type != type || it->second.data != data);
}

bool MemoryWindows::KeyExists(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->Find(state_->SplitPath(path)) != nullptr;
}

std::optional<MemoryWindows::RegValue> MemoryWindows::GetValue(const std::string& path,
                                                               const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::shared_ptr<Key> key = state_->Find(state_->SplitPath(path));
    if (!key) return std::nullopt;
    auto it = key->values.find(codepages::FoldName(state_->Wide(name)));
    if (it == key->values.end()) return std::nullopt;
    return RegValue{it->second.type, state_->AnsiData(it->second)};
}

std::vector<std::string> MemoryWindows::SubkeyNames(const std::string& path) const {
    std::vector<std::string> names;
    const KeyPath parts = [&] {
        std::lock_guard<std::mutex> lock(state_->mu);
        return state_->SplitPath(path);
    }();
    for (const std::u16string& name : SubkeyNames(parts)) names.push_back(Utf16ToAnsi(name));
    return names;
}

std::vector<std::u16string> MemoryWindows::SubkeyNames(const KeyPath& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::u16string> names;
    if (std::shared_ptr<Key> key = state_->Find(path))
        for (const auto& entry : key->subkeys) names.push_back(entry.second->name);
    return names;
}

std::vector<std::pair<std::u16string, MemoryWindows::RegValue>> MemoryWindows::Values(
    const KeyPath& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::pair<std::u16string, RegValue>> values;
    if (std::shared_ptr<Key> key = state_->Find(path)) {
        for (const auto& entry : key->values)
            values.emplace_back(entry.second.name, RegValue{entry.second.type, entry.second.data});
    }
    return values;
}

std::vector<std::string> MemoryWindows::KeysBelow(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> out;
    NamePath parts = state_->SplitPath(path);
    // Reported in the case the keys were created with.
    std::shared_ptr<Key> top = state_->FindNamed(parts);
    if (!top) return out;
    // Depth first without recursion: each entry is a key and its path.
    std::vector<std::pair<const Key*, Name>> pending{{top.get(), codepages::JoinPath(parts)}};
    while (!pending.empty()) {
        auto [key, prefix] = std::move(pending.back());
        pending.pop_back();
        if (key != top.get()) out.push_back(state_->Ansi(prefix));
        // Pushed last to first, so that they come off in enumeration order.
        for (auto it = key->subkeys.rbegin(); it != key->subkeys.rend(); ++it) {
            const Name& name = it->second->name;
            pending.emplace_back(it->second.get(), prefix.empty() ? name : prefix + u'\\' + name);
        }
    }
    return out;
}

void MemoryWindows::DeleteTree(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    NamePath parts = state_->SplitPath(path);
    if (parts.empty()) return;
    NamePath parentPath(parts.begin(), parts.end() - 1);
    std::shared_ptr<Key> parent = state_->Find(parentPath);
    if (!parent) return;
    auto it = parent->subkeys.find(codepages::FoldName(parts.back()));
    if (it == parent->subkeys.end()) return;
    MarkDeleted(*it->second);
    parent->EraseSubkey(it);
}

LONG MemoryWindows::ResolveKey(HKEY key, LPCSTR subKey, REGSAM access,
                               std::vector<std::string>& identity, bool& exists) const {
    std::u16string wide;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        wide = state_->Wide(subKey ? subKey : "");
    }
    return ResolveKey(key, wide, access, identity, exists);
}

LONG MemoryWindows::ResolveKey(HKEY key, const std::u16string& subKey, REGSAM access,
                               std::vector<std::string>& identity, bool& exists) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    NamePath native;
    const LONG error = state_->Resolve(key, subKey, access, native);
    exists = error == ERROR_SUCCESS && state_->Find(native) != nullptr;
    identity = Identity(native);
    return error;
}

std::vector<std::string> MemoryWindows::KeyIdentity(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return Identity(state_->SplitPath(path));
}
