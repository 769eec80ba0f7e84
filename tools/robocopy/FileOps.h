// The copy tool's file operations on the target: each one keeps the other links of a file
// intact. A target file may be a hard link to a file elsewhere (another backup slot's copy,
// or something outside the target), so a target file is never opened for writing: it is
// replaced by a rename of a complete new file. No path is renamed over or removed while
// this tool holds a handle to it: Windows refuses both.
// Used by the link queue (LinkQueue.h) and the walk (Walk.h). Paths are long forms; each
// operation returns 0 or the error.
#pragma once

#include "tools/robocopy/Listing.h"

#include <string>

// One buffer for all copies: large reads and writes keep the call count per byte low. The
// caller provides it (CopyOneFile), at least this many bytes.
constexpr DWORD COPY_BUFFER_BYTES = 1u << 20;

// Names tried for the new file that replaces an existing target file. The new file lives
// only inside the operation that made it: it is renamed over the target or removed before
// the operation returns, and it is made with CREATE_NEW (or as a new link), which never
// takes over an entry that is already there.
constexpr unsigned TEMP_NAME_TRIES = 100;
// The name tried at attempt (0 first) beside the target path to.
std::wstring TempPathBeside(const std::wstring& to, unsigned attempt);

// Puts the finished file temp in the place of the target file to, whose entry is existing
// (its attributes are what count). A rename, never a write into to: the file that to names
// keeps its data and attributes under its other names. On failure both names stay as they
// were.
DWORD ReplaceTargetFile(const std::wstring& temp, const std::wstring& to, const Entry& existing);

// Copies the contents of from to the target path to, then the times and the attributes
// of s. existing is the target file's entry when the listing showed one; with null, a file
// that the name reaches all the same (a name differing only in letter case) is treated as
// existing, unless the name reached it only as another file's short (8.3) name: then the
// copy fails with ERROR_FILE_EXISTS and that file is left alone. An existing file is replaced through a new file beside it (ReplaceTargetFile),
// so a failed copy leaves it as it was. On failure the new file is removed: a half file
// must not look like a backup to anyone who opens it. buffer: COPY_BUFFER_BYTES.
DWORD CopyOneFile(const std::wstring& from, const std::wstring& to, const Entry& s, const Entry* existing,
                  void* buffer);

// Makes the target path to a hard link to the reference's file from, whose entry is
// reference. existing is the target file's entry when one is there: the link is then made
// under a new name beside it and renamed over it, as a copy would be, so the old file is
// never changed.
DWORD LinkOneFile(const std::wstring& from, const std::wstring& to, const Entry& reference, const Entry* existing);

// Errors of LinkOneFile that say the target's volume makes no hard links to the
// reference's files at all (another volume, a file system without links).
bool RefusesAllLinks(DWORD code);

// Remove the entry at path, whose attributes are attributes: RemoveTargetFile a file (or a
// link to one), RemoveTargetDirectory an empty directory (or a link to one). A link is
// removed as a link. A read-only file's name is removed through a handle of its own, so
// the file keeps its bit under any other name it has; a read-only directory's bit is
// lifted for the removal and put back if it stays. Times are left as they are.
// RemoveTargetFile first renames the file into asideDir (the target's root; empty: none)
// and removes it there, so that a file another program holds open, whose name stays
// until that program lets go, does not keep its folder from being removed.
DWORD RemoveTargetFile(const std::wstring& path, DWORD attributes, const std::wstring& asideDir);
DWORD RemoveTargetDirectory(const std::wstring& path, DWORD attributes);

// Creates a directory, with its missing parents when withParents is set. An existing
// directory is fine; an existing file of that name is ERROR_ALREADY_EXISTS.
DWORD CreateDirectoryPath(const std::wstring& path, bool withParents);
