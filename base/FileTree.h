// Whole trees on disk: the extended-length form of a path, which reaches paths of MAX_PATH
// characters and more on every Windows the program runs on, walking the files of a folder,
// and removing a folder with everything in it. The calls on the tree go through the
// file-call table (base/FileCalls.h).
#pragma once

#include "base/Platform.h"

#include <cstddef>
#include <functional>
#include <string>

// Room for any path in its extended-length form, in wide characters, terminator included.
constexpr size_t EXTENDED_PATH_CAPACITY = 32768;

// The extended-length form of path: path made full (as the platform resolves "/", "." and
// ".." against the current directory) behind the "\\?\" prefix, "\\?\C:\dir" for a drive's
// path, "\\?\UNC\server\share\dir" for a share's. A path already in that form, or a device
// path ("\\.\..."), is given as it is. Empty when path is empty or the platform cannot make
// it full.
std::wstring LongPathOf(const std::wstring& path);

// inner is outer itself or lies below it, compared as the file system compares names
// (ignoring case). Both in the same form, full, outer with or without a last separator.
bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer);

// destination := LongPathOf(path). Null when path is missing or empty, cannot be made
// full, or the result needs more than capacity characters.
wchar_t* ExtendedLengthPath(wchar_t* destination, size_t capacity, const wchar_t* path);

// Calls visit(path, entry) for every file under dir, all levels, with path in the
// extended-length form (dir may be in either form). Folder links are not followed: they
// would lead out of the tree, or round in a circle. False when a folder could not be
// listed (the files seen are still visited).
bool ForEachFile(const std::wstring& dir,
                 const std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& entry)>& visit);

// Removes path and all it holds: a file, or a folder with everything under it, read-only
// entries included. Takes paths of any length, in either form.
// - A link (a junction or a symbolic link) is removed as a link, never entered: what it
//   leads to stays as it was.
// - A read-only entry loses the attribute only for its removal: a file that lives on
//   under another name (a hard link outside the tree), or an entry that cannot be removed,
//   keeps its attributes.
// - An entry that cannot be removed (held open, access denied) is left, and the rest is
//   removed all the same.
// - A drive's or a share's root is refused, and nothing under it is touched.
// True when nothing is left at path, also when nothing was there; false otherwise, and
// for a missing or empty path.
bool DeleteTree(const wchar_t* path);
