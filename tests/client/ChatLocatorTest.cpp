#include "base/PathText.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "client/ChatLocator.h"
#include "tests/support/RegistryFixture.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr REGSAM VIEW_32 = KEY_WOW64_32KEY;
constexpr REGSAM VIEW_64 = KEY_WOW64_64KEY;

const wchar_t TYPE_LIST_KEY[] = L"SOFTWARE\\Tencent\\PlatForm_Type_List";
const wchar_t SHELL_FOLDERS_KEY[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const wchar_t USER_SHELL_FOLDERS_KEY[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

bool KeyExists(HKEY root, const wchar_t* keyPath, REGSAM view)
{
    UniqueRegKey key;
    return RegOpenKeyExW(root, keyPath, 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// Fills a buffer with a pattern, so a missing terminator or a stray write shows.
constexpr wchar_t PATTERN = 0xCCCC;

// ---------------------------------------------------------------------------------------
// RegistryReadString

const wchar_t READ_KEY[] = L"SOFTWARE\\KestovaTest\\Read";
const wchar_t READ_KEY_USER[] = L"Software\\KestovaTest\\Read";

TEST(RegistryReadString, ReadsOneValueNamedByAPathText)
{
    RegistryChanges registry;
    const BYTE odd[] = {'a', 0, 'b', 0, 'c'};
    const DWORD dword = 0x00420041; // "AB" read as wide characters
    const wchar_t multi[] = L"ab\0cd\0"; // with the array's own terminator: 7 characters
    std::wstring deep = std::wstring(READ_KEY) + L"\\Deep\\Er";
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, READ_KEY, L"Plain", L"hello"));
    ASSERT_TRUE(registry.SetString(HKEY_CURRENT_USER, READ_KEY_USER, L"Plain", L"user"));
    ASSERT_TRUE(registry.SetString(HKEY_CLASSES_ROOT, L"KestovaTest.Read", L"Plain", L"classes"));
    ASSERT_TRUE(registry.SetString(HKEY_USERS, std::wstring(L".DEFAULT\\") + READ_KEY_USER, L"Plain", L"users"));
    ASSERT_TRUE(registry.SetBytes(HKEY_LOCAL_MACHINE, READ_KEY, L"Unended", REG_SZ, L"abcd", 8));
    ASSERT_TRUE(registry.SetBytes(HKEY_LOCAL_MACHINE, READ_KEY, L"UnendedBinary", REG_BINARY, L"abcd", 8));
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, READ_KEY, L"Expand", L"%SystemRoot%\\x",
                                   REG_EXPAND_SZ));
    ASSERT_TRUE(registry.SetBytes(HKEY_LOCAL_MACHINE, READ_KEY, L"Odd", REG_BINARY, odd, sizeof odd));
    ASSERT_TRUE(registry.SetBytes(HKEY_LOCAL_MACHINE, READ_KEY, L"Dword", REG_DWORD, &dword, 4));
    ASSERT_TRUE(registry.SetBytes(HKEY_LOCAL_MACHINE, READ_KEY, L"Multi", REG_MULTI_SZ, multi,
                                  sizeof multi));
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, READ_KEY, L"", L"default"));
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, deep, L"V", L"deep"));

    struct Case {
        const wchar_t* path;
        size_t capacity;
        const wchar_t* expected; // null: fails
    } cases[] = {
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Plain", 64, L"hello"},
        {L"HKEY_CURRENT_USER\\Software\\KestovaTest\\Read\\Plain", 64, L"user"},
        {L"HKEY_CLASSES_ROOT\\KestovaTest.Read\\Plain", 64, L"classes"},
        {L"HKEY_USERS\\.DEFAULT\\Software\\KestovaTest\\Read\\Plain", 64, L"users"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Deep\\Er\\V", 64, L"deep"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\", 64, L"default"},
        // Roots: only the four, spelled exactly.
        {L"HKEY_CURRENT_CONFIG\\SOFTWARE\\KestovaTest\\Read\\Plain", 64, nullptr},
        {L"hkey_local_machine\\SOFTWARE\\KestovaTest\\Read\\Plain", 64, nullptr},
        {L"SOFTWARE\\KestovaTest\\Read\\Plain", 64, nullptr},
        // Fewer than two separators name no key and value.
        {L"HKEY_LOCAL_MACHINE\\Plain", 64, nullptr},
        {L"HKEY_LOCAL_MACHINE", 64, nullptr},
        {L"", 64, nullptr},
        {nullptr, 64, nullptr},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Missing\\Plain", 64, nullptr},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Missing", 64, nullptr},
        // Room: the stored terminator counts; data larger than the room fails.
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Plain", 6, L"hello"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Plain", 5, nullptr},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Plain", 0, nullptr},
        // Stored without a terminator: ended when there is room, refused when it fills all.
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Unended", 64, L"abcd"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Unended", 5, L"abcd"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Unended", 4, nullptr},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\UnendedBinary", 5, L"abcd"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\UnendedBinary", 4, nullptr},
        // The type is not looked at; nothing is expanded; an odd last byte is dropped.
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Expand", 64, L"%SystemRoot%\\x"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Odd", 64, L"ab"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Odd", 3, L"ab"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Dword", 64, L"AB"},
        {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\Read\\Multi", 7, L"ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path ? c.path : L"(null)") + " capacity " + std::to_string(c.capacity));
        // One character past the room guards against a write beyond it.
        std::vector<wchar_t> buffer(c.capacity + 1, PATTERN);
        wchar_t* result = RegistryReadString(c.path, buffer.data(), c.capacity);
        if (c.expected) {
            ASSERT_EQ(buffer.data(), result);
            EXPECT_STREQ(c.expected, result);
        } else {
            EXPECT_EQ(nullptr, result);
        }
        EXPECT_EQ(PATTERN, buffer[c.capacity]);
    }
    EXPECT_EQ(nullptr, RegistryReadString(cases[0].path, nullptr, 64));
}

// The client is a 32-bit program: its machine-wide entries are in the 32-bit view, and
// the 64-bit build must read there too.
TEST(RegistryReadString, ReadsTheThirtyTwoBitView)
{
    RegistryChanges registry;
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KestovaTest\\View", L"Only64",
                                   L"64", REG_SZ, VIEW_64));
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KestovaTest\\View", L"Both",
                                   L"64", REG_SZ, VIEW_64));
    ASSERT_TRUE(registry.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KestovaTest\\View", L"Both",
                                   L"32", REG_SZ, VIEW_32));
    wchar_t buffer[16];
    EXPECT_EQ(nullptr, RegistryReadString(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\View\\Only64",
                                          buffer, 16));
    EXPECT_STREQ(L"32", RegistryReadString(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\KestovaTest\\View\\Both",
                                           buffer, 16));
}

// ---------------------------------------------------------------------------------------
// The platform type list

struct Entry {
    int number;
    std::optional<std::wstring> name; // nullopt: no TypeName value
    std::optional<std::wstring> path; // nullopt: no TypePath value
};

// Writes the entries; the list must not exist before, so nothing else is in it.
bool WriteEntries(RegistryChanges* registry, const std::vector<Entry>& entries)
{
    if (KeyExists(HKEY_LOCAL_MACHINE, TYPE_LIST_KEY, VIEW_32)) return false;
    for (const Entry& entry : entries) {
        std::wstring key = std::wstring(TYPE_LIST_KEY) + L"\\" + std::to_wstring(entry.number);
        if (entry.name && !registry->SetString(HKEY_LOCAL_MACHINE, key, L"TypeName", *entry.name))
            return false;
        if (entry.path && !registry->SetString(HKEY_LOCAL_MACHINE, key, L"TypePath", *entry.path))
            return false;
    }
    return true;
}

std::wstring Path(int number)
{
    return L"C:\\Q" + std::to_wstring(number) + L"\\Bin\\QQ.exe";
}

TEST(NextPlatformType, WalksReadableEntriesDownFromTen)
{
    struct Case {
        const char* label;
        std::vector<Entry> entries;
        std::vector<int> delivered;
    } cases[] = {
        {"entries 0 to 11", {{11, L"T11", Path(11)}, {10, L"T10", Path(10)}, {0, L"T0", Path(0)}},
         {10, 0}},
        {"unreadable entries passed over",
         {{9, L"QQ2010", std::nullopt},
          {8, std::nullopt, Path(8)},
          {7, std::wstring(32, L'n'), Path(7)},
          {6, std::wstring(31, L'n'), Path(6)},
          {5, L"T5", std::wstring(4096, L'p')},
          {4, L"T4", std::wstring(4095, L'p')},
          {3, L"", L""}},
         {6, 4, 3}},
        {"empty list", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RegistryChanges registry;
        ASSERT_TRUE(WriteEntries(&registry, c.entries));
        wchar_t name[TYPE_NAME_CAPACITY];
        wchar_t path[PATH_CAPACITY];
        auto expectEntry = [&](int number) {
            SCOPED_TRACE(number);
            wmemset(name, PATTERN, TYPE_NAME_CAPACITY);
            ASSERT_TRUE(NextPlatformType(name, path));
            for (const Entry& entry : c.entries)
                if (entry.number == number) {
                    EXPECT_EQ(*entry.name, name);
                    EXPECT_EQ(*entry.path, path);
                }
        };

        NextPlatformType(nullptr, nullptr);
        for (int number : c.delivered) expectEntry(number);
        EXPECT_FALSE(NextPlatformType(name, path));
        if (!c.delivered.empty() && c.delivered.back() == 0) {
            // Entry 0 was delivered last: the walk stays ended until it is reset.
            EXPECT_FALSE(NextPlatformType(name, path));
        } else if (!c.delivered.empty()) {
            // Running out set the walk back to entry 10.
            expectEntry(c.delivered.front());
        }
        NextPlatformType(nullptr, nullptr);
        if (!c.delivered.empty()) expectEntry(c.delivered.front());
    }
}

// ---------------------------------------------------------------------------------------
// LocateChatData

// The settings file's content with the given data directory.
std::string SavePath(const std::string& value)
{
    return "[UserDataSet]\r\nUserDataSavePath=" + value + "\r\n";
}

struct LocateCase {
    const char* label = "";
    std::vector<Entry> entries = {};
    // Folder values: {A} and {B} stand for two scratch folders, and a trailing {FILL} pads
    // the value with x to 4095 characters. nullopt: the value is missing.
    std::optional<std::wstring> commonDocuments = L"{A}";
    std::optional<std::wstring> personal = L"{B}";
    DWORD personalType = REG_SZ;
    // UserDataInfo.ini in A and B (under Tencent\QQ); nullopt: no file.
    std::optional<std::string> settingsA = std::nullopt;
    std::optional<std::string> settingsB = std::nullopt;
    std::optional<std::wstring> expected = std::nullopt; // nullopt: not found
};

std::wstring Expand(std::wstring text, const std::wstring& a, const std::wstring& b)
{
    for (auto [token, value] : {std::pair{L"{A}", &a}, std::pair{L"{B}", &b}})
        for (size_t at; (at = text.find(token)) != std::wstring::npos;) text.replace(at, 3, *value);
    const std::wstring fill = L"{FILL}";
    if (text.ends_with(fill)) {
        text.erase(text.size() - fill.size());
        text.append(4095 - text.size(), L'x');
    }
    return text;
}

// Applies a case's registry values and settings files; undone with the owners.
bool SetUpCase(const LocateCase& c, RegistryChanges* registry, const std::wstring& a,
               const std::wstring& b)
{
    if (!WriteEntries(registry, c.entries)) return false;
    // A fresh 64-bit prefix has this value in the 64-bit view only; Windows has it in both.
    bool ok = c.commonDocuments
        ? registry->SetString(HKEY_LOCAL_MACHINE, SHELL_FOLDERS_KEY, L"Common Documents",
                              Expand(*c.commonDocuments, a, b))
        : registry->DeleteValue(HKEY_LOCAL_MACHINE, SHELL_FOLDERS_KEY, L"Common Documents");
    ok = ok && (c.personal
        ? registry->SetString(HKEY_CURRENT_USER, USER_SHELL_FOLDERS_KEY, L"Personal",
                              Expand(*c.personal, a, b), c.personalType)
        : registry->DeleteValue(HKEY_CURRENT_USER, USER_SHELL_FOLDERS_KEY, L"Personal"));
    const wchar_t settings[] = L"Tencent\\QQ\\UserDataInfo.ini";
    if (c.settingsA) ok = ok && WriteBytes(a + L"\\" + settings, *c.settingsA);
    if (c.settingsB) ok = ok && WriteBytes(b + L"\\" + settings, *c.settingsB);
    return ok;
}

// Folder B is the Documents folder of a scratch user profile, so that the Personal value
// as Windows stores it, "%USERPROFILE%\Documents" of type REG_EXPAND_SZ, names it once
// expanded. The variable is set for each case and put back afterwards.
class LocateChatDataTest : public testing::Test {
protected:
    void SetUp() override
    {
        DWORD n = GetEnvironmentVariableW(L"USERPROFILE", savedProfile_, PATH_CAPACITY);
        hadProfile_ = n > 0 && n < PATH_CAPACITY;
    }
    void TearDown() override { SetEnvironmentVariableW(L"USERPROFILE", hadProfile_ ? savedProfile_ : nullptr); }

private:
    wchar_t savedProfile_[PATH_CAPACITY] = L"";
    bool hadProfile_ = false;
};

TEST_F(LocateChatDataTest, FollowsTheClientEntryAndItsSettingsFiles)
{
    const Entry q7{7, L"QQ2010", Path(7)}, q3{3, L"QQ2010", Path(3)};
    const std::wstring longPrefix4089 = L"C:\\" + std::wstring(4086, L'p');
    const std::wstring longPrefix4091 = L"C:\\" + std::wstring(4088, L'p');
    const LocateCase cases[] = {
        {.label = "common documents first", .entries = {q7, q3},
         .settingsA = SavePath("D:\\Chat\\A"), .settingsB = SavePath("D:\\Chat\\B"),
         .expected = L"D:\\Chat\\A"},
        {.label = "entry 7 over entry 3, derived from its TypePath", .entries = {q7, q3},
         .expected = L"C:\\Q7\\Users"},
        {.label = "common documents missing: not found, entry 3 not tried", .entries = {q7, q3},
         .commonDocuments = std::nullopt, .settingsB = SavePath("D:\\Chat\\B")},
        {.label = "common documents with a trailing separator", .entries = {q7},
         .commonDocuments = L"{A}\\", .settingsA = SavePath("D:\\Chat\\A"),
         .expected = L"D:\\Chat\\A"},
        {.label = "empty save path goes on to personal", .entries = {q7},
         .settingsA = SavePath(""), .settingsB = SavePath("D:\\Chat\\B"), .expected = L"D:\\Chat\\B"},
        {.label = "settings file without the key goes on", .entries = {q7},
         .settingsA = "[UserDataSet]\r\nOther=D:\\x\r\n", .settingsB = SavePath("D:\\Chat\\B"),
         .expected = L"D:\\Chat\\B"},
        {.label = "save path keeps its trailing separator", .entries = {q7},
         .settingsA = SavePath("D:\\Chat\\Data\\"), .expected = L"D:\\Chat\\Data\\"},
        // The client writes the file in the ANSI code page: GBK on a Chinese system, where
        // user names and so data paths are often Chinese ("张三" is D5C5 C8FD).
        {.label = "Chinese save path in GBK", .entries = {q7},
         .settingsA = SavePath("C:\\Users\\\xD5\xC5\xC8\xFD\\Documents\\Tencent Files"),
         .expected = L"C:\\Users\\张三\\Documents\\Tencent Files"},
        {.label = "personal folder with a trailing separator", .entries = {q7},
         .personal = L"{B}\\", .settingsB = SavePath("D:\\Chat\\B"), .expected = L"D:\\Chat\\B"},
        {.label = "personal folder expanded", .entries = {q7},
         .personal = L"%USERPROFILE%\\Documents", .personalType = REG_EXPAND_SZ,
         .settingsB = SavePath("D:\\Chat\\B"), .expected = L"D:\\Chat\\B"},
        // A plain text value holds no references: a folder name may contain a percent sign.
        {.label = "personal folder of plain text taken as stored", .entries = {q7},
         .personal = L"%USERPROFILE%\\Documents", .settingsB = SavePath("D:\\Chat\\B"),
         .expected = L"C:\\Q7\\Users"},
        {.label = "personal folder too long once expanded: not found", .entries = {q7},
         .personal = L"%USERPROFILE%\\{FILL}", .personalType = REG_EXPAND_SZ,
         .settingsB = SavePath("D:\\Chat\\B")},
        {.label = "personal folder missing: not found", .entries = {q7},
         .personal = std::nullopt},
        {.label = "common documents too long for the settings path", .entries = {q7},
         .commonDocuments = L"{A}\\{FILL}", .settingsB = SavePath("D:\\Chat\\B"),
         .expected = L"D:\\Chat\\B"},
        {.label = "qq2010 never matches", .entries = {{9, L"qq2010", Path(9)}, {2, L"QQ2010", Path(2)}},
         .expected = L"C:\\Q2\\Users"},
        {.label = "only qq2010", .entries = {{9, L"qq2010", Path(9)}}},
        {.label = "QQ2010 without TypePath passed over",
         .entries = {{8, L"QQ2010", std::nullopt}, {5, L"QQ2010", Path(5)}},
         .expected = L"C:\\Q5\\Users"},
        {.label = "32-character TypeName passed over",
         .entries = {{6, L"QQ2010" + std::wstring(26, L' '), Path(6)}, {4, L"QQ2010", Path(4)}},
         .expected = L"C:\\Q4\\Users"},
        {.label = "entry 0", .entries = {{0, L"QQ2010", Path(0)}}, .expected = L"C:\\Q0\\Users"},
        {.label = "entry 11 never examined", .entries = {{11, L"QQ2010", Path(11)}}},
        {.label = "TypePath of two components", .entries = {{7, L"QQ2010", L"D:\\QQ.exe"}},
         .expected = L"D:\\Users"},
        {.label = "TypePath of one component", .entries = {{7, L"QQ2010", L"QQ.exe"}}},
        {.label = "entry 7 not found: entry 3 not tried", .entries = {{7, L"QQ2010", L"QQ.exe"}, q3}},
        {.label = "TypePath with an empty first component", .entries = {{7, L"QQ2010", L"\\QQ.exe"}}},
        {.label = "derived directory of 4095 characters",
         .entries = {{7, L"QQ2010", longPrefix4089 + L"\\b\\c"}},
         .expected = longPrefix4089 + L"\\Users"},
        {.label = "derived directory too long", .entries = {{7, L"QQ2010", longPrefix4091 + L"\\b\\c"}}},
    };
    for (const LocateCase& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchDir a, profile;
        std::wstring b = profile / L"Documents";
        RegistryChanges registry;
        ASSERT_TRUE(SetEnvironmentVariableW(L"USERPROFILE", profile.path().c_str()));
        ASSERT_TRUE(SetUpCase(c, &registry, a.path(), b));
        // Every search starts the walk afresh, also after one that ended at entry 0.
        for (int search = 0; search < 2; ++search) {
            SCOPED_TRACE(search);
            std::vector<wchar_t> directory(PATH_CAPACITY + 1, PATTERN);
            bool found = LocateChatData(directory.data(), PATH_CAPACITY);
            ASSERT_EQ(c.expected.has_value(), found);
            if (found) {
                EXPECT_EQ(*c.expected, directory.data());
            }
            EXPECT_EQ(PATTERN, directory[PATH_CAPACITY]);
        }
    }
}

TEST_F(LocateChatDataTest, ResultMustFitTheCallersRoom)
{
    ScratchDir a, b;
    RegistryChanges registry;
    LocateCase setup{.entries = {{7, L"QQ2010", Path(7)}}, .settingsA = SavePath("D:\\Chat\\Longer"),
                     .settingsB = SavePath("D:\\Chat\\B")};
    ASSERT_TRUE(SetUpCase(setup, &registry, a.path(), b.path()));
    wchar_t directory[16];
    wmemset(directory, PATTERN, 16);
    // A later step's directory (D:\Chat\B would fit) is no answer when the first does not.
    EXPECT_FALSE(LocateChatData(directory, 14));
    EXPECT_EQ(PATTERN, directory[14]);
    ASSERT_TRUE(LocateChatData(directory, 15));
    EXPECT_STREQ(L"D:\\Chat\\Longer", directory);
    EXPECT_FALSE(LocateChatData(nullptr, PATH_CAPACITY));
}

TEST_F(LocateChatDataTest, ClosesEveryKeyItOpens)
{
    ScratchDir a, b;
    RegistryChanges registry;
    LocateCase setup{.entries = {{9, L"Other", Path(9)}, {7, L"QQ2010", Path(7)}}};
    ASSERT_TRUE(SetUpCase(setup, &registry, a.path(), b.path()));
    wchar_t directory[PATH_CAPACITY];
    ASSERT_TRUE(LocateChatData(directory, PATH_CAPACITY));
    DWORD before = CurrentHandleCount();
    for (int i = 0; i < 200; ++i) LocateChatData(directory, PATH_CAPACITY);
    EXPECT_EQ(before, CurrentHandleCount());
}

} // namespace
