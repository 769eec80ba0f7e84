// A layer over the real file calls (base/FileCalls.h) that enforces the Windows rules the
// test platform does not: what NTFS and FAT do that a more lenient file system lets pass.
// A test puts it in force with StrictFiles::Use, runs the code under test, and so sees
// the refusals a user's Windows would give. Each rule is modelled on the documented
// behaviour it cites (StrictFiles.cpp).
//
// The layer knows only the handles opened through it: a test that plays "another program
// holds this file" opens that handle with Hold.
#pragma once

#include "base/FileCalls.h"

#include <memory>
#include <string>

class StrictFiles {
public:
    StrictFiles();
    ~StrictFiles();
    StrictFiles(const StrictFiles&) = delete;
    StrictFiles& operator=(const StrictFiles&) = delete;

    // The table that applies the rules; put it in force with ScopedFileCalls.
    const FileCalls& calls() const;

    // Opens path as another program would (an indexer, a virus scanner): read access,
    // the given sharing (by default read, write and delete, as such programs open). The
    // handle is held until Release or the layer's end. False when it cannot be opened.
    bool Hold(const std::wstring& path,
              DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    // Closes every handle Hold opened for path (which may then complete a pending delete).
    void Release(const std::wstring& path);

    // Gives the file longName in dir the 8.3 short name alias, as NTFS does on system
    // volumes: a path naming alias reaches longName.
    void AddShortName(const std::wstring& dir, const std::wstring& alias, const std::wstring& longName);

    // Treats the volume of the folder root (and everything under it) as FAT32: last-write
    // times kept to 2 s, and GetVolumeInformationW of it names "FAT32".
    void MarkFat(const std::wstring& root);

    // How many names are pending deletion now (deleted while a handle held them).
    size_t PendingDeletes() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Puts a StrictFiles in force for a scope: the layer, and the table in force while it
// lives.
class ScopedStrictFiles {
public:
    ScopedStrictFiles() : use_(files_.calls()) {}
    StrictFiles& operator*() { return files_; }
    StrictFiles* operator->() { return &files_; }

private:
    StrictFiles files_;
    ScopedFileCalls use_;
};
