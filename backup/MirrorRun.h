// One mirror run: the copy tool, verified by its digest, runs hidden from the chat data
// directory into a slot; its output streams into logs.txt and the completion time it
// prints last becomes the slot's stamp in config.ini.
#pragma once

#include "base/Platform.h"
#include "base/ProcessJob.h"
#include "contracts/RunOutcome.h"

#include <cstddef>

// Outcome statuses of a run (the lParam of the run's report).

// Digest of the original copy tool file; installations that bring that file configure
// the build with it.
constexpr const char ORIGINAL_TOOL_DIGEST[] = "592be1ad0ed83c36d5e68ca7a014a510";

// Room for the command line, terminator included.
constexpr size_t COMMAND_LINE_CAPACITY = 4096;

// Fills toolPath with the full path of robocopy.exe in the program directory when that
// file's digest is the expected one; null otherwise.
wchar_t* VerifyCopyTool(wchar_t* toolPath, size_t capacity);

// Starts commandLine hidden, in a console of its own, with standard output and error
// into a new pipe. Returns the process handle and sets *readEnd; on failure returns null
// and sets *readEnd to INVALID_HANDLE_VALUE. currentDirectory may be null. With a job,
// the process is put in it before it runs its first instruction; a job the platform
// refuses leaves it outside, running all the same. A job from CreateKillOnCloseJob ends
// the process with its owner.
HANDLE SpawnWithPipe(const wchar_t* commandLine, HANDLE* readEnd, const wchar_t* currentDirectory,
                     HANDLE job = nullptr);

// Receives the copy tool's output while it runs; either call may be null.
struct CopyOutputSink {
    void* context;
    // Once, as soon as the tool has started and before any of its output.
    void (*started)(void* context);
    // Each piece of output as read (at most 1024 bytes), not decoded.
    void (*output)(void* context, const unsigned char* bytes, size_t size);
};

// The one start of the copy tool: forms "tool" "source" "target" /MIR (followed by
// /LINKDEST:"reference" when referenceDir is given), refuses a path that would break its
// quotes or a line that does not fit, starts it hidden with its output into a pipe (in
// currentDirectory, which may be null), hands the output to sink (may be null) until it
// ends and judges the exit code. Returns RUN_FINISHED, RUN_NOT_STARTED or RUN_TOOL_FAILED.
int RunCopyTool(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
                const wchar_t* referenceDir, const wchar_t* currentDirectory,
                const CopyOutputSink* sink);

// What a run that replaces the log writes its output under, beside the log, until it is
// over: logs.txt.new. Only logs.txt is ever read as the log.
constexpr const wchar_t NEW_LOG_SUFFIX[] = L".new";

// One backup run of "tool" "source" "target" /MIR into a slot folder. With linkReference
// the newest other stamped slot follows as /LINKDEST:"slot", so the tool links the files
// that have not changed since. Returns 0 with *status RUN_FINISHED, or 1 with
// RUN_NOT_STARTED or RUN_TOOL_FAILED. append chooses "ab" over "wb" for the log; a log that
// is replaced is written under NEW_LOG_SUFFIX and renamed over the previous one at the end,
// so a run cut off leaves the previous log as it was.
int RunMirror(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
              const wchar_t* logPath, bool append, int* status, bool linkReference);
// The same with the link reference only when the expected digest is the copy tool this
// build made: another tool knows no such option and gets the plain line.
int RunMirror(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
              const wchar_t* logPath, bool append, int* status);
