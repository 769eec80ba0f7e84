#include "runner/MainLoop.h"

#include "client/ProcessWatch.h"
#include "contracts/ControlMessages.h"
#include "contracts/RunnerTexts.h"
#include "runner/RunnerSeams.h"
#include "runner/Schedule.h"
#include "runner/SharedState.h"
#include "shell/TrayWindow.h"

int CurrentClientState()
{
    int state = runnerSeams.isProcessRunning(CLIENT_PROCESS_NAME);
    return state < 0 ? 0 : state;
}

namespace {

void Balloon(const MainLoop* loop, const wchar_t* title, const wchar_t* text,
             const wchar_t* tooltip)
{
    runnerSeams.showBalloon(loop->window, title, text, tooltip);
}

// Once Windows has asked whether the session may end, a backup started now would be cut
// off: each program is to answer at once and leave its clean-up to WM_ENDSESSION, after
// which the session can end at any moment. QQ closing as the session ends would otherwise
// start one every time. Nor does a program whose window has gone (the end destroys it) start
// one on its way out. Called off, the end changes nothing.
bool StartsNoBackup(const MainLoop* loop) { return SessionEnding() || !IsWindow(loop->window); }

void OnCheckClient(MainLoop* loop)
{
    if (loop->checkPending) return;
    if (PostThreadMessageW(loop->workerThreadId, WM_CHECK_CLIENT, 0, 0))
        loop->checkPending = true;
}

void OnClientState(MainLoop* loop, WPARAM wParam)
{
    loop->checkPending = false;
    int state = static_cast<int>(static_cast<INT_PTR>(wParam));
    if (state == 0 && loop->lastClientState == 1 && loop->clientWatch && !StartsNoBackup(loop)) {
        Balloon(loop, TITLE_NOTE, TEXT_CLIENT_EXITED, TIP_BUSY);
        PostMessageW(loop->window, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
    }
    loop->lastClientState = state;
}

// The decision is taken under StateLock, the balloon shown after it is released: showing
// one is a cross-thread send to the tray, during which this thread handles sent messages,
// and a tray click among them opens the menu, whose loop hands the filter protocol
// messages that take the lock again. The forward itself is a post and dispatches nothing.
void OnBackupRequest(MainLoop* loop, WPARAM wParam)
{
    if (StartsNoBackup(loop)) return; // silently: nothing is to be shown as the session ends
    AcquireStateLock();
    bool idle = runnerState.backupBusy == 0;
    if (idle) PostThreadMessageW(loop->workerThreadId, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
    ReleaseStateLock();
    if (!idle && (wParam & 1) == 0) // scheduled requests are dropped silently
        Balloon(loop, TITLE_NOTE, TEXT_TOO_OFTEN, TIP_BUSY);
}

// What the icon keeps of a run's outcome once its balloon has gone: a failure stays on it,
// with the failure icon and tooltip, until a run succeeds. On Windows 10 and 11 the
// balloon becomes a notification that focus assist, a full-screen program or the quiet
// hour after a logon can hold back, so it alone may never be seen. Set after the run's
// balloon, whose tooltip it replaces.
void ShowRunOutcome(const MainLoop* loop, bool failed)
{
    runnerSeams.setTrayAlert(loop->window, failed ? TIP_LAST_RUN_FAILED : nullptr);
}

void OnBackupDone(MainLoop* loop, WPARAM wParam)
{
    WriteBackupBusy(0);
    if (wParam == 0) Balloon(loop, TITLE_NOTE, TEXT_BACKUP_DONE, TIP_IDLE);
    else if (wParam == 1) Balloon(loop, TITLE_ATTENTION, TEXT_BACKUP_FAILED, TIP_IDLE);
    if (wParam == 0 || wParam == 1) ShowRunOutcome(loop, wParam == 1);
}

void OnBackupStarted(MainLoop* loop, WPARAM wParam)
{
    WriteBackupBusy(1);
    if (wParam == 0)
        Balloon(loop, TITLE_NOTE, TEXT_INCREMENTAL_RUN, TIP_BUSY);
    else if (wParam == 1)
        Balloon(loop, TITLE_NOTE, TEXT_FULL_RUN, TIP_BUSY);
}

void OnExitRequest(MainLoop* loop)
{
    // The window is destroyed, not sent WM_CLOSE: the window procedure takes a close as
    // one from outside and turns it into an exit request.
    if (loop->workerEnded) {
        DestroyWindow(loop->window);
        return;
    }
    // As for a backup request: decide under the lock, show the balloon after it.
    AcquireStateLock();
    bool busy = runnerState.backupBusy == 1;
    if (!busy) PostThreadMessageW(loop->workerThreadId, WM_EXIT_REQUEST, 0, 0);
    ReleaseStateLock();
    if (busy) Balloon(loop, TITLE_NOTE, TEXT_EXIT_WHILE_BUSY, TIP_BUSY);
}

void OnWorkerEnded(MainLoop* loop, WPARAM wParam)
{
    if (wParam == WORKER_STOPPED) DestroyWindow(loop->window);
    else if (wParam == WORKER_NO_CONFIG || wParam == WORKER_NO_DATA_DIR) loop->workerEnded = true;
}

} // namespace

bool TakeProtocolMessage(MainLoop* loop, const MSG& msg)
{
    switch (msg.message) {
    case WM_CHECK_CLIENT: OnCheckClient(loop); return true;
    case WM_CLIENT_STATE: OnClientState(loop, msg.wParam); return true;
    case WM_BACKUP_REQUEST: OnBackupRequest(loop, msg.wParam); return true;
    case WM_BACKUP_DONE: OnBackupDone(loop, msg.wParam); return true;
    case WM_BACKUP_STARTED: OnBackupStarted(loop, msg.wParam); return true;
    case WM_EXIT_REQUEST: OnExitRequest(loop); return true;
    case WM_WORKER_ENDED: OnWorkerEnded(loop, msg.wParam); return true;
    case WM_RESTORE_REQUEST: runnerSeams.launchCompanion(COMPANION_RESTORE); return true;
    default: break;
    }
    // The registered numbers are tested after the fixed ones, reload before options and
    // exit: when both registrations failed, 1025 means reload.
    if (msg.message == configReloadMessage) {
        // The same settings file that LoadSchedule names; start-up found it once.
        LoadScheduleFrom(loop->configPath, &sharedSchedule);
        bool watched = loop->clientWatch;
        loop->clientWatch = ArmTimers(loop->window, loop->configPath);
        // The client may have started or ended while nobody watched: a state kept from
        // then would turn the first check into an exit that did not just happen.
        if (loop->clientWatch && !watched) loop->lastClientState = CurrentClientState();
        return true;
    }
    if (msg.message == WM_OPTIONS_REQUEST) {
        runnerSeams.launchCompanion(COMPANION_OPTIONS);
        return true;
    }
    if (msg.message == exitMessage) {
        PostMessageW(loop->window, WM_EXIT_REQUEST, 0, 0);
        return true;
    }
    return false;
}

namespace {

// The loop that runs on this thread, for the modal-loop filter.
thread_local MainLoop* activeLoop = nullptr;

// While the tray menu is open, TrackPopupMenu runs a message loop of its own that
// dispatches posted messages straight to the window procedure, where protocol messages
// would fall to the default handling and be lost (a lost WM_CLIENT_STATE would stop the
// client watch for good; a lost WM_BACKUP_DONE would leave the program busy). Modal loops
// offer each message to the thread's message filter first: the protocol messages are
// handled here, in the order they arrive, and removed.
LRESULT CALLBACK ModalLoopFilter(int code, WPARAM wParam, LPARAM lParam)
{
    if (code >= 0 && activeLoop && lParam) {
        const MSG* msg = reinterpret_cast<const MSG*>(lParam);
        if (TakeProtocolMessage(activeLoop, *msg)) return TRUE;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

int RunMainLoop(HWND window, DWORD workerThreadId, int lastClientState, const wchar_t* configPath,
                bool clientWatch)
{
    MainLoop loop = {window, workerThreadId, configPath, lastClientState, false, false, clientWatch};
    MainLoop* outerLoop = activeLoop;
    activeLoop = &loop;
    HHOOK filter = SetWindowsHookExW(WH_MSGFILTER, ModalLoopFilter, nullptr, GetCurrentThreadId());
    int status;
    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            status = static_cast<int>(msg.wParam);
            break;
        }
        // -1 comes only with invalid arguments, which these are not; waiting again would spin.
        if (got == -1) {
            status = 1;
            break;
        }
        if (TakeProtocolMessage(&loop, msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (filter) UnhookWindowsHookEx(filter);
    activeLoop = outerLoop;
    return status;
}
