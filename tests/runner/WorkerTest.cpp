#include "client/ProcessWatch.h"
#include "contracts/ControlMessages.h"
#include "runner/RunnerSeams.h"
#include "runner/SharedState.h"
#include "runner/Worker.h"
#include "tests/runner/RunnerHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/StandIn.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Report = std::tuple<UINT, WPARAM, LPARAM>;

WPARAM State(int state) { return static_cast<WPARAM>(static_cast<INT_PTR>(state)); }

class WorkerTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (worker_) {
            PostThreadMessageW(workerId_, WM_EXIT_REQUEST, 0, 0);
            WaitForSingleObject(worker_.get(), 10000);
        }
        if (recorder.mirrorGate) CloseHandle(recorder.mirrorGate);
    }
    void Start()
    {
        worker_.reset(StartWorker(window_.get(), &workerId_));
        ASSERT_TRUE(worker_);
    }
    void Request(UINT message, WPARAM wParam = 0) { PostThreadMessageW(workerId_, message, wParam, 0); }
    // Collects reports until one with the given number arrives (or 10 s pass).
    std::vector<Report> ReportsUntil(UINT last)
    {
        EXPECT_TRUE(PumpLoopUntil(nullptr, &pump_, [&] {
            for (const MSG& m : pump_.reports)
                if (m.message == last) return true;
            return false;
        }));
        std::vector<Report> reports;
        for (const MSG& m : pump_.reports) {
            EXPECT_EQ(m.hwnd, window_.get());
            reports.emplace_back(m.message, m.wParam, m.lParam);
        }
        pump_.reports.clear();
        return reports;
    }
    bool Ended() { return WaitForSingleObject(worker_.get(), 10000) == WAIT_OBJECT_0; }

    // First in, last out: the real calls come back only after TearDown has stopped the
    // worker that reads them. A test that fakes one more entry writes it straight into
    // the table before Start, and this puts it back with the rest.
    ScopedSeams<RunnerSeams> recording_ = InstallRecorders();
    TestWindow window_;
    UniqueHandle worker_;
    DWORD workerId_ = 0;
    PumpState pump_;
};

TEST_F(WorkerTest, ServesRequestsPostedAtOnceInOrder)
{
    recorder.clientState = 1;
    Start();
    // Posted the moment StartWorker returns, before the worker's set-up has run.
    Request(WM_BACKUP_REQUEST, REQUEST_MANUAL);
    Request(WM_CHECK_CLIENT);
    Request(1027);
    Request(WM_BACKUP_REQUEST, REQUEST_MISSED);
    Request(1124);
    Request(WM_CHECK_CLIENT);
    Request(WM_EXIT_REQUEST);
    Request(WM_BACKUP_REQUEST); // behind the exit: never served
    std::vector<Report> reports = ReportsUntil(WM_WORKER_ENDED);
    std::vector<Report> expected = {
        {WM_BACKUP_STARTED, 1, 0}, {WM_BACKUP_DONE, 0, 1}, {WM_CLIENT_STATE, 1, 0},
        {WM_BACKUP_STARTED, 1, 0}, {WM_BACKUP_DONE, 0, 1}, {WM_CLIENT_STATE, 1, 0},
        {WM_WORKER_ENDED, WORKER_STOPPED, 0},
    };
    EXPECT_EQ(reports, expected);
    EXPECT_TRUE(Ended());
    std::vector<MirrorCall> runs = RecordedMirrors();
    ASSERT_EQ(runs.size(), 2u);
    for (const MirrorCall& run : runs) {
        EXPECT_EQ(run.source, L"C:\\QQ data"); // one trailing separator removed
        EXPECT_EQ(run.tool, L"C:\\stand-in\\robocopy.exe");
        EXPECT_NE(run.target.find(L"Backup_Data\\"), std::wstring::npos);
        EXPECT_NE(run.log.find(L"logs.txt"), std::wstring::npos);
        EXPECT_FALSE(run.append);
        EXPECT_EQ(run.busyDuringRun, 1);
    }
    EXPECT_EQ(recorder.processChecks, 2);
    EXPECT_EQ(ReadBackupBusy(), 0);
}

TEST_F(WorkerTest, BusyBetweenStartedAndDoneAndChecksWaitForTheRun)
{
    recorder.mirrorGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    recorder.clientState = -1;
    Start();
    Request(WM_BACKUP_REQUEST);
    EXPECT_EQ(ReportsUntil(WM_BACKUP_STARTED), std::vector<Report>{Report(WM_BACKUP_STARTED, 1, 0)});
    EXPECT_EQ(ReadBackupBusy(), 1);
    Request(WM_CHECK_CLIENT);
    Request(WM_CHECK_CLIENT);
    SetEvent(recorder.mirrorGate);
    std::vector<Report> expected = {
        {WM_BACKUP_DONE, 0, 1}, {WM_CLIENT_STATE, State(-1), 0}, {WM_CLIENT_STATE, State(-1), 0}};
    std::vector<Report> reports = ReportsUntil(WM_CLIENT_STATE);
    if (reports.size() < 3) {
        std::vector<Report> more = ReportsUntil(WM_CLIENT_STATE);
        reports.insert(reports.end(), more.begin(), more.end());
    }
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(ReadBackupBusy(), 0);
}

TEST_F(WorkerTest, JobOutcomes)
{
    struct Case {
        const char* what;
        bool toolIntact;
        int result, status;
        std::vector<Report> expected;
        size_t runs;
    } cases[] = {
        {"tool damaged", false, 0, 1, {{WM_BACKUP_DONE, 1, FAIL_TOOL_DAMAGED}}, 0},
        {"not started", true, 1, RUN_NOT_STARTED,
         {{WM_BACKUP_STARTED, 1, 0}, {WM_BACKUP_DONE, 1, RUN_NOT_STARTED}}, 1},
        {"tool failed", true, 1, RUN_TOOL_FAILED,
         {{WM_BACKUP_STARTED, 1, 0}, {WM_BACKUP_DONE, 1, RUN_TOOL_FAILED}}, 1},
    };
    Start();
    size_t runsBefore = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        recorder.toolIntact = c.toolIntact;
        recorder.mirrorResult = c.result;
        recorder.mirrorStatus = c.status;
        WriteBackupBusy(1); // a failed job clears the flag even though it never set it
        Request(WM_BACKUP_REQUEST, REQUEST_SCHEDULED);
        EXPECT_EQ(ReportsUntil(WM_BACKUP_DONE), c.expected);
        EXPECT_EQ(ReadBackupBusy(), 0);
        size_t runs = RecordedMirrors().size();
        EXPECT_EQ(runs - runsBefore, c.runs);
        runsBefore = runs;
    }
}

TEST_F(WorkerTest, NoChatDataEndsTheWorkerAndDropsItsQueue)
{
    recorder.chatDataFound = false;
    Start();
    Request(WM_BACKUP_REQUEST);
    Request(WM_CHECK_CLIENT);
    EXPECT_EQ(ReportsUntil(WM_WORKER_ENDED),
              std::vector<Report>{Report(WM_WORKER_ENDED, WORKER_NO_DATA_DIR, 0)});
    EXPECT_TRUE(Ended());
    EXPECT_TRUE(RecordedMirrors().empty());
    EXPECT_EQ(recorder.processChecks, 0);
}

// A request that got past the main loop before the session began to end (start-up posts
// its own straight to the worker, and one may wait behind a run) starts no job once the
// end is asked for. It is answered as a job that neither ran nor failed (wParam 2), which
// the main loop shows nothing for and which leaves the icon's last outcome: were the end
// called off, nothing had failed. Called off, jobs run again.
TEST_F(WorkerTest, NoJobStartsWhileTheSessionEnds)
{
    Start();
    SessionEndAsked session;
    ASSERT_TRUE(session.asked());
    Request(WM_BACKUP_REQUEST, REQUEST_MISSED);
    EXPECT_EQ(ReportsUntil(WM_BACKUP_DONE), std::vector<Report>{Report(WM_BACKUP_DONE, 2, RUN_NOT_STARTED)});
    EXPECT_TRUE(RecordedMirrors().empty());
    EXPECT_EQ(ReadBackupBusy(), 0);

    session.CallOff();
    Request(WM_BACKUP_REQUEST, REQUEST_MISSED);
    std::vector<Report> ran = {{WM_BACKUP_STARTED, 1, 0}, {WM_BACKUP_DONE, 0, 1}};
    EXPECT_EQ(ReportsUntil(WM_BACKUP_DONE), ran);
    EXPECT_EQ(RecordedMirrors().size(), 1u);
}

// The real process check keeps the process it found open; the worker lets it go as it
// ends.
TEST_F(WorkerTest, LetsTheKeptClientProcessGoAsItEnds)
{
    ScratchDir scratch;
    std::wstring exe = CopyStandIn(scratch.path(), L"WatchedByWorker.exe");
    ASSERT_FALSE(exe.empty());
    std::optional<StandInGroup> client(std::in_place); // gone once ended: it keeps nothing
    ASSERT_TRUE(client->Start(exe));
    DWORD clientId = client->LastId();
    runnerSeams.isProcessRunning = [](const wchar_t*) { return IsProcessRunning(L"WatchedByWorker.exe"); };
    Start();
    Request(WM_CHECK_CLIENT);
    ASSERT_EQ(ReportsUntil(WM_CLIENT_STATE), std::vector<Report>{Report(WM_CLIENT_STATE, 1, 0)});
    EXPECT_TRUE(client->EndAll());
    client.reset();
    EXPECT_FALSE(ProcessObjectGoes(clientId, 1500)) << "kept while the worker serves";
    Request(WM_EXIT_REQUEST);
    EXPECT_EQ(ReportsUntil(WM_WORKER_ENDED), std::vector<Report>{Report(WM_WORKER_ENDED, WORKER_STOPPED, 0)});
    EXPECT_TRUE(Ended());
    EXPECT_TRUE(ProcessObjectGoes(clientId, 5000));
}

// One backup request served by a worker in a program copied elsewhere, so that the real
// slot choice sees that copy's Backup_Data. Prints each report as "number wParam lParam".
KESTOVA_CHILD(worker_job)
{
    ScopedSeams<RunnerSeams> recording = InstallRecorders();
    TestWindow window;
    DWORD id = 0;
    HANDLE worker = StartWorker(window.get(), &id);
    if (!worker) return 2;
    PostThreadMessageW(id, WM_BACKUP_REQUEST, REQUEST_MANUAL, 0);
    PostThreadMessageW(id, WM_EXIT_REQUEST, 0, 0);
    PumpState pump;
    PumpLoopUntil(nullptr, &pump, [&] { return !pump.reports.empty() && pump.reports.back().message == WM_WORKER_ENDED; });
    for (const MSG& m : pump.reports)
        std::printf("%u %d %d\n", m.message, static_cast<int>(m.wParam), static_cast<int>(m.lParam));
    WaitForSingleObject(worker, 10000);
    CloseHandle(worker);
    for (const MirrorCall& run : RecordedMirrors()) std::printf("target %s\n", Narrow(run.target).c_str());
    return 0;
}

TEST(WorkerSlot, IncrementalWhenTheSlotHoldsEntries)
{
    ScratchDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"Backup_Data\\1\\old.txt", "x"));
    for (int n = 2; n <= 5; ++n) ASSERT_TRUE(MakeDirs(dir / (L"Backup_Data\\" + std::to_wstring(n))));
    ASSERT_TRUE(MakeDirs(dir / L"prog"));
    std::wstring exe = CopySelfTo(dir / L"prog", L"runner_test.exe");
    ASSERT_FALSE(exe.empty());
    ChildResult r = RunChild(exe, L"worker_job", {});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    std::string target = "target " + Narrow(dir / L"Backup_Data\\1") + "\r\n";
    EXPECT_EQ(r.output, "1030 0 0\r\n1029 0 1\r\n1032 0 0\r\n" + target);
}

TEST(WorkerSlot, NoSlotFromADriveRoot)
{
    const char* drive = std::getenv("KESTOVA_TEST_ROOT_DRIVE");
    if (!drive) GTEST_SKIP() << "no empty drive for a program in a drive's root";
    std::wstring root = std::wstring(drive, drive + std::strlen(drive)) + L"\\";
    std::wstring name = L"runner_test_" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    std::wstring exe = CopySelfTo(root, name);
    ASSERT_FALSE(exe.empty());
    ChildResult r = RunChild(exe, L"worker_job", {});
    DeleteFileW(exe.c_str());
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.output, "1029 1 7\r\n1032 0 0\r\n");
}

} // namespace
