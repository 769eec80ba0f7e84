#include "shell/TrayWindow.h"

#include "base/ScopedWin.h"
#include "contracts/ControlMessages.h"
#include "contracts/RunnerTexts.h"
#include "resources/resource.h"
#include "shell/ShellSeams.h"

#include <commctrl.h>

#include <atomic>

// Every call about the icon passes the layout that ends with dwInfoFlags: the one the
// shell has accepted since the first balloons, on every system the program runs on.
constexpr DWORD TRAY_DATA_SIZE = NOTIFYICONDATAW_V2_SIZE;
#if !defined(_WIN64)
static_assert(NOTIFYICONDATAW_V2_SIZE == 936, "the 32-bit icon data layout is 936 bytes");
#endif

constexpr UINT TRAY_ICON_ID = IDI_TRAY;
constexpr UINT BALLOON_TIMEOUT_MS = 10000;

namespace {

// Window state, main thread only (the window procedure and ShowBalloon run there).
UINT taskbarCreatedMessage = 0;
// The loaded menu resource; trayMenu, its first popup, is destroyed with it.
HMENU trayMenuResource = nullptr;
HMENU trayMenu = nullptr;
// The menu resource whose popup TrackPopupMenu shows right now, or null. A WM_CREATE from
// a re-created taskbar can arrive inside the menu's modal loop; that menu must then live
// until the loop has ended.
HMENU trackedMenuResource = nullptr;
// Windows has asked whether the session may end, and it has not been called off. Written
// by the window procedure only; the worker reads it too.
std::atomic<bool> sessionEnding{false};
// The tray icon and its failure form at the small icon size of the system's scaling,
// loaded on the window's first WM_CREATE and destroyed on its WM_DESTROY, after the icon
// has gone from the tray. LoadIconMetric hands out icons of the caller's own, unlike
// LoadIconW's shared ones.
UniqueIcon trayIcon;
UniqueIcon alertIcon;
// The alert the icon shows between balloons (SetTrayAlert), as its resting tooltip; ""
// for none. Kept for the window's life, so every later add of the icon shows it.
wchar_t trayAlert[sizeof(NOTIFYICONDATAW::szTip) / sizeof(wchar_t)] = L"";
// Tries of the icon's add left on TIMER_TRAY_ADD; 0 while no retry runs.
int addRetriesLeft = 0;

// Copies text into a fixed field of capacity units and always terminates it. A longer
// text is cut, never in the middle of a surrogate pair; a missing text gives "".
void CopyField(wchar_t* field, size_t capacity, const wchar_t* text)
{
    size_t n = 0;
    if (text) {
        while (n + 1 < capacity && text[n] != L'\0') ++n;
        if (text[n] != L'\0' && n > 0 && IS_HIGH_SURROGATE(text[n - 1])) --n;
        for (size_t i = 0; i < n; ++i) field[i] = text[i];
    }
    field[n] = L'\0';
}

NOTIFYICONDATAW TrayData(HWND window)
{
    NOTIFYICONDATAW data{};
    data.cbSize = TRAY_DATA_SIZE;
    data.hWnd = window;
    data.uID = TRAY_ICON_ID;
    return data;
}

bool Alerted() { return trayAlert[0] != L'\0'; }

// An icon of the program's module at the size the notification area draws it: at 125 or
// 150 % scaling that is 20 or 24 pixels, which LoadIconW's large size would instead stretch
// from the nearest image. Null when it cannot be loaded.
UniqueIcon LoadSmallIcon(int resource)
{
    HICON icon = nullptr;
    if (FAILED(LoadIconMetric(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource), LIM_SMALL, &icon)))
        return UniqueIcon();
    return UniqueIcon(icon);
}

// The icon data for a call with these flags, showing the icon's look: the one place that
// turns the alert into an image and a resting tooltip. The callback goes with NIF_MESSAGE.
NOTIFYICONDATAW IconData(HWND window, UINT flags)
{
    NOTIFYICONDATAW data = TrayData(window);
    data.uFlags = flags;
    if (flags & NIF_MESSAGE) data.uCallbackMessage = WM_TRAYICON;
    if (flags & NIF_ICON) data.hIcon = Alerted() ? alertIcon.get() : trayIcon.get();
    if (flags & NIF_TIP) CopyField(data.szTip, ARRAYSIZE(data.szTip), Alerted() ? trayAlert : TIP_IDLE);
    return data;
}

} // namespace

void ShowBalloon(HWND window, const wchar_t* title, const wchar_t* text, const wchar_t* tooltip)
{
    // The balloon's own tooltip (during a run, the busy one) over the resting one.
    NOTIFYICONDATAW data = IconData(window, NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO);
    CopyField(data.szTip, ARRAYSIZE(data.szTip), tooltip);
    CopyField(data.szInfo, ARRAYSIZE(data.szInfo), text);
    CopyField(data.szInfoTitle, ARRAYSIZE(data.szInfoTitle), title);
    data.uTimeout = BALLOON_TIMEOUT_MS;
    data.dwInfoFlags = NIIF_INFO;
    shellSeams.notifyIcon(NIM_MODIFY, &data);
}

void SetTrayAlert(HWND window, const wchar_t* alert)
{
    CopyField(trayAlert, ARRAYSIZE(trayAlert), alert);
    // While the icon is missing this goes nowhere; the add that brings it shows the alert.
    NOTIFYICONDATAW data = IconData(window, NIF_ICON | NIF_TIP);
    shellSeams.notifyIcon(NIM_MODIFY, &data);
}

namespace {

// True when the shell holds the icon afterwards.
bool AddTrayIcon(HWND window)
{
    NOTIFYICONDATAW data = IconData(window, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    if (shellSeams.notifyIcon(NIM_ADD, &data)) return true;
    // An add that timed out in a busy shell fails and may still have added the icon, which
    // the shell then refuses to add a second time: a change tells whether it is there.
    return shellSeams.notifyIcon(NIM_MODIFY, &data) != FALSE;
}

void StopAddRetries(HWND window)
{
    KillTimer(window, TIMER_TRAY_ADD);
    addRetriesLeft = 0;
}

// Adds the icon, and when the shell refuses, goes on trying on TIMER_TRAY_ADD. Until the
// icon is there, balloons go nowhere: their news would be stale by the time it comes. What
// lasts, the alert of a failed run, comes with the add.
void ShowTrayIcon(HWND window)
{
    StopAddRetries(window);
    if (AddTrayIcon(window)) return;
    if (SetTimer(window, TIMER_TRAY_ADD, TRAY_ADD_RETRY_MS, nullptr)) addRetriesLeft = TRAY_ADD_RETRIES;
}

void RetryTrayIcon(HWND window)
{
    if (addRetriesLeft <= 0) return;
    --addRetriesLeft;
    // Taken, or given up: the next TaskbarCreated brings the icon.
    if (AddTrayIcon(window) || addRetriesLeft == 0) StopAddRetries(window);
}

void RemoveTrayIcon(HWND window)
{
    NOTIFYICONDATAW data = TrayData(window);
    shellSeams.notifyIcon(NIM_DELETE, &data);
}

// Destroys a menu resource that is no longer the current one, unless its popup is still
// on screen; OpenTrayMenu destroys that one when the popup has closed.
void RetireMenu(HMENU menu)
{
    if (menu && menu != trayMenuResource && menu != trackedMenuResource) DestroyMenu(menu);
}

// Loads menu resource 102 anew (every WM_CREATE, including the one re-sent for a new
// taskbar) and frees the menu it replaces, so repeated shell restarts leak nothing. When
// the load fails the previous menu stays, so the icon keeps a working menu.
void LoadTrayMenu()
{
    UniqueMenu loaded(LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAYMENU)));
    if (!loaded) return;
    HMENU popup = GetSubMenu(loaded.get(), 0);
    if (!popup) return;
    HMENU previous = trayMenuResource;
    trayMenuResource = loaded.release();
    trayMenu = popup;
    RetireMenu(previous);
}

void ReleaseTrayMenu()
{
    HMENU previous = trayMenuResource;
    trayMenuResource = nullptr;
    trayMenu = nullptr;
    RetireMenu(previous);
}

// While the icon shows an alert, its menu begins with the status item, in bold as the
// default, and a separator; otherwise the menu is the resource's own. Kept in step each
// time the menu opens, since every new taskbar loads the menu afresh.
void ShowStatusItem(HMENU menu, bool shown)
{
    bool present = GetMenuState(menu, IDM_STATUS, MF_BYCOMMAND) != static_cast<UINT>(-1);
    if (shown == present) return;
    if (shown) {
        InsertMenuW(menu, 0, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
        InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, IDM_STATUS, MENU_STATUS);
        SetMenuDefaultItem(menu, IDM_STATUS, FALSE);
    } else {
        SetMenuDefaultItem(menu, static_cast<UINT>(-1), FALSE);
        DeleteMenu(menu, IDM_STATUS, MF_BYCOMMAND);
        DeleteMenu(menu, 0, MF_BYPOSITION); // its separator
    }
}

void OpenTrayMenu(HWND window)
{
    if (!trayMenu) return;
    ShowStatusItem(trayMenu, Alerted());
    POINT cursor{};
    GetCursorPos(&cursor);
    // The window must be in the foreground, or the menu does not close when the user
    // clicks elsewhere.
    SetForegroundWindow(window);
    HMENU shown = trayMenuResource;
    HMENU outer = trackedMenuResource;
    trackedMenuResource = shown;
    shellSeams.trackPopupMenu(trayMenu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    trackedMenuResource = outer;
    RetireMenu(shown);
    // A message after the menu lets the shell finish with it: without one, the next click
    // on the icon can find the menu half closed.
    PostMessageW(window, WM_NULL, 0, 0);
}

// The menu commands become posted requests, which the main loop takes from the queue. The
// status item opens the companion's settings, which give the last run's outcome.
bool PostMenuCommand(HWND window, WORD command)
{
    switch (command) {
    case IDM_EXIT: PostMessageW(window, WM_EXIT_REQUEST, 0, 0); return true;
    case IDM_BACKUP_NOW: PostMessageW(window, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0); return true;
    case IDM_RESTORE: PostMessageW(window, WM_RESTORE_REQUEST, 0, 0); return true;
    case IDM_OPTIONS:
    case IDM_STATUS: PostMessageW(window, WM_OPTIONS_REQUEST, 0, 0); return true;
    default: return false;
    }
}

} // namespace

bool SessionEnding() { return sessionEnding.load(); }

LRESULT CALLBACK RunnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
        LoadTrayMenu();
        // A new taskbar re-sends WM_CREATE; the icons loaded at the first one serve on.
        if (!trayIcon) trayIcon = LoadSmallIcon(IDI_TRAY);
        if (!alertIcon) alertIcon = LoadSmallIcon(IDI_TRAY_FAILED);
        ShowTrayIcon(window);
        break;
    case WM_DESTROY:
        StopAddRetries(window);
        RemoveTrayIcon(window);
        trayIcon.reset();
        alertIcon.reset();
        trayAlert[0] = L'\0';
        ReleaseTrayMenu();
        sessionEnding = false;
        PostQuitMessage(0);
        break;
    case WM_CLOSE:
        // The runner closes its window itself (DestroyWindow), so a close is from outside:
        // a plain taskkill, a tool that closes windows. It is the menu's exit, refused with
        // a balloon while a backup runs. Only when the session ends does it go at once.
        if (sessionEnding) break;
        PostMessageW(window, WM_EXIT_REQUEST, 0, 0);
        return 0;
    case WM_QUERYENDSESSION:
        sessionEnding = true;
        return TRUE;
    case WM_ENDSESSION:
        // The program goes with the session, a backup or not: the copy tool ends with its
        // job, and the slot keeps its old stamp, so the next run does it again.
        sessionEnding = wParam != FALSE;
        if (sessionEnding) DestroyWindow(window);
        return 0;
    case WM_COMMAND:
        if (PostMenuCommand(window, LOWORD(wParam))) return 0;
        break;
    case WM_TIMER:
        if (wParam != TIMER_TRAY_ADD) break;
        RetryTrayIcon(window);
        return 0;
    case WM_TRAYICON:
        if (lParam == WM_LBUTTONDOWN || lParam == WM_RBUTTONDOWN) OpenTrayMenu(window);
        // A click on a balloon: its run's outcome, and why, is in the companion's settings.
        // Shells since Windows 2000 send it in lParam, as the mouse notifications, also to
        // an icon that never set a version.
        else if (lParam == NIN_BALLOONUSERCLICK) PostMessageW(window, WM_OPTIONS_REQUEST, 0, 0);
        break;
    default:
        // A failed registration yields 0, which must not turn WM_NULL into a re-creation.
        if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
            // The shell has restarted and forgotten the icon: run the creation steps again.
            // Sent as a wide message: the window is a wide window, and an ANSI WM_CREATE
            // would make the system translate a creation record that is not there.
            SendMessageW(window, WM_CREATE, 0, 0);
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
