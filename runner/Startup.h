// The program's start-up: the command line, the checks that may end the process with
// their own exit status, and the set-up of the window, the worker and the timers before
// the main loop takes over.
#pragma once

#include "base/Platform.h"

// Exit statuses of the process, beside the main loop's own result.
constexpr int EXIT_NORMAL = 0;
constexpr int EXIT_NO_MUTEX = 5;
constexpr int EXIT_NO_CONFIG = 6;
constexpr int EXIT_NO_CHAT_DATA = 7;
constexpr int EXIT_NO_STORE = 8;
constexpr int EXIT_TOOL_DAMAGED = 9;
constexpr int EXIT_NO_WINDOW = 10; // the hidden window cannot be created
constexpr int EXIT_NO_WORKER = 11; // the worker thread cannot be started

struct StartupOptions {
    bool backupNow; // "-b", "--backupnow"
    bool restore;   // "-r", "--restore"
    bool quit;      // "-q", "--quit"
};

// The options in the command-line text after the program's name. Each argument is
// compared whole and case-sensitively; anything else is ignored. A line that cannot be
// split sets nothing.
StartupOptions ParseOptions(const wchar_t* commandTail);

// The whole start-up sequence and then the main loop. Returns the process exit status.
// showCommand: the one the process was started with, or SW_SHOWDEFAULT when its start-up
// information names none (as the runtime hands it to wWinMain).
int RunStartup(HINSTANCE instance, const wchar_t* commandTail, int showCommand);
