// The sections and keys of config.ini, which the runner, the companion and the installer
// share: the [AutoBackup] switches and schedule, and one section per slot folder holding
// its completion stamp ("Target1" .. "Target5", key "Ended"). The names are the file's
// own, spellings included.
#pragma once

constexpr const wchar_t SECTION_AUTOBACKUP[] = L"AutoBackup";
constexpr const wchar_t KEY_MODE[] = L"Mode";
constexpr const wchar_t KEY_TIME[] = L"Time";
constexpr const wchar_t KEY_AFTER_CLIENT_QUIT[] = L"AutobackupAfterQQuit";
constexpr const wchar_t KEY_MISSED_AT_START[] = L"BackupAtuOnce";

// A slot's section is this prefix and the slot folder's name.
constexpr const wchar_t SLOT_SECTION_PREFIX[] = L"Target";
constexpr const wchar_t KEY_ENDED[] = L"Ended";
