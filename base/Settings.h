// The program's folder, found from the running .exe, and the three operations
// through which every profile (INI) file is read and written.
#pragma once

#include <cstddef>

// The directory of the running program's file, without a trailing separator.
// Null when the platform gives no path or one that may have been cut (4096 or more).
wchar_t* GetProgramDir(wchar_t* buffer, size_t capacity);

// The program directory joined with fileName, computed afresh; it does not test that the
// file exists. Null when the directory is unavailable or the path does not fit.
wchar_t* GetProgramFilePath(wchar_t* buffer, size_t capacity, const wchar_t* fileName);

// Reads a value into buffer. A value is taken only when it is 1 to capacity - 2
// characters long; an empty or longer value, or a missing file, section or key, is
// absent (null). Section and key names match in any letter case.
wchar_t* ReadSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key,
                     wchar_t* buffer, size_t capacity);

// Yes/no flag: the first character decides. Missing, empty or "0..." is no; anything else
// is yes.
bool ReadSettingFlag(const wchar_t* file, const wchar_t* section, const wchar_t* key);

// Sets the key's value, creating the section, the key and the file as needed. Returns the
// platform's result.
bool WriteSetting(const wchar_t* file, const wchar_t* section, const wchar_t* key,
                  const wchar_t* value);
