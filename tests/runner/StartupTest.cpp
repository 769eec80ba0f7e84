#include "runner/Startup.h"

#include "contracts/ControlMessages.h"
#include "runner/RunnerSeams.h"
#include "shell/ShellSeams.h"
#include "tests/runner/RunnerHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

TEST(ParseOptions, MatchesWholeArgumentsInTheirExactCase)
{
    struct Case {
        const wchar_t* tail;
        bool backupNow, restore, quit;
    };
    const Case cases[] = {
        {L"", false, false, false},
        {L"-b", true, false, false},
        {L"--backupnow", true, false, false},
        {L"-r", false, true, false},
        {L"--restore", false, true, false},
        {L"-q", false, false, true},
        {L"--quit", false, false, true},
        {L"-r -q", false, true, true},
        {L"-b\t--restore   --quit", true, true, true},
        {L"-b -b --backupnow", true, false, false},
        // Quoting is the splitter's business: the argument itself is "-q".
        {L"\"-q\"", false, false, true},
        {L"other --restore more", false, true, false},
        // Another case, a prefix, a longer argument or two options run together: nothing.
        {L"-B --BACKUPNOW --Restore -Q", false, false, false},
        {L"--backupnow=1 -bq --quitnow -", false, false, false},
        {L"b restore quit", false, false, false},
        // One argument holding a blank is not two options.
        {L"\"-b -q\"", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "tail: " << std::string(c.tail, c.tail + wcslen(c.tail)));
        StartupOptions options = ParseOptions(c.tail);
        EXPECT_EQ(options.backupNow, c.backupNow);
        EXPECT_EQ(options.restore, c.restore);
        EXPECT_EQ(options.quit, c.quit);
    }
}

// ---------------------------------------------------------------------------------------
// Start-up that ends before the main loop, run in a child process: the instance mutex and
// the window class it leaves behind belong to that process and end with it.

struct IconCall {
    DWORD message;
    HWND window;
    UINT id;
};
std::vector<IconCall> iconCalls; // the child's main thread only

BOOL WINAPI RecordNotifyIcon(DWORD message, NOTIFYICONDATAW* data)
{
    iconCalls.push_back({message, data->hWnd, data->uID});
    return TRUE;
}

HANDLE NoWorker(HWND, DWORD*) { return nullptr; }

bool IsRunnerWindow(HWND window)
{
    wchar_t name[64] = {};
    return GetClassNameW(window, name, ARRAYSIZE(name)) && wcscmp(name, WINDOW_CLASS_NAME) == 0;
}

// A computer-based-training hook may veto a window's creation: CreateWindowExW then
// returns null, as when the system is out of resources.
LRESULT CALLBACK RefuseRunnerWindow(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && IsRunnerWindow(reinterpret_cast<HWND>(wParam))) return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL CALLBACK CountRunnerWindow(HWND window, LPARAM count)
{
    if (IsRunnerWindow(window)) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// Answers every message box of this process with OK from a thread of its own, keeping
// "caption|text" of each, since a box holds its caller until it is answered.
class BoxAnswerer {
public:
    BoxAnswerer() { thread_.reset(CreateThread(nullptr, 0, Body, this, 0, nullptr)); }
    // The boxes seen, once the thread has ended.
    std::vector<std::wstring> Stop()
    {
        stop_ = true;
        WaitForSingleObject(thread_.get(), INFINITE);
        return seen_;
    }

private:
    static DWORD WINAPI Body(LPVOID param)
    {
        BoxAnswerer* self = static_cast<BoxAnswerer*>(param);
        HWND answered = nullptr;
        PumpUntil([&] {
            HWND box = FindTopWindow(L"#32770", GetCurrentProcessId());
            wchar_t caption[128] = {};
            wchar_t text[256] = {};
            // The box exists a moment before its static control holds the text.
            if (box && box != answered && GetDlgItemTextW(box, 0xFFFF, text, ARRAYSIZE(text)) > 0) {
                GetWindowTextW(box, caption, ARRAYSIZE(caption));
                self->seen_.push_back(std::wstring(caption) + L"|" + text);
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                answered = box;
            }
            return self->stop_.load();
        }, INFINITE);
        return 0;
    }
    UniqueHandle thread_;
    std::atomic<bool> stop_{false};
    std::vector<std::wstring> seen_;
};

// args[0] names what fails: "class" (the window class is already registered), "window"
// (the window's creation is vetoed) or "worker" (the thread cannot be started). Prints the
// exit status, the boxes, the tray icon calls and the runner windows left on this thread.
KESTOVA_CHILD(startup_ends_early)
{
    const std::wstring failing = args.at(0);
    // Chat data found, copy tool intact, balloons recorded.
    ScopedSeams<RunnerSeams> recording = InstallRecorders();
    ScopedSeams<RunnerSeams> worker(&runnerSeams, [&](RunnerSeams& seams) {
        if (failing == L"worker") seams.startWorker = NoWorker;
    });
    ScopedSeams<ShellSeams> icons(&shellSeams, [](ShellSeams& seams) { seams.notifyIcon = RecordNotifyIcon; });
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (failing == L"class") {
        WNDCLASSW taken{};
        taken.lpfnWndProc = DefWindowProcW;
        taken.hInstance = instance;
        taken.lpszClassName = WINDOW_CLASS_NAME;
        if (!RegisterClassW(&taken)) return 101;
    }
    HHOOK hook = nullptr;
    if (failing == L"window") {
        hook = SetWindowsHookExW(WH_CBT, RefuseRunnerWindow, nullptr, GetCurrentThreadId());
        if (!hook) return 102;
    }

    BoxAnswerer answerer;
    // Started hidden: showing a window costs Wine about two seconds, and nothing here
    // depends on it.
    int status = RunStartup(instance, L"", SW_HIDE);
    std::vector<std::wstring> boxes = answerer.Stop();
    if (hook) UnhookWindowsHookEx(hook);

    std::printf("status %d\n", status);
    for (const std::wstring& box : boxes) std::printf("box %s\n", Narrow(box).c_str());
    for (const IconCall& call : iconCalls) {
        bool same = call.window == iconCalls[0].window && call.id == iconCalls[0].id;
        std::printf("icon %s%s\n", call.message == NIM_ADD ? "add" : call.message == NIM_DELETE ? "delete" : "other",
                    same ? "" : " (another icon)");
    }
    int windows = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountRunnerWindow, reinterpret_cast<LPARAM>(&windows));
    std::printf("windows %d\n", windows);
    std::printf("balloons %zu\n", recorder.balloons.size());
    return 0;
}

TEST(Startup, WindowClassWindowOrWorkerFailingEndsBeforeTheLoop)
{
    struct Case {
        const wchar_t* failing;
        const char* report;
    };
    const Case cases[] = {
        {L"class", "status 0\nbox Kestova_Brannet|This program requires Windows NT!\nwindows 0\nballoons 0\n"},
        // No box for these two; the window that was made goes, and its tray icon with it.
        {L"window", "status 10\nwindows 0\nballoons 0\n"},
        {L"worker", "status 11\nicon add\nicon delete\nwindows 0\nballoons 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.failing));
        // The store is made beside the program's folder: inside scratch.
        ScratchDir dir;
        ASSERT_TRUE(MakeDirs(dir / L"App"));
        std::wstring exe = CopySelfTo(dir / L"App", L"runner_test.exe");
        ASSERT_FALSE(exe.empty());
        ChildResult r = RunChild(exe, L"startup_ends_early", {c.failing}, 30000);
        ASSERT_TRUE(r.started);
        ASSERT_FALSE(r.timedOut);
        ASSERT_EQ(r.exitCode, 0u) << r.output;
        std::string report = r.output;
        std::erase(report, '\r'); // the child's standard output is in text mode
        EXPECT_EQ(report, c.report);
    }
}

} // namespace
