// Scratch folders for tests: each one is fresh, private to the test, and removed with
// everything in it when the owner goes out of scope, even after a failed assertion.
#pragma once

#include "base/Platform.h"

#include <map>
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

// Removes a file or a whole tree, read-only entries included. True when nothing is left.
bool RemoveTree(const std::wstring& path);

// Creates every missing directory of path.
bool MakeDirs(const std::wstring& path);

// Writes bytes to a file, replacing it, and creating its parent folders.
bool WriteBytes(const std::wstring& path, const std::string& bytes);

// The whole content of a file; false when it cannot be read.
bool ReadBytes(const std::wstring& path, std::string* bytes);

// Relative path -> content ("<dir>" for a folder) of everything under root, for comparing
// whole trees.
using TreeSnapshot = std::map<std::wstring, std::string>;
TreeSnapshot Snapshot(const std::wstring& root);

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
