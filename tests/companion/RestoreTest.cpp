// The restore engine in process, its slow and outside calls replaced: every step is made
// to fail in turn, and the live history must come out of each failure untouched.
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "companion/CompanionTexts.h"
#include "companion/Restore.h"
#include "companion/SlotList.h"
#include "tests/companion/CompanionHarness.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/StrictFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the fakes do; one instance per test, reached through file-scope pointers because
// the seams are plain function pointers.
struct World {
    std::wstring dataDir;
    int clientState = 0;            // answer for QQ.exe before the copy
    int clientStateAfterCopy = 0;   // ...and once the copy has run
    bool copied = false;
    int stopResult = STOP_ENDED;
    bool copyFails = false;         // the tool reports failure after a partial copy
    bool copyIncomplete = false;    // the tool reports success after a partial copy
    std::set<int> failingMoves;     // 1-based numbers of moveDirectory calls that fail
    int moves = 0;
    std::vector<std::wstring> started;
    bool startSucceeds = true;
    CompanionFolder* folder = nullptr;
    void (*duringStop)(World* w) = nullptr; // what happens while the runner quits
    HANDLE refused = nullptr;       // set by TableMove when a rename is refused
};
World* world = nullptr;

int FakeIsProcessRunning(const wchar_t*) { return world->copied ? world->clientStateAfterCopy : world->clientState; }
bool FakeLocate(wchar_t* directory, size_t capacity)
{
    if (world->dataDir.size() + 1 > capacity) return false;
    wcscpy(directory, world->dataDir.c_str());
    return true;
}
int FakeStopRunner(DWORD, StopProgress, void*, wchar_t* runnerPath, size_t capacity)
{
    if (runnerPath && capacity) runnerPath[0] = L'\0';
    if (world->duringStop) world->duringStop(world);
    return world->stopResult;
}
bool FakeCopy(const wchar_t* tool, const wchar_t* source, const wchar_t* target, const wchar_t* dir)
{
    world->copied = true;
    if (!world->copyFails && !world->copyIncomplete) return RealRestoreSeams().runCopy(tool, source, target, dir);
    WriteBytes(std::wstring(target) + L"\\12345\\Msg2.0.db", "partial");
    return world->copyIncomplete;
}
bool FakeMove(const wchar_t* from, const wchar_t* to)
{
    if (world->failingMoves.count(++world->moves)) {
        SetLastError(ERROR_WRITE_PROTECT); // a refusal that no wait mends
        return false;
    }
    return MoveFileExW(from, to, 0) != 0;
}
// The real rename, through the file-call table and whatever layer is in force there.
bool TableMove(const wchar_t* from, const wchar_t* to)
{
    bool moved = RealRestoreSeams().moveDirectory(from, to);
    DWORD error = GetLastError();
    if (!moved && world->refused) SetEvent(world->refused);
    SetLastError(error);
    return moved;
}
bool FakeStart(const wchar_t* path, const wchar_t*)
{
    world->started.push_back(path);
    return world->startSucceeds;
}

// A program folder of its own for one case of a table, slot 2 filled, and a World of its
// own in force while it lives (the one before comes back after it).
struct CaseFolder {
    CaseFolder() : previous(world)
    {
        folder.FillSlot(2, "two");
        live = Snapshot(folder.data());
        w.dataDir = folder.data();
        w.folder = &folder;
        world = &w;
    }
    ~CaseFolder() { world = previous; }
    CaseFolder(const CaseFolder&) = delete;
    CaseFolder& operator=(const CaseFolder&) = delete;

    CompanionFolder folder;
    TreeSnapshot live; // the data folder as it was made
    World w;
    World* previous;
};

class RestoreEngine : public testing::Test {
protected:
    void SetUp() override
    {
        world = &world_;
        world_.dataDir = folder_.data();
        folder_.FillSlot(2, "two");
        live_ = Snapshot(folder_.data());
        ASSERT_FALSE(live_.empty());
    }
    void TearDown() override { world = nullptr; }
    RestoreJob Job(int slot) { return RestoreJob{folder_.app().c_str(), slot, 1000, nullptr, nullptr}; }

    CompanionFolder folder_;
    World world_;
    ScopedSeams<RestoreSeams> fakes_{&restoreSeams, [](RestoreSeams& seams) {
        seams = RestoreSeams{FakeIsProcessRunning, FakeLocate, FakeStopRunner, FakeCopy, FakeMove, FakeStart, 2000};
    }};
    TreeSnapshot live_;
    RestoreOutcome outcome_{};
};

TEST_F(RestoreEngine, RestoresTheSlotAndUndoSwapsBack)
{
    TreeSnapshot slot = Snapshot(folder_.slot(2));
    ASSERT_EQ(RunRestore(Job(2), &outcome_), RESTORE_DONE);
    EXPECT_EQ(Snapshot(folder_.data()), slot);
    EXPECT_EQ(Snapshot(folder_.slot(2)), slot);
    std::wstring aside = outcome_.asideDir;
    EXPECT_EQ(aside, folder_.FindSibling(L"before-restore"));
    EXPECT_EQ(Snapshot(aside), live_);
    EXPECT_EQ(folder_.SiblingCount(), 1); // no copy left over
    ASSERT_EQ(world_.started.size(), 1u);  // the runner ran before: started again
    EXPECT_EQ(world_.started[0], folder_.app() + L"\\Kestova.exe");

    wchar_t dataDir[PATH_CAPACITY], asideDir[PATH_CAPACITY];
    ASSERT_TRUE(ReadUndoRecord(folder_.app().c_str(), dataDir, asideDir, PATH_CAPACITY));
    EXPECT_EQ(std::wstring(dataDir), folder_.data());
    EXPECT_EQ(std::wstring(asideDir), aside);

    // The user goes on with QQ after the restore; undo keeps that too, aside.
    WriteBytes(folder_.data() + L"\\12345\\new.txt", "written after the restore");
    TreeSnapshot restored = Snapshot(folder_.data());
    ASSERT_EQ(UndoLastRestore(Job(0), &outcome_), RESTORE_DONE);
    EXPECT_EQ(Snapshot(folder_.data()), live_);
    EXPECT_EQ(Snapshot(outcome_.asideDir), restored);
    EXPECT_FALSE(PathExists(aside));
    EXPECT_FALSE(ReadUndoRecord(folder_.app().c_str(), dataDir, asideDir, PATH_CAPACITY));
    EXPECT_EQ(UndoLastRestore(Job(0), &outcome_), RESTORE_NOTHING_TO_UNDO);
}

// Links in a slot, to another generation or to a file outside the store.
DWORD LinkCount(const std::wstring& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    return file && GetFileInformationByHandle(file.get(), &info) ? info.nNumberOfLinks : 0;
}

// The restore copies, never links: QQ writes into its live history, and a file shared
// with a slot would carry those writes into a generation.
TEST_F(RestoreEngine, RestoredFilesHaveOneLinkWhateverTheSlotsFilesHave)
{
    const std::wstring shared = L"\\12345\\Msg2.0.db";
    ASSERT_TRUE(MakeDirs(folder_.slot(1) + L"\\12345"));
    ASSERT_TRUE(CreateHardLinkW((folder_.slot(1) + shared).c_str(), (folder_.slot(2) + shared).c_str(), nullptr));
    ASSERT_EQ(LinkCount(folder_.slot(2) + shared), 2u);

    ASSERT_EQ(RunRestore(Job(2), &outcome_), RESTORE_DONE);
    EXPECT_EQ(Snapshot(folder_.data()), Snapshot(folder_.slot(2)));
    for (const wchar_t* file : {L"\\12345\\Msg2.0.db", L"\\12345\\Image\\b.png"}) {
        SCOPED_TRACE(Narrow(file));
        EXPECT_EQ(LinkCount(folder_.data() + file), 1u);
    }
    EXPECT_EQ(LinkCount(folder_.slot(2) + shared), 2u);
}

TEST_F(RestoreEngine, EveryFailureLeavesTheLiveHistoryIntact)
{
    struct Case {
        const char* name;
        int slot;
        void (*arrange)(World* w, CompanionFolder* f);
        int status;
        bool runnerRestarted; // the runner was stopped, so it must run again
    } cases[] = {
        {"QQ running", 2, [](World* w, CompanionFolder*) { w->clientState = 1; }, RESTORE_CLIENT_RUNNING, false},
        {"process list unreadable", 2, [](World* w, CompanionFolder*) { w->clientState = -1; },
         RESTORE_CLIENT_RUNNING, false},
        {"runner does not quit", 2, [](World* w, CompanionFolder*) { w->stopResult = STOP_TIMED_OUT; },
         RESTORE_RUNNER_STILL_RUNNING, false},
        {"empty slot", 3, [](World*, CompanionFolder*) {}, RESTORE_EMPTY_SLOT, false},
        {"slot with folders only", 4, [](World*, CompanionFolder* f) { MakeDirs(f->slot(4) + L"\\a\\b"); },
         RESTORE_EMPTY_SLOT, false},
        {"no data folder found", 2, [](World* w, CompanionFolder*) { w->dataDir = L"Z:\\no\\such\\parent\\Users"; },
         RESTORE_NO_DATA_DIR, false},
        {"copy tool missing", 2, [](World*, CompanionFolder* f) { DeleteFileW((f->app() + L"\\robocopy.exe").c_str()); },
         RESTORE_COPY_FAILED, false},
        {"copy fails", 2, [](World* w, CompanionFolder*) { w->copyFails = true; }, RESTORE_COPY_FAILED, true},
        {"copy incomplete", 2, [](World* w, CompanionFolder*) { w->copyIncomplete = true; }, RESTORE_COPY_FAILED, true},
        {"QQ started during the copy", 2, [](World* w, CompanionFolder*) { w->clientStateAfterCopy = 1; },
         RESTORE_CLIENT_RUNNING, true},
        {"set aside fails", 2, [](World* w, CompanionFolder*) { w->failingMoves = {1}; }, RESTORE_SET_ASIDE_FAILED, true},
        {"swap fails", 2, [](World* w, CompanionFolder*) { w->failingMoves = {2}; }, RESTORE_SWAP_FAILED, true},
        // The runner finishes a backup into the chosen slot before it quits.
        {"slot stamped anew while the runner quits", 2,
         [](World* w, CompanionFolder*) {
             w->duringStop = [](World* w) {
                 WriteBytes(w->folder->config(), "[Target2]\r\nEnded=Mon Mar 15 10:00:00 2010\r\n");
             };
         },
         RESTORE_SLOT_CHANGED, true},
        {"slot file rewritten by a failed backup", 2,
         [](World* w, CompanionFolder*) {
             w->duringStop = [](World* w) {
                 std::wstring file = w->folder->slot(2) + L"\\12345\\Msg2.0.db";
                 WriteBytes(file, "slot messages TWO"); // the same size
                 UniqueHandle h(CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
                 FILETIME old{0, 0x01C00000};
                 SetFileTime(h.get(), nullptr, nullptr, &old);
             };
         },
         RESTORE_SLOT_CHANGED, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CaseFolder one;
        CompanionFolder& folder = one.folder;
        World& w = one.w;
        const TreeSnapshot& live = one.live;
        c.arrange(&w, &folder);
        RestoreOutcome outcome{};
        EXPECT_EQ(RunRestore(RestoreJob{folder.app().c_str(), c.slot, 1000, nullptr, nullptr}, &outcome), c.status);
        EXPECT_EQ(Snapshot(folder.data()), live);
        EXPECT_EQ(folder.SiblingCount(), 0); // neither a partial copy nor a set-aside folder
        EXPECT_EQ(w.started.size(), c.runnerRestarted ? 1u : 0u);
        wchar_t a[PATH_CAPACITY], b[PATH_CAPACITY];
        EXPECT_FALSE(ReadUndoRecord(folder.app().c_str(), a, b, PATH_CAPACITY));
    }
}

TEST_F(RestoreEngine, SwapAndItsUndoFailingLeaveTheHistoryWholeAside)
{
    world_.failingMoves = {2, 3};
    ASSERT_EQ(RunRestore(Job(2), &outcome_), RESTORE_SWAP_UNDO_FAILED);
    EXPECT_EQ(std::wstring(outcome_.asideDir), folder_.FindSibling(L"before-restore"));
    EXPECT_EQ(Snapshot(outcome_.asideDir), live_);
    EXPECT_FALSE(PathExists(folder_.data()));
    EXPECT_EQ(world_.started.size(), 1u);
}

// Windows refuses to rename a folder while a file under it is open, and an indexer, a
// virus scanner or a helper of QQ's may hold one in the live history (or in the restored
// one, for an undo). The swap waits for the holder within a bound; past it, it fails with
// everything as it was, and names the program.
TEST_F(RestoreEngine, FileHeldInTheHistoryIsWaitedForThenItsProgramIsNamed)
{
    struct Case {
        const char* name;
        bool undo;
        bool letsGo; // the holder closes the file a moment after the first refused rename
        int status;
    } cases[] = {
        {"restore, the holder lets go", false, true, RESTORE_DONE},
        {"restore, the holder keeps the file", false, false, RESTORE_SET_ASIDE_FAILED},
        {"undo, the holder lets go", true, true, RESTORE_DONE},
        {"undo, the holder keeps the file", true, false, RESTORE_UNDO_FAILED},
    };
    const std::wstring heldFile = L"\\12345\\Msg2.0.db";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaseFolder one;
        ScopedSeams<RestoreSeams> realMoves(&restoreSeams, [](RestoreSeams& seams) { seams.moveDirectory = TableMove; });
        RestoreJob job{one.folder.app().c_str(), 2, 1000, nullptr, nullptr};
        RestoreOutcome outcome{};
        if (c.undo) {
            ASSERT_EQ(RunRestore(job, &outcome), RESTORE_DONE);
        }
        TreeSnapshot before = Snapshot(one.folder.data());
        wchar_t recordData[PATH_CAPACITY] = L"", recordAside[PATH_CAPACITY] = L"";
        bool recorded = ReadUndoRecord(one.folder.app().c_str(), recordData, recordAside, PATH_CAPACITY);

        FakeRestartManager programs({{L"Windows Search Indexer", 4321, one.folder.data() + heldFile}});
        ScopedStrictFiles strict;
        ASSERT_TRUE(strict->Hold(one.folder.data() + heldFile));
        UniqueHandle refused(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        one.w.refused = refused.get();
        std::thread holder([&] {
            if (WaitForSingleObject(refused.get(), 10000) != WAIT_OBJECT_0 || !c.letsGo) return;
            Sleep(300);
            strict->Release(one.folder.data() + heldFile);
        });
        int status = c.undo ? UndoLastRestore(job, &outcome) : RunRestore(job, &outcome);
        bool wasRefused = WaitForSingleObject(refused.get(), 0) == WAIT_OBJECT_0;
        SetEvent(refused.get());
        holder.join();
        one.w.refused = nullptr;

        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(wasRefused); // the swap met the holder
        EXPECT_EQ(programs.openSessions, 0);
        wchar_t report[3 * PATH_CAPACITY];
        FormatRestoreReport(outcome, c.undo, report, 3 * PATH_CAPACITY);
        if (c.letsGo) {
            EXPECT_EQ(Snapshot(one.folder.data()), c.undo ? one.live : Snapshot(one.folder.slot(2)));
            EXPECT_THAT(Narrow(report), testing::Not(testing::HasSubstr("Windows Search Indexer")));
            continue;
        }
        // Everything as it was: the history in place, no copy beside it, the record as before.
        EXPECT_EQ(Snapshot(one.folder.data()), before);
        EXPECT_EQ(one.folder.SiblingCount(), c.undo ? 1 : 0);
        wchar_t data[PATH_CAPACITY] = L"", aside[PATH_CAPACITY] = L"";
        EXPECT_EQ(ReadUndoRecord(one.folder.app().c_str(), data, aside, PATH_CAPACITY), recorded);
        EXPECT_EQ(std::wstring(data), recordData);
        EXPECT_EQ(std::wstring(aside), recordAside);
        EXPECT_EQ(std::wstring(outcome.holders), L"Windows Search Indexer（进程 4321）");
        EXPECT_THAT(Narrow(report), testing::HasSubstr("Windows Search Indexer（进程 4321）"));
    }
}

// A history deeper than MAX_PATH, as the copy tool backs it up through long-form paths.
// Windows 7, and 10 or 11 without the opt-in, refuse every plain path of 260 characters or
// more: the slot is counted, restored and undone in full only through long-form paths.
TEST_F(RestoreEngine, SlotDeeperThanMaxPathIsCountedRestoredAndUndone)
{
    std::wstring deep = L"\\12345\\FileRecv";
    for (int level = 0; level < 5; ++level) deep += L"\\接收的文件" + std::wstring(55, L'0' + level);
    deep += L"\\很深的文件.txt";
    ASSERT_GE((folder_.data() + deep).size(), size_t{MAX_PATH} + 20);
    ASSERT_TRUE(WriteBytes(folder_.slot(2) + deep, "deep in the history"));
    TreeSnapshot slot = Snapshot(folder_.slot(2));
    ScopedSeams<RestoreSeams> realMoves(&restoreSeams, [](RestoreSeams& seams) { seams.moveDirectory = TableMove; });
    ScopedStrictFiles strict;

    SlotInfo slots[SLOT_COUNT];
    ASSERT_TRUE(ListSlots(folder_.app().c_str(), folder_.config().c_str(), true, slots));
    EXPECT_EQ(slots[1].files, 3u);
    EXPECT_EQ(slots[1].bytes, std::string("slot messages two" "slot image two" "deep in the history").size());
    unsigned long long onDisk = 0;
    EXPECT_TRUE(CountStoreOnDisk(slots, SLOT_COUNT, &onDisk));
    EXPECT_EQ(onDisk, slots[1].bytes);

    ASSERT_EQ(RunRestore(Job(2), &outcome_), RESTORE_DONE);
    EXPECT_EQ(Snapshot(folder_.data()), slot);
    ASSERT_EQ(UndoLastRestore(Job(0), &outcome_), RESTORE_DONE);
    EXPECT_EQ(Snapshot(folder_.data()), live_);
    EXPECT_EQ(Snapshot(outcome_.asideDir), slot);
}

TEST_F(RestoreEngine, OtherVolumeIsRefused)
{
    wchar_t drive[8];
    if (!GetEnvironmentVariableW(L"KESTOVA_TEST_ROOT_DRIVE", drive, 8)) GTEST_SKIP() << "no second drive";
    std::wstring elsewhere = std::wstring(drive) + L"\\companion-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(MakeDirs(elsewhere + L"\\QQ\\Users"));
    world_.dataDir = elsewhere + L"\\QQ\\Users";
    EXPECT_EQ(RunRestore(Job(2), &outcome_), RESTORE_OTHER_VOLUME);
    EXPECT_TRUE(IsDirectory(world_.dataDir));
    RemoveTree(elsewhere);
}

TEST_F(RestoreEngine, FailedUndoChangesNothing)
{
    ASSERT_EQ(RunRestore(Job(2), &outcome_), RESTORE_DONE);
    TreeSnapshot restored = Snapshot(folder_.data());
    std::wstring aside = outcome_.asideDir;
    struct Case {
        const char* name;
        std::set<int> failingMoves;
        int clientState;
        void (*duringStop)(World* w);
        int status;
    } cases[] = {
        {"QQ running", {}, 1, nullptr, RESTORE_CLIENT_RUNNING},
        {"QQ started while the runner quits", {}, 0, [](World* w) { w->clientState = 1; }, RESTORE_CLIENT_RUNNING},
        {"restored folder cannot move", {1}, 0, nullptr, RESTORE_UNDO_FAILED},
        {"history cannot move back", {2}, 0, nullptr, RESTORE_UNDO_FAILED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        world_.moves = 0;
        world_.copied = false;
        world_.failingMoves = c.failingMoves;
        world_.clientState = c.clientState;
        world_.duringStop = c.duringStop;
        EXPECT_EQ(UndoLastRestore(Job(0), &outcome_), c.status);
        EXPECT_EQ(Snapshot(folder_.data()), restored);
        EXPECT_EQ(Snapshot(aside), live_);
        EXPECT_EQ(folder_.SiblingCount(), 1);
    }

    // The history cannot move back, nor the restored folder to its place: both stay whole,
    // and the report names where the one that was live now lies.
    world_.moves = 0;
    world_.clientState = 0;
    world_.duringStop = nullptr;
    world_.failingMoves = {2, 3};
    EXPECT_EQ(UndoLastRestore(Job(0), &outcome_), RESTORE_SWAP_UNDO_FAILED);
    EXPECT_FALSE(PathExists(folder_.data()));
    EXPECT_EQ(Snapshot(outcome_.asideDir), restored);
    EXPECT_EQ(Snapshot(aside), live_);
}

// The undo record is a file in the program folder, and it can be stale (QQ's data folder
// has moved since) or edited. An undo renames the set-aside folder into the live data: one
// that named a slot would have QQ write into the files the generations share. Only a record
// of the folder QQ uses now, and of one of the restore's own siblings of it outside the
// store, is undone; any other changes nothing.
TEST_F(RestoreEngine, UndoTrustsOnlyARecordOfTheRestoresOwnFolders)
{
    struct Paths {
        std::wstring located; // the data folder the locator finds now
        std::wstring dataDir; // the record's
        std::wstring asideDir;
    };
    struct Case {
        const char* name;
        // The restore has been made; changes what the locator finds and what the record says.
        void (*arrange)(CompanionFolder& f, Paths* p);
        int status;
    } cases[] = {
        {"well-formed", [](CompanionFolder&, Paths*) {}, RESTORE_DONE},
        {"well-formed, written in another letter case",
         [](CompanionFolder&, Paths* p) {
             ToUpperAscii(p->dataDir.data());
             ToUpperAscii(p->asideDir.data());
         },
         RESTORE_DONE},
        {"stale: QQ's data folder has moved since",
         [](CompanionFolder& f, Paths* p) {
             p->located = f.scratch() / L"D\\QQ\\Users";
             WriteBytes(p->located + L"\\12345\\Msg2.0.db", "the history where QQ keeps it now");
         },
         RESTORE_UNDO_STALE},
        {"set-aside names a slot", [](CompanionFolder& f, Paths* p) { p->asideDir = f.slot(3); },
         RESTORE_UNDO_RECORD_INVALID},
        {"set-aside names a folder inside a slot",
         [](CompanionFolder& f, Paths* p) { p->asideDir = f.slot(2) + L"\\12345"; }, RESTORE_UNDO_RECORD_INVALID},
        {"set-aside not beside the data folder",
         [](CompanionFolder& f, Paths* p) {
             p->asideDir = f.scratch() / L"Elsewhere\\Users.before-restore-20100314-100000";
             WriteBytes(p->asideDir + L"\\12345\\Msg2.0.db", "another history");
         },
         RESTORE_UNDO_RECORD_INVALID},
        {"set-aside beside the data folder, but not a restore's",
         [](CompanionFolder& f, Paths* p) { p->asideDir = f.scratch() / L"QQ\\Bin"; }, RESTORE_UNDO_RECORD_INVALID},
        {"set-aside named past the restore's pattern",
         [](CompanionFolder& f, Paths* p) {
             p->asideDir = p->dataDir + L".before-restore-20100314-100000\\..\\Bin";
             MakeDirs(f.data() + L".before-restore-20100314-100000");
         },
         RESTORE_UNDO_RECORD_INVALID},
        {"a data folder inside the store, and a set-aside beside it there",
         [](CompanionFolder& f, Paths* p) {
             p->located = p->dataDir = f.slot(4) + L"\\Users";
             p->asideDir = p->dataDir + L".before-restore-20100314-100000";
             WriteBytes(p->dataDir + L"\\12345\\Msg2.0.db", "in the store");
             WriteBytes(p->asideDir + L"\\12345\\Msg2.0.db", "in the store too");
         },
         RESTORE_UNDO_RECORD_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaseFolder one;
        one.folder.FillSlot(3, "three");
        RestoreJob job{one.folder.app().c_str(), 2, 1000, nullptr, nullptr};
        RestoreOutcome outcome{};
        ASSERT_EQ(RunRestore(job, &outcome), RESTORE_DONE);
        TreeSnapshot restored = Snapshot(one.folder.data());

        Paths paths{one.folder.data(), one.folder.data(), outcome.asideDir};
        c.arrange(one.folder, &paths);
        const std::wstring record = one.folder.app() + L"\\Marrowby.ini";
        ASSERT_TRUE(WriteSetting(record.c_str(), UNDO_SECTION, L"DataDir", paths.dataDir.c_str()));
        ASSERT_TRUE(WriteSetting(record.c_str(), UNDO_SECTION, L"SetAside", paths.asideDir.c_str()));
        one.w.dataDir = paths.located;
        one.w.started.clear();
        TreeSnapshot before = Snapshot(one.folder.scratch().path());

        EXPECT_EQ(UndoLastRestore(job, &outcome), c.status);
        if (c.status == RESTORE_DONE) {
            EXPECT_EQ(Snapshot(one.folder.data()), one.live);
            EXPECT_EQ(Snapshot(outcome.asideDir), restored);
            continue;
        }
        EXPECT_EQ(Difference(before, Snapshot(one.folder.scratch().path())), "");
        EXPECT_TRUE(one.w.started.empty()); // the runner was not even asked to quit
    }
}

TEST_F(RestoreEngine, RunnerThatCannotBeRestartedIsReported)
{
    world_.startSucceeds = false;
    EXPECT_EQ(RunRestore(Job(2), &outcome_), RESTORE_DONE_RUNNER_NOT_RESTARTED);
    EXPECT_TRUE(outcome_.runnerWasRunning);
    EXPECT_FALSE(outcome_.runnerRestarted);
    // A runner that was not running is not started.
    world_.stopResult = STOP_NOT_RUNNING;
    world_.started.clear();
    EXPECT_EQ(UndoLastRestore(Job(0), &outcome_), RESTORE_DONE);
    EXPECT_TRUE(world_.started.empty());
}

} // namespace
