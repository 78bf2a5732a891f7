#include "driveicons/MountText.h"

#include <vector>

#include "driveicons/AnsiText.h"

bool MountRecordToText(Platform& os, const BYTE* record, size_t size, std::string& text) {
    text.clear();
    std::vector<WCHAR> wide;
    for (size_t pos = 0; pos + 1 < size; pos += 2) {
        const WCHAR unit = static_cast<WCHAR>(record[pos] | (record[pos + 1] << 8));
        if (unit == 0) break;
        wide.push_back(unit);
    }
    if (wide.empty()) return true;

    const int wideLength = static_cast<int>(wide.size());
    // Sized by the conversion itself: a code page may take more than two
    // bytes for a character.
    const int needed =
        os.WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    std::vector<char> buffer(static_cast<size_t>(needed));
    const int written = os.WideCharToMultiByte(CP_ACP, 0, wide.data(), wideLength, buffer.data(),
                                               needed, nullptr, nullptr);
    if (written <= 0 || written > needed) return false;
    text.assign(buffer.data(), static_cast<size_t>(written));
    return true;
}

bool ParseParentIdText(Platform& os, const std::string& mountText, std::string& volumeParentId) {
    using namespace AnsiText;
    const size_t marker = Find(os, mountText, "RemovableMedia");
    if (marker == npos) return false;

    const size_t lastAmp = FindLastChar(os, mountText, '&');
    const std::string head = lastAmp == npos ? std::string() : mountText.substr(0, lastAmp);
    const size_t hash = marker < head.size() ? FindChar(os, head, '#', marker) : npos;
    volumeParentId = hash == npos ? head : head.substr(hash + 1);
    return true;
}

bool ParseInstancePathText(Platform& os, const std::string& mountText, std::string& deviceKeyName,
                           std::string& instanceKeyName) {
    using namespace AnsiText;
    if (Find(os, mountText, "USBSTOR") == npos) return false;

    const size_t first = FindChar(os, mountText, '#');
    std::string rest = first == npos ? mountText : mountText.substr(first + 1);
    // Drop the closing GUID field.
    const size_t guid = FindLastChar(os, rest, '#');
    rest = guid == npos ? std::string() : rest.substr(0, guid);

    const size_t split = FindLastChar(os, rest, '#');
    deviceKeyName = split == npos ? std::string() : ReplaceChar(os, rest.substr(0, split), '#', '/');
    instanceKeyName = split == npos ? rest : rest.substr(split + 1);
    return true;
}
