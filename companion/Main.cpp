// Marrowby.exe, Kestova's companion: the settings dialog and the guarded restore.
//
// Command line (each form is the whole argument list):
//   Marrowby.exe --options                         the settings dialog
//   Marrowby.exe --options --set Key=Value ...     write settings without a dialog; keys
//       AutobackupAfterQQuit=1|0, BackupAtuOnce=1|0, Mode=NONE|PRE_DAY|PRE_WEEK,
//       Time=HH:MM or "HH:MM DDD" (SUN MON TUE WED THU FIR SAT; FRI is taken for FIR)
//   Marrowby.exe --restore [--slot N]              the restore dialog, slot N selected
//   Marrowby.exe --restore --slot N --yes [--wait-seconds S]
//                                                  restore slot N without a dialog
//   Marrowby.exe --undo-restore --yes [--wait-seconds S]
//                                                  swap the last restore back
// --wait-seconds bounds the wait for Kestova.exe to quit (default 600). The forms without
// a dialog print their report (UTF-8) to standard output.
//
// Exit statuses: the values of CompanionExit (companion/CompanionExit.h).
#include "companion/CompanionSettings.h"
#include "companion/CompanionTexts.h"
#include "companion/Dialogs.h"
#include "companion/Restore.h"
#include "contracts/ProgramFiles.h"
#include "contracts/RunnerControl.h"

#include "backup/BackupStore.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "contracts/ScheduleFormat.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr DWORD DEFAULT_WAIT_SECONDS = 600;

// Writes UTF-8 text to standard output, when there is one (a GUI program started from a
// script or a test inherits its pipe; started from the shell it has none).
void Print(const wchar_t* text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE || !text) return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return;
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), bytes, nullptr, nullptr);
    narrow.pop_back();
    narrow += "\r\n";
    DWORD written = 0;
    WriteFile(out, narrow.data(), static_cast<DWORD>(narrow.size()), &written, nullptr);
}

int Usage()
{
    Print(TEXT_USAGE);
    return EXIT_USAGE;
}

// A whole decimal number in [low, high]; -1 otherwise.
long ParseNumber(const wchar_t* text, long low, long high)
{
    if (!text || !*text) return -1;
    for (const wchar_t* c = text; *c; ++c)
        if (!iswdigit(*c)) return -1;
    if (wcslen(text) > 6) return -1;
    long value = wcstol(text, nullptr, 10);
    return value < low || value > high ? -1 : value;
}

int SetOptions(const wchar_t* programDir, const std::vector<const wchar_t*>& assignments)
{
    wchar_t configPath[PATH_CAPACITY];
    if (!programDir || !JoinPath(configPath, PATH_CAPACITY, programDir, CONFIG_FILE_NAME)) {
        Print(TEXT_NO_CONFIG);
        return EXIT_NO_PROGRAM_FILES;
    }
    CompanionSettings settings;
    LoadCompanionSettings(configPath, &settings);
    bool timeKnown = settings.mode != MODE_NONE;
    bool timeGiven = false;
    bool weekdayKnown = settings.mode == MODE_PRE_WEEK;
    for (const wchar_t* assignment : assignments) {
        int result = ApplySettingText(assignment, &settings, &weekdayKnown, &timeGiven);
        if (result == SETTING_APPLIED) continue;
        std::wstring message = (result == SETTING_UNKNOWN_KEY ? TEXT_UNKNOWN_SETTING : TEXT_INVALID_SETTING);
        Print((message + assignment).c_str());
        return EXIT_USAGE;
    }
    // Without a schedule the time is not stored: a given one would be dropped unseen.
    if (settings.mode == MODE_NONE && timeGiven) {
        Print(TEXT_TIME_WITHOUT_SCHEDULE);
        return EXIT_USAGE;
    }
    // A schedule needs its time, and a weekly one its day: neither is made up.
    if (settings.mode != MODE_NONE && !timeKnown && !timeGiven) {
        Print(TEXT_SCHEDULE_WITHOUT_TIME);
        return EXIT_USAGE;
    }
    if (settings.mode == MODE_PRE_WEEK && !weekdayKnown) {
        Print(TEXT_WEEKLY_WITHOUT_DAY);
        return EXIT_USAGE;
    }
    if (!WriteCompanionSettings(configPath, settings)) {
        Print(TEXT_SETTINGS_NOT_SAVED);
        return EXIT_NO_PROGRAM_FILES;
    }
    Print(TEXT_SETTINGS_SAVED);
    if (NotifyConfigReload()) Print(TEXT_RUNNER_TOLD_TO_RELOAD);
    return 0;
}

void PrintStep(void*, int step) { Print(RestoreStepText(step)); }

int RestoreWithoutDialog(const wchar_t* programDir, bool undo, int slot, DWORD waitMs)
{
    RestoreJob job{programDir, slot, waitMs, PrintStep, nullptr};
    static RestoreOutcome outcome; // large
    if (undo) UndoLastRestore(job, &outcome);
    else RunRestore(job, &outcome);
    static wchar_t report[3 * PATH_CAPACITY];
    Print(FormatRestoreReport(outcome, undo, report, 3 * PATH_CAPACITY));
    return outcome.status;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // A script that reads the report waits for the end of the output pipe: no process
    // started from here (the copy tool, Kestova.exe, or the desktop process the platform
    // may start for the first window) may hold it open after this program ends.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        if (handle && handle != INVALID_HANDLE_VALUE) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    }

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    int argc = 0;
    UniqueLocal<LPWSTR> arguments(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!arguments) return Usage();
    LPWSTR* argv = arguments.get();

    static wchar_t programDirBuffer[PATH_CAPACITY];
    const wchar_t* programDir = GetProgramDir(programDirBuffer, PATH_CAPACITY);

    // Started without arguments (by hand): the settings.
    if (argc < 2) return RunOptionsDialog(instance, programDir);
    std::wstring command = argv[1];

    if (command == L"--options") {
        std::vector<const wchar_t*> assignments;
        for (int n = 2; n < argc; ++n) {
            if (wcscmp(argv[n], L"--set") != 0 || n + 1 >= argc) return Usage();
            assignments.push_back(argv[++n]);
        }
        if (assignments.empty()) return RunOptionsDialog(instance, programDir);
        return SetOptions(programDir, assignments);
    }

    if (command == L"--restore" || command == L"--undo-restore") {
        bool undo = command == L"--undo-restore";
        bool yes = false;
        long slot = 0;
        DWORD waitSeconds = DEFAULT_WAIT_SECONDS;
        for (int n = 2; n < argc; ++n) {
            if (wcscmp(argv[n], L"--yes") == 0) {
                yes = true;
            } else if (!undo && wcscmp(argv[n], L"--slot") == 0 && n + 1 < argc) {
                slot = ParseNumber(argv[++n], 1, SLOT_COUNT);
                if (slot < 0) return Usage();
            } else if (wcscmp(argv[n], L"--wait-seconds") == 0 && n + 1 < argc) {
                long seconds = ParseNumber(argv[++n], 0, 86400);
                if (seconds < 0) return Usage();
                waitSeconds = static_cast<DWORD>(seconds);
            } else {
                return Usage();
            }
        }
        DWORD waitMs = waitSeconds * 1000;
        if (undo) return yes ? RestoreWithoutDialog(programDir, true, 0, waitMs) : Usage();
        if (!yes) return RunRestoreDialog(instance, programDir, static_cast<int>(slot), waitMs);
        if (slot == 0) return Usage();
        return RestoreWithoutDialog(programDir, false, static_cast<int>(slot), waitMs);
    }
    return Usage();
}
