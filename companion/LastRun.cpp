#include "companion/LastRun.h"

#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "contracts/CopyToolReport.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// The tool's report, read as its ANSI bytes. Error lines are
// "ERROR <code> (0x<code>) <what> <path>", and the path of a file that could not be copied
// follows one of the two file operations. Retries repeat the line.
constexpr ReportText ERROR_PREFIX{REPORT_ERROR_PREFIX};
constexpr ReportText COPYING_FILE{REPORT_COPYING_FILE};
constexpr ReportText FOLLOWING_FILE_LINK{REPORT_FOLLOWING_FILE_LINK};
const char* const FILE_FAILURES[] = {COPYING_FILE.text, FOLLOWING_FILE_LINK.text};
// Summary rows: "   Files : total copied skipped mismatch FAILED extras".
constexpr ReportText FILES_ROW{REPORT_FILES};
constexpr ReportText DIRS_ROW{REPORT_DIRS};
constexpr ReportText ENDED_ROW{REPORT_ENDED};
constexpr int FAILED_COLUMN = REPORT_FAILED_COLUMN;

std::wstring FromAnsi(const std::string& text)
{
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

// The rest of a row after its label and " :", when the line is that label's row (leading
// blanks aside); null otherwise.
const char* AfterLabel(const std::string& line, const char* label)
{
    size_t at = line.find_first_not_of(' ');
    size_t length = strlen(label);
    if (at == std::string::npos || line.compare(at, length, label) != 0 || line.compare(at + length, 2, " :") != 0)
        return nullptr;
    return line.c_str() + at + length + 2;
}

// The FAILED column of a summary row; false when the row does not have it.
bool FailedColumn(const char* numbers, unsigned long long* failed)
{
    unsigned long long column[FAILED_COLUMN + 1];
    for (unsigned long long& value : column) {
        char* end = nullptr;
        value = strtoull(numbers, &end, 10);
        if (end == numbers) return false;
        numbers = end;
    }
    *failed = column[FAILED_COLUMN];
    return true;
}

void CopyText(const std::wstring& text, wchar_t* buffer, size_t capacity)
{
    size_t n = text.size() < capacity ? text.size() : capacity - 1;
    wmemcpy(buffer, text.c_str(), n);
    buffer[n] = L'\0';
}

void KeepFailedPath(const std::string& line, LastRun* run)
{
    // "ERROR 32 (0x00000020) Copying file a\b.db": the text after the closing bracket.
    size_t close = line.find(") ");
    if (close == std::string::npos) return;
    std::string rest = line.substr(close + 2);
    for (const char* what : FILE_FAILURES) {
        // The operation, a blank, then the path.
        size_t length = strlen(what);
        if (rest.compare(0, length, what) != 0 || rest.compare(length, 1, " ") != 0) continue;
        std::wstring path = FromAnsi(rest.substr(length + 1));
        if (path.empty() || path.size() >= PATH_CAPACITY) return;
        for (int i = 0; i < run->pathCount; ++i)
            if (path == run->paths[i]) return;
        if (run->pathCount < LAST_RUN_PATHS) CopyText(path, run->paths[run->pathCount++], PATH_CAPACITY);
        return;
    }
}

struct Reading {
    bool summary = false;
    bool ended = false;
};

void TakeLine(const std::string& line, LastRun* run, Reading* reading)
{
    if (line.compare(0, ERROR_PREFIX.size(), ERROR_PREFIX.text) == 0) {
        if (!run->firstError[0]) CopyText(FromAnsi(line), run->firstError, LAST_RUN_TEXT_CAPACITY);
        KeepFailedPath(line, run);
    } else if (const char* files = AfterLabel(line, FILES_ROW.text)) {
        reading->summary = FailedColumn(files, &run->failedFiles) || reading->summary;
    } else if (const char* dirs = AfterLabel(line, DIRS_ROW.text)) {
        FailedColumn(dirs, &run->failedDirs);
    } else if (AfterLabel(line, ENDED_ROW.text)) {
        reading->ended = true;
    }
}

} // namespace

int ReadLastRun(const wchar_t* logPath, LastRun* run)
{
    *run = LastRun{};
    UniqueFile log(logPath ? _wfopen(logPath, L"rb") : nullptr);
    if (!log) return run->outcome = LAST_RUN_NONE;

    Reading reading;
    std::string line;
    char chunk[65536];
    bool any = false;
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, log.get())) > 0;) {
        any = true;
        for (size_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                line += chunk[i];
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            TakeLine(line, run, &reading);
            line.clear();
        }
    }
    if (!line.empty()) TakeLine(line, run, &reading);

    if (!any) run->outcome = LAST_RUN_NONE;
    else if (reading.summary && run->failedFiles + run->failedDirs > 0) run->outcome = LAST_RUN_FAILED;
    else if (reading.summary) run->outcome = LAST_RUN_SUCCEEDED;
    // An end without a summary: the tool stopped on an error before copying.
    else if (reading.ended) run->outcome = LAST_RUN_FAILED;
    else run->outcome = LAST_RUN_UNFINISHED;
    return run->outcome;
}
