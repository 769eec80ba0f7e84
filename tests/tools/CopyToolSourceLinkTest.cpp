// The copy tool and directory links in the source: followed as the directories they lead
// to, stopped where they loop, and left out where they lead into the target.
#include "tests/tools/CopyToolHarness.h"

#include "tests/support/Scratch.h"
#include "tests/support/UnixSide.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Links to directories for tests. Wine 8's CreateSymbolicLinkW reports success and makes
// nothing, and it refuses FSCTL_SET_REPARSE_POINT (no junctions). It does show a Unix
// symbolic link in its drives as a directory with FILE_ATTRIBUTE_REPARSE_POINT, and it
// starts Unix programs; so under Wine a link is made with /bin/ln, and removed with
// /bin/rm, since Wine's RemoveDirectoryW sees through it. On Windows the API is used.
class DirectoryLinks {
public:
    DirectoryLinks() = default;
    DirectoryLinks(const DirectoryLinks&) = delete;
    DirectoryLinks& operator=(const DirectoryLinks&) = delete;
    ~DirectoryLinks()
    {
        for (const std::wstring& link : links_)
            if (!RemoveDirectoryW(Long(link).c_str())) RunUnix(L"/bin/rm", {L"-f", UnixPath(link)});
    }

    // Makes link, a link to the directory target; false when this system cannot.
    bool Make(const std::wstring& link, const std::wstring& target)
    {
        // Unprivileged creation (0x2) needs developer mode; without it the call fails and
        // the test is skipped.
        constexpr DWORD ALLOW_UNPRIVILEGED_CREATE = 0x2;
        if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | ALLOW_UNPRIVILEGED_CREATE) &&
            IsLink(link)) {
            links_.push_back(link);
            return true;
        }
        std::wstring unixLink = UnixPath(link);
        std::wstring unixTarget = UnixPath(target);
        if (unixLink.empty() || unixTarget.empty() || !RunUnix(L"/bin/ln", {L"-s", L"--", unixTarget, unixLink}))
            return false;
        links_.push_back(link);
        // A Unix child's end is not always seen by Wine: wait for its result instead.
        return PumpUntil([&] { return IsLink(link); }, 10000);
    }

private:
    std::vector<std::wstring> links_;

    static bool IsLink(const std::wstring& path)
    {
        DWORD attributes = GetFileAttributesW(Long(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
};

// A directory link in the source is copied as the directory it leads to; a link back to a
// directory on its own path ends as a failed directory (bit 8) instead of a walk without
// end. A re-run copies nothing again.
TEST_F(CopyTool, FollowsSourceDirectoryLinksAndStopsAtLoops)
{
    std::wstring outside = scratch / L"outside";
    ASSERT_TRUE(WriteFileAt(outside + L"\\linked.txt", "through the link"));
    ASSERT_TRUE(WriteFileAt(outside + L"\\deeper\\more.txt", Pattern(5000, 6)));
    ASSERT_TRUE(WriteFileAt(source + L"\\real\\f.txt", "f"));
    ASSERT_TRUE(WriteFileAt(source + L"\\real\\sub\\g.txt", "g"));
    DirectoryLinks links;
    if (!links.Make(source + L"\\linked", outside) || !links.Make(source + L"\\real\\sub\\loop", source + L"\\real"))
        GTEST_SKIP() << "this system cannot make directory links";
    TreeSnapshot expected = Snapshot(outside);

    ToolRun first = Mirror();
    EXPECT_EQ(first.exitCode, 1u | 8u) << first.output;
    EXPECT_NE(first.output.find("leads back into its own path"), std::string::npos) << first.output;
    std::vector<uint64_t> dirs = SummaryRow(first.output, "Dirs");
    ASSERT_EQ(dirs.size(), 6u) << first.output;
    EXPECT_EQ(dirs[4], 1u) << first.output;
    EXPECT_EQ(Difference(expected, Snapshot(target + L"\\linked")), "");
    EXPECT_TRUE(PathExists(target + L"\\real\\sub\\g.txt"));
    EXPECT_FALSE(PathExists(target + L"\\real\\sub\\loop"));
    // Copies are plain directories, never links.
    EXPECT_FALSE(GetFileAttributesW(Long(target + L"\\linked").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    ToolRun again = Mirror();
    EXPECT_EQ(again.exitCode, 8u) << again.output;
    std::vector<uint64_t> files = SummaryRow(again.output, "Files");
    ASSERT_EQ(files.size(), 6u) << again.output;
    EXPECT_EQ(files[1], 0u) << again.output;
}

// A link in the source that leads to the target, into it, or to a folder that holds it is
// not followed: the mirror would copy itself into itself, level after level. The log names
// each as excluded, and the run does not fail. What the target holds under such a name
// (a copy of itself from an earlier run) is an extra.
TEST_F(CopyTool, ExcludesSourceLinksThatLeadIntoTheTarget)
{
    ASSERT_TRUE(WriteFileAt(source + L"\\real\\f.txt", "f"));
    ASSERT_EQ(Mirror().exitCode, 1u);
    TreeSnapshot before = Snapshot(target);
    struct Case {
        std::wstring name;
        std::wstring leadsTo;
    };
    // The first name is long so that a mirror of itself reaches the path limit quickly
    // rather than filling the disk.
    const Case cases[] = {
        {std::wstring(120, L's') + L" holds the target", scratch.path()},
        {L"is the target", target},
        {L"inside the target", target + L"\\real"},
    };
    DirectoryLinks links;
    for (const Case& c : cases)
        if (!links.Make(source + L"\\" + c.name, c.leadsTo)) GTEST_SKIP() << "this system cannot make directory links";
    ASSERT_TRUE(WriteFileAt(target + L"\\is the target\\real\\f.txt", "f"));

    ToolRun run = Mirror({L"/R:0", L"/W:0"});
    EXPECT_EQ(run.exitCode, 2u) << run.output;
    EXPECT_EQ(Difference(before, Snapshot(target)), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        size_t at = run.output.find(Narrow(c.name) + "\\");
        ASSERT_NE(at, std::string::npos) << run.output.substr(0, 4000);
        size_t lineStart = run.output.rfind('\n', at) + 1;
        EXPECT_NE(run.output.substr(lineStart, at - lineStart).find("*EXCLUDED"), std::string::npos);
    }
    ToolRun again = Mirror();
    EXPECT_EQ(again.exitCode, 0u) << again.output;
}

} // namespace
