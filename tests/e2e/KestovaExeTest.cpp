// The built Kestova.exe as a user meets it: started as a process of its own from a scratch
// program folder (scratch\App, so its store is scratch\Backup_Data), with its message
// boxes read and answered from outside, and its exit status checked.
#include "backup/BackupStore.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "tests/support/ChatClientFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/StandIn.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t WINDOW_CLASS[] = L"Kestova_Brannet_Msgwnd_Class";
const wchar_t EXIT_MESSAGE[] = L"Kestova_Brannet_Exit";
const wchar_t BOX_CLASS[] = L"#32770";

const wchar_t TEXT_NO_CHAT_DATA[] =
    L"暂时只支持QQ2010，但是您似乎没有安装，或者有些问题，请使用腾讯官方版安装！";
const wchar_t TEXT_TOOL_DAMAGED[] = L"备份程序受损，请重新安装";
const wchar_t TEXT_NO_STORE[] = L"无法访问备份目录，请检查您的硬盘分区，并且不要设置备份目录为只读";

// Generous: a Wine process starts in milliseconds once the server runs, but the machine
// is shared.
constexpr DWORD DEADLINE_MS = 30000;

// ---------------------------------------------------------------------------------------
// Message boxes of another process.

struct MessageBoxSeen {
    HWND box = nullptr;
    std::wstring caption, text;
};

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, ARRAYSIZE(text));
    return text;
}

// The message text of a box: its static control has the identifier 0xFFFF. The text is
// asked of the box's own thread, in another process: the ask is bounded, so a process
// that stops answering fails the test instead of holding it.
std::wstring BoxText(HWND box)
{
    wchar_t text[1024] = {};
    HWND control = GetDlgItem(box, 0xFFFF);
    DWORD_PTR copied = 0;
    if (control)
        SendMessageTimeoutW(control, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                            5000, &copied);
    text[ARRAYSIZE(text) - 1] = L'\0';
    return text;
}

// A running Kestova.exe (or a copy of the companion stand-in): killed at the end of the
// test if it is still running.
class Process {
public:
    Process() = default;
    Process(HANDLE process, DWORD id) : process_(process), id_(id) {}
    Process(Process&&) = default;
    Process& operator=(Process&&) = default;
    ~Process()
    {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), 255);
            WaitForSingleObject(process_.get(), 10000);
        }
    }
    bool started() const { return process_.valid(); }
    DWORD id() const { return id_; }
    bool Running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    // Ends it at once, as Task Manager or a crash would, and waits until it has gone.
    bool Kill() const
    {
        return TerminateProcess(process_.get(), 1) && WaitForSingleObject(process_.get(), DEADLINE_MS) == WAIT_OBJECT_0;
    }

    // The exit status once it has ended, or -1 when it is still running at the deadline.
    long long WaitExit(DWORD timeoutMs = DEADLINE_MS) const
    {
        if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

    // Waits for a message box of this process with its text filled in. False when the
    // process ends first or the deadline passes.
    bool WaitForBox(MessageBoxSeen* seen) const
    {
        return PumpUntil([&] {
            if (HWND box = FindTopWindow(BOX_CLASS, id_)) {
                // The box exists a moment before its controls have their texts.
                std::wstring text = BoxText(box);
                if (!text.empty()) {
                    *seen = {box, TextOf(box), text};
                    return true;
                }
            }
            return !Running();
        }, DEADLINE_MS) && seen->box != nullptr;
    }

    // The hidden message window of this process, or null at the deadline. Without one, the
    // output says what the process did instead, for the failure that usually follows.
    HWND WaitForWindow() const
    {
        HWND found = nullptr;
        HWND box = nullptr;
        PumpUntil([&] {
            if ((found = FindTopWindow(WINDOW_CLASS, id_)) != nullptr) return true;
            // A box means start-up stopped short of the window.
            return (box = FindTopWindow(BOX_CLASS, id_)) != nullptr || !Running();
        }, DEADLINE_MS);
        if (!found) {
            long long status = WaitExit(0);
            std::string instead = box           ? "it shows a box: " + Narrow(BoxText(box))
                                  : status >= 0 ? "it ended with status " + std::to_string(status)
                                                : std::string("it still runs");
            printf("[   NOTE   ] Kestova.exe (process %lu) made no window: %s\n", static_cast<unsigned long>(id_),
                   instead.c_str());
        }
        return found;
    }

private:
    UniqueHandle process_;
    DWORD id_ = 0;
};

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

// Asks the resident program to quit, as its companion does. A quit is refused (with a
// balloon) while a backup runs, so the request is repeated until the process has ended.
long long QuitByExitMessage(const Process& process, HWND window)
{
    UINT exitMessage = RegisterWindowMessageW(EXIT_MESSAGE);
    ULONGLONG end = GetTickCount64() + DEADLINE_MS;
    while (GetTickCount64() < end) {
        PostMessageW(window, exitMessage, 0, 0);
        long long status = process.WaitExit(1000);
        if (status != -1) return status;
    }
    return -1;
}

// A value of a settings file that another process writes. The platform's profile calls
// may answer from a cache of the file, so each read goes through a fresh copy of it.
std::wstring ReadIni(const std::wstring& file, const wchar_t* section, const wchar_t* key)
{
    static int copies = 0;
    wchar_t value[256] = {};
    std::wstring copy = file + L"." + std::to_wstring(++copies) + L".ini";
    if (!CopyFileW(file.c_str(), copy.c_str(), FALSE)) return value;
    GetPrivateProfileStringW(section, key, L"", value, ARRAYSIZE(value), copy.c_str());
    DeleteFileW(copy.c_str());
    return value;
}

// ---------------------------------------------------------------------------------------

class KestovaExe : public testing::Test {
protected:
    void SetUp() override
    {
        app_ = scratch_ / L"App";
        ASSERT_TRUE(MakeDirs(app_));
        ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"Kestova.exe").c_str(), (app_ + L"\\Kestova.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"robocopy.exe").c_str(), (app_ + L"\\robocopy.exe").c_str(), FALSE));
        std::wstring companion = CurrentExePath();
        companion = companion.substr(0, companion.find_last_of(L'\\')) + L"\\companion_stand_in.exe";
        ASSERT_TRUE(CopyFileW(companion.c_str(), (app_ + L"\\Marrowby.exe").c_str(), FALSE));
    }

    // An installed chat client whose data directory lies in a Chinese user's folder, as on
    // the users' machines, with a few files.
    void InstallChatClient()
    {
        dataDir_ = scratch_ / L"张三\\Tencent Files";
        ASSERT_TRUE(InstallChatClientEntries(&registry_, scratch_.path(), dataDir_));
        ASSERT_TRUE(WriteSampleChatData(dataDir_));
    }

    Process Start(const std::wstring& arguments)
    {
        std::wstring line = QuoteArgument(app_ + L"\\Kestova.exe");
        if (!arguments.empty()) line += L" " + arguments;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        // Started from elsewhere: the program finds its files beside itself, not in the
        // current directory.
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            scratch_.path().c_str(), &si, &pi)) {
            printf("[   NOTE   ] Kestova.exe could not be started: error %lu\n", GetLastError());
            return {};
        }
        return Process(UniqueProcess(pi).releaseProcess(), pi.dwProcessId);
    }

    // The lines the companion stand-in wrote, each "<arguments>|<working directory>".
    std::string CompanionStarts()
    {
        std::string record;
        ReadBytes(app_ + L"\\companion-starts.txt", &record);
        return record;
    }
    bool WaitForCompanionStarts(size_t lines)
    {
        return PumpUntil([&] {
            std::string record = CompanionStarts();
            return static_cast<size_t>(std::count(record.begin(), record.end(), '\n')) >= lines;
        }, DEADLINE_MS);
    }
    std::string RestoreLine() { return "--restore|" + Narrow(app_) + "\n"; }

    // Files held open without sharing keep a copy going: the tool waits a second before
    // each of its retries, about three seconds a file.
    void HoldChatFilesOpen(std::vector<UniqueHandle>* locks)
    {
        for (int n = 0; n < 5; ++n) {
            std::wstring path = dataDir_ + L"\\locked" + std::to_wstring(n) + L".db";
            ASSERT_TRUE(WriteBytes(path, "held open"));
            locks->emplace_back(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(locks->back());
        }
    }

    ScratchDir scratch_;
    ChatClientRegistry registry_;
    std::wstring app_;
    std::wstring dataDir_;
};

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

// The copy tools a process started: its children named robocopy.exe.
std::vector<DWORD> CopyToolsOf(DWORD parentId)
{
    std::vector<DWORD> tools;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return tools;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ParentProcessID == parentId && _wcsicmp(entry.szExeFile, L"robocopy.exe") == 0)
            tools.push_back(entry.th32ProcessID);
    return tools;
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

// ---------------------------------------------------------------------------------------
// Faults. Each test brings one about around a backup, then checks what must hold whatever
// happens: nothing outside the store is touched, no good generation is lost, and the
// runner still quits with 0 on the exit message.

// Slots 1 to 4 hold an older generation each, stamped a day apart; slot 5 holds none, so
// it is the one the next run goes to.
constexpr int KEPT_SLOTS = 4;
const char* const KEPT_STAMPS[KEPT_SLOTS] = {"Thu Mar 11 10:00:00 2010", "Fri Mar 12 10:00:00 2010",
                                             "Sat Mar 13 10:00:00 2010", "Sun Mar 14 10:00:00 2010"};

// A tmpfs of its own under a folder of the prefix, mounted from the Unix side (Wine starts
// a Unix program given by its Z: path), for a disk that fills up. Unmounted again when the
// owner goes. Mounting needs root; ok() says whether it worked.
class SmallDisk {
public:
    SmallDisk(const std::wstring& folder, const std::wstring& scratch, int megabytes) : scratch_(scratch)
    {
        unix_ = UnixPath(folder);
        if (unix_.empty() || !MakeDirs(folder)) return;
        mounted_ = RunShell(std::string("mount -t tmpfs -o size=") + std::to_string(megabytes) + "m kestova-fault '" + unix_ + "'");
    }
    ~SmallDisk()
    {
        if (mounted_) RunShell("umount '" + unix_ + "'");
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool ok() const { return mounted_; }
    // Gives the disk a new size.
    bool Resize(int megabytes)
    {
        return RunShell(std::string("mount -o remount,size=") + std::to_string(megabytes) + "m '" + unix_ + "'");
    }

private:
    static std::string UnixPath(const std::wstring& path)
    {
        using ToUnix = char*(CDECL*)(const wchar_t*);
        auto toUnix = reinterpret_cast<ToUnix>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
        if (!unix) return "";
        std::string text = unix;
        HeapFree(GetProcessHeap(), 0, unix);
        return text;
    }
    // Runs a command in the Unix shell; true when it ended with 0. The shell's own exit
    // status does not come through the process handle, so it writes it to a file.
    bool RunShell(const std::string& command)
    {
        std::wstring status = scratch_ + L"\\shell-status-" + std::to_wstring(++runs_) + L".txt";
        std::string statusUnix = UnixPath(status);
        if (statusUnix.empty()) return false;
        std::string script = command + " >/dev/null 2>&1; echo $? > '" + statusUnix + "'";
        std::wstring line = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        std::string written;
        bool done = PumpUntil([&] { return ReadBytes(status, &written) && written.find('\n') != std::string::npos; }, DEADLINE_MS);
        DeleteFileW(status.c_str());
        return done && written == "0\n";
    }

    std::wstring scratch_;
    std::string unix_;
    bool mounted_ = false;
    int runs_ = 0;
};

class KestovaFault : public KestovaExe {
protected:
    void SetUp() override
    {
        KestovaExe::SetUp();
        if (HasFatalFailure()) return;
        InstallChatClient();
        store_ = scratch_ / L"Backup_Data";
        config_ = app_ + L"\\config.ini";
    }
    std::wstring Slot(int n) const { return store_ + L"\\" + std::to_wstring(n); }
    static std::wstring Section(int n) { return std::wstring(L"Target") + std::to_wstring(n); }

    // The older generations, the settings given, and what lies outside the store now.
    void KeepGenerations(const std::string& autoBackup = "")
    {
        std::string ini = "[AutoBackup]\r\n" + autoBackup;
        for (int n = 1; n <= KEPT_SLOTS; ++n) {
            ASSERT_TRUE(WriteBytes(Slot(n) + L"\\12345\\old.txt", std::string("generation ") + std::to_string(n)));
            ini += std::string("[Target") + std::to_string(n) + "]\r\nEnded=" + KEPT_STAMPS[n - 1] + "\r\n";
            kept_[n - 1] = Snapshot(Slot(n));
        }
        ASSERT_TRUE(MakeDirs(Slot(KEPT_SLOTS + 1)));
        ASSERT_TRUE(WriteBytes(config_, ini));
        outside_ = Outside();
    }
    // Everything in scratch but the store and the two files the runner writes beside
    // itself.
    TreeSnapshot Outside() const
    {
        TreeSnapshot tree = Snapshot(scratch_.path());
        for (auto it = tree.begin(); it != tree.end();) {
            const std::wstring& path = it->first;
            // The program folder's own time moves whenever config.ini or logs.txt is written
            // in it; those two are the runner's, and so is that time.
            bool own = path.rfind(L"Backup_Data", 0) == 0 || path == L"App" || path == L"App\\config.ini" ||
                       path == L"App\\logs.txt";
            it = own ? tree.erase(it) : std::next(it);
        }
        return tree;
    }
    // A slot is still the generation it was, or has become a whole copy of the chat data
    // stamped today; never anything in between.
    void ExpectGenerationsKept(bool newRunAllowed = false)
    {
        TreeSnapshot data = Snapshot(dataDir_);
        std::time_t now = std::time(nullptr);
        int thisYear = std::localtime(&now)->tm_year;
        for (int n = 1; n <= KEPT_SLOTS + 1; ++n) {
            SCOPED_TRACE(std::string("slot ") + std::to_string(n));
            std::wstring stamp = ReadIni(config_, Section(n).c_str(), L"Ended");
            TreeSnapshot slot = Snapshot(Slot(n));
            bool isNew = !stamp.empty() && ParseStamp(stamp.c_str()).tm_year == thisYear && slot == data;
            if (newRunAllowed && isNew) continue;
            if (n > KEPT_SLOTS) {
                EXPECT_EQ(stamp, L"") << "a slot stamped without a whole copy";
            } else {
                EXPECT_EQ(Narrow(stamp), KEPT_STAMPS[n - 1]);
                EXPECT_EQ(slot, kept_[n - 1]);
            }
        }
        EXPECT_EQ(Outside(), outside_);
    }
    bool LogEnded()
    {
        std::string log;
        return ReadBytes(app_ + L"\\logs.txt", &log) && log.find("   Ended : ") != std::string::npos;
    }
    bool Stamped(int n) { return !ReadIni(config_, Section(n).c_str(), L"Ended").empty(); }
    // Starts the runner with -b and waits for its window; the window, or null.
    HWND StartBackup(Process* kestova)
    {
        *kestova = Start(L"-b");
        return kestova->started() ? kestova->WaitForWindow() : nullptr;
    }

    std::wstring store_, config_;
    TreeSnapshot kept_[KEPT_SLOTS];
    TreeSnapshot outside_;
};

TEST_F(KestovaFault, AChatDatabaseHeldWithNoSharingFailsTheRunAndTheNextRunFillsTheSameSlot)
{
    KeepGenerations();
    UniqueHandle held(CreateFileW((dataDir_ + L"\\12345\\Msg3.0.db").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    ULONGLONG started = GetTickCount64();
    Process kestova;
    HWND window = StartBackup(&kestova);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return LogEnded(); }, 60000));
    EXPECT_LT(GetTickCount64() - started, 20000u) << "the run gives up on the file within seconds";
    EXPECT_EQ(QuitByExitMessage(kestova, window), 0);
    EXPECT_FALSE(Stamped(KEPT_SLOTS + 1));
    held.reset();
    ExpectGenerationsKept();

    Process again;
    window = StartBackup(&again);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Stamped(KEPT_SLOTS + 1); }, 60000));
    EXPECT_EQ(QuitByExitMessage(again, window), 0);
    EXPECT_EQ(Snapshot(Slot(KEPT_SLOTS + 1)), Snapshot(dataDir_));
    ExpectGenerationsKept(true);
}

TEST_F(KestovaFault, AFullDiskUnderTheStoreFailsTheRunAndKeepsTheGenerations)
{
    SmallDisk disk(store_, scratch_.path(), 1);
    if (!disk.ok()) GTEST_SKIP() << "cannot mount a small tmpfs under the store here (needs root and Wine's Z: drive)";
    // More than the disk holds.
    std::string big(3 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 2654435761u >> 13);
    ASSERT_TRUE(WriteBytes(dataDir_ + L"\\12345\\Image\\big.bmp", big));
    KeepGenerations();
    {
        Process kestova;
        HWND window = StartBackup(&kestova);
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return LogEnded(); }, 60000));
        EXPECT_EQ(QuitByExitMessage(kestova, window), 0);
    }
    EXPECT_FALSE(Stamped(KEPT_SLOTS + 1));
    ExpectGenerationsKept();

    // With room again, the next run fills the same slot.
    ASSERT_TRUE(disk.Resize(16));
    Process again;
    HWND window = StartBackup(&again);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Stamped(KEPT_SLOTS + 1); }, 60000));
    EXPECT_EQ(QuitByExitMessage(again, window), 0);
    EXPECT_EQ(Snapshot(Slot(KEPT_SLOTS + 1)), Snapshot(dataDir_));
    ExpectGenerationsKept(true);
}

// The client started and ended faster than the watch looks, and now and then slower: the
// runs that follow never overlap, and each slot is a whole generation, old or new.
TEST_F(KestovaFault, RapidClientStartsAndExitsLeaveWholeGenerations)
{
    KeepGenerations("AutobackupAfterQQuit=1\r\n");
    ASSERT_TRUE(MakeDirs(scratch_ / L"QQ\\Bin"));
    std::wstring qq = CopyStandIn(scratch_ / L"QQ\\Bin", L"QQ.exe");
    ASSERT_FALSE(qq.empty());
    outside_ = Outside();
    Process kestova = Start(L"");
    ASSERT_TRUE(kestova.started());
    HWND window = kestova.WaitForWindow();
    ASSERT_NE(window, nullptr);

    StandInGroup client;
    int overlapping = 0;
    for (int i = 0; i < 24; ++i) {
        ASSERT_TRUE(client.Start(qq));
        // The client's life is the fault itself: from a few ms up to two of the watch's ticks.
        Sleep(static_cast<DWORD>(i % 4 == 3 ? 450 : i % 4 * 20));
        ASSERT_TRUE(client.EndAll());
        if (CopyToolsOf(kestova.id()).size() > 1) ++overlapping;
    }
    EXPECT_EQ(overlapping, 0);
    // Some exits were seen: a run follows (the last long-lived client ended just now).
    EXPECT_TRUE(PumpUntil([&] {
        for (int n = 1; n <= KEPT_SLOTS + 1; ++n)
            if (Stamped(n) && ReadIni(config_, Section(n).c_str(), L"Ended").find(L"2010") == std::wstring::npos)
                return true;
        return false;
    }, 60000));
    EXPECT_EQ(QuitByExitMessage(kestova, window), 0);
    ExpectGenerationsKept(true);
}

TEST_F(KestovaFault, ADamagedConfigFileStillLetsTheRunnerBackUpAndQuit)
{
    auto noise = [](size_t size, unsigned seed) {
        std::string bytes(size, '\0');
        for (char& c : bytes) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 16);
        }
        return bytes;
    };
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"random bytes", noise(4096, 1)},
        {"random bytes after good settings", "[AutoBackup]\r\nAutobackupAfterQQuit=1\r\n" + noise(4096, 2)},
        {"a UTF-16 mark, then random bytes", "\xFF\xFE" + noise(4096, 3)},
        {"random bytes inside a slot's section", "[Target1]\r\nEnded=" + noise(300, 4) + "\r\n[Target2]\r\n" + noise(300, 5)},
        {"one long line", std::string(200000, 'A')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RemoveTree(store_));
        ASSERT_TRUE(RemoveTree(app_ + L"\\logs.txt"));
        ASSERT_TRUE(WriteBytes(config_, c.bytes));
        TreeSnapshot outside = Outside();
        Process kestova;
        HWND window = StartBackup(&kestova);
        ASSERT_NE(window, nullptr) << "start-up stopped (or showed a box) on the damaged file";
        ASSERT_TRUE(PumpUntil([&] { return LogEnded(); }, 60000));
        EXPECT_EQ(QuitByExitMessage(kestova, window), 0);
        EXPECT_EQ(Outside(), outside);
        // The run made one whole copy, and it is stamped.
        int copies = 0;
        for (int n = 1; n <= KEPT_SLOTS + 1; ++n) {
            if (Snapshot(Slot(n)) != Snapshot(dataDir_)) continue;
            ++copies;
            EXPECT_EQ(ReadIni(config_, Section(n).c_str(), L"Ended").size(), 24u) << "slot " << n;
        }
        EXPECT_EQ(copies, 1);
    }
}

// The client writes its settings file in the ANSI code page; a Chinese data path longer
// than the old 260-character limit comes through it whole.
TEST_F(KestovaFault, AChineseChatDataPathLongerThan260CharactersIsBackedUp)
{
    if (GetACP() != 936)
        GTEST_SKIP() << "needs the Chinese ANSI code page 936 (GBK), in which the client writes its settings "
                        "file; this run has code page " << GetACP() << " (run under LANG=zh_CN.UTF-8)";
    std::wstring longDir = scratch_ / L"数据";
    while (longDir.size() <= 300) longDir += L"\\腾讯聊天记录的备份目录";
    ASSERT_TRUE(WriteSampleChatData(longDir));
    int n = WideCharToMultiByte(CP_ACP, 0, longDir.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string gbk(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, longDir.c_str(), -1, gbk.data(), n, nullptr, nullptr);
    ASSERT_TRUE(WriteBytes(scratch_ / L"Docs\\Tencent\\QQ\\UserDataInfo.ini",
                           "[UserDataSet]\r\nUserDataSavePath=" + gbk + "\r\n"));
    dataDir_ = longDir;
    KeepGenerations();
    Process kestova;
    HWND window = StartBackup(&kestova);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Stamped(KEPT_SLOTS + 1); }, 60000));
    EXPECT_EQ(QuitByExitMessage(kestova, window), 0);
    EXPECT_EQ(Snapshot(Slot(KEPT_SLOTS + 1)), Snapshot(longDir));
    EXPECT_EQ(Snapshot(longDir).size(), 9u);
    ExpectGenerationsKept(true);
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
