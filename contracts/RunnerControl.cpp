#include "contracts/RunnerControl.h"

#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "client/ProcessWatch.h"
#include "contracts/NamedObjects.h"

#include <cwchar>

namespace {

// Each pass of the wait: long enough not to load the machine, short enough that the user
// sees the runner go at once.
constexpr DWORD WAIT_STEP_MS = 200;
// A request can be lost (the runner may be between windows, or busy without a copy tool
// in sight yet): ask again this often.
constexpr ULONGLONG REPOST_PERIOD_MS = 10000;
// The process ends right after its window; a runner that takes longer is not waited for.
constexpr DWORD PROCESS_END_WAIT_MS = 5000;

} // namespace

UINT ConfigReloadMessageNumber() { return RegisterNamedMessage(CONFIG_RELOAD_MESSAGE_NAME); }
UINT ExitMessageNumber() { return RegisterNamedMessage(EXIT_MESSAGE_NAME); }

HWND FindRunnerWindow() { return FindWindowW(WINDOW_CLASS_NAME, nullptr); }

bool NotifyConfigReload()
{
    HWND window = FindRunnerWindow();
    return window && PostMessageW(window, ConfigReloadMessageNumber(), 0, 0);
}

bool PostRunnerExit(HWND window)
{
    return window && PostMessageW(window, ExitMessageNumber(), 0, 0);
}

bool IsCopyToolRunning(const wchar_t* toolPath)
{
    return toolPath && *toolPath && IsProgramRunning(toolPath) == 1;
}

// Beside the runner, not beside the caller: the installer's helper runs from a temporary
// folder, and the runner's own folder is where it verifies and starts its tool.
bool RunnerCopyToolPath(HWND window, wchar_t* toolPath, size_t capacity)
{
    if (!toolPath || capacity == 0) return false;
    toolPath[0] = L'\0';
    DWORD processId = 0;
    if (!window || !GetWindowThreadProcessId(window, &processId)) return false;
    wchar_t runner[PATH_CAPACITY];
    if (!ProgramFileOf(processId, runner, PATH_CAPACITY)) return false;
    if (JoinSibling(toolPath, capacity, runner, COPY_TOOL_FILE_NAME)) return true;
    toolPath[0] = L'\0';
    return false;
}

bool RunnerStopRequest::Start(HWND window)
{
    window_ = window;
    RunnerCopyToolPath(window, toolPath_, PATH_CAPACITY);
    lastPost_ = GetTickCount64();
    wasBusy_ = false;
    return PostRunnerExit(window);
}

int RunnerStopRequest::Poll()
{
    bool busy = IsCopyToolRunning(toolPath_);
    ULONGLONG now = GetTickCount64();
    if (!busy && (wasBusy_ || now - lastPost_ >= REPOST_PERIOD_MS)) {
        PostRunnerExit(window_);
        lastPost_ = now;
    }
    wasBusy_ = busy;
    return busy ? STOP_PHASE_FINISHING_BACKUP : STOP_PHASE_WAITING;
}

int StopRunner(DWORD timeoutMs, StopProgress progress, void* context, wchar_t* runnerPath,
               size_t capacity)
{
    if (runnerPath && capacity) runnerPath[0] = L'\0';
    HWND window = FindRunnerWindow();
    if (!window) return STOP_NOT_RUNNING;

    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    UniqueHandle process(processId ? OpenProcess(SYNCHRONIZE, FALSE, processId) : nullptr);
    if (runnerPath) ProgramFileOf(processId, runnerPath, capacity);

    RunnerStopRequest request;
    request.Start(window);
    ULONGLONG start = GetTickCount64();
    int phase = -1;
    for (;;) {
        if (!IsWindow(window)) {
            if (process) WaitForSingleObject(process.get(), PROCESS_END_WAIT_MS);
            return STOP_ENDED;
        }
        ULONGLONG now = GetTickCount64();
        if (now - start >= timeoutMs) return STOP_TIMED_OUT;

        int newPhase = request.Poll();
        if (newPhase != phase && progress) progress(context, newPhase);
        phase = newPhase;

        DWORD step = static_cast<DWORD>(timeoutMs - (now - start));
        if (step > WAIT_STEP_MS) step = WAIT_STEP_MS;
        // Another process's window sends no signal when it goes; its process does.
        if (process) WaitForSingleObject(process.get(), step);
        else Sleep(step);
    }
}

bool StartRunner(const wchar_t* runnerPath, const wchar_t* workingDir)
{
    if (!runnerPath || !*runnerPath) return false;
    wchar_t line[PATH_CAPACITY + 2];
    if (swprintf(line, PATH_CAPACITY + 2, L"\"%ls\"", runnerPath) < 0) return false;
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    memset(&info, 0, sizeof info);
    if (!CreateProcessW(runnerPath, line, nullptr, nullptr, FALSE, 0, nullptr, workingDir, &startup, &info))
        return false;
    UniqueProcess started(info); // nothing waits for it
    return true;
}
