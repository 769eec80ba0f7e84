// A test program re-runs itself as a child process: copied into a scratch folder, so that
// everything it finds beside its own file (config.ini, Backup_Data) lies in scratch.
//
// A child body is registered with KESTOVA_CHILD(name) { ... return status; } and runs
// when the program is started as "test.exe --kestova-child=name args...". Its return
// value becomes the process exit status; it can print results to standard output.
#pragma once

#include "base/Platform.h"

#include <string>
#include <vector>

using ChildBody = int (*)(const std::vector<std::wstring>& args);

struct ChildRegistration {
    ChildRegistration(const wchar_t* name, ChildBody body);
};

#define KESTOVA_CHILD(name)                                                              \
    static int KestovaChild_##name(const std::vector<std::wstring>& args);               \
    static ChildRegistration kestovaChildReg_##name(L## #name, KestovaChild_##name);     \
    static int KestovaChild_##name([[maybe_unused]] const std::vector<std::wstring>& args)

// Called from main: runs a child body when the command line names one. Returns true and
// sets *status when it did.
bool RunChildIfRequested(int argc, wchar_t** argv, int* status);

// Full path of the running test program.
std::wstring CurrentExePath();

// Full path of a shipped program in the build's output folder (bin\ beside tests\),
// such as BuiltProgramPath(L"robocopy.exe").
std::wstring BuiltProgramPath(const std::wstring& fileName);

// Copies the running test program into dir under fileName; returns the copy's path or an
// empty text.
std::wstring CopySelfTo(const std::wstring& dir, const std::wstring& fileName);

struct ChildResult {
    bool started = false;
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string output; // standard output and error, as bytes
};

// Runs "exe" --kestova-child=name args... with dir as its current directory and waits up
// to timeoutMs for it; a child still running then is killed.
ChildResult RunChild(const std::wstring& exe, const std::wstring& name,
                     const std::vector<std::wstring>& args, DWORD timeoutMs = 60000);

// Runs a full command line, capturing its output; the same waiting rules.
ChildResult RunCommand(const std::wstring& commandLine, const std::wstring& currentDir = L"",
                       DWORD timeoutMs = 60000);

// Quotes one argument by the platform's rules for CommandLineToArgvW.
std::wstring QuoteArgument(const std::wstring& argument);
