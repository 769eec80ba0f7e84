// The hidden message window's procedure: the tray icon, its menu, and the balloons.
#pragma once

#include "base/Platform.h"

// Shows a balloon at the window's tray icon and sets the icon's tooltip. Main thread only.
void ShowBalloon(HWND window, const wchar_t* title, const wchar_t* text, const wchar_t* tooltip);

LRESULT CALLBACK RunnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Windows has asked the window whether the session may end (WM_QUERYENDSESSION), and has
// not called it off (WM_ENDSESSION with FALSE) since; cleared when the window goes. Any
// thread may ask.
bool SessionEnding();
