// What the drive icon logic finds and decides, told step by step with the
// letter it is about. The explain tool (QarnIExplain) listens to the scan's
// own steps through it, so its answer cannot drift from the service's; the
// service runs the scan without one, and then each step costs one pointer
// test. An observer only listens: it must not call back into the scan.
#pragma once

#include <string>

#include "driveicons/MountText.h"
#include "driveicons/Registry.h"

class ScanObserver {
public:
    virtual ~ScanObserver() = default;

    // ---- Restore and delete ---------------------------------------------------
    // A letter key under DriveIcons carries the marker: its DefaultLabel text
    // (null: could not be read), the marker's text, and the first model row
    // with that label, or where there is none readable with the marker's
    // text (-1: none).
    virtual void OnMarkedKey(char letter, const std::string* label, const std::string& marker,
                             int modelRow) = 0;
    // The three icon keys of a letter are about to be deleted; false when
    // RegDeleteKeyExA is missing under WOW64 and nothing is deleted.
    virtual void OnDeleteKeys(char letter, bool deleteFunctionFound) = 0;

    // ---- Assignment scan, per letter --------------------------------------------
    virtual void OnLetter(char letter, UINT driveType) = 0;
    // The mount record could be read (false: missing, or longer than
    // MountRecordSize bytes), its ANSI text, and its type and size as the
    // read found them (none when it is missing).
    virtual void OnMountText(char letter, bool read, const std::string& mountText,
                             const CRegistry::StoredValue& stored) = 0;
    // The variant's marker was found in the text, and what was cut out of it.
    virtual void OnVolumeId(char letter, bool markerFound, const VolumeId& volume) = 0;

    // ---- Device search ------------------------------------------------------------
    // One walk over USBSTOR serves every letter of a scan; each step is told
    // once for each letter still looking for its match.
    // A device key under USBSTOR that passed the variant's name test for the
    // letter (in the instance-path variant only the key named in its record
    // does), and the first model row whose text it holds (-1: none; its
    // instances are not read).
    virtual void OnDeviceKey(char letter, const std::string& name, int modelRow) = 0;
    // An instance key of a reader's device key: its ParentIdPrefix (parent-id
    // variant; null: not readable, or the instance-path variant), whether it
    // was there but longer than the read, and whether it belongs to the
    // letter's volume. The letter's first match ends its search.
    virtual void OnInstanceKey(char letter, const std::string& name,
                               const std::string* parentIdPrefix, bool parentIdPrefixTooLong,
                               bool match) = 0;
    // After the walk, in letter order: the letter's match gave it a slot and
    // a model row; slot -1: none was free and nothing is written.
    virtual void OnMatch(char letter, int slot, int modelRow) = 0;
    // The letter matched, but another program's keys are at it: nothing is
    // taken or written.
    virtual void OnHeldByOthers(char letter) = 0;

    // ---- Writes ---------------------------------------------------------------------
    // A value of the letter's keys the scan sets: `subkey` null for the
    // letter key, `valueName` null for the default value; `accepted` false
    // when it is refused before any registry call (longer than MaxTextLength).
    virtual void OnWrite(char letter, const char* subkey, const char* valueName, const char* text,
                         bool accepted) = 0;
};
