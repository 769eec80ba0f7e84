// What the main loop, the worker and the timers reach that is slow or visible: balloons and
// the icon's look, the companion, the process check, the chat data lookup, the copy run
// and the clock; and the worker's start, whose failure a test cannot bring about for
// real. They reach it through this one table, which holds the real calls; tests swap in
// recorders.
#pragma once

#include "base/Platform.h"
#include "shell/CompanionLauncher.h"

#include <cstddef>
#include <ctime>

struct RunnerSeams {
    void (*showBalloon)(HWND window, const wchar_t* title, const wchar_t* text,
                        const wchar_t* tooltip);
    // SetTrayAlert (TrayWindow.h): what the icon shows between balloons.
    void (*setTrayAlert)(HWND window, const wchar_t* alert);
    void (*launchCompanion)(CompanionMode mode);
    int (*isProcessRunning)(const wchar_t* name);
    bool (*locateChatData)(wchar_t* directory, size_t capacity);
    wchar_t* (*verifyCopyTool)(wchar_t* toolPath, size_t capacity);
    int (*runMirror)(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
                     const wchar_t* logPath, bool append, int* status);
    // The local time now (time, then localtime); false when it is unavailable.
    bool (*localNow)(std::tm* now);
    // StartWorker (Worker.h): the thread handle, or null when it cannot be started.
    HANDLE (*startWorker)(HWND window, DWORD* threadId);
};

// The real calls.
RunnerSeams RealRunnerSeams();

// Written only before the worker starts (start-up keeps the real calls; tests install
// recorders); read by both threads afterwards, never written while they run.
extern RunnerSeams runnerSeams;
