// The benchmark's baseline for the resident runner: the least a resident Win32 program
// with a 200 ms watch can be, a hidden window and a window timer.
//
// Usage: idle_baseline.exe                       ticks and does nothing else
//        idle_baseline.exe --watch TOOL SRC DST  on each tick, looks for a process named
//            QQ.exe; when one that ran is gone, starts "TOOL" "SRC" "DST" /MIR hidden
// It runs until it is ended from outside.
#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <string>

static bool watching = false;
static bool clientWasRunning = false;
static std::wstring toolLine;

static bool ClientRunning()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry))
        found = lstrcmpiW(entry.szExeFile, L"QQ.exe") == 0;
    CloseHandle(snapshot);
    return found;
}

static void StartTool()
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    std::wstring line = toolLine;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                       nullptr, &si, &pi))
        UniqueProcess started(pi); // nothing waits for it
}

static LRESULT CALLBACK BaselineProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && watching) {
        bool running = ClientRunning();
        if (clientWasRunning && !running) StartTool();
        clientWasRunning = running;
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static std::wstring Quoted(const wchar_t* text)
{
    return std::wstring(L"\"") + text + L"\"";
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    {
        UniqueLocal<wchar_t*> arguments(CommandLineToArgvW(GetCommandLineW(), &argc));
        wchar_t** argv = arguments.get();
        if (argv && argc == 5 && lstrcmpW(argv[1], L"--watch") == 0) {
            watching = true;
            toolLine = Quoted(argv[2]) + L" " + Quoted(argv[3]) + L" " + Quoted(argv[4]) + L" /MIR";
        }
    }

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = BaselineProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"KestovaBenchBaseline";
    if (!RegisterClassW(&windowClass)) return 1;
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 0,
                                  0, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    SetTimer(window, 1, 200, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}
