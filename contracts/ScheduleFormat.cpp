// The [AutoBackup] schedule format. Kept apart from the timers, so that the companion
// program shows and writes a schedule exactly as the runner takes it, from the same code,
// without linking the runner's loop and worker.
#include "contracts/ScheduleFormat.h"

#include "base/PathText.h"
#include "base/Settings.h"
#include "contracts/ProgramFiles.h"
#include "contracts/SettingsFormat.h"

#include <cstdlib>
#include <cwchar>

// Friday is spelled "FIR": the companion program has always written it so.
const wchar_t* const SCHEDULE_DAY_NAMES[7] = {L"SUN", L"MON", L"TUE", L"WED", L"THU", L"FIR", L"SAT"};

namespace {

constexpr size_t MODE_CAPACITY = 64;
constexpr size_t TIME_CAPACITY = 128;

// _wtoi of `count` characters of text starting at `first`.
int NumberAt(const wchar_t* text, size_t first, size_t count)
{
    wchar_t part[4] = {};
    wmemcpy(part, text + first, count);
    return _wtoi(part);
}

} // namespace

void LoadScheduleFrom(const wchar_t* configPath, Schedule* record)
{
    record->mode = MODE_NONE;
    if (!configPath) return;

    wchar_t mode[MODE_CAPACITY];
    if (!ReadSetting(configPath, SECTION_AUTOBACKUP, KEY_MODE, mode, MODE_CAPACITY)) return;
    ToUpperAscii(mode);
    int newMode;
    if (wcscmp(mode, L"NONE") == 0) return;
    if (wcscmp(mode, L"PRE_DAY") == 0) newMode = MODE_PRE_DAY;
    else if (wcscmp(mode, L"PRE_WEEK") == 0) newMode = MODE_PRE_WEEK;
    else return;

    wchar_t time[TIME_CAPACITY];
    if (!ReadSetting(configPath, SECTION_AUTOBACKUP, KEY_TIME, time, TIME_CAPACITY)) return;
    size_t length = wcslen(time);
    if (length < 5) return;
    int hour = NumberAt(time, 0, 2);
    int minute = NumberAt(time, 3, 2);

    if (newMode == MODE_PRE_DAY) {
        record->hour = hour;
        record->minute = minute;
        record->mode = newMode; // last, so a partial read never leaves a mode behind
        return;
    }
    if (length < 9) return;
    wchar_t day[4] = {};
    wmemcpy(day, time + 6, 3);
    ToUpperAscii(day);
    for (int weekday = 0; weekday < 7; ++weekday) {
        if (wcscmp(day, SCHEDULE_DAY_NAMES[weekday]) != 0) continue;
        record->hour = hour;
        record->minute = minute;
        record->weekday = weekday;
        record->mode = newMode;
        return;
    }
}

void LoadSchedule(Schedule* record)
{
    wchar_t configPath[PATH_CAPACITY];
    LoadScheduleFrom(GetConfigPath(configPath, PATH_CAPACITY), record);
}

const wchar_t* ScheduleModeText(int mode)
{
    switch (mode) {
    case MODE_NONE: return L"NONE";
    case MODE_PRE_DAY: return L"PRE_DAY";
    case MODE_PRE_WEEK: return L"PRE_WEEK";
    default: return nullptr;
    }
}

wchar_t* FormatScheduleTime(const Schedule& schedule, wchar_t* buffer, size_t capacity)
{
    if (!buffer || !ScheduleModeText(schedule.mode)) return nullptr;
    if (schedule.hour < 0 || schedule.hour > 23 || schedule.minute < 0 || schedule.minute > 59) return nullptr;
    bool weekly = schedule.mode == MODE_PRE_WEEK;
    if (weekly && (schedule.weekday < 0 || schedule.weekday > 6)) return nullptr;
    int written = weekly ? swprintf(buffer, capacity, L"%02d:%02d %ls", schedule.hour, schedule.minute,
                                    SCHEDULE_DAY_NAMES[schedule.weekday])
                         : swprintf(buffer, capacity, L"%02d:%02d", schedule.hour, schedule.minute);
    return written > 0 ? buffer : nullptr;
}

bool WriteSchedule(const wchar_t* configPath, const Schedule& schedule)
{
    wchar_t time[SCHEDULE_TIME_CAPACITY];
    if (!configPath || !FormatScheduleTime(schedule, time, SCHEDULE_TIME_CAPACITY)) return false;
    bool written = true;
    if (schedule.mode != MODE_NONE)
        written = WriteSetting(configPath, SECTION_AUTOBACKUP, KEY_TIME, time) && written;
    return WriteSetting(configPath, SECTION_AUTOBACKUP, KEY_MODE, ScheduleModeText(schedule.mode)) && written;
}
