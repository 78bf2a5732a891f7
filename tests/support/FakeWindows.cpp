// Core of the double: the call record, the set-up on top of the in-memory
// Windows, and its registry and system calls, recorded and then handed to
// the in-memory Windows unless a failure switch or a locked key answers
// first.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driveicons/MountText.h"
#include "driveicons/DriveIconLayout.h"
#include "platform/Utf16.h"
#include "support/FakeWindowsState.h"

namespace fakewindows {

void TestBug(const char* message) {
    std::fprintf(stderr, "FakeWindows: %s\n", message);
    std::abort();
}

std::string Hex(DWORD value) {
    char buffer[16] = {'0', 'x'};
    *std::to_chars(buffer + 2, buffer + sizeof buffer - 1, value, 16).ptr = '\0';
    return buffer;
}

}  // namespace fakewindows

using namespace fakewindows;

FakeWindows::FakeWindows() : state_(std::make_unique<State>(*this)) {
    SetModulePath("C:\\Program Files\\Qarn\\QarnIEx.exe");
}

FakeWindows::~FakeWindows() = default;

bool FakeWindows::State::EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto upper = [](char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
               return upper(x) == upper(y);
           });
}

// ---- Call record ------------------------------------------------------------------

std::vector<FakeWindows::Call> FakeWindows::Calls() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<Call> calls;
    calls.reserve(state_->calls.size());
    for (const State::RecordedCall& call : state_->calls)
        calls.push_back({call.function, call.detail});
    return calls;
}

size_t FakeWindows::CountCalls(const std::string& function) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(
        state_->calls.begin(), state_->calls.end(),
        [&](const State::RecordedCall& call) { return function == call.function; });
}

size_t FakeWindows::CountCallsWithPrefix(const std::string& functionPrefix) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return std::count_if(
        state_->calls.begin(), state_->calls.end(), [&](const State::RecordedCall& call) {
            return std::strncmp(call.function, functionPrefix.c_str(), functionPrefix.size()) == 0;
        });
}

void FakeWindows::ClearCalls() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->calls.clear();
}

// ---- Set-up -----------------------------------------------------------------------

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
    SetBinary(MountedDevicesPath, MountValueName(letter), Utf16Bytes(units));
}

std::vector<BYTE> FakeWindows::Utf16Bytes(const std::u16string& text) {
    std::vector<BYTE> bytes;
    AppendUtf16LE(bytes, text);
    return bytes;
}

void FakeWindows::DenyAccess(const std::string& path) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->denied.insert(KeyIdentity(path));
}

size_t FakeWindows::OpenKeyCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->keyPaths.size();
}

void FakeWindows::SetExportPresent(const std::string& procName, bool present) {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (present)
        state_->missingExports.erase(procName);
    else
        state_->missingExports.insert(procName);
}

void FakeWindows::SetVersionFailures(bool extendedFails, bool plainFails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->extendedVersionFails = extendedFails;
    state_->plainVersionFails = plainFails;
}

void FakeWindows::SetModulePathFails(bool fails) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modulePathFails = fails;
}

// ---- Registry ---------------------------------------------------------------------

std::string FakeWindows::State::PathOf(HKEY key) const {
    if (key == HKEY_LOCAL_MACHINE) return "";
    auto it = keyPaths.find(key);
    return it == keyPaths.end() ? "?" : it->second;
}

std::string FakeWindows::State::Requested(HKEY key, LPCSTR subKey) const {
    std::string path = key == HKEY_LOCAL_MACHINE || keyPaths.count(key) ? PathOf(key) : "";
    const std::string sub = subKey ? subKey : "";
    if (!path.empty() && !sub.empty()) path += '\\';
    return path + sub;
}

bool FakeWindows::State::Denied(HKEY key, LPCSTR subKey, REGSAM access, bool creates) const {
    if (denied.empty()) return false;
    std::vector<std::string> identity;
    bool exists = false;
    if (os.ResolveKey(key, subKey, access, identity, exists) != ERROR_SUCCESS) return false;
    if (exists || !creates) return exists && denied.count(identity);
    // A missing key may not be made below (or as) a key we may not touch.
    for (size_t n = 1; n <= identity.size(); ++n) {
        if (denied.count(std::vector<std::string>(identity.begin(), identity.begin() + n)))
            return true;
    }
    return false;
}

bool FakeWindows::State::Denied(HKEY key, const std::u16string& subKey, REGSAM access) const {
    std::vector<std::string> identity;
    bool exists = false;
    return !denied.empty() &&
           os.ResolveKey(key, subKey, access, identity, exists) == ERROR_SUCCESS && exists &&
           denied.count(identity) != 0;
}

namespace {

// The path an opened key goes by in the record.
LONG Opened(LONG error, PHKEY result, const std::string& path,
            std::map<HKEY, std::string>& keyPaths) {
    if (error == ERROR_SUCCESS) keyPaths[*result] = path;
    return error;
}

}  // namespace

LONG FakeWindows::RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                                  DWORD options, REGSAM access, LPVOID securityAttributes,
                                  PHKEY result, LPDWORD disposition) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const std::string path = s.Requested(key, subKey);
    s.Record("RegCreateKeyExA", path, Hex(access));
    if (s.Denied(key, subKey, access, true)) return ERROR_ACCESS_DENIED;
    return Opened(MemoryWindows::RegCreateKeyExA(key, subKey, reserved, keyClass, options, access,
                                                 securityAttributes, result, disposition),
                  result, path, s.keyPaths);
}

LONG FakeWindows::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                PHKEY result) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const std::string path = s.Requested(key, subKey);
    s.Record("RegOpenKeyExA", path, Hex(access));
    if (s.Denied(key, subKey, access, false)) return ERROR_ACCESS_DENIED;
    return Opened(MemoryWindows::RegOpenKeyExA(key, subKey, options, access, result), result, path,
                  s.keyPaths);
}

LONG FakeWindows::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                PHKEY result) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const std::u16string sub = subKey ? subKey : u"";
    const std::string path = s.Requested(key, Utf8Of(sub).c_str());
    s.Record("RegOpenKeyExW", path, Hex(access));
    if (s.Denied(key, sub, access)) return ERROR_ACCESS_DENIED;
    return Opened(MemoryWindows::RegOpenKeyExW(key, subKey, options, access, result), result, path,
                  s.keyPaths);
}

LONG FakeWindows::RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength,
                                LPDWORD reserved, LPWSTR keyClass, LPDWORD classLength,
                                PFILETIME lastWriteTime) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("RegEnumKeyExW", state_->PathOf(key), index);
    return MemoryWindows::RegEnumKeyExW(key, index, name, nameLength, reserved, keyClass,
                                        classLength, lastWriteTime);
}

LONG FakeWindows::RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                                LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("RegEnumValueW", state_->PathOf(key), index);
    return MemoryWindows::RegEnumValueW(key, index, valueName, valueNameLength, reserved, type,
                                        data, dataSize);
}

LONG FakeWindows::RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const std::string path = s.Requested(key, subKey);
    s.Record("RegCreateKeyA", path, Hex(KEY_ALL_ACCESS));
    if (s.Denied(key, subKey, KEY_ALL_ACCESS, true)) return ERROR_ACCESS_DENIED;
    return Opened(MemoryWindows::RegCreateKeyA(key, subKey, result), result, path, s.keyPaths);
}

LONG FakeWindows::RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                LPDWORD reserved, LPSTR keyClass, LPDWORD classLength,
                                PFILETIME lastWriteTime) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("RegEnumKeyExA", state_->PathOf(key), index);
    return MemoryWindows::RegEnumKeyExA(key, index, name, nameLength, reserved, keyClass,
                                        classLength, lastWriteTime);
}

LONG FakeWindows::RegQueryInfoKeyA(HKEY key, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved,
                                   LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                   LPDWORD values, LPDWORD maxValueNameLength,
                                   LPDWORD maxValueLength, LPDWORD securityDescriptorSize,
                                   PFILETIME lastWriteTime) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("RegQueryInfoKeyA", state_->PathOf(key));
    return MemoryWindows::RegQueryInfoKeyA(
        key, keyClass, classLength, reserved, subKeys, maxSubKeyLength, maxClassLength, values,
        maxValueNameLength, maxValueLength, securityDescriptorSize, lastWriteTime);
}

LONG FakeWindows::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD dataSize) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("RegQueryValueExA", state_->PathOf(key), valueName ? valueName : "");
    return MemoryWindows::RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
}

LONG FakeWindows::RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD dataSize) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("RegSetValueExA", state_->PathOf(key), valueName ? valueName : "");
    return MemoryWindows::RegSetValueExA(key, valueName, reserved, type, data, dataSize);
}

LONG FakeWindows::RegCloseKey(HKEY key) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegCloseKey", key == HKEY_LOCAL_MACHINE ? "?" : s.PathOf(key));
    const LONG error = MemoryWindows::RegCloseKey(key);
    if (error == ERROR_SUCCESS) s.keyPaths.erase(key);
    return error;
}

LONG FakeWindows::RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegDeleteKeyA", s.Requested(key, subKey));
    if (subKey && s.Denied(key, subKey, 0, false)) return ERROR_ACCESS_DENIED;
    return MemoryWindows::RegDeleteKeyA(key, subKey);
}

LONG FakeWindows::CallRegDeleteKeyExA(FARPROC regDeleteKeyExA, HKEY key, LPCSTR subKey,
                                      REGSAM access, DWORD reserved) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("RegDeleteKeyExA", s.Requested(key, subKey), Hex(access));
    if (subKey && s.Denied(key, subKey, access, false)) return ERROR_ACCESS_DENIED;
    return MemoryWindows::CallRegDeleteKeyExA(regDeleteKeyExA, key, subKey, access, reserved);
}

// ---- Run-time look-up and system queries --------------------------------------------

HMODULE FakeWindows::GetModuleHandleA(LPCSTR moduleName) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetModuleHandleA", moduleName ? moduleName : "");
    return MemoryWindows::GetModuleHandleA(moduleName);
}

FARPROC FakeWindows::GetProcAddress(HMODULE module, LPCSTR procName) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    // Values below 64K are ordinals, not names.
    const std::string name = reinterpret_cast<ULONG_PTR>(procName) >= 0x10000 ? procName : "";
    s.Record("GetProcAddress", name);
    const FARPROC found = MemoryWindows::GetProcAddress(module, procName);
    if (!found || !s.missingExports.count(name)) return found;
    s.Fail(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HANDLE FakeWindows::GetCurrentProcess() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetCurrentProcess");
    return MemoryWindows::GetCurrentProcess();
}

BOOL FakeWindows::CallIsWow64Process(FARPROC isWow64Process, HANDLE process, PBOOL wow64) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("IsWow64Process");
    return MemoryWindows::CallIsWow64Process(isWow64Process, process, wow64);
}

void FakeWindows::CallGetNativeSystemInfo(FARPROC getNativeSystemInfo, LPSYSTEM_INFO info) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetNativeSystemInfo");
    MemoryWindows::CallGetNativeSystemInfo(getNativeSystemInfo, info);
}

void FakeWindows::GetSystemInfo(LPSYSTEM_INFO info) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetSystemInfo");
    MemoryWindows::GetSystemInfo(info);
}

BOOL FakeWindows::GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetComputerNameW", size ? std::to_string(*size) : "");
    return MemoryWindows::GetComputerNameW(buffer, size);
}

BOOL FakeWindows::GetVersionExA(OSVERSIONINFOA* versionInfo) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const DWORD size = versionInfo ? versionInfo->dwOSVersionInfoSize : 0;
    s.Record("GetVersionExA", std::to_string(size));
    if ((size == sizeof(OSVERSIONINFOEXA) && s.extendedVersionFails) ||
        (size == sizeof(OSVERSIONINFOA) && s.plainVersionFails)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return MemoryWindows::GetVersionExA(versionInfo);
}

UINT FakeWindows::GetDriveTypeA(LPCSTR rootPathName) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetDriveTypeA", rootPathName ? rootPathName : "");
    return MemoryWindows::GetDriveTypeA(rootPathName);
}

DWORD FakeWindows::GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    s.Record("GetModuleFileNameA", std::to_string(size));
    if (!s.modulePathFails) return MemoryWindows::GetModuleFileNameA(module, fileName, size);
    s.Fail(ERROR_FILE_NOT_FOUND);
    return 0;
}

int FakeWindows::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                                     LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                                     LPBOOL usedDefaultChar) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("WideCharToMultiByte");
    return MemoryWindows::WideCharToMultiByte(codePage, flags, wideText, wideLength, multiByteText,
                                              multiByteSize, defaultChar, usedDefaultChar);
}

int FakeWindows::MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteText,
                                     int multiByteLength, LPWSTR wideText, int wideSize) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("MultiByteToWideChar");
    return MemoryWindows::MultiByteToWideChar(codePage, flags, multiByteText, multiByteLength,
                                              wideText, wideSize);
}

UINT FakeWindows::GetACP() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetACP");
    return MemoryWindows::GetACP();
}

BOOL FakeWindows::IsDBCSLeadByte(BYTE testChar) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("IsDBCSLeadByte");
    return MemoryWindows::IsDBCSLeadByte(testChar);
}

DWORD FakeWindows::GetLastError() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetLastError");
    return MemoryWindows::GetLastError();
}

void FakeWindows::SetLastError(DWORD errorCode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("SetLastError", std::to_string(errorCode));
    MemoryWindows::SetLastError(errorCode);
}

void FakeWindows::Sleep(DWORD /*milliseconds*/) {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->Record("Sleep");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

DWORD FakeWindows::SleepEx(DWORD /*milliseconds*/, BOOL /*alertable*/) {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->Record("SleepEx");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

DWORD FakeWindows::GetCurrentThreadId() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->Record("GetCurrentThreadId");
    return MemoryWindows::GetCurrentThreadId();
}
