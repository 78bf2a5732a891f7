#include "driveicons/MountText.h"

#include "driveicons/AnsiText.h"
#include "platform/Utf16.h"

std::string MountValueName(char letter) { return std::string("\\DosDevices\\") + letter + ':'; }

bool MountRecordToText(Platform& os, const BYTE* record, size_t size, std::string& text) {
    std::u16string wide = DecodeUtf16LE(record, size);
    wide.resize(std::char_traits<char16_t>::length(wide.c_str()));  // up to the first NUL
    return AnsiText::FromWide(os, reinterpret_cast<const WCHAR*>(wide.data()), wide.size(), text);
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
    deviceKeyName =
        split == npos ? std::string() : ReplaceChar(os, rest.substr(0, split), '#', '/');
    instanceKeyName = split == npos ? rest : rest.substr(split + 1);
    return true;
}
