#include "tests/support/StandIn.h"

#include "base/ProcessJob.h"

#include <tlhelp32.h>

#include <atomic>
#include <cwchar>

std::wstring StandInPath()
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    path = path.substr(0, path.find_last_of(L'\\')); // the program's folder
    path = path.substr(0, path.find_last_of(L'\\')); // the build folder
    return path + L"\\testbin\\QQ.exe";
}

std::wstring CopyStandIn(const std::wstring& dir, const std::wstring& fileName)
{
    std::wstring target = dir + L"\\" + fileName;
    if (!CopyFileW(StandInPath().c_str(), target.c_str(), FALSE)) return L"";
    return target;
}

StandInGroup::StandInGroup()
{
    static std::atomic<unsigned> counter{0};
    wchar_t name[64];
    swprintf(name, 64, L"KestovaStandInEnd-%lu-%u", GetCurrentProcessId(), counter.fetch_add(1));
    eventName_ = name;
    endEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, eventName_.c_str()));
    // Should this process die without ending them, closing its last handle to the job
    // kills the stand-ins: under Wine they hold the test runner's error output open, and
    // the runner would wait for them.
    job_.reset(CreateKillOnCloseJob());
}

StandInGroup::~StandInGroup()
{
    EndAll();
}

static bool IsListed(DWORD processId)
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == processId) return true;
    return false;
}

bool StandInGroup::Start(const std::wstring& exe)
{
    if (!endEvent_ || !job_) return false;
    std::wstring line = L"\"" + exe + L"\" " + eventName_;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Detached and inheriting nothing: a stand-in must never hold the test runner's output
    // pipes open.
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi))
        return false;
    UniqueHandle thread(pi.hThread);
    processes_.emplace_back(pi.hProcess);
    if (!AssignProcessToJobObject(job_.get(), pi.hProcess) || ResumeThread(pi.hThread) == DWORD(-1)) {
        TerminateProcess(pi.hProcess, 255);
        return false;
    }
    // The process list may show a new process a moment after its creation returns.
    for (ULONGLONG deadline = GetTickCount64() + 10000; GetTickCount64() < deadline;) {
        if (IsListed(pi.dwProcessId)) return true;
        if (WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0) return false;
    }
    return false;
}

bool StandInGroup::EndAll()
{
    bool clean = true;
    if (endEvent_) SetEvent(endEvent_.get());
    for (UniqueHandle& process : processes_) {
        if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 255);
            WaitForSingleObject(process.get(), 10000);
            clean = false;
        }
        DWORD status = 1;
        if (!GetExitCodeProcess(process.get(), &status) || status != 0) clean = false;
    }
    processes_.clear();
    // Every process has ended: later stand-ins of this group wait again.
    if (endEvent_) ResetEvent(endEvent_.get());
    return clean;
}

bool ProcessObjectGoes(DWORD processId, DWORD withinMs)
{
    for (ULONGLONG deadline = GetTickCount64() + withinMs;; Sleep(20)) {
        if (!UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, processId))) return true;
        if (GetTickCount64() >= deadline) return false;
    }
}

int CountProcesses()
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        ++count;
    return count;
}
