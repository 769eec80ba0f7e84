// QuitKestova.exe: how the installer and the uninstaller ask a running Kestova.exe to quit
// and wait for it to end, the same way the companion does before a restore
// (contracts/RunnerControl): the registered exit message, asked again once a backup that
// holds Kestova back has ended. It is not installed; the set-up program unpacks it into its
// temporary folder and runs it there.
//
//   QuitKestova.exe [--wait-seconds S]     (default 600 s, at most 86400)
//
// Prints a line for the installer's progress list at every change of what it waits for,
// in UTF-16 with a byte order mark: the installer's output reader takes other text in the
// ANSI code page, where the Chinese would not survive.
//
// Exit status: 0 no Kestova ran; 1 Kestova ran and has ended; 2 Kestova was still there
// when the wait ran out (nothing was changed); 3 unknown arguments.
#include "base/Platform.h"
#include "contracts/RunnerControl.h"
#include "installer/QuitKestovaTexts.h"

#include <shellapi.h>

#include <cwchar>
#include <cwctype>

namespace {

constexpr DWORD DEFAULT_WAIT_SECONDS = 600;
constexpr long MAX_WAIT_SECONDS = 86400;
constexpr int EXIT_NOT_RUNNING = 0;
constexpr int EXIT_ENDED = 1;
constexpr int EXIT_TIMED_OUT = 2;
constexpr int EXIT_USAGE = 3;


bool byteOrderMarkWritten = false;

// One line on standard output, UTF-16LE; the first one starts with the byte order mark.
// A missing or closed output is no reason to stop waiting.
void PrintLine(const wchar_t* text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (!byteOrderMarkWritten) {
        const wchar_t mark = 0xFEFF;
        WriteFile(out, &mark, sizeof mark, &written, nullptr);
        byteOrderMarkWritten = true;
    }
    WriteFile(out, text, static_cast<DWORD>(wcslen(text) * sizeof(wchar_t)), &written, nullptr);
    WriteFile(out, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
}

void ReportPhase(void*, int phase)
{
    PrintLine(phase == STOP_PHASE_FINISHING_BACKUP ? TEXT_FINISHING_BACKUP : TEXT_WAITING);
}

// A whole decimal number within 0..MAX_WAIT_SECONDS, or -1.
long ParseSeconds(const wchar_t* text)
{
    if (!text || !*text) return -1;
    long value = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (!iswdigit(*c)) return -1;
        value = value * 10 + (*c - L'0');
        if (value > MAX_WAIT_SECONDS) return -1;
    }
    return value;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD waitSeconds = DEFAULT_WAIT_SECONDS;
    if (argc == 3 && wcscmp(argv[1], L"--wait-seconds") == 0) {
        long seconds = ParseSeconds(argv[2]);
        if (seconds < 0) return EXIT_USAGE;
        waitSeconds = static_cast<DWORD>(seconds);
    } else if (argc != 1) {
        return EXIT_USAGE;
    }

    switch (StopRunner(waitSeconds * 1000, ReportPhase, nullptr, nullptr, 0)) {
    case STOP_NOT_RUNNING: return EXIT_NOT_RUNNING;
    case STOP_ENDED: PrintLine(TEXT_ENDED); return EXIT_ENDED;
    default: PrintLine(TEXT_TIMED_OUT); return EXIT_TIMED_OUT;
    }
}
