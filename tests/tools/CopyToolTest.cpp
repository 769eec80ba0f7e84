// The copy tool, run as the real built program on real trees in scratch folders.
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include "base/ScopedWin.h"
#include "tools/robocopy/MirrorTool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

bool SetWriteTime(const std::wstring& path, uint64_t ticks)
{
    UniqueHandle h(CreateFileW(Long(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILETIME t{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return h && SetFileTime(h.get(), nullptr, nullptr, &t);
}

// A fixed, old time, so a copy made "now" can never match it by chance.
constexpr uint64_t TIME_2009 = 128738592000000000ull;

bool WriteFileAt(const std::wstring& path, const std::string& bytes, uint64_t ticks = TIME_2009)
{
    return WriteBytes(path, bytes) && SetWriteTime(path, ticks);
}

bool AddAttributes(const std::wstring& path, DWORD attributes)
{
    DWORD now = GetFileAttributesW(Long(path).c_str());
    return now != INVALID_FILE_ATTRIBUTES && SetFileAttributesW(Long(path).c_str(), now | attributes);
}

// Deterministic contents of a given length.
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

// The last line is "   Ended : " + "Www Mmm dd hh:mm:ss yyyy" + CR LF, day blank-padded,
// and it names the present moment (checked to the day).
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

// The six numbers of a summary row ("Dirs", "Files", "Bytes"): total, copied, skipped,
// mismatch, failed, extras. Empty when the row is missing.
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

struct ToolRun {
    DWORD exitCode = 0;
    std::string output;
};

ToolRun RunTool(const std::vector<std::wstring>& args)
{
    std::wstring line = QuoteArgument(BuiltProgramPath(L"robocopy.exe"));
    for (const auto& a : args) line += L" " + QuoteArgument(a);
    ChildResult r = RunCommand(line, L"", 120000);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    return {r.exitCode, r.output};
}

class CopyTool : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::wstring source = scratch / L"src";
    std::wstring target = scratch / L"dst";

    ToolRun Mirror(std::vector<std::wstring> extra = {})
    {
        std::vector<std::wstring> args = {source, target, L"/MIR"};
        args.insert(args.end(), extra.begin(), extra.end());
        ToolRun run = RunTool(args);
        ExpectEndedLast(run.output);
        return run;
    }
};

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

// Every refusal ends the run before anything is changed, with status 16.
TEST_F(CopyTool, RefusesBadCommandLinesAndUnsafeTargets)
{
    ASSERT_TRUE(WriteFileAt(source + L"\\a.txt", "a"));
    ASSERT_TRUE(WriteFileAt(scratch / L"file.txt", "f"));
    wchar_t drive[8] = L"";
    GetEnvironmentVariableW(L"KESTOVA_TEST_ROOT_DRIVE", drive, 8);
    struct Case {
        const char* name;
        std::vector<std::wstring> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"no arguments", {}, "Usage:"},
        {"help", {L"/?"}, "Usage:"},
        {"no target", {source, L"/MIR"}, "No target"},
        {"unknown option", {source, target, L"/MIR", L"/XYZ"}, "Invalid parameter: /XYZ"},
        {"bad retry count", {source, target, L"/R:many"}, "Invalid retry count"},
        {"wait too long", {source, target, L"/W:99999"}, "Invalid wait time"},
        {"link reference without a folder", {source, target, L"/MIR", L"/LINKDEST:"}, "No folder given"},
        {"link reference with a wildcard", {source, target, L"/MIR", L"/LINKDEST:" + source + L"\\*"},
         "Invalid /LINKDEST"},
        {"third path", {source, target, L"*.txt"}, "Unexpected argument"},
        {"wildcard path", {source + L"\\*", target, L"/MIR"}, "Invalid source"},
        {"missing source", {scratch / L"nothing", target, L"/MIR"}, "Accessing source"},
        {"source is a file", {scratch / L"file.txt", target, L"/MIR"}, "not a directory"},
        {"target is a file", {source, scratch / L"file.txt", L"/MIR"}, "not a directory"},
        {"target is the source", {source, source + L"\\", L"/MIR"}, "separate directories"},
        {"target inside the source", {source, source + L"\\sub", L"/MIR"}, "separate directories"},
        {"target inside, other case", {source, scratch / L"SRC\\..\\src\\sub", L"/MIR"}, "separate directories"},
        {"source inside the target", {source, scratch.path(), L"/MIR"}, "separate directories"},
        {"target is a drive root", {source, std::wstring(drive) + L"\\", L"/MIR"}, "root of a drive"},
    };
    TreeSnapshot before = Snapshot(scratch.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.args.size() > 1 && c.args[1] == L"\\") continue; // no test drive here
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 16u) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        ExpectEndedLast(run.output);
        EXPECT_EQ(Difference(before, Snapshot(scratch.path())), "");
        EXPECT_FALSE(PathExists(target));
    }
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

// Wine's Unix side, for what the platform's own calls cannot make: a name that differs from
// another only in letter case, a directory link (see DirectoryLinks).

// The Unix path under Wine; empty elsewhere.
std::wstring UnixPath(const std::wstring& path)
{
    using ToUnix = char*(CDECL*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return L"";
    char* unixPath = toUnix(path.c_str());
    if (!unixPath) return L"";
    std::wstring wide(unixPath, unixPath + strlen(unixPath)); // scratch paths are ASCII
    HeapFree(GetProcessHeap(), 0, unixPath);
    return wide;
}

bool RunUnix(const std::wstring& program, const std::vector<std::wstring>& args)
{
    using ToDos = wchar_t*(CDECL*)(const char*);
    auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDos) return false;
    std::string narrow(program.begin(), program.end());
    wchar_t* dosProgram = toDos(narrow.c_str());
    if (!dosProgram) return false;
    std::wstring application = dosProgram;
    HeapFree(GetProcessHeap(), 0, dosProgram);
    std::wstring line = QuoteArgument(program);
    for (const auto& a : args) line += L" " + QuoteArgument(a);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return false;
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.get(), 10000);
    return true;
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

// What escapes the tool's body ends the run with a failure status the caller cannot take
// for success, and the report still ends with its last line.
KESTOVA_CHILD(copytool_guarded)
{
    int (*body)(int, wchar_t**) = nullptr;
    if (args[0] == L"bad_alloc") body = [](int, wchar_t**) -> int { ReportLine(L"Working"); throw std::bad_alloc(); };
    if (args[0] == L"runtime_error")
        body = [](int, wchar_t**) -> int { throw std::runtime_error("broken invariant"); };
    if (args[0] == L"abort") {
        InstallAbortHandlers();
        body = [](int, wchar_t**) -> int { abort(); };
    }
    if (args[0] == L"terminate") {
        InstallAbortHandlers();
        body = [](int, wchar_t**) -> int { std::terminate(); };
    }
    return body ? RunGuarded(body, 0, nullptr) : 99;
}

TEST(CopyToolGuard, EscapesAndAbortsEndAsFailures)
{
    struct Case {
        const wchar_t* how;
        bool reported; // the report ends with the error and its usual last line
        const char* says;
    };
    const Case cases[] = {
        {L"bad_alloc", true, "internal error (out of memory)"},
        {L"runtime_error", true, "internal error (broken invariant)"},
        {L"abort", false, ""},
        {L"terminate", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.how));
        ChildResult r = RunChild(CurrentExePath(), L"copytool_guarded", {c.how});
        ASSERT_TRUE(r.started);
        EXPECT_EQ(r.exitCode, 24u) << r.output;
        if (c.reported) {
            EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
            ExpectEndedLast(r.output);
        }
    }
}

} // namespace
