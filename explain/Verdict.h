// Each letter's verdict as the report's headline gives it, and, for counting
// over a fleet, the reason (a fixed word) and the step of the start-up at
// which it was decided.
#pragma once

#include <string>

#include "explain/Explanation.h"

struct LetterVerdict {
    const char* verdict;  // "ICON", "LABEL", "NO ICON" or "NOT SHOWN"
    const char* reason;   // one of kReasons' words
    const char* step;
    // The headline after the verdict, in the machine's code page, its texts
    // shown escaped (ShownText).
    std::string detail;
};

LetterVerdict JudgeLetter(const Explanation& e, const LetterExplanation& l);

// Every reason word, its step and what it means, for the summary and the docs.
struct ReasonText {
    const char* reason;
    const char* step;
    const char* meaning;
};
extern const ReasonText kReasons[];
extern const size_t kReasonCount;
const ReasonText* FindReason(const std::string& reason);

// The words the letter blocks share with the headline.
std::string DriveTypeName(UINT type);
std::string ModelName(int row);
