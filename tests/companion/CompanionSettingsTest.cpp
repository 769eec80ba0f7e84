#include "base/Settings.h"
#include "companion/CompanionSettings.h"
#include "contracts/ScheduleFormat.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Profile files are cached briefly by the platform: every case gets a file of its own.
std::wstring FreshIni(const ScratchDir& dir)
{
    static int counter = 0;
    return dir / (L"config" + std::to_wstring(++counter) + L".ini");
}

std::wstring Raw(const std::wstring& ini, const wchar_t* section, const wchar_t* key)
{
    wchar_t value[256];
    return ReadSetting(ini.c_str(), section, key, value, 256) ? value : L"<absent>";
}

TEST(CompanionSettings, WritesTheRunnersFormsAndReadsThemBack)
{
    ScratchDir dir;
    struct Case {
        CompanionSettings settings;
        const wchar_t* mode;
        const wchar_t* time; // "<absent>": not written
        const wchar_t* after;
        const wchar_t* missed;
    } cases[] = {
        {{true, MODE_PRE_WEEK, 21, 30, 5, false}, L"PRE_WEEK", L"21:30 FIR", L"1", L"0"},
        {{false, MODE_PRE_WEEK, 0, 0, 0, true}, L"PRE_WEEK", L"00:00 SUN", L"0", L"1"},
        {{false, MODE_PRE_WEEK, 23, 59, 6, false}, L"PRE_WEEK", L"23:59 SAT", L"0", L"0"},
        {{true, MODE_PRE_DAY, 8, 5, 3, true}, L"PRE_DAY", L"08:05", L"1", L"1"},
        {{false, MODE_NONE, 12, 0, 0, false}, L"NONE", L"<absent>", L"0", L"0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("mode ") + std::to_string(c.settings.mode) + " " +
                     std::to_string(c.settings.hour) + ":" + std::to_string(c.settings.minute));
        std::wstring ini = FreshIni(dir);
        ASSERT_TRUE(WriteCompanionSettings(ini.c_str(), c.settings));
        EXPECT_EQ(Raw(ini, L"AutoBackup", L"Mode"), c.mode);
        EXPECT_EQ(Raw(ini, L"AutoBackup", L"Time"), c.time);
        EXPECT_EQ(Raw(ini, L"AutoBackup", L"AutobackupAfterQQuit"), c.after);
        EXPECT_EQ(Raw(ini, L"AutoBackup", L"BackupAtuOnce"), c.missed);

        // The runner takes exactly what was written.
        Schedule schedule = {0, -1, -1, -1};
        LoadScheduleFrom(ini.c_str(), &schedule);
        EXPECT_EQ(schedule.mode, c.settings.mode);
        if (c.settings.mode != MODE_NONE) {
            EXPECT_EQ(schedule.hour, c.settings.hour);
            EXPECT_EQ(schedule.minute, c.settings.minute);
        }
        if (c.settings.mode == MODE_PRE_WEEK) {
            EXPECT_EQ(schedule.weekday, c.settings.weekday);
        }
        EXPECT_EQ(ReadSettingFlag(ini.c_str(), L"AutoBackup", L"AutobackupAfterQQuit"), c.settings.afterClientQuit);
        EXPECT_EQ(ReadSettingFlag(ini.c_str(), L"AutoBackup", L"BackupAtuOnce"), c.settings.missedAtStart);
    }
}

TEST(CompanionSettings, TouchesNoOtherKeyOrSection)
{
    ScratchDir dir;
    std::wstring ini = FreshIni(dir);
    ASSERT_TRUE(WriteBytes(ini, "[Target3]\r\nEnded=Sun Mar 14 10:00:00 2010\r\n[AutoBackup]\r\nTime=06:15 MON\r\n"
                                "Other=kept\r\n[Elsewhere]\r\nMode=PRE_DAY\r\n"));
    CompanionSettings none = {true, MODE_NONE, 7, 7, 1, false};
    ASSERT_TRUE(WriteCompanionSettings(ini.c_str(), none));
    EXPECT_EQ(Raw(ini, L"Target3", L"Ended"), L"Sun Mar 14 10:00:00 2010");
    EXPECT_EQ(Raw(ini, L"AutoBackup", L"Other"), L"kept");
    EXPECT_EQ(Raw(ini, L"Elsewhere", L"Mode"), L"PRE_DAY");
    EXPECT_EQ(Raw(ini, L"AutoBackup", L"Time"), L"06:15 MON"); // no schedule: the last time stays
    EXPECT_EQ(Raw(ini, L"AutoBackup", L"Mode"), L"NONE");
}

TEST(CompanionSettings, InvalidSettingsWriteNothing)
{
    ScratchDir dir;
    CompanionSettings bad[] = {
        {false, MODE_PRE_DAY, 24, 0, 0, false},
        {false, MODE_PRE_DAY, 12, 60, 0, false},
        {false, MODE_PRE_WEEK, 12, 0, 7, false},
        {false, 0, 12, 0, 0, false},
    };
    for (const auto& settings : bad) {
        SCOPED_TRACE(std::to_string(settings.mode) + " " + std::to_string(settings.hour) + ":" +
                     std::to_string(settings.minute) + " day " + std::to_string(settings.weekday));
        std::wstring ini = FreshIni(dir);
        EXPECT_FALSE(WriteCompanionSettings(ini.c_str(), settings));
        EXPECT_FALSE(PathExists(ini));
    }
}

TEST(CompanionSettings, LoadsAsTheRunnerTakesThem)
{
    ScratchDir dir;
    std::wstring longMode(62, L'X');           // read in full, no mode
    std::wstring timeAtLimit = L"21:30 MON" + std::wstring(126 - 9, L'x'); // 126: read
    std::wstring timeTooLong = L"21:30 MON" + std::wstring(127 - 9, L'x'); // 127: absent
    struct Case {
        const wchar_t* mode;
        std::wstring time;
        const wchar_t* after;
        int expectedMode;
        int hour, minute, weekday;
        bool expectedAfter;
    } cases[] = {
        {L"pre_week", L"21:30 fir", L"1", MODE_PRE_WEEK, 21, 30, 5, true},
        {L"PRE_WEEK", L"21:30 FRI", L"yes", MODE_NONE, 21, 0, 0, true},  // Friday is only "FIR"
        {L"PRE_WEEK", L"21:30", L"false", MODE_NONE, 21, 0, 0, true},    // no day
        {L"PRE_DAY", L"08:05 whatever", L"0", MODE_PRE_DAY, 8, 5, 0, false},
        {L"PRE_DAY", L"9:30", L"00", MODE_NONE, 21, 0, 0, false},
        {L"PRE_DAY", L"25:00", L"", MODE_NONE, 21, 0, 0, false},         // never fires
        {L"PRE_DAY", L"10:75", nullptr, MODE_NONE, 21, 0, 0, false},
        {longMode.c_str(), L"21:30", nullptr, MODE_NONE, 21, 0, 0, false},
        {L"PRE_WEEK", timeAtLimit, nullptr, MODE_PRE_WEEK, 21, 30, 1, false},
        {L"PRE_WEEK", timeTooLong, nullptr, MODE_NONE, 21, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(std::wstring(c.mode) + L" / " + c.time));
        std::wstring ini = FreshIni(dir);
        ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"Mode", c.mode));
        ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"Time", c.time.c_str()));
        if (c.after) {
            ASSERT_TRUE(WriteSetting(ini.c_str(), L"AutoBackup", L"AutobackupAfterQQuit", c.after));
        }
        CompanionSettings settings;
        LoadCompanionSettings(ini.c_str(), &settings);
        EXPECT_EQ(settings.mode, c.expectedMode);
        EXPECT_EQ(settings.hour, c.hour);
        EXPECT_EQ(settings.minute, c.minute);
        EXPECT_EQ(settings.weekday, c.weekday);
        EXPECT_EQ(settings.afterClientQuit, c.expectedAfter);
        EXPECT_FALSE(settings.missedAtStart);
    }
}

TEST(CompanionSettings, SettingTextsFromTheCommandLine)
{
    struct Case {
        const wchar_t* text;
        int result;
        int mode, hour, minute, weekday;
        bool after, weekdayGiven;
    } cases[] = {
        {L"Mode=pre_week", SETTING_APPLIED, MODE_PRE_WEEK, 21, 0, 0, false, false},
        {L"time=07:05", SETTING_APPLIED, MODE_NONE, 7, 5, 0, false, false},
        {L"Time=07:05 fri", SETTING_APPLIED, MODE_NONE, 7, 5, 5, false, true},
        {L"Time=07:05 FIR", SETTING_APPLIED, MODE_NONE, 7, 5, 5, false, true},
        {L"AutobackupAfterQQuit=1", SETTING_APPLIED, MODE_NONE, 21, 0, 0, true, false},
        {L"AutobackupAfterQQuit=yes", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
        {L"Time=7:05", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
        {L"Time=24:00", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
        {L"Time=07:05 FRIDAY", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
        {L"Time=07-05", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
        {L"Mode=DAILY", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
        {L"Ended=now", SETTING_UNKNOWN_KEY, MODE_NONE, 21, 0, 0, false, false},
        {L"Mode", SETTING_BAD_VALUE, MODE_NONE, 21, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        CompanionSettings settings;
        LoadCompanionSettings(nullptr, &settings);
        bool weekdayGiven = false;
        EXPECT_EQ(ApplySettingText(c.text, &settings, &weekdayGiven), c.result);
        EXPECT_EQ(settings.mode, c.mode);
        EXPECT_EQ(settings.hour, c.hour);
        EXPECT_EQ(settings.minute, c.minute);
        EXPECT_EQ(settings.weekday, c.weekday);
        EXPECT_EQ(settings.afterClientQuit, c.after);
        EXPECT_EQ(weekdayGiven, c.weekdayGiven);
    }
}

} // namespace
