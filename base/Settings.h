// The program's own files, found beside the running .exe, and the three operations
// through which every profile (INI) file is read and written.
#pragma once

#include <cstddef>

// Texts of the program's files and of the settings file's sections and keys.
constexpr const wchar_t CONFIG_FILE_NAME[] = L"config.ini";
constexpr const wchar_t LOG_FILE_NAME[] = L"logs.txt";
constexpr const wchar_t COPY_TOOL_FILE_NAME[] = L"robocopy.exe";
constexpr const wchar_t COMPANION_FILE_NAME[] = L"Marrowby.exe";

constexpr const wchar_t SECTION_AUTOBACKUP[] = L"AutoBackup";
constexpr const wchar_t KEY_MODE[] = L"Mode";
constexpr const wchar_t KEY_TIME[] = L"Time";
constexpr const wchar_t KEY_AFTER_CLIENT_QUIT[] = L"AutobackupAfterQQuit";
constexpr const wchar_t KEY_MISSED_AT_START[] = L"BackupAtuOnce";
constexpr const wchar_t KEY_ENDED[] = L"Ended";

// The directory of the running program's file, without a trailing separator.
// Null when the platform gives no path or one that may have been cut (4096 or more).
wchar_t* GetProgramDir(wchar_t* buffer, size_t capacity);

// The program directory joined with config.ini, logs.txt or Marrowby.exe. Each is
// computed afresh; none tests that the file exists.
wchar_t* GetConfigPath(wchar_t* buffer, size_t capacity);
wchar_t* GetLogPath(wchar_t* buffer, size_t capacity);
wchar_t* GetCompanionPath(wchar_t* buffer, size_t capacity);

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
