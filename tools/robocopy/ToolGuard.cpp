// What ends the tool when something escapes its body. The caller judges a run by the exit
// status bits; the runtime's own way out (abort, status 3) would read as "files copied,
// extras removed" and mark a broken mirror as a good one.
#include "tools/robocopy/MirrorTool.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Some copies may have failed, and the run did not finish.
constexpr int EXIT_ABORTED = EXIT_FAILED | EXIT_FATAL;

// Nothing more is safe to do here (the heap or the report may be what broke): the status
// alone carries the news.
void OnAbortSignal(int) { _exit(EXIT_ABORTED); }
[[noreturn]] void OnTerminate() { _exit(EXIT_ABORTED); }

std::wstring Widen(const char* text)
{
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(strlen(text)), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(strlen(text)), wide.data(), n);
    return wide;
}

} // namespace

void InstallAbortHandlers()
{
    signal(SIGABRT, OnAbortSignal);
    std::set_terminate(OnTerminate);
}

int RunGuarded(int (*body)(int, wchar_t**), int argc, wchar_t** argv)
{
    std::wstring what;
    try {
        return body(argc, argv);
    } catch (const std::bad_alloc&) {
        what = L"out of memory";
    } catch (const std::exception& e) {
        what = Widen(e.what());
    } catch (...) {
        what = L"unknown exception";
    }
    // The report still ends with its usual last line. Memory may be short: when even this
    // fails, the status is all there is.
    try {
        ReportLine(L"ERROR : The copy stopped on an internal error (" + what + L"); the target may be incomplete.");
        ReportEnded();
    } catch (...) {
    }
    return EXIT_ABORTED;
}
