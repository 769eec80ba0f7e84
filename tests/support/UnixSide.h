// Wine's Unix side, for what the platform's own calls cannot do here: a name that differs
// from another only in letter case, a directory link, a small disk of its own. Each call
// fails (an empty path, false) where the program does not run under Wine.
#pragma once

#include "base/Platform.h"

#include <string>
#include <vector>

// The Unix path of a path under Wine; empty elsewhere.
std::wstring UnixPath(const std::wstring& path);

// Starts a Unix program (given by its Unix path) with args; false when it could not be
// started. It is waited for (up to 10 s) only where the platform hands back its process:
// Wine 8 gives no handle for a Unix child, so a caller that needs its result waits for
// that result instead.
bool RunUnix(const std::wstring& program, const std::vector<std::wstring>& args);

// Runs a command in the Unix shell; true when it ended with 0. The shell's own exit status
// does not come through the process handle, so the shell writes it to statusFile (a path
// in a scratch folder, removed again), and that file is waited for.
bool RunUnixShell(const std::wstring& command, const std::wstring& statusFile);
