// The code page part of MemoryWindows: the active code page and the calls
// that convert by it.
#include <cstring>

#include "platform/memory/MemoryWindowsState.h"

using namespace codepages;

bool MemoryWindows::SetCodePage(UINT codePage) {
    if (codePage != 1252 && codePage != 932) return false;
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->codePage = codePage;
    return true;
}

std::u16string MemoryWindows::AnsiToUtf16(const std::string& text) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->Wide(text);
}

std::string MemoryWindows::Utf16ToAnsi(const std::u16string& text) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->Ansi(text);
}

int MemoryWindows::WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                                       LPSTR multiByteText, int multiByteSize, LPCCH defaultChar,
                                       LPBOOL usedDefaultChar) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    UINT page = codePage == CP_ACP ? s.codePage : codePage;
    if (page != 1252 && page != 932) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        s.Fail(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!wideText || wideLength == 0 || wideLength < -1 || multiByteSize < 0 ||
        (multiByteSize > 0 && !multiByteText)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t count = 0;
    if (wideLength == -1) {
        while (wideText[count] != 0) ++count;
        ++count;  // the terminator is converted too
    } else {
        count = static_cast<size_t>(wideLength);
    }

    const char fallback = defaultChar ? *defaultChar : '?';
    // Sized first, then written: whole characters only, as far as they fit.
    size_t needed = 0;
    bool usedDefault = false;
    for (size_t i = 0; i < count; ++i) {
        const EncodedUnit encoded = EncodeUnit(page, wideText[i]);
        // Each half of a surrogate pair gets a default character of its own.
        usedDefault = usedDefault || encoded.length == 0;
        needed += encoded.length == 0 ? 1 : encoded.length;
    }
    if (multiByteSize == 0) {
        if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
        return static_cast<int>(needed);
    }
    size_t written = 0;
    for (size_t i = 0; i < count; ++i) {
        EncodedUnit encoded = EncodeUnit(page, wideText[i]);
        if (encoded.length == 0) encoded = {{fallback, 0}, 1};
        if (written + encoded.length > static_cast<size_t>(multiByteSize)) break;
        std::memcpy(multiByteText + written, encoded.bytes, encoded.length);
        written += encoded.length;
    }
    if (written < needed) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(needed);
}

int MemoryWindows::MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByteText,
                                       int multiByteLength, LPWSTR wideText, int wideSize) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mu);
    const UINT page = codePage == CP_ACP ? s.codePage : codePage;
    if (page != 1252 && page != 932) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        s.Fail(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!multiByteText || multiByteLength == 0 || multiByteLength < -1 || wideSize < 0 ||
        (wideSize > 0 && !wideText)) {
        s.Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // With -1 the terminator is converted too.
    const size_t length = multiByteLength == -1 ? std::strlen(multiByteText) + 1
                                                : static_cast<size_t>(multiByteLength);
    const std::u16string wide = ToUtf16(std::string(multiByteText, length), page);
    if (wideSize == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(wideSize)) {
        s.Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wideText, wide.data(), 2 * wide.size());
    return static_cast<int>(wide.size());
}

UINT MemoryWindows::GetACP() {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->codePage;
}

BOOL MemoryWindows::IsDBCSLeadByte(BYTE testChar) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return IsLeadByte(state_->codePage, testChar) ? TRUE : FALSE;
}
