// Whether a process with a given executable file name runs now.
#pragma once

#include "base/Platform.h"

#include <cstddef>

// The chat client's program file, as its process is named.
constexpr const wchar_t CLIENT_PROCESS_NAME[] = L"QQ.exe";

// 1 when a process with that name runs (ASCII letters compared in any case), 0 when none
// does, -1 when the process list cannot be taken.
//
// The process last found is kept open (SYNCHRONIZE access only) with the name it was found
// for: while it has not ended, a check for the same name answers 1 without taking the
// process list, which would cost a walk of every process five times a second for as long
// as the client runs. Once it has ended, or for another name, or when it could not be
// opened, the list is taken as before. Safe to call from more than one thread.
int IsProcessRunning(const wchar_t* name);

// 1 when a process runs from the program file programPath, 0 when none does, -1 when the
// process list cannot be taken. Processes are picked out by the file's name, then each one's
// image path is compared with programPath as full paths in their long form, in any letter
// case: a program of the same name elsewhere does not count. A process whose image cannot
// be read (another user's, one ending right now) does not count. Nothing is kept open.
int IsProgramRunning(const wchar_t* programPath);

// The program file of the process with that id, in the Win32 form, into path (capacity in
// characters, terminator included); false and empty when it cannot be read.
bool ProgramFileOf(DWORD processId, wchar_t* path, size_t capacity);

// Closes the process kept open by IsProcessRunning, if any. The next check takes the
// process list again. Called by the thread that made the checks when it ends.
void ReleaseProcessWatch();
