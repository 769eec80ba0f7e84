#include "companion/CompanionTexts.h"
#include "companion/LastRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Ansi(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// A non-ASCII folder name the ANSI code page of this run can hold: the client's own on a
// Chinese system, a Western one otherwise.
std::wstring NativeName()
{
    for (const wchar_t* name : {L"\u597d\u53cb\u804a\u5929", L"Caf\u00e9 \u00c5se"}) {
        BOOL lossy = FALSE;
        WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, &lossy);
        if (!lossy) return name;
    }
    return L"plain";
}

const char HEADER[] =
    "-------------------------------------------------------------------------------\r\n"
    "   Kestova mirror copy\r\n"
    "-------------------------------------------------------------------------------\r\n\r\n"
    " Started : Sun Mar 14 10:00:00 2010\r\n";

std::string Summary(int failedDirs, int failedFiles)
{
    char text[512];
    snprintf(text, sizeof text,
             "\r\n               Total      Copied     Skipped    Mismatch      FAILED      Extras\r\n"
             "    Dirs :           3           1           2           0 %11d           0\r\n"
             "   Files :          40           9          25           0 %11d           0\r\n"
             "   Bytes :        4000         900        2500           0           0           0\r\n"
             "   Times : 0:00:01.250\r\n   Ended : Sun Mar 14 10:00:01 2010\r\n",
             failedDirs, failedFiles);
    return text;
}

std::string CopyError(const std::string& path)
{
    return "ERROR 32 (0x00000020) Copying file " + path +
           "\r\n        The process cannot access the file because it is being used by another process.\r\n";
}

TEST(LastRun, ReadsTheOutcomeAndTheFirstFailedPathsFromTheReport)
{
    std::string native = Ansi(NativeName() + L"\\Msg2.0.db");
    struct Case {
        const char* name;
        bool exists;
        std::string log;
        int outcome;
        unsigned long long failedFiles;
        std::vector<std::wstring> paths;
    } cases[] = {
        {"no report", false, "", LAST_RUN_NONE, 0, {}},
        {"empty report", true, "", LAST_RUN_NONE, 0, {}},
        {"clean run", true, HEADER + std::string("  New File   12  a.db\r\n") + Summary(0, 0), LAST_RUN_SUCCEEDED, 0, {}},
        // Each retry repeats the line: one path, in the code page it was written in.
        {"one file, retried", true,
         HEADER + CopyError(native) + "Waiting 1 seconds... Retrying...\r\n" + CopyError(native) + Summary(0, 1),
         LAST_RUN_FAILED, 1, {NativeName() + L"\\Msg2.0.db"}},
        {"more files than are shown", true,
         HEADER + CopyError("a.db") + CopyError("b\\c.db") + CopyError("d.db") + CopyError("e.db") + Summary(0, 4),
         LAST_RUN_FAILED, 4, {L"a.db", L"b\\c.db", L"d.db"}},
        {"a folder failed", true,
         HEADER + std::string("ERROR 5 (0x00000005) Listing source directory x\\\r\n") + Summary(1, 0),
         LAST_RUN_FAILED, 0, {}},
        {"stopped before copying", true,
         HEADER + std::string("ERROR : The target is the root of a drive or share.\r\n   Ended : Sun Mar 14 10:00:00 2010\r\n"),
         LAST_RUN_FAILED, 0, {}},
        {"no end yet", true, HEADER + std::string("  New File   12  a.db\r\n"), LAST_RUN_UNFINISHED, 0, {}},
    };
    ScratchDir scratch;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring log = scratch / (L"logs" + std::to_wstring(n++) + L".txt");
        if (c.exists) {
            ASSERT_TRUE(WriteBytes(log, c.log));
        }
        LastRun run;
        memset(&run, 0xA5, sizeof run); // every field must be set, whatever was there
        EXPECT_EQ(c.outcome, ReadLastRun(log.c_str(), &run));
        EXPECT_EQ(c.outcome, run.outcome);
        EXPECT_EQ(c.failedFiles, run.failedFiles);
        ASSERT_EQ(static_cast<int>(c.paths.size()), run.pathCount);
        for (size_t i = 0; i < c.paths.size(); ++i) EXPECT_EQ(c.paths[i], run.paths[i]);
    }
}

TEST(LastRun, TellsTheUserWhatFailedAndWhere)
{
    LastRun run{};
    wchar_t text[1024];
    run.outcome = LAST_RUN_FAILED;
    run.failedFiles = 4;
    run.pathCount = 2;
    wcscpy(run.paths[0], L"a.db");
    wcscpy(run.paths[1], L"b\\c.db");
    EXPECT_EQ(std::wstring(FormatLastRun(run, text, 1024)),
              L"上次备份：失败，4 个文件无法复制：\r\na.db\r\nb\\c.db\r\n……");
    run.failedFiles = 0;
    run.pathCount = 0;
    wcscpy(run.firstError, L"ERROR : The source is not a directory: C:\\x");
    EXPECT_EQ(std::wstring(FormatLastRun(run, text, 1024)), L"上次备份：失败。\r\nERROR : The source is not a directory: C:\\x");
    run.outcome = LAST_RUN_SUCCEEDED;
    EXPECT_EQ(std::wstring(FormatLastRun(run, text, 1024)), L"上次备份：成功。");
    run.outcome = LAST_RUN_NONE;
    EXPECT_EQ(std::wstring(FormatLastRun(run, text, 8)), std::wstring(L"上次备份：没有记录。").substr(0, 7));
}

// The report of the built copy tool itself, with a file held open with no sharing.
TEST(LastRun, ReadsTheCopyToolsOwnReportOfALockedFile)
{
    ScratchDir scratch;
    std::wstring source = scratch / L"Data";
    std::wstring name = NativeName();
    ASSERT_TRUE(MakeDirs(source + L"\\" + name));
    ASSERT_TRUE(WriteBytes(source + L"\\free.db", "free"));
    ASSERT_TRUE(WriteBytes(source + L"\\" + name + L"\\Msg2.0.db", "held"));
    HANDLE held = CreateFileW((source + L"\\" + name + L"\\Msg2.0.db").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ChildResult tool = RunCommand(QuoteArgument(BuiltProgramPath(L"robocopy.exe")) + L" " + QuoteArgument(source) +
                                  L" " + QuoteArgument(scratch / L"Slot") + L" /MIR /R:1 /W:0");
    CloseHandle(held);
    ASSERT_TRUE(tool.started);
    EXPECT_GE(tool.exitCode, 8u);
    std::wstring log = scratch / L"logs.txt";
    ASSERT_TRUE(WriteBytes(log, tool.output));
    LastRun run;
    EXPECT_EQ(LAST_RUN_FAILED, ReadLastRun(log.c_str(), &run)) << tool.output;
    EXPECT_EQ(1u, run.failedFiles);
    ASSERT_EQ(1, run.pathCount) << tool.output;
    EXPECT_EQ(name + L"\\Msg2.0.db", run.paths[0]);
}

} // namespace
