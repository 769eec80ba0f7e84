// The store of five rotating slot directories, Backup_Data\1 to Backup_Data\5, beside the
// program's directory, and the completion stamps in config.ini that order them.
#pragma once

#include <cstddef>
#include <ctime>

constexpr int SLOT_COUNT = 5;
constexpr const wchar_t STORE_DIR_NAME[] = L"Backup_Data";

// Room for a stamp read from config.ini, terminator included.
constexpr size_t STAMP_CAPACITY = 64;

// 11 February 1999 00:00:00, daylight-saving flag 0: the age of a slot without a usable
// stamp, older than any real one.
extern const std::tm DEFAULT_STAMP_TIME;

// Creates Backup_Data and its slots 1 to 5 beside the program directory. An entry that is
// already there counts as made. The first other failure stops at once and fails.
// Fails, too, for a program in a drive's root, which has no parent to hold the store.
bool PrepareBackupStore();

// Full path of slot 1..5 for a program in programDir: programDir's sibling
// Backup_Data\<slot>, no trailing separator. Null for another slot number, for a drive's
// root (which has no parent to hold the store) or when it does not fit.
wchar_t* FormSlotPath(wchar_t* path, size_t capacity, const wchar_t* programDir, int slot);

// The settings section of the slot whose folder is named slotName: "Target3" for "3".
wchar_t* FormSlotSection(wchar_t* section, size_t capacity, const wchar_t* slotName);

// Slot 1..5's completion stamp as configPath holds it; null when there is none.
wchar_t* ReadSlotStamp(const wchar_t* configPath, int slot, wchar_t* stamp, size_t capacity);

// Stores stamp as the completion stamp of the slot folder slotDir (its section is named
// after the folder's last component). False when it could not be written.
bool WriteSlotStamp(const wchar_t* configPath, const wchar_t* slotDir, const wchar_t* stamp);

// The link reference of a run into the slot folder targetDir: the folder beside it of the
// newest slot stamped in configPath other than targetDir's own (a full path without a
// trailing separator); null when no other slot holds a usable stamp.
wchar_t* FindLinkReference(wchar_t* reference, size_t capacity, const wchar_t* configPath,
                           const wchar_t* targetDir);

// Full path of the slot for the next run (no trailing separator): the one with the
// oldest stamp, the lower number on a tie. Null when the settings path or the program
// directory is unavailable, or the program sits in a drive's root.
wchar_t* ChooseBackupSlot(wchar_t* slotPath, size_t capacity);

// 1 when the directory holds nothing but "." and "..", or cannot be listed; else 0.
int IsDirectoryEmpty(const wchar_t* path);

// The completion stamp "Www Mmm dd hh:mm:ss yyyy" as a broken-down time. A missing text,
// or one without a known month name, gives DEFAULT_STAMP_TIME.
std::tm ParseStamp(const wchar_t* text);

// The ordering key of a stamp, by which slots are compared: mktime of ParseStamp(text) as
// parsed (daylight-saving flag 0), seconds since 1970 UTC; -1 when not representable.
long long StampToTime(const wchar_t* text);

// The stamp read as the local wall-clock moment it records (the tool prints local time):
// mktime of ParseStamp(text) with the daylight-saving flag left to the date. Seconds since
// 1970 UTC, comparable with other local moments; -1 when not representable. When local
// is given, it receives the moment as a normalised local calendar time (ParseStamp(text)
// when not representable).
long long StampLocalMoment(const wchar_t* text, std::tm* local = nullptr);

// Whether an ordering key stands for a completion: neither unrepresentable (-1) nor the
// key of DEFAULT_STAMP_TIME.
bool IsUsableStampKey(long long key);

// The slot ordering: whether slot a with ordering key keyA comes before slot b with keyB
// when looking for the newest stamp (newest) or the oldest. The key decides; on a tie the
// lower slot number comes first.
bool SlotComesFirst(long long keyA, int a, long long keyB, int b, bool newest);

// Slot 1..5 whose stamp in configPath is the oldest (a missing or unusable stamp is
// older than any other).
int FindOldestSlot(const wchar_t* configPath);

// Slot 1..5 whose stamp in configPath is the newest, leaving out exceptSlot (0 leaves out
// none); 0 when no slot left holds a usable stamp.
int FindNewestStampedSlot(const wchar_t* configPath, int exceptSlot);
