#include "client/ProcessWatch.h"

#include "base/PathText.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"

// The tool-help declarations need the platform header before them.
#include <tlhelp32.h>

#include <cwchar>

#if !defined(_WIN64)
// The record's size field is set to 556 bytes, its size in the 32-bit layout.
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W layout");
#endif

namespace {

// The process last found and the name (folded) it was found for. Both are written only
// under watchLock, by whichever thread checks; the runner's main thread checks once at
// start-up and its worker afterwards.
SRWLOCK watchLock = SRWLOCK_INIT;
UniqueHandle watchedProcess;
wchar_t watchedName[MAX_PATH];

class WatchLock {
public:
    WatchLock() { AcquireSRWLockExclusive(&watchLock); }
    ~WatchLock() { ReleaseSRWLockExclusive(&watchLock); }
    WatchLock(const WatchLock&) = delete;
    WatchLock& operator=(const WatchLock&) = delete;
};

// True when the kept process was found for wanted and has not ended. A kept process that
// has ended (or any wait failure) is closed, so the caller takes the list afresh.
bool WatchedStillRuns(const wchar_t* wanted)
{
    if (!watchedProcess) return false;
    if (wcscmp(watchedName, wanted) == 0 && WaitForSingleObject(watchedProcess.get(), 0) == WAIT_TIMEOUT)
        return true;
    watchedProcess.reset();
    return false;
}

// Whether a listed process is the one looked for; context is the caller's.
using ListedTest = bool (*)(DWORD processId, const void* context);

// 1 with the id of the first process listed under wanted that accept takes (every one when
// accept is null), 0 when none is, -1 when the list cannot be taken.
int FindListed(const wchar_t* wanted, ListedTest accept, const void* context, DWORD* processId)
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        ToLowerAscii(entry.szExeFile);
        if (wcscmp(entry.szExeFile, wanted) == 0 && (!accept || accept(entry.th32ProcessID, context))) {
            *processId = entry.th32ProcessID;
            return 1;
        }
    }
    return 0;
}

bool IsThatId(DWORD processId, const void* wantedId) { return processId == *static_cast<const DWORD*>(wantedId); }

// Keeps the process with that id open for the next checks. A process that cannot be
// opened (another user's, one ending right now) is simply not kept: the answer found in
// the list stands, and the next check takes the list again. The process found may have
// ended between the list and the open, and its id gone to another program; once the
// handle is held the id cannot move again, so one more list shows whether the handle is
// the process that was found (this costs a second list only when a process is first kept).
void Watch(DWORD processId, const wchar_t* wanted)
{
    watchedProcess.reset(OpenProcess(SYNCHRONIZE, FALSE, processId));
    DWORD listed = 0;
    if (watchedProcess && FindListed(wanted, IsThatId, &processId, &listed) == 1)
        wcscpy(watchedName, wanted);
    else
        watchedProcess.reset();
}

// The form of a program's path that two spellings of one file share: full (no "." or
// ".." parts), a drive path without its "\\?\" prefix, every component in its long form
// (an 8.3 alias such as PROGRA~1 reaches the same file). A path that no longer exists, or
// that cannot be put in that form, is kept as it is. Null when it does not fit the room.
wchar_t* NormalProgramPath(const wchar_t* path, wchar_t* normal, DWORD capacity)
{
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && wcsncmp(path, L"\\\\?\\UNC\\", 8) != 0) path += 4;
    wchar_t full[PATH_CAPACITY];
    DWORD n = GetFullPathNameW(path, PATH_CAPACITY, full, nullptr);
    if (n == 0 || n >= PATH_CAPACITY) return nullptr;
    // GetLongPathNameW counts the room in characters and returns the length without the
    // terminator, or the room needed (terminator included) when it is too small; 0 when it
    // fails, as for a path that is gone.
    n = GetLongPathNameW(full, normal, capacity);
    if (n > 0 && n < capacity) return normal;
    if (wcslen(full) >= capacity) return nullptr;
    wcscpy(normal, full);
    return normal;
}

// Whether the process with that id runs from the program file at wantedPath (normal form).
bool RunsFrom(DWORD processId, const void* wantedPath)
{
    wchar_t image[PATH_CAPACITY];
    if (!ProgramFileOf(processId, image, PATH_CAPACITY)) return false;
    wchar_t normal[PATH_CAPACITY];
    if (!NormalProgramPath(image, normal, PATH_CAPACITY)) return false;
    // Compared as the file system compares names: ordinal, case folded by the system's
    // uppercase table.
    return CompareStringOrdinal(normal, -1, static_cast<const wchar_t*>(wantedPath), -1, TRUE) == CSTR_EQUAL;
}

} // namespace

bool ProgramFileOf(DWORD processId, wchar_t* path, size_t capacity)
{
    if (!path || capacity == 0) return false;
    path[0] = L'\0';
    // PROCESS_QUERY_LIMITED_INFORMATION: the least access QueryFullProcessImageNameW takes.
    UniqueHandle process(processId ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId) : nullptr);
    // The room goes in, in characters, and the length without the terminator comes back; 0
    // asks for the Win32 form of the path.
    DWORD size = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    if (process && QueryFullProcessImageNameW(process.get(), 0, path, &size)) return true;
    path[0] = L'\0';
    return false;
}

int IsProgramRunning(const wchar_t* programPath)
{
    if (!programPath || !*programPath) return 0;
    const wchar_t* name = LastComponent(programPath);
    size_t length = wcslen(name);
    if (length == 0 || length >= MAX_PATH) return 0;
    wchar_t wanted[MAX_PATH];
    wmemcpy(wanted, name, length + 1);
    ToLowerAscii(wanted);
    wchar_t wantedPath[PATH_CAPACITY];
    if (!NormalProgramPath(programPath, wantedPath, PATH_CAPACITY)) return 0;
    DWORD processId = 0;
    return FindListed(wanted, RunsFrom, wantedPath, &processId);
}

int IsProcessRunning(const wchar_t* name)
{
    // No name, an empty one or one longer than szExeFile can hold (MAX_PATH - 1) names no
    // executable. An empty one would otherwise match entries whose name is not known yet,
    // such as a process still being created.
    if (!name || !*name) return 0;
    size_t length = wcslen(name);
    if (length >= MAX_PATH) return 0;
    wchar_t wanted[MAX_PATH];
    wmemcpy(wanted, name, length + 1);
    // Only A-Z fold: the platform's own comparison of file names would also fold non-ASCII
    // letters, which this check deliberately does not.
    ToLowerAscii(wanted);

    WatchLock lock;
    if (WatchedStillRuns(wanted)) return 1;

    DWORD processId = 0;
    int found = FindListed(wanted, nullptr, nullptr, &processId);
    if (found == 1) Watch(processId, wanted);
    return found;
}

void ReleaseProcessWatch()
{
    WatchLock lock;
    watchedProcess.reset();
}
