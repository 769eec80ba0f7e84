// The four automatic-backup settings of config.ini's [AutoBackup] section as the companion
// edits them: loaded exactly as the runner takes them, checked, and written back in the
// only forms the runner reads.
#pragma once

#include <cstddef>

struct CompanionSettings {
    bool afterClientQuit; // "AutobackupAfterQQuit"
    int mode;             // MODE_NONE, MODE_PRE_DAY or MODE_PRE_WEEK
    int hour;             // 0..23 once valid
    int minute;           // 0..59 once valid
    int weekday;          // Sunday 0 .. Saturday 6; used by MODE_PRE_WEEK only
    bool missedAtStart;   // "BackupAtuOnce"
};

// What a schedule with no meaningful time of its own shows: 21:00 on Sunday.
constexpr int DEFAULT_SCHEDULE_HOUR = 21;
constexpr int DEFAULT_SCHEDULE_MINUTE = 0;
constexpr int DEFAULT_SCHEDULE_WEEKDAY = 0;

// Fills settings from configPath as the runner takes them: the schedule through the
// runner's own reader, the flags by their first character. A schedule whose hour or minute
// lies outside the clock never fires, so it shows as no schedule. A null path gives the
// defaults (everything off).
void LoadCompanionSettings(const wchar_t* configPath, CompanionSettings* settings);

// True when every field is in range: mode one of the three, hour 0..23, minute 0..59 and,
// for weekly, weekday 0..6.
bool AreSettingsValid(const CompanionSettings& settings);

// Writes "Time" (unless the mode is MODE_NONE: the runner ignores it then, and the stored
// value is left as it is), then "Mode", then the two flags as "1" or "0"; touches
// nothing else. Reads the values back and returns true only when the runner would now take
// exactly these settings. Invalid settings write nothing and return false.
bool WriteCompanionSettings(const wchar_t* configPath, const CompanionSettings& settings);

// Results of ApplySettingText.
enum SettingTextResult {
    SETTING_APPLIED = 0,
    SETTING_UNKNOWN_KEY = 1,
    SETTING_BAD_VALUE = 2,
};

// Applies one "Key=Value" text to settings, as given on the command line. Keys are the
// config.ini names, in any letter case. Flags take "1" or "0"; "Mode" one of the three mode
// texts in any case; "Time" "HH:MM" or "HH:MM DDD" (two digits each, a day name of the
// runner's, in any case; "FRI" is taken for Friday and written as the runner's "FIR").
// A weekly time also sets the weekday; *weekdayGiven is set when it does. *timeGiven (when
// not null) is set when a "Time" is applied.
int ApplySettingText(const wchar_t* text, CompanionSettings* settings, bool* weekdayGiven,
                     bool* timeGiven = nullptr);
