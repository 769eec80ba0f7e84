#include "runner/Worker.h"

#include "backup/BackupStore.h"
#include "backup/MirrorRun.h"
#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "client/ProcessWatch.h"
#include "contracts/ControlMessages.h"
#include "contracts/ProgramFiles.h"
#include "runner/RunnerSeams.h"
#include "runner/SharedState.h"
#include "shell/TrayWindow.h"

namespace {

// WM_BACKUP_DONE's wParam for a job that neither ran (0) nor failed (1): the main loop shows
// no balloon for it and leaves the icon's last outcome as it was.
constexpr WPARAM JOB_NOT_RUN = 2;

// Clears the busy flag (even though a failed job never set it) and reports the failure.
void ReportJobFailure(HWND window, LPARAM code)
{
    WriteBackupBusy(0);
    PostMessageW(window, WM_BACKUP_DONE, 1, code);
}

// One backup job from the chat data directory into the slot with the oldest stamp.
void RunBackupJob(HWND window, const wchar_t* dataDir)
{
    // A request that got here before the session began to end (start-up posts its own
    // straight here, and one may wait behind a run) starts nothing once it is ending. Nothing
    // failed: were the end called off, the icon must not say so.
    if (SessionEnding()) {
        WriteBackupBusy(0);
        PostMessageW(window, WM_BACKUP_DONE, JOB_NOT_RUN, RUN_NOT_STARTED);
        return;
    }
    wchar_t slotDir[PATH_CAPACITY];
    wchar_t toolPath[PATH_CAPACITY];
    wchar_t logPath[PATH_CAPACITY];
    if (!ChooseBackupSlot(slotDir, PATH_CAPACITY)) return ReportJobFailure(window, FAIL_NO_SLOT);
    StripTrailingSeparator(slotDir);
    // The digest is checked afresh for every job, before anything is written.
    if (!runnerSeams.verifyCopyTool(toolPath, PATH_CAPACITY))
        return ReportJobFailure(window, FAIL_TOOL_DAMAGED);
    if (!GetLogPath(logPath, PATH_CAPACITY)) return ReportJobFailure(window, FAIL_NO_LOG);

    // The flag is set before the report, so the main loop never sees a report ahead of it.
    WriteBackupBusy(1);
    PostMessageW(window, WM_BACKUP_STARTED, static_cast<WPARAM>(IsDirectoryEmpty(slotDir)), 0);
    int status = RUN_NOT_STARTED;
    int result = runnerSeams.runMirror(toolPath, dataDir, slotDir, logPath, false, &status);
    WriteBackupBusy(0);
    PostMessageW(window, WM_BACKUP_DONE, static_cast<WPARAM>(result), status);
}

void ServeRequests(HWND window, const wchar_t* dataDir)
{
    MSG msg;
    // Only the protocol's range is taken; 0 is the quit message, -1 cannot happen with
    // these arguments but would spin if waited on again.
    while (GetMessageW(&msg, nullptr, WORKER_MESSAGE_FIRST, WORKER_MESSAGE_LAST) > 0) {
        if (msg.message == WM_CHECK_CLIENT) {
            int state = runnerSeams.isProcessRunning(CLIENT_PROCESS_NAME);
            PostMessageW(window, WM_CLIENT_STATE, static_cast<WPARAM>(static_cast<INT_PTR>(state)), 0);
        } else if (msg.message == WM_BACKUP_REQUEST) {
            RunBackupJob(window, dataDir);
        } else if (msg.message == WM_EXIT_REQUEST) {
            break;
        }
    }
    // The process check keeps the client's process open between checks; no check follows.
    ReleaseProcessWatch();
    PostMessageW(window, WM_WORKER_ENDED, WORKER_STOPPED, 0);
}

} // namespace

DWORD WINAPI WorkerMain(LPVOID start)
{
    const WorkerStart* handover = static_cast<const WorkerStart*>(start);
    HWND window = handover->window;
    // A thread has no queue until it calls user32; posts made before that are lost.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(handover->queueReady); // handover may be gone from here on

    wchar_t configPath[PATH_CAPACITY];
    if (!GetConfigPath(configPath, PATH_CAPACITY)) {
        PostMessageW(window, WM_WORKER_ENDED, WORKER_NO_CONFIG, 0);
        return 0;
    }
    // Found once: a change of the client's data location takes effect at the next start.
    wchar_t dataDir[PATH_CAPACITY];
    if (!runnerSeams.locateChatData(dataDir, PATH_CAPACITY)) {
        PostMessageW(window, WM_WORKER_ENDED, WORKER_NO_DATA_DIR, 0);
        return 0;
    }
    StripTrailingSeparator(dataDir);
    ServeRequests(window, dataDir);
    return 0;
}

HANDLE StartWorker(HWND window, DWORD* threadId)
{
    UniqueHandle queueReady(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!queueReady) return nullptr;
    WorkerStart start = {window, queueReady.get()};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WorkerMain, &start, 0, &id);
    if (!thread) return nullptr;
    // The worker signals as soon as its queue exists; it cannot end before that, but the
    // thread handle is waited on too so that nothing could ever hang here.
    HANDLE waits[2] = {queueReady.get(), thread};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    *threadId = id;
    return thread;
}
