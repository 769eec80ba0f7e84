// The strict layer of Windows file rules that other tests run their file operations
// through: each rule, shown on the calls themselves.
#include "base/FileCalls.h"
#include "tests/support/Scratch.h"
#include "tests/support/StrictFiles.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

// A full path of exactly length characters under the scratch folder, in folders of 100
// characters and a file that takes the rest.
std::wstring PathOfLength(const ScratchDir& s, size_t length)
{
    std::wstring path = s.path() + L"\\";
    while (length - path.size() > 150) path += std::wstring(100, L'd') + L"\\";
    return path + std::wstring(length - path.size(), L'f');
}

BOOL HasAttributes(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return Files().getFileAttributesEx(path.c_str(), GetFileExInfoStandard, &data);
}

struct Case {
    const char* name;
    // Prepares the scratch folder (files "a", "b", folder "d" with "d\f" exist) and the layer.
    std::function<void(const ScratchDir&, StrictFiles&)> prepare;
    // The call under the rule; its result and last error are checked.
    std::function<BOOL(const ScratchDir&)> call;
    BOOL result;
    DWORD error; // checked when the call fails
    // What is true afterwards.
    std::function<bool(const ScratchDir&)> after;
};

TEST(StrictFiles, EnforcesTheWindowsRulesTheTestPlatformLacks)
{
    const Case cases[] = {
        {"a rename over a held file is refused",
         [](const ScratchDir& s, StrictFiles& f) { f.Hold(s / L"b"); },
         [](const ScratchDir& s) { return Files().moveFileEx((s / L"a").c_str(), (s / L"b").c_str(), MOVEFILE_REPLACE_EXISTING); },
         FALSE, ERROR_ACCESS_DENIED,
         [](const ScratchDir& s) { return PathExists(s / L"a"); }},
        {"a rename over a file nobody holds goes through",
         [](const ScratchDir&, StrictFiles&) {},
         [](const ScratchDir& s) { return Files().moveFileEx((s / L"a").c_str(), (s / L"b").c_str(), MOVEFILE_REPLACE_EXISTING); },
         TRUE, 0,
         [](const ScratchDir& s) { return !PathExists(s / L"a"); }},
        {"a held file that is deleted keeps its name: it cannot be made again",
         [](const ScratchDir& s, StrictFiles& f) { f.Hold(s / L"a"); Files().deleteFile((s / L"a").c_str()); },
         [](const ScratchDir& s) {
             HANDLE h = Files().createFile((s / L"a").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
             if (h == INVALID_HANDLE_VALUE) return FALSE;
             Files().closeHandle(h);
             return TRUE;
         },
         FALSE, ERROR_ACCESS_DENIED,
         [](const ScratchDir& s) { return PathExists(s / L"a"); }},
        {"a folder holding a name pending deletion is not empty",
         [](const ScratchDir& s, StrictFiles& f) { f.Hold(s / L"d\\f"); Files().deleteFile((s / L"d\\f").c_str()); },
         [](const ScratchDir& s) { return Files().removeDirectory((s / L"d").c_str()); },
         FALSE, ERROR_DIR_NOT_EMPTY,
         [](const ScratchDir& s) { return IsDirectory(s / L"d"); }},
        {"the pending delete completes when the holder lets go",
         [](const ScratchDir& s, StrictFiles& f) {
             f.Hold(s / L"d\\f");
             Files().deleteFile((s / L"d\\f").c_str());
             f.Release(s / L"d\\f");
         },
         [](const ScratchDir& s) { return Files().removeDirectory((s / L"d").c_str()); },
         TRUE, 0,
         [](const ScratchDir& s) { return !PathExists(s / L"d"); }},
        {"a delete while a holder shares no delete access is refused",
         [](const ScratchDir& s, StrictFiles& f) { f.Hold(s / L"a", FILE_SHARE_READ); },
         [](const ScratchDir& s) { return Files().deleteFile((s / L"a").c_str()); },
         FALSE, ERROR_SHARING_VIOLATION,
         [](const ScratchDir& s) { return PathExists(s / L"a"); }},
        {"a folder with a held file under it cannot be renamed",
         [](const ScratchDir& s, StrictFiles& f) { f.Hold(s / L"d\\f"); },
         [](const ScratchDir& s) { return Files().moveFileEx((s / L"d").c_str(), (s / L"e").c_str(), 0); },
         FALSE, ERROR_ACCESS_DENIED,
         [](const ScratchDir& s) { return IsDirectory(s / L"d") && !PathExists(s / L"e"); }},
        {"a short name reaches the long-named file",
         [](const ScratchDir& s, StrictFiles& f) { f.AddShortName(s.path(), L"ABCDEF~1.JPG", L"a"); },
         [](const ScratchDir& s) {
             HANDLE h = Files().createFile((s / L"ABCDEF~1.JPG").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
             if (h == INVALID_HANDLE_VALUE) return FALSE;
             Files().closeHandle(h);
             return TRUE;
         },
         FALSE, ERROR_FILE_EXISTS,
         [](const ScratchDir& s) { return !PathExists(s / L"ABCDEF~1.JPG"); }},
        {"a plain path of 259 characters is reached",
         [](const ScratchDir& s, StrictFiles&) { WriteBytes(PathOfLength(s, 259), "x"); },
         [](const ScratchDir& s) { return HasAttributes(PathOfLength(s, 259)); },
         TRUE, 0,
         [](const ScratchDir&) { return true; }},
        {"a plain path of 260 characters is refused, its long form is not",
         [](const ScratchDir& s, StrictFiles&) { WriteBytes(PathOfLength(s, 260), "x"); },
         [](const ScratchDir& s) { return HasAttributes(PathOfLength(s, 260)); },
         FALSE, ERROR_PATH_NOT_FOUND,
         [](const ScratchDir& s) { return HasAttributes(L"\\\\?\\" + PathOfLength(s, 260)) != FALSE; }},
        {"a listing whose pattern reaches 260 characters is refused",
         [](const ScratchDir& s, StrictFiles&) { MakeDirs(PathOfLength(s, 258)); },
         [](const ScratchDir& s) {
             WIN32_FIND_DATAW entry;
             HANDLE h = Files().findFirstFileEx((PathOfLength(s, 258) + L"\\*").c_str(), FindExInfoBasic, &entry,
                                                FindExSearchNameMatch, nullptr, 0);
             if (h == INVALID_HANDLE_VALUE) return FALSE;
             FindClose(h);
             return TRUE;
         },
         FALSE, ERROR_PATH_NOT_FOUND,
         [](const ScratchDir&) { return true; }},
        {"a FAT volume keeps write times to 2 s",
         [](const ScratchDir& s, StrictFiles& f) { f.MarkFat(s.path()); },
         [](const ScratchDir& s) {
             HANDLE h = Files().createFile((s / L"a").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
             FILETIME odd{10000001, 30000000}; // not on a 2 s step
             BOOL set = Files().setFileTime(h, nullptr, nullptr, &odd);
             Files().closeHandle(h);
             return set;
         },
         TRUE, 0,
         [](const ScratchDir& s) {
             WIN32_FILE_ATTRIBUTE_DATA data;
             if (!GetFileAttributesExW((s / L"a").c_str(), GetFileExInfoStandard, &data)) return false;
             unsigned long long t = (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                    data.ftLastWriteTime.dwLowDateTime;
             return t % 20000000ull == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        ASSERT_TRUE(WriteBytes(scratch / L"a", "a") && WriteBytes(scratch / L"b", "b") &&
                    WriteBytes(scratch / L"d\\f", "f"));
        ScopedStrictFiles strict;
        c.prepare(scratch, *strict);
        SetLastError(0xdeadbeef);
        BOOL result = c.call(scratch);
        DWORD error = GetLastError();
        EXPECT_EQ(c.result, result);
        if (!c.result) {
            EXPECT_EQ(c.error, error);
        }
        EXPECT_TRUE(c.after(scratch));
    }
}

} // namespace
