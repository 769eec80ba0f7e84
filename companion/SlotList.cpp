#include "companion/SlotList.h"

#include "base/FileCalls.h"
#include "base/FileTree.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "companion/CompanionTexts.h"

#include <algorithm>
#include <cwchar>
#include <set>
#include <string>
#include <tuple>

namespace {

unsigned long long SizeOf(const WIN32_FIND_DATAW& entry)
{
    return (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

// A file on disk, whichever of its links names it.
using FileIdentity = std::tuple<DWORD, DWORD, DWORD>; // volume serial, file index high, low

} // namespace

bool CountTree(const wchar_t* dir, unsigned long long* files, unsigned long long* bytes,
               unsigned long long* writeTimes)
{
    auto count = [&](const std::wstring&, const WIN32_FIND_DATAW& entry) {
        *files += 1;
        *bytes += SizeOf(entry);
        // Wraps on overflow: only equality of two sums is ever asked.
        if (writeTimes)
            *writeTimes += (static_cast<unsigned long long>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
                           entry.ftLastWriteTime.dwLowDateTime;
    };
    return ForEachFile(dir, count);
}

bool CountStoreOnDisk(const SlotInfo* slots, int count, unsigned long long* bytes)
{
    *bytes = 0;
    std::set<FileIdentity> seen;
    bool whole = true;
    auto add = [&](const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        FileHandle file(Files().createFile(path.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        if (!file || !GetFileInformationByHandle(file.get(), &info)) {
            whole = false;
            *bytes += SizeOf(entry);
            return;
        }
        // A file with one link cannot be met again; only shared ones are remembered.
        if (info.nNumberOfLinks > 1 &&
            !seen.insert(FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow}).second)
            return;
        *bytes += SizeOf(entry);
    };
    for (int n = 0; n < count; ++n)
        if (slots[n].exists && slots[n].path[0]) whole = ForEachFile(slots[n].path, add) && whole;
    return whole;
}

bool ListSlots(const wchar_t* programDir, const wchar_t* configPath, bool countFiles,
               SlotInfo slots[SLOT_COUNT])
{
    bool formed = true;
    for (int n = 0; n < SLOT_COUNT; ++n) {
        SlotInfo& slot = slots[n];
        slot = SlotInfo{};
        slot.number = n + 1;
        if (!FormSlotPath(slot.path, PATH_CAPACITY, programDir, slot.number)) {
            slot.path[0] = L'\0';
            formed = false;
        }

        wchar_t stamp[STAMP_CAPACITY];
        const wchar_t* text = ReadSlotStamp(configPath, slot.number, stamp, STAMP_CAPACITY);
        slot.time = StampToTime(text);
        StampLocalMoment(text, &slot.completed);
        slot.stamped = IsUsableStampKey(slot.time);

        DWORD attributes = slot.path[0] ? AttributesOf(LongPathOf(slot.path)) : INVALID_FILE_ATTRIBUTES;
        slot.exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (slot.exists && countFiles) CountTree(slot.path, &slot.files, &slot.bytes);
    }
    return formed;
}

void SortSlotsNewestFirst(SlotInfo* slots, int count)
{
    std::stable_sort(slots, slots + count, [](const SlotInfo& a, const SlotInfo& b) {
        if (a.stamped != b.stamped) return a.stamped;
        if (!a.stamped) return a.number < b.number;
        return SlotComesFirst(a.time, a.number, b.time, b.number, true);
    });
}

wchar_t* FormatSlotTime(const SlotInfo& slot, wchar_t* buffer, size_t capacity)
{
    if (!slot.stamped) {
        swprintf(buffer, capacity, L"%ls", TEXT_NEVER_BACKED_UP);
        return buffer;
    }
    const std::tm& t = slot.completed;
    swprintf(buffer, capacity, L"%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

wchar_t* FormatSize(unsigned long long bytes, wchar_t* buffer, size_t capacity)
{
    const double kb = 1024.0, mb = kb * 1024.0, gb = mb * 1024.0;
    double value = static_cast<double>(bytes);
    if (bytes < 1024) swprintf(buffer, capacity, L"%llu 字节", bytes);
    else if (value < mb) swprintf(buffer, capacity, L"%.1f KB", value / kb);
    else if (value < gb) swprintf(buffer, capacity, L"%.1f MB", value / mb);
    else swprintf(buffer, capacity, L"%.2f GB", value / gb);
    return buffer;
}
