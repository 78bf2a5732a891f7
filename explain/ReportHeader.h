// The head of the explain tool's report: the tool, the platform row as the
// service's detection sees it, the service's folder and state, and the keys
// that could not be read.
#pragma once

#include <string>

#include "explain/Explanation.h"

// Lines of a name padded to this width, then the text.
constexpr size_t kReportFieldWidth = 16;

std::string ReportHeaderText(const Explanation& explanation);

// An error of the registry or the service manager in words: "access denied
// (run as administrator)", "error 31".
std::string RegistryErrorText(LONG error);
