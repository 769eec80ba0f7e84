#include "tests/support/ChildProcess.h"

#include "base/ScopedWin.h"
#include "tests/support/Scratch.h"

#include <cstdio>
#include <map>

static std::map<std::wstring, ChildBody>& Children()
{
    static std::map<std::wstring, ChildBody> children;
    return children;
}

ChildRegistration::ChildRegistration(const wchar_t* name, ChildBody body)
{
    Children()[name] = body;
}

bool RunChildIfRequested(int argc, wchar_t** argv, int* status)
{
    static const std::wstring prefix = L"--kestova-child=";
    if (argc < 2 || std::wstring(argv[1]).rfind(prefix, 0) != 0) return false;
    std::wstring name = std::wstring(argv[1]).substr(prefix.size());
    auto found = Children().find(name);
    if (found == Children().end()) {
        *status = 250;
        return true;
    }
    std::vector<std::wstring> args(argv + 2, argv + argc);
    *status = found->second(args);
    return true;
}

std::wstring CurrentExePath()
{
    wchar_t buffer[32768];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    return std::wstring(buffer, n);
}

std::wstring BuiltProgramPath(const std::wstring& fileName)
{
    std::wstring self = CurrentExePath();
    std::wstring testsDir = self.substr(0, self.find_last_of(L'\\'));
    std::wstring buildDir = testsDir.substr(0, testsDir.find_last_of(L'\\'));
    return buildDir + L"\\bin\\" + fileName;
}

std::wstring CopySelfTo(const std::wstring& dir, const std::wstring& fileName)
{
    std::wstring target = dir + L"\\" + fileName;
    if (!CopyFileW(CurrentExePath().c_str(), target.c_str(), FALSE)) return L"";
    return target;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

namespace {

// A pipe for a child's standard output and error: the read end overlapped, so that it can
// be waited on beside the child's process handle; the write end inheritable.
bool CreateOutputPipe(UniqueHandle* readEnd, UniqueHandle* writeEnd)
{
    static LONG serial = 0;
    wchar_t name[96];
    swprintf(name, 96, L"\\\\.\\pipe\\kestova-test-output-%lu-%ld", GetCurrentProcessId(),
             InterlockedIncrement(&serial));
    readEnd->reset(CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536, 0,
                                    nullptr));
    if (!*readEnd) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    writeEnd->reset(CreateFileW(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    return writeEnd->valid();
}

// After the child has ended, what it wrote is already in the pipe; this long is allowed
// for taking it out, in case something the child left behind keeps writing.
constexpr DWORD DRAIN_AFTER_EXIT_MS = 5000;

// Collects a child's output until the child has ended, killing it at the deadline. The
// child's exit is the end of its output, not the close of every write end of the pipe: a
// process the child started inherits the write end and may hold it for as long as it
// lives. The platform's desktop process is one: started by the first program that makes a
// window, it takes that program's standard handles.
class OutputCollector {
public:
    OutputCollector(HANDLE readEnd, std::string* output) : readEnd_(readEnd), output_(output)
    {
        overlapped_.hEvent = event_.get();
    }
    ~OutputCollector() { CancelPending(); }

    // Returns false when the child was still running at the deadline (it is then killed).
    bool CollectUntilExit(HANDLE process, DWORD timeoutMs)
    {
        bool inTime = true;
        ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            if (!StartRead()) return inTime; // every writer has gone
            ULONGLONG now = GetTickCount64();
            DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            HANDLE waits[] = {event_.get(), process};
            DWORD woke = WaitForMultipleObjects(2, waits, FALSE, left);
            if (woke == WAIT_OBJECT_0) {
                if (!FinishRead()) return inTime;
                continue;
            }
            if (woke != WAIT_OBJECT_0 + 1) {
                inTime = false;
                TerminateProcess(process, 255);
                WaitForSingleObject(process, 10000);
            }
            DrainAfterExit();
            return inTime;
        }
    }

private:
    // Takes out what lies in the pipe, without waiting for writers that may never close it.
    void DrainAfterExit()
    {
        CancelPending();
        ULONGLONG deadline = GetTickCount64() + DRAIN_AFTER_EXIT_MS;
        DWORD waiting = 0;
        while (GetTickCount64() < deadline && PeekNamedPipe(readEnd_, nullptr, 0, nullptr, &waiting, nullptr) &&
               waiting > 0) {
            if (!StartRead()) return;
            if (WaitForSingleObject(event_.get(), DRAIN_AFTER_EXIT_MS) != WAIT_OBJECT_0) break;
            if (!FinishRead()) return;
        }
        CancelPending();
    }

    // Leaves one read pending (reads that complete at once are taken as they come); false
    // at the end of the pipe or on an error.
    bool StartRead()
    {
        if (pending_) return true;
        for (;;) {
            ResetEvent(event_.get());
            DWORD got = 0;
            if (!ReadFile(readEnd_, chunk_, sizeof chunk_, &got, &overlapped_)) break;
            output_->append(chunk_, got);
        }
        if (GetLastError() != ERROR_IO_PENDING) return false;
        pending_ = true;
        return true;
    }

    bool FinishRead()
    {
        pending_ = false;
        DWORD got = 0;
        if (!GetOverlappedResult(readEnd_, &overlapped_, &got, FALSE)) return false;
        output_->append(chunk_, got);
        return true;
    }

    // A cancelled read may still have brought bytes; they are kept.
    void CancelPending()
    {
        if (!pending_) return;
        CancelIoEx(readEnd_, &overlapped_);
        DWORD got = 0;
        if (GetOverlappedResult(readEnd_, &overlapped_, &got, TRUE)) output_->append(chunk_, got);
        pending_ = false;
    }

    HANDLE readEnd_;
    std::string* output_;
    UniqueHandle event_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    char chunk_[4096];
};

} // namespace

ChildResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir, DWORD timeoutMs)
{
    ChildResult result;
    UniqueHandle readEnd, writeEnd;
    if (!CreateOutputPipe(&readEnd, &writeEnd)) {
        printf("[   NOTE   ] no pipe for a child's output: error %lu\n", GetLastError());
        return result;
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi)) {
        // The failure that follows says only that nothing ran; this says why.
        DWORD code = GetLastError();
        printf("[   NOTE   ] could not start %s: error %lu\n", Narrow(commandLine).c_str(), code);
        return result;
    }
    result.started = true;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    writeEnd.reset();

    OutputCollector collector(readEnd.get(), &result.output);
    result.timedOut = !collector.CollectUntilExit(process.get(), timeoutMs);
    GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

ChildResult RunChild(const std::wstring& exe, const std::wstring& name,
                     const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    std::wstring line = QuoteArgument(exe) + L" --kestova-child=" + name;
    for (const auto& a : args) line += L" " + QuoteArgument(a);
    size_t cut = exe.find_last_of(L'\\');
    return RunCommand(line, cut == std::wstring::npos ? L"" : exe.substr(0, cut), timeoutMs);
}
