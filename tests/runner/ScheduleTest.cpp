#include "base/Settings.h"
#include "contracts/ControlMessages.h"
#include "runner/MainLoop.h"
#include "runner/Schedule.h"
#include "runner/SharedState.h"
#include "tests/runner/RunnerHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Profile files are cached briefly by the platform: every case gets a file of its own.
std::wstring FreshIni(const ScratchDir& dir)
{
    static int counter = 0;
    return dir / (L"config" + std::to_wstring(++counter) + L".ini");
}

void Set(const std::wstring& ini, const wchar_t* section, const wchar_t* key, const wchar_t* value)
{
    if (!value) return;
    ASSERT_TRUE(WriteSetting(ini.c_str(), section, key, value));
}

// Makes this process's C runtime follow US Eastern time (the rules of 2007 on: 14 March
// 2010 springs forward, 7 November 2010 falls back); false when it ignores TZ.
bool FollowEasternTime()
{
    _wputenv(L"TZ=EST5EDT");
    _tzset();
    std::tm probe = LocalTm(2010, 7, 1, 12, 0);
    if (probe.tm_isdst == 1) return true;
    std::printf("the C runtime ignores TZ\n");
    return false;
}

TEST(LoadSchedule, ReadsModeAndTime)
{
    ScratchDir dir;
    struct Case {
        const wchar_t* mode;
        const wchar_t* time;
        Schedule expected; // fields the record held before: 7, 8, 9
    } cases[] = {
        {L"pre_day", L"21:30", {MODE_PRE_DAY, 21, 30, 9}},
        {L"PRE_DAY", L"08:05", {MODE_PRE_DAY, 8, 5, 9}},
        {L"PRE_DAY", L"21.30", {MODE_PRE_DAY, 21, 30, 9}}, // separator not examined
        {L"PRE_DAY", L"25:00", {MODE_PRE_DAY, 25, 0, 9}},  // accepted, never matches
        {L"PRE_DAY", L"9:30", {MODE_NONE, 7, 8, 9}},       // four characters
        {L"PRE_DAY", nullptr, {MODE_NONE, 7, 8, 9}},
        {L"PRE_WEEK", L"21:30", {MODE_NONE, 7, 8, 9}},
        {L"PRE_WEEK", L"21:30 sat", {MODE_PRE_WEEK, 21, 30, 6}},
        {L"Pre_Week", L"06:15 SUNDAY", {MODE_PRE_WEEK, 6, 15, 0}},
        {L"PRE_WEEK", L"21:30 FIR", {MODE_PRE_WEEK, 21, 30, 5}},
        {L"PRE_WEEK", L"21:30 FRI", {MODE_NONE, 7, 8, 9}},
        {L"NONE", L"21:30", {MODE_NONE, 7, 8, 9}},
        {L"DAILY", L"21:30", {MODE_NONE, 7, 8, 9}},
        {nullptr, L"21:30", {MODE_NONE, 7, 8, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(std::wstring(c.mode ? c.mode : L"<none>") + L" / " + (c.time ? c.time : L"<none>")));
        std::wstring ini = FreshIni(dir);
        Set(ini, L"AutoBackup", L"Mode", c.mode);
        Set(ini, L"AutoBackup", L"Time", c.time);
        Schedule s = {MODE_PRE_WEEK, 7, 8, 9};
        LoadScheduleFrom(ini.c_str(), &s);
        EXPECT_EQ(s.mode, c.expected.mode);
        if (s.mode != MODE_NONE) {
            EXPECT_EQ(s.hour, c.expected.hour);
            EXPECT_EQ(s.minute, c.expected.minute);
            EXPECT_EQ(s.weekday, c.expected.weekday);
        }
    }
    Schedule s = {MODE_PRE_DAY, 1, 2, 3};
    LoadScheduleFrom(nullptr, &s);
    EXPECT_EQ(s.mode, MODE_NONE);
    LoadScheduleFrom((dir / L"absent.ini").c_str(), &s);
    EXPECT_EQ(s.mode, MODE_NONE);
}

class TimerTest : public testing::Test {
protected:
    void SetUp() override { saved_ = sharedSchedule; }
    void TearDown() override { sharedSchedule = saved_; }
    // The protocol messages the window received, without handling them.
    std::vector<MSG> Posted()
    {
        PumpState state;
        PumpPending(nullptr, &state);
        return state.reports;
    }
    ScopedSeams<RunnerSeams> recording_ = InstallRecorders();
    TestWindow window_;
    Schedule saved_;
};

TEST_F(TimerTest, ScheduleTickPostsWithinTheGraceAfterTheMoment)
{
    // 2010-03-13 is a Saturday.
    struct Case {
        Schedule schedule;
        std::tm now;
        bool clock;
        bool posts;
    } cases[] = {
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 21, 30, 0), true, true},
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 21, 30, 59), true, true},
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 21, 31, 30), true, true},
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 21, 33, 0), true, false},
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 21, 29, 59), true, false},
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 20, 30, 0), true, false},
        {{MODE_PRE_DAY, 21, 30, 0}, LocalTm(2010, 3, 13, 21, 30, 0), false, false},
        {{MODE_PRE_DAY, 25, 0, 0}, LocalTm(2010, 3, 13, 1, 0, 0), true, false},
        {{MODE_PRE_WEEK, 21, 30, 6}, LocalTm(2010, 3, 13, 21, 30, 0), true, true},
        {{MODE_PRE_WEEK, 21, 30, 5}, LocalTm(2010, 3, 13, 21, 30, 0), true, false},
        {{MODE_NONE, 21, 30, 6}, LocalTm(2010, 3, 13, 21, 30, 0), true, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(index++);
        sharedSchedule = c.schedule;
        scheduledMomentTaken = -1; // a runner that has started no run yet
        recorder.clock = c.now;
        recorder.clockAvailable = c.clock;
        TimerTick(window_.get(), WM_TIMER, TIMER_SCHEDULE, 0);
        std::vector<MSG> posted = Posted();
        if (c.posts) {
            ASSERT_EQ(posted.size(), 1u);
            EXPECT_EQ(posted[0].message, WM_BACKUP_REQUEST);
            EXPECT_EQ(posted[0].wParam, REQUEST_SCHEDULED);
            EXPECT_EQ(posted[0].hwnd, window_.get());
        } else {
            EXPECT_TRUE(posted.empty());
        }
    }
}

// A stretch of the runner's life: the schedule timer ticking every 45 s from firstTick for
// `seconds`, with settings reloads (each restarts the period) at the given offsets.
struct TickCase {
    const char* what;
    const wchar_t* mode;
    const wchar_t* time;
    std::tm firstTick;
    long long seconds;
    std::vector<long long> reloadsAfter;
    bool missedRunAtStart; // start-up posted a missed run for the latest moment
    int runs;
};

// Returns the number of scheduled requests the ticks posted, -1 when the set-up failed.
int CountScheduledRuns(HWND window, const std::wstring& ini, const TickCase& c)
{
    if (!WriteSetting(ini.c_str(), L"AutoBackup", L"Mode", c.mode) ||
        !WriteSetting(ini.c_str(), L"AutoBackup", L"Time", c.time))
        return -1;
    RegisterControlMessages();
    MainLoop loop = {window, 0, ini.c_str(), 0, false, false, false};
    LoadScheduleFrom(ini.c_str(), &sharedSchedule);
    scheduledMomentTaken = -1;
    std::tm first = c.firstTick;
    std::time_t tick = std::mktime(&first);
    std::time_t end = tick + static_cast<std::time_t>(c.seconds);
    if (c.missedRunAtStart) {
        recorder.clock = *std::localtime(&tick);
        TakeLatestScheduledMoment();
    }
    size_t reload = 0;
    int runs = 0;
    while (tick <= end) {
        recorder.clock = *std::localtime(&tick);
        TimerTick(window, WM_TIMER, TIMER_SCHEDULE, 0);
        PumpState state;
        PumpPending(nullptr, &state);
        for (const MSG& msg : state.reports)
            if (msg.message == WM_BACKUP_REQUEST && msg.wParam == REQUEST_SCHEDULED) ++runs;
        std::time_t next = tick + SCHEDULE_PERIOD_MS / 1000;
        std::tm firstCopy = c.firstTick;
        std::time_t start = std::mktime(&firstCopy);
        if (reload < c.reloadsAfter.size() && start + c.reloadsAfter[reload] < next) {
            // The real reload: the settings read again and the timers armed again.
            MSG msg{window, configReloadMessage, 0, 0, 0, {0, 0}};
            TakeProtocolMessage(&loop, msg);
            next = start + static_cast<std::time_t>(c.reloadsAfter[reload++]) + SCHEDULE_PERIOD_MS / 1000;
        }
        tick = next;
    }
    KillTimer(window, TIMER_SCHEDULE);
    return runs;
}

int RunTickCases(HWND window, const std::wstring& dir, const TickCase* cases, size_t count)
{
    static int counter = 0;
    int failures = 0;
    for (size_t i = 0; i < count; ++i) {
        std::wstring ini = dir + L"\\ticks" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                           std::to_wstring(++counter) + L".ini";
        int runs = CountScheduledRuns(window, ini, cases[i]);
        if (runs != cases[i].runs) {
            ++failures;
            std::printf("tick case \"%s\": %d runs, expected %d\n", cases[i].what, runs, cases[i].runs);
        }
    }
    return failures;
}

TEST_F(TimerTest, EachScheduledMomentStartsOneRun)
{
    ScratchDir dir;
    // 2010-06-15 is a Tuesday.
    TickCase cases[] = {
        {"two ticks in the scheduled minute", L"PRE_DAY", L"21:30", LocalTm(2010, 6, 15, 21, 29, 20), 1800, {}, false, 1},
        {"a day of ticks", L"PRE_DAY", L"21:30", LocalTm(2010, 6, 15, 21, 40, 0), 86400, {}, false, 1},
        {"a reload late in the minute pushes the tick past it", L"PRE_DAY", L"21:30",
         LocalTm(2010, 6, 15, 21, 29, 50), 600, {40}, false, 1},
        {"a reload at :59 after the run", L"PRE_DAY", L"21:30", LocalTm(2010, 6, 15, 21, 29, 20), 600, {99}, false, 1},
        {"a reload just before the moment", L"PRE_DAY", L"21:30", LocalTm(2010, 6, 15, 21, 29, 0), 600, {59}, false, 1},
        {"woken three minutes after the moment", L"PRE_DAY", L"21:30", LocalTm(2010, 6, 15, 21, 33, 0), 3600, {}, false, 0},
        {"start-up ran the missed moment", L"PRE_DAY", L"21:30", LocalTm(2010, 6, 15, 21, 30, 20), 600, {}, true, 0},
        {"weekly, a week of ticks", L"PRE_WEEK", L"21:30 TUE", LocalTm(2010, 6, 15, 21, 29, 20), 7 * 86400, {}, false, 1},
        {"weekly, not its day", L"PRE_WEEK", L"21:30 WED", LocalTm(2010, 6, 15, 21, 29, 20), 1800, {}, false, 0},
    };
    EXPECT_EQ(RunTickCases(window_.get(), dir.path(), cases, sizeof cases / sizeof cases[0]), 0);
}

// The daylight-saving days, in a child whose C runtime follows US Eastern time: on
// 14 March 2010 the clock goes from 02:00 to 03:00, on 7 November from 02:00 back to 01:00.
KESTOVA_CHILD(schedule_ticks_dst)
{
    if (!FollowEasternTime()) return 100;
    ScopedSeams<RunnerSeams> recording = InstallRecorders();
    TestWindow window;
    TickCase cases[] = {
        {"spring, a time in the skipped hour", L"PRE_DAY", L"02:30", LocalTm(2010, 3, 14, 0, 0, 0), 8 * 3600, {}, false, 1},
        {"spring, a time after the change", L"PRE_DAY", L"03:30", LocalTm(2010, 3, 14, 0, 0, 0), 8 * 3600, {}, false, 1},
        {"autumn, a time in the repeated hour", L"PRE_DAY", L"01:30", LocalTm(2010, 11, 7, 0, 0, 0), 8 * 3600, {}, false, 1},
        {"autumn, across three days", L"PRE_DAY", L"01:30", LocalTm(2010, 11, 6, 0, 0, 0), 3 * 86400, {}, false, 3},
    };
    return RunTickCases(window.get(), args.at(0), cases, sizeof cases / sizeof cases[0]);
}

TEST(ScheduleTicks, DaylightSavingChangeDays)
{
    ScratchDir dir;
    ChildResult r = RunChild(CurrentExePath(), L"schedule_ticks_dst", {dir.path()});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u) << r.output;
}

TEST_F(TimerTest, ClientWatchTickAsksForACheck)
{
    TimerTick(window_.get(), WM_TIMER, TIMER_CLIENT_WATCH, 0);
    TimerTick(window_.get(), WM_TIMER, 3, 0);
    std::vector<MSG> posted = Posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, WM_CHECK_CLIENT);
}

TEST_F(TimerTest, ArmsWhatTheSettingsAsk)
{
    ScratchDir dir;
    struct Arming {
        const wchar_t* afterQuit;
        int mode;
    };
    // A second arming is a reload: it arms what its settings ask and stops the client watch
    // when they do not ask for it; a schedule timer goes on and finds the mode NONE.
    struct Case {
        Arming first;
        bool rearm;
        Arming second;
        bool watch, schedule;
    } cases[] = {
        {{L"1", MODE_PRE_DAY}, false, {}, true, true},
        {{L"0", MODE_PRE_WEEK}, false, {}, false, true},
        {{nullptr, MODE_NONE}, false, {}, false, false},
        {{L"no", MODE_NONE}, false, {}, true, false}, // any first character but 0 is yes
        {{L"1", MODE_PRE_DAY}, true, {L"0", MODE_NONE}, false, true},
        {{L"1", MODE_NONE}, true, {nullptr, MODE_PRE_WEEK}, false, true},
        {{L"0", MODE_NONE}, true, {L"1", MODE_NONE}, true, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(index++);
        bool watching = false;
        for (const Arming* arming : {&c.first, c.rearm ? &c.second : nullptr}) {
            if (!arming) continue;
            std::wstring ini = FreshIni(dir);
            Set(ini, L"AutoBackup", L"AutobackupAfterQQuit", arming->afterQuit);
            sharedSchedule = {arming->mode, 21, 30, 1};
            watching = ArmTimers(window_.get(), ini.c_str());
        }
        EXPECT_EQ(watching, c.watch);
        // KillTimer tells whether the timer existed.
        EXPECT_EQ(KillTimer(window_.get(), TIMER_CLIENT_WATCH) != FALSE, c.watch);
        EXPECT_EQ(KillTimer(window_.get(), TIMER_SCHEDULE) != FALSE, c.schedule);
    }
}

TEST_F(TimerTest, ArmedClientWatchTicksThroughTheQueue)
{
    ScratchDir dir;
    std::wstring ini = FreshIni(dir);
    Set(ini, L"AutoBackup", L"AutobackupAfterQQuit", L"1");
    sharedSchedule = {MODE_NONE, 0, 0, 0};
    ArmTimers(window_.get(), ini.c_str());
    PumpState state;
    int checks = 0;
    DWORD start = GetTickCount();
    EXPECT_TRUE(PumpLoopUntil(nullptr, &state, [&] {
        for (; static_cast<size_t>(checks) < state.reports.size(); ++checks)
            EXPECT_EQ(state.reports[checks].message, WM_CHECK_CLIENT);
        return checks >= 3;
    }));
    // Three ticks of 200 ms: at least 400 ms from arming to the third.
    EXPECT_GE(GetTickCount() - start, 350u);
    KillTimer(window_.get(), TIMER_CLIENT_WATCH);
}

struct MissedCase {
    const wchar_t* flag;
    const wchar_t* mode;
    const wchar_t* time;
    const wchar_t* stamps[5];
    std::tm now;
    bool expected;
    const char* what;
};

// Runs the cases against fresh settings files in dir; returns the number of failures
// (also reported through gtest when called in the test process).
int RunMissedCases(const std::wstring& dir, const MissedCase* cases, size_t count)
{
    int failures = 0;
    static int counter = 0;
    for (size_t i = 0; i < count; ++i) {
        const MissedCase& c = cases[i];
        std::wstring ini = dir + L"\\missed" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                           std::to_wstring(++counter) + L".ini";
        if (c.flag) WriteSetting(ini.c_str(), L"AutoBackup", L"BackupAtuOnce", c.flag);
        if (c.mode) WriteSetting(ini.c_str(), L"AutoBackup", L"Mode", c.mode);
        if (c.time) WriteSetting(ini.c_str(), L"AutoBackup", L"Time", c.time);
        for (int n = 0; n < 5; ++n) {
            if (!c.stamps[n]) continue;
            std::wstring section = L"Target" + std::to_wstring(n + 1);
            WriteSetting(ini.c_str(), section.c_str(), L"Ended", c.stamps[n]);
        }
        recorder.clock = c.now;
        bool got = CheckMissedRunFrom(ini.c_str());
        if (got != c.expected) {
            ++failures;
            std::printf("missed-run case \"%s\": got %d\n", c.what, got ? 1 : 0);
        }
    }
    return failures;
}

TEST_F(TimerTest, MissedRunAcrossMonthsYearsAndWeeks)
{
    ScratchDir dir;
    // 2011-01-01 is a Saturday; 2010-12-30 a Thursday.
    MissedCase cases[] = {
        {nullptr, L"PRE_DAY", L"07:00", {}, LocalTm(2010, 3, 14, 10, 0), false, "no flag"},
        {L"0", L"PRE_DAY", L"07:00", {}, LocalTm(2010, 3, 14, 10, 0), false, "flag 0"},
        {L"1", L"NONE", L"07:00", {}, LocalTm(2010, 3, 14, 10, 0), false, "mode NONE"},
        {L"1", L"PRE_DAY", L"07:00", {}, LocalTm(2010, 3, 14, 10, 0), true, "no stamps"},
        {L"1", L"PRE_WEEK", L"07:00 mon", {L"garbage"}, LocalTm(2010, 3, 14, 10, 0), true, "unusable stamp"},
        // A month with no year cannot be represented: five such stamps are no backup either.
        {L"1", L"PRE_DAY", L"07:00", {L"Wed Mar", L"Wed Mar", L"Wed Mar", L"Wed Mar", L"Wed Mar"},
         LocalTm(2010, 3, 14, 10, 0), true, "five unrepresentable stamps"},
        {L"1", L"PRE_DAY", L"07:00", {L"Wed Mar", nullptr, L"garbage"}, LocalTm(2010, 3, 14, 10, 0), true,
         "unrepresentable, missing and unusable stamps"},
        {L"1", L"PRE_DAY", L"07:00", {L"Sun Mar 14 06:59:00 2010"}, LocalTm(2010, 3, 14, 10, 0), true, "today's moment passed"},
        {L"1", L"PRE_DAY", L"07:00", {L"Sun Mar 14 07:00:00 2010"}, LocalTm(2010, 3, 14, 10, 0), false, "completed at the moment"},
        {L"1", L"PRE_DAY", L"21:30", {L"Sun Feb 28 21:45:00 2010"}, LocalTm(2010, 3, 1, 8, 0), false, "month end, done"},
        {L"1", L"PRE_DAY", L"21:30", {L"Sun Feb 28 21:15:00 2010"}, LocalTm(2010, 3, 1, 8, 0), true, "month end, missed"},
        {L"1", L"PRE_DAY", L"23:59", {L"Fri Dec 31 23:59:30 2010"}, LocalTm(2011, 1, 1, 0, 10), false, "year end, done"},
        {L"1", L"PRE_DAY", L"23:59", {L"Fri Dec 31 23:58:00 2010"}, LocalTm(2011, 1, 1, 0, 10), true, "year end, missed"},
        {L"1", L"PRE_WEEK", L"21:30 thu", {L"Thu Dec 30 22:00:00 2010"}, LocalTm(2011, 1, 1, 10, 0), false, "weekly over New Year, done"},
        {L"1", L"PRE_WEEK", L"21:30 thu", {L"Wed Dec 29 22:00:00 2010"}, LocalTm(2011, 1, 1, 10, 0), true, "weekly over New Year, missed"},
        {L"1", L"PRE_WEEK", L"21:30 thu", {L"Thu Dec 30 22:00:00 2010"}, LocalTm(2011, 1, 6, 20, 0), false, "this week's day still ahead"},
        {L"1", L"PRE_WEEK", L"21:30 thu", {L"Thu Dec 30 22:00:00 2010"}, LocalTm(2011, 1, 6, 22, 0), true, "this week's day passed"},
        {L"1", L"PRE_WEEK", L"21:30 FIR", {L"Fri Mar 19 21:00:00 2010"}, LocalTm(2010, 3, 20, 10, 0), true, "FIR, missed"},
        {L"1", L"PRE_DAY", L"25:00", {L"Mon Jan 04 10:00:00 2010"}, LocalTm(2010, 3, 14, 10, 0), false, "hour 25 never comes"},
        {L"1", L"PRE_DAY", L"10:75", {L"Mon Jan 04 10:00:00 2010"}, LocalTm(2010, 3, 14, 10, 0), false, "minute 75 never comes"},
        {L"1", L"PRE_DAY", L"07:00",
         {L"Mon Jan 04 10:00:00 2010", nullptr, L"Sun Mar 14 08:00:00 2010", L"Sat Mar 13 08:00:00 2010"},
         LocalTm(2010, 3, 14, 10, 0), false, "the newest slot counts"},
    };
    EXPECT_EQ(RunMissedCases(dir.path(), cases, sizeof cases / sizeof cases[0]), 0);

    recorder.clockAvailable = false;
    MissedCase noClock[] = {{L"1", L"PRE_DAY", L"07:00", {}, LocalTm(2010, 3, 14, 10, 0), false, "no clock"}};
    EXPECT_EQ(RunMissedCases(dir.path(), noClock, 1), 0);
}

// Daylight-saving days, in a child whose C runtime follows US Eastern time (the rules
// of 2007 on: 14 March 2010 springs forward, 7 November 2010 falls back).
KESTOVA_CHILD(missed_run_dst)
{
    if (!FollowEasternTime()) return 100;
    ScopedSeams<RunnerSeams> recording = InstallRecorders();
    MissedCase cases[] = {
        // Saturday 12:00 EST lies 23 hours before Sunday 12:00 EDT: going back a day is
        // done on the calendar, not as 86400 seconds.
        {L"1", L"PRE_DAY", L"12:00", {L"Sat Mar 13 12:30:00 2010"}, LocalTm(2010, 3, 14, 11, 0), false, "spring, done"},
        {L"1", L"PRE_DAY", L"12:00", {L"Sat Mar 13 11:30:00 2010"}, LocalTm(2010, 3, 14, 11, 0), true, "spring, missed"},
        // A summer stamp is wall-clock time: 11:30 EDT is before the 12:00 EDT moment.
        {L"1", L"PRE_DAY", L"12:00", {L"Sat Nov 06 11:30:00 2010"}, LocalTm(2010, 11, 7, 11, 0), true, "autumn, missed"},
        {L"1", L"PRE_DAY", L"12:00", {L"Sat Nov 06 12:30:00 2010"}, LocalTm(2010, 11, 7, 11, 0), false, "autumn, done"},
        {L"1", L"PRE_WEEK", L"12:00 sat", {L"Sat Mar 13 12:30:00 2010"}, LocalTm(2010, 3, 19, 13, 0), false, "weekly over the change"},
    };
    return RunMissedCases(args.at(0), cases, sizeof cases / sizeof cases[0]);
}

TEST(MissedRun, DaylightSavingChangeDays)
{
    ScratchDir dir;
    ChildResult r = RunChild(CurrentExePath(), L"missed_run_dst", {dir.path()});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u) << r.output;
}

} // namespace
