// The programs that hold files open under a folder, as the Restart Manager knows them: a
// rename that Windows refuses because of an open file can then say which program to close.
#pragma once

#include "base/Platform.h"

#include <restartmanager.h>

#include <cstddef>

// The Restart Manager's calls. Tests swap in their own: the test platform's Restart
// Manager lists no program at all.
struct RestartManagerCalls {
    decltype(&RmStartSession) startSession;
    decltype(&RmRegisterResources) registerResources;
    decltype(&RmGetList) getList;
    decltype(&RmEndSession) endSession;
};

RestartManagerCalls RealRestartManagerCalls();
// The calls in force. Set before a lookup starts; never changed while one runs.
extern RestartManagerCalls restartManagerCalls;

// names := the programs that hold a file under folder, each "name（进程 id）", joined by
// "、" and cut to capacity; empty when none is known (or the lookup fails). Returns names.
wchar_t* NameFileHolders(const wchar_t* folder, wchar_t* names, size_t capacity);
