// Code page data for CodePages.cpp (CodePageTables.cpp).
#pragma once

#include <cstddef>

#include "platform/WinTypes.h"

namespace codepages {

struct BestFit {
    char16_t unit;
    WORD code;  // one byte, or lead << 8 | trail
};

extern const char16_t kCp1252High[32];
// Lead bytes 0x81..0x9F and 0xE0..0xFC, each with trail bytes 0x40..0x7E and
// 0x80..0xFC; 0 where the pair is no character.
constexpr size_t kCp932TrailCount = 188;
extern const char16_t kCp932DoubleBytes[60 * kCp932TrailCount];
// {small, capital}, by small letter.
extern const char16_t kUpcasePairs[][2];
extern const size_t kUpcasePairCount;
extern const BestFit kBestFit1252[];
extern const size_t kBestFit1252Size;
extern const BestFit kBestFit932[];
extern const size_t kBestFit932Size;

}  // namespace codepages
