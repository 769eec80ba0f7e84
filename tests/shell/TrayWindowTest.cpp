// The tray window's procedure against a real hidden window, with the icon calls and the
// popup menu recorded through the shell seams.
#include "shell/TrayWindow.h"

#include "base/ScopedWin.h"
#include "contracts/ControlMessages.h"
#include "resources/resource.h"
#include "shell/ShellSeams.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct NotifyCall {
    DWORD message;
    NOTIFYICONDATAW data; // the bytes the caller declared in cbSize; the rest zero
};

struct TrackCall {
    HMENU menu;
    UINT flags;
    int x, y;
    HWND owner;
    const RECT* excluded;
    bool menuAliveInside;
};

std::vector<NotifyCall> notifyCalls;
std::vector<TrackCall> trackCalls;
std::function<void()> whileMenuOpen; // runs inside the recorded TrackPopupMenu
// What the recorded shell answers; null: every call succeeds.
std::function<BOOL(DWORD message)> shellAnswer;

BOOL WINAPI RecordNotifyIcon(DWORD message, NOTIFYICONDATAW* data)
{
    NotifyCall call{message, {}};
    std::memcpy(&call.data, data, std::min<size_t>(data->cbSize, sizeof call.data));
    notifyCalls.push_back(call);
    return shellAnswer ? shellAnswer(message) : TRUE;
}

// A shell that is not ready yet, as at logon: it refuses the first refusedAdds adds. An add
// that timed out in a busy shell fails and yet has added the icon (refusedAddsStillAdd).
// Once it holds the icon it refuses a second add of it, and it changes only an icon it
// holds.
struct SlowShell {
    int refusedAdds = 0;
    bool refusedAddsStillAdd = false;
    bool holdsIcon = false;

    BOOL Answer(DWORD message)
    {
        switch (message) {
        case NIM_ADD:
            if (refusedAdds > 0) {
                --refusedAdds;
                holdsIcon = holdsIcon || refusedAddsStillAdd;
                return FALSE;
            }
            if (holdsIcon) return FALSE;
            holdsIcon = true;
            return TRUE;
        case NIM_MODIFY: return holdsIcon;
        case NIM_DELETE: return std::exchange(holdsIcon, false);
        default: return FALSE;
        }
    }
};

size_t CountCalls(DWORD message)
{
    return std::count_if(notifyCalls.begin(), notifyCalls.end(),
                         [message](const NotifyCall& call) { return call.message == message; });
}

BOOL WINAPI RecordTrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT* excluded)
{
    if (whileMenuOpen) whileMenuOpen();
    trackCalls.push_back({menu, flags, x, y, owner, excluded, IsMenu(menu) != FALSE});
    return TRUE;
}

struct Posted {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Posted&) const = default;
};

void PrintTo(const Posted& p, std::ostream* os)
{
    *os << "{" << p.window << ", " << p.message << ", " << p.wParam << ", " << p.lParam << "}";
}

// Takes the messages this thread's queue holds now. The protocol's messages, WM_NULL and
// WM_QUIT are returned for checking; anything else the system posted is dispatched.
std::vector<Posted> TakePosted()
{
    std::vector<Posted> posted;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        bool ours = msg.message == WM_QUIT || msg.message == WM_NULL ||
                    (msg.message >= WM_USER && msg.message <= WM_USER + 100);
        if (ours) {
            posted.push_back({msg.hwnd, msg.message, msg.wParam, msg.lParam});
        } else {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return posted;
}

std::wstring MenuText(HMENU menu, UINT position)
{
    wchar_t text[128] = {};
    GetMenuStringW(menu, position, text, ARRAYSIZE(text), MF_BYPOSITION);
    return text;
}

// An icon's size and its colour and mask pixels (32 bpp, top row first); empty when the
// handle is no icon.
struct IconPixels {
    LONG width = 0, height = 0;
    std::vector<DWORD> color, mask;
    bool operator==(const IconPixels&) const = default;
};

void PrintTo(const IconPixels& icon, std::ostream* os)
{
    if (icon.color.empty()) *os << "no icon";
    else *os << icon.width << "x" << icon.height << " icon";
}

std::vector<DWORD> BitmapPixels(HBITMAP bitmap, LONG width, LONG height)
{
    std::vector<DWORD> pixels(static_cast<size_t>(width) * height);
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    int rows = GetDIBits(screen, bitmap, 0, height, pixels.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (rows != height) pixels.clear();
    return pixels;
}

IconPixels ReadIcon(HICON icon)
{
    ICONINFO info{};
    if (!icon || !GetIconInfo(icon, &info)) return {};
    IconPixels read;
    BITMAP bitmap{};
    if (info.hbmColor && GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) {
        read.width = bitmap.bmWidth;
        read.height = bitmap.bmHeight;
        read.color = BitmapPixels(info.hbmColor, read.width, read.height);
        read.mask = BitmapPixels(info.hbmMask, read.width, read.height);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return read;
}

// The icon is the given icon group's image at the small icon size, the size the
// notification area draws: an image stretched from another size would be blurred.
void ExpectSmallImageOf(HICON icon, int group)
{
    const int size = GetSystemMetrics(SM_CXSMICON);
    UniqueIcon exact(static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(group),
                                                   IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    ASSERT_TRUE(exact) << "icon group " << group;
    IconPixels shown = ReadIcon(icon);
    EXPECT_EQ(shown.width, size);
    EXPECT_EQ(shown.height, size);
    EXPECT_TRUE(shown == ReadIcon(exact.get())) << "not the pixels of icon group " << group;
}

// The window as start-up creates it: a hidden tool window of the runner's class.
HWND CreateRunnerWindow()
{
    static bool registered = [] {
        WNDCLASSW wc{};
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = RunnerWndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = WINDOW_CLASS_NAME;
        return RegisterClassW(&wc) != 0;
    }();
    if (!registered) return nullptr;
    return CreateWindowExW(WS_EX_TOOLWINDOW, WINDOW_CLASS_NAME, WINDOW_CAPTION, WS_POPUP, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

class TrayWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        notifyCalls.clear();
        trackCalls.clear();
        whileMenuOpen = nullptr;
        shellAnswer = nullptr;
        TakePosted();
        window_ = CreateRunnerWindow();
        ASSERT_NE(window_, nullptr) << "windows need the X display";
    }

    void TearDown() override
    {
        if (window_ && IsWindow(window_)) DestroyWindow(window_);
        TakePosted(); // the WM_QUIT of WM_DESTROY
        whileMenuOpen = nullptr;
        shellAnswer = nullptr;
    }

    // Destroys the window and creates it again against the given shell.
    void RecreateWith(SlowShell* shell)
    {
        if (IsWindow(window_)) DestroyWindow(window_);
        TakePosted();
        shellAnswer = [shell](DWORD message) { return shell->Answer(message); };
        notifyCalls.clear();
        window_ = CreateRunnerWindow();
        ASSERT_NE(window_, nullptr);
    }

    // One tick of the add's retry timer, as the system delivers it.
    void RetryTick() { SendMessageW(window_, WM_TIMER, TIMER_TRAY_ADD, 0); }

    // Clicks the icon and returns the popup that was shown.
    HMENU OpenMenu()
    {
        trackCalls.clear();
        SendMessageW(window_, WM_TRAYICON, IDI_TRAY, WM_RBUTTONDOWN);
        TakePosted();
        return trackCalls.size() == 1 ? trackCalls[0].menu : nullptr;
    }

    // Checks the identity fields every icon call carries.
    void ExpectIconIdentity(const NOTIFYICONDATAW& data)
    {
        EXPECT_EQ(data.cbSize, NOTIFYICONDATAW_V2_SIZE);
        EXPECT_EQ(data.hWnd, window_);
        EXPECT_EQ(data.uID, 103u);
    }

    ScopedSeams<ShellSeams> recording_{&shellSeams, [](ShellSeams& seams) {
        seams.notifyIcon = RecordNotifyIcon;
        seams.trackPopupMenu = RecordTrackPopupMenu;
    }};
    HWND window_ = nullptr;
};

TEST_F(TrayWindowTest, CreationAddsTheIconWithTheTooltipAndCallback)
{
    ASSERT_EQ(notifyCalls.size(), 1u);
    const NotifyCall& add = notifyCalls[0];
    EXPECT_EQ(add.message, static_cast<DWORD>(NIM_ADD));
    ExpectIconIdentity(add.data);
    EXPECT_EQ(add.data.uFlags, 7u);
    EXPECT_EQ(add.data.uCallbackMessage, 1024u);
    ExpectSmallImageOf(add.data.hIcon, IDI_TRAY);
    EXPECT_STREQ(add.data.szTip, L"Kestova");
    EXPECT_STREQ(add.data.szInfo, L"");
    EXPECT_STREQ(add.data.szInfoTitle, L"");
    EXPECT_EQ(add.data.uTimeout, 0u);
    EXPECT_EQ(add.data.dwInfoFlags, 0u);
}

TEST_F(TrayWindowTest, BalloonModifiesTheIconWithTitleTextTooltipAndTimeout)
{
    notifyCalls.clear();
    ShowBalloon(window_, L"提示", L"QQ退出了，正在备份...\r\n请稍等", L"正在备份...");
    ASSERT_EQ(notifyCalls.size(), 1u);
    const NotifyCall& modify = notifyCalls[0];
    EXPECT_EQ(modify.message, static_cast<DWORD>(NIM_MODIFY));
    ExpectIconIdentity(modify.data);
    EXPECT_EQ(modify.data.uFlags, 23u);
    EXPECT_EQ(modify.data.uCallbackMessage, 1024u);
    ExpectSmallImageOf(modify.data.hIcon, IDI_TRAY);
    EXPECT_STREQ(modify.data.szInfoTitle, L"提示");
    EXPECT_STREQ(modify.data.szInfo, L"QQ退出了，正在备份...\r\n请稍等");
    EXPECT_STREQ(modify.data.szTip, L"正在备份...");
    EXPECT_EQ(modify.data.uTimeout, 10000u);
    EXPECT_EQ(modify.data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
    EXPECT_EQ(modify.data.dwState, 0u);
    EXPECT_EQ(modify.data.dwStateMask, 0u);
}

TEST_F(TrayWindowTest, BalloonCutsTextsToTheirFieldsWithoutOverrunning)
{
    const std::wstring face = L"\U0001F600"; // one character, two UTF-16 units
    struct Case {
        const char* name;
        std::wstring title, text, tooltip;
        std::wstring expectTitle, expectText, expectTooltip;
    };
    const Case cases[] = {
        {"each one unit too long", std::wstring(64, L'T'), std::wstring(256, L'X'), std::wstring(128, L'P'),
         std::wstring(63, L'T'), std::wstring(255, L'X'), std::wstring(127, L'P')},
        {"far too long", std::wstring(1000, L'T'), std::wstring(5000, L'X'), std::wstring(700, L'P'),
         std::wstring(63, L'T'), std::wstring(255, L'X'), std::wstring(127, L'P')},
        {"exactly full", std::wstring(63, L'T'), std::wstring(255, L'X'), std::wstring(127, L'P'),
         std::wstring(63, L'T'), std::wstring(255, L'X'), std::wstring(127, L'P')},
        {"a pair across the limit is dropped whole", std::wstring(62, L'T') + face,
         std::wstring(254, L'X') + face, std::wstring(126, L'P') + face, std::wstring(62, L'T'),
         std::wstring(254, L'X'), std::wstring(126, L'P')},
        {"a pair that fits is kept", std::wstring(61, L'T') + face, L"", L"Kestova",
         std::wstring(61, L'T') + face, L"", L"Kestova"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        notifyCalls.clear();
        ShowBalloon(window_, c.title.c_str(), c.text.c_str(), c.tooltip.c_str());
        ASSERT_EQ(notifyCalls.size(), 1u);
        const NOTIFYICONDATAW& data = notifyCalls[0].data;
        EXPECT_EQ(std::wstring(data.szInfoTitle), c.expectTitle);
        EXPECT_EQ(std::wstring(data.szInfo), c.expectText);
        EXPECT_EQ(std::wstring(data.szTip), c.expectTooltip);
        // The fields that follow each text are intact.
        EXPECT_EQ(data.dwState, 0u);
        EXPECT_EQ(data.uTimeout, 10000u);
        EXPECT_EQ(data.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));
    }
}

TEST_F(TrayWindowTest, DestroyRemovesTheIconFreesTheMenuAndQuitsWithZero)
{
    HMENU popup = OpenMenu();
    ASSERT_NE(popup, nullptr);
    HICON icon = notifyCalls.at(0).data.hIcon;
    notifyCalls.clear();
    ASSERT_TRUE(DestroyWindow(window_));

    ASSERT_EQ(notifyCalls.size(), 1u);
    EXPECT_EQ(notifyCalls[0].message, static_cast<DWORD>(NIM_DELETE));
    ExpectIconIdentity(notifyCalls[0].data);
    EXPECT_EQ(notifyCalls[0].data.uFlags, 0u);
    EXPECT_FALSE(IsMenu(popup));
    // The icon was loaded for this window alone, and goes with it.
    EXPECT_EQ(ReadIcon(icon), IconPixels{}) << "the icon leaks";

    std::vector<Posted> posted = TakePosted();
    auto quit = std::find_if(posted.begin(), posted.end(), [](const Posted& p) { return p.message == WM_QUIT; });
    ASSERT_NE(quit, posted.end());
    EXPECT_EQ(quit->wParam, 0u);
}

TEST_F(TrayWindowTest, MenuCommandsPostTheirRequests)
{
    struct Case {
        const char* name;
        WPARAM wParam;
        UINT expected; // 0: nothing posted
    };
    const Case cases[] = {
        {"exit", IDM_EXIT, WM_EXIT_REQUEST},
        {"backup now", IDM_BACKUP_NOW, WM_BACKUP_REQUEST},
        {"restore", IDM_RESTORE, WM_RESTORE_REQUEST},
        {"options", IDM_OPTIONS, WM_OPTIONS_REQUEST},
        {"status, the companion's settings too", IDM_STATUS, WM_OPTIONS_REQUEST},
        {"from an accelerator (high word 1)", MAKEWPARAM(IDM_BACKUP_NOW, 1), WM_BACKUP_REQUEST},
        {"unused id between the four", 40004, 0},
        {"the menu's own resource id", IDR_TRAYMENU, 0},
        {"a command's id in the high word only", MAKEWPARAM(0, IDM_EXIT), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LRESULT result = SendMessageW(window_, WM_COMMAND, c.wParam, 0);
        EXPECT_EQ(result, 0);
        std::vector<Posted> expected;
        if (c.expected) expected.push_back({window_, c.expected, 0, 0});
        EXPECT_EQ(TakePosted(), expected);
    }
    EXPECT_TRUE(trackCalls.empty());
    EXPECT_EQ(notifyCalls.size(), 1u); // only the add of the creation
}

// A close from outside (a plain taskkill, a tool that closes windows) is the menu's exit,
// which the main loop refuses during a backup; only the end of the session closes at once.
TEST_F(TrayWindowTest, ACloseFromOutsideIsAnExitRequestUnlessTheSessionEnds)
{
    struct Step {
        UINT message;
        WPARAM wParam;
        LRESULT result;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        bool exitRequested;
        bool destroyed;
    };
    const Case cases[] = {
        {"a close", {{WM_CLOSE, 0, 0}}, true, false},
        {"the session ends", {{WM_QUERYENDSESSION, 0, TRUE}, {WM_ENDSESSION, TRUE, 0}}, false, true},
        {"a close while it ends", {{WM_QUERYENDSESSION, 0, TRUE}, {WM_CLOSE, 0, 0}}, false, true},
        {"a close after the end was called off",
         {{WM_QUERYENDSESSION, 0, TRUE}, {WM_ENDSESSION, FALSE, 0}, {WM_CLOSE, 0, 0}}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!IsWindow(window_)) window_ = CreateRunnerWindow();
        ASSERT_NE(window_, nullptr);
        for (const Step& step : c.steps)
            EXPECT_EQ(SendMessageW(window_, step.message, step.wParam, ENDSESSION_LOGOFF), step.result);
        std::vector<Posted> posted = TakePosted();
        bool exitRequested = std::count_if(posted.begin(), posted.end(), [](const Posted& p) {
            return p.message == WM_EXIT_REQUEST;
        }) == 1;
        EXPECT_EQ(exitRequested, c.exitRequested);
        EXPECT_EQ(!IsWindow(window_), c.destroyed);
    }
}

TEST_F(TrayWindowTest, OnlyButtonDownOnTheIconOpensTheMenuAtTheCursor)
{
    struct Case {
        LPARAM notification;
        bool opens;
    };
    const Case cases[] = {
        {WM_LBUTTONDOWN, true},    {WM_RBUTTONDOWN, true},     {WM_LBUTTONUP, false},
        {WM_RBUTTONUP, false},     {WM_LBUTTONDBLCLK, false},  {WM_RBUTTONDBLCLK, false},
        {WM_MOUSEMOVE, false},     {WM_CONTEXTMENU, false},    {NIN_SELECT, false},
        {MAKELPARAM(WM_RBUTTONDOWN, 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "lParam " << c.notification);
        trackCalls.clear();
        POINT cursor{};
        GetCursorPos(&cursor);
        SendMessageW(window_, WM_TRAYICON, IDI_TRAY, c.notification);
        std::vector<Posted> posted = TakePosted();
        if (!c.opens) {
            EXPECT_TRUE(trackCalls.empty());
            EXPECT_TRUE(posted.empty());
            continue;
        }
        ASSERT_EQ(trackCalls.size(), 1u);
        const TrackCall& track = trackCalls[0];
        EXPECT_EQ(GetMenuItemCount(track.menu), 5);
        EXPECT_EQ(GetMenuItemID(track.menu, 0), static_cast<UINT>(IDM_BACKUP_NOW));
        EXPECT_EQ(track.flags, static_cast<UINT>(TPM_RIGHTBUTTON));
        EXPECT_EQ(track.x, cursor.x);
        EXPECT_EQ(track.y, cursor.y);
        EXPECT_EQ(track.owner, window_);
        EXPECT_EQ(track.excluded, nullptr);
        // Afterwards a WM_NULL lets the menu finish closing; nothing else is posted.
        EXPECT_EQ(posted, (std::vector<Posted>{{window_, WM_NULL, 0, 0}}));
    }
    EXPECT_EQ(notifyCalls.size(), 1u);
}

TEST_F(TrayWindowTest, NewTaskbarGetsTheIconBackAndTheOldMenuIsFreed)
{
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    ASSERT_NE(taskbarCreated, 0u);
    HMENU before = OpenMenu();
    ASSERT_NE(before, nullptr);
    const HICON icon = notifyCalls.at(0).data.hIcon;
    for (int restart = 1; restart <= 3; ++restart) {
        SCOPED_TRACE(testing::Message() << "shell restart " << restart);
        ShowBalloon(window_, L"提示", L"正在进行补充备份，通常只会用很短的时间。", L"正在备份...");
        notifyCalls.clear();
        SendMessageW(window_, taskbarCreated, 0, 0);

        ASSERT_EQ(notifyCalls.size(), 1u);
        EXPECT_EQ(notifyCalls[0].message, static_cast<DWORD>(NIM_ADD));
        ExpectIconIdentity(notifyCalls[0].data);
        EXPECT_EQ(notifyCalls[0].data.uFlags, 7u);
        EXPECT_STREQ(notifyCalls[0].data.szTip, L"Kestova");
        EXPECT_EQ(notifyCalls[0].data.hIcon, icon) << "an icon loaded per restart leaks";

        HMENU after = OpenMenu();
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(MenuText(after, 4), L"退出(&E)");
        EXPECT_FALSE(IsMenu(before)) << "the replaced menu leaks";
        before = after;
    }
    EXPECT_TRUE(IsWindow(window_));
}

TEST_F(TrayWindowTest, NewTaskbarWhileTheMenuIsOpenKeepsItUntilItCloses)
{
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    // The shell restarts while the menu's modal loop runs.
    whileMenuOpen = [&] {
        whileMenuOpen = nullptr;
        SendMessageW(window_, taskbarCreated, 0, 0);
    };
    trackCalls.clear();
    SendMessageW(window_, WM_TRAYICON, IDI_TRAY, WM_LBUTTONDOWN);
    TakePosted();
    ASSERT_EQ(trackCalls.size(), 1u);
    HMENU opened = trackCalls[0].menu;
    EXPECT_TRUE(trackCalls[0].menuAliveInside) << "the open menu was destroyed under the menu loop";
    EXPECT_FALSE(IsMenu(opened)) << "the replaced menu leaks once closed";

    HMENU next = OpenMenu();
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, opened);
    EXPECT_EQ(GetMenuItemCount(next), 5);
}

// At logon the program can start before the taskbar is ready: a refused add is tried again
// on the window's timer until the shell takes it, within the bound, and the icon it adds is
// the one of a first add.
TEST_F(TrayWindowTest, ARefusedAddIsTriedAgainUntilTheShellTakesItWithinTheBound)
{
    struct Case {
        const char* name;
        int refusedAdds;
        bool refusedAddsStillAdd;
        int retriesToIcon; // -1: none within the bound
    };
    const Case cases[] = {
        {"taken at once", 0, false, 0},
        {"refused at creation, taken at the first retry", 1, false, 1},
        {"refused for a while", 10, false, 10},
        {"taken at the last retry", TRAY_ADD_RETRIES, false, TRAY_ADD_RETRIES},
        {"never taken within the bound", TRAY_ADD_RETRIES + 1, false, -1},
        {"an add that timed out and added the icon all the same", 1, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SlowShell shell{c.refusedAdds, c.refusedAddsStillAdd};
        RecreateWith(&shell);
        int retries = 0;
        while (!shell.holdsIcon && retries < TRAY_ADD_RETRIES + 3) {
            RetryTick();
            ++retries;
        }
        const int tries = 1 + (c.retriesToIcon >= 0 ? c.retriesToIcon : TRAY_ADD_RETRIES);
        if (c.retriesToIcon >= 0) {
            EXPECT_TRUE(shell.holdsIcon);
            EXPECT_EQ(retries, c.retriesToIcon);
        } else {
            EXPECT_FALSE(shell.holdsIcon);
        }
        EXPECT_EQ(CountCalls(NIM_ADD), static_cast<size_t>(tries));
        const NotifyCall& add = *std::find_if(notifyCalls.rbegin(), notifyCalls.rend(),
                                              [](const NotifyCall& call) { return call.message == NIM_ADD; });
        ExpectIconIdentity(add.data);
        EXPECT_EQ(add.data.uFlags, 7u);
        EXPECT_EQ(add.data.uCallbackMessage, 1024u);
        EXPECT_STREQ(add.data.szTip, L"Kestova");

        // The retries have stopped: later ticks try nothing, and the timer is gone.
        size_t calls = notifyCalls.size();
        RetryTick();
        RetryTick();
        EXPECT_EQ(notifyCalls.size(), calls);
        EXPECT_FALSE(KillTimer(window_, TIMER_TRAY_ADD));
        if (!shell.holdsIcon) {
            // Past the bound, a taskbar that comes announces itself and gets the icon.
            SendMessageW(window_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
            EXPECT_TRUE(shell.holdsIcon);
        }
    }
}

// The retry runs on a real timer of the window, which the message loop delivers.
TEST_F(TrayWindowTest, ARefusedAddIsTriedAgainOnTheWindowsTimer)
{
    SlowShell shell{1};
    RecreateWith(&shell);
    EXPECT_FALSE(shell.holdsIcon);
    EXPECT_TRUE(PumpUntil([&] { return shell.holdsIcon; }, 3 * TRAY_ADD_RETRY_MS));
    EXPECT_EQ(CountCalls(NIM_ADD), 2u);
    EXPECT_FALSE(KillTimer(window_, TIMER_TRAY_ADD)) << "the timer runs on after the add";
}

constexpr wchar_t FAILED_TIP[] = L"上次备份失败，请打开 Kestova 查看";

// After a failed backup the icon shows it until a run succeeds, since the balloon alone can
// go unseen (focus assist, a full-screen program): the failure icon and tooltip stay
// through the balloons of the next run and a new taskbar, and go when the alert is cleared.
TEST_F(TrayWindowTest, AnAlertStaysOnTheIconUntilItIsCleared)
{
    enum Action { ALERT, CLEAR, BALLOON_BUSY, BALLOON_IDLE, NEW_TASKBAR };
    struct Step {
        const char* name;
        Action action;
        DWORD message;
        UINT flags;
        int group;
        const wchar_t* tooltip;
    };
    const Step steps[] = {
        {"the alert is set", ALERT, NIM_MODIFY, NIF_ICON | NIF_TIP, IDI_TRAY_FAILED, FAILED_TIP},
        {"the next run's balloon", BALLOON_BUSY, NIM_MODIFY, 23, IDI_TRAY_FAILED, L"正在备份..."},
        {"a new taskbar", NEW_TASKBAR, NIM_ADD, 7, IDI_TRAY_FAILED, FAILED_TIP},
        {"the alert set again", ALERT, NIM_MODIFY, NIF_ICON | NIF_TIP, IDI_TRAY_FAILED, FAILED_TIP},
        {"the alert cleared", CLEAR, NIM_MODIFY, NIF_ICON | NIF_TIP, IDI_TRAY, L"Kestova"},
        {"a balloon after it", BALLOON_IDLE, NIM_MODIFY, 23, IDI_TRAY, L"Kestova"},
        {"a new taskbar after it", NEW_TASKBAR, NIM_ADD, 7, IDI_TRAY, L"Kestova"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        notifyCalls.clear();
        switch (step.action) {
        case ALERT: SetTrayAlert(window_, FAILED_TIP); break;
        case CLEAR: SetTrayAlert(window_, nullptr); break;
        case BALLOON_BUSY: ShowBalloon(window_, L"提示", L"正在进行补充备份，通常只会用很短的时间。", L"正在备份..."); break;
        case BALLOON_IDLE: ShowBalloon(window_, L"提示", L"备份成功完成！", L"Kestova"); break;
        case NEW_TASKBAR: SendMessageW(window_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0); break;
        }
        ASSERT_EQ(notifyCalls.size(), 1u);
        const NOTIFYICONDATAW& data = notifyCalls[0].data;
        EXPECT_EQ(notifyCalls[0].message, step.message);
        ExpectIconIdentity(data);
        EXPECT_EQ(data.uFlags, step.flags);
        ExpectSmallImageOf(data.hIcon, step.group);
        EXPECT_STREQ(data.szTip, step.tooltip);
    }
}

// An alert set while the shell has no icon yet comes with the icon's late add, without
// the balloons that went nowhere meanwhile.
TEST_F(TrayWindowTest, AnAlertSetWhileTheIconIsMissingComesWithItsAdd)
{
    SlowShell shell{2};
    RecreateWith(&shell);
    SetTrayAlert(window_, FAILED_TIP);
    ShowBalloon(window_, L"注意", L"备份失败！", L"Kestova");
    RetryTick();
    ASSERT_FALSE(shell.holdsIcon);
    notifyCalls.clear();
    RetryTick();
    ASSERT_TRUE(shell.holdsIcon);
    ASSERT_EQ(notifyCalls.size(), 1u);
    const NOTIFYICONDATAW& add = notifyCalls[0].data;
    EXPECT_EQ(notifyCalls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(add.uFlags, 7u);
    ExpectSmallImageOf(add.hIcon, IDI_TRAY_FAILED);
    EXPECT_STREQ(add.szTip, FAILED_TIP);
    EXPECT_STREQ(add.szInfo, L"");
}

// The way to the reason: a click on a balloon, and while the icon shows a failure, the
// first item of its menu, open the companion's settings, which give the last run's outcome.
TEST_F(TrayWindowTest, ABalloonClickAndTheStatusItemOpenTheCompanionsStatus)
{
    struct Case {
        const char* name;
        const wchar_t* alert;
        bool newTaskbar;
        int items;
    };
    const Case cases[] = {
        {"no alert", nullptr, false, 5},
        {"an alert", FAILED_TIP, false, 7},
        {"its menu opened again", FAILED_TIP, false, 7},
        {"the menu of a new taskbar", FAILED_TIP, true, 7},
        {"the alert cleared", nullptr, false, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTrayAlert(window_, c.alert);
        if (c.newTaskbar) SendMessageW(window_, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        TakePosted();

        SendMessageW(window_, WM_TRAYICON, IDI_TRAY, NIN_BALLOONUSERCLICK);
        EXPECT_EQ(TakePosted(), (std::vector<Posted>{{window_, WM_OPTIONS_REQUEST, 0, 0}}));

        HMENU menu = OpenMenu();
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(GetMenuItemCount(menu), c.items);
        EXPECT_EQ(MenuText(menu, c.items - 1), L"退出(&E)");
        if (c.alert) {
            EXPECT_EQ(GetMenuItemID(menu, 0), static_cast<UINT>(IDM_STATUS));
            EXPECT_EQ(MenuText(menu, 0), L"查看备份状态(&S)");
            EXPECT_EQ(GetMenuDefaultItem(menu, FALSE, 0), static_cast<UINT>(IDM_STATUS));
            EXPECT_TRUE(GetMenuState(menu, 1, MF_BYPOSITION) & MF_SEPARATOR);
        } else {
            EXPECT_EQ(GetMenuItemID(menu, 0), static_cast<UINT>(IDM_BACKUP_NOW));
            EXPECT_EQ(GetMenuDefaultItem(menu, FALSE, 0), static_cast<UINT>(-1));
        }
    }
}

// With the real shell under Wine: the icon data the window passes is accepted, and the
// icon exists exactly from creation to destruction.
TEST(TrayWindowRealShellTest, IconExistsFromCreationUntilDestruction)
{
    ASSERT_EQ(shellSeams.notifyIcon, RealShellSeams().notifyIcon);
    HWND window = CreateRunnerWindow();
    ASSERT_NE(window, nullptr);
    auto iconExists = [window] {
        NOTIFYICONDATAW probe{};
        probe.cbSize = NOTIFYICONDATAW_V2_SIZE;
        probe.hWnd = window;
        probe.uID = IDI_TRAY;
        probe.uFlags = NIF_TIP;
        wcscpy(probe.szTip, L"Kestova");
        return Shell_NotifyIconW(NIM_MODIFY, &probe) != FALSE;
    };
    EXPECT_TRUE(iconExists());
    ShowBalloon(window, L"提示", L"备份成功完成！", L"Kestova");
    EXPECT_TRUE(iconExists());
    DestroyWindow(window);
    EXPECT_FALSE(iconExists());
    TakePosted();
}

} // namespace
