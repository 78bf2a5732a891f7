// Registry set-up and inspection for the tests: keys and values written and
// read by path, without handles and without entries in the call record.
#include <algorithm>

#include "platform/fake/FakeWindowsState.h"

using namespace fakewindows;

std::string FakeWindows::RegValue::AsString() const {
    auto nul = std::find(data.begin(), data.end(), BYTE{0});
    return std::string(data.begin(), nul);
}

void FakeWindows::CreateKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    state_->Create(parts, nullptr);
}

void FakeWindows::SetValue(const std::string& path, const std::string& name, DWORD type,
                           const std::vector<BYTE>& data) {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> parts = state_->SplitPath(path);
    std::shared_ptr<Key> key = state_->Create(parts, nullptr);
    key->values[state_->NameKey(name)] = {name, RegValue{type, data}};
}

void FakeWindows::SetString(const std::string& path, const std::string& name,
                            const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    SetValue(path, name, REG_SZ, data);
}

void FakeWindows::SetDword(const std::string& path, const std::string& name, DWORD value) {
    std::vector<BYTE> data(4);
    for (int i = 0; i < 4; ++i) data[i] = static_cast<BYTE>(value >> (8 * i));
    SetValue(path, name, REG_DWORD, data);
}

void FakeWindows::SetBinary(const std::string& path, const std::string& name,
                            const std::vector<BYTE>& data) {
    SetValue(path, name, REG_BINARY, data);
}

void FakeWindows::SetMountRecord(char letter, const std::string& text) {
    std::u16string units;
    for (char c : text) units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    std::string name = "\\DosDevices\\";
    name += letter;
    name += ':';
    SetBinary("SYSTEM\\MountedDevices", name, Utf16Bytes(units));
}

bool FakeWindows::KeyExists(const std::string& path) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->Find(state_->SplitPath(path)) != nullptr;
}

std::optional<FakeWindows::RegValue> FakeWindows::GetValue(const std::string& path,
                                                           const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::shared_ptr<Key> key = state_->Find(state_->SplitPath(path));
    if (!key) return std::nullopt;
    auto it = key->values.find(state_->NameKey(name));
    if (it == key->values.end()) return std::nullopt;
    return it->second.second;
}

std::vector<std::string> FakeWindows::SubkeyNames(const std::string& path) const {
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

std::vector<std::string> FakeWindows::KeysBelow(const std::string& path) const {
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
    CollectBelow(*key, JoinPath(parts), out);
    return out;
}

void FakeWindows::DeleteTree(const std::string& path) {
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

void FakeWindows::DenyAccess(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->denied.insert(state_->KeyPath(state_->SplitPath(path)));
}

size_t FakeWindows::OpenKeyCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->keys.size();
}
