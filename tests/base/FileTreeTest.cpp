#include "base/FileTree.h"
#include "base/ScopedWin.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD READ_ONLY = FILE_ATTRIBUTE_READONLY;

std::wstring Extended(const std::wstring& path)
{
    std::vector<wchar_t> buffer(EXTENDED_PATH_CAPACITY);
    return ExtendedLengthPath(buffer.data(), buffer.size(), path.c_str()) ? buffer.data() : L"";
}

DWORD AttributesOf(const std::wstring& path) { return GetFileAttributesW(Extended(path).c_str()); }

// A file (or, without bytes, a folder) to make before a case, and the attributes it is given.
struct Made {
    std::wstring path; // relative to the scratch folder
    const char* bytes; // null: a folder
    DWORD attributes;
};

bool MakeAll(const ScratchDir& scratch, const std::vector<Made>& made)
{
    for (const Made& m : made) {
        std::wstring path = scratch / m.path;
        if (!(m.bytes ? WriteBytes(path, m.bytes) : MakeDirs(path))) return false;
    }
    // Attributes last: a read-only folder must still take what goes inside it.
    for (const Made& m : made)
        if (m.attributes && !SetFileAttributesW(Extended(scratch / m.path).c_str(), m.attributes)) return false;
    return true;
}

TEST(DeleteTree, RemovesWhatIsGivenAndNothingBeside)
{
    // Deeper than MAX_PATH, given in the plain form.
    std::wstring deep = L"tree";
    while (deep.size() < MAX_PATH + 20) deep += L"\\a-folder-with-a-longer-name";
    struct Case {
        const char* what;
        std::vector<Made> made;
        std::wstring given; // relative to the scratch folder
    } cases[] = {
        {"a nested tree",
         {{L"tree\\a\\b\\c.txt", "c", 0}, {L"tree\\a\\empty", nullptr, 0}, {L"tree\\d.db", "d", 0}},
         L"tree"},
        {"read-only files and folders inside",
         {{L"tree\\ro.txt", "r", READ_ONLY},
          {L"tree\\sub\\kept.db", "k", READ_ONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
          {L"tree\\sub", nullptr, READ_ONLY}},
         L"tree"},
        {"a single read-only file", {{L"file.txt", "f", READ_ONLY}}, L"file.txt"},
        {"a trailing separator", {{L"tree\\x.txt", "x", 0}}, L"tree\\"},
        {"a path deeper than MAX_PATH", {{deep + L"\\leaf\\file.txt", "f", READ_ONLY}}, deep},
        {"a missing path", {}, L"missing"},
        {"a path under a missing folder", {}, L"missing\\below"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        ASSERT_TRUE(WriteBytes(scratch / L"beside.txt", "beside"));
        ASSERT_TRUE(MakeAll(scratch, c.made));
        EXPECT_TRUE(DeleteTree((scratch / c.given).c_str()));
        EXPECT_FALSE(PathExists(scratch / c.given));
        std::string beside;
        EXPECT_TRUE(ReadBytes(scratch / L"beside.txt", &beside));
        EXPECT_EQ(beside, "beside");
    }
}

// The store's generations share files as hard links: removing one name of a read-only file
// must leave the file, read-only, under its other names.
TEST(DeleteTree, AFileLinkedFromOutsideKeepsItsDataAndAttributes)
{
    ScratchDir scratch;
    ASSERT_TRUE(WriteBytes(scratch / L"outside\\shared.db", "shared"));
    ASSERT_TRUE(MakeDirs(scratch / L"tree"));
    ASSERT_TRUE(CreateHardLinkW(Extended(scratch / L"tree\\shared.db").c_str(),
                                Extended(scratch / L"outside\\shared.db").c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(Extended(scratch / L"outside\\shared.db").c_str(), READ_ONLY));

    EXPECT_TRUE(DeleteTree((scratch / L"tree").c_str()));
    EXPECT_FALSE(PathExists(scratch / L"tree"));
    std::string bytes;
    EXPECT_TRUE(ReadBytes(scratch / L"outside\\shared.db", &bytes));
    EXPECT_EQ(bytes, "shared");
    EXPECT_EQ(AttributesOf(scratch / L"outside\\shared.db") & READ_ONLY, READ_ONLY);
}

// A file that another handle holds without delete sharing stays, as it was; everything
// else goes.
TEST(DeleteTree, GoesOnPastAnEntryItCannotRemove)
{
    ScratchDir scratch;
    ASSERT_TRUE(MakeAll(scratch, {{L"tree\\held.db", "held", READ_ONLY}, {L"tree\\sub\\other.txt", "o", 0},
                                  {L"tree\\z.txt", "z", 0}}));
    UniqueHandle held(CreateFileW(Extended(scratch / L"tree\\held.db").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);

    EXPECT_FALSE(DeleteTree((scratch / L"tree").c_str()));
    EXPECT_TRUE(PathExists(scratch / L"tree\\held.db"));
    EXPECT_EQ(AttributesOf(scratch / L"tree\\held.db") & READ_ONLY, READ_ONLY);
    EXPECT_FALSE(PathExists(scratch / L"tree\\sub"));
    EXPECT_FALSE(PathExists(scratch / L"tree\\z.txt"));

    held.reset();
    EXPECT_TRUE(DeleteTree((scratch / L"tree").c_str()));
    EXPECT_FALSE(PathExists(scratch / L"tree"));
}

TEST(DeleteTree, RefusesAVolumeRootAndEmptyPaths)
{
    EXPECT_FALSE(DeleteTree(nullptr));
    EXPECT_FALSE(DeleteTree(L""));
    // Refused before the network is asked anything.
    EXPECT_FALSE(DeleteTree(L"\\\\server\\share"));
    EXPECT_FALSE(DeleteTree(L"\\\\server\\share\\"));

    // A drive of its own, so that a failure here empties nothing anyone needs.
    wchar_t drive[8];
    if (!GetEnvironmentVariableW(L"KESTOVA_TEST_ROOT_DRIVE", drive, 8)) GTEST_SKIP() << "no spare drive";
    std::wstring kept = std::wstring(drive) + L"\\kestova-file-tree-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(WriteBytes(kept, "kept"));
    for (const std::wstring& root : {std::wstring(drive), std::wstring(drive) + L"\\",
                                     L"\\\\?\\" + std::wstring(drive) + L"\\"}) {
        SCOPED_TRACE(Narrow(root));
        EXPECT_FALSE(DeleteTree(root.c_str()));
        EXPECT_TRUE(PathExists(kept));
    }
    EXPECT_TRUE(DeleteTree(kept.c_str()));
}

TEST(ExtendedLengthPath, FormsAFullPathBehindThePrefix)
{
    wchar_t current[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_GT(length, 0u);
    std::wstring here(current, length);
    if (here.back() != L'\\') here += L'\\';
    struct Case {
        const wchar_t* path;
        std::wstring extended;
    } cases[] = {
        {L"C:\\Kestova\\Backup_Data\\1", L"\\\\?\\C:\\Kestova\\Backup_Data\\1"},
        {L"C:/Kestova/./App/../Backup_Data", L"\\\\?\\C:\\Kestova\\Backup_Data"},
        {L"\\\\server\\share\\QQ", L"\\\\?\\UNC\\server\\share\\QQ"},
        {L"\\\\?\\C:\\already\\long", L"\\\\?\\C:\\already\\long"},
        {L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share"},
        {L"\\\\.\\pipe\\kestova", L"\\\\.\\pipe\\kestova"},
        {L"relative\\folder", L"\\\\?\\" + here + L"relative\\folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        EXPECT_EQ(Extended(c.path), c.extended);
    }
}

TEST(ExtendedLengthPath, RefusesWhatDoesNotFitWithoutWriting)
{
    wchar_t buffer[16];
    const std::wstring expected = L"\\\\?\\C:\\a\\b.txt"; // 14 characters and the terminator
    for (size_t capacity : {expected.size() - 1, expected.size()}) {
        SCOPED_TRACE(capacity);
        wmemset(buffer, L'#', 16);
        EXPECT_EQ(ExtendedLengthPath(buffer, capacity, L"C:\\a\\b.txt"), nullptr);
        EXPECT_EQ(buffer[0], L'#');
    }
    wmemset(buffer, L'#', 16);
    EXPECT_EQ(ExtendedLengthPath(buffer, expected.size() + 1, L"C:\\a\\b.txt"), buffer);
    EXPECT_EQ(std::wstring(buffer), expected);
    EXPECT_EQ(buffer[expected.size() + 1], L'#');
    EXPECT_EQ(ExtendedLengthPath(buffer, 16, L""), nullptr);
    EXPECT_EQ(ExtendedLengthPath(buffer, 16, nullptr), nullptr);
    EXPECT_EQ(ExtendedLengthPath(nullptr, 16, L"C:\\a"), nullptr);
}

} // namespace
