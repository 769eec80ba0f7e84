#include "tests/runner/RunnerHarness.h"

#include "runner/SharedState.h"
#include "shell/ShellSeams.h"
#include "shell/TrayWindow.h"

#include <mutex>

Recorder recorder;
static std::mutex mirrorLock;

static void RecordBalloon(HWND, const wchar_t* title, const wchar_t* text, const wchar_t* tooltip)
{
    recorder.balloons.push_back({title, text, tooltip});
    if (recorder.onBalloon) recorder.onBalloon(recorder.balloons.back());
}

static void RecordCompanion(CompanionMode mode) { recorder.companions.push_back(mode); }

static void RecordAlert(HWND, const wchar_t* alert) { recorder.alerts.push_back(alert ? alert : L""); }

static int RecordProcessCheck(const wchar_t*)
{
    InterlockedIncrement(&recorder.processChecks);
    return static_cast<int>(InterlockedCompareExchange(&recorder.clientState, 0, 0));
}

static bool RecordLocate(wchar_t* directory, size_t capacity)
{
    if (!recorder.chatDataFound || recorder.chatDataDir.size() + 1 > capacity) return false;
    wcscpy(directory, recorder.chatDataDir.c_str());
    return true;
}

static wchar_t* RecordVerify(wchar_t* toolPath, size_t capacity)
{
    if (!recorder.toolIntact || capacity < 32) return nullptr;
    wcscpy(toolPath, L"C:\\stand-in\\robocopy.exe");
    return toolPath;
}

static int RecordMirror(const wchar_t* tool, const wchar_t* source, const wchar_t* target,
                        const wchar_t* log, bool append, int* status)
{
    LONG busy = ReadBackupBusy();
    {
        std::lock_guard<std::mutex> hold(mirrorLock);
        recorder.mirrors.push_back({tool, source, target, log, append, busy});
    }
    if (recorder.mirrorGate) WaitForSingleObject(recorder.mirrorGate, 10000);
    *status = recorder.mirrorStatus;
    return recorder.mirrorResult;
}

static bool RecordClock(std::tm* now)
{
    if (!recorder.clockAvailable) return false;
    *now = recorder.clock;
    return true;
}

ScopedSeams<RunnerSeams> InstallRecorders()
{
    recorder.balloons.clear();
    recorder.onBalloon = nullptr;
    recorder.companions.clear();
    recorder.alerts.clear();
    recorder.processChecks = 0;
    recorder.clientState = 0;
    recorder.chatDataFound = true;
    recorder.chatDataDir = L"C:\\QQ data\\";
    recorder.toolIntact = true;
    recorder.mirrorResult = 0;
    recorder.mirrorStatus = 1;
    recorder.mirrorGate = nullptr;
    {
        std::lock_guard<std::mutex> hold(mirrorLock);
        recorder.mirrors.clear();
    }
    recorder.clockAvailable = true;
    recorder.clock = LocalTm(2010, 3, 14, 10, 0);
    ResetStateLock();
    WriteBackupBusy(0);
    return ScopedSeams<RunnerSeams>(&runnerSeams, [](RunnerSeams& seams) {
        seams.showBalloon = RecordBalloon;
        seams.launchCompanion = RecordCompanion;
        seams.setTrayAlert = RecordAlert;
        seams.isProcessRunning = RecordProcessCheck;
        seams.locateChatData = RecordLocate;
        seams.verifyCopyTool = RecordVerify;
        seams.runMirror = RecordMirror;
        seams.localNow = RecordClock;
    });
}

std::vector<MirrorCall> RecordedMirrors()
{
    std::lock_guard<std::mutex> hold(mirrorLock);
    return recorder.mirrors;
}

static LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden WS_POPUP tool window of a class with that procedure, on the calling thread.
static HWND CreateHiddenWindow(const wchar_t* className, WNDPROC procedure, const wchar_t* caption)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    RegisterClassW(&wc); // a second registration fails harmlessly
    return CreateWindowExW(WS_EX_TOOLWINDOW, className, caption, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, wc.hInstance, nullptr);
}

TestWindow::TestWindow() : window_(CreateHiddenWindow(L"KestovaRunnerTestWindow", TestWindowProc, L"runner test")) {}

TestWindow::~TestWindow()
{
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

static BOOL WINAPI NoTrayIcon(DWORD, NOTIFYICONDATAW*) { return TRUE; }

// While it lives, the runner's window procedure adds and removes its icon nowhere.
class IconCallsGoNowhere {
public:
    IconCallsGoNowhere() { shellSeams.notifyIcon = NoTrayIcon; }
    ~IconCallsGoNowhere() { shellSeams = saved_; }
    IconCallsGoNowhere(const IconCallsGoNowhere&) = delete;
    IconCallsGoNowhere& operator=(const IconCallsGoNowhere&) = delete;

private:
    ShellSeams saved_ = shellSeams;
};

SessionEndAsked::SessionEndAsked()
{
    IconCallsGoNowhere icon; // the creation adds the icon
    window_ = CreateHiddenWindow(L"KestovaRunnerTestSessionWindow", RunnerWndProc, L"");
    asked_ = window_ && SendMessageW(window_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF) == TRUE;
}

void SessionEndAsked::CallOff()
{
    IconCallsGoNowhere icon;
    if (IsWindow(window_)) SendMessageW(window_, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
}

void SessionEndAsked::End()
{
    IconCallsGoNowhere icon; // the end destroys the window, which removes the icon
    if (IsWindow(window_)) SendMessageW(window_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
}

SessionEndAsked::~SessionEndAsked()
{
    if (!window_) return;
    CallOff();
    IconCallsGoNowhere icon;
    if (IsWindow(window_)) DestroyWindow(window_);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

RecordingWorker::RecordingWorker()
{
    thread_.reset(CreateThread(nullptr, 0, Body, this, 0, &id_));
    WaitForSingleObject(ready_.get(), 10000);
}

RecordingWorker::~RecordingWorker()
{
    PostThreadMessageW(id_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_.get(), 10000);
}

DWORD WINAPI RecordingWorker::Body(LPVOID param)
{
    auto* self = static_cast<RecordingWorker*>(param);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(self->ready_.get());
    std::vector<std::pair<UINT, WPARAM>> seen;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_APP) {
            self->received_ = seen; // read by the test thread only after synced_
            SetEvent(self->synced_.get());
        } else {
            seen.emplace_back(msg.message, msg.wParam);
        }
    }
    return 0;
}

bool RecordingWorker::Sync()
{
    PostThreadMessageW(id_, WM_APP, 0, 0);
    return WaitForSingleObject(synced_.get(), 10000) == WAIT_OBJECT_0;
}

std::vector<std::pair<UINT, WPARAM>> RecordingWorker::Received() { return received_; }

void PumpPending(MainLoop* loop, PumpState* state)
{
    MSG msg;
    while (!state->quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            state->quit = true;
            state->exitCode = static_cast<int>(msg.wParam);
            return;
        }
        if (loop) {
            if (TakeProtocolMessage(loop, msg)) continue;
        } else if (msg.message >= WM_USER && msg.message <= WM_USER + 100) {
            state->reports.push_back(msg);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PumpLoopUntil(MainLoop* loop, PumpState* state, const std::function<bool()>& done, DWORD timeoutMs)
{
    bool held = false;
    PumpUntil([&] {
        PumpPending(loop, state);
        held = done();
        return held || state->quit;
    }, timeoutMs, PumpQueue::TO_CHECK);
    return held;
}

std::tm LocalTm(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    std::mktime(&t); // fills in the weekday and the daylight-saving flag
    return t;
}
