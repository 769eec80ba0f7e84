#include "base/ScopedWin.h"
#include "contracts/ControlMessages.h"
#include "runner/SharedState.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

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

// Threads that work on a Contender of the test's stack. Declared after it, so the owner
// goes first: a thread still running then (a test that ended on a failed wait) is ended
// and waited for before the Contender goes. Ending them is safe, as they hold nothing but
// the state lock; that one may stay taken, so it is freed for the tests after.
class ContenderThreads {
public:
    ContenderThreads(int count, LPTHREAD_START_ROUTINE body, Contender* c)
    {
        for (int n = 0; n < count; ++n) {
            threads_.emplace_back(CreateThread(nullptr, 0, body, c, 0, nullptr));
            handles_.push_back(threads_.back().get());
        }
    }
    ~ContenderThreads()
    {
        bool ended = false;
        for (const UniqueHandle& t : threads_) {
            if (!t || WaitForSingleObject(t.get(), 0) != WAIT_TIMEOUT) continue;
            TerminateThread(t.get(), 1);
            WaitForSingleObject(t.get(), INFINITE);
            ended = true;
        }
        if (ended) ResetStateLock();
    }
    ContenderThreads(const ContenderThreads&) = delete;
    ContenderThreads& operator=(const ContenderThreads&) = delete;

    // Waits for all of them to end; WAIT_FAILED when one could not be started.
    DWORD Wait(DWORD timeoutMs) const
    {
        return WaitForMultipleObjects(static_cast<DWORD>(handles_.size()), handles_.data(), TRUE, timeoutMs);
    }

private:
    std::vector<UniqueHandle> threads_;
    std::vector<HANDLE> handles_;
};

TEST(StateLock, TwoThreadsNeverHoldItTogether)
{
    ResetStateLock();
    Contender c;
    ContenderThreads threads(2, Hammer, &c);
    ASSERT_EQ(threads.Wait(60000), WAIT_OBJECT_0);
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
    ContenderThreads thread(1, TakeOnce, &c);
    // While the lock is held the other thread must stay out of it.
    EXPECT_EQ(thread.Wait(350), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(c.attempting, 1);
    DWORD releasedAt = GetTickCount();
    ReleaseStateLock();
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    // One 100 ms poll, with room for a loaded machine.
    EXPECT_LE(c.acquiredAt - releasedAt, 400u);
}

// A reset that does not free the lock shows as a hang, so this runs in a child that the
// deadline ends, instead of holding the whole program until its hang watch fires.
KESTOVA_CHILD(reset_frees_held_lock)
{
    AcquireStateLock();
    ResetStateLock();
    WriteBackupBusy(1); // would wait forever on a held lock
    LONG busy = ReadBackupBusy();
    WriteBackupBusy(0);
    if (busy != 1) std::printf("backupBusy %ld after writing 1\n", static_cast<long>(busy));
    return busy == 1 ? 0 : 1;
}

TEST(StateLock, ResetFreesAHeldLock)
{
    ChildResult r = RunChild(CurrentExePath(), L"reset_frees_held_lock", {}, 20000);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut) << "the lock stayed held after the reset";
    EXPECT_EQ(r.exitCode, 0u) << r.output;
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
