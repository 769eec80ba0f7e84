// The worker thread: client checks and backup runs, one request at a time from its own
// queue, each outcome posted to the hidden window.
#pragma once

#include "base/Platform.h"

// What the starter hands the thread. Lives on the starter's stack: the worker reads it
// only until it has signalled queueReady.
struct WorkerStart {
    HWND window;       // every report is posted here
    HANDLE queueReady; // set once the worker's message queue exists
};

// The thread body; start is a WorkerStart. Returns 0 in every case.
DWORD WINAPI WorkerMain(LPVOID start);

// Starts the worker for window and returns its thread handle (the caller owns it) with
// its identifier in *threadId, once its queue exists, so that no request posted from
// then on is lost. Null when the thread cannot be started.
HANDLE StartWorker(HWND window, DWORD* threadId);
