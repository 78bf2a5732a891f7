// QarnIExplain --fleet: the machines of a folder, one subfolder each as
// QarnIExplain.exe --save writes them, read by as many workers as there are
// cores, one machine at a time each, and written as rows in the order of
// the folders' names, then the summary. Linux builds only (qx_regfile).
#pragma once

#include <cstdio>
#include <string>

#include "explain/ReportRows.h"

// Exit codes as the single report's: 0 every machine read and complete, 3
// one was not (or a computer name came twice), 1 the folder could not be
// listed or the output not written (`error` says why, UTF-8).
int ExplainFleet(const std::string& folder, ReportFormat format, std::FILE* out,
                 std::string& error);

// The workers: one per core, at most one per machine.
unsigned FleetWorkers(size_t machines);
