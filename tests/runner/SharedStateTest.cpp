#include "contracts/ControlMessages.h"
#include "runner/SharedState.h"

#include <gtest/gtest.h>

namespace {

struct Contender {
    volatile LONG inside = 0;    // holders inside the lock at once
    volatile LONG collisions = 0;
    volatile LONG attempting = 0;
    DWORD acquiredAt = 0;
};

DWORD WINAPI Hammer(LPVOID param)
{
    auto* c = static_cast<Contender*>(param);
    for (int i = 0; i < 20; ++i) {
        AcquireStateLock();
        if (InterlockedIncrement(&c->inside) != 1) InterlockedIncrement(&c->collisions);
        SwitchToThread(); // invite the other thread in while the lock is held
        InterlockedDecrement(&c->inside);
        ReleaseStateLock();
        SwitchToThread();
    }
    return 0;
}

TEST(StateLock, TwoThreadsNeverHoldItTogether)
{
    ResetStateLock();
    Contender c;
    HANDLE threads[2];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, Hammer, &c, 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE t : threads) CloseHandle(t);
    EXPECT_EQ(c.collisions, 0);
}

DWORD WINAPI TakeOnce(LPVOID param)
{
    auto* c = static_cast<Contender*>(param);
    InterlockedExchange(&c->attempting, 1);
    AcquireStateLock();
    c->acquiredAt = GetTickCount();
    ReleaseStateLock();
    return 0;
}

TEST(StateLock, WaiterTakesItWithinOnePollAfterRelease)
{
    ResetStateLock();
    AcquireStateLock();
    Contender c;
    HANDLE thread = CreateThread(nullptr, 0, TakeOnce, &c, 0, nullptr);
    // While the lock is held the other thread must stay out of it.
    EXPECT_EQ(WaitForSingleObject(thread, 350), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(c.attempting, 1);
    DWORD releasedAt = GetTickCount();
    ReleaseStateLock();
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    // One 100 ms poll, with room for a loaded machine.
    EXPECT_LE(c.acquiredAt - releasedAt, 400u);
}

TEST(StateLock, ResetFreesAHeldLock)
{
    AcquireStateLock();
    ResetStateLock();
    WriteBackupBusy(1); // would wait forever on a held lock
    EXPECT_EQ(ReadBackupBusy(), 1);
    WriteBackupBusy(0);
}

TEST(ControlMessages, FailedRegistrationFallsBackTo1025)
{
    EXPECT_EQ(RegisteredOrFallback(0), 1025u);
    EXPECT_EQ(RegisteredOrFallback(0xC123), 0xC123u);
    RegisterControlMessages();
    EXPECT_GE(configReloadMessage, 0xC000u);
    EXPECT_GE(exitMessage, 0xC000u);
    EXPECT_NE(configReloadMessage, exitMessage);
    EXPECT_EQ(configReloadMessage, RegisterWindowMessageW(L"Kestova_Config_Reload"));
    EXPECT_EQ(exitMessage, RegisterWindowMessageW(L"Kestova_Brannet_Exit"));
}

} // namespace
