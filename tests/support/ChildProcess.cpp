#include "tests/support/ChildProcess.h"

#include "base/ScopedWin.h"

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

ChildResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir, DWORD timeoutMs)
{
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return result;
    UniqueHandle readEnd(readRaw), writeEnd(writeRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
        return result;
    result.started = true;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    writeEnd.reset();

    // The output is read only until the child itself has ended: a process the child
    // started (Wine's desktop, which its first window brings up) inherits the pipe and can
    // hold it open long after. Whatever is waiting in the pipe is read as it comes, so a
    // chatty child never blocks on a full pipe.
    char chunk[4096];
    auto drain = [&] {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            DWORD got = 0;
            DWORD want = available < sizeof chunk ? available : static_cast<DWORD>(sizeof chunk);
            if (!ReadFile(readEnd.get(), chunk, want, &got, nullptr) || got == 0) return;
            result.output.append(chunk, got);
        }
    };
    ULONGLONG start = GetTickCount64();
    for (;;) {
        drain();
        ULONGLONG spent = GetTickCount64() - start;
        if (spent >= timeoutMs) {
            result.timedOut = true;
            TerminateProcess(process.get(), 255);
            WaitForSingleObject(process.get(), 10000);
            break;
        }
        DWORD step = static_cast<DWORD>(timeoutMs - spent < 20 ? timeoutMs - spent : 20);
        if (WaitForSingleObject(process.get(), step) == WAIT_OBJECT_0) break;
    }
    drain();
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
