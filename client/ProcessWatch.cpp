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

// 1 with the id of the first process listed under wanted (and under onlyId, unless that is
// 0), 0 when none is, -1 when the list cannot be taken.
int FindListed(const wchar_t* wanted, DWORD onlyId, DWORD* processId)
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        ToLowerAscii(entry.szExeFile);
        if ((onlyId == 0 || entry.th32ProcessID == onlyId) && wcscmp(entry.szExeFile, wanted) == 0) {
            *processId = entry.th32ProcessID;
            return 1;
        }
    }
    return 0;
}

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
    if (watchedProcess && FindListed(wanted, processId, &listed) == 1)
        wcscpy(watchedName, wanted);
    else
        watchedProcess.reset();
}

} // namespace

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
    int found = FindListed(wanted, 0, &processId);
    if (found == 1) Watch(processId, wanted);
    return found;
}

void ReleaseProcessWatch()
{
    WatchLock lock;
    watchedProcess.reset();
}
