// The copy tool's records and the operations its three parts share: the command line
// (ToolMain.cpp), the report (ToolReport.cpp) and the tree walk (MirrorTree.cpp, with the
// layers below it that Walk.h names).
#pragma once

#include "base/FileTree.h" // LongPathOf, IsSameOrInside
#include "base/Platform.h"

#include <cstdint>
#include <string>

#include "contracts/CopyToolExit.h"

// Exit status bits, combined (their one definition is shared with the callers).
constexpr int EXIT_FILES_COPIED = COPY_EXIT_FILES_COPIED;
constexpr int EXIT_EXTRAS = COPY_EXIT_EXTRAS;
constexpr int EXIT_MISMATCH = COPY_EXIT_MISMATCH;
constexpr int EXIT_FAILED = COPY_EXIT_FAILED;
constexpr int EXIT_FATAL = COPY_EXIT_FATAL;

// Defaults of /R:n and /W:n: a locked file costs a few seconds, not hours.
constexpr unsigned DEFAULT_RETRIES = 3;
constexpr unsigned DEFAULT_WAIT_SECONDS = 1;
constexpr unsigned MAX_RETRIES = 1000;
constexpr unsigned MAX_WAIT_SECONDS = 3600;

struct ToolOptions {
    std::wstring source;      // full path without trailing separator (a root keeps "C:\")
    std::wstring target;
    bool subdirectories = false; // /E or /MIR
    bool purge = false;          // /PURGE or /MIR
    unsigned retries = DEFAULT_RETRIES;
    unsigned waitSeconds = DEFAULT_WAIT_SECONDS;
    // /LINKDEST:"folder": an earlier mirror of the same source (full path, empty when none).
    // A file that must be written into the target and that the reference holds unchanged
    // (same relative path, size, last-write time and attributes) becomes a hard link to
    // the reference's file instead of a copy.
    std::wstring linkReference;
};

// One row of the summary table.
struct Tally {
    uint64_t total = 0;
    uint64_t copied = 0;
    uint64_t skipped = 0;
    uint64_t mismatch = 0;
    uint64_t failed = 0;
    uint64_t extras = 0;
};

struct MirrorStats {
    Tally dirs;
    Tally files; // a linked file counts in the total, not as copied
    Tally bytes;
    uint64_t linkedFiles = 0; // written as hard links to the reference's files
    uint64_t linkedBytes = 0;
};

// printf-style formatting into a wide text (up to 511 characters).
std::wstring FormatText(const wchar_t* format, ...);

// The report goes to standard output in the ANSI code page, every line ended by CR LF.
// It is collected in a buffer and written out in pieces: when the buffer grows, when a
// moment has passed since the last write (the reader is usually a pipe into a log that
// someone may be watching), before a wait, and at the end.
void ReportLine(const std::wstring& line);
void ReportFlush();
// "Www Mmm dd hh:mm:ss yyyy" of the local time now, day of the month blank-padded.
std::wstring ReportTimeText();
void ReportHeader(const wchar_t* started, const ToolOptions& options, const wchar_t* optionText);
void ReportUsage();
// The summary table; with a link reference, one more line with the linked files.
void ReportSummary(const MirrorStats& stats, bool withReference, ULONGLONG elapsedMs);
// The very last line: "   Ended : " + 24 characters + CR LF. Flushes.
void ReportEnded();
// "ERROR 32 (0x00000020) what path" followed by the system's text for the code.
void ReportError(DWORD code, const wchar_t* what, const std::wstring& path);

// Room for any path the platform accepts in its long form.
constexpr DWORD LONG_PATH_CAPACITY = 32768;

// The root of a drive ("C:\") or of a share ("\\server\share").
bool IsVolumeRoot(const std::wstring& full);
// The path with links resolved: the nearest existing directory on it is asked for its
// final path, the rest is appended. The full path itself when that cannot be done. Takes
// and gives full paths without the "\\?\" prefix; a long form is taken too.
std::wstring ResolvedPath(const std::wstring& full);

// Mirrors options.source into options.target (which the caller has checked) and counts
// what it did into *stats. The target directory is created when missing.
void MirrorTree(const ToolOptions& options, MirrorStats* stats);

// Makes abort() and std::terminate end the process with EXIT_FAILED | EXIT_FATAL, silently.
void InstallAbortHandlers();
// Runs body; an exception that escapes it is reported as an internal error, the report
// ends with its usual last line, and the status is EXIT_FAILED | EXIT_FATAL.
int RunGuarded(int (*body)(int, wchar_t**), int argc, wchar_t** argv);
