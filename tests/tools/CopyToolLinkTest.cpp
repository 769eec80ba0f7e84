// The copy tool and hard links: target files linked elsewhere are replaced, never written
// through, and with a link reference (/LINKDEST) unchanged files become links to an older
// mirror, whose files never change.
#include "tests/tools/CopyToolHarness.h"

#include "base/ScopedWin.h"
#include "tests/support/Scratch.h"
#include "tests/support/UnixSide.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The linked files of the summary's "Linked : N files, ..." line; -1 when it is missing.
int64_t LinkedFiles(const std::string& output)
{
    size_t at = output.rfind("  Linked : ");
    return at == std::string::npos ? -1 : std::stoll(output.substr(at + 11));
}

// The number of names a file has, and whether two paths name the same file.
DWORD LinkCount(const std::wstring& path)
{
    UniqueHandle h(CreateFileW(Long(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    return h && GetFileInformationByHandle(h.get(), &info) ? info.nNumberOfLinks : 0;
}

bool SameFileOnDisk(const std::wstring& a, const std::wstring& b)
{
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::wstring* paths[2] = {&a, &b};
    for (int k = 0; k < 2; ++k) {
        UniqueHandle h(CreateFileW(Long(*paths[k]).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
        if (!h || !GetFileInformationByHandle(h.get(), &info[k])) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// A target file that is a hard link to a file elsewhere (another backup slot, or outside
// the target) is replaced by a new file: the other file keeps its bytes, times and
// attributes. A replacement that fails keeps the old copy, and leaves no temporary file.
TEST_F(CopyTool, ReplacesTargetFilesWithoutWritingThroughHardLinks)
{
    std::wstring elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(WriteFileAt(source + L"\\chat.db", Pattern(300000, 5), TIME_2009 + 50000000));
    ASSERT_TRUE(WriteFileAt(source + L"\\ro.db", "read-only in the source", TIME_2009 + 50000000));
    ASSERT_TRUE(AddAttributes(source + L"\\ro.db", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteFileAt(elsewhere + L"\\chat.db", "the other slot's copy"));
    ASSERT_TRUE(WriteFileAt(elsewhere + L"\\ro.db", "another old copy"));
    ASSERT_TRUE(AddAttributes(elsewhere + L"\\ro.db", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(MakeDirs(target));
    for (const wchar_t* name : {L"\\chat.db", L"\\ro.db"})
        ASSERT_TRUE(CreateHardLinkW(Long(target + name).c_str(), Long(elsewhere + name).c_str(), nullptr));
    TreeSnapshot elsewhereBefore = Snapshot(elsewhere);
    TreeSnapshot targetBefore = Snapshot(target);
    {
        // Held open without delete sharing: the copy can be made, not put in place.
        UniqueHandle held(CreateFileW(Long(target + L"\\chat.db").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        ToolRun failed = Mirror({L"/R:0", L"/W:0"});
        EXPECT_EQ(failed.exitCode, 1u | 8u) << failed.output;
        std::vector<uint64_t> files = SummaryRow(failed.output, "Files");
        ASSERT_EQ(files.size(), 6u) << failed.output;
        EXPECT_EQ(files[1], 1u); // ro.db
        EXPECT_EQ(files[4], 1u); // chat.db
    }
    TreeSnapshot afterFailure = Snapshot(target);
    EXPECT_EQ(afterFailure[L"chat.db"], targetBefore[L"chat.db"]) << "the old copy must stay as it was";
    EXPECT_EQ(afterFailure.size(), 2u) << "no temporary file may be left";
    EXPECT_EQ(Difference(elsewhereBefore, Snapshot(elsewhere)), "");

    ToolRun run = Mirror();
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(Difference(Snapshot(source), Snapshot(target)), "");
    EXPECT_EQ(Difference(elsewhereBefore, Snapshot(elsewhere)), "");
}

// Removing an extra takes nothing from what stays: the other links of a hard-linked file
// (another slot's copy) and a file that could not be removed keep their attributes.
TEST_F(CopyTool, RemovingExtrasLeavesAttributesOfWhatStays)
{
    constexpr DWORD KEPT = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    std::wstring elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(MakeDirs(source));
    ASSERT_TRUE(WriteFileAt(elsewhere + L"\\linked.txt", "shared with another slot"));
    ASSERT_TRUE(AddAttributes(elsewhere + L"\\linked.txt", KEPT));
    ASSERT_TRUE(MakeDirs(target + L"\\gone"));
    ASSERT_TRUE(CreateHardLinkW(Long(target + L"\\gone\\linked.txt").c_str(), Long(elsewhere + L"\\linked.txt").c_str(),
                                nullptr));
    ASSERT_TRUE(WriteFileAt(target + L"\\held.txt", "held open by someone"));
    ASSERT_TRUE(AddAttributes(target + L"\\held.txt", KEPT));
    TreeSnapshot elsewhereBefore = Snapshot(elsewhere);
    TreeSnapshot heldBefore = Snapshot(target);
    {
        UniqueHandle held(CreateFileW(Long(target + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        ToolRun run = Mirror({L"/R:0", L"/W:0"});
        EXPECT_EQ(run.exitCode, 2u | 8u) << run.output;
    }
    EXPECT_EQ(Difference(elsewhereBefore, Snapshot(elsewhere)), "");
    EXPECT_FALSE(PathExists(target + L"\\gone"));
    TreeSnapshot after = Snapshot(target);
    ASSERT_EQ(after.count(L"held.txt"), 1u);
    EXPECT_EQ(after[L"held.txt"].attributes, KEPT);
    EXPECT_EQ(after[L"held.txt"], heldBefore[L"held.txt"]);
}

// Generations that share unchanged files. A file the reference (an older mirror) holds
// unchanged becomes a link to it; what changed in data, time or attributes, and what is
// new, is copied, and so is every read-only file (each read-only file of the store has
// one name, so lifting its bit later touches no other generation). A later run into the same target, whatever it changes or removes among
// the shared files, leaves the reference's files exactly as they were.
TEST_F(CopyTool, LinksUnchangedFilesFromTheReferenceAndNeverChangesItsFiles)
{
    std::wstring reference = scratch / L"older";
    constexpr DWORD RO_HIDDEN = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    const std::wstring shared[] = {L"same.db", L"sub\\same.gif"};
    const std::wstring changed[] = {L"data.db", L"time.txt", L"attributes.txt", L"new.txt", L"ro.txt", L"gone.txt"};
    ASSERT_TRUE(WriteFileAt(source + L"\\same.db", Pattern(100000, 7)));
    ASSERT_TRUE(WriteFileAt(source + L"\\sub\\same.gif", Pattern(3000, 8)));
    ASSERT_TRUE(WriteFileAt(source + L"\\ro.txt", "read-only and hidden"));
    ASSERT_TRUE(AddAttributes(source + L"\\ro.txt", RO_HIDDEN));
    ASSERT_TRUE(WriteFileAt(source + L"\\gone.txt", "removed in the second session"));
    ASSERT_TRUE(AddAttributes(source + L"\\gone.txt", RO_HIDDEN));
    ASSERT_TRUE(WriteFileAt(source + L"\\data.db", "old data"));
    ASSERT_TRUE(WriteFileAt(source + L"\\time.txt", "same data"));
    ASSERT_TRUE(WriteFileAt(source + L"\\attributes.txt", "same data"));
    ASSERT_EQ(RunTool({source, reference, L"/MIR"}).exitCode, 1u);
    // A session changes some files and adds one.
    ASSERT_TRUE(WriteFileAt(source + L"\\data.db", "new data, longer"));
    ASSERT_TRUE(SetWriteTime(source + L"\\time.txt", TIME_2009 + 1));
    ASSERT_TRUE(AddAttributes(source + L"\\attributes.txt", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(WriteFileAt(source + L"\\new.txt", "new"));
    TreeSnapshot referenceBefore = Snapshot(reference);

    ToolRun run = Mirror({L"/LINKDEST:" + reference});
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(Difference(Snapshot(source), Snapshot(target)), "");
    EXPECT_EQ(Difference(referenceBefore, Snapshot(reference)), "");
    EXPECT_EQ(LinkedFiles(run.output), 2) << run.output;
    std::vector<uint64_t> files = SummaryRow(run.output, "Files");
    ASSERT_EQ(files.size(), 6u) << run.output;
    EXPECT_EQ(files[0], 8u);
    EXPECT_EQ(files[1], 6u);
    for (const std::wstring& name : shared)
        EXPECT_TRUE(SameFileOnDisk(target + L"\\" + name, reference + L"\\" + name)) << Narrow(name);
    for (const std::wstring& name : changed) EXPECT_EQ(LinkCount(target + L"\\" + name), 1u) << Narrow(name);
    ToolRun unchanged = Mirror({L"/LINKDEST:" + reference});
    EXPECT_EQ(unchanged.exitCode, 0u) << unchanged.output;

    // The next session changes the shared files each in another way, and removes one; the
    // run goes into the same target, as the rotation does.
    ASSERT_TRUE(WriteFileAt(source + L"\\same.db", Pattern(100000, 9), TIME_2009 + 3));
    ASSERT_TRUE(SetWriteTime(source + L"\\sub\\same.gif", TIME_2009 + 2));
    ASSERT_TRUE(SetFileAttributesW(Long(source + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(SetFileAttributesW(Long(source + L"\\gone.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileW(Long(source + L"\\gone.txt").c_str()));
    ToolRun next = Mirror({L"/LINKDEST:" + reference});
    EXPECT_EQ(next.exitCode, 1u | 2u) << next.output;
    EXPECT_EQ(Difference(Snapshot(source), Snapshot(target)), "");
    EXPECT_EQ(Difference(referenceBefore, Snapshot(reference)), "");
    EXPECT_EQ(LinkedFiles(next.output), 0);
}

// Links are made several at once. Many directories, each with many files, some of which
// replace an older target file and some read-only: every file but the read-only ones
// (copied instead) is linked exactly once, in its own place, the replaced files leave no
// temporary name behind, and each one is reported once.
TEST_F(CopyTool, LinksManyFilesAtOnceEachInItsPlace)
{
    std::wstring reference = scratch / L"older";
    constexpr unsigned DIRS = 12, FILES = 30;
    auto name = [](unsigned d, unsigned f) { return L"d" + std::to_wstring(d) + L"\\f" + std::to_wstring(f) + L".dat"; };
    // The target holds an older version of the even directories' files.
    for (unsigned d = 0; d < DIRS; d += 2) {
        for (unsigned f = 0; f < FILES; ++f) ASSERT_TRUE(WriteFileAt(source + L"\\" + name(d, f), Pattern(100 + f, d)));
    }
    ASSERT_EQ(RunTool({source, target, L"/MIR"}).exitCode, 1u);
    for (unsigned d = 0; d < DIRS; ++d)
        for (unsigned f = 0; f < FILES; ++f) {
            std::wstring path = source + L"\\" + name(d, f);
            ASSERT_TRUE(WriteFileAt(path, Pattern(200 + f, 100 + d), TIME_2009 + d * FILES + f));
            if (f % 7 == 0) {
                ASSERT_TRUE(AddAttributes(path, FILE_ATTRIBUTE_READONLY));
            }
        }
    ASSERT_EQ(RunTool({source, reference, L"/MIR"}).exitCode, 1u);
    TreeSnapshot referenceBefore = Snapshot(reference);

    ToolRun run = Mirror({L"/LINKDEST:" + reference});
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(Difference(Snapshot(source), Snapshot(target)), "");
    EXPECT_EQ(Difference(referenceBefore, Snapshot(reference)), "");
    constexpr unsigned READ_ONLY_PER_DIR = (FILES + 6) / 7;
    EXPECT_EQ(LinkedFiles(run.output), static_cast<int64_t>(DIRS * (FILES - READ_ONLY_PER_DIR))) << run.output;
    for (unsigned d = 0; d < DIRS; ++d)
        for (unsigned f = 0; f < FILES; ++f) {
            std::wstring relative = name(d, f);
            bool readOnly = f % 7 == 0;
            std::string shown = "  " + Narrow(relative);
            size_t first = run.output.find(shown + "\r\n");
            ASSERT_NE(first, std::string::npos) << shown;
            EXPECT_EQ(run.output.find(shown + "\r\n", first + 1), std::string::npos) << shown;
            bool linkedLine = run.output.rfind("  Linked ", first) == run.output.rfind("\n", first) + 1;
            EXPECT_EQ(linkedLine, !readOnly) << shown;
            if (readOnly) {
                EXPECT_EQ(LinkCount(target + L"\\" + relative), 1u) << Narrow(relative);
            } else {
                ASSERT_TRUE(SameFileOnDisk(target + L"\\" + relative, reference + L"\\" + relative))
                    << Narrow(relative);
            }
        }
}

// Where no link can be made the file is copied, as without a reference. Here the reference
// lies on another file system (the memory file system under Wine's Z: drive), which links
// from the target cannot reach.
TEST_F(CopyTool, CopiesWhereNoLinkCanBeMade)
{
    const std::wstring memory = L"Z:\\dev\\shm";
    if (!IsDirectory(memory)) GTEST_SKIP() << "no second file system here";
    std::wstring reference = memory + L"\\kestova-linkdest-" + std::to_wstring(GetCurrentProcessId());
    struct Removed {
        std::wstring path;
        ~Removed() { RemoveTree(path); }
    } removed{reference};
    ASSERT_TRUE(WriteFileAt(source + L"\\a.db", Pattern(50000, 10)));
    ASSERT_TRUE(WriteFileAt(source + L"\\b\\c.txt", "c"));
    ASSERT_EQ(RunTool({source, reference, L"/MIR"}).exitCode, 1u);
    ASSERT_TRUE(MakeDirs(target));
    if (CreateHardLinkW(Long(target + L"\\probe").c_str(), Long(reference + L"\\a.db").c_str(), nullptr)) {
        DeleteFileW(Long(target + L"\\probe").c_str());
        GTEST_SKIP() << "links from the target reach the reference here";
    }

    ToolRun run = Mirror({L"/LINKDEST:" + reference});
    EXPECT_EQ(run.exitCode, 1u) << run.output;
    EXPECT_EQ(LinkedFiles(run.output), 0) << run.output;
    std::vector<uint64_t> files = SummaryRow(run.output, "Files");
    ASSERT_EQ(files.size(), 6u) << run.output;
    EXPECT_EQ(files[1], 2u);
    EXPECT_EQ(Difference(Snapshot(source), Snapshot(target)), "");
    EXPECT_EQ(LinkCount(target + L"\\a.db"), 1u);
}

// The names listed in a directory that equal name in any letter case.
int NamesLike(const std::wstring& directory, const wchar_t* name)
{
    int n = 0;
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW(Long(directory + L"\\*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return 0;
    do n += _wcsicmp(found.cFileName, name) == 0 ? 1 : 0;
    while (FindNextFileW(listing, &found));
    FindClose(listing);
    return n;
}

// A source folder on a case-sensitive file system may hold two names that differ only in
// letter case; the target holds one of them, linked to another generation's file. One
// source name is paired with the target file; the other is missing from the target's
// listing, yet opening it reaches that same file. When the paired one is unchanged (the
// file stays linked), the other must still replace it through a new file, never write
// into it, with or without a link reference. Either name may come first in the listing,
// so each takes its turn as the unchanged one.
TEST_F(CopyTool, ANameDifferingOnlyInCaseNeverWritesIntoALinkedTargetFile)
{
    std::wstring elsewhere = scratch / L"elsewhere";
    std::wstring unixSource = UnixPath(source);
    std::wstring other = scratch / L"other.png";
    ASSERT_TRUE(WriteFileAt(other, "another picture under the other name", TIME_2009 + 10000000));
    for (const wchar_t* unchanged : {L"pic.png", L"PIC.png"}) {
        const wchar_t* changed = wcscmp(unchanged, L"pic.png") == 0 ? L"PIC.png" : L"pic.png";
        for (bool withReference : {false, true}) {
            SCOPED_TRACE(Narrow(unchanged) + (withReference ? " unchanged, with a link reference" : " unchanged"));
            ASSERT_TRUE(RemoveTree(source));
            ASSERT_TRUE(RemoveTree(target));
            ASSERT_TRUE(WriteFileAt(elsewhere + L"\\pic.png", "the picture"));
            ASSERT_TRUE(WriteFileAt(source + L"\\" + unchanged, "the picture"));
            if (unixSource.empty() ||
                !RunUnix(L"/bin/cp", {L"-p", L"--", UnixPath(other), unixSource + L"/" + changed}) ||
                !PumpUntil([&] { return NamesLike(source, L"pic.png") == 2; }, 10000))
                GTEST_SKIP() << "no case-sensitive folder can be made here";
            ASSERT_TRUE(MakeDirs(target));
            ASSERT_TRUE(CreateHardLinkW(Long(target + L"\\pic.png").c_str(), Long(elsewhere + L"\\pic.png").c_str(),
                                        nullptr));
            TreeSnapshot elsewhereBefore = Snapshot(elsewhere);
            ToolRun run = withReference ? Mirror({L"/LINKDEST:" + elsewhere}) : Mirror();
            EXPECT_EQ(Difference(elsewhereBefore, Snapshot(elsewhere)), "") << run.output;
            EXPECT_EQ(run.exitCode & 8u, 0u) << run.output;
        }
    }
}

} // namespace
