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
// Exit statuses: 0 done (or a dialog closed); 2 unknown arguments or an invalid setting;
// 3 the program folder or config.ini cannot be named, or the settings could not be
// written; 4 restored, but Kestova.exe could not be started again; 10 QQ runs; 11
// Kestova.exe did not quit in time; 12 no chat data folder; 13 the slot is empty;
// 14 slot and data folder on different volumes; 15 not enough room for the copy; 16 the
// copy failed; 17 the live folder could not be set aside; 18 the copy could not take its
// place (the live folder is back); 19 ...and the live folder could not be put back (its
// set-aside path is printed); 20 nothing to undo; 21 the undo failed; 22 a backup
// changed the slot while Kestova.exe was quitting (choose again). In every failure but 19
// the live history is where and as it was.
#include "companion/CompanionSettings.h"
#include "companion/CompanionTexts.h"
#include "companion/Dialogs.h"
#include "companion/Restore.h"
#include "companion/RunnerControl.h"

#include "backup/BackupStore.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "runner/ScheduleFormat.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_CONFIG = 3;
constexpr DWORD DEFAULT_WAIT_SECONDS = 600;

const wchar_t USAGE[] =
    L"用法：\r\n"
    L"  Marrowby.exe --options [--set Key=Value ...]\r\n"
    L"  Marrowby.exe --restore [--slot N [--yes]] [--wait-seconds S]\r\n"
    L"  Marrowby.exe --undo-restore --yes [--wait-seconds S]\r\n";

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
    Print(USAGE);
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
        return EXIT_NO_CONFIG;
    }
    CompanionSettings settings;
    LoadCompanionSettings(configPath, &settings);
    bool timeKnown = settings.mode != MODE_NONE;
    bool timeGiven = false;
    bool weekdayKnown = settings.mode == MODE_PRE_WEEK;
    for (const wchar_t* assignment : assignments) {
        int result = ApplySettingText(assignment, &settings, &weekdayKnown, &timeGiven);
        if (result == SETTING_APPLIED) continue;
        std::wstring message = (result == SETTING_UNKNOWN_KEY ? L"未知的设置项：" : L"设置值无效：");
        Print((message + assignment).c_str());
        return EXIT_USAGE;
    }
    // Without a schedule the time is not stored: a given one would be dropped unseen.
    if (settings.mode == MODE_NONE && timeGiven) {
        Print(L"没有定时备份时不会保存时间，请同时指定 Mode=PRE_DAY 或 Mode=PRE_WEEK。");
        return EXIT_USAGE;
    }
    // A schedule needs its time, and a weekly one its day: neither is made up.
    if (settings.mode != MODE_NONE && !timeKnown && !timeGiven) {
        Print(L"定时备份需要指定时间，例如 Time=21:30。");
        return EXIT_USAGE;
    }
    if (settings.mode == MODE_PRE_WEEK && !weekdayKnown) {
        Print(L"每周定时备份需要指定星期，例如 Time=\"21:30 FIR\"。");
        return EXIT_USAGE;
    }
    if (!WriteCompanionSettings(configPath, settings)) {
        Print(TEXT_SETTINGS_NOT_SAVED);
        return EXIT_NO_CONFIG;
    }
    Print(TEXT_SETTINGS_SAVED);
    if (NotifyConfigReload()) Print(L"已通知 Kestova 重新读取设置。");
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
