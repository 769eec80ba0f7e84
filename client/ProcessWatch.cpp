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

    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        ToLowerAscii(entry.szExeFile);
        if (wcscmp(entry.szExeFile, wanted) == 0) return 1;
    }
    return 0;
}
