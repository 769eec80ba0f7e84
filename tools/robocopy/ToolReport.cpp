#include "tools/robocopy/MirrorTool.h"

#include "base/ScopedWin.h"
#include "contracts/CopyToolReport.h"

#include <cstdarg>
#include <cwchar>
#include <string>

namespace {

// Written out once this much has gathered, or after this long since the last write.
constexpr size_t FLUSH_BYTES = 16384;
constexpr ULONGLONG FLUSH_INTERVAL_MS = 250;

std::string g_pending;         // ANSI bytes not yet written
ULONGLONG g_lastFlushTick = 0;

const wchar_t RULE[] =
    L"-------------------------------------------------------------------------------";

// Appends a whole line, CR LF included, or nothing: the room is taken first, so a failed
// allocation leaves no half line for the next one to run into.
void AppendAnsiLine(const wchar_t* text, size_t length)
{
    int n = length == 0 ? 0
                        : WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                              nullptr);
    if (n < 0) n = 0;
    size_t at = g_pending.size();
    g_pending.reserve(at + static_cast<size_t>(n) + 2);
    if (n > 0) {
        g_pending.resize(at + static_cast<size_t>(n));
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), g_pending.data() + at, n, nullptr,
                            nullptr);
    }
    g_pending += "\r\n";
}

std::wstring TallyRow(const wchar_t* label, const Tally& t)
{
    return FormatText(L"%*ls : %11llu %11llu %11llu %11llu %11llu %11llu", REPORT_LABEL_WIDTH, label,
                  static_cast<unsigned long long>(t.total), static_cast<unsigned long long>(t.copied),
                  static_cast<unsigned long long>(t.skipped),
                  static_cast<unsigned long long>(t.mismatch),
                  static_cast<unsigned long long>(t.failed), static_cast<unsigned long long>(t.extras));
}

// A header row: the label in its column, then the value.
std::wstring LabelRow(const wchar_t* label, const std::wstring& value)
{
    return FormatText(L"%*ls : ", REPORT_LABEL_WIDTH, label) + value;
}

} // namespace

std::wstring FormatText(const wchar_t* format, ...)
{
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    int n = vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
    va_end(args);
    return n < 0 ? std::wstring() : std::wstring(buffer, static_cast<size_t>(n));
}

void ReportFlush()
{
    g_lastFlushTick = GetTickCount64();
    if (g_pending.empty()) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t done = 0;
    // A reader that went away (broken pipe) or no output at all must not stop the mirror:
    // the report is dropped, the copying goes on.
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        while (done < g_pending.size()) {
            DWORD wrote = 0;
            DWORD chunk = static_cast<DWORD>(g_pending.size() - done);
            if (!WriteFile(out, g_pending.data() + done, chunk, &wrote, nullptr) || wrote == 0) break;
            done += wrote;
        }
    }
    g_pending.clear();
}

void ReportLine(const std::wstring& line)
{
    AppendAnsiLine(line.c_str(), line.size());
    if (g_pending.size() >= FLUSH_BYTES || GetTickCount64() - g_lastFlushTick >= FLUSH_INTERVAL_MS)
        ReportFlush();
}

std::wstring ReportTimeText()
{
    static const wchar_t* const days[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const months[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                            L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    SYSTEMTIME now;
    GetLocalTime(&now);
    const wchar_t* day = now.wDayOfWeek < 7 ? days[now.wDayOfWeek] : L"???";
    const wchar_t* month = now.wMonth >= 1 && now.wMonth <= 12 ? months[now.wMonth - 1] : L"???";
    // The year is four digits until 9999, so the text is always REPORT_STAMP_CHARS long.
    return FormatText(L"%ls %ls %2u %02u:%02u:%02u %04u", day, month, now.wDay, now.wHour, now.wMinute,
                  now.wSecond, now.wYear);
}

void ReportHeader(const wchar_t* started, const ToolOptions& options, const wchar_t* optionText)
{
    ReportLine(RULE);
    ReportLine(L"   Kestova mirror copy");
    ReportLine(RULE);
    ReportLine(L"");
    ReportLine(LabelRow(REPORT_STARTED, started));
    ReportLine(LabelRow(REPORT_SOURCE, options.source));
    ReportLine(LabelRow(REPORT_TARGET, options.target));
    if (!options.linkReference.empty()) ReportLine(LabelRow(REPORT_LINK_REFERENCE, options.linkReference));
    ReportLine(L"");
    ReportLine(LabelRow(REPORT_OPTIONS, optionText));
    ReportLine(L"");
    ReportLine(RULE);
    ReportLine(L"");
    ReportFlush();
}

void ReportUsage()
{
    ReportLine(L"Kestova mirror copy: makes a target directory an exact copy of a source directory.");
    ReportLine(L"");
    ReportLine(L"Usage: robocopy <source> <target> [options]");
    ReportLine(L"");
    ReportLine(L"  /MIR     mirror the whole tree: /E plus /PURGE");
    ReportLine(L"  /E       copy subdirectories, empty ones included");
    ReportLine(L"  /PURGE   remove target files and directories that the source does not have");
    ReportLine(L"  /R:n     retries of a file that cannot be copied or removed (default 3)");
    ReportLine(L"  /W:n     seconds to wait between retries (default 1)");
    ReportLine(L"  /LINKDEST:dir  an earlier mirror of the same source: files it holds unchanged are");
    ReportLine(L"           hard-linked from it instead of copied (copied where no link can be made)");
    ReportLine(L"  /?       this text");
    ReportLine(L"");
    ReportLine(L"Without /E or /MIR only the files directly in <source> are copied. Files are copied");
    ReportLine(L"when new or when their size or last-write time differs; unchanged files are left alone.");
    ReportLine(L"Exit status bits: 1 files copied, 2 extras found, 4 mismatches, 8 failures, 16 fatal error.");
    ReportLine(L"");
}

void ReportSummary(const MirrorStats& stats, bool withReference, ULONGLONG elapsedMs)
{
    ReportLine(L"");
    ReportLine(RULE);
    ReportLine(L"");
    ReportLine(FormatText(L"%*ls   %11ls %11ls %11ls %11ls %11ls %11ls", REPORT_LABEL_WIDTH, L"",
                          REPORT_COLUMNS[0], REPORT_COLUMNS[1], REPORT_COLUMNS[2], REPORT_COLUMNS[3],
                          REPORT_COLUMNS[4], REPORT_COLUMNS[5]));
    ReportLine(TallyRow(REPORT_DIRS, stats.dirs));
    ReportLine(TallyRow(REPORT_FILES, stats.files));
    ReportLine(TallyRow(REPORT_BYTES, stats.bytes));
    if (withReference)
        ReportLine(FormatText(L"%*ls : %11llu files, %llu bytes, hard-linked from the reference (not copied)",
                              REPORT_LABEL_WIDTH, REPORT_LINKED, static_cast<unsigned long long>(stats.linkedFiles),
                              static_cast<unsigned long long>(stats.linkedBytes)));
    ULONGLONG seconds = elapsedMs / 1000;
    ReportLine(FormatText(L"%*ls : %llu:%02llu:%02llu.%03llu", REPORT_LABEL_WIDTH, REPORT_TIMES, seconds / 3600, seconds / 60 % 60,
                      seconds % 60, elapsedMs % 1000));
}

void ReportEnded()
{
    ReportLine(LabelRow(REPORT_ENDED, ReportTimeText()));
    ReportFlush();
}

void ReportError(DWORD code, const wchar_t* what, const std::wstring& path)
{
    UniqueLocal<wchar_t> message;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t*>(message.put()), 0, nullptr);
    std::wstring text = n > 0 && message ? std::wstring(message.get(), n) : std::wstring();
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    ReportLine(REPORT_ERROR_PREFIX + FormatText(L"%lu (0x%08lX) %ls ", code, code, what) + path);
    if (!text.empty()) ReportLine(L"        " + text);
}
