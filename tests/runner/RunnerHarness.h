// Shared pieces of the runner's tests: recording seams, a real hidden window on the test
// thread, a recording stand-in for the worker's queue, and pumps with deadlines.
#pragma once

#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "runner/MainLoop.h"
#include "runner/RunnerSeams.h"
#include "shell/CompanionLauncher.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/Wait.h"

#include <ctime>
#include <functional>
#include <string>
#include <vector>

struct BalloonCall {
    std::wstring title, text, tooltip;
};

struct MirrorCall {
    std::wstring tool, source, target, log;
    bool append;
    LONG busyDuringRun; // backupBusy as the run saw it
};

// Everything the recording seams saw, and what they answer. Reset by InstallRecorders.
struct Recorder {
    std::vector<BalloonCall> balloons;     // main thread only
    std::function<void(const BalloonCall&)> onBalloon; // runs after a balloon is recorded
    std::vector<CompanionMode> companions; // main thread only
    std::vector<std::wstring> alerts;      // the icon's alerts set, "" for none; main thread only
    volatile LONG processChecks;           // worker thread increments
    volatile LONG clientState;             // what the process check answers
    bool chatDataFound;
    std::wstring chatDataDir;
    bool toolIntact;
    int mirrorResult, mirrorStatus;
    HANDLE mirrorGate; // when set, a run waits for it (up to 10 s) before it ends
    std::vector<MirrorCall> mirrors; // worker writes, guarded by the harness's lock
    bool clockAvailable;
    std::tm clock;
};

extern Recorder recorder;

// Installs the recording seams with a fresh Recorder (and a free state lock, backupBusy 0)
// for as long as the returned override lives; it then puts back the table it found.
ScopedSeams<RunnerSeams> InstallRecorders();

// Copies of the runs recorded so far (taken under the harness's lock).
std::vector<MirrorCall> RecordedMirrors();

// A real hidden WS_POPUP tool window on the calling thread whose procedure posts the quit
// message on WM_DESTROY, as the tray window does. The destructor destroys it and drains
// the thread's queue, the quit message included, so no test leaks into the next.
class TestWindow {
public:
    TestWindow();
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_ = nullptr;
};

// The end of the session, as Windows announces it to the runner: a window of the runner's
// own procedure on the calling thread (its icon calls go nowhere) that has been asked
// whether the session may end. CallOff sends the WM_ENDSESSION that calls the end off, End
// the one that ends it (the window then destroys itself). The destructor calls the end off,
// destroys the window and takes back the quit message its procedure posts, so no test
// leaks into the next.
class SessionEndAsked {
public:
    SessionEndAsked();
    ~SessionEndAsked();
    SessionEndAsked(const SessionEndAsked&) = delete;
    SessionEndAsked& operator=(const SessionEndAsked&) = delete;
    HWND window() const { return window_; }
    // The window was made and answered that the session may end.
    bool asked() const { return asked_; }
    void CallOff();
    void End();

private:
    HWND window_ = nullptr;
    bool asked_ = false;
};

// A thread with a queue that records every message posted to it, as the worker would
// receive them.
class RecordingWorker {
public:
    RecordingWorker();
    ~RecordingWorker();
    RecordingWorker(const RecordingWorker&) = delete;
    RecordingWorker& operator=(const RecordingWorker&) = delete;
    DWORD id() const { return id_; }
    // Waits until everything posted to the thread before this call has been recorded.
    bool Sync();
    // (number, wParam) pairs received so far, up to the last Sync.
    std::vector<std::pair<UINT, WPARAM>> Received();

private:
    static DWORD WINAPI Body(LPVOID self);
    UniqueHandle ready_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle synced_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle thread_;
    DWORD id_ = 0;
    std::vector<std::pair<UINT, WPARAM>> received_;
};

// Result of pumping the test thread's queue.
struct PumpState {
    bool quit = false;
    int exitCode = -1;
    std::vector<MSG> reports; // protocol messages collected instead of handled (loop null)
};

// Handles every message now in the queue as RunMainLoop would (through loop), or, with
// loop null, collects the protocol messages (1024 to 1124) into state->reports and
// dispatches the rest. Stops early at the quit message.
void PumpPending(MainLoop* loop, PumpState* state);

// PumpPending until done() holds, the quit message comes or the deadline passes; true
// when done() held.
bool PumpLoopUntil(MainLoop* loop, PumpState* state, const std::function<bool()>& done,
               DWORD timeoutMs = 10000);

std::tm LocalTm(int year, int month, int day, int hour, int minute, int second = 0);
