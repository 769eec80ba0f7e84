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
#include "base/ScopedWin.h"

#include <string>

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

struct FileCallsCloser {
    static BOOL Close(HANDLE h) { return Files().closeHandle(h); }
};

// Owns a handle opened through Files().createFile and closes it through the same table.
using FileHandle = BasicHandle<FileCallsCloser>;
