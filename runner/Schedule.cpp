#include "runner/Schedule.h"

#include "backup/BackupStore.h"
#include "base/PathText.h"
#include "base/Settings.h"
#include "contracts/ControlMessages.h"
#include "contracts/ProgramFiles.h"
#include "contracts/SettingsFormat.h"
#include "runner/RunnerSeams.h"

#include <cstdlib>
#include <cwchar>

Schedule sharedSchedule = {MODE_NONE, 0, 0, 0};

bool ArmTimers(HWND window, const wchar_t* configPath)
{
    // SetTimer on a running id restarts its period; a failure leaves the trigger missing.
    bool watch = ReadSettingFlag(configPath, SECTION_AUTOBACKUP, KEY_AFTER_CLIENT_QUIT) &&
                 SetTimer(window, TIMER_CLIENT_WATCH, CLIENT_WATCH_PERIOD_MS, TimerTick) != 0;
    if (!watch) KillTimer(window, TIMER_CLIENT_WATCH);
    if (sharedSchedule.mode != MODE_NONE)
        SetTimer(window, TIMER_SCHEDULE, SCHEDULE_PERIOD_MS, TimerTick);
    return watch;
}

long long scheduledMomentTaken = -1;

namespace {

// The local time as mktime counts it, for a record the clock gave.
long long Seconds(const std::tm& local)
{
    std::tm copy = local;
    return static_cast<long long>(std::mktime(&copy));
}

} // namespace

void CALLBACK TimerTick(HWND window, UINT, UINT_PTR id, DWORD)
{
    if (id == TIMER_CLIENT_WATCH) {
        PostMessageW(window, WM_CHECK_CLIENT, 0, 0);
        return;
    }
    if (id != TIMER_SCHEDULE || sharedSchedule.mode == MODE_NONE) return;
    std::tm now;
    if (!runnerSeams.localNow(&now)) return;
    // One run per scheduled moment, from the first tick at or after it. Matching the
    // wall-clock minute instead would run twice when two ticks fall in it, never when a
    // reload pushes the next tick past it, and wrongly on daylight-saving days.
    long long nowTime = Seconds(now);
    long long moment = LatestScheduledMoment(sharedSchedule, now);
    if (nowTime == -1 || moment == -1 || moment == scheduledMomentTaken) return;
    if (nowTime - moment > SCHEDULE_GRACE_SECONDS) return;
    scheduledMomentTaken = moment;
    PostMessageW(window, WM_BACKUP_REQUEST, REQUEST_SCHEDULED, 0);
}

void TakeLatestScheduledMoment()
{
    std::tm now;
    if (!runnerSeams.localNow(&now)) return;
    long long moment = LatestScheduledMoment(sharedSchedule, now);
    if (moment != -1) scheduledMomentTaken = moment;
}

namespace {

// now's date moved back by daysBack days, at hour:minute:00; mktime normalises the day,
// month and year, and finds the daylight-saving flag itself (tm_isdst -1).
long long ScheduledMoment(const std::tm& now, int daysBack, int hour, int minute)
{
    std::tm moment{};
    moment.tm_year = now.tm_year;
    moment.tm_mon = now.tm_mon;
    moment.tm_mday = now.tm_mday - daysBack;
    moment.tm_hour = hour;
    moment.tm_min = minute;
    moment.tm_sec = 0;
    moment.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&moment));
}

} // namespace

long long LatestScheduledMoment(const Schedule& schedule, const std::tm& now)
{
    if (schedule.mode != MODE_PRE_DAY && schedule.mode != MODE_PRE_WEEK) return -1;
    if (schedule.hour < 0 || schedule.hour > 23 || schedule.minute < 0 || schedule.minute > 59)
        return -1;
    std::tm nowCopy = now;
    long long nowTime = static_cast<long long>(std::mktime(&nowCopy));
    if (nowTime == -1) return -1;

    int daysBack = 0;
    int period = 1;
    if (schedule.mode == MODE_PRE_WEEK) {
        if (schedule.weekday < 0 || schedule.weekday > 6) return -1;
        daysBack = (nowCopy.tm_wday - schedule.weekday + 7) % 7;
        period = 7;
    }
    long long moment = ScheduledMoment(nowCopy, daysBack, schedule.hour, schedule.minute);
    if (moment != -1 && moment > nowTime)
        moment = ScheduledMoment(nowCopy, daysBack + period, schedule.hour, schedule.minute);
    return moment;
}

bool IsScheduledRunMissed(const Schedule& schedule, long long latest, const std::tm& now)
{
    long long moment = LatestScheduledMoment(schedule, now);
    return moment != -1 && latest < moment;
}

bool CheckMissedRunFrom(const wchar_t* configPath)
{
    if (!configPath) return false;
    if (!ReadSettingFlag(configPath, SECTION_AUTOBACKUP, KEY_MISSED_AT_START)) return false;
    Schedule schedule = {MODE_NONE, 0, 0, 0};
    LoadScheduleFrom(configPath, &schedule);
    if (schedule.mode == MODE_NONE) return false;

    int latest = FindNewestStampedSlot(configPath, 0);

    std::tm now;
    if (!runnerSeams.localNow(&now)) return false;

    // No slot holds a usable stamp: nothing was ever backed up, so a run is due whatever
    // the schedule says.
    if (latest == 0) return true;
    wchar_t stamp[STAMP_CAPACITY];
    long long completedTime = StampLocalMoment(ReadSlotStamp(configPath, latest, stamp, STAMP_CAPACITY));
    if (completedTime == -1) return false;
    return IsScheduledRunMissed(schedule, completedTime, now);
}

bool CheckMissedRun()
{
    wchar_t configPath[PATH_CAPACITY];
    return CheckMissedRunFrom(GetConfigPath(configPath, PATH_CAPACITY));
}
