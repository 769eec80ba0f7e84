#include "shell/ShellSeams.h"

namespace {

BOOL WINAPI RealNotifyIcon(DWORD message, NOTIFYICONDATAW* data)
{
    return Shell_NotifyIconW(message, data);
}

BOOL WINAPI RealTrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                               const RECT* excluded)
{
    return TrackPopupMenu(menu, flags, x, y, reserved, owner, excluded);
}

HINSTANCE WINAPI RealShellExecute(HWND owner, const wchar_t* verb, const wchar_t* file,
                                  const wchar_t* parameters, const wchar_t* directory, int show)
{
    return ShellExecuteW(owner, verb, file, parameters, directory, show);
}

} // namespace

ShellSeams RealShellSeams()
{
    return ShellSeams{RealNotifyIcon, RealTrackPopupMenu, RealShellExecute};
}

// Constant-initialised, so it holds the real calls before any code runs.
ShellSeams shellSeams{RealNotifyIcon, RealTrackPopupMenu, RealShellExecute};
