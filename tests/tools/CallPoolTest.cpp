// The copy tool's pool of threads for calls that wait on the file system.
#include "tools/robocopy/CallPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

struct Counted {
    std::atomic<unsigned>* calls;
    unsigned runs = 0; // written by the one call made for this record
    DWORD sleepMs = 0;
};

void CountCall(void* context)
{
    Counted& c = *static_cast<Counted*>(context);
    if (c.sleepMs) Sleep(c.sleepMs);
    c.runs++;
    (*c.calls)++;
}

// Round after round, as the walk uses it (a batch per directory, then a wait): every call
// runs exactly once, and the wait returns only when the round's last call has returned.
TEST(CallPool, RunsEveryCallOnceAndWaitsForTheRound)
{
    struct Case {
        unsigned threads;
        unsigned perRound;
    } cases[] = {{1, 1}, {4, 3}, {4, 200}, {16, 50}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, " << c.perRound << " calls a round");
        std::atomic<unsigned> calls{0};
        CallPool pool(c.threads);
        for (unsigned round = 0; round < 20; ++round) {
            std::vector<Counted> batch(c.perRound, Counted{&calls, 0, round % 5 == 0 ? 1u : 0u});
            for (Counted& one : batch) pool.Add(CountCall, &one);
            pool.WaitIdle();
            ASSERT_EQ(calls.load(), (round + 1) * c.perRound);
            for (const Counted& one : batch) ASSERT_EQ(one.runs, 1u);
        }
        pool.WaitIdle(); // nothing outstanding: returns at once
    }
}

// Calls still queued when the pool goes away are made before its threads end.
TEST(CallPool, FinishesQueuedCallsWhenDestroyed)
{
    std::atomic<unsigned> calls{0};
    std::vector<Counted> batch(40, Counted{&calls, 0, 2});
    {
        CallPool pool(2);
        for (Counted& one : batch) pool.Add(CountCall, &one);
    }
    EXPECT_EQ(calls.load(), 40u);
    for (const Counted& one : batch) EXPECT_EQ(one.runs, 1u);
}

} // namespace
