// Waiting in tests: on a condition, with a deadline, while this thread's messages keep
// flowing (its windows answer, and a SendMessage from another thread or process gets
// through). Never a fixed sleep.
#pragma once

#include "base/Platform.h"

#include <functional>

// Who takes this thread's messages while PumpUntil waits.
enum class PumpQueue {
    DISPATCH, // PumpUntil dispatches them
    TO_CHECK, // done() takes them itself; PumpUntil only wakes for them
};

// Asks done() until it holds or timeoutMs have passed: at once, whenever a message comes,
// and at least every PUMP_POLL_MS for conditions that no message announces (a file, another
// process's window). False at the deadline.
constexpr DWORD PUMP_POLL_MS = 20;
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, PumpQueue queue = PumpQueue::DISPATCH);

// A top-level window of the class that belongs to process processId (any process for 0),
// a visible one when visibleOnly, other than skip. Null when there is none now.
HWND FindTopWindow(const wchar_t* className, DWORD processId = 0, bool visibleOnly = false, HWND skip = nullptr);

// FindTopWindow, waited for up to timeoutMs with PumpUntil. Null when none came.
HWND WaitForWindow(const wchar_t* className, DWORD processId, DWORD timeoutMs, bool visibleOnly = false,
                   HWND skip = nullptr);
