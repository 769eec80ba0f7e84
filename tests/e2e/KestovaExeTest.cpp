// The built Kestova.exe as a user meets it: started as a process of its own from a scratch
// program folder (scratch\App, so its store is scratch\Backup_Data), with its message
// boxes read and answered from outside, and its exit status checked.
#include "backup/BackupStore.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "tests/e2e/KestovaHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/StandIn.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

const wchar_t TEXT_NO_CHAT_DATA[] =
    L"暂时只支持QQ2010，但是您似乎没有安装，或者有些问题，请使用腾讯官方版安装！";
const wchar_t TEXT_TOOL_DAMAGED[] = L"备份程序受损，请重新安装";
const wchar_t TEXT_NO_STORE[] = L"无法访问备份目录，请检查您的硬盘分区，并且不要设置备份目录为只读";

void PressOk(HWND box)
{
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

// Waits for the box start-up shows before it gives up, checks its caption and text,
// answers it, and returns the exit status; -2 when no box came.
long long AnswerStartupBox(const Process& kestova, const wchar_t* text)
{
    MessageBoxSeen box;
    if (!kestova.WaitForBox(&box)) return -2;
    EXPECT_EQ(box.caption, L"OK");
    EXPECT_EQ(box.text, text);
    // Until it is answered, the process waits.
    EXPECT_TRUE(kestova.Running());
    PressOk(box.box);
    return kestova.WaitExit();
}

TEST_F(KestovaExe, QuitEndsAfterTheRestoreLaunchWithoutBecomingResident)
{
    struct Case {
        const wchar_t* arguments;
        bool companionStarted;
    };
    const Case cases[] = {
        {L"--quit", false},
        {L"-q", false},
        {L"-r -q", true},
        {L"--quit --restore", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.arguments));
        RemoveTree(app_ + L"\\companion-starts.txt");
        Process kestova = Start(c.arguments);
        ASSERT_TRUE(kestova.started());
        EXPECT_EQ(kestova.WaitExit(), 0);
        if (c.companionStarted) {
            ASSERT_TRUE(WaitForCompanionStarts(1));
            EXPECT_EQ(CompanionStarts(), RestoreLine());
        } else {
            EXPECT_FALSE(PathExists(app_ + L"\\companion-starts.txt"));
        }
        // No chat client is installed here, so getting this far shows that nothing past
        // the quit was tried; nor was the store made.
        EXPECT_FALSE(PathExists(scratch_ / L"Backup_Data"));
    }
}

TEST_F(KestovaExe, WithoutTheChatClientItSaysSoAndEndsWithSeven)
{
    Process kestova = Start(L"--backupnow");
    ASSERT_TRUE(kestova.started());
    EXPECT_EQ(AnswerStartupBox(kestova, TEXT_NO_CHAT_DATA), 7);
    EXPECT_FALSE(PathExists(scratch_ / L"Backup_Data"));
}

TEST_F(KestovaExe, AMissingOrAlteredCopyToolEndsWithNine)
{
    InstallChatClient();
    std::string tool;
    ASSERT_TRUE(ReadBytes(app_ + L"\\robocopy.exe", &tool));
    std::string altered = tool;
    altered[altered.size() / 2] ^= 0x01;
    struct Case {
        const char* name;
        bool present;
        std::string bytes;
    };
    const Case cases[] = {
        {"missing", false, ""},
        {"one byte altered", true, altered},
        {"one byte more", true, tool + '\0'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RemoveTree(app_ + L"\\robocopy.exe"));
        if (c.present) {
            ASSERT_TRUE(WriteBytes(app_ + L"\\robocopy.exe", c.bytes));
        }
        Process kestova = Start(L"");
        ASSERT_TRUE(kestova.started());
        EXPECT_EQ(AnswerStartupBox(kestova, TEXT_TOOL_DAMAGED), 9);
        // The store comes before the tool's check.
        EXPECT_TRUE(IsDirectory(scratch_ / L"Backup_Data\\5"));
    }
}

TEST_F(KestovaExe, AStoreThatCannotBeMadeEndsWithEight)
{
    InstallChatClient();
    // A plain file where the store's folder belongs: its slots cannot be made in it.
    ASSERT_TRUE(WriteBytes(scratch_ / L"Backup_Data", "not a folder"));
    Process kestova = Start(L"-b");
    ASSERT_TRUE(kestova.started());
    EXPECT_EQ(AnswerStartupBox(kestova, TEXT_NO_STORE), 8);
    EXPECT_FALSE(IsDirectory(scratch_ / L"Backup_Data"));
}

TEST_F(KestovaExe, ASecondStartEndsSilentlyAndTheExitMessageEndsTheFirst)
{
    InstallChatClient();
    Process resident = Start(L"");
    ASSERT_TRUE(resident.started());
    HWND window = resident.WaitForWindow();
    ASSERT_NE(window, nullptr);

    // A box would keep the second start waiting past the deadline.
    Process second = Start(L"-b -r");
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.WaitExit(), 0);
    // Its restore was still started, before the single-instance test.
    ASSERT_TRUE(WaitForCompanionStarts(1));
    EXPECT_EQ(CompanionStarts(), RestoreLine());
    EXPECT_TRUE(resident.Running());

    EXPECT_EQ(QuitByExitMessage(resident, window), 0);
    // The resident never ran a backup: requests are served in order, so one asked for by
    // the second start would have run before the quit.
    EXPECT_FALSE(PathExists(app_ + L"\\logs.txt"));
    EXPECT_EQ(ReadIni(app_ + L"\\config.ini", L"Target1", L"Ended"), L"");

    // The instance name is free again: a new start becomes resident.
    Process next = Start(L"");
    ASSERT_TRUE(next.started());
    HWND nextWindow = next.WaitForWindow();
    ASSERT_NE(nextWindow, nullptr);
    EXPECT_EQ(QuitByExitMessage(next, nextWindow), 0);
}

TEST_F(KestovaExe, BackupNowMirrorsTheChatDataIntoSlotOne)
{
    InstallChatClient();
    Process kestova = Start(L"--backupnow");
    ASSERT_TRUE(kestova.started());
    HWND window = kestova.WaitForWindow();
    ASSERT_NE(window, nullptr);
    std::wstring config = app_ + L"\\config.ini";
    ASSERT_TRUE(PumpUntil([&] { return !ReadIni(config, L"Target1", L"Ended").empty(); }, 60000));
    EXPECT_EQ(QuitByExitMessage(kestova, window), 0);

    std::wstring store = scratch_ / L"Backup_Data";
    TreeSnapshot source = Snapshot(dataDir_);
    EXPECT_EQ(Snapshot(store + L"\\1"), source);
    EXPECT_EQ(source.size(), 9u); // the fixture's files and folders, as a check of the listing
    for (const wchar_t* slot : {L"2", L"3", L"4", L"5"}) {
        SCOPED_TRACE(Narrow(slot));
        EXPECT_TRUE(IsDirectory(store + L"\\" + slot));
        EXPECT_TRUE(Snapshot(store + L"\\" + slot).empty());
        EXPECT_EQ(ReadIni(config, (std::wstring(L"Target") + slot).c_str(), L"Ended"), L"");
    }
    // The stamp is the tool's completion time, "Www Mmm dd hh:mm:ss yyyy", of today.
    std::wstring stamp = ReadIni(config, L"Target1", L"Ended");
    EXPECT_EQ(stamp.size(), 24u) << Narrow(stamp);
    std::tm parsed = ParseStamp(stamp.c_str());
    std::time_t now = std::time(nullptr);
    std::tm today = *std::localtime(&now);
    EXPECT_EQ(parsed.tm_year, today.tm_year) << Narrow(stamp);
    std::string log;
    EXPECT_TRUE(ReadBytes(app_ + L"\\logs.txt", &log));
    EXPECT_FALSE(log.empty());
}

TEST_F(KestovaExe, TheExitMessageEndsAnIdleResidentWithZero)
{
    InstallChatClient();
    // The client watch armed, as most installations have it.
    ASSERT_TRUE(WriteBytes(app_ + L"\\config.ini", "[AutoBackup]\r\nAutobackupAfterQQuit=1\r\n"));
    Process kestova = Start(L"");
    ASSERT_TRUE(kestova.started());
    HWND window = kestova.WaitForWindow();
    ASSERT_NE(window, nullptr);
    UINT exitMessage = RegisterWindowMessageW(EXIT_MESSAGE);
    ASSERT_NE(exitMessage, 0u);
    // Idle, so the first request is obeyed.
    PostMessageW(window, exitMessage, 0, 0);
    EXPECT_EQ(kestova.WaitExit(), 0);
    EXPECT_FALSE(IsWindow(window));
}

// "-b" at a start that also finds a missed scheduled run: the two requests are served one
// after the other, the second choosing its slot after the first has stamped its own.
// Without the companion's file: that is found out only when it is started, so start-up
// gives no warning (a box would leave no window to find) and backs up as ever.
TEST_F(KestovaExe, BackupNowAndAMissedRunFillSlotsOneAndTwoWithoutTheCompanion)
{
    InstallChatClient();
    ASSERT_TRUE(DeleteFileW((app_ + L"\\Marrowby.exe").c_str()));
    std::wstring config = app_ + L"\\config.ini";
    // Daily at midnight, always past today; no slot holds a stamp.
    ASSERT_TRUE(WriteBytes(config, "[AutoBackup]\r\nBackupAtuOnce=1\r\nMode=PRE_DAY\r\nTime=00:00\r\n"));
    Process kestova = Start(L"-b");
    ASSERT_TRUE(kestova.started());
    HWND window = kestova.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !ReadIni(config, L"Target2", L"Ended").empty(); }, 60000));
    EXPECT_EQ(QuitByExitMessage(kestova, window), 0);

    std::wstring store = scratch_ / L"Backup_Data";
    TreeSnapshot source = Snapshot(dataDir_);
    for (const wchar_t* slot : {L"1", L"2"}) {
        SCOPED_TRACE(Narrow(slot));
        EXPECT_EQ(Snapshot(store + L"\\" + slot), source);
        EXPECT_EQ(ReadIni(config, (std::wstring(L"Target") + slot).c_str(), L"Ended").size(), 24u);
    }
    for (const wchar_t* slot : {L"3", L"4", L"5"}) {
        SCOPED_TRACE(Narrow(slot));
        EXPECT_TRUE(Snapshot(store + L"\\" + slot).empty());
        EXPECT_EQ(ReadIni(config, (std::wstring(L"Target") + slot).c_str(), L"Ended"), L"");
    }
}

// The companion changes a setting of the running program: its reload message arms the
// client watch, and the chat client's exit then runs a backup.
TEST_F(KestovaExe, TheCompanionsReloadArmsTheClientWatch)
{
    InstallChatClient();
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"Marrowby.exe").c_str(), (app_ + L"\\Marrowby.exe").c_str(), FALSE));
    std::wstring config = app_ + L"\\config.ini";
    ASSERT_TRUE(WriteBytes(config, "[AutoBackup]\r\nAutobackupAfterQQuit=0\r\n"));

    StandInGroup client;
    ASSERT_TRUE(MakeDirs(scratch_ / L"QQ\\Bin"));
    std::wstring qq = CopyStandIn(scratch_ / L"QQ\\Bin", L"QQ.exe");
    ASSERT_FALSE(qq.empty());
    ASSERT_TRUE(client.Start(qq));
    Process kestova = Start(L"");
    ASSERT_TRUE(kestova.started());
    HWND window = kestova.WaitForWindow();
    ASSERT_NE(window, nullptr);

    // Unwatched, the client's exit goes unnoticed.
    ASSERT_TRUE(client.EndAll());
    ASSERT_FALSE(PumpUntil([&] { return !ReadIni(config, L"Target1", L"Ended").empty(); }, 2000));

    ASSERT_TRUE(client.Start(qq));
    ChildResult set = RunCommand(QuoteArgument(app_ + L"\\Marrowby.exe") +
                                 L" --options --set AutobackupAfterQQuit=1", app_);
    ASSERT_TRUE(set.started);
    ASSERT_EQ(set.exitCode, 0u) << set.output;
    EXPECT_EQ(ReadIni(config, L"AutoBackup", L"AutobackupAfterQQuit"), L"1");
    // The watch needs a tick to see the client running before its exit counts.
    Sleep(1000);
    ASSERT_TRUE(client.EndAll());
    ASSERT_TRUE(PumpUntil([&] { return !ReadIni(config, L"Target1", L"Ended").empty(); }, 60000));
    EXPECT_EQ(Snapshot(scratch_ / L"Backup_Data\\1"), Snapshot(dataDir_));
    EXPECT_EQ(QuitByExitMessage(kestova, window), 0);
}

// The copy tool a process started, or 0 when there is none.
DWORD FindCopyToolOf(DWORD parentId)
{
    std::vector<DWORD> tools = CopyToolsOf(parentId);
    return tools.empty() ? 0 : tools.front();
}

// Killed mid-copy (Task Manager, a crash), the runner takes its copy tool with it: nothing
// goes on writing into the slot, and a runner started again fills that slot alone.
TEST_F(KestovaExe, KilledMidCopyItsCopyToolEndsWithIt)
{
    InstallChatClient();
    std::vector<UniqueHandle> locks;
    ASSERT_NO_FATAL_FAILURE(HoldChatFilesOpen(&locks));
    std::wstring config = app_ + L"\\config.ini";
    Process kestova = Start(L"--backupnow");
    ASSERT_TRUE(kestova.started());
    DWORD toolId = 0;
    ASSERT_TRUE(PumpUntil([&] { return (toolId = FindCopyToolOf(kestova.id())) != 0; }, DEADLINE_MS));
    UniqueHandle tool(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, toolId));
    ASSERT_TRUE(tool);
    // The tool is listed from its creation on, a moment before the runner has put it in
    // its job (a runner killed then leaves it suspended, never run); the runner opens its
    // log only once the tool is in the job and running.
    ASSERT_TRUE(PumpUntil([&] { return PathExists(app_ + L"\\logs.txt"); }, DEADLINE_MS));

    ASSERT_TRUE(kestova.Kill());
    bool toolEnded = WaitForSingleObject(tool.get(), 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(toolEnded) << "the copy tool outlived the runner";
    if (!toolEnded) {
        TerminateProcess(tool.get(), 255);
        WaitForSingleObject(tool.get(), DEADLINE_MS);
    }
    EXPECT_EQ(ReadIni(config, L"Target1", L"Ended"), L"");

    // The slot without a stamp is the oldest: the next runner redoes it, and its tool is
    // the only one writing there.
    locks.clear();
    Process again = Start(L"--backupnow");
    ASSERT_TRUE(again.started());
    HWND window = again.WaitForWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !ReadIni(config, L"Target1", L"Ended").empty(); }, 60000));
    EXPECT_EQ(Snapshot(scratch_ / L"Backup_Data\\1"), Snapshot(dataDir_));
    EXPECT_EQ(QuitByExitMessage(again, window), 0);
}

// A close from outside during a backup (a plain taskkill, a tool that closes windows) is
// refused as the menu's exit is; the end of the session lets the runner go, its copy tool
// ends with it, and the slot it was filling keeps its old stamp.
TEST_F(KestovaExe, DuringABackupACloseIsRefusedAndTheSessionEndLetsItGo)
{
    InstallChatClient();
    std::wstring config = app_ + L"\\config.ini";
    // Slot 3 holds the oldest generation, so the run goes there.
    const wchar_t* stamps[] = {L"Sun Mar 14 10:00:00 2010", L"Mon Mar 15 10:00:00 2010",
                               L"Mon Jan 04 10:00:00 2010", L"Tue Mar 16 10:00:00 2010",
                               L"Wed Mar 17 10:00:00 2010"};
    std::string ini;
    for (int n = 0; n < 5; ++n)
        ini += "[Target" + std::to_string(n + 1) + "]\r\nEnded=" + Narrow(stamps[n]) + "\r\n";
    ASSERT_TRUE(WriteBytes(config, ini));
    std::vector<UniqueHandle> locks;
    ASSERT_NO_FATAL_FAILURE(HoldChatFilesOpen(&locks));
    Process kestova = Start(L"--backupnow");
    ASSERT_TRUE(kestova.started());
    HWND window = kestova.WaitForWindow();
    ASSERT_NE(window, nullptr);
    DWORD toolId = 0;
    ASSERT_TRUE(PumpUntil([&] { return (toolId = FindCopyToolOf(kestova.id())) != 0; }, DEADLINE_MS));
    UniqueHandle tool(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, toolId));
    ASSERT_TRUE(tool);

    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer));
    EXPECT_EQ(kestova.WaitExit(2000), -1) << "a close ended the runner mid-backup";
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(WaitForSingleObject(tool.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000,
                                    &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
    EXPECT_NE(kestova.WaitExit(), -1) << "the runner outlived the session";
    bool toolEnded = WaitForSingleObject(tool.get(), 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(toolEnded) << "the copy tool outlived the runner";
    if (!toolEnded) {
        TerminateProcess(tool.get(), 255);
        WaitForSingleObject(tool.get(), DEADLINE_MS);
    }
    for (int n = 0; n < 5; ++n) {
        SCOPED_TRACE(n + 1);
        EXPECT_EQ(ReadIni(config, (L"Target" + std::to_wstring(n + 1)).c_str(), L"Ended"), stamps[n]);
    }
}

} // namespace
