// Benchmark of the resident runner, Kestova.exe, beside a baseline measured in the same
// run (idle_baseline.exe: a hidden window and a 200 ms timer):
//   - processor time over an idle minute with the client watch armed, once with no client
//     and once with the client running (goal: at most twice the baseline's then);
//   - peak working set;
//   - the delay from the chat client's end to the copy tool's start, over 20 trials
//     (goal: median under 300 ms; needs the QQ.exe stand-in beside this program, and the
//     client-running figure too; both skipped without it).
// Everything runs from a scratch folder with the chat client's registry entries set up
// for the run and removed again afterwards.
//
// Usage: runner_bench.exe [idle seconds=60] [trials=20]
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "tests/support/ChatClientFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <psapi.h>
#include <winternl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

// A program shows its window in well under a second; the machine may be busy.
constexpr DWORD WINDOW_WAIT_MS = 30000;

struct Started {
    UniqueHandle process;
    DWORD id = 0;
};

Started StartProcess(const std::wstring& commandLine)
{
    Started started;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return started;
    started.process.reset(UniqueProcess(pi).releaseProcess());
    started.id = pi.dwProcessId;
    return started;
}

void EndProcess(const Started& started)
{
    if (!started.process) return;
    TerminateProcess(started.process.get(), 0);
    WaitForSingleObject(started.process.get(), 10000);
}

double Seconds(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return double(value.QuadPart) / 1e7;
}

// User and kernel time so far, in seconds; -1 when the platform gives none. Wine answers
// GetProcessTimes for another process with zeros, but fills the thread times of the system
// process list from the host, so the larger of the process's figure and its threads' sum
// is taken.
double ProcessorSeconds(HANDLE process, DWORD processId)
{
    FILETIME created, exited, kernel, user;
    double own = GetProcessTimes(process, &created, &exited, &kernel, &user) ? Seconds(kernel) + Seconds(user) : -1;
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    while (NtQuerySystemInformation(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                    &needed) != 0) {
        if (buffer.size() >= (64u << 20)) return own;
        buffer.resize(buffer.size() * 2);
    }
    for (size_t offset = 0;;) {
        auto* entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(buffer.data() + offset);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == processId) {
            double listed = double(entry->UserTime.QuadPart + entry->KernelTime.QuadPart) / 1e7;
            // Thread entries follow the process entry; Reserved1 holds kernel, user and
            // creation time.
            auto* threads = reinterpret_cast<SYSTEM_THREAD_INFORMATION*>(entry + 1);
            double sum = 0;
            for (ULONG i = 0; i < entry->NumberOfThreads; ++i)
                sum += double(threads[i].Reserved1[0].QuadPart + threads[i].Reserved1[1].QuadPart) / 1e7;
            return std::max({own, listed, sum});
        }
        if (entry->NextEntryOffset == 0) return own;
        offset += entry->NextEntryOffset;
    }
}

double PeakWorkingSetMb(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(process, &counters, sizeof counters)) return -1;
    return double(counters.PeakWorkingSetSize) / 1048576.0;
}

double Now()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

// A process named robocopy.exe started by parent and not in seen; 0 when none.
DWORD FindNewTool(DWORD parent, const std::set<DWORD>& seen)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry))
        if (entry.th32ParentProcessID == parent && lstrcmpiW(entry.szExeFile, L"robocopy.exe") == 0 &&
            !seen.count(entry.th32ProcessID))
            found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

// A client stand-in, told to end through its own named event.
struct Client {
    UniqueHandle end;
    Started process;
};

bool StartClient(const std::wstring& clientExe, int number, Client* client)
{
    std::wstring eventName = L"KestovaBenchClientEnd-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(number);
    client->end.reset(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!client->end) return false;
    client->process = StartProcess(QuoteArgument(clientExe) + L" " + eventName);
    return bool(client->process.process);
}

// Ends the client; the delay is from its end to the moment the watcher's copy tool is seen
// running. Returns the delay in ms, or -1.
double EndClient(Client* client, DWORD watcher, std::set<DWORD>* seen)
{
    SetEvent(client->end.get());
    if (WaitForSingleObject(client->process.process.get(), 10000) != WAIT_OBJECT_0) return -1;
    double ended = Now();
    double deadline = ended + 10;
    DWORD tool = 0;
    while (!(tool = FindNewTool(watcher, *seen)))
        if (Now() > deadline) return -1;
    double delay = (Now() - ended) * 1000;
    seen->insert(tool);
    // The run is left to finish before the next trial.
    UniqueHandle running(OpenProcess(SYNCHRONIZE, FALSE, tool));
    if (running) WaitForSingleObject(running.get(), 120000);
    return delay;
}

// One trial: the client stand-in runs long enough for every watch to see it (the watch
// ticks every 200 ms), then ends.
double Trial(const std::wstring& clientExe, DWORD watcher, std::set<DWORD>* seen, int number)
{
    Client client;
    if (!StartClient(clientExe, number, &client)) return -1;
    Sleep(1000);
    return EndClient(&client, watcher, seen);
}

struct Delays {
    double median = -1, worst = -1;
    int failed = 0;
};

Delays RunTrials(const std::wstring& clientExe, DWORD watcher, int trials, std::set<DWORD>* seenBefore = nullptr)
{
    std::set<DWORD> seen = seenBefore ? *seenBefore : std::set<DWORD>();
    std::vector<double> delays;
    Delays result;
    for (int i = 0; i < trials; ++i) {
        double delay = Trial(clientExe, watcher, &seen, i);
        if (delay < 0) ++result.failed;
        else delays.push_back(delay);
    }
    if (delays.empty()) return result;
    std::sort(delays.begin(), delays.end());
    size_t n = delays.size();
    result.median = n % 2 ? delays[n / 2] : (delays[n / 2 - 1] + delays[n / 2]) / 2;
    result.worst = delays.back();
    return result;
}

std::wstring Dir(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int idleSeconds = argc > 1 ? _wtoi(argv[1]) : 60;
    int trials = argc > 2 ? _wtoi(argv[2]) : 20;
    if (idleSeconds <= 0 || trials <= 0) return 2;

    ScratchDir scratch;
    std::wstring app = scratch / L"App";
    std::wstring data = scratch / L"Data";
    std::wstring here = Dir(CurrentExePath());
    std::wstring baselineExe = here + L"\\idle_baseline.exe";
    std::wstring clientStandIn = here + L"\\QQ.exe";
    if (!MakeDirs(app) ||
        !CopyFileW(BuiltProgramPath(L"Kestova.exe").c_str(), (app + L"\\Kestova.exe").c_str(), FALSE) ||
        !CopyFileW(BuiltProgramPath(L"robocopy.exe").c_str(), (app + L"\\robocopy.exe").c_str(), FALSE) ||
        !WriteSampleChatData(data) ||
        !WriteBytes(app + L"\\config.ini", "[AutoBackup]\r\nAutobackupAfterQQuit=1\r\n")) {
        fwprintf(stderr, L"cannot prepare the program folder in %ls\n", scratch.path().c_str());
        return 1;
    }
    ChatClientRegistry registry;
    if (!InstallChatClientEntries(&registry, scratch.path(), data)) {
        fwprintf(stderr, L"cannot write the chat client's registry entries\n");
        return 1;
    }

    // Idle: both run side by side for the same minute, first with no client, then with
    // the client running (the watch then waits on the client's process).
    Started kestova = StartProcess(QuoteArgument(app + L"\\Kestova.exe"));
    Started baseline = StartProcess(QuoteArgument(baselineExe));
    HWND window = kestova.process ? WaitForWindow(L"Kestova_Brannet_Msgwnd_Class", kestova.id, WINDOW_WAIT_MS) : nullptr;
    if (!window || !baseline.process || !WaitForWindow(L"KestovaBenchBaseline", baseline.id, WINDOW_WAIT_MS)) {
        fwprintf(stderr, L"Kestova.exe or the baseline did not start\n");
        EndProcess(kestova);
        EndProcess(baseline);
        return 1;
    }
    auto idle = [&](double* kestovaSeconds, double* baselineSeconds) {
        double kestovaBefore = ProcessorSeconds(kestova.process.get(), kestova.id);
        double baselineBefore = ProcessorSeconds(baseline.process.get(), baseline.id);
        Sleep(static_cast<DWORD>(idleSeconds) * 1000);
        *kestovaSeconds = ProcessorSeconds(kestova.process.get(), kestova.id) - kestovaBefore;
        *baselineSeconds = ProcessorSeconds(baseline.process.get(), baseline.id) - baselineBefore;
    };
    double kestovaIdle, baselineIdle, kestovaClient = -1, baselineClient = -1;
    idle(&kestovaIdle, &baselineIdle);
    bool haveClient = PathExists(clientStandIn);
    std::set<DWORD> seen;
    Client client;
    if (haveClient && StartClient(clientStandIn, -1, &client)) {
        Sleep(1000); // the watch has seen it
        idle(&kestovaClient, &baselineClient);
        EndClient(&client, kestova.id, &seen); // its backup is done before the trials
    }
    EndProcess(baseline);

    Delays kestovaDelays, baselineDelays;
    if (haveClient) kestovaDelays = RunTrials(clientStandIn, kestova.id, trials, &seen);
    double kestovaPeak = PeakWorkingSetMb(kestova.process.get());
    double baselinePeak = -1;

    // The resident program quits as its companion asks it to.
    UINT exitMessage = RegisterWindowMessageW(L"Kestova_Brannet_Exit");
    DWORD kestovaExit = 255;
    for (int i = 0; i < 30 && WaitForSingleObject(kestova.process.get(), 0) == WAIT_TIMEOUT; ++i) {
        PostMessageW(window, exitMessage, 0, 0);
        WaitForSingleObject(kestova.process.get(), 1000);
    }
    if (WaitForSingleObject(kestova.process.get(), 0) == WAIT_TIMEOUT) EndProcess(kestova);
    GetExitCodeProcess(kestova.process.get(), &kestovaExit);

    // The baseline's watch, alone now, over the same trials.
    Started watcher = StartProcess(QuoteArgument(baselineExe) + L" --watch " +
                                   QuoteArgument(app + L"\\robocopy.exe") + L" " + QuoteArgument(data) +
                                   L" " + QuoteArgument(scratch / L"BaselineCopy"));
    if (watcher.process && WaitForWindow(L"KestovaBenchBaseline", watcher.id, WINDOW_WAIT_MS)) {
        if (haveClient) baselineDelays = RunTrials(clientStandIn, watcher.id, trials);
        baselinePeak = PeakWorkingSetMb(watcher.process.get());
    }
    EndProcess(watcher);

    std::wstring idleText = L"CPU seconds over " + std::to_wstring(idleSeconds) + L" s idle";
    wprintf(L"%-46ls %14ls %14ls\n", L"", L"Kestova.exe", L"baseline");
    wprintf(L"%-46ls %14.3f %14.3f\n", (idleText + L", no client").c_str(), kestovaIdle, baselineIdle);
    if (haveClient)
        wprintf(L"%-46ls %14.3f %14.3f\n", (idleText + L", client running").c_str(), kestovaClient, baselineClient);
    wprintf(L"%-46ls %14.1f %14.1f\n", L"peak working set, MB", kestovaPeak, baselinePeak);
    if (haveClient) {
        wprintf(L"%-46ls %14.0f %14.0f\n",
                (L"client end -> copy tool start, median ms (" + std::to_wstring(trials) + L")").c_str(),
                kestovaDelays.median, baselineDelays.median);
        wprintf(L"%-46ls %14.0f %14.0f\n", L"client end -> copy tool start, worst ms", kestovaDelays.worst,
                baselineDelays.worst);
        wprintf(L"%-46ls %14d %14d\n", L"trials without a copy tool start", kestovaDelays.failed,
                baselineDelays.failed);
        wprintf(L"goal: client running, at most twice the baseline's CPU (%ls, %.1fx)\n",
                kestovaClient >= 0 && kestovaClient <= 2 * baselineClient ? L"met" : L"NOT met",
                baselineClient > 0 ? kestovaClient / baselineClient : 0.0);
        wprintf(L"goal: median delay under 300 ms (%ls)\n",
                kestovaDelays.median >= 0 && kestovaDelays.median < 300 ? L"met" : L"NOT met");
    } else {
        wprintf(L"client end -> copy tool start: skipped, no QQ.exe stand-in in %ls\n", here.c_str());
    }
    wprintf(L"Kestova.exe exit status after the exit message: %lu\n", kestovaExit);
    return kestovaExit == 0 && kestovaDelays.failed == 0 ? 0 : 1;
}
