#include "tests/support/OwnedProcess.h"

#include "tests/support/Scratch.h"

#include <cstdio>
#include <utility>

OwnedProcess& OwnedProcess::operator=(OwnedProcess&& other) noexcept
{
    if (this != &other) {
        End();
        process_ = std::move(other.process_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void OwnedProcess::End()
{
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 255);
        WaitForSingleObject(process_.get(), 10000);
    }
}

bool OwnedProcess::Kill() const
{
    return TerminateProcess(process_.get(), 1) &&
           WaitForSingleObject(process_.get(), PROCESS_DEADLINE_MS) == WAIT_OBJECT_0;
}

long long OwnedProcess::WaitExit(DWORD timeoutMs) const
{
    if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

OwnedProcess StartInBackground(const std::wstring& commandLine, const std::wstring& currentDir)
{
    std::wstring line = commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi)) {
        // The failure that follows says only that nothing ran; this says why.
        DWORD code = GetLastError();
        printf("[   NOTE   ] could not start %s: error %lu\n", Narrow(commandLine).c_str(), code);
        return {};
    }
    return OwnedProcess(UniqueProcess(pi).releaseProcess(), pi.dwProcessId);
}
