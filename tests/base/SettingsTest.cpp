#include "base/PathText.h"
#include "base/Settings.h"
#include "contracts/ProgramFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

// Wine caches profile files briefly, so every case gets a file name of its own.
class SettingsFile : public testing::Test {
protected:
    std::wstring NewFile(const std::string& content)
    {
        std::wstring path = scratch_ / (L"config" + std::to_wstring(next_++) + L".ini");
        if (!content.empty()) WriteBytes(path, content);
        return path;
    }
    ScratchDir scratch_;
    int next_ = 0;
};

TEST_F(SettingsFile, ReadSettingTakesOnlyValuesThatFit)
{
    struct Case { std::string value; size_t capacity; bool present; } cases[] = {
        {"PRE_DAY", 64, true},
        {std::string(62, 'x'), 64, true},  // capacity - 2: read in full
        {std::string(63, 'x'), 64, false}, // capacity - 1: may have been cut, so absent
        {std::string(200, 'x'), 64, false},
        {"", 64, false},                   // empty is absent
        {"a", 3, true},
        {"ab", 3, false},
        {"a", 2, false},                   // no room for any value
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.size());
        std::wstring file = NewFile("[AutoBackup]\r\nMode=" + c.value + "\r\n");
        wchar_t buffer[512];
        wchar_t* r = ReadSetting(file.c_str(), L"AutoBackup", L"Mode", buffer, c.capacity);
        EXPECT_EQ(r != nullptr, c.present);
        if (c.present) {
            EXPECT_EQ(std::wstring(buffer), std::wstring(c.value.begin(), c.value.end()));
        }
    }
}

TEST_F(SettingsFile, MissingPiecesReadAsAbsent)
{
    std::wstring file = NewFile("[AutoBackup]\r\nMode=PRE_DAY\r\n");
    std::wstring missing = scratch_ / L"nothing-here.ini";
    wchar_t buffer[64];
    EXPECT_EQ(ReadSetting(missing.c_str(), L"AutoBackup", L"Mode", buffer, 64), nullptr);
    EXPECT_EQ(ReadSetting(file.c_str(), L"Target1", L"Ended", buffer, 64), nullptr);
    EXPECT_EQ(ReadSetting(file.c_str(), L"AutoBackup", L"Time", buffer, 64), nullptr);
    EXPECT_EQ(ReadSetting(nullptr, L"AutoBackup", L"Mode", buffer, 64), nullptr);
    EXPECT_EQ(ReadSetting(file.c_str(), nullptr, L"Mode", buffer, 64), nullptr);
    EXPECT_EQ(ReadSetting(file.c_str(), L"AutoBackup", nullptr, buffer, 64), nullptr);
    EXPECT_FALSE(ReadSettingFlag(missing.c_str(), L"AutoBackup", L"BackupAtuOnce"));
    EXPECT_FALSE(PathExists(missing)); // reading never creates the file
}

TEST_F(SettingsFile, SectionAndKeyNamesMatchInAnyCase)
{
    std::wstring file = NewFile("[autobackup]\r\nmode=pre_week\r\nautobackupafterqquit=1\r\n");
    wchar_t buffer[64];
    ASSERT_NE(ReadSetting(file.c_str(), L"AutoBackup", L"Mode", buffer, 64), nullptr);
    EXPECT_STREQ(buffer, L"pre_week");
    EXPECT_TRUE(ReadSettingFlag(file.c_str(), L"AUTOBACKUP", L"AutobackupAfterQQuit"));
}

TEST_F(SettingsFile, FlagsAreDecidedByTheFirstCharacter)
{
    struct Case { const char* line; bool yes; } cases[] = {
        {"BackupAtuOnce=1", true},  {"BackupAtuOnce=yes", true}, {"BackupAtuOnce=false", true},
        {"BackupAtuOnce=no", true}, {"BackupAtuOnce=0", false},  {"BackupAtuOnce=00", false},
        {"BackupAtuOnce=", false},  {"Other=1", false},          {"BackupAtuOnce=01", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::wstring file = NewFile(std::string("[AutoBackup]\r\n") + c.line + "\r\n");
        EXPECT_EQ(ReadSettingFlag(file.c_str(), L"AutoBackup", L"BackupAtuOnce"), c.yes);
    }
}

TEST_F(SettingsFile, FirstWriteCreatesTheFileAndKeepsOtherKeys)
{
    std::wstring file = NewFile("");
    ASSERT_FALSE(PathExists(file));
    ASSERT_TRUE(WriteSetting(file.c_str(), L"Target3", L"Ended", L"Sun Mar 14 10:00:00 2010"));
    ASSERT_TRUE(PathExists(file));
    ASSERT_TRUE(WriteSetting(file.c_str(), L"AutoBackup", L"Mode", L"PRE_DAY"));
    ASSERT_TRUE(WriteSetting(file.c_str(), L"target3", L"ENDED", L"Mon Mar 15 10:00:00 2010"));

    wchar_t buffer[64];
    ASSERT_NE(ReadSetting(file.c_str(), L"Target3", L"Ended", buffer, 64), nullptr);
    EXPECT_STREQ(buffer, L"Mon Mar 15 10:00:00 2010");
    ASSERT_NE(ReadSetting(file.c_str(), L"AutoBackup", L"Mode", buffer, 64), nullptr);
    EXPECT_STREQ(buffer, L"PRE_DAY");

    // A missing key or value would delete instead of write: refused.
    EXPECT_FALSE(WriteSetting(file.c_str(), L"AutoBackup", nullptr, L"x"));
    EXPECT_FALSE(WriteSetting(file.c_str(), L"AutoBackup", L"Mode", nullptr));
    ASSERT_NE(ReadSetting(file.c_str(), L"AutoBackup", L"Mode", buffer, 64), nullptr);

    // A folder that does not exist: the platform's failure is passed back.
    std::wstring unreachable = scratch_ / L"no\\such\\folder\\config.ini";
    EXPECT_FALSE(WriteSetting(unreachable.c_str(), L"Target1", L"Ended", L"x"));
}

TEST_F(SettingsFile, ConcurrentWritersLoseNeitherKey)
{
    std::wstring file = NewFile("");
    constexpr int kRounds = 200;
    auto writer = [&](const wchar_t* section) {
        for (int i = 0; i < kRounds; ++i) {
            std::wstring value = std::to_wstring(i);
            WriteSetting(file.c_str(), section, L"Ended", value.c_str());
        }
    };
    std::thread a(writer, L"Target1");
    std::thread b(writer, L"Target2");
    std::thread reader([&] {
        // A reader in between sees one of the values written, never a broken file.
        for (int i = 0; i < kRounds; ++i) {
            wchar_t buffer[64];
            if (ReadSetting(file.c_str(), L"Target1", L"Ended", buffer, 64)) {
                ASSERT_LT(_wtoi(buffer), kRounds);
            }
        }
    });
    a.join();
    b.join();
    reader.join();
    wchar_t buffer[64];
    for (const wchar_t* section : {L"Target1", L"Target2"}) {
        ASSERT_NE(ReadSetting(file.c_str(), section, L"Ended", buffer, 64), nullptr);
        EXPECT_EQ(_wtoi(buffer), kRounds - 1);
    }
}

// Child: prints the program's paths, one a line, as UTF-8.
KESTOVA_CHILD(print_program_paths)
{
    wchar_t buffer[PATH_CAPACITY];
    wchar_t* (*ops[])(wchar_t*, size_t) = {GetProgramDir, GetConfigPath, GetLogPath, GetCompanionPath};
    for (auto op : ops) {
        std::string line = op(buffer, PATH_CAPACITY) ? Narrow(buffer) : "<none>";
        printf("%s\n", line.c_str());
    }
    // A buffer too small for the directory is refused, not overrun.
    printf("%s\n", GetProgramDir(buffer, 4) ? "fits" : "refused");
    return 0;
}

TEST(ProgramFiles, PathsComeFromTheRunningProgram)
{
    ScratchDir scratch;
    std::wstring dir = scratch / L"Program Files\\\u804a\u5929 Kestova";
    ASSERT_TRUE(MakeDirs(dir));
    std::wstring exe = CopySelfTo(dir, L"Kestova.exe");
    ASSERT_FALSE(exe.empty());

    ChildResult r = RunChild(exe, L"print_program_paths", {});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    std::string expected = Narrow(dir) + "\n" + Narrow(dir + L"\\config.ini") + "\n" +
                           Narrow(dir + L"\\logs.txt") + "\n" + Narrow(dir + L"\\Marrowby.exe") +
                           "\nrefused\n";
    // The companion's path is formed although no Marrowby.exe exists.
    std::erase(r.output, '\r');
    EXPECT_EQ(r.output, expected);
}

} // namespace
