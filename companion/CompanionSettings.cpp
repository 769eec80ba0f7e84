#include "companion/CompanionSettings.h"

#include "base/PathText.h"
#include "base/Settings.h"
#include "contracts/ScheduleFormat.h"
#include "contracts/SettingsFormat.h"

#include <cwchar>
#include <cwctype>
#include <initializer_list>

void LoadCompanionSettings(const wchar_t* configPath, CompanionSettings* settings)
{
    settings->afterClientQuit = false;
    settings->missedAtStart = false;
    settings->mode = MODE_NONE;
    settings->hour = DEFAULT_SCHEDULE_HOUR;
    settings->minute = DEFAULT_SCHEDULE_MINUTE;
    settings->weekday = DEFAULT_SCHEDULE_WEEKDAY;
    if (!configPath) return;

    settings->afterClientQuit = ReadSettingFlag(configPath, SECTION_AUTOBACKUP, KEY_AFTER_CLIENT_QUIT);
    settings->missedAtStart = ReadSettingFlag(configPath, SECTION_AUTOBACKUP, KEY_MISSED_AT_START);

    Schedule schedule = {MODE_NONE, DEFAULT_SCHEDULE_HOUR, DEFAULT_SCHEDULE_MINUTE, DEFAULT_SCHEDULE_WEEKDAY};
    LoadScheduleFrom(configPath, &schedule);
    if (schedule.mode == MODE_NONE) return;
    // The runner accepts 25:00 and then never fires: to the user that is no schedule.
    if (schedule.hour < 0 || schedule.hour > 23 || schedule.minute < 0 || schedule.minute > 59) return;
    settings->mode = schedule.mode;
    settings->hour = schedule.hour;
    settings->minute = schedule.minute;
    if (schedule.mode == MODE_PRE_WEEK) settings->weekday = schedule.weekday;
}

bool AreSettingsValid(const CompanionSettings& settings)
{
    if (!ScheduleModeText(settings.mode)) return false;
    if (settings.hour < 0 || settings.hour > 23 || settings.minute < 0 || settings.minute > 59) return false;
    if (settings.mode == MODE_PRE_WEEK && (settings.weekday < 0 || settings.weekday > 6)) return false;
    return true;
}

bool WriteCompanionSettings(const wchar_t* configPath, const CompanionSettings& settings)
{
    if (!configPath || !AreSettingsValid(settings)) return false;
    Schedule schedule = {settings.mode, settings.hour, settings.minute, settings.weekday};
    bool written = WriteSchedule(configPath, schedule);
    written = WriteSetting(configPath, SECTION_AUTOBACKUP, KEY_AFTER_CLIENT_QUIT,
                           settings.afterClientQuit ? L"1" : L"0") && written;
    written = WriteSetting(configPath, SECTION_AUTOBACKUP, KEY_MISSED_AT_START,
                           settings.missedAtStart ? L"1" : L"0") && written;
    if (!written) return false;

    CompanionSettings back;
    LoadCompanionSettings(configPath, &back);
    if (back.mode != settings.mode || back.afterClientQuit != settings.afterClientQuit ||
        back.missedAtStart != settings.missedAtStart)
        return false;
    if (settings.mode == MODE_NONE) return true;
    if (back.hour != settings.hour || back.minute != settings.minute) return false;
    return settings.mode != MODE_PRE_WEEK || back.weekday == settings.weekday;
}

namespace {

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b)
{
    for (; *a && *b; ++a, ++b)
        if (towupper(*a) != towupper(*b)) return false;
    return *a == *b;
}

// Two decimal digits at text; -1 when either is not a digit.
int TwoDigits(const wchar_t* text)
{
    if (!iswdigit(text[0]) || !iswdigit(text[1])) return -1;
    return (text[0] - L'0') * 10 + (text[1] - L'0');
}

bool ParseFlag(const wchar_t* value, bool* flag)
{
    if (wcscmp(value, L"1") == 0) *flag = true;
    else if (wcscmp(value, L"0") == 0) *flag = false;
    else return false;
    return true;
}

} // namespace

int ApplySettingText(const wchar_t* text, CompanionSettings* settings, bool* weekdayGiven, bool* timeGiven)
{
    if (!text || !settings) return SETTING_BAD_VALUE;
    const wchar_t* equals = wcschr(text, L'=');
    if (!equals) return SETTING_BAD_VALUE;
    wchar_t key[64];
    size_t keyLength = static_cast<size_t>(equals - text);
    if (keyLength == 0 || keyLength >= 64) return SETTING_UNKNOWN_KEY;
    wmemcpy(key, text, keyLength);
    key[keyLength] = L'\0';
    const wchar_t* value = equals + 1;

    if (EqualsIgnoringCase(key, KEY_AFTER_CLIENT_QUIT))
        return ParseFlag(value, &settings->afterClientQuit) ? SETTING_APPLIED : SETTING_BAD_VALUE;
    if (EqualsIgnoringCase(key, KEY_MISSED_AT_START))
        return ParseFlag(value, &settings->missedAtStart) ? SETTING_APPLIED : SETTING_BAD_VALUE;
    if (EqualsIgnoringCase(key, KEY_MODE)) {
        for (int mode : {MODE_NONE, MODE_PRE_DAY, MODE_PRE_WEEK}) {
            if (!EqualsIgnoringCase(value, ScheduleModeText(mode))) continue;
            settings->mode = mode;
            return SETTING_APPLIED;
        }
        return SETTING_BAD_VALUE;
    }
    if (!EqualsIgnoringCase(key, KEY_TIME)) return SETTING_UNKNOWN_KEY;

    size_t length = wcslen(value);
    if (length != 5 && length != 9) return SETTING_BAD_VALUE;
    int hour = TwoDigits(value);
    int minute = TwoDigits(value + 3);
    if (value[2] != L':' || hour < 0 || hour > 23 || minute < 0 || minute > 59) return SETTING_BAD_VALUE;
    int weekday = -1;
    if (length == 9) {
        if (value[5] != L' ') return SETTING_BAD_VALUE;
        const wchar_t* day = value + 6;
        for (int n = 0; n < 7; ++n)
            if (EqualsIgnoringCase(day, SCHEDULE_DAY_NAMES[n])) weekday = n;
        if (EqualsIgnoringCase(day, L"FRI")) weekday = 5; // the usual spelling, written as "FIR"
        if (weekday < 0) return SETTING_BAD_VALUE;
    }
    settings->hour = hour;
    settings->minute = minute;
    if (timeGiven) *timeGiven = true;
    if (weekday >= 0) {
        settings->weekday = weekday;
        if (weekdayGiven) *weekdayGiven = true;
    }
    return SETTING_APPLIED;
}
