// Scratch folders for tests: each one is fresh, private to the test, and removed with
// everything in it when the owner goes out of scope, even after a failed assertion.
#pragma once

#include "base/FileTree.h"
#include "base/Platform.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

class ScratchDir {
public:
    // A new, empty folder under the (private) Wine prefix's temp folder.
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::wstring& path() const { return path_; }
    // path() + "\" + relative
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

// DeleteTree (base/FileTree.h) for the tests' paths: removes a file or a whole tree,
// read-only entries included. True when nothing is left.
inline bool RemoveTree(const std::wstring& path) { return DeleteTree(path.c_str()); }

// Creates every missing directory of path.
bool MakeDirs(const std::wstring& path);

// Writes bytes to a file, replacing it, and creating its parent folders.
bool WriteBytes(const std::wstring& path, const std::string& bytes);

// The whole content of a file; false when it cannot be read.
bool ReadBytes(const std::wstring& path, std::string* bytes);

// What a tree holds, as the file system shows it, for comparing whole trees: per path
// relative to the root, the kind, the contents, the last-write time and the attributes a
// copy carries over.
struct TreeEntry {
    bool directory = false;
    std::string bytes; // empty for a folder; UNREADABLE for a file that could not be read
    uint64_t lastWrite = 0;
    DWORD attributes = 0; // of SNAPSHOT_ATTRIBUTES

    bool operator==(const TreeEntry&) const = default;
};
constexpr DWORD SNAPSHOT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_DIRECTORY;
constexpr const char UNREADABLE[] = "<unreadable>";
// For test failure messages.
void PrintTo(const TreeEntry& entry, std::ostream* out);
using TreeSnapshot = std::map<std::wstring, TreeEntry>;
TreeSnapshot Snapshot(const std::wstring& root);

// The first difference between two snapshots ("missing: x", "contents differ: y", ...), so
// a failure says what is wrong; empty when they are equal.
std::string Difference(const TreeSnapshot& expected, const TreeSnapshot& actual);

bool PathExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);

// Number of handles this process holds now, for leak checks.
DWORD CurrentHandleCount();

// UTF-8 for test output.
std::string Narrow(const std::wstring& text);

// The ANSI code page of a Chinese system, which the test environment gives every program:
// the chat client writes its settings files in it, and the copy tool its report.
constexpr UINT CODE_PAGE_GBK = 936;

// The text in GBK.
std::string Gbk(const std::wstring& text);

// Decodes GBK bytes; false when they are not valid GBK.
bool FromGbk(const std::string& bytes, std::wstring* text);
