// Code page data for FakeCodePages.cpp (FakeCodePageTables.cpp).
#pragma once

#include <cstddef>

#include "platform/WinTypes.h"

namespace fakewindows {

struct DoubleByte {
    char16_t unit;
    WORD code;  // lead byte << 8 | trail byte
};
struct DoubleByteRun {
    char16_t firstUnit;
    WORD firstCode;
    WORD count;
};
struct BestFit {
    char16_t unit;
    WORD code;  // one byte, or lead << 8 | trail
};

extern const char16_t kCp1252High[32];
extern const DoubleByte kCp932Table[];
extern const size_t kCp932TableSize;
extern const DoubleByteRun kCp932Runs[];
extern const size_t kCp932RunsSize;
extern const BestFit kBestFit1252[];
extern const size_t kBestFit1252Size;
extern const BestFit kBestFit932[];
extern const size_t kBestFit932Size;

}  // namespace fakewindows
