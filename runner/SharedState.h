// The one piece of state the main thread and the worker share, and the one lock that
// guards it. Also the registered message numbers, which the main thread alone uses.
#pragma once

#include "base/Platform.h"

struct RunnerState {
    // 1 while a backup run is in progress, else 0.
    // Writers: the worker (before WM_BACKUP_STARTED, before WM_BACKUP_DONE), the main loop
    // (on those two messages) and start-up (once, before any request reaches the worker).
    // Lock: StateLock; never read or written without it.
    LONG backupBusy;
};

extern RunnerState runnerState;

// StateLock: a non-reentrant test-and-set lock. A thread that finds it held sleeps 100 ms
// and tests again; holders only ever test or write backupBusy (and, on the main thread,
// post one message), so the wait is short. Nothing that can dispatch messages (a balloon,
// a menu, a box) runs under it: a protocol message handled inside that call would take
// the lock again on the same thread and wait for ever.
void ResetStateLock();
void AcquireStateLock();
void ReleaseStateLock();

// backupBusy read under the lock; for start-up and tests.
LONG ReadBackupBusy();
// backupBusy := value under the lock.
void WriteBackupBusy(LONG value);

// Numbers of the companion's two registered messages. Writer: start-up, before the main
// loop runs; read by the main loop only (main thread, no lock).
extern UINT configReloadMessage;
extern UINT exitMessage;

// Registers ConfigReloadMessage, then ExitMessage, into the two variables above.
void RegisterControlMessages();
