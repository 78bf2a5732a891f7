// Registry access of the drive icon service, bound to one registry view:
// every key it opens, creates or deletes gets the view's access flag
// (KEY_WOW64_64KEY for the 64-bit view under WOW64; 0 for the process's own).
//
// Error contract: the BOOL operations return TRUE exactly when opening (or
// creating) the key and the one call after it succeeded; a failure is only
// FALSE, the registry's error is dropped, and the last error is not set.
// The LONG operations return the registry's result. Every key opened is
// closed before the operation returns. Nothing here keeps state between
// calls but the first deletion error.
#pragma once

#include <string>

#include "platform/Platform.h"

class CRegistry {
public:
    CRegistry(Platform& os, REGSAM view) : os_(&os), view_(view) {}

    REGSAM View() const { return view_; }

    // The type and size of a value as the registry's query reported it: its
    // size also when it did not fit.
    struct StoredValue {
        DWORD type = REG_NONE;
        DWORD size = 0;  // bytes
    };

    // The subkey name at `index`; `nameLength` in: the buffer's size in
    // characters with the NUL, out: the name's length. The key is opened with
    // RegCreateKeyExA: a missing one is created, empty.
    BOOL EnumRegSubkey(HKEY root, const char* keyPath, char* name, DWORD* nameLength, DWORD index);
    // The same into a zeroed buffer of RegTextSize bytes, as the scans walk.
    BOOL SubkeyAt(HKEY root, const char* keyPath, DWORD index, std::string& name);
    // kind REG_SZ: `out` is a std::string* and receives the text, up to its
    // first NUL and never past the data read (at most `size` bytes, and 1024);
    // any other kind: `out` is a byte buffer of `size` bytes and receives the
    // raw data. The stored type plays no part; `stored`, if given, gets it.
    BOOL ReadRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind, void* out,
                      DWORD size, StoredValue* stored = nullptr);
    // A REG_SZ value of at most RegTextSize bytes, as ReadRegValue reads it.
    LONG ReadRegText(HKEY root, const char* keyPath, const char* valueName, std::string& text);
    // REG_SZ only: creates the key (and the missing ones above it) and sets
    // the value with its NUL. A text longer than MaxTextLength is refused
    // before any registry call: a cut icon path would name a wrong file.
    BOOL WriteRegValue(HKEY root, const char* keyPath, const char* valueName, DWORD kind,
                       const char* data);
    static bool Writable(DWORD kind, const char* data);
    // Deletes the letter's DefaultIcon, DefaultLabel and letter key, in that
    // order (neither delete function removes a key that still has subkeys).
    // In the 64-bit view RegDeleteKeyExA is looked up at each use (not
    // exported before XP x64 / Server 2003 SP1): without it nothing is
    // deleted, and `deleteFunctionFound`, if given, says so.
    void DeleteDriveIconKeys(char letter, bool* deleteFunctionFound = nullptr);
    // The first deletion error since the last call (a key already gone is
    // none; a missing RegDeleteKeyExA is ERROR_PROC_NOT_FOUND), 0 if none.
    DWORD TakeDeleteError();
    // The result of opening the key for reading: ERROR_SUCCESS when it is there.
    LONG OpenRegKeyResult(HKEY root, const char* keyPath);
    // The number of subkeys and values the key holds.
    LONG CountEntries(HKEY root, const char* keyPath, DWORD& entries);

private:
    LONG Read(HKEY root, const char* keyPath, const char* valueName, DWORD kind, void* out,
              DWORD size, StoredValue* stored);

    Platform* os_;
    REGSAM view_;
    DWORD deleteError_ = 0;
};
