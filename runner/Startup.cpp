#include "runner/Startup.h"

#include "backup/BackupStore.h"
#include "backup/MirrorRun.h"
#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "client/ProcessWatch.h"
#include "contracts/ControlMessages.h"
#include "contracts/ProgramFiles.h"
#include "contracts/RunnerTexts.h"
#include "runner/MainLoop.h"
#include "runner/RunnerSeams.h"
#include "runner/Schedule.h"
#include "runner/SharedState.h"
#include "shell/CompanionLauncher.h"
#include "shell/TrayWindow.h"

#include <shellapi.h>

#include <cwchar>

namespace {

// How long the end of start-up waits for a worker that the main loop has already told to
// stop: it has normally ended before the loop returns.
constexpr DWORD WORKER_END_WAIT_MS = 5000;

struct OptionForm {
    const wchar_t* shortForm;
    const wchar_t* longForm;
    bool StartupOptions::*flag;
};

const OptionForm OPTION_FORMS[] = {
    {L"-b", L"--backupnow", &StartupOptions::backupNow},
    {L"-r", L"--restore", &StartupOptions::restore},
    {L"-q", L"--quit", &StartupOptions::quit},
};

} // namespace

StartupOptions ParseOptions(const wchar_t* commandTail)
{
    StartupOptions options = {false, false, false};
    int count = 0;
    // For an empty tail the splitter gives the program's own path as the only argument;
    // it matches no option, so every argument can be compared alike.
    UniqueLocal<wchar_t*> arguments(CommandLineToArgvW(commandTail, &count));
    if (!arguments) return options;
    for (int i = 0; i < count; ++i)
        for (const OptionForm& form : OPTION_FORMS)
            if (wcscmp(arguments.get()[i], form.shortForm) == 0 || wcscmp(arguments.get()[i], form.longForm) == 0)
                options.*form.flag = true;
    return options;
}

namespace {

// Every box of start-up has no owner window.
void ShowBox(const wchar_t* text)
{
    MessageBoxW(nullptr, text, BOX_CAPTION, MB_OK);
}

bool RegisterWindowClass(HINSTANCE instance)
{
    WNDCLASSW windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = RunnerWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    return RegisterClassW(&windowClass) != 0;
}

// Steps from the window on: everything that exists only once the checks have passed.
int RunResident(HINSTANCE instance, const StartupOptions& options, const wchar_t* configPath,
                int showCommand)
{
    if (!RegisterWindowClass(instance)) {
        MessageBoxW(nullptr, TEXT_NO_CLASS, CLASS_BOX_CAPTION, MB_OK | MB_ICONERROR);
        return EXIT_NORMAL;
    }
    // A pop-up window with CW_USEDEFAULT sits at 0,0 with no size: nothing of it shows.
    // Its creation adds the tray icon.
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, WINDOW_CLASS_NAME, WINDOW_CAPTION, WS_POPUP,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return EXIT_NO_WINDOW;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    // StartWorker returns once the worker's queue exists, so the posts below are never lost.
    DWORD workerThreadId = 0;
    UniqueHandle worker(runnerSeams.startWorker(window, &workerThreadId));
    if (!worker) {
        // Destroying the window takes its tray icon away with it.
        DestroyWindow(window);
        return EXIT_NO_WORKER;
    }

    LoadSchedule(&sharedSchedule);
    RegisterControlMessages();
    bool clientWatch = ArmTimers(window, configPath);
    int lastClientState = CurrentClientState();

    // The worker touches the shared state only for a request, and none has been posted yet.
    ResetStateLock();
    AcquireStateLock();
    runnerState.backupBusy = 0;
    ReleaseStateLock();

    runnerSeams.showBalloon(window, START_TITLE, START_TEXT, TIP_IDLE);

    // Straight to the worker: a start-up request is never refused as "too frequent".
    if (options.backupNow) PostThreadMessageW(workerThreadId, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
    if (CheckMissedRun()) {
        PostThreadMessageW(workerThreadId, WM_BACKUP_REQUEST, REQUEST_MISSED, 0);
        TakeLatestScheduledMoment(); // so the next tick does not run it a second time
    }

    int status = RunMainLoop(window, workerThreadId, lastClientState, configPath, clientWatch);
    // On a normal shutdown the worker has already ended; otherwise it is given a moment to
    // finish what it writes rather than being cut off by the process's end.
    WaitForSingleObject(worker.get(), WORKER_END_WAIT_MS);
    return status;
}

} // namespace

int RunStartup(HINSTANCE instance, const wchar_t* commandTail, int showCommand)
{
    StartupOptions options = ParseOptions(commandTail);

    wchar_t configPath[PATH_CAPACITY];
    if (!GetConfigPath(configPath, PATH_CAPACITY)) {
        ShowBox(TEXT_NO_CONFIG);
        return EXIT_NO_CONFIG;
    }
    // Before the single-instance test: a second start still opens the restore.
    if (options.restore) runnerSeams.launchCompanion(COMPANION_RESTORE);
    if (options.quit) return EXIT_NORMAL;

    wchar_t dataDir[PATH_CAPACITY];
    if (!runnerSeams.locateChatData(dataDir, PATH_CAPACITY)) {
        ShowBox(TEXT_NO_CHAT_DATA);
        return EXIT_NO_CHAT_DATA;
    }

    // Held, with ownership, until the process ends: the handle is deliberately never
    // closed, so no later start can take the name while this one runs.
    HANDLE instanceMutex = CreateMutexW(nullptr, TRUE, INSTANCE_MUTEX_NAME);
    if (!instanceMutex) return EXIT_NO_MUTEX;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return EXIT_NORMAL;

    if (!PrepareBackupStore()) {
        ShowBox(TEXT_NO_STORE);
        return EXIT_NO_STORE;
    }
    wchar_t toolPath[PATH_CAPACITY];
    if (!runnerSeams.verifyCopyTool(toolPath, PATH_CAPACITY)) {
        ShowBox(TEXT_TOOL_DAMAGED);
        return EXIT_TOOL_DAMAGED;
    }
    // Only that the two paths can be formed is tested; a missing companion file is found
    // out when it is started.
    wchar_t companionPath[PATH_CAPACITY];
    wchar_t programDir[PATH_CAPACITY];
    if (!GetCompanionPath(companionPath, PATH_CAPACITY) || !GetProgramDir(programDir, PATH_CAPACITY))
        ShowBox(TEXT_NO_COMPANION);

    return RunResident(instance, options, configPath, showCommand);
}
