// The copy tool mirroring plain trees, run as the real built program on real trees in
// scratch folders: what a mirror makes of the target, locked files, and its report.
#include "tests/tools/CopyToolHarness.h"

#include "base/ScopedWin.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

// A tree with the cases that break naive copiers.
void MakeHardTree(const std::wstring& root)
{
    ASSERT_TRUE(WriteFileAt(root + L"\\plain.txt", "plain"));
    ASSERT_TRUE(WriteFileAt(root + L"\\empty-file.dat", ""));
    ASSERT_TRUE(WriteFileAt(root + L"\\聊天记录\\Msg2.0.db", Pattern(3 * 1024 * 1024 + 17, 1)));
    ASSERT_TRUE(WriteFileAt(root + L"\\聊天记录\\图片\\表情 (1).gif", Pattern(4000, 2)));
    ASSERT_TRUE(WriteFileAt(root + L"\\name with spaces {and braces}\\Ελληνικά и кириллица.txt", "x"));
    ASSERT_TRUE(MakeDirs(root + L"\\empty dir\\nested empty"));
    ASSERT_TRUE(WriteFileAt(root + L"\\read-only.txt", "locked down"));
    ASSERT_TRUE(AddAttributes(root + L"\\read-only.txt", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteFileAt(root + L"\\hidden.ini", "h"));
    ASSERT_TRUE(AddAttributes(root + L"\\hidden.ini", FILE_ATTRIBUTE_HIDDEN));
    // Well beyond MAX_PATH: five levels of 60 characters.
    std::wstring deep = root;
    for (int level = 0; level < 5; ++level) deep += L"\\" + std::wstring(58, wchar_t(L'a' + level)) + L"长";
    ASSERT_GT(deep.size(), 300u);
    ASSERT_TRUE(WriteFileAt(deep + L"\\deep file.txt", Pattern(70000, 3)));
    // Directory times last, since adding entries moves them.
    ASSERT_TRUE(SetWriteTime(root + L"\\聊天记录", TIME_2009 + 10000000));
    ASSERT_TRUE(SetWriteTime(root + L"\\empty dir", TIME_2009 + 20000000));
}

TEST_F(CopyTool, MirrorsHardTreeExactlyAndLeavesItAloneOnRerun)
{
    MakeHardTree(source);
    TreeSnapshot expected = Snapshot(source);
    ASSERT_GT(expected.size(), 15u);

    ToolRun first = Mirror();
    EXPECT_EQ(first.exitCode, 1u) << first.output;
    EXPECT_EQ(Difference(expected, Snapshot(target)), "");
    std::vector<uint64_t> files = SummaryRow(first.output, "Files");
    ASSERT_EQ(files.size(), 6u) << first.output;
    EXPECT_EQ(files[0], 8u);
    EXPECT_EQ(files[1], 8u);

    // Every source file held open exclusively: a run that opened any of them would fail.
    std::vector<UniqueHandle> locks;
    for (const auto& [name, node] : expected) {
        if (node.directory) continue;
        locks.emplace_back(CreateFileW(Long(source + L"\\" + name).c_str(), GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locks.back()) << Narrow(name);
    }
    ToolRun again = Mirror({L"/R:0", L"/W:0"});
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    files = SummaryRow(again.output, "Files");
    ASSERT_EQ(files.size(), 6u);
    EXPECT_EQ(files[1], 0u);
    EXPECT_EQ(files[2], 8u);
    EXPECT_EQ(Difference(expected, Snapshot(target)), "");
}

// One directory pair brought into shape from a given starting point.
TEST_F(CopyTool, BringsTargetInLineWithSource)
{
    struct Case {
        const char* name;
        std::function<void(const std::wstring& src, const std::wstring& dst)> prepare;
        std::vector<std::wstring> options;
        DWORD exitCode;
        bool mirrored; // target equals source afterwards
    };
    const Case cases[] = {
        {"into a missing target with missing parents",
         [](const std::wstring& s, const std::wstring&) { WriteFileAt(s + L"\\a.txt", "a"); },
         {L"/MIR"}, 1, true},
        {"read-only extras, also in nested folders, are removed",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\keep.txt", "k");
             WriteFileAt(d + L"\\keep.txt", "k");
             WriteFileAt(d + L"\\old.txt", "o");
             AddAttributes(d + L"\\old.txt", FILE_ATTRIBUTE_READONLY);
             WriteFileAt(d + L"\\gone\\deeper\\ro.txt", "r");
             AddAttributes(d + L"\\gone\\deeper\\ro.txt", FILE_ATTRIBUTE_READONLY);
             MakeDirs(d + L"\\gone empty");
         },
         {L"/MIR"}, 2, true},
        {"a read-only target file of another size is replaced",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\f.txt", "new contents");
             WriteFileAt(d + L"\\f.txt", "old");
             AddAttributes(d + L"\\f.txt", FILE_ATTRIBUTE_READONLY);
         },
         {L"/MIR"}, 1, true},
        {"same size, other time: copied",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\f.txt", "AAAA");
             WriteFileAt(d + L"\\f.txt", "BBBB", TIME_2009 + 1);
         },
         {L"/MIR"}, 1, true},
        {"a target directory where the source has a file makes way",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\thing", "file");
             WriteFileAt(d + L"\\thing\\inner.txt", "i");
         },
         {L"/MIR"}, 1 | 2, true},
        {"a target file where the source has a directory makes way",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\thing\\inner.txt", "i");
             WriteFileAt(d + L"\\thing", "file");
         },
         {L"/MIR"}, 1 | 2, true},
        {"names differing only in case are the same file",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\Case.TXT", "c");
             WriteFileAt(d + L"\\case.txt", "c");
         },
         {L"/MIR"}, 0, false},
        {"/E copies but keeps extras",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\sub\\a.txt", "a");
             WriteFileAt(d + L"\\extra.txt", "e");
         },
         {L"/E"}, 1 | 2, false},
        {"/E leaves a mismatch alone and says so",
         [](const std::wstring& s, const std::wstring& d) {
             WriteFileAt(s + L"\\thing", "file");
             MakeDirs(d + L"\\thing");
         },
         {L"/E"}, 4, false},
        {"without /E only the top level is copied",
         [](const std::wstring& s, const std::wstring&) {
             WriteFileAt(s + L"\\top.txt", "t");
             WriteFileAt(s + L"\\sub\\below.txt", "b");
         },
         {}, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::wstring src = dir / L"src";
        std::wstring dst = dir / L"deeper\\still\\dst";
        MakeDirs(src);
        c.prepare(src, dst);
        std::vector<std::wstring> args = {src, dst};
        args.insert(args.end(), c.options.begin(), c.options.end());
        TreeSnapshot sourceBefore = Snapshot(src);
        ToolRun run = RunTool(args);
        ExpectEndedLast(run.output);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_EQ(Difference(sourceBefore, Snapshot(src)), "") << "the source must not change";
        if (c.mirrored) {
            EXPECT_EQ(Difference(sourceBefore, Snapshot(dst)), "") << run.output;
            ToolRun again = RunTool(args);
            EXPECT_EQ(again.exitCode, 0u) << again.output;
        }
    }
    // Spot checks of the rows that do not mirror.
    ScratchDir dir;
    WriteFileAt(dir / L"s\\top.txt", "t");
    WriteFileAt(dir / L"s\\sub\\below.txt", "b");
    WriteFileAt(dir / L"d\\extra.txt", "e");
    EXPECT_EQ(RunTool({dir / L"s", dir / L"d", L"/E"}).exitCode, 1u | 2u);
    EXPECT_TRUE(PathExists(dir / L"d\\extra.txt"));
    EXPECT_TRUE(PathExists(dir / L"d\\sub\\below.txt"));
}

TEST_F(CopyTool, LockedFileFailsAloneAndIsCopiedOnceFree)
{
    ASSERT_TRUE(WriteFileAt(source + L"\\a.txt", "a"));
    ASSERT_TRUE(WriteFileAt(source + L"\\locked.db", Pattern(5000, 4)));
    ASSERT_TRUE(WriteFileAt(source + L"\\z\\z.txt", "z"));
    ASSERT_TRUE(WriteFileAt(target + L"\\extra-locked.txt", "x"));
    TreeSnapshot expected = Snapshot(source);
    {
        UniqueHandle sourceLock(CreateFileW(Long(source + L"\\locked.db").c_str(), GENERIC_READ, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        UniqueHandle targetLock(CreateFileW(Long(target + L"\\extra-locked.txt").c_str(), GENERIC_READ, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(sourceLock && targetLock);
        ULONGLONG start = GetTickCount64();
        ToolRun run = Mirror({L"/R:2", L"/W:0"});
        EXPECT_LT(GetTickCount64() - start, 20000u);
        EXPECT_EQ(run.exitCode, 1u | 8u) << run.output;
        std::vector<uint64_t> files = SummaryRow(run.output, "Files");
        ASSERT_EQ(files.size(), 6u) << run.output;
        EXPECT_EQ(files[1], 2u);    // copied: a.txt, z\z.txt
        EXPECT_EQ(files[4], 2u);    // failed: the locked source and the locked extra
        EXPECT_NE(run.output.find("Retrying"), std::string::npos);
        EXPECT_TRUE(PathExists(target + L"\\a.txt"));
        EXPECT_TRUE(PathExists(target + L"\\z\\z.txt"));
        EXPECT_FALSE(PathExists(target + L"\\locked.db"));
    }
    ToolRun freed = Mirror({L"/R:0"});
    EXPECT_EQ(freed.exitCode, 1u | 2u) << freed.output;
    EXPECT_EQ(Difference(expected, Snapshot(target)), "");
}

// The report is in the ANSI code page, GBK on a Chinese system, names of copied and of
// removed files included, and it still ends with its completion time.
TEST_F(CopyTool, ReportsChineseNamesInGbk)
{
    ASSERT_EQ(GetACP(), CODE_PAGE_GBK);
    ASSERT_TRUE(WriteFileAt(source + L"\\聊天记录\\张三.txt", "new"));
    ASSERT_TRUE(WriteFileAt(target + L"\\旧的表情.gif", "old"));
    ToolRun run = Mirror();
    EXPECT_EQ(run.exitCode, 1u | 2u) << run.output;
    std::wstring report;
    ASSERT_TRUE(FromGbk(run.output, &report));
    for (const wchar_t* name : {L"张三.txt", L"旧的表情.gif"})
        EXPECT_NE(report.find(name), std::wstring::npos) << Narrow(name) << " missing from:\n" << Narrow(report);
}

} // namespace
