// Whether a process with a given executable file name runs now.
#pragma once

// The chat client's program file, as its process is named.
constexpr const wchar_t CLIENT_PROCESS_NAME[] = L"QQ.exe";

// 1 when a process with that name runs (ASCII letters compared in any case), 0 when none
// does, -1 when the process list cannot be taken.
int IsProcessRunning(const wchar_t* name);
