// The store of five rotating slot directories, Backup_Data\1 to Backup_Data\5, beside the
// program's directory, and the completion stamps in config.ini that order them.
#pragma once

#include <cstddef>
#include <ctime>

constexpr int SLOT_COUNT = 5;
constexpr const wchar_t STORE_DIR_NAME[] = L"Backup_Data";
constexpr const wchar_t SLOT_SECTION_PREFIX[] = L"Target";

// Room for a stamp read from config.ini, terminator included.
constexpr size_t STAMP_CAPACITY = 64;

// 11 February 1999 00:00:00, daylight-saving flag 0: the age of a slot without a usable
// stamp, older than any real one.
extern const std::tm DEFAULT_STAMP_TIME;

// Creates Backup_Data and its slots 1 to 5 beside the program directory. An entry that is
// already there counts as made. The first other failure stops at once and fails.
// Fails, too, for a program in a drive's root, which has no parent to hold the store.
bool PrepareBackupStore();

// Full path of the slot for the next run (no trailing separator): the one with the
// oldest stamp, the lower number on a tie. Null when the settings path or the program
// directory is unavailable, or the program sits in a drive's root.
wchar_t* ChooseBackupSlot(wchar_t* slotPath, size_t capacity);

// 1 when the directory holds nothing but "." and "..", or cannot be listed; else 0.
int IsDirectoryEmpty(const wchar_t* path);

// The completion stamp "Www Mmm dd hh:mm:ss yyyy" as a broken-down time. A missing text,
// or one without a known month name, gives DEFAULT_STAMP_TIME.
std::tm ParseStamp(const wchar_t* text);

// mktime of ParseStamp(text): seconds since 1970 UTC, -1 when not representable.
long long StampToTime(const wchar_t* text);
