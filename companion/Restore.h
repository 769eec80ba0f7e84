// The guarded restore: a backup slot replaces the live chat history without the history
// ever being destroyed. The slot is copied beside the live folder first; only then is the
// live folder renamed aside (under a dated name, kept until the user removes it) and the
// copy renamed into its place. Every failure leaves the live folder where and as it was.
#pragma once

#include "base/PathText.h"
#include "base/Platform.h"
#include "companion/CompanionExit.h"
#include "contracts/RunnerControl.h"

#include <cstddef>


// Steps reported while a restore or an undo runs.
enum RestoreStep {
    STEP_CHECKING = 0,
    STEP_STOPPING_RUNNER = 1,
    STEP_RUNNER_FINISHING_BACKUP = 2,
    STEP_COPYING = 3,
    STEP_VERIFYING = 4,
    STEP_SWAPPING = 5,
    STEP_RESTARTING_RUNNER = 6,
};

// What a restore reaches that is slow or outside the process; tests swap in their own.
struct RestoreSeams {
    int (*isProcessRunning)(const wchar_t* name);
    bool (*locateChatData)(wchar_t* directory, size_t capacity);
    int (*stopRunner)(DWORD timeoutMs, StopProgress progress, void* context, wchar_t* runnerPath,
                      size_t capacity);
    // One mirror run of the copy tool from sourceDir into the (new, empty) targetDir.
    bool (*runCopy)(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
                    const wchar_t* workingDir);
    // Renames a folder on its volume; fails when `to` exists. The last error says why.
    bool (*moveDirectory)(const wchar_t* from, const wchar_t* to);
    bool (*startRunner)(const wchar_t* runnerPath, const wchar_t* workingDir);
    // How long a rename that a held file refuses is tried again, in milliseconds.
    DWORD swapRetryMs;
};

RestoreSeams RealRestoreSeams();
// The calls a restore uses. Set before a restore starts; never changed while one runs.
extern RestoreSeams restoreSeams;

struct RestoreJob {
    const wchar_t* programDir; // holds robocopy.exe, Kestova.exe and the undo record; slots beside it
    int slot;                  // 1..5 (restore only)
    DWORD runnerStopTimeoutMs; // bound of the wait for Kestova.exe to quit
    void (*progress)(void* context, int step); // may be null; called on the restoring thread
    void* context;
};

// Room for the names of the programs that hold files, terminator included.
constexpr size_t HOLDERS_CAPACITY = 1024;

struct RestoreOutcome {
    int status;                       // a CompanionExit
    wchar_t dataDir[PATH_CAPACITY];   // the live chat data folder
    wchar_t asideDir[PATH_CAPACITY];  // restore: the previous history; undo: the restored one
    // The programs holding files in the folder a rename failed on (NameFileHolders); empty
    // when none is known or no rename failed.
    wchar_t holders[HOLDERS_CAPACITY];
    bool runnerWasRunning;
    bool runnerRestarted;
};

// File of the companion's own, in the program folder, recording the last restore.
constexpr const wchar_t UNDO_RECORD_FILE_NAME[] = L"Marrowby.ini";
constexpr const wchar_t UNDO_SECTION[] = L"LastRestore";

// Restores job.slot into the live chat data folder. See CompanionExit for the outcomes.
int RunRestore(const RestoreJob& job, RestoreOutcome* outcome);

// Swaps the last restore back: the set-aside history becomes the live folder again, and
// the restored folder is kept aside under a dated name (outcome->asideDir).
int UndoLastRestore(const RestoreJob& job, RestoreOutcome* outcome);

// The recorded last restore: the data folder and its set-aside history. False when none
// is recorded.
bool ReadUndoRecord(const wchar_t* programDir, wchar_t* dataDir, wchar_t* asideDir, size_t capacity);
