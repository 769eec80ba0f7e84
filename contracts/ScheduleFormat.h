// The schedule as config.ini's [AutoBackup] section holds it: "Mode" and "Time", read as
// the runner takes them and written in the only forms it reads. The runner follows the
// schedule; the companion shows and edits it through this same code.
#pragma once

#include <cstddef>

constexpr int MODE_NONE = 1;
constexpr int MODE_PRE_DAY = 2;
constexpr int MODE_PRE_WEEK = 3;

struct Schedule {
    int mode;    // MODE_NONE, MODE_PRE_DAY or MODE_PRE_WEEK
    int hour;    // as configured; any value is taken
    int minute;  // as configured; any value is taken
    int weekday; // MODE_PRE_WEEK only: Sunday 0 .. Saturday 6
};

// Day names of a weekly "Time", Sunday 0 .. Saturday 6. Friday is "FIR", the only spelling
// read and the one written.
extern const wchar_t* const SCHEDULE_DAY_NAMES[7];

// Room for the "Time" value as written, terminator included ("HH:MM DDD" is 9).
constexpr size_t SCHEDULE_TIME_CAPACITY = 16;

// Reads "Mode" and "Time" of [AutoBackup] from config.ini beside the program. Anything
// unreadable or malformed leaves MODE_NONE and the other fields as they were.
void LoadSchedule(Schedule* record);
// The same from a given settings file; a null path gives MODE_NONE.
void LoadScheduleFrom(const wchar_t* configPath, Schedule* record);

// The "Mode" text: "NONE", "PRE_DAY" or "PRE_WEEK"; null for any other mode.
const wchar_t* ScheduleModeText(int mode);

// The "Time" text: "HH:MM" or, for MODE_PRE_WEEK, "HH:MM DDD" with the day names above.
// Null when the hour, minute or (weekly) weekday lies outside the clock, the mode is not
// one of the three, or the buffer is too small.
wchar_t* FormatScheduleTime(const Schedule& schedule, wchar_t* buffer, size_t capacity);

// Writes "Time" (unless the mode is MODE_NONE: the runner ignores it then, and the stored
// value is left as it is), then "Mode". Time before mode: a runner that reads in between
// sees the new time under the old mode, or no schedule, never a new mode with a stale
// time. False when the schedule cannot be formatted or a write fails.
bool WriteSchedule(const wchar_t* configPath, const Schedule& schedule);
