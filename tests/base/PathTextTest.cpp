#include "base/PathText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace {

// Buffers are pre-filled with a pattern so a missing terminator or a stray write shows.
struct Buffer {
    wchar_t text[PATH_CAPACITY];
    explicit Buffer(const wchar_t* initial = L"")
    {
        wmemset(text, L'#', PATH_CAPACITY);
        wcscpy(text, initial);
    }
};

TEST(PathText, StripTrailingSeparator)
{
    struct Case { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"D:\\A\\", L"D:\\A"},
        {L"D:\\A\\\\", L"D:\\A\\"}, // only one separator goes
        {L"D:\\A", L"D:\\A"},
        {L"", L""},
        {L"D:/A/", L"D:/A/"},       // the slash is no separator
        {L"\\", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "in=" << static_cast<const void*>(c.in));
        Buffer b(c.in);
        EXPECT_EQ(StripTrailingSeparator(b.text), b.text);
        EXPECT_STREQ(b.text, c.out);
    }
    EXPECT_EQ(StripTrailingSeparator(nullptr), nullptr);
}

TEST(PathText, StripLastComponent)
{
    struct Case { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"D:\\A\\B.exe", L"D:\\A"},
        {L"D:\\A\\B\\", L"D:\\A"},
        {L"D:\\A", L"D:"},
        {L"D:\\", L"D:"},
        {L"NoSeparator", L"NoSeparator"},
        {L"\\\\server\\share\\x", L"\\\\server\\share"},
    };
    for (const auto& c : cases) {
        Buffer b(c.in);
        EXPECT_EQ(StripLastComponent(b.text), b.text);
        EXPECT_STREQ(b.text, c.out);
    }
    EXPECT_EQ(StripLastComponent(nullptr), nullptr);
}

TEST(PathText, JoinPathAndSibling)
{
    struct Case { bool sibling; const wchar_t* base; const wchar_t* tail; const wchar_t* out; } cases[] = {
        {false, L"D:\\A\\", L"config.ini", L"D:\\A\\config.ini"},
        {false, L"D:\\A", L"config.ini", L"D:\\A\\config.ini"},
        {false, L"", L"x", L"\\x"},
        {false, L"D:\\A", L"", L"D:\\A\\"},
        {true, L"D:\\A\\B", L"Backup_Data", L"D:\\A\\Backup_Data"},
        {true, L"D:\\A\\B\\", L"Backup_Data", L"D:\\A\\Backup_Data"},
        {true, L"D:\\A\\B", L"Backup_Data\\3", L"D:\\A\\Backup_Data\\3"},
        {true, L"D:\\A", L"Users", L"D:\\Users"},
    };
    for (const auto& c : cases) {
        Buffer d;
        wchar_t* r = c.sibling ? JoinSibling(d.text, PATH_CAPACITY, c.base, c.tail)
                               : JoinPath(d.text, PATH_CAPACITY, c.base, c.tail);
        EXPECT_EQ(r, d.text);
        EXPECT_STREQ(d.text, c.out);
    }
    Buffer d;
    EXPECT_EQ(JoinPath(d.text, PATH_CAPACITY, nullptr, L"x"), nullptr);
    EXPECT_EQ(JoinPath(d.text, PATH_CAPACITY, L"x", nullptr), nullptr);
    EXPECT_EQ(JoinSibling(d.text, PATH_CAPACITY, nullptr, L"x"), nullptr);
    EXPECT_EQ(JoinSibling(d.text, PATH_CAPACITY, L"a\\b", nullptr), nullptr);
    EXPECT_EQ(JoinSibling(nullptr, PATH_CAPACITY, L"a\\b", L"x"), nullptr);
}

TEST(PathText, JoinRefusesWhatDoesNotFitAndWritesNothing)
{
    // "C:\ab" + "\" + "cd" + terminator needs exactly 9 characters.
    struct Case { size_t capacity; bool fits; } cases[] = {{9, true}, {8, false}, {1, false}, {0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        Buffer d;
        wchar_t* r = JoinPath(d.text, c.capacity, L"C:\\ab", L"cd");
        EXPECT_EQ(r != nullptr, c.fits);
        if (c.fits) {
            EXPECT_STREQ(d.text, L"C:\\ab\\cd");
        } else {
            EXPECT_EQ(d.text[0], L'\0'); // untouched: the pattern buffer was set to ""
        }
        EXPECT_EQ(d.text[9], L'#'); // nothing written past the joined text
    }
    // A 4095-character base leaves no room for anything in a path buffer.
    std::wstring longBase(PATH_CAPACITY - 1, L'a');
    Buffer d;
    EXPECT_EQ(JoinPath(d.text, PATH_CAPACITY, longBase.c_str(), L"config.ini"), nullptr);
    EXPECT_EQ(JoinSibling(d.text, PATH_CAPACITY, (longBase + L"\\b").c_str(), L"Backup_Data"), nullptr);
}

TEST(PathText, LastComponent)
{
    EXPECT_STREQ(LastComponent(L"D:\\A\\Backup_Data\\3"), L"3");
    EXPECT_STREQ(LastComponent(L"D:\\A\\"), L"");
    EXPECT_STREQ(LastComponent(L"plain"), L"plain");
    EXPECT_EQ(LastComponent(nullptr), nullptr);
}

TEST(PathText, FindFirstAndLast)
{
    const wchar_t* text = L"HKEY_X\\a\\b\\c";
    struct Case { const wchar_t* needle; long first; long last; } cases[] = {
        {L"\\", 6, 10},
        {L"b\\c", 9, 9},
        {L"zz", -1, -1},
        {L"", 0, 12},
        {L"HKEY_X\\a\\b\\c!", -1, -1}, // longer than the text
        {L"hkey", -1, -1},             // no case folding
    };
    for (const auto& c : cases) {
        const wchar_t* f = FindFirst(c.needle, text);
        const wchar_t* l = FindLast(c.needle, text);
        EXPECT_EQ(f ? f - text : -1, c.first);
        EXPECT_EQ(l ? l - text : -1, c.last);
    }
    EXPECT_EQ(FindLast(L"\\", L"no separator here"), nullptr);
    EXPECT_EQ(FindFirst(nullptr, text), nullptr);
    EXPECT_EQ(FindFirst(L"a", nullptr), nullptr);
    EXPECT_EQ(FindLast(nullptr, text), nullptr);
}

TEST(PathText, CaseFoldingTouchesAsciiLettersOnly)
{
    Buffer up(L"pre_week 09 \u00e9\u00c9 Az[`{@");
    ToUpperAscii(up.text);
    EXPECT_STREQ(up.text, L"PRE_WEEK 09 \u00e9\u00c9 AZ[`{@");
    Buffer down(L"QQ.EXE \u00c9\u0130 Az[`{@");
    ToLowerAscii(down.text);
    EXPECT_STREQ(down.text, L"qq.exe \u00c9\u0130 az[`{@");
    ToLowerAscii(nullptr);
    ToUpperAscii(nullptr);
}

TEST(PathText, AnsiToWide)
{
    wchar_t wide[32];
    wmemset(wide, L'#', 32);
    const char* stamp = "Sun Mar 14 10:00:00 2010"; // 24 characters
    EXPECT_EQ(AnsiToWide(wide, 32, stamp), wide);
    EXPECT_STREQ(wide, L"Sun Mar 14 10:00:00 2010");
    EXPECT_EQ(wide[25], L'#');

    std::string exactly32(32, 'x');
    EXPECT_EQ(AnsiToWide(wide, 32, exactly32.c_str()), nullptr);
    std::string exactly31(31, 'x');
    EXPECT_EQ(AnsiToWide(wide, 32, exactly31.c_str()), wide);

    EXPECT_EQ(AnsiToWide(nullptr, 32, stamp), nullptr);
    EXPECT_EQ(AnsiToWide(wide, 32, nullptr), nullptr);
    EXPECT_EQ(AnsiToWide(wide, 0, stamp), nullptr);
}

} // namespace
