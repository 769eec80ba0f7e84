// The guarded restore: a backup slot replaces the live chat history without the history
// ever being destroyed. The slot is copied beside the live folder first; only then is the
// live folder renamed aside (under a dated name, kept until the user removes it) and the
// copy renamed into its place. Every failure leaves the live folder where and as it was.
#pragma once

#include "base/PathText.h"
#include "base/Platform.h"
#include "companion/RunnerControl.h"

#include <cstddef>

// Outcomes; each is also the exit status of the command-line form.
enum RestoreStatus {
    RESTORE_DONE = 0,
    RESTORE_DONE_RUNNER_NOT_RESTARTED = 4, // done, but Kestova.exe could not be started again
    RESTORE_NO_PROGRAM_DIR = 3,            // the program folder or its files cannot be named
    RESTORE_CLIENT_RUNNING = 10,           // QQ runs (or the process list cannot be read)
    RESTORE_RUNNER_STILL_RUNNING = 11,     // Kestova.exe did not quit within the wait
    RESTORE_NO_DATA_DIR = 12,              // the chat data folder is not found
    RESTORE_EMPTY_SLOT = 13,               // the slot folder is missing or holds no file
    RESTORE_OTHER_VOLUME = 14,             // the slot and the data folder lie on different volumes
    RESTORE_NO_SPACE = 15,                 // the data folder's volume cannot hold the copy
    RESTORE_COPY_FAILED = 16,              // the copy tool failed or its copy is incomplete
    RESTORE_SET_ASIDE_FAILED = 17,         // the live folder could not be renamed aside
    RESTORE_SWAP_FAILED = 18,              // the copy could not take its place; the live folder is back
    RESTORE_SWAP_UNDO_FAILED = 19,         // ...and it could not be put back: it lies at asideDir
    RESTORE_NOTHING_TO_UNDO = 20,          // no restore is recorded, or its set-aside folder is gone
    RESTORE_UNDO_FAILED = 21,              // undo failed; nothing changed
    RESTORE_SLOT_CHANGED = 22,             // a backup changed the slot while Kestova.exe was quitting
};

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
    // Renames a folder on its volume; fails when `to` exists.
    bool (*moveDirectory)(const wchar_t* from, const wchar_t* to);
    bool (*startRunner)(const wchar_t* runnerPath, const wchar_t* workingDir);
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

struct RestoreOutcome {
    int status;                       // a RestoreStatus
    wchar_t dataDir[PATH_CAPACITY];   // the live chat data folder
    wchar_t asideDir[PATH_CAPACITY];  // restore: the previous history; undo: the restored one
    bool runnerWasRunning;
    bool runnerRestarted;
};

// File of the companion's own, in the program folder, recording the last restore.
constexpr const wchar_t UNDO_RECORD_FILE_NAME[] = L"Marrowby.ini";
constexpr const wchar_t UNDO_SECTION[] = L"LastRestore";

// Restores job.slot into the live chat data folder. See RestoreStatus for the outcomes.
int RunRestore(const RestoreJob& job, RestoreOutcome* outcome);

// Swaps the last restore back: the set-aside history becomes the live folder again, and
// the restored folder is kept aside under a dated name (outcome->asideDir).
int UndoLastRestore(const RestoreJob& job, RestoreOutcome* outcome);

// The recorded last restore: the data folder and its set-aside history. False when none
// is recorded.
bool ReadUndoRecord(const wchar_t* programDir, wchar_t* dataDir, wchar_t* asideDir, size_t capacity);

// Removes a folder and everything in it, read-only entries included. True when it is gone.
bool DeleteTree(const wchar_t* path);
