#include "client/ProcessWatch.h"
#include "tests/support/Scratch.h"
#include "tests/support/StandIn.h"

#include <gtest/gtest.h>

#include <optional>
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

// The process found is kept open between checks. The answers must follow the client as
// instances come and go, and the kept handle must go with the process it belongs to, with
// a check for another name, and on ReleaseProcessWatch.
TEST(ProcessWatch, KeptProcessFollowsTheClientAndIsClosedOnEveryPath)
{
    ScratchDir scratch;
    std::wstring exe = CopyStandIn(scratch.path(), L"QQ.exe");
    ASSERT_FALSE(exe.empty());
    ReleaseProcessWatch();
    // Each stand-in in a group of its own, gone once it has ended, so that nothing of the
    // test keeps the process.
    std::optional<StandInGroup> first, second, third, fourth;
    auto start = [&](std::optional<StandInGroup>* group) {
        group->emplace();
        return (*group)->Start(exe) ? (*group)->LastId() : 0;
    };
    auto end = [](std::optional<StandInGroup>* group) {
        bool clean = (*group)->EndAll();
        group->reset();
        return clean;
    };
    constexpr DWORD KEPT_MS = 1500; // three times what an unheld one takes to go
    constexpr DWORD GOES_MS = 5000;

    DWORD firstId = start(&first);
    ASSERT_NE(0u, firstId);
    EXPECT_EQ(1, IsProcessRunning(L"QQ.exe"));
    int wrong = 0;
    for (int i = 0; i < 200; ++i)
        if (IsProcessRunning(L"qq.EXE") != 1) ++wrong;
    EXPECT_EQ(0, wrong);
    // The kept instance ends while another runs: the other one is found, the first let go.
    DWORD secondId = start(&second);
    ASSERT_NE(0u, secondId);
    EXPECT_TRUE(end(&first));
    EXPECT_FALSE(ProcessObjectGoes(firstId, KEPT_MS)) << "the process found is kept open";
    EXPECT_EQ(1, IsProcessRunning(L"QQ.exe"));
    EXPECT_TRUE(ProcessObjectGoes(firstId, GOES_MS)) << "an ended process is let go";

    // The last one ends: the very next check says so, and lets it go.
    EXPECT_TRUE(end(&second));
    EXPECT_EQ(0, IsProcessRunning(L"QQ.exe"));
    EXPECT_TRUE(ProcessObjectGoes(secondId, GOES_MS));
    EXPECT_EQ(0, IsProcessRunning(L"QQ.exe"));

    // A check for another name lets the kept process go.
    DWORD thirdId = start(&third);
    ASSERT_NE(0u, thirdId);
    EXPECT_EQ(1, IsProcessRunning(L"QQ.exe"));
    EXPECT_EQ(0, IsProcessRunning(L"Absent.exe"));
    EXPECT_TRUE(end(&third));
    EXPECT_TRUE(ProcessObjectGoes(thirdId, GOES_MS));

    // And so does ReleaseProcessWatch.
    DWORD fourthId = start(&fourth);
    ASSERT_NE(0u, fourthId);
    EXPECT_EQ(1, IsProcessRunning(L"QQ.exe"));
    EXPECT_TRUE(end(&fourth));
    ReleaseProcessWatch();
    EXPECT_TRUE(ProcessObjectGoes(fourthId, GOES_MS));
    ReleaseProcessWatch(); // nothing kept: nothing to close
}

} // namespace
