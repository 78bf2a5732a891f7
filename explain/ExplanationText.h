// The explain tool's report, as text for an administrator or a support
// engineer: a header with the platform row, then one block per letter that
// is removable or has a key under DriveIcons.
#pragma once

#include <string>

#include "explain/Explanation.h"

std::string ExplanationText(const Explanation& explanation);
