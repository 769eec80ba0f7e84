// The file-system calls through which the copy tool and the restore create, replace,
// link, remove and list files: one narrow table that defaults to the real calls.
//
// Why a table: Windows refuses several of these calls in states where other platforms
// allow them (a rename over an open file, a name whose file is pending deletion, a folder
// rename while a file under it is open), and a test can only show that a caller copes
// with the refusal by running it through a layer that enforces the rule. Every handle
// opened through the table is closed through it (FileHandle), so such a layer sees which
// files are held.
#pragma once

#include "base/Platform.h"

#include <string>
#include <utility>

struct FileCalls {
    decltype(&CreateFileW) createFile;
    decltype(&CloseHandle) closeHandle;
    decltype(&MoveFileExW) moveFileEx;
    decltype(&DeleteFileW) deleteFile;
    decltype(&RemoveDirectoryW) removeDirectory;
    decltype(&CreateDirectoryW) createDirectory;
    decltype(&SetFileAttributesW) setFileAttributes;
    decltype(&GetFileAttributesExW) getFileAttributesEx;
    decltype(&CreateHardLinkW) createHardLink;
    decltype(&SetFileTime) setFileTime;
    decltype(&FindFirstFileExW) findFirstFileEx;
    decltype(&GetVolumeInformationW) getVolumeInformation;
};

// The real calls.
extern const FileCalls REAL_FILE_CALLS;

// The table in force: REAL_FILE_CALLS unless a test has put another in place. Read from
// any thread.
const FileCalls& Files();

// The attributes of path through the table in force, or INVALID_FILE_ATTRIBUTES (the
// call's error is then the last error).
DWORD AttributesOf(const std::wstring& path);

// Puts a table in force for this object's lifetime and the previous one back after it.
// For tests; made and ended while no file call is in flight.
class ScopedFileCalls {
public:
    explicit ScopedFileCalls(const FileCalls& calls);
    ~ScopedFileCalls();
    ScopedFileCalls(const ScopedFileCalls&) = delete;
    ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

private:
    const FileCalls* previous_;
};

// Owns a handle opened through Files().createFile and closes it through the same table.
// NULL and INVALID_HANDLE_VALUE both mean "none".
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE h) : h_(h) {}
    FileHandle(FileHandle&& other) noexcept : h_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) Files().closeHandle(h_);
        h_ = h;
    }
    // Closes now and says whether the close succeeded (a write-back can fail there).
    bool close() {
        HANDLE h = release();
        return h == nullptr || h == INVALID_HANDLE_VALUE || Files().closeHandle(h);
    }

private:
    HANDLE h_ = nullptr;
};
