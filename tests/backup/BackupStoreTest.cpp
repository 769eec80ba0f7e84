#include "backup/BackupStore.h"
#include "base/PathText.h"
#include "base/Settings.h"
#include "contracts/ProgramFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::tm Tm(int year, int mon, int mday, int hour, int min, int sec)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

void ExpectSameTm(const std::tm& a, const std::tm& b)
{
    EXPECT_EQ(a.tm_year, b.tm_year);
    EXPECT_EQ(a.tm_mon, b.tm_mon);
    EXPECT_EQ(a.tm_mday, b.tm_mday);
    EXPECT_EQ(a.tm_hour, b.tm_hour);
    EXPECT_EQ(a.tm_min, b.tm_min);
    EXPECT_EQ(a.tm_sec, b.tm_sec);
    EXPECT_EQ(a.tm_wday, b.tm_wday);
    EXPECT_EQ(a.tm_yday, b.tm_yday);
    EXPECT_EQ(a.tm_isdst, b.tm_isdst);
}

TEST(CompletionStamp, Parse)
{
    const std::tm def = DEFAULT_STAMP_TIME;
    EXPECT_EQ(def.tm_year, 99);
    EXPECT_EQ(def.tm_mon, 1);
    EXPECT_EQ(def.tm_mday, 11);

    std::tm noYear{};
    noYear.tm_mon = 2;
    noYear.tm_year = -1900;
    struct Case { const wchar_t* text; std::tm expected; } cases[] = {
        {L"Sun Mar 14 10:00:00 2010", Tm(2010, 2, 14, 10, 0, 0)},
        {L"sun mar 14 10:00:00 2010", Tm(2010, 2, 14, 10, 0, 0)},
        {L"Thu Mar  4 10:00:00 2010", Tm(2010, 2, 4, 10, 0, 0)},
        {L"Thu Mar 04 10:00:00 2010", Tm(2010, 2, 4, 10, 0, 0)},
        {L"Fri dEc 31 23:59:59 2027", Tm(2027, 11, 31, 23, 59, 59)},
        {L"Sunday Mar 14 10:00:00 2010", def}, // "day" taken as the month token
        {L"Mar 14 10:00:00 2010", def},        // "14" taken as the month token
        {L"no month name in here at all", def},
        {L"", def},
        {nullptr, def},
        {L"Wed Mar", noYear},                  // known month, nothing after it
        {L"Wed Jan 5 7", [] { std::tm t{}; t.tm_mday = 5; t.tm_hour = 7; t.tm_year = -1900; return t; }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? Narrow(c.text) : "<null>");
        ExpectSameTm(ParseStamp(c.text), c.expected);
    }
}

TEST(CompletionStamp, ToTimeOrdersStamps)
{
    long long def = StampToTime(nullptr);
    long long real = StampToTime(L"Sun Mar 14 10:00:00 2010");
    long long later = StampToTime(L"Sun Mar 14 10:00:01 2010");
    std::tm t = Tm(2010, 2, 14, 10, 0, 0);
    EXPECT_EQ(real, static_cast<long long>(std::mktime(&t)));
    EXPECT_LT(def, real);
    EXPECT_LT(real, later);
    EXPECT_EQ(StampToTime(L"garbage"), def);
    // A known month with nothing after it cannot be represented: before every real stamp.
    EXPECT_LT(StampToTime(L"Wed Mar"), def);
}

// A program folder inside scratch: <scratch>\App\Kestova.exe, the store in <scratch>.
class Store : public testing::Test {
protected:
    void SetUp() override
    {
        app_ = scratch_ / L"App";
        ASSERT_TRUE(MakeDirs(app_));
        exe_ = CopySelfTo(app_, L"Kestova.exe");
        ASSERT_FALSE(exe_.empty());
        store_ = scratch_ / L"Backup_Data";
    }

    // Runs a child in the program folder and returns its output with CR removed.
    std::string Child(const std::wstring& name, const std::vector<std::wstring>& args = {}, DWORD* status = nullptr)
    {
        ChildResult r = RunChild(exe_, name, args);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        if (status) *status = r.exitCode;
        std::erase(r.output, '\r');
        return r.output;
    }

    void Stamp(int slot, const std::string& stamp)
    {
        std::wstring wide(stamp.begin(), stamp.end());
        ASSERT_TRUE(WriteSetting((app_ + L"\\config.ini").c_str(),
                                 (L"Target" + std::to_wstring(slot)).c_str(), L"Ended", wide.c_str()));
    }

    ScratchDir scratch_;
    std::wstring app_, exe_, store_;
};

KESTOVA_CHILD(prepare_store)
{
    return PrepareBackupStore() ? 0 : 1;
}

// Chooses a slot, and with "advance" stamps it as the newest, so runs rotate.
KESTOVA_CHILD(choose_slot)
{
    int rounds = args.empty() ? 1 : _wtoi(args[0].c_str());
    for (int i = 0; i < rounds; ++i) {
        wchar_t slot[PATH_CAPACITY];
        if (!ChooseBackupSlot(slot, PATH_CAPACITY)) {
            printf("none\n");
            continue;
        }
        printf("%s\n", Narrow(slot).c_str());
        if (args.size() > 1 && args[1] == L"advance") {
            wchar_t config[PATH_CAPACITY], stamp[32];
            GetConfigPath(config, PATH_CAPACITY);
            swprintf(stamp, 32, L"Mon Jan %2d 10:00:00 2024", i + 1);
            std::wstring section = std::wstring(L"Target") + LastComponent(slot);
            WriteSetting(config, section.c_str(), L"Ended", stamp);
        }
    }
    return 0;
}

TEST_F(Store, PrepareCreatesStoreBesideTheProgramFolder)
{
    DWORD status = 99;
    Child(L"prepare_store", {}, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(IsDirectory(store_));
    for (int n = 1; n <= 5; ++n) EXPECT_TRUE(IsDirectory(store_ + L"\\" + std::to_wstring(n)));
    EXPECT_FALSE(PathExists(app_ + L"\\Backup_Data"));

    // On a complete store, with content in a slot: success, nothing changed.
    ASSERT_TRUE(WriteBytes(store_ + L"\\2\\Msg2.0.db", "history"));
    Child(L"prepare_store", {}, &status);
    EXPECT_EQ(status, 0u);
    std::string content;
    ASSERT_TRUE(ReadBytes(store_ + L"\\2\\Msg2.0.db", &content));
    EXPECT_EQ(content, "history");
}

TEST_F(Store, PlainFileNamedLikeASlotCountsAsPresent)
{
    ASSERT_TRUE(WriteBytes(store_ + L"\\3", "not a folder"));
    DWORD status = 99;
    Child(L"prepare_store", {}, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(IsDirectory(store_ + L"\\3"));
    EXPECT_TRUE(IsDirectory(store_ + L"\\5"));
}

TEST_F(Store, CreationThatFailsPartWayFails)
{
    // A plain file where the store belongs counts as present, but no slot can be made
    // inside it: the run stops there and fails, and the file is left alone.
    ASSERT_TRUE(WriteBytes(store_, "a file where the store should be"));
    DWORD status = 0;
    Child(L"prepare_store", {}, &status);
    EXPECT_EQ(status, 1u);
    std::string content;
    ASSERT_TRUE(ReadBytes(store_, &content));
    EXPECT_EQ(content, "a file where the store should be");
}

TEST_F(Store, FreshStoreRotatesThroughAllFiveSlots)
{
    std::string out = Child(L"choose_slot", {L"7", L"advance"});
    std::string expected;
    for (int n : {1, 2, 3, 4, 5, 1, 2}) expected += Narrow(store_ + L"\\" + std::to_wstring(n)) + "\n";
    EXPECT_EQ(out, expected);
}

TEST_F(Store, OldestStampWins)
{
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::string>> stamps;
        int expected;
    } cases[] = {
        {"none", {}, 1},
        {"slot 1 stamped", {{1, "Sun Mar 14 10:00:00 2010"}}, 2},
        {"slots 1 and 2 stamped", {{1, "Sun Mar 14 10:00:00 2010"}, {2, "Sun Mar 14 11:00:00 2010"}}, 3},
        {"all stamped",
         {{1, "Tue Mar 16 10:00:00 2010"}, {2, "Mon Mar 15 10:00:00 2010"}, {3, "Sun Mar 14 10:00:00 2010"},
          {4, "Wed Mar 17 10:00:00 2010"}, {5, "Thu Mar 18 10:00:00 2010"}},
         3},
        {"tie on the oldest",
         {{1, "Tue Mar 16 10:00:00 2010"}, {2, "Sun Mar 14 10:00:00 2010"}, {3, "Wed Mar 17 10:00:00 2010"},
          {4, "Sun Mar 14 10:00:00 2010"}, {5, "Thu Mar 18 10:00:00 2010"}},
         2},
        {"unusable stamp counts as 1999",
         {{1, "Tue Mar 16 10:00:00 2010"}, {2, "Mon Mar 15 10:00:00 2010"}, {3, "Sun Mar 14 10:00:00 2010"},
          {4, "no month here"}, {5, "Thu Mar 18 10:00:00 2010"}},
         4},
        {"oversized stamp counts as 1999",
         {{1, "Tue Mar 16 10:00:00 2010"}, {2, "Sun Mar 14 10:00:00 2010 " + std::string(60, 'x')},
          {3, "Sun Mar 14 10:00:00 2010"}, {4, "Sun Mar 14 10:00:00 2010"}, {5, "Sun Mar 14 10:00:00 2010"}},
         2},
        {"real stamp before 1999",
         {{1, "Tue Mar 16 10:00:00 2010"}, {2, "Fri Jan  1 00:00:00 1999"}, {3, "garbage"},
          {4, "Sun Mar 14 10:00:00 2010"}, {5, "Sun Mar 14 10:00:00 2010"}},
         2},
        {"unrepresentable sorts first",
         {{1, "Tue Mar 16 10:00:00 2010"}, {2, "garbage"}, {3, "Wed Mar"},
          {4, "Sun Mar 14 10:00:00 2010"}, {5, "Sun Mar 14 10:00:00 2010"}},
         3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW((app_ + L"\\config.ini").c_str());
        for (const auto& [slot, stamp] : c.stamps) Stamp(slot, stamp);
        std::string out = Child(L"choose_slot");
        EXPECT_EQ(out, Narrow(store_ + L"\\" + std::to_wstring(c.expected)) + "\n");
    }
}

TEST(StoreAtDriveRoot, HasNoParentAndFails)
{
    // The test environment provides an empty drive for a program in a drive's root.
    wchar_t drive[8];
    if (!GetEnvironmentVariableW(L"KESTOVA_TEST_ROOT_DRIVE", drive, 8)) GTEST_SKIP() << "no test drive";
    std::wstring exe = CopySelfTo(drive, L"Kestova-root-test.exe");
    ASSERT_FALSE(exe.empty());
    ChildResult prepared = RunChild(exe, L"prepare_store", {});
    ChildResult chosen = RunChild(exe, L"choose_slot", {});
    DeleteFileW(exe.c_str());
    EXPECT_EQ(prepared.exitCode, 1u);
    EXPECT_FALSE(PathExists(std::wstring(drive) + L"\\Backup_Data"));
    std::erase(chosen.output, '\r');
    EXPECT_EQ(chosen.output, "none\n");
}

TEST(DirectoryEmpty, Listing)
{
    ScratchDir scratch;
    ASSERT_TRUE(MakeDirs(scratch / L"empty"));
    ASSERT_TRUE(WriteBytes(scratch / L"file\\a.txt", "x"));
    ASSERT_TRUE(MakeDirs(scratch / L"subdir\\inner"));
    ASSERT_TRUE(WriteBytes(scratch / L"hidden\\h", "x"));
    SetFileAttributesW((scratch / L"hidden\\h").c_str(), FILE_ATTRIBUTE_HIDDEN);
    struct Case { std::wstring path; int expected; } cases[] = {
        {scratch / L"empty", 1},       {scratch / L"empty\\", 1},
        {scratch / L"missing", 1},     {scratch / L"file", 0},
        {scratch / L"file\\", 0},      {scratch / L"subdir", 0},
        {scratch / L"hidden", 0},      {scratch / L"file\\a.txt", 1}, // a file lists nothing inside
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        EXPECT_EQ(IsDirectoryEmpty(c.path.c_str()), c.expected);
    }
    EXPECT_EQ(IsDirectoryEmpty(nullptr), 1);
}

TEST(DirectoryEmpty, ClosesItsListing)
{
    ScratchDir scratch;
    ASSERT_TRUE(WriteBytes(scratch / L"full\\a.txt", "x"));
    DWORD before = CurrentHandleCount();
    for (int i = 0; i < 200; ++i) {
        IsDirectoryEmpty((scratch / L"full").c_str());
        IsDirectoryEmpty(scratch.path().c_str());
    }
    EXPECT_EQ(CurrentHandleCount(), before);
}

} // namespace
