// Stands in for the companion program in tests: copied as Marrowby.exe, it appends one
// line "<argument text>|<working directory>" (UTF-8) to companion-starts.txt beside
// itself, and ends.
#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <string>

// The command line after the program's own name (quoted or not) and the blanks after it.
static const wchar_t* ArgumentText(const wchar_t* line)
{
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"') ++line;
        if (*line) ++line;
    } else {
        while (*line && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

static std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t self[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    if (n == 0 || n >= ARRAYSIZE(self)) return 2;
    std::wstring record(self, n);
    record = record.substr(0, record.find_last_of(L'\\')) + L"\\companion-starts.txt";

    wchar_t directory[MAX_PATH * 4];
    DWORD d = GetCurrentDirectoryW(ARRAYSIZE(directory), directory);
    if (d == 0 || d >= ARRAYSIZE(directory)) return 3;

    std::string line = Utf8(std::wstring(ArgumentText(GetCommandLineW())) + L"|" + directory) + "\n";
    // Appending keeps each start's line whole, even when two starts overlap.
    UniqueHandle file(CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 4;
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) return 5;
    return 0;
}
