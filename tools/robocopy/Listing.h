// The copy tool's listing layer: what a directory listing says about its entries, what two
// paths to the same directory share, and what a link leads to. Below the file operations
// (FileOps.h), the link queue (LinkQueue.h) and the walk (Walk.h).
#pragma once

#include "base/Platform.h"

#include <cstdint>
#include <string>
#include <vector>

// One entry of a listing, or of one path asked on its own.
struct Entry {
    std::wstring name;
    DWORD attributes = 0;
    uint64_t size = 0;
    FILETIME creation{};
    FILETIME access{};
    FILETIME write{};
};

// What two paths to the same directory share.
struct FileId {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
};

inline bool IsDir(const Entry& e) { return (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
inline bool IsLink(const Entry& e) { return (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
inline bool IsPlainDir(const Entry& e) { return IsDir(e) && !IsLink(e); }
inline bool IsPlainFile(const Entry& e) { return !IsDir(e) && !IsLink(e); }

inline bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Attributes that make two files the same beside their size and last-write time. A target
// file that differs in them is replaced like one whose data differs: it may be shared with
// another generation, so changing them in place would change that one too.
constexpr DWORD MATCHED_FILE_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Whether a copy of b need not be written again over a: same size and attributes, and
// last-write times closer than timeStep (100 ns units), the step in which the volume that
// holds the copy keeps them; 0 asks for the same time exactly.
bool SameFile(const Entry& a, const Entry& b, uint64_t timeStep);

// Steps of last-write times (100 ns units) on the volumes that keep them coarser.
constexpr uint64_t FAT_WRITE_TIME_STEP = 20000000;  // 2 s
constexpr uint64_t EXFAT_WRITE_TIME_STEP = 100000;  // 10 ms
// The step in which the volume of the directory dir keeps last-write times: 0 (exact) but
// for the FAT family.
uint64_t WriteTimeStepOf(const std::wstring& dir);

// Whether path, which reaches an entry, names it by its own long name (in any letter
// case): false for a short (8.3) name of another file, or when it cannot be told. *e
// takes the entry, named as the listing names it.
bool NameReachesItself(const std::wstring& path, Entry* e);

// Names are compared as the file system compares them: ordinal, ignoring case. Negative,
// zero or positive.
int CompareNames(const std::wstring& a, const std::wstring& b);

// Entry of one path, without its name; false when it does not exist or cannot be asked.
bool EntryOfPath(const std::wstring& path, Entry* e);

// The entries of a directory (long form), "." and ".." left out, sorted by name.
// False, with the reason in *error, when the directory cannot be listed completely: a
// partial listing must never be taken for the whole, or purging would remove too much.
bool ListDirectory(const std::wstring& dir, std::vector<Entry>* entries, DWORD* error);

// What path leads to, links followed: its identity, size, times and attributes. 0 or the
// error.
DWORD FollowedInfo(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info);

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info);
bool SameId(const FileId& a, const FileId& b);

// A link's entry takes the size, times and attributes of what it leads to: the listing
// shows the link's own, which would never match the copy.
void TakeFollowed(const BY_HANDLE_FILE_INFORMATION& info, Entry* e);

// The source file link at path: *e takes the size, times and attributes of the file it
// leads to. 0 or the error.
DWORD FollowFileLink(const std::wstring& path, Entry* e);
