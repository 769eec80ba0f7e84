#include "shell/TrayWindow.h"

#include "base/ScopedWin.h"
#include "contracts/ControlMessages.h"
#include "contracts/RunnerTexts.h"
#include "resources/resource.h"
#include "shell/ShellSeams.h"

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

// The tray icon of the program's module; LoadIconW shares one handle per resource, so
// loading it on every call costs nothing and leaks nothing.
HICON TrayIcon()
{
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TRAY));
}

} // namespace

void ShowBalloon(HWND window, const wchar_t* title, const wchar_t* text, const wchar_t* tooltip)
{
    NOTIFYICONDATAW data = TrayData(window);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = TrayIcon();
    CopyField(data.szTip, ARRAYSIZE(data.szTip), tooltip);
    CopyField(data.szInfo, ARRAYSIZE(data.szInfo), text);
    CopyField(data.szInfoTitle, ARRAYSIZE(data.szInfoTitle), title);
    data.uTimeout = BALLOON_TIMEOUT_MS;
    data.dwInfoFlags = NIIF_INFO;
    shellSeams.notifyIcon(NIM_MODIFY, &data);
}

namespace {

void AddTrayIcon(HWND window)
{
    NOTIFYICONDATAW data = TrayData(window);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = TrayIcon();
    CopyField(data.szTip, ARRAYSIZE(data.szTip), TIP_IDLE);
    shellSeams.notifyIcon(NIM_ADD, &data);
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

void OpenTrayMenu(HWND window)
{
    if (!trayMenu) return;
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

// The four menu commands become posted requests, which the main loop takes from the queue.
bool PostMenuCommand(HWND window, WORD command)
{
    switch (command) {
    case IDM_EXIT: PostMessageW(window, WM_EXIT_REQUEST, 0, 0); return true;
    case IDM_BACKUP_NOW: PostMessageW(window, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0); return true;
    case IDM_RESTORE: PostMessageW(window, WM_RESTORE_REQUEST, 0, 0); return true;
    case IDM_OPTIONS: PostMessageW(window, WM_OPTIONS_REQUEST, 0, 0); return true;
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
        AddTrayIcon(window);
        break;
    case WM_DESTROY:
        RemoveTrayIcon(window);
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
    case WM_TRAYICON:
        if (lParam == WM_LBUTTONDOWN || lParam == WM_RBUTTONDOWN) OpenTrayMenu(window);
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
