// The two window timers that drive the client-exit and scheduled backups, and the rule
// for a missed scheduled run, with the start-up check that applies it.
#pragma once

#include "base/Platform.h"
#include "contracts/ScheduleFormat.h"

#include <ctime>

constexpr UINT_PTR TIMER_CLIENT_WATCH = 1;
constexpr UINT_PTR TIMER_SCHEDULE = 2;
constexpr UINT CLIENT_WATCH_PERIOD_MS = 200;
constexpr UINT SCHEDULE_PERIOD_MS = 45000;

// The schedule the timers follow. Main thread only (start-up, reload, timer ticks): no lock.
extern Schedule sharedSchedule;

// Arms TIMER_CLIENT_WATCH when "AutobackupAfterQQuit" is set and stops it when not, and
// arms TIMER_SCHEDULE when the shared schedule has a mode (a schedule timer already
// running is left to find the mode NONE). Returns whether the client watch now runs.
bool ArmTimers(HWND window, const wchar_t* configPath);

// How long after a scheduled moment a tick still starts its run: two timer periods and
// half a minute more, so a tick pushed back by a reload (which restarts the period) or a
// busy moment still comes in time, while a moment that passed while the machine slept is
// not made up when it wakes.
constexpr long long SCHEDULE_GRACE_SECONDS = 120;

// The scheduled moment (seconds, as mktime gives them) whose run has been started, by a
// tick or by start-up's missed-run check; -1 for none. Main thread only: no lock. A reload
// keeps it, so a moment never starts a second run.
extern long long scheduledMomentTaken;

// The timers' callback: posts WM_CHECK_CLIENT; or, on the first tick at or after a
// scheduled moment and no more than SCHEDULE_GRACE_SECONDS after it, one
// WM_BACKUP_REQUEST (REQUEST_SCHEDULED) for that moment.
void CALLBACK TimerTick(HWND window, UINT message, UINT_PTR id, DWORD tickCount);

// Marks the latest scheduled moment at or before now as taken: start-up's missed run is
// that moment's run.
void TakeLatestScheduledMoment();

// Whether a scheduled run was missed since the latest completion stamp, when
// "BackupAtuOnce" asks for the check. Uses config.ini beside the program.
bool CheckMissedRun();
bool CheckMissedRunFrom(const wchar_t* configPath);

// The most recent scheduled moment at or before now (seconds, as mktime gives them): the
// scheduled hour and minute on now's date, or on the day (week) before when that is still
// ahead. -1 when the schedule has none: no mode, an hour or minute outside the clock, or a
// failed mktime.
long long LatestScheduledMoment(const Schedule& schedule, const std::tm& now);

// The rule: yes exactly when latest (seconds, as mktime gives them) is earlier than the
// most recent scheduled moment at or before now. An hour or minute outside the clock
// never comes, so it is never missed; a failed mktime gives no.
bool IsScheduledRunMissed(const Schedule& schedule, long long latest, const std::tm& now);
