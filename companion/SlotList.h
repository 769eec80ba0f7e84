// The five backup slots as the companion shows them: completion time (parsed as the
// runner parses it), number of files and size, newest first.
#pragma once

#include "backup/BackupStore.h"
#include "base/PathText.h"

#include <cstddef>
#include <ctime>

struct SlotInfo {
    int number;                  // 1..5
    wchar_t path[PATH_CAPACITY]; // Backup_Data\N beside the program folder; empty when unformable
    bool stamped;                // the slot has a usable completion stamp
    std::tm completed;           // the stamp's local wall-clock time (normalised)
    long long time;              // the stamp as the runner orders it
    bool exists;                 // the slot folder is there
    unsigned long long files;    // files in the slot, all levels
    unsigned long long bytes;    // their total size
};

// Fills slots[0..4] for slots 1..5, in number order. countFiles chooses whether the folders
// are walked for files and bytes (that takes a while for a large history). False when the
// slot paths cannot be formed.
bool ListSlots(const wchar_t* programDir, const wchar_t* configPath, bool countFiles,
               SlotInfo slots[SLOT_COUNT]);

// Newest first; slots without a stamp last; equal times keep the lower number first.
void SortSlotsNewestFirst(SlotInfo* slots, int count);

// Walks a folder: number of files and their total size, all levels, and (when writeTimes
// is not null) the sum of their last-write times, which moves when any file is rewritten.
// False when the folder cannot be listed (the totals then count what was seen).
bool CountTree(const wchar_t* dir, unsigned long long* files, unsigned long long* bytes,
               unsigned long long* writeTimes = nullptr);

// The bytes the slots take on disk together: a file that has links in several slots (the
// generations share the files that did not change) counts once, known by its volume
// serial number and file index. False when a folder could not be listed or a file could
// not be opened (that file then counts by its size, as if it had no other link).
bool CountStoreOnDisk(const SlotInfo* slots, int count, unsigned long long* bytes);

// "2010-03-14 10:00:00", or the Chinese for "never backed up".
wchar_t* FormatSlotTime(const SlotInfo& slot, wchar_t* buffer, size_t capacity);

// "512 字节", "1.5 KB", "12.3 MB", "1.20 GB".
wchar_t* FormatSize(unsigned long long bytes, wchar_t* buffer, size_t capacity);
