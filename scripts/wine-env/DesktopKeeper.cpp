// Keeps the Wine desktop process alive for a whole test run.
//
// The desktop process ends by itself a while after the last program with a window has
// gone, and the next program that makes a window starts it again, handing it that
// program's standard handles. When that program is a test child whose output is read
// through a pipe, the pipe then stays open for as long as the desktop process lives. This
// program holds a hidden window on the desktop, so the desktop process started for it
// (with this program's standard handles, /dev/null) is the only one the run sees.
//
// Usage: DesktopKeeper.exe READY_FILE   (created once the window exists; runs until killed)
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR readyFile, int)
{
    // The one argument, quoted when it holds a blank.
    if (readyFile[0] == L'"') {
        ++readyFile;
        for (wchar_t* c = readyFile; *c; ++c)
            if (*c == L'"') *c = L'\0';
    }
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"Kestova desktop keeper", WS_POPUP, 0, 0, 1, 1,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    HANDLE ready = CreateFileW(readyFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 2;
    CloseHandle(ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
