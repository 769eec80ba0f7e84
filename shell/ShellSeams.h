// The shell calls whose effects a user sees (the tray icon and its balloons, the popup
// menu, a started companion program) go through this table, so tests can record them
// instead of touching the desktop. It holds the real calls unless a test swaps them.
#pragma once

#include "base/Platform.h"

#include <shellapi.h>

struct ShellSeams {
    BOOL(WINAPI* notifyIcon)(DWORD message, NOTIFYICONDATAW* data);
    BOOL(WINAPI* trackPopupMenu)(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                                 const RECT* excluded);
    HINSTANCE(WINAPI* shellExecute)(HWND owner, const wchar_t* verb, const wchar_t* file,
                                    const wchar_t* parameters, const wchar_t* directory, int show);
};

// Written by tests only, on the main thread, while no window of the runner exists or
// between its messages; read by the window procedure and the launcher on the same thread.
extern ShellSeams shellSeams;

// The real calls, for restoring the table.
ShellSeams RealShellSeams();
