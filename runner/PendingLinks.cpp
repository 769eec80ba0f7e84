// TEMPORARY placeholders so that the runner links before the mirror run, the chat client
// environment and the shell are merged. Delete each as its real definition arrives.
// Every one of them does nothing and reports failure.
#include "client/ChatLocator.h"
#include "client/ProcessWatch.h"

bool LocateChatData(wchar_t*, size_t) { return false; }
int IsProcessRunning(const wchar_t*) { return -1; }
