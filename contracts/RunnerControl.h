// Talking to the resident runner, Kestova.exe: finding its hidden window, telling it to
// reload the settings or to quit, waiting for it to end, and starting it again.
#pragma once

#include "base/PathText.h"
#include "base/Platform.h"
#include "contracts/ProgramFiles.h"

#include <cstddef>

// The registered message numbers, obtained as the runner obtains them: 1025 stands in for a
// registration that fails.
UINT ConfigReloadMessageNumber();
UINT ExitMessageNumber();

// The runner's hidden window (class "Kestova_Brannet_Msgwnd_Class"), or null.
HWND FindRunnerWindow();

// Posts the reload message to the runner's window. False when no runner runs or the post
// fails.
bool NotifyConfigReload();

// Posts the exit message to the runner's window; false when none is there.
bool PostRunnerExit(HWND window);

// Whether Kestova's copy tool runs now from toolPath (the runner refuses to quit while it
// backs up). Windows ships a robocopy.exe of its own that scripts run at any time, so a
// process counts only when its image is that very file; an empty or null path: false.
bool IsCopyToolRunning(const wchar_t* toolPath);

// The copy tool of the runner that owns window: robocopy.exe in the folder of the runner's
// own program file, which is the only tool the runner ever starts. Empty (and false) when
// the runner's program file cannot be read.
bool RunnerCopyToolPath(HWND window, wchar_t* toolPath, size_t capacity);

enum StopResult {
    STOP_NOT_RUNNING = 0, // no runner window was found
    STOP_ENDED = 1,       // the runner was running and has gone
    STOP_TIMED_OUT = 2,   // the runner's window was still there when the wait ran out
};

// What a wait for the runner is doing now, for the user.
enum StopPhase {
    STOP_PHASE_WAITING = 0,          // the request is posted, the runner has not gone yet
    STOP_PHASE_FINISHING_BACKUP = 1, // the runner is finishing a backup and quits after it
};
using StopProgress = void (*)(void* context, int phase);

// One request to quit, followed through. The runner drops an exit request while it backs
// up, so the request is posted again once its copy tool has ended, and every 10 s in case
// it was lost some other way (or the runner's tool cannot be known).
class RunnerStopRequest {
public:
    // Posts the exit message to window and follows it from now on; false when there is no
    // window or the post fails (Poll then asks again when that is due).
    bool Start(HWND window);
    bool started() const { return window_ != nullptr; }
    HWND window() const { return window_; }
    // One look, for a runner whose window is still there: its phase now, asking again
    // when that is due.
    int Poll();

private:
    HWND window_ = nullptr;
    wchar_t toolPath_[PATH_CAPACITY] = L""; // the runner's copy tool; empty when unknown
    ULONGLONG lastPost_ = 0;
    bool wasBusy_ = false;
};

// Asks a running runner to quit and waits up to timeoutMs for its window to go (and then,
// briefly, for its process to end, which frees the single-instance mutex for a restart).
// The request is followed through as RunnerStopRequest does. runnerPath (may be null) receives the runner's program file
// when it can be found. progress (may be null) hears each change of phase.
int StopRunner(DWORD timeoutMs, StopProgress progress, void* context, wchar_t* runnerPath,
               size_t capacity);

// Starts the runner's program file with its folder as working directory, no arguments.
bool StartRunner(const wchar_t* runnerPath, const wchar_t* workingDir);
