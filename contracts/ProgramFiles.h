// The programs and files that sit together in the program folder, by the names every
// program of the system (the runner, the companion, the installer's helper) looks for,
// and the paths of the runner's own files there.
#pragma once

#include <cstddef>

constexpr const wchar_t RUNNER_FILE_NAME[] = L"Kestova.exe";
constexpr const wchar_t COPY_TOOL_FILE_NAME[] = L"robocopy.exe";
constexpr const wchar_t COMPANION_FILE_NAME[] = L"Marrowby.exe";
constexpr const wchar_t CONFIG_FILE_NAME[] = L"config.ini";
constexpr const wchar_t LOG_FILE_NAME[] = L"logs.txt";

// The program directory joined with config.ini, logs.txt or Marrowby.exe. Each is
// computed afresh; none tests that the file exists. Null when the program directory is
// unavailable or the path does not fit.
wchar_t* GetConfigPath(wchar_t* buffer, size_t capacity);
wchar_t* GetLogPath(wchar_t* buffer, size_t capacity);
wchar_t* GetCompanionPath(wchar_t* buffer, size_t capacity);
