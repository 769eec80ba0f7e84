#include "base/Settings.h"

#include "base/PathText.h"
#include "base/Platform.h"

#include <climits>
#include <cwchar>

wchar_t* GetProgramDir(wchar_t* buffer, size_t capacity)
{
    if (!buffer || capacity == 0) return nullptr;
    wchar_t path[PATH_CAPACITY];
    DWORD n = GetModuleFileNameW(nullptr, path, PATH_CAPACITY);
    // A full buffer means the path may have been cut.
    if (n == 0 || n >= PATH_CAPACITY) return nullptr;
    StripLastComponent(path);
    size_t length = wcslen(path);
    if (length + 1 > capacity) return nullptr;
    wmemcpy(buffer, path, length + 1);
    return buffer;
}

wchar_t* GetProgramFilePath(wchar_t* buffer, size_t capacity, const wchar_t* fileName)
{
    wchar_t dir[PATH_CAPACITY];
    if (!GetProgramDir(dir, PATH_CAPACITY)) return nullptr;
    return JoinPath(buffer, capacity, dir, fileName);
}

wchar_t* ReadSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key,
                     wchar_t* buffer, size_t capacity)
{
    if (!file || !section || !key || !buffer || capacity < 2) return nullptr;
    DWORD room = capacity > UINT_MAX ? UINT_MAX : static_cast<DWORD>(capacity);
    DWORD n = GetPrivateProfileStringW(section, key, nullptr, buffer, room, file);
    // n == capacity - 1 is a value cut to fit: it counts as absent, like a missing one.
    if (n == 0 || n >= room - 1) return nullptr;
    return buffer;
}

bool ReadSettingFlag(const wchar_t* file, const wchar_t* section, const wchar_t* key)
{
    if (!file || !section || !key) return false;
    wchar_t first[2] = {};
    GetPrivateProfileStringW(section, key, L"", first, 2, file);
    return first[0] != L'\0' && first[0] != L'0';
}

bool WriteSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key,
                  const wchar_t* value)
{
    // A null key or value would delete a whole section or key instead of writing one.
    if (!file || !section || !key || !value) return false;
    return WritePrivateProfileStringW(section, key, value, file) != FALSE;
}
