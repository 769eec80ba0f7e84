// The hidden message window's procedure: the tray icon, its menu, and the balloons.
#pragma once

#include "base/Platform.h"

// When the shell refuses to add the icon (at logon the program often starts before the
// taskbar is ready, and Explorer busy starting answers late), the add is tried again on
// this timer of the window, every TRAY_ADD_RETRY_MS, at most TRAY_ADD_RETRIES times: two
// minutes, by which a slow logon has long brought its taskbar. A shell that comes later
// still announces itself with TaskbarCreated, which adds the icon in any case. The id is
// apart from the runner's own timers of the window (Schedule.h).
constexpr UINT_PTR TIMER_TRAY_ADD = 10;
constexpr UINT TRAY_ADD_RETRY_MS = 2000;
constexpr int TRAY_ADD_RETRIES = 60;

// Shows a balloon at the window's tray icon and sets the icon's tooltip; the icon's image
// stays as its alert has it (SetTrayAlert). Main thread only.
void ShowBalloon(HWND window, const wchar_t* title, const wchar_t* text, const wchar_t* tooltip);

// Sets what the icon shows between balloons, for as long as the window lives. With an
// alert text: the failure icon (104), that text as the tooltip the icon rests at, and the
// status item at the top of its menu. With null: the usual icon and tooltip. Applied at
// once, and to every later add (a late first add, a new taskbar). Main thread only.
void SetTrayAlert(HWND window, const wchar_t* alert);

LRESULT CALLBACK RunnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Windows has asked the window whether the session may end (WM_QUERYENDSESSION), and has
// not called it off (WM_ENDSESSION with FALSE) since; cleared when the window goes. Any
// thread may ask.
bool SessionEnding();
