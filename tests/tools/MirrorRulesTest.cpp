// The copy tool's walk (MirrorTree) run inside the test program, so that its file calls go
// through the strict layer of Windows rules: what a user's Windows refuses, or keeps
// differently, where the test platform lets it pass.
#include "tests/support/Scratch.h"
#include "tests/support/StrictFiles.h"

#include "base/ScopedWin.h"
#include "tools/robocopy/Listing.h"
#include "tools/robocopy/MirrorTool.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The walk reports to standard output; the test's own output stays readable.
class QuietReport {
public:
    QuietReport()
        : nul_(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr)),
          previous_(GetStdHandle(STD_OUTPUT_HANDLE))
    {
        SetStdHandle(STD_OUTPUT_HANDLE, nul_.get());
    }
    ~QuietReport()
    {
        ReportFlush();
        SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    }

private:
    UniqueHandle nul_;
    HANDLE previous_;
};

MirrorStats Mirror(const std::wstring& source, const std::wstring& target, const std::wstring& reference = L"")
{
    ToolOptions options;
    options.source = source;
    options.target = target;
    options.subdirectories = true;
    options.purge = true;
    options.retries = 1;
    options.waitSeconds = 0;
    options.linkReference = reference;
    MirrorStats stats;
    QuietReport quiet;
    MirrorTree(options, &stats);
    return stats;
}

// Sets a file's last-write time to t (100 ns units).
bool SetWritten(const std::wstring& path, uint64_t t)
{
    UniqueHandle h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr));
    FILETIME w{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    return h && SetFileTime(h.get(), nullptr, nullptr, &w);
}

DWORD LinkCount(const std::wstring& path)
{
    BY_HANDLE_FILE_INFORMATION info;
    return FollowedInfo(path, &info) == 0 ? info.nNumberOfLinks : 0;
}

// A folder that the source lost, whose last file an indexer still holds (sharing all, as
// such programs open): the file's name stays until the indexer lets go, so removing it in
// place would leave the folder "not empty" and fail the run.
TEST(MirrorUnderWindowsRules, PurgesAFolderWhoseFileAnotherProgramHolds)
{
    ScratchDir scratch;
    ASSERT_TRUE(MakeDirs(scratch / L"src") && WriteBytes(scratch / L"src\\kept.txt", "kept"));
    ASSERT_TRUE(WriteBytes(scratch / L"dst\\gone\\held.db", "held by an indexer"));
    ScopedStrictFiles strict;
    ASSERT_TRUE(strict->Hold(scratch / L"dst\\gone\\held.db"));

    MirrorStats stats = Mirror(scratch / L"src", scratch / L"dst");

    EXPECT_EQ(stats.files.failed, 0u);
    EXPECT_EQ(stats.dirs.failed, 0u);
    EXPECT_FALSE(PathExists(scratch / L"dst\\gone"));
    EXPECT_EQ(stats.dirs.extras, 1u);
    strict->Release(scratch / L"dst\\gone\\held.db");
    EXPECT_EQ(strict->PendingDeletes(), 0u);
}

// A FAT32 or exFAT store keeps last-write times coarser than the source's volume: a
// second run over an unchanged source must copy nothing.
TEST(MirrorUnderWindowsRules, AFatTargetIsNotCopiedAgainWhenNothingChanged)
{
    ScratchDir scratch;
    constexpr uint64_t ODD_TIME = 128738592012345678ull; // not on a 2 s step
    for (const wchar_t* name : {L"src\\a.db", L"src\\sub\\b.jpg", L"src\\sub\\c.txt"}) {
        ASSERT_TRUE(WriteBytes(scratch / name, "data"));
        ASSERT_TRUE(SetWritten(scratch / name, ODD_TIME));
    }
    ASSERT_TRUE(MakeDirs(scratch / L"fat"));
    ScopedStrictFiles strict;
    strict->MarkFat(scratch / L"fat");

    MirrorStats first = Mirror(scratch / L"src", scratch / L"fat\\1");
    ASSERT_EQ(first.files.copied, 3u);
    MirrorStats second = Mirror(scratch / L"src", scratch / L"fat\\1");
    EXPECT_EQ(second.files.copied, 0u);
    EXPECT_EQ(second.files.skipped, 3u);

    // A real change is still seen.
    ASSERT_TRUE(SetWritten(scratch / L"src\\a.db", ODD_TIME + 30000000));
    MirrorStats third = Mirror(scratch / L"src", scratch / L"fat\\1");
    EXPECT_EQ(third.files.copied, 1u);
}

// A read-only file is copied, never linked to the reference's copy: each read-only file
// of the store then has one name, and replacing or removing it later changes no other
// generation.
TEST(MirrorUnderWindowsRules, NeverLinksAReadOnlyFile)
{
    ScratchDir scratch;
    ASSERT_TRUE(WriteBytes(scratch / L"src\\ro.db", "read-only") && WriteBytes(scratch / L"src\\rw.db", "plain"));
    ASSERT_TRUE(SetFileAttributesW((scratch / L"src\\ro.db").c_str(), FILE_ATTRIBUTE_READONLY));
    MirrorStats first = Mirror(scratch / L"src", scratch / L"gen1");
    ASSERT_EQ(first.files.copied, 2u);

    MirrorStats second = Mirror(scratch / L"src", scratch / L"gen2", scratch / L"gen1");
    EXPECT_EQ(second.files.failed, 0u);
    EXPECT_EQ(second.linkedFiles, 1u);
    EXPECT_EQ(LinkCount(scratch / L"gen2\\rw.db"), 2u);
    EXPECT_EQ(LinkCount(scratch / L"gen2\\ro.db"), 1u);
    EXPECT_TRUE(GetFileAttributesW((scratch / L"gen2\\ro.db").c_str()) & FILE_ATTRIBUTE_READONLY);
}

// A read-only file that changes is replaced, run after run: the rename over it never
// meets a handle of the tool's own.
TEST(MirrorUnderWindowsRules, ReplacesAChangedReadOnlyFile)
{
    ScratchDir scratch;
    ASSERT_TRUE(WriteBytes(scratch / L"src\\ro.db", "first"));
    ASSERT_TRUE(SetFileAttributesW((scratch / L"src\\ro.db").c_str(), FILE_ATTRIBUTE_READONLY));
    ScopedStrictFiles strict;
    ASSERT_EQ(Mirror(scratch / L"src", scratch / L"dst").files.copied, 1u);
    ASSERT_TRUE(SetFileAttributesW((scratch / L"src\\ro.db").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(WriteBytes(scratch / L"src\\ro.db", "second, longer"));
    ASSERT_TRUE(SetFileAttributesW((scratch / L"src\\ro.db").c_str(), FILE_ATTRIBUTE_READONLY));

    MirrorStats stats = Mirror(scratch / L"src", scratch / L"dst");
    EXPECT_EQ(stats.files.failed, 0u);
    EXPECT_EQ(stats.files.copied, 1u);
    std::string bytes;
    EXPECT_TRUE(ReadBytes(scratch / L"dst\\ro.db", &bytes));
    EXPECT_EQ(bytes, "second, longer");
    EXPECT_EQ(strict->PendingDeletes(), 0u);
}

} // namespace
