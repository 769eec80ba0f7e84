// Entry of every test program: either a registered child body, or the test suite.
#include "tests/support/ChildProcess.h"

#include "base/ScopedWin.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// No test here runs longer than a few tens of seconds, each of its waits bounded well
// below this. One that runs on past it has hung: the watch then names it on the last
// lines of the output and ends the program with a failure, instead of leaving the runner
// to kill the whole program at its own timeout with the name somewhere in a long log.
// KESTOVA_HUNG_TEST_SECONDS sets another limit.
constexpr DWORD HUNG_TEST_MS = 150000;
constexpr int EXIT_HUNG = 124;

class HangWatch : public testing::EmptyTestEventListener {
public:
    HangWatch() : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        wchar_t seconds[16] = {};
        DWORD n = GetEnvironmentVariableW(L"KESTOVA_HUNG_TEST_SECONDS", seconds, ARRAYSIZE(seconds));
        if (n > 0 && n < ARRAYSIZE(seconds) && _wtoi(seconds) > 0) limitMs_ = static_cast<DWORD>(_wtoi(seconds)) * 1000;
        if (stop_) thread_.reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
    }
    ~HangWatch() override
    {
        if (thread_) {
            SetEvent(stop_.get());
            WaitForSingleObject(thread_.get(), INFINITE);
        }
    }
    HangWatch(const HangWatch&) = delete;
    HangWatch& operator=(const HangWatch&) = delete;

    void OnTestStart(const testing::TestInfo& info) override
    {
        AcquireSRWLockExclusive(&lock_);
        name_ = std::string(info.test_suite_name()) + "." + info.name();
        started_ = GetTickCount64();
        ReleaseSRWLockExclusive(&lock_);
    }
    void OnTestEnd(const testing::TestInfo&) override
    {
        AcquireSRWLockExclusive(&lock_);
        name_.clear();
        ReleaseSRWLockExclusive(&lock_);
    }

private:
    static DWORD WINAPI Watch(LPVOID self)
    {
        static_cast<HangWatch*>(self)->Run();
        return 0;
    }
    void Run()
    {
        while (WaitForSingleObject(stop_.get(), 1000) == WAIT_TIMEOUT) {
            AcquireSRWLockExclusive(&lock_);
            bool hung = !name_.empty() && GetTickCount64() - started_ > limitMs_;
            std::string name = name_;
            ReleaseSRWLockExclusive(&lock_);
            if (!hung) continue;
            // The hung thread may hold any lock, the C library's stream locks too: the line
            // goes straight to the standard error handle (the test framework flushes its
            // own output after every line), and nothing of the process's own is run after.
            char line[512];
            int length = snprintf(line, sizeof line, "\n[  HUNG    ] %s has run for more than %lu s; the program ends here\n",
                                  name.c_str(), static_cast<unsigned long>(limitMs_ / 1000));
            DWORD written = 0;
            if (length > 0)
                WriteFile(GetStdHandle(STD_ERROR_HANDLE), line,
                          static_cast<DWORD>(length < static_cast<int>(sizeof line) ? length : sizeof line - 1), &written,
                          nullptr);
            TerminateProcess(GetCurrentProcess(), EXIT_HUNG);
        }
    }

    UniqueHandle stop_;
    UniqueHandle thread_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::string name_;
    ULONGLONG started_ = 0;
    DWORD limitMs_ = HUNG_TEST_MS;
};

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int status = 0;
    if (RunChildIfRequested(argc, argv, &status)) return status;
    testing::InitGoogleMock(&argc, argv);
    // The listener list owns the watch and ends it with the program.
    testing::UnitTest::GetInstance()->listeners().Append(new HangWatch);
    return RUN_ALL_TESTS();
}
