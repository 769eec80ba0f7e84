// Faults around the built Kestova.exe's backups, brought about from outside: a file held
// open, a full disk, a client that starts and ends faster than the watch looks, a damaged
// settings file, a long Chinese data path. Each test then checks what must hold whatever
// happens: nothing outside the store is touched, no good generation is lost, and the
// runner still quits with 0 on the exit message.
#include "backup/BackupStore.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "tests/e2e/KestovaHarness.h"
#include "tests/support/ChatClientFixture.h"
#include "tests/support/Scratch.h"
#include "tests/support/StandIn.h"
#include "tests/support/UnixSide.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Slots 1 to 4 hold an older generation each, stamped a day apart; slot 5 holds none, so
// it is the one the next run goes to.
constexpr int KEPT_SLOTS = 4;
const char* const KEPT_STAMPS[KEPT_SLOTS] = {"Thu Mar 11 10:00:00 2010", "Fri Mar 12 10:00:00 2010",
                                             "Sat Mar 13 10:00:00 2010", "Sun Mar 14 10:00:00 2010"};
// A tmpfs of its own under a folder of the prefix, mounted from the Unix side, for a disk
// that fills up. Unmounted again when the owner goes. Mounting needs root; ok() says
// whether it worked.
class SmallDisk {
public:
    SmallDisk(const std::wstring& folder, const std::wstring& scratch, int megabytes) : scratch_(scratch)
    {
        unix_ = UnixPath(folder);
        if (unix_.empty() || !MakeDirs(folder)) return;
        mounted_ = RunShell(L"mount -t tmpfs -o size=" + std::to_wstring(megabytes) + L"m kestova-fault '" + unix_ + L"'");
    }
    ~SmallDisk()
    {
        // Detached at once, also while a process that has only just ended still holds it
        // busy: a mount left behind under the prefix keeps the next run from removing it.
        if (mounted_ && !RunShell(L"umount -l '" + unix_ + L"'"))
            printf("[   NOTE   ] the small disk stays mounted at %s\n", Narrow(unix_).c_str());
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool ok() const { return mounted_; }
    // Gives the disk a new size.
    bool Resize(int megabytes)
    {
        return RunShell(L"mount -o remount,size=" + std::to_wstring(megabytes) + L"m '" + unix_ + L"'");
    }

private:
    bool RunShell(const std::wstring& command)
    {
        return RunUnixShell(command, scratch_ + L"\\shell-status-" + std::to_wstring(++runs_) + L".txt");
    }

    std::wstring scratch_;
    std::wstring unix_;
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

} // namespace
