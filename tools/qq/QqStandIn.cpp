// Stand-in for the chat client in tests and demonstrations: a process that does nothing
// but exist, so that a process with the client's executable name runs. Tests copy the
// built file under other names (qq.exe, OldQQ.exe, ...) and start the copies.
//
// Usage:  QQ.exe EVENT_NAME
//   Opens (or creates) the named manual-reset event EVENT_NAME and blocks on it without
//   using the processor. The process ends with status 0 once the event is set:
//     HANDLE end = CreateEventW(nullptr, TRUE, FALSE, L"EVENT_NAME");  // before or after
//     ...start QQ.exe EVENT_NAME...
//     SetEvent(end);                                                   // tells it to end
//   The starter should keep its own handle to the event until the stand-in has ended, so
//   that an event set before the stand-in opened it is not lost.
// Usage:  QQ.exe
//   Blocks until the process is killed (TerminateProcess, taskkill).
//
// Exit status: 0 after the event was set; 2 when the event cannot be opened or created, or
// the wait fails.
//
// It is a windowless GUI-subsystem program, so no console appears when it is started.
#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <shellapi.h>

static int WaitForEnd(const wchar_t* eventName)
{
    HANDLE end = CreateEventW(nullptr, TRUE, FALSE, eventName);
    if (!end) return 2;
    DWORD result = WaitForSingleObject(end, INFINITE);
    CloseHandle(end);
    return result == WAIT_OBJECT_0 ? 0 : 2;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    UniqueLocal<wchar_t*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) return 2;
    int status = 2;
    if (argc >= 2) {
        status = WaitForEnd(argv.get()[1]);
    } else {
        // Nothing can tell it to end: the process lives until it is killed.
        for (;;) Sleep(INFINITE);
    }
    return status;
}
