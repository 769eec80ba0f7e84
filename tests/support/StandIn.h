// Real processes of the chat client stand-in (testbin\QQ.exe), copied under any file name
// and started, for the process watch's tests and benchmark.
#pragma once

#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <string>
#include <vector>

// testbin\QQ.exe of this build: beside the tests\ folder of the running test program.
std::wstring StandInPath();

// Copies the stand-in to dir\fileName; the copy's path, or an empty text.
std::wstring CopyStandIn(const std::wstring& dir, const std::wstring& fileName);

// Stand-in processes started from one or more copies, all told to end by one event. They
// are told to end (and killed if they linger) when the owner goes, on every path.
class StandInGroup {
public:
    StandInGroup();
    ~StandInGroup();
    StandInGroup(const StandInGroup&) = delete;
    StandInGroup& operator=(const StandInGroup&) = delete;

    // Starts exe and waits until the process shows in the process list. False when it
    // could not be started or did not show within the deadline.
    bool Start(const std::wstring& exe);
    // Tells every process to end and waits for them (killing any still there after the
    // deadline). True when all ended by themselves with status 0.
    bool EndAll();
    size_t size() const { return processes_.size(); }
    // The id of the process started last, or 0.
    DWORD LastId() const { return processes_.empty() ? 0 : GetProcessId(processes_.back().get()); }

private:
    std::wstring eventName_;
    UniqueHandle endEvent_;
    UniqueHandle job_;
    std::vector<UniqueHandle> processes_;
};

// Whether the object of an ended process with that id goes within withinMs: it goes once
// no handle to it is open anywhere (Wine lets it go about half a second after the last
// handle closes), so a test can see a handle kept where the platform's handle count is not
// reliable (Wine answers 0).
bool ProcessObjectGoes(DWORD processId, DWORD withinMs);

// Number of entries in one process snapshot, or -1.
int CountProcesses();
