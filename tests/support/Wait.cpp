#include "tests/support/Wait.h"

#include <cwchar>

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, PumpQueue queue)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (queue == PumpQueue::DISPATCH) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (done()) return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        DWORD wait = static_cast<DWORD>(deadline - now);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait < PUMP_POLL_MS ? wait : PUMP_POLL_MS, QS_ALLINPUT);
    }
}

namespace {
struct WindowSearch {
    const wchar_t* className;
    DWORD processId;
    bool visibleOnly;
    HWND skip;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    if (window == search->skip || (search->visibleOnly && !IsWindowVisible(window))) return TRUE;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->processId != 0 && owner != search->processId) return TRUE;
    wchar_t className[64];
    if (!GetClassNameW(window, className, 64) || wcscmp(className, search->className) != 0) return TRUE;
    search->found = window;
    return FALSE;
}
} // namespace

HWND FindTopWindow(const wchar_t* className, DWORD processId, bool visibleOnly, HWND skip)
{
    WindowSearch search{className, processId, visibleOnly, skip, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const wchar_t* className, DWORD processId, DWORD timeoutMs, bool visibleOnly, HWND skip)
{
    HWND found = nullptr;
    PumpUntil([&] { return (found = FindTopWindow(className, processId, visibleOnly, skip)) != nullptr; },
              timeoutMs);
    return found;
}
