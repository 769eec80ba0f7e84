#include "tools/robocopy/CallPool.h"

namespace {

// The calls need little stack; a reservation keeps the pool's footprint small.
constexpr SIZE_T POOL_THREAD_STACK_BYTES = 256 * 1024;

} // namespace

CallPool::CallPool(unsigned threads)
{
    for (unsigned k = 0; k < threads; ++k) {
        UniqueHandle t(CreateThread(nullptr, POOL_THREAD_STACK_BYTES, ThreadMain, this,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!t) break;
        threads_.push_back(std::move(t));
    }
}

CallPool::~CallPool()
{
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&work_);
    for (UniqueHandle& t : threads_) WaitForSingleObject(t.get(), INFINITE);
}

void CallPool::Add(Call call, void* context)
{
    if (threads_.empty()) {
        call(context);
        return;
    }
    AcquireSRWLockExclusive(&lock_);
    queue_.push_back({call, context});
    ++outstanding_;
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&work_);
}

void CallPool::WaitIdle()
{
    AcquireSRWLockExclusive(&lock_);
    while (outstanding_ > 0) SleepConditionVariableSRW(&idle_, &lock_, INFINITE, 0);
    ReleaseSRWLockExclusive(&lock_);
}

DWORD WINAPI CallPool::ThreadMain(void* self)
{
    CallPool& pool = *static_cast<CallPool*>(self);
    AcquireSRWLockExclusive(&pool.lock_);
    for (;;) {
        // The queue is drained before a stop is obeyed, so no queued call is dropped.
        while (pool.queue_.empty() && !pool.stopping_) SleepConditionVariableSRW(&pool.work_, &pool.lock_, INFINITE, 0);
        if (pool.queue_.empty()) break;
        Queued next = pool.queue_.front();
        pool.queue_.pop_front();
        ReleaseSRWLockExclusive(&pool.lock_);
        next.call(next.context);
        AcquireSRWLockExclusive(&pool.lock_);
        if (--pool.outstanding_ == 0) WakeAllConditionVariable(&pool.idle_);
    }
    ReleaseSRWLockExclusive(&pool.lock_);
    return 0;
}
