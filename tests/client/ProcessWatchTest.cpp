#include "client/ProcessWatch.h"
#include "tests/support/StandIn.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ProcessWatch, ComparesWholeNamesFoldingOnlyAsciiLetters)
{
    struct Case {
        std::vector<std::wstring> running; // file names of stand-ins started for the case
        std::wstring query;
        int expected;
    } cases[] = {
        {{L"QQ.exe"}, L"QQ.exe", 1},
        {{L"qq.exe"}, L"QQ.exe", 1},
        {{L"QQ.EXE"}, L"QQ.exe", 1},
        {{L"QQ.exe"}, L"qQ.ExE", 1},
        {{L"OldQQ.exe", L"QQ.exe.bak", L"qq.exe"}, L"QQ.exe", 1}, // the walk goes on past misses
        {{L"QQ.exe.bak"}, L"QQ.exe", 0},
        {{L"OldQQ.exe"}, L"QQ.exe", 0},
        {{L"QQ.exe"}, L"QQ", 0},
        {{L"QQ.exe"}, L"Q.exe", 0},
        {{L"QQ.exe"}, L"QQ.exe.bak", 0},
        {{}, L"QQ.exe", 0},
        // Non-ASCII letters are compared as they are: e-acute against E-acute, de against DE.
        {{L"Q\u00e9.exe"}, L"q\u00e9.EXE", 1},
        {{L"Q\u00e9.exe"}, L"Q\u00c9.exe", 0},
        {{L"\u0434Q.exe"}, L"\u0414Q.exe", 0},
        {{L"\u0434Q.exe"}, L"\u0434q.exe", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.query) + " against " + std::to_string(c.running.size()) +
                     " running, first " + (c.running.empty() ? "" : Narrow(c.running[0])));
        ScratchDir scratch;
        StandInGroup group;
        for (const std::wstring& name : c.running) {
            // One folder per copy: names differing only in case are one file on Windows.
            std::wstring dir = scratch / std::to_wstring(group.size());
            ASSERT_TRUE(MakeDirs(dir));
            std::wstring exe = CopyStandIn(dir, name);
            ASSERT_FALSE(exe.empty());
            ASSERT_TRUE(group.Start(exe));
        }
        std::wstring query = c.query; // the caller's text must come back unchanged
        EXPECT_EQ(c.expected, IsProcessRunning(query.c_str()));
        EXPECT_EQ(c.query, query);
        EXPECT_TRUE(group.EndAll());
    }
}

TEST(ProcessWatch, NoNameMatchesNothing)
{
    EXPECT_EQ(0, IsProcessRunning(nullptr));
    // Not even a process whose name is not known yet (one being created) matches.
    EXPECT_EQ(0, IsProcessRunning(L""));
    // Longer than any executable name the process list can hold.
    EXPECT_EQ(0, IsProcessRunning(std::wstring(300, L'q').c_str()));
}

// A thousand checks in all, half on each path out of the walk.
TEST(ProcessWatch, LeavesNoHandleBehindOverAThousandChecks)
{
    ScratchDir scratch;
    StandInGroup group;
    std::wstring exe = CopyStandIn(scratch.path(), L"QQ.exe");
    ASSERT_TRUE(group.Start(exe));
    struct Case { const wchar_t* query; int expected; } cases[] = {
        {L"QQ.exe", 1},       // stops at the match
        {L"Absent.exe", 0},   // walks the whole list
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.query));
        ASSERT_EQ(c.expected, IsProcessRunning(c.query));
        DWORD before = CurrentHandleCount();
        int wrong = 0;
        for (int i = 0; i < 500; ++i)
            if (IsProcessRunning(c.query) != c.expected) ++wrong;
        EXPECT_EQ(0, wrong);
        EXPECT_EQ(before, CurrentHandleCount());
    }
}

} // namespace
