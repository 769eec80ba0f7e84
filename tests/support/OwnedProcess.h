// Processes a test starts and goes on beside: the test owns each one, and one still running
// when its owner goes is killed, on every path.
#pragma once

#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <string>

// Generous: a Wine process starts in milliseconds once the server runs, but the machine
// is shared.
constexpr DWORD PROCESS_DEADLINE_MS = 30000;

class OwnedProcess {
public:
    OwnedProcess() = default;
    OwnedProcess(HANDLE process, DWORD id) : process_(process), id_(id) {}
    ~OwnedProcess() { End(); }
    OwnedProcess(OwnedProcess&& other) noexcept = default;
    // The process owned before is killed first, as when its owner goes.
    OwnedProcess& operator=(OwnedProcess&& other) noexcept;
    OwnedProcess(const OwnedProcess&) = delete;
    OwnedProcess& operator=(const OwnedProcess&) = delete;

    bool started() const { return process_.valid(); }
    DWORD id() const { return id_; }
    bool Running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    // Ends it at once, as Task Manager or a crash would, and waits until it has gone.
    bool Kill() const;
    // The exit status once it has ended, or -1 when it is still running at the deadline.
    long long WaitExit(DWORD timeoutMs = PROCESS_DEADLINE_MS) const;

private:
    void End();

    UniqueHandle process_;
    DWORD id_ = 0;
};

// Starts a full command line with currentDir as its current directory, without waiting
// for it. An empty owner when it cannot be started; the output then says why.
OwnedProcess StartInBackground(const std::wstring& commandLine, const std::wstring& currentDir);
