// The main thread's message loop: the hub between the tray window, the timers, the worker
// thread and the companion program.
#pragma once

#include "base/Platform.h"

// What the loop keeps between messages. Main thread only.
struct MainLoop {
    HWND window;
    DWORD workerThreadId;
    const wchar_t* configPath; // the settings file found at start-up, for reloads
    int lastClientState;       // 1 running, 0 not, -1 the check failed
    // A WM_CHECK_CLIENT went to the worker and its WM_CLIENT_STATE has not come back. A
    // thread queue holds at most 10,000 posts; during a long backup one check every
    // 200 ms would fill it and then lose exit and backup requests, so at most one waits.
    bool checkPending;
    // The worker ended by itself (WM_WORKER_ENDED 1 or 2): an exit request then closes
    // the window directly, since no worker is left to answer it.
    bool workerEnded;
    // TIMER_CLIENT_WATCH runs. While it does not, client states that still arrive start
    // nothing; when a reload starts it again, lastClientState is read afresh first.
    bool clientWatch;
};

// The client's state for lastClientState, read now: 1 running, 0 not; a failed check
// counts as not running.
int CurrentClientState();

// Handles msg when it is a protocol message (by number, whatever window it names) and
// returns true; returns false for everything that is to be dispatched.
bool TakeProtocolMessage(MainLoop* loop, const MSG& msg);

// Runs until WM_QUIT and returns its exit code. lastClientState is the client's state
// found at start-up (-1 already turned into 0); clientWatch whether start-up armed the
// client watch.
int RunMainLoop(HWND window, DWORD workerThreadId, int lastClientState, const wchar_t* configPath,
                bool clientWatch);
