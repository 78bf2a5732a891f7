// Registry set-up and inspection: keys and values written and read by path,
// without handles.
#include <algorithm>

#include "platform/memory/MemoryWindowsState.h"

using namespace memorywindows;

std::string MemoryWindows::RegValue::AsString() const {
    auto nul = std::find(data.begin(), data.end(), BYTE{0});
    return std::string(data.begin(), nul);
}

LONG MemoryWindows::CreateKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    const LONG refused = state_->CheckNames(parts);
    if (refused == ERROR_SUCCESS) state_->Create(parts, nullptr);
    return refused;
}

LONG MemoryWindows::SetValue(const std::string& path, const std::string& name, DWORD type,
                             const std::vector<BYTE>& data) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    const LONG refused = state_->CheckNames(parts);
    if (refused != ERROR_SUCCESS) return refused;
    std::shared_ptr<Key> key = state_->Create(parts, nullptr);
    key->values[state_->NameKey(name)] = {name, RegValue{type, data}};
    return ERROR_SUCCESS;
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
    auto it = key->values.find(state_->NameKey(name));
    if (it == key->values.end()) return std::nullopt;
    return it->second.second;
}

std::vector<std::string> MemoryWindows::SubkeyNames(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> names;
    if (std::shared_ptr<Key> key = state_->Find(state_->SplitPath(path)))
        for (const auto& entry : key->subkeys) names.push_back(entry.second->name);
    return names;
}

namespace {
void CollectBelow(const Key& key, const std::string& prefix, std::vector<std::string>& out) {
    for (const auto& entry : key.subkeys) {
        std::string path = prefix.empty() ? entry.second->name : prefix + "\\" + entry.second->name;
        out.push_back(path);
        CollectBelow(*entry.second, path, out);
    }
}
}  // namespace

std::vector<std::string> MemoryWindows::KeysBelow(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> out;
    std::vector<std::string> parts = state_->SplitPath(path);
    std::shared_ptr<Key> key = state_->Find(parts);
    if (!key) return out;
    // Report the path in the case the keys were created with.
    std::shared_ptr<Key> walk = state_->root;
    for (std::string& part : parts) {
        walk = walk->subkeys.at(state_->NameKey(part));
        part = walk->name;
    }
    CollectBelow(*key, codepages::JoinPath(parts), out);
    return out;
}

void MemoryWindows::DeleteTree(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    if (parts.empty()) return;
    std::vector<std::string> parentPath(parts.begin(), parts.end() - 1);
    std::shared_ptr<Key> parent = state_->Find(parentPath);
    if (!parent) return;
    auto it = parent->subkeys.find(state_->NameKey(parts.back()));
    if (it == parent->subkeys.end()) return;
    MarkDeleted(*it->second);
    parent->EraseSubkey(it);
}

LONG MemoryWindows::ResolveKey(HKEY key, LPCSTR subKey, REGSAM access,
                               std::vector<std::string>& identity, bool& exists) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    const LONG error = state_->Resolve(key, subKey, access, identity);
    exists = error == ERROR_SUCCESS && state_->Find(identity) != nullptr;
    identity = state_->KeyPath(identity);
    return error;
}

std::vector<std::string> MemoryWindows::KeyIdentity(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->KeyPath(state_->SplitPath(path));
}
