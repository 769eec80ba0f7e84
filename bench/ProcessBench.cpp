// Cost of one client process check against a busy process list: starts stand-in processes
// (100 unless told otherwise), then times IsProcessRunning for a name that does not run
// (the whole list is walked) beside a baseline of one process snapshot taken and closed.
//
// Usage: process_bench.exe [others=100] [calls=1000]
#include "client/ProcessWatch.h"
#include "tests/support/StandIn.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

static double MicrosecondsPerCall(int calls, LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(end.QuadPart - start.QuadPart) * 1e6 / double(frequency.QuadPart) / calls;
}

template <typename Body>
static double Time(int calls, Body body)
{
    for (int i = 0; i < calls / 10 + 1; ++i) body(); // warm-up
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i) body();
    QueryPerformanceCounter(&end);
    return MicrosecondsPerCall(calls, start, end);
}

int wmain(int argc, wchar_t** argv)
{
    int others = argc > 1 ? _wtoi(argv[1]) : 100;
    int calls = argc > 2 ? _wtoi(argv[2]) : 1000;
    if (others < 0 || calls <= 0) return 2;

    // The stand-ins run as Busy.exe from a private folder, so none of them is "QQ.exe".
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return 2;
    std::wstring dir = std::wstring(temp) + L"kestova-process-bench-" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(dir.c_str(), nullptr)) return 2;
    std::wstring exe = CopyStandIn(dir, L"Busy.exe");
    int status = 0;
    {
        StandInGroup group;
        for (int i = 0; i < others && !exe.empty(); ++i)
            if (!group.Start(exe)) break;
        if (exe.empty() || group.size() != size_t(others)) {
            fwprintf(stderr, L"could not start %d stand-ins\n", others);
            status = 1;
        } else {
            int listed = CountProcesses();
            double baseline = Time(calls, [] {
                HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
                if (snapshot != INVALID_HANDLE_VALUE) CloseHandle(snapshot);
            });
            int wrong = 0;
            double check = Time(calls, [&] { if (IsProcessRunning(L"QQ.exe") != 0) ++wrong; });
            wprintf(L"processes listed: %d (%d stand-ins), %d calls each\n", listed, others, calls);
            wprintf(L"baseline  CreateToolhelp32Snapshot + CloseHandle: %8.1f us/call\n", baseline);
            wprintf(L"IsProcessRunning(\"QQ.exe\"), no match, full walk:  %8.1f us/call (%.2fx)\n",
                    check, check / baseline);
            if (wrong) status = 1;
        }
        if (!group.EndAll()) status = 1;
    }
    if (!exe.empty()) DeleteFileW(exe.c_str());
    RemoveDirectoryW(dir.c_str());
    return status;
}
