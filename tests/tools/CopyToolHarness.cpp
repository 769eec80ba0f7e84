#include "tests/tools/CopyToolHarness.h"

#include "base/ScopedWin.h"
#include "tests/support/ChildProcess.h"

#include <cstdio>
#include <sstream>

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

bool SetWriteTime(const std::wstring& path, uint64_t ticks)
{
    UniqueHandle h(CreateFileW(Long(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILETIME t{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return h && SetFileTime(h.get(), nullptr, nullptr, &t);
}

bool WriteFileAt(const std::wstring& path, const std::string& bytes, uint64_t ticks)
{
    return WriteBytes(path, bytes) && SetWriteTime(path, ticks);
}

bool AddAttributes(const std::wstring& path, DWORD attributes)
{
    DWORD now = GetFileAttributesW(Long(path).c_str());
    return now != INVALID_FILE_ATTRIBUTES && SetFileAttributesW(Long(path).c_str(), now | attributes);
}

std::string Pattern(size_t length, unsigned seed)
{
    std::string s(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

void ExpectEndedLast(const std::string& output)
{
    const std::string prefix = "   Ended : ";
    ASSERT_GE(output.size(), prefix.size() + 26) << output;
    std::string tail = output.substr(output.size() - prefix.size() - 26);
    ASSERT_EQ(tail.substr(0, prefix.size()), prefix) << output;
    ASSERT_EQ(tail.substr(tail.size() - 2), "\r\n");
    if (output.size() > tail.size()) {
        EXPECT_EQ(output[output.size() - tail.size() - 1], '\n');
    }
    std::string stamp = tail.substr(prefix.size(), 24);
    SYSTEMTIME now;
    GetLocalTime(&now);
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char expectedDate[16];
    snprintf(expectedDate, sizeof expectedDate, "%s %s %2u", days[now.wDayOfWeek], months[now.wMonth - 1],
             now.wDay);
    char expectedYear[8];
    snprintf(expectedYear, sizeof expectedYear, " %04u", now.wYear);
    EXPECT_EQ(stamp.substr(0, 10), expectedDate) << stamp; // a test run at midnight may see this fail once
    EXPECT_EQ(stamp.substr(19), expectedYear) << stamp;
    for (int k : {10, 19}) EXPECT_EQ(stamp[k], ' ') << stamp;
    for (int k : {13, 16}) EXPECT_EQ(stamp[k], ':') << stamp;
    for (int k : {11, 12, 14, 15, 17, 18}) EXPECT_TRUE(stamp[k] >= '0' && stamp[k] <= '9') << stamp;
}

std::vector<uint64_t> SummaryRow(const std::string& output, const std::string& label)
{
    std::string key = label + " : ";
    size_t at = output.rfind(key);
    std::vector<uint64_t> row;
    if (at == std::string::npos) return row;
    std::istringstream in(output.substr(at + key.size(), output.find('\r', at) - at - key.size()));
    uint64_t n;
    while (in >> n) row.push_back(n);
    return row;
}

ToolRun RunTool(const std::vector<std::wstring>& args)
{
    std::wstring line = QuoteArgument(BuiltProgramPath(L"robocopy.exe"));
    for (const auto& a : args) line += L" " + QuoteArgument(a);
    ChildResult r = RunCommand(line, L"", 120000);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    return {r.exitCode, r.output};
}
