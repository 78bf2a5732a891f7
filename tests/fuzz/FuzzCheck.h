// Invariant checks for the fuzz targets: a broken one ends the run with a
// crash, which libFuzzer reports together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "driveicons/IConEx.h"

#define FUZZ_CHECK(condition, what)                                                \
    do {                                                                           \
        if (!(condition)) {                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s)\n", what, #condition); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

// At most one slot per letter, only 'D' to 'Z', a model row that exists.
inline std::set<char> CheckSlots(const CIConEx& service) {
    std::set<char> tracked;
    for (const DriveSlot& slot : service.Scan.DriveSlots) {
        if (slot.Letter == 0) continue;
        FUZZ_CHECK(slot.Letter >= 'D' && slot.Letter <= 'Z', "tracked letter out of range");
        FUZZ_CHECK(tracked.insert(slot.Letter).second, "letter tracked twice");
        FUZZ_CHECK(slot.ModelIndex < ReaderModelCount, "model row out of range");
    }
    FUZZ_CHECK(tracked.size() <= static_cast<size_t>(DriveSlotCount), "more than 20 letters");
    return tracked;
}
