// The slot list as the restore dialog shows it: stamps read as the runner reads them,
// newest first.
#include "base/Settings.h"
#include "companion/SlotList.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// A program folder scratch\App with config.ini holding the given stamps (null: none).
struct SlotFolder {
    explicit SlotFolder(const wchar_t* const stamps[SLOT_COUNT])
    {
        MakeDirs(app());
        for (int n = 0; n < SLOT_COUNT; ++n)
            if (stamps[n]) WriteSetting(config().c_str(), (L"Target" + std::to_wstring(n + 1)).c_str(), L"Ended", stamps[n]);
    }
    std::wstring app() const { return scratch / L"App"; }
    std::wstring config() const { return scratch / L"App\\config.ini"; }
    std::wstring slot(int n) const { return scratch / (L"Backup_Data\\" + std::to_wstring(n)); }
    ScratchDir scratch;
};

std::string ShownTime(const SlotInfo& slot)
{
    wchar_t text[64];
    return Narrow(FormatSlotTime(slot, text, 64));
}

TEST(SlotList, NewestFirstWithUnusableStampsLast)
{
    const wchar_t* const stamps[SLOT_COUNT] = {
        L"Wed Mar", L"Sun Mar 14 10:00:00 2010", nullptr, L"Sun Mar 14 10:00:00 2010", L"Mon Mar 15 09:00:00 2010",
    };
    SlotFolder folder(stamps);
    SlotInfo slots[SLOT_COUNT];
    ASSERT_TRUE(ListSlots(folder.app().c_str(), folder.config().c_str(), false, slots));
    EXPECT_EQ(Narrow(slots[2].path), Narrow(folder.slot(3)));
    SortSlotsNewestFirst(slots, SLOT_COUNT);
    // Equal stamps keep the lower number first; the two without a usable stamp follow.
    const int order[SLOT_COUNT] = {5, 2, 4, 1, 3};
    for (int i = 0; i < SLOT_COUNT; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(slots[i].number, order[i]);
        EXPECT_EQ(slots[i].stamped, i < 3);
    }
    EXPECT_EQ(ShownTime(slots[0]), "2010-03-15 09:00:00");
}

// Generations share the files that did not change: each slot shows its own size, and the
// store's total counts a shared file once.
TEST(SlotList, StoreTotalCountsASharedFileOnce)
{
    const wchar_t* const stamps[SLOT_COUNT] = {};
    SlotFolder folder(stamps);
    const std::string history(1000, 'h');
    ASSERT_TRUE(WriteBytes(folder.slot(1) + L"\\12345\\Msg2.0.db", history));
    ASSERT_TRUE(WriteBytes(folder.slot(1) + L"\\12345\\new.txt", std::string(10, 'n')));
    ASSERT_TRUE(WriteBytes(folder.slot(2) + L"\\12345\\changed.txt", std::string(100, 'c')));
    ASSERT_TRUE(CreateHardLinkW((folder.slot(2) + L"\\12345\\Msg2.0.db").c_str(),
                                (folder.slot(1) + L"\\12345\\Msg2.0.db").c_str(), nullptr));
    // A link outside the store is not part of it, but the file is: still counted once.
    ASSERT_TRUE(WriteBytes(folder.scratch / L"outside\\kept.db", std::string(5, 'k')));
    ASSERT_TRUE(MakeDirs(folder.slot(3)));
    ASSERT_TRUE(CreateHardLinkW((folder.slot(3) + L"\\kept.db").c_str(), (folder.scratch / L"outside\\kept.db").c_str(),
                                nullptr));

    SlotInfo slots[SLOT_COUNT];
    ASSERT_TRUE(ListSlots(folder.app().c_str(), folder.config().c_str(), true, slots));
    const unsigned long long sizes[SLOT_COUNT] = {1010, 1100, 5, 0, 0};
    for (int n = 0; n < SLOT_COUNT; ++n) {
        SCOPED_TRACE(n + 1);
        EXPECT_EQ(slots[n].bytes, sizes[n]);
    }
    unsigned long long onDisk = 12345;
    EXPECT_TRUE(CountStoreOnDisk(slots, SLOT_COUNT, &onDisk));
    EXPECT_EQ(onDisk, 1000u + 10 + 100 + 5);
}

// A stamp is the copy tool's local wall-clock time, summer or winter. The child's C
// runtime follows US Eastern time, with daylight saving from 14 March to 7 November 2010.
KESTOVA_CHILD(shown_times_dst)
{
    _wputenv(L"TZ=EST5EDT");
    _tzset();
    const wchar_t* const stamps[SLOT_COUNT] = {
        L"Sun Jul 11 10:00:00 2010", L"Sun Jan 10 10:00:00 2010", L"Sun Mar 14 01:30:00 2010",
        L"Sun Nov 07 12:00:00 2010", nullptr,
    };
    SlotFolder folder(stamps);
    SlotInfo slots[SLOT_COUNT];
    if (!ListSlots(folder.app().c_str(), folder.config().c_str(), false, slots)) return 99;
    for (int n = 0; n < 4; ++n) std::printf("%s\n", ShownTime(slots[n]).c_str());
    return 0;
}

TEST(SlotList, ShowsTheStampsWallClockTimeAcrossDaylightSaving)
{
    ChildResult child = RunChild(CurrentExePath(), L"shown_times_dst", {});
    ASSERT_TRUE(child.started);
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    std::string shown = child.output;
    std::erase(shown, '\r');
    EXPECT_EQ(shown, "2010-07-11 10:00:00\n2010-01-10 10:00:00\n2010-03-14 01:30:00\n2010-11-07 12:00:00\n");
}

} // namespace
