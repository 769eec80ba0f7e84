// The settings dialog. Its controls mirror CompanionSettings; the file is touched only on
// OK and Apply.
#include "companion/CompanionResource.h"
#include "companion/CompanionSettings.h"
#include "companion/CompanionTexts.h"
#include "companion/Dialogs.h"
#include "companion/LastRun.h"
#include "companion/SlotList.h"
#include "contracts/ProgramFiles.h"
#include "contracts/RunnerControl.h"

#include "base/Settings.h"
#include "contracts/ScheduleFormat.h"

#include <shellapi.h>

#include <cwchar>

namespace {

constexpr UINT_PTR TIMER_RUNNER_STATE = 1;
constexpr UINT RUNNER_STATE_PERIOD_MS = 500;

// Owned by the dialog's thread; lives as long as the dialog.
struct OptionsState {
    wchar_t programDir[PATH_CAPACITY];
    wchar_t configPath[PATH_CAPACITY];
    wchar_t logPath[PATH_CAPACITY];
    WIN32_FILE_ATTRIBUTE_DATA logSeen; // logs.txt as last shown (all zero: none)
    bool loading;          // controls are being filled: their notifications are not edits
    RunnerStopRequest stop; // the user asked the runner to quit
};

void FillNumbers(HWND combo, int count)
{
    for (int n = 0; n < count; ++n) {
        wchar_t text[8];
        swprintf(text, 8, L"%02d", n);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
}

void EnableScheduleControls(HWND dialog)
{
    bool daily = IsDlgButtonChecked(dialog, IDC_MODE_DAY) == BST_CHECKED;
    bool weekly = IsDlgButtonChecked(dialog, IDC_MODE_WEEK) == BST_CHECKED;
    EnableWindow(GetDlgItem(dialog, IDC_WEEKDAY), weekly);
    EnableWindow(GetDlgItem(dialog, IDC_HOUR), daily || weekly);
    EnableWindow(GetDlgItem(dialog, IDC_MINUTE), daily || weekly);
}

void ShowSettings(HWND dialog, const CompanionSettings& settings)
{
    CheckDlgButton(dialog, IDC_AFTER_QUIT, settings.afterClientQuit ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_MISSED, settings.missedAtStart ? BST_CHECKED : BST_UNCHECKED);
    int radio = settings.mode == MODE_PRE_DAY ? IDC_MODE_DAY : settings.mode == MODE_PRE_WEEK ? IDC_MODE_WEEK : IDC_MODE_NONE;
    CheckRadioButton(dialog, IDC_MODE_NONE, IDC_MODE_WEEK, radio);
    SendDlgItemMessageW(dialog, IDC_WEEKDAY, CB_SETCURSEL, static_cast<WPARAM>(settings.weekday), 0);
    SendDlgItemMessageW(dialog, IDC_HOUR, CB_SETCURSEL, static_cast<WPARAM>(settings.hour), 0);
    SendDlgItemMessageW(dialog, IDC_MINUTE, CB_SETCURSEL, static_cast<WPARAM>(settings.minute), 0);
    EnableScheduleControls(dialog);
}

CompanionSettings SettingsFromControls(HWND dialog)
{
    CompanionSettings settings{};
    settings.afterClientQuit = IsDlgButtonChecked(dialog, IDC_AFTER_QUIT) == BST_CHECKED;
    settings.missedAtStart = IsDlgButtonChecked(dialog, IDC_MISSED) == BST_CHECKED;
    settings.mode = IsDlgButtonChecked(dialog, IDC_MODE_WEEK) == BST_CHECKED  ? MODE_PRE_WEEK
                    : IsDlgButtonChecked(dialog, IDC_MODE_DAY) == BST_CHECKED ? MODE_PRE_DAY
                                                                               : MODE_NONE;
    settings.weekday = static_cast<int>(SendDlgItemMessageW(dialog, IDC_WEEKDAY, CB_GETCURSEL, 0, 0));
    settings.hour = static_cast<int>(SendDlgItemMessageW(dialog, IDC_HOUR, CB_GETCURSEL, 0, 0));
    settings.minute = static_cast<int>(SendDlgItemMessageW(dialog, IDC_MINUTE, CB_GETCURSEL, 0, 0));
    return settings;
}

void ShowSlotTimes(HWND dialog, const OptionsState* state)
{
    SlotInfo slots[SLOT_COUNT];
    ListSlots(state->programDir, state->configPath, false, slots);
    SortSlotsNewestFirst(slots, SLOT_COUNT);
    wchar_t text[512] = L"";
    size_t used = 0;
    for (const SlotInfo& slot : slots) {
        wchar_t time[64], line[128];
        FormatSlotTime(slot, time, 64);
        swprintf(line, 128, TEXT_SLOT_TIME_FORMAT, slot.number, time);
        int written = swprintf(text + used, 512 - used, L"%ls%ls", used ? L"\r\n" : L"", line);
        if (written > 0) used += static_cast<size_t>(written);
    }
    SetDlgItemTextW(dialog, IDC_SLOT_TIMES, text);
}

void ShowRunnerState(HWND dialog, OptionsState* state)
{
    HWND runner = FindRunnerWindow();
    const wchar_t* text = runner ? TEXT_RUNNER_RUNNING : TEXT_RUNNER_NOT_RUNNING;
    if (state->stop.started()) {
        if (!runner) text = TEXT_RUNNER_GONE;
        else if (state->stop.window() != runner) state->stop = RunnerStopRequest{}; // a new runner
        else text = state->stop.Poll() == STOP_PHASE_FINISHING_BACKUP ? TEXT_RUNNER_FINISHING : TEXT_RUNNER_STOP_WAITING;
    }
    wchar_t current[128];
    GetDlgItemTextW(dialog, IDC_RUNNER_STATE, current, 128);
    if (wcscmp(current, text) != 0) SetDlgItemTextW(dialog, IDC_RUNNER_STATE, text);
    EnableWindow(GetDlgItem(dialog, IDC_STOP_RUNNER), runner != nullptr);
}

// The last run's outcome from logs.txt, read again whenever the file has changed (a run
// rewrites it) since it was last shown.
void ShowLastRun(HWND dialog, OptionsState* state, bool force)
{
    WIN32_FILE_ATTRIBUTE_DATA now{};
    if (!GetFileAttributesExW(state->logPath, GetFileExInfoStandard, &now)) now = WIN32_FILE_ATTRIBUTE_DATA{};
    if (!force && memcmp(&now, &state->logSeen, sizeof now) == 0) return;
    state->logSeen = now;
    static LastRun run; // large; the dialog's thread only
    static wchar_t text[LAST_RUN_PATHS * PATH_CAPACITY + LAST_RUN_TEXT_CAPACITY];
    ReadLastRun(state->logPath, &run);
    SetDlgItemTextW(dialog, IDC_LAST_RUN, FormatLastRun(run, text, sizeof text / sizeof text[0]));
    EnableWindow(GetDlgItem(dialog, IDC_OPEN_LOG), run.outcome != LAST_RUN_NONE);
}

// Writes the controls' settings; tells the user and returns false when that fails.
bool SaveSettings(HWND dialog, OptionsState* state)
{
    CompanionSettings settings = SettingsFromControls(dialog);
    if (!WriteCompanionSettings(state->configPath, settings)) {
        MessageBoxW(dialog, TEXT_SETTINGS_NOT_SAVED, TEXT_CAPTION, MB_OK | MB_ICONERROR);
        return false;
    }
    NotifyConfigReload();
    EnableWindow(GetDlgItem(dialog, IDC_APPLY), FALSE);
    return true;
}

INT_PTR CALLBACK OptionsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    OptionsState* state = reinterpret_cast<OptionsState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<OptionsState*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        state->loading = true;
        for (const wchar_t* day : TEXT_WEEKDAYS)
            SendDlgItemMessageW(dialog, IDC_WEEKDAY, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(day));
        FillNumbers(GetDlgItem(dialog, IDC_HOUR), 24);
        FillNumbers(GetDlgItem(dialog, IDC_MINUTE), 60);
        CompanionSettings settings;
        LoadCompanionSettings(state->configPath, &settings);
        ShowSettings(dialog, settings);
        ShowSlotTimes(dialog, state);
        ShowRunnerState(dialog, state);
        ShowLastRun(dialog, state, true);
        EnableWindow(GetDlgItem(dialog, IDC_APPLY), FALSE);
        SetTimer(dialog, TIMER_RUNNER_STATE, RUNNER_STATE_PERIOD_MS, nullptr);
        state->loading = false;
        return TRUE;
    }
    case WM_TIMER:
        if (wParam == TIMER_RUNNER_STATE) {
            ShowRunnerState(dialog, state);
            ShowLastRun(dialog, state, false);
        }
        return TRUE;
    case WM_COMMAND: {
        int id = LOWORD(wParam);
        int code = HIWORD(wParam);
        switch (id) {
        case IDOK:
            if (SaveSettings(dialog, state)) EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_APPLY:
            SaveSettings(dialog, state);
            return TRUE;
        case IDC_OPEN_LOG:
            // The user's own viewer for text files.
            ShellExecuteW(dialog, L"open", state->logPath, nullptr, nullptr, SW_SHOWNORMAL);
            return TRUE;
        case IDC_STOP_RUNNER: {
            state->stop.Start(FindRunnerWindow());
            ShowRunnerState(dialog, state);
            return TRUE;
        }
        case IDC_MODE_NONE:
        case IDC_MODE_DAY:
        case IDC_MODE_WEEK:
            EnableScheduleControls(dialog);
            [[fallthrough]];
        case IDC_AFTER_QUIT:
        case IDC_MISSED:
            if (code == BN_CLICKED && !state->loading) EnableWindow(GetDlgItem(dialog, IDC_APPLY), TRUE);
            return TRUE;
        case IDC_WEEKDAY:
        case IDC_HOUR:
        case IDC_MINUTE:
            if (code == CBN_SELCHANGE && !state->loading) EnableWindow(GetDlgItem(dialog, IDC_APPLY), TRUE);
            return TRUE;
        }
        return FALSE;
    }
    case WM_DESTROY:
        KillTimer(dialog, TIMER_RUNNER_STATE);
        return FALSE;
    }
    return FALSE;
}

} // namespace

int RunOptionsDialog(HINSTANCE instance, const wchar_t* programDir)
{
    static OptionsState state; // large; one dialog per process
    state = OptionsState{};
    if (!programDir || !JoinPath(state.configPath, PATH_CAPACITY, programDir, CONFIG_FILE_NAME) ||
        !JoinPath(state.logPath, PATH_CAPACITY, programDir, LOG_FILE_NAME)) {
        MessageBoxW(nullptr, TEXT_NO_CONFIG, TEXT_CAPTION, MB_OK | MB_ICONERROR);
        return EXIT_NO_PROGRAM_FILES;
    }
    wcscpy(state.programDir, programDir);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_OPTIONS), nullptr, OptionsProc, reinterpret_cast<LPARAM>(&state));
    return 0;
}
