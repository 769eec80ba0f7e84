// Marrowby.exe itself, in a program folder in scratch: its command-line forms and exit
// statuses, its messages to a running runner, and its two dialogs driven by window
// messages from here.
#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "companion/CompanionResource.h"
#include "companion/CompanionTexts.h"
#include "contracts/ControlMessages.h"
#include "contracts/RunnerControl.h"
#include "tests/companion/CompanionHarness.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD WINDOW_WAIT_MS = 20000;

LRESULT CALLBACK ObeyingRunnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == ExitMessageNumber()) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// The stand-in's backup in the "busy" behaviour, and the exit requests it has heard.
HANDLE busyTool = nullptr;
int exitRequests = 0;

// Drops exit requests while its copy tool runs, as the runner does while it backs up; with
// no copy tool, drops the first one, as a runner between windows would lose it.
LRESULT CALLBACK BusyRunnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == ExitMessageNumber()) {
        ++exitRequests;
        bool drop = busyTool ? WaitForSingleObject(busyTool, 0) == WAIT_TIMEOUT : exitRequests == 1;
        if (!drop) DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

// Stands in for the copy tool: runs until the named event is set.
KESTOVA_CHILD(until_event)
{
    if (args.empty()) return 2;
    UniqueHandle end(CreateEventW(nullptr, TRUE, FALSE, args[0].c_str()));
    return end && WaitForSingleObject(end.get(), 120000) == WAIT_OBJECT_0 ? 0 : 3;
}

// A stand-in for the runner's hidden window: "obey" quits on the exit message; "busy TOOL
// EVENT" first starts TOOL as a copy tool that runs until EVENT is set, and quits on an
// exit message only once it has ended; "drop_first" quits on the second exit message. Both
// exit with the number of requests they heard. Anything else ignores the exit message.
KESTOVA_CHILD(runner_window)
{
    bool obey = !args.empty() && args[0] == L"obey";
    bool busy = (args.size() == 3 && args[0] == L"busy") || (args.size() == 1 && args[0] == L"drop_first");
    PROCESS_INFORMATION tool{};
    if (args.size() == 3) {
        std::wstring line = QuoteArgument(args[1]) + L" --kestova-child=until_event " + QuoteArgument(args[2]);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(args[1].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &tool))
            return 2;
        busyTool = UniqueProcess(tool).releaseProcess();
    }
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = busy ? BusyRunnerProc : obey ? ObeyingRunnerProc : DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    if (!RegisterClassW(&windowClass)) return 3;
    if (!CreateWindowExW(WS_EX_TOOLWINDOW, WINDOW_CLASS_NAME, WINDOW_CAPTION, WS_POPUP, 0, 0, 0, 0, nullptr,
                         nullptr, windowClass.hInstance, nullptr))
        return 4;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    if (busyTool) CloseHandle(busyTool);
    return busy ? exitRequests : 0;
}

// Stands in for a running QQ.exe until it is killed.
KESTOVA_CHILD(idle)
{
    Sleep(120000);
    return 0;
}

std::wstring Raw(const std::wstring& ini, const wchar_t* section, const wchar_t* key)
{
    wchar_t value[256];
    return ReadSetting(ini.c_str(), section, key, value, 256) ? value : L"<absent>";
}

ChildResult RunMarrowby(const CompanionFolder& folder, const std::vector<std::wstring>& args, DWORD timeoutMs = 60000)
{
    std::wstring line = QuoteArgument(folder.marrowby());
    for (const auto& arg : args) line += L" " + QuoteArgument(arg);
    return RunCommand(line, folder.app(), timeoutMs);
}

std::wstring Command(const std::wstring& exe, const std::wstring& args)
{
    return QuoteArgument(exe) + L" " + args;
}

// The runner stand-in in a process of its own, its window up; its program file lies in
// dir (the program folder unless told otherwise).
struct RunnerStandIn {
    RunnerStandIn(const CompanionFolder& folder, const wchar_t* behaviour) : RunnerStandIn(folder.app(), behaviour) {}
    RunnerStandIn(const std::wstring& dir, const wchar_t* behaviour)
        : exe(CopySelfTo(dir, L"RunnerStandIn.exe")),
          process(Command(exe, std::wstring(L"--kestova-child=runner_window ") + behaviour), dir)
    {
        window = WaitForWindow(WINDOW_CLASS_NAME, 0, WINDOW_WAIT_MS);
    }
    std::wstring exe;
    Background process;
    HWND window = nullptr;
};

TEST(Marrowby, CommandLineFormsAndTheirExitStatuses)
{
    CompanionFolder folder;
    struct Case {
        std::vector<std::wstring> args;
        DWORD status;
    } cases[] = {
        {{L"--bogus"}, 2},
        {{L"--Options", L"--set", L"Mode=NONE"}, 2},
        {{L"--options", L"--set"}, 2},
        {{L"--options", L"--set", L"Mode=DAILY"}, 2},
        {{L"--options", L"--set", L"Ended=x"}, 2},
        {{L"--options", L"--set", L"Mode=PRE_WEEK", L"--set", L"Time=21:30"}, 2}, // no day
        {{L"--options", L"--set", L"Mode=PRE_DAY"}, 2},                            // no time
        {{L"--options", L"--set", L"Time=07:15"}, 2},                              // a time, no schedule
        {{L"--restore", L"--yes"}, 2},
        {{L"--restore", L"--slot", L"6", L"--yes"}, 2},
        {{L"--restore", L"--slot", L"3", L"--yes"}, 13}, // empty slot
        {{L"--undo-restore", L"--yes"}, 20},
    };
    for (const auto& c : cases) {
        std::wstring joined;
        for (const auto& a : c.args) joined += a + L" ";
        SCOPED_TRACE(Narrow(joined));
        ChildResult result = RunMarrowby(folder, c.args);
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.exitCode, c.status) << result.output;
    }
    EXPECT_FALSE(PathExists(folder.config())); // nothing was written by any of them
}

int reloads = 0;

LRESULT CALLBACK CountingRunnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == ConfigReloadMessageNumber()) ++reloads;
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(Marrowby, SetWritesTheSettingsAndTellsTheRunnerToReload)
{
    CompanionFolder folder;
    ASSERT_TRUE(WriteBytes(folder.config(), "[Target2]\r\nEnded=Sun Mar 14 10:00:00 2010\r\n"));

    // A window of the runner's class in this process stands in for the runner.
    reloads = 0;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CountingRunnerProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    ASSERT_TRUE(RegisterClassW(&windowClass));
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, WINDOW_CLASS_NAME, WINDOW_CAPTION, WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    ASSERT_TRUE(window);

    ChildResult result = RunMarrowby(folder, {L"--options", L"--set", L"Mode=pre_week", L"--set", L"Time=06:45 fri",
                                              L"--set", L"BackupAtuOnce=1"});
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_TRUE(PumpUntil([] { return reloads > 0; }, 10000));
    EXPECT_EQ(reloads, 1);
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"Mode"), L"PRE_WEEK");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"Time"), L"06:45 FIR");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"BackupAtuOnce"), L"1");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"AutobackupAfterQQuit"), L"0");
    EXPECT_EQ(Raw(folder.config(), L"Target2", L"Ended"), L"Sun Mar 14 10:00:00 2010");

    DestroyWindow(window);
    UnregisterClassW(WINDOW_CLASS_NAME, windowClass.hInstance);
    // With no runner running, the settings are still written.
    result = RunMarrowby(folder, {L"--options", L"--set", L"Mode=NONE"});
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"Mode"), L"NONE");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"Time"), L"06:45 FIR");
}

TEST(Marrowby, StopRunnerWaitsForAnObeyingRunnerAndGivesUpOnAStubbornOne)
{
    CompanionFolder folder;
    {
        RunnerStandIn runner(folder, L"obey");
        ASSERT_TRUE(runner.window);
        wchar_t path[PATH_CAPACITY];
        EXPECT_EQ(StopRunner(10000, nullptr, nullptr, path, PATH_CAPACITY), STOP_ENDED);
        EXPECT_EQ(runner.process.Wait(5000), 0);
        EXPECT_EQ(CompareStringOrdinal(path, -1, runner.exe.c_str(), -1, TRUE), CSTR_EQUAL) << Narrow(path);
    }
    {
        RunnerStandIn runner(folder, L"ignore");
        ASSERT_TRUE(runner.window);
        ULONGLONG start = GetTickCount64();
        EXPECT_EQ(StopRunner(1000, nullptr, nullptr, nullptr, 0), STOP_TIMED_OUT);
        EXPECT_LT(GetTickCount64() - start, 5000u);
        EXPECT_TRUE(IsWindow(runner.window));
    }
    EXPECT_EQ(StopRunner(1000, nullptr, nullptr, nullptr, 0), STOP_NOT_RUNNING);
}

// A new, empty folder in scratch named prefix and a number.
std::wstring NewFolder(const CompanionFolder& folder, const wchar_t* prefix)
{
    static int made = 0;
    std::wstring dir = folder.scratch() / (prefix + std::to_wstring(++made));
    return CreateDirectoryW(dir.c_str(), nullptr) ? dir : L"";
}

// Where a busy runner's copy tool (a copy of this program named robocopy.exe) lies, and
// the path it is started by.
enum class ToolPlace {
    BESIDE_RUNNER,       // the runner's own program folder: Kestova's tool
    BESIDE_IN_CAPITALS,  // the same file, its path spelled in capitals
    BELOW_RUNNER,        // a folder inside the runner's
    ELSEWHERE,           // a folder of its own, as the system's own robocopy.exe is
};

std::wstring PlaceTool(const CompanionFolder& folder, const std::wstring& runnerDir, ToolPlace place)
{
    switch (place) {
    case ToolPlace::BESIDE_RUNNER: return CopySelfTo(runnerDir, L"robocopy.exe");
    case ToolPlace::BESIDE_IN_CAPITALS: {
        std::wstring path = CopySelfTo(runnerDir, L"robocopy.exe");
        for (wchar_t& c : path) c = towupper(c);
        return path;
    }
    case ToolPlace::BELOW_RUNNER:
        return MakeDirs(runnerDir + L"\\Tools") ? CopySelfTo(runnerDir + L"\\Tools", L"robocopy.exe") : L"";
    case ToolPlace::ELSEWHERE: return CopySelfTo(NewFolder(folder, L"Tool"), L"robocopy.exe");
    }
    return L"";
}

// The runner stand-in in a folder of its own, busy with a copy tool that runs until
// toolEnd is set.
struct BusyRunner {
    explicit BusyRunner(const CompanionFolder& folder, ToolPlace place = ToolPlace::BESIDE_RUNNER)
        : eventName(L"KestovaTestToolEnd-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(GetTickCount64())),
          toolEnd(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str())),
          dir(NewFolder(folder, L"Runner")),
          tool(PlaceTool(folder, dir, place)),
          runner(dir, (L"busy " + QuoteArgument(tool) + L" " + eventName).c_str())
    {
    }
    std::wstring eventName;
    UniqueHandle toolEnd;
    std::wstring dir;
    std::wstring tool;
    RunnerStandIn runner;
};

// Only Kestova's own copy tool, the robocopy.exe in the runner's program folder, holds a
// quit back. Windows ships a robocopy.exe of its own that scripts run at any time: while one
// of those runs, the wait must go on asking, or it would wait for the script to end.
TEST(Marrowby, OnlyTheCopyToolBesideTheRunnerHoldsAQuitBack)
{
    CompanionFolder folder;
    struct Case {
        const char* label;
        ToolPlace place;
        int phase;
    } cases[] = {
        {"beside the runner", ToolPlace::BESIDE_RUNNER, STOP_PHASE_FINISHING_BACKUP},
        {"beside it, spelled in capitals", ToolPlace::BESIDE_IN_CAPITALS, STOP_PHASE_FINISHING_BACKUP},
        {"in a folder below the runner's", ToolPlace::BELOW_RUNNER, STOP_PHASE_WAITING},
        {"elsewhere", ToolPlace::ELSEWHERE, STOP_PHASE_WAITING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        BusyRunner busy(folder, c.place);
        ASSERT_FALSE(busy.tool.empty());
        ASSERT_TRUE(busy.runner.window);
        RunnerStopRequest request;
        request.Start(busy.runner.window);
        EXPECT_EQ(request.Poll(), c.phase);
        SetEvent(busy.toolEnd.get());
    }
}

TEST(Marrowby, AQuitRequestIsAskedAgainAfterABackupAndWhenLost)
{
    CompanionFolder folder;
    {
        BusyRunner busy(folder);
        ASSERT_TRUE(busy.runner.window);
        ASSERT_TRUE(busy.toolEnd);
        struct Heard {
            std::vector<int> phases;
            HANDLE toolEnd;
        } heard{{}, busy.toolEnd.get()};
        auto progress = [](void* context, int phase) {
            auto* h = static_cast<Heard*>(context);
            h->phases.push_back(phase);
            if (phase == STOP_PHASE_FINISHING_BACKUP) SetEvent(h->toolEnd); // the backup ends now
        };
        EXPECT_EQ(StopRunner(30000, progress, &heard, nullptr, 0), STOP_ENDED);
        ASSERT_FALSE(heard.phases.empty());
        EXPECT_EQ(heard.phases.front(), STOP_PHASE_FINISHING_BACKUP);
        EXPECT_GE(busy.runner.process.Wait(5000), 2); // the first request was dropped
    }
    {
        // The settings dialog's button says the same, and asks again when a request is lost.
        auto busy = std::make_unique<BusyRunner>(folder);
        ASSERT_TRUE(busy->runner.window);
        Background companion(Command(folder.marrowby(), L"--options"), folder.app());
        HWND dialog = WaitForWindow(L"#32770", companion.id(), WINDOW_WAIT_MS, true);
        ASSERT_TRUE(dialog);
        auto shows = [&](const wchar_t* expected, DWORD timeoutMs) {
            wchar_t text[128] = L"";
            bool seen = PumpUntil([&] {
                GetDlgItemTextW(dialog, IDC_RUNNER_STATE, text, 128);
                return wcscmp(text, expected) == 0;
            }, timeoutMs);
            return seen ? testing::AssertionSuccess() : testing::AssertionFailure() << Narrow(text);
        };
        EXPECT_TRUE(shows(TEXT_RUNNER_RUNNING, WINDOW_WAIT_MS));
        PostMessageW(dialog, WM_COMMAND, IDC_STOP_RUNNER, 0);
        EXPECT_TRUE(shows(TEXT_RUNNER_FINISHING, WINDOW_WAIT_MS));
        EXPECT_TRUE(IsWindow(busy->runner.window));
        SetEvent(busy->toolEnd.get());
        EXPECT_TRUE(shows(TEXT_RUNNER_GONE, WINDOW_WAIT_MS));
        EXPECT_GE(busy->runner.process.Wait(5000), 2);
        busy.reset();

        RunnerStandIn deaf(folder, L"drop_first");
        ASSERT_TRUE(deaf.window);
        EXPECT_TRUE(shows(TEXT_RUNNER_RUNNING, WINDOW_WAIT_MS)); // a new runner
        PostMessageW(dialog, WM_COMMAND, IDC_STOP_RUNNER, 0);
        EXPECT_TRUE(shows(TEXT_RUNNER_STOP_WAITING, WINDOW_WAIT_MS));
        EXPECT_TRUE(shows(TEXT_RUNNER_GONE, 30000)); // asked again within 10 s
        EXPECT_EQ(deaf.process.Wait(5000), 2);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        EXPECT_EQ(companion.Wait(WINDOW_WAIT_MS), 0);
    }
}

class MarrowbyRestore : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(entry_.ok());
        folder_.FillSlot(2, "two");
        ASSERT_TRUE(WriteBytes(folder_.config(), "[Target2]\r\nEnded=Sun Mar 14 10:00:00 2010\r\n"));
        live_ = Snapshot(folder_.data());
    }
    CompanionFolder folder_;
    ChatClientEntry entry_{folder_.scratch().path()};
    TreeSnapshot live_;
};

TEST_F(MarrowbyRestore, RefusesWhileQQRunsOrTheRunnerWillNotQuit)
{
    {
        std::wstring qq = CopySelfTo(folder_.scratch() / L"QQ\\Bin", L"QQ.exe");
        ASSERT_FALSE(qq.empty()) << GetLastError();
        Background client(Command(qq, L"--kestova-child=idle"), L"");
        ASSERT_TRUE(client.started()) << GetLastError();
        ChildResult result = RunMarrowby(folder_, {L"--restore", L"--slot", L"2", L"--yes"});
        EXPECT_EQ(result.exitCode, 10u) << result.output;
    }
    {
        RunnerStandIn runner(folder_, L"ignore");
        ASSERT_TRUE(runner.window);
        ChildResult result = RunMarrowby(folder_, {L"--restore", L"--slot", L"2", L"--yes", L"--wait-seconds", L"1"});
        EXPECT_EQ(result.exitCode, 11u) << result.output;
        EXPECT_TRUE(IsWindow(runner.window));
    }
    EXPECT_EQ(Snapshot(folder_.data()), live_);
    EXPECT_EQ(folder_.SiblingCount(), 0);
}

TEST_F(MarrowbyRestore, RestoresWithTheCopyToolAndUndoes)
{
    TreeSnapshot slot = Snapshot(folder_.slot(2));
    ChildResult result = RunMarrowby(folder_, {L"--restore", L"--slot", L"2", L"--yes"});
    ASSERT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(Snapshot(folder_.data()), slot);
    std::wstring aside = folder_.FindSibling(L"before-restore");
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(Snapshot(aside), live_);
    EXPECT_NE(result.output.find(Narrow(aside)), std::string::npos) << result.output; // says where

    result = RunMarrowby(folder_, {L"--undo-restore", L"--yes"});
    ASSERT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(Snapshot(folder_.data()), live_);
    EXPECT_EQ(Snapshot(folder_.FindSibling(L"undone-restore")), slot);
}

// Waits for a message box of the process other than the dialog, answers it with `button`
// and returns its text.
std::wstring AnswerBox(DWORD processId, HWND dialog, int button)
{
    HWND box = WaitForWindow(L"#32770", processId, WINDOW_WAIT_MS, true, dialog);
    if (!box) return L"<no box>";
    wchar_t text[2048] = L"";
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(button), 0);
    PumpUntil([&] { return !IsWindow(box); }, WINDOW_WAIT_MS);
    return text;
}

TEST_F(MarrowbyRestore, RestoreDialogRestoresTheChosenSlot)
{
    TreeSnapshot slot = Snapshot(folder_.slot(2));
    Background companion(Command(folder_.marrowby(), L"--restore"), folder_.app());
    HWND dialog = WaitForWindow(L"#32770", companion.id(), WINDOW_WAIT_MS, true);
    ASSERT_TRUE(dialog);
    HWND list = GetDlgItem(dialog, IDC_SLOT_LIST);
    ASSERT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 5);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 0, 0), 2); // the only stamped slot comes first
    SendMessageW(list, LB_SETCURSEL, 0, 0);
    PostMessageW(dialog, WM_COMMAND, IDC_DO_RESTORE, 0);
    EXPECT_NE(AnswerBox(companion.id(), dialog, IDYES).find(L"第 2 份"), std::wstring::npos);
    std::wstring report = AnswerBox(companion.id(), dialog, IDOK);
    EXPECT_NE(report.find(L"还原成功完成"), std::wstring::npos) << Narrow(report);
    EXPECT_EQ(Snapshot(folder_.data()), slot);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_UNDO)));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(companion.Wait(WINDOW_WAIT_MS), 0);
}

TEST(MarrowbyDialogs, OptionsDialogShowsAndWritesWhatTheRunnerTakes)
{
    CompanionFolder folder;
    ASSERT_TRUE(WriteBytes(folder.config(), "[AutoBackup]\r\nMode=PRE_WEEK\r\nTime=21:30 FRI\r\nAutobackupAfterQQuit=1\r\n"
                                            "[Target2]\r\nEnded=Sun Mar 14 10:00:00 2010\r\n"));
    Background companion(Command(folder.marrowby(), L"--options"), folder.app());
    HWND dialog = WaitForWindow(L"#32770", companion.id(), WINDOW_WAIT_MS, true);
    ASSERT_TRUE(dialog);
    // "FRI" is no day to the runner: no schedule.
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_MODE_NONE), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_AFTER_QUIT), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_MISSED), static_cast<UINT>(BST_UNCHECKED));
    wchar_t times[512] = L"";
    GetDlgItemTextW(dialog, IDC_SLOT_TIMES, times, 512);
    EXPECT_EQ(std::wstring(times).find(L"第 2 份：2010-03-14 10:00:00"), 0u) << Narrow(times);

    CheckRadioButton(dialog, IDC_MODE_NONE, IDC_MODE_WEEK, IDC_MODE_WEEK);
    SendDlgItemMessageW(dialog, IDC_WEEKDAY, CB_SETCURSEL, 5, 0);
    SendDlgItemMessageW(dialog, IDC_HOUR, CB_SETCURSEL, 7, 0);
    SendDlgItemMessageW(dialog, IDC_MINUTE, CB_SETCURSEL, 5, 0);
    CheckDlgButton(dialog, IDC_AFTER_QUIT, BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_MISSED, BST_CHECKED);
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(companion.Wait(WINDOW_WAIT_MS), 0);

    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"Mode"), L"PRE_WEEK");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"Time"), L"07:05 FIR");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"AutobackupAfterQQuit"), L"0");
    EXPECT_EQ(Raw(folder.config(), L"AutoBackup", L"BackupAtuOnce"), L"1");
    EXPECT_EQ(Raw(folder.config(), L"Target2", L"Ended"), L"Sun Mar 14 10:00:00 2010");

    // Cancel writes nothing.
    std::string before;
    ASSERT_TRUE(ReadBytes(folder.config(), &before));
    Background again(Command(folder.marrowby(), L"--options"), folder.app());
    dialog = WaitForWindow(L"#32770", again.id(), WINDOW_WAIT_MS, true);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_MODE_WEEK), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_WEEKDAY, CB_GETCURSEL, 0, 0), 5);
    CheckRadioButton(dialog, IDC_MODE_NONE, IDC_MODE_WEEK, IDC_MODE_DAY);
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(again.Wait(WINDOW_WAIT_MS), 0);
    std::string after;
    ASSERT_TRUE(ReadBytes(folder.config(), &after));
    EXPECT_EQ(after, before);
}

// The status part reads the last run's report as the runner leaves it, follows a new one,
// and opens it in the user's viewer.
TEST(MarrowbyDialogs, StatusPartShowsTheLastRunAndOpensItsReport)
{
    CompanionFolder folder;
    std::wstring log = folder.app() + L"\\logs.txt";
    Background companion(Command(folder.marrowby(), L"--options"), folder.app());
    HWND dialog = WaitForWindow(L"#32770", companion.id(), WINDOW_WAIT_MS, true);
    ASSERT_TRUE(dialog);
    auto shown = [&] {
        wchar_t text[2048] = L"";
        GetDlgItemTextW(dialog, IDC_LAST_RUN, text, 2048);
        return std::wstring(text);
    };
    EXPECT_EQ(shown(), L"上次备份：没有记录。");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDC_OPEN_LOG)));

    ASSERT_TRUE(WriteBytes(log, "ERROR 32 (0x00000020) Copying file a.db\r\n"
                                "ERROR 5 (0x00000005) Copying file sub\\b.db\r\n"
                                "   Files :          40           9          29           0           2           0\r\n"
                                "   Ended : Sun Mar 14 10:00:01 2010\r\n"));
    const std::wstring failed = L"上次备份：失败，2 个文件无法复制：\r\na.db\r\nsub\\b.db";
    EXPECT_TRUE(PumpUntil([&] { return shown() == failed; }, WINDOW_WAIT_MS)) << Narrow(shown());
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_OPEN_LOG)));

    // The viewer is another process; its window names the file.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_OPEN_LOG, BN_CLICKED), 0);
    HWND viewer = nullptr;
    EXPECT_TRUE(PumpUntil([&] {
        for (HWND w = GetTopWindow(nullptr); w && !viewer; w = GetNextWindow(w, GW_HWNDNEXT)) {
            wchar_t title[256] = L"";
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner != companion.id() && IsWindowVisible(w) && GetWindowTextW(w, title, 256) &&
                std::wstring(title).find(L"logs") != std::wstring::npos)
                viewer = w;
        }
        return viewer != nullptr;
    }, WINDOW_WAIT_MS));
    if (viewer) PostMessageW(viewer, WM_CLOSE, 0, 0);

    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(companion.Wait(WINDOW_WAIT_MS), 0);
}

} // namespace
