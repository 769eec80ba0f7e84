// TEMPORARY placeholders so that the runner links before the mirror run, the chat client
// environment and the shell are merged. Delete each as its real definition arrives.
// Every one of them does nothing and reports failure.
#include "client/ChatLocator.h"
#include "client/ProcessWatch.h"
#include "shell/CompanionLauncher.h"
#include "shell/TrayWindow.h"

bool LocateChatData(wchar_t*, size_t) { return false; }
int IsProcessRunning(const wchar_t*) { return -1; }
void LaunchCompanion(CompanionMode) {}
void ShowBalloon(HWND, const wchar_t*, const wchar_t*, const wchar_t*) {}
LRESULT CALLBACK RunnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // As the tray window does: its end ends the main loop.
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}
