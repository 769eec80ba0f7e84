// The last backup run's outcome, read back from the copy tool's report in logs.txt (which
// the runner rewrites for every run). The balloon only says that a run failed; this says
// how, so a file that fails every run can be found and dealt with.
#pragma once

#include "base/PathText.h"

#include <cstddef>

enum LastRunOutcome {
    LAST_RUN_NONE = 0,       // no report: no run yet, or logs.txt cannot be read
    LAST_RUN_SUCCEEDED = 1,  // the summary counts no failure
    LAST_RUN_FAILED = 2,     // the summary counts failures, or the tool stopped on an error
    LAST_RUN_UNFINISHED = 3, // the report has no end: a run is under way, or was cut off
};

constexpr int LAST_RUN_PATHS = 3;       // failed paths kept, the first ones in the report
constexpr size_t LAST_RUN_TEXT_CAPACITY = 512;

struct LastRun {
    int outcome;                        // a LastRunOutcome
    unsigned long long failedFiles;     // the summary's failed files (0 without a summary)
    unsigned long long failedDirs;      // the summary's failed folders
    int pathCount;                      // distinct failed paths in paths, at most LAST_RUN_PATHS
    wchar_t paths[LAST_RUN_PATHS][PATH_CAPACITY]; // relative to the chat data folder
    wchar_t firstError[LAST_RUN_TEXT_CAPACITY];   // the first error line, as the tool wrote it
};

// Reads the report at logPath (in the ANSI code page, as the tool writes it) into *run.
// Returns run->outcome.
int ReadLastRun(const wchar_t* logPath, LastRun* run);
