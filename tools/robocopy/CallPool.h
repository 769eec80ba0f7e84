// A few threads of the tool's own that run queued calls, for work that spends its time
// waiting on the file system rather than moving data.
#pragma once

#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <deque>
#include <vector>

class CallPool {
public:
    using Call = void (*)(void* context);

    // Starts up to threads threads. When none can be started, Add runs each call itself.
    explicit CallPool(unsigned threads);
    // Lets the queued calls finish, then ends the threads.
    ~CallPool();
    CallPool(const CallPool&) = delete;
    CallPool& operator=(const CallPool&) = delete;

    // Queues call(context). context must stay valid until WaitIdle returns.
    void Add(Call call, void* context);
    // Returns once every call added so far has returned.
    void WaitIdle();

private:
    struct Queued {
        Call call;
        void* context;
    };
    static DWORD WINAPI ThreadMain(void* self);

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE work_ = CONDITION_VARIABLE_INIT; // signalled when a call is queued or stopping_ is set
    CONDITION_VARIABLE idle_ = CONDITION_VARIABLE_INIT; // signalled when the last outstanding call returns
    std::deque<Queued> queue_;  // under lock_; written by Add, taken by the pool threads
    unsigned outstanding_ = 0;  // under lock_; queued or running calls
    bool stopping_ = false;     // under lock_; written by the destructor
    std::vector<UniqueHandle> threads_; // the owner's thread only
};
