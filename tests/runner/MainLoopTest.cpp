#include "base/Settings.h"
#include "contracts/ControlMessages.h"
#include "runner/MainLoop.h"
#include "runner/Schedule.h"
#include "runner/SharedState.h"
#include "runner/Worker.h"
#include "shell/ShellSeams.h"
#include "shell/TrayWindow.h"
#include "tests/runner/RunnerHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t CLIENT_EXIT_TEXT[] = L"QQ退出了，正在备份...\r\n请稍等";
constexpr const wchar_t TOO_OFTEN_TEXT[] = L"正在备份，不要太频繁！";
constexpr const wchar_t EXIT_BUSY_TEXT[] = L"正在备份！请备份完再退出。";
constexpr const wchar_t FULL_TEXT[] =
    L"正在进行完整的备份，花费的时间会较长。\r\n为了保证您的QQ聊天记录安全，一共要进行5次完整备份。";
constexpr const wchar_t INCREMENTAL_TEXT[] = L"正在进行补充备份，通常只会用很短的时间。";

using Forward = std::pair<UINT, WPARAM>;

class MainLoopTest : public testing::Test {
protected:
    void SetUp() override
    {
        RegisterControlMessages();
        savedSchedule_ = sharedSchedule;
        loop_ = {window_.get(), worker_.id(), nullptr, 0, false, false, true};
    }
    void TearDown() override
    {
        sharedSchedule = savedSchedule_;
        RegisterControlMessages();
    }
    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        PostMessageW(window_.get(), message, wParam, lParam);
    }
    void Pump() { PumpPending(&loop_, &pump_); }
    // What reached the worker's queue since the last call.
    std::vector<Forward> Forwarded()
    {
        EXPECT_TRUE(worker_.Sync());
        std::vector<Forward> all = worker_.Received();
        std::vector<Forward> fresh(all.begin() + static_cast<ptrdiff_t>(seenForwards_), all.end());
        seenForwards_ = all.size();
        return fresh;
    }
    std::vector<std::wstring> BalloonTexts()
    {
        std::vector<std::wstring> texts;
        for (const auto& b : recorder.balloons) texts.push_back(b.text);
        recorder.balloons.clear();
        return texts;
    }

    ScopedSeams<RunnerSeams> recording_ = InstallRecorders();
    TestWindow window_;
    RecordingWorker worker_;
    MainLoop loop_{};
    PumpState pump_;
    size_t seenForwards_ = 0;
    Schedule savedSchedule_{};
};

WPARAM State(int state) { return static_cast<WPARAM>(static_cast<INT_PTR>(state)); }

TEST_F(MainLoopTest, ClientExitBecomesOneBackupRequest)
{
    struct Case {
        int initial;
        std::vector<int> states;
        int requests;
    } cases[] = {
        {1, {0}, 1},
        {0, {0}, 0},
        {1, {-1, 0}, 0},     // a failed check breaks the pair
        {0, {1, 0}, 1},      // start-up's -1 became 0
        {1, {0, 0}, 1},
        {1, {0, 1, 0}, 2},
        {1, {1, -1}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.states));
        loop_.lastClientState = c.initial;
        for (int s : c.states) Post(WM_CLIENT_STATE, State(s));
        Pump();
        std::vector<Forward> forwarded = Forwarded();
        EXPECT_EQ(forwarded.size(), static_cast<size_t>(c.requests));
        for (const auto& f : forwarded) EXPECT_EQ(f, Forward(WM_BACKUP_REQUEST, 0));
        std::vector<std::wstring> balloons = BalloonTexts();
        EXPECT_EQ(balloons, std::vector<std::wstring>(c.requests, CLIENT_EXIT_TEXT));
        EXPECT_EQ(loop_.lastClientState, c.states.back()); // kept unchanged, -1 included
    }
}

TEST_F(MainLoopTest, BackupRequestGoesOnOnlyWhileIdle)
{
    struct Case {
        LONG busy;
        WPARAM origin;
        bool forwarded;
        bool balloon;
    } cases[] = {
        {0, REQUEST_MANUAL, true, false},
        {0, REQUEST_SCHEDULED, true, false},
        {0, REQUEST_MISSED, true, false},
        {1, REQUEST_MANUAL, false, true},
        {1, REQUEST_SCHEDULED, false, false}, // dropped silently
        {1, REQUEST_MISSED, false, true},     // only bit 0 silences
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "busy " << c.busy << " origin " << c.origin);
        WriteBackupBusy(c.busy);
        Post(WM_BACKUP_REQUEST, c.origin);
        Pump();
        std::vector<Forward> forwarded = Forwarded();
        if (c.forwarded) EXPECT_EQ(forwarded, std::vector<Forward>{Forward(WM_BACKUP_REQUEST, 0)});
        else EXPECT_TRUE(forwarded.empty());
        ASSERT_EQ(recorder.balloons.size(), c.balloon ? 1u : 0u);
        if (c.balloon) {
            EXPECT_EQ(recorder.balloons[0].title, L"提示");
            EXPECT_EQ(recorder.balloons[0].text, TOO_OFTEN_TEXT);
            EXPECT_EQ(recorder.balloons[0].tooltip, L"正在备份...");
        }
        recorder.balloons.clear();
    }
    // A thread message with a protocol number is handled alike.
    WriteBackupBusy(0);
    PostThreadMessageW(GetCurrentThreadId(), WM_BACKUP_REQUEST, REQUEST_SCHEDULED, 0);
    Pump();
    EXPECT_EQ(Forwarded(), std::vector<Forward>{Forward(WM_BACKUP_REQUEST, 0)});
}

TEST_F(MainLoopTest, RunReportsSetTheFlagAndShowTheirBalloons)
{
    struct Case {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LONG busyAfter;
        const wchar_t* title; // null: no balloon
        const wchar_t* text;
        const wchar_t* tooltip;
    } cases[] = {
        {WM_BACKUP_STARTED, 0, 0, 1, L"提示", INCREMENTAL_TEXT, L"正在备份..."},
        {WM_BACKUP_STARTED, 1, 0, 1, L"提示", FULL_TEXT, L"正在备份..."},
        {WM_BACKUP_STARTED, 5, 0, 1, nullptr, nullptr, nullptr},
        {WM_BACKUP_DONE, 0, 1, 0, L"提示", L"备份成功完成！", L"Kestova"},
        {WM_BACKUP_DONE, 1, 8, 0, L"注意", L"备份失败！", L"Kestova"},
        {WM_BACKUP_DONE, 1, 3, 0, L"注意", L"备份失败！", L"Kestova"},
        {WM_BACKUP_DONE, 3, 1, 0, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.message << " " << c.wParam);
        WriteBackupBusy(c.busyAfter ? 0 : 1);
        Post(c.message, c.wParam, c.lParam);
        Pump();
        EXPECT_EQ(ReadBackupBusy(), c.busyAfter);
        if (!c.title) {
            EXPECT_TRUE(recorder.balloons.empty());
        } else {
            ASSERT_EQ(recorder.balloons.size(), 1u);
            EXPECT_EQ(recorder.balloons[0].title, c.title);
            EXPECT_EQ(recorder.balloons[0].text, c.text);
            EXPECT_EQ(recorder.balloons[0].tooltip, c.tooltip);
        }
        recorder.balloons.clear();
    }
    EXPECT_TRUE(Forwarded().empty());
}

TEST_F(MainLoopTest, ClientExitDuringARunIsRefused)
{
    WriteBackupBusy(1);
    loop_.lastClientState = 1;
    Post(WM_CLIENT_STATE, 0);
    Pump();
    EXPECT_EQ(BalloonTexts(), (std::vector<std::wstring>{CLIENT_EXIT_TEXT, TOO_OFTEN_TEXT}));
    EXPECT_TRUE(Forwarded().empty());
}

TEST_F(MainLoopTest, ExitRequestWhileBusyIsRefusedElseForwarded)
{
    WriteBackupBusy(1);
    Post(WM_EXIT_REQUEST);
    Pump();
    EXPECT_EQ(BalloonTexts(), std::vector<std::wstring>{EXIT_BUSY_TEXT});
    EXPECT_TRUE(Forwarded().empty());
    EXPECT_TRUE(IsWindow(window_.get()));

    WriteBackupBusy(0);
    PostMessageW(window_.get(), exitMessage, 0, 0); // the companion's exit message
    Pump();
    EXPECT_TRUE(BalloonTexts().empty());
    EXPECT_EQ(Forwarded(), std::vector<Forward>{Forward(WM_EXIT_REQUEST, 0)});
    EXPECT_TRUE(IsWindow(window_.get()));
    EXPECT_FALSE(pump_.quit);
}

TEST_F(MainLoopTest, WorkerStoppedClosesTheWindow)
{
    Post(WM_WORKER_ENDED, WORKER_STOPPED);
    PumpLoopUntil(&loop_, &pump_, [] { return false; }, 2000);
    EXPECT_TRUE(pump_.quit);
    EXPECT_EQ(pump_.exitCode, 0);
    EXPECT_FALSE(IsWindow(window_.get()));
}

TEST_F(MainLoopTest, ExitAfterTheWorkerEndedByItselfClosesTheWindow)
{
    for (WPARAM ending : {WORKER_NO_CONFIG, WORKER_NO_DATA_DIR}) {
        SCOPED_TRACE(ending);
        TestWindow window;
        MainLoop loop = {window.get(), worker_.id(), nullptr, 0, false, false, true};
        PumpState pump;
        PostMessageW(window.get(), WM_WORKER_ENDED, ending, 0);
        PumpPending(&loop, &pump);
        EXPECT_TRUE(IsWindow(window.get())); // the ending itself changes nothing visible
        EXPECT_FALSE(pump.quit);
        PostMessageW(window.get(), WM_EXIT_REQUEST, 0, 0);
        PumpLoopUntil(&loop, &pump, [&] { return pump.quit; }, 5000);
        EXPECT_TRUE(pump.quit);
        EXPECT_EQ(pump.exitCode, 0);
        EXPECT_FALSE(IsWindow(window.get()));
        EXPECT_TRUE(Forwarded().empty());
    }
    // Any other ending number is no ending: exit requests still go to the worker.
    Post(WM_WORKER_ENDED, 7);
    Post(WM_EXIT_REQUEST);
    Pump();
    EXPECT_EQ(Forwarded(), std::vector<Forward>{Forward(WM_EXIT_REQUEST, 0)});
    EXPECT_TRUE(IsWindow(window_.get()));
}

TEST_F(MainLoopTest, OneClientCheckWaitsAtATime)
{
    Post(WM_CHECK_CLIENT);
    Post(WM_CHECK_CLIENT);
    Post(WM_CHECK_CLIENT);
    Pump();
    EXPECT_EQ(Forwarded(), std::vector<Forward>{Forward(WM_CHECK_CLIENT, 0)});
    WriteBackupBusy(1); // checks go on whatever the flag holds
    Post(WM_CLIENT_STATE, 1);
    Post(WM_CHECK_CLIENT);
    Post(WM_CHECK_CLIENT);
    Pump();
    EXPECT_EQ(Forwarded(), std::vector<Forward>{Forward(WM_CHECK_CLIENT, 0)});
    // The exit pair still fires on the first answer after the client ended.
    Post(WM_CLIENT_STATE, 0);
    Pump();
    EXPECT_EQ(BalloonTexts(), (std::vector<std::wstring>{CLIENT_EXIT_TEXT, TOO_OFTEN_TEXT}));
}

TEST_F(MainLoopTest, CompanionRequests)
{
    Post(WM_OPTIONS_REQUEST);
    Post(WM_RESTORE_REQUEST);
    Post(WM_OPTIONS_REQUEST);
    Pump();
    EXPECT_EQ(recorder.companions,
              (std::vector<CompanionMode>{COMPANION_OPTIONS, COMPANION_RESTORE, COMPANION_OPTIONS}));
    EXPECT_TRUE(Forwarded().empty());
}

TEST_F(MainLoopTest, OtherNumbersAreDispatched)
{
    for (UINT number : {WM_TRAYICON, 1025u, 1033u, 1035u, 1037u, static_cast<UINT>(WM_TIMER)}) {
        SCOPED_TRACE(number);
        MSG msg{window_.get(), number, 0, 0, 0, {0, 0}};
        EXPECT_FALSE(TakeProtocolMessage(&loop_, msg));
    }
}

TEST_F(MainLoopTest, ReloadReadsTheScheduleAndArmsTimers)
{
    ScratchDir dir;
    std::wstring ini = dir / L"reload.ini";
    ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"Mode", L"PRE_DAY"));
    ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"Time", L"21:30"));
    loop_.configPath = ini.c_str();
    // Both registrations yielded 0: both numbers are 1025, and 1025 is a reload.
    configReloadMessage = RegisteredOrFallback(0);
    exitMessage = RegisteredOrFallback(0);
    sharedSchedule = {MODE_NONE, 0, 0, 0};
    Post(1025);
    Pump();
    EXPECT_EQ(sharedSchedule.mode, MODE_PRE_DAY);
    EXPECT_EQ(sharedSchedule.hour, 21);
    // A reload that turns the schedule off leaves its timer running; the ticks find the
    // mode NONE and post nothing.
    ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"Mode", L"NONE"));
    Post(1025);
    Pump();
    EXPECT_EQ(sharedSchedule.mode, MODE_NONE);
    EXPECT_TRUE(KillTimer(window_.get(), TIMER_SCHEDULE));
    EXPECT_FALSE(KillTimer(window_.get(), TIMER_CLIENT_WATCH));
    EXPECT_TRUE(Forwarded().empty()); // never taken as an exit
    EXPECT_TRUE(IsWindow(window_.get()));
}

// "Back up after QQ exits" switched off and on again by the companion, while the runner
// runs: off, a client exit starts nothing; on again, the state is read afresh, so an exit
// that happened while nobody watched is no exit now.
TEST_F(MainLoopTest, ReloadStopsAndRestartsTheClientWatch)
{
    ScratchDir dir;
    std::wstring ini = dir / L"watch.ini";
    loop_.configPath = ini.c_str();
    ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"AutobackupAfterQQuit", L"1"));
    loop_.clientWatch = ArmTimers(window_.get(), ini.c_str());
    ASSERT_TRUE(loop_.clientWatch);
    loop_.lastClientState = 1; // the client runs
    auto backups = [&] {
        size_t n = 0;
        for (const Forward& f : Forwarded()) n += f.first == WM_BACKUP_REQUEST;
        return n;
    };

    ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"AutobackupAfterQQuit", L"0"));
    Post(configReloadMessage);
    Pump();
    EXPECT_FALSE(loop_.clientWatch);
    EXPECT_FALSE(KillTimer(window_.get(), TIMER_CLIENT_WATCH)); // the watch has stopped
    Post(WM_CLIENT_STATE, State(1)); // an answer still on its way when the watch stopped
    Pump();
    EXPECT_EQ(backups(), 0u);

    recorder.clientState = 0; // the client ended while nobody watched
    ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"AutobackupAfterQQuit", L"1"));
    Post(configReloadMessage);
    Pump();
    EXPECT_TRUE(loop_.clientWatch);
    EXPECT_EQ(loop_.lastClientState, 0);
    Post(WM_CLIENT_STATE, State(0));
    Pump();
    EXPECT_EQ(backups(), 0u);
    // Watched again: the next exit is one.
    Post(WM_CLIENT_STATE, State(1));
    Post(WM_CLIENT_STATE, State(0));
    Pump();
    EXPECT_EQ(backups(), 1u);
    EXPECT_TRUE(KillTimer(window_.get(), TIMER_CLIENT_WATCH));
    KillTimer(window_.get(), TIMER_SCHEDULE);
}

BOOL WINAPI NoIcon(DWORD, NOTIFYICONDATAW*) { return TRUE; }

// A window of the runner's own procedure (its icon calls go nowhere).
HWND CreateTrayWindow()
{
    static bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = RunnerWndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KestovaMainLoopTestTray";
        return RegisterClassW(&wc) != 0;
    }();
    if (!registered) return nullptr;
    return CreateWindowExW(WS_EX_TOOLWINDOW, L"KestovaMainLoopTestTray", L"", WS_POPUP, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

// The whole path through RunMainLoop, the runner's window and the real worker: a backup
// runs, an exit asked for during it is refused, a second one after it ends the program
// with status 0. The exit is asked for as the companion and the menu do, and as a close
// from outside.
TEST(MainLoopShutdown, ExitDuringARunThenAfterIt)
{
    ScopedSeams<ShellSeams> silent(&shellSeams, [](ShellSeams& seams) { seams.notifyIcon = NoIcon; });
    for (UINT ask : {WM_EXIT_REQUEST, static_cast<UINT>(WM_CLOSE)}) {
        SCOPED_TRACE(ask);
        ScopedSeams<RunnerSeams> recording = InstallRecorders();
        recorder.mirrorGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HWND hwnd = CreateTrayWindow();
        ASSERT_NE(hwnd, nullptr);
        recorder.onBalloon = [&](const BalloonCall& b) {
            if (b.text == FULL_TEXT || b.text == INCREMENTAL_TEXT) {
                PostMessageW(hwnd, ask, 0, 0);
            } else if (b.text == EXIT_BUSY_TEXT) {
                SetEvent(recorder.mirrorGate);
            } else if (b.text == std::wstring(L"备份成功完成！")) {
                PostMessageW(hwnd, ask, 0, 0);
            }
        };
        DWORD workerId = 0;
        HANDLE worker = StartWorker(hwnd, &workerId);
        ASSERT_NE(worker, nullptr);
        PostMessageW(hwnd, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
        int status = RunMainLoop(hwnd, workerId, 0, nullptr, true);
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(IsWindow(hwnd));
        SetEvent(recorder.mirrorGate); // a run cut short must not hold the worker
        PostThreadMessageW(workerId, WM_EXIT_REQUEST, 0, 0);
        EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
        CloseHandle(worker);
        CloseHandle(recorder.mirrorGate);
        std::vector<std::wstring> texts;
        for (const auto& b : recorder.balloons) texts.push_back(b.text);
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[1], EXIT_BUSY_TEXT);
        EXPECT_EQ(texts[2], L"备份成功完成！");
        EXPECT_EQ(RecordedMirrors().size(), 1u);
        recorder.onBalloon = nullptr;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
}

// While the tray menu is open its own loop runs; protocol messages posted meanwhile must
// still be handled by the main loop, in order, and not fall to the window's default.
namespace menu_case {
HWND menuOwner;
HMENU menu;
int ticks;
void CALLBACK InsideMenu(HWND, UINT, UINT_PTR id, DWORD)
{
    // First tick inside the menu's loop: a run starts and ends; the next tick closes it.
    if (ticks++ == 0) {
        PostMessageW(menuOwner, WM_BACKUP_STARTED, 1, 0);
        PostMessageW(menuOwner, WM_BACKUP_DONE, 0, RUN_FINISHED);
        PostThreadMessageW(GetCurrentThreadId(), WM_CLIENT_STATE, 1, 0);
    } else {
        KillTimer(nullptr, id);
        EndMenu();
    }
}
void CALLBACK OpenMenu(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    SetTimer(nullptr, 0, 50, InsideMenu);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, 10, 10, 0, menuOwner, nullptr);
    PostMessageW(menuOwner, WM_CLOSE, 0, 0);
}
} // namespace menu_case

TEST(MainLoopModal, ProtocolMessagesDuringTheTrayMenuAreNotLost)
{
    ScopedSeams<RunnerSeams> recording = InstallRecorders();
    TestWindow window;
    RecordingWorker worker;
    menu_case::menuOwner = window.get();
    menu_case::menu = CreatePopupMenu();
    menu_case::ticks = 0;
    AppendMenuW(menu_case::menu, MF_STRING, 1, L"item");
    SetTimer(nullptr, 0, 10, menu_case::OpenMenu);
    runnerState.backupBusy = 0;

    int status = RunMainLoop(window.get(), worker.id(), 0, nullptr, true);
    EXPECT_EQ(status, 0);
    DestroyMenu(menu_case::menu);
    EXPECT_GE(menu_case::ticks, 2); // the posts happened while the menu was open
    std::vector<std::wstring> texts;
    for (const auto& b : recorder.balloons) texts.push_back(b.text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], FULL_TEXT);
    EXPECT_EQ(texts[1], L"备份成功完成！");
    EXPECT_EQ(runnerState.backupBusy, 0);
}

// Showing a balloon is a cross-thread send to the tray, and while it waits the thread
// handles sent messages: a tray click then opens the menu inside the balloon call, and the
// menu's own loop hands the filter a backup request. Runs in a child process, so that a
// loop that hangs is ended by the deadline instead of holding up the suite.
namespace nested_case {
HWND owner;
int ticks;
void CALLBACK InsideMenu(HWND, UINT, UINT_PTR id, DWORD)
{
    if (ticks++ == 0) {
        PostMessageW(owner, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
    } else {
        KillTimer(nullptr, id);
        EndMenu();
    }
}
} // namespace nested_case

KESTOVA_CHILD(balloon_opens_menu)
{
    ScopedSeams<RunnerSeams> recording = InstallRecorders();
    TestWindow window;
    RecordingWorker worker;
    nested_case::owner = window.get();
    nested_case::ticks = 0;
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 1, L"item");
    bool nested = false;
    recorder.onBalloon = [&](const BalloonCall&) {
        if (nested) return;
        nested = true;
        SetTimer(nullptr, 0, 50, nested_case::InsideMenu);
        TrackPopupMenu(menu, TPM_RIGHTBUTTON, 10, 10, 0, nested_case::owner, nullptr);
        // The loop goes on: once the run is over, a request reaches the worker.
        WriteBackupBusy(0);
        PostMessageW(nested_case::owner, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
        PostMessageW(nested_case::owner, WM_CLOSE, 0, 0);
    };
    WriteBackupBusy(1);
    UINT outer = args.at(0) == L"exit" ? WM_EXIT_REQUEST : WM_BACKUP_REQUEST;
    PostMessageW(window.get(), outer, REQUEST_MANUAL, 0);
    int status = RunMainLoop(window.get(), worker.id(), 0, nullptr, true);
    DestroyMenu(menu);

    std::vector<std::wstring> expected = {outer == WM_EXIT_REQUEST ? EXIT_BUSY_TEXT : TOO_OFTEN_TEXT,
                                          TOO_OFTEN_TEXT};
    std::vector<std::wstring> texts;
    for (const auto& b : recorder.balloons) texts.push_back(b.text);
    worker.Sync();
    std::vector<Forward> forwarded = worker.Received();
    bool good = status == 0 && nested_case::ticks >= 2 && texts == expected &&
                forwarded == std::vector<Forward>{Forward(WM_BACKUP_REQUEST, 0)};
    if (!good)
        std::printf("status %d, menu ticks %d, %zu balloons, %zu forwarded\n", status,
                    nested_case::ticks, texts.size(), forwarded.size());
    return good ? 0 : 1;
}

TEST(MainLoopNesting, ARequestInsideABalloonDoesNotHangTheLoop)
{
    for (const wchar_t* outer : {L"backup", L"exit"}) {
        SCOPED_TRACE(Narrow(outer));
        ChildResult r = RunChild(CurrentExePath(), L"balloon_opens_menu", {outer}, 20000);
        ASSERT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << "the loop hung";
        EXPECT_EQ(r.exitCode, 0u) << r.output;
    }
}

// Once Windows has asked whether the session may end, no trigger starts a backup: QQ
// closing as the session ends would otherwise start one that the end cuts off. Nothing is
// said either, neither the client's exit nor a refusal. When the end is called off,
// backups start again; when it goes ahead, the window goes and the program quits, and what
// is still queued starts nothing.
TEST_F(MainLoopTest, NoBackupStartsWhileTheSessionEnds)
{
    struct Trigger {
        const char* what;
        UINT message;
        WPARAM wParam;
    } triggers[] = {
        {"the client's exit", WM_CLIENT_STATE, State(0)},
        {"the menu", WM_BACKUP_REQUEST, REQUEST_MANUAL},
        {"the schedule", WM_BACKUP_REQUEST, REQUEST_SCHEDULED},
        {"a missed run", WM_BACKUP_REQUEST, REQUEST_MISSED},
    };
    for (const Trigger& t : triggers) {
        SCOPED_TRACE(t.what);
        SessionEndAsked session;
        ASSERT_TRUE(session.asked());
        loop_.lastClientState = 1;
        Post(t.message, t.wParam);
        Pump();
        EXPECT_TRUE(Forwarded().empty());
        EXPECT_TRUE(BalloonTexts().empty());
        EXPECT_EQ(loop_.lastClientState, t.message == WM_CLIENT_STATE ? 0 : 1);

        session.CallOff();
        loop_.lastClientState = 1;
        Post(t.message, t.wParam);
        Pump();
        EXPECT_EQ(Forwarded(), std::vector<Forward>{Forward(WM_BACKUP_REQUEST, 0)});
        BalloonTexts();

        SessionEndAsked ending;
        ASSERT_TRUE(ending.asked());
        ending.End();
        ASSERT_FALSE(IsWindow(ending.window()));
        MainLoop quitting = loop_;
        quitting.window = ending.window();
        quitting.lastClientState = 1;
        MSG queued{};
        queued.message = t.message;
        queued.wParam = t.wParam;
        EXPECT_TRUE(TakeProtocolMessage(&quitting, queued));
        EXPECT_TRUE(Forwarded().empty());
        EXPECT_TRUE(BalloonTexts().empty());
    }
}

// After a run the icon keeps its outcome: a failure stays on it until a run succeeds,
// since the failure's balloon alone can go unseen (focus assist, a full-screen program).
namespace run_outcome_case {

constexpr wchar_t FAILED_TIP[] = L"上次备份失败，请打开 Kestova 查看";

TEST_F(MainLoopTest, AFailedRunStaysOnTheIconUntilARunSucceeds)
{
    struct Report {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    struct Case {
        const char* name;
        std::vector<Report> reports;
        std::vector<std::wstring> alerts; // "": cleared
    };
    const Case cases[] = {
        {"a failed run", {{WM_BACKUP_STARTED, 0, 0}, {WM_BACKUP_DONE, 1, RUN_TOOL_FAILED}}, {FAILED_TIP}},
        {"a job that found no slot", {{WM_BACKUP_DONE, 1, FAIL_NO_SLOT}}, {FAILED_TIP}},
        {"a run that succeeds", {{WM_BACKUP_STARTED, 1, 0}, {WM_BACKUP_DONE, 0, RUN_FINISHED}}, {L""}},
        {"failed, then the next run succeeds",
         {{WM_BACKUP_DONE, 1, RUN_NOT_STARTED}, {WM_BACKUP_STARTED, 0, 0}, {WM_BACKUP_DONE, 0, RUN_FINISHED}},
         {FAILED_TIP, L""}},
        {"failed twice", {{WM_BACKUP_DONE, 1, RUN_TOOL_FAILED}, {WM_BACKUP_STARTED, 0, 0}, {WM_BACKUP_DONE, 1, RUN_TOOL_FAILED}},
         {FAILED_TIP, FAILED_TIP}},
        {"a report without an outcome changes nothing", {{WM_BACKUP_DONE, 1, RUN_TOOL_FAILED}, {WM_BACKUP_DONE, 3, 1}},
         {FAILED_TIP}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Report& r : c.reports) Post(r.message, r.wParam, r.lParam);
        Pump();
        EXPECT_EQ(recorder.alerts, c.alerts);
        recorder.alerts.clear();
        recorder.balloons.clear();
    }
}

} // namespace run_outcome_case

} // namespace
