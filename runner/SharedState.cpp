#include "runner/SharedState.h"

#include "contracts/ControlMessages.h"

RunnerState runnerState = {0};

namespace {

// 0 free, 1 held. Written only by InterlockedExchange, which is a full barrier, so
// backupBusy written while holding the lock is seen by the next holder.
volatile LONG stateLock = 0;

} // namespace

UINT configReloadMessage = WM_REGISTRATION_FALLBACK;
UINT exitMessage = WM_REGISTRATION_FALLBACK;

void ResetStateLock()
{
    InterlockedExchange(&stateLock, 0);
}

void AcquireStateLock()
{
    // The test and the taking are one indivisible exchange.
    while (InterlockedExchange(&stateLock, 1) != 0) Sleep(100);
}

void ReleaseStateLock()
{
    InterlockedExchange(&stateLock, 0);
}

LONG ReadBackupBusy()
{
    AcquireStateLock();
    LONG value = runnerState.backupBusy;
    ReleaseStateLock();
    return value;
}

void WriteBackupBusy(LONG value)
{
    AcquireStateLock();
    runnerState.backupBusy = value;
    ReleaseStateLock();
}

void RegisterControlMessages()
{
    configReloadMessage = RegisterNamedMessage(CONFIG_RELOAD_MESSAGE_NAME);
    exitMessage = RegisterNamedMessage(EXIT_MESSAGE_NAME);
}
