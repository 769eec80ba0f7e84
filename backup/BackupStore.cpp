#include "backup/BackupStore.h"

#include "base/PathText.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "contracts/ProgramFiles.h"
#include "contracts/SettingsFormat.h"

#include <cstdio>
#include <cwchar>

const std::tm DEFAULT_STAMP_TIME = [] {
    std::tm t{};
    t.tm_mday = 11;
    t.tm_mon = 1;
    t.tm_year = 99;
    return t;
}();

namespace {

// Whether programDir has a parent for the store to sit in: a drive's root ("C:") has none.
bool HasStoreParent(const wchar_t* programDir)
{
    return programDir && wcschr(programDir, PATH_SEPARATOR) != nullptr;
}

// The program directory, or null when it is unavailable or is a drive's root.
wchar_t* StoreParentProgramDir(wchar_t* dir, size_t capacity)
{
    if (!GetProgramDir(dir, capacity)) return nullptr;
    return HasStoreParent(dir) ? dir : nullptr;
}

// One directory of the store: made now, or already there under that name.
bool EnsureDirectory(const wchar_t* path)
{
    return CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The folder name of slot 1..5: "1" to "5".
void SlotName(int slot, wchar_t name[2])
{
    name[0] = static_cast<wchar_t>(L'0' + slot);
    name[1] = L'\0';
}

// The ordering keys of the five slots' stamps in configPath (all default when it is null).
void ReadSlotKeys(const wchar_t* configPath, long long keys[SLOT_COUNT])
{
    for (int n = 1; n <= SLOT_COUNT; ++n) {
        wchar_t stamp[STAMP_CAPACITY];
        keys[n - 1] = StampToTime(ReadSlotStamp(configPath, n, stamp, STAMP_CAPACITY));
    }
}

// The slot that comes first in the ordering, leaving out exceptSlot; 0 when none is left.
int FirstSlot(const long long keys[SLOT_COUNT], bool newest, int exceptSlot)
{
    int best = 0;
    for (int n = 1; n <= SLOT_COUNT; ++n) {
        if (n == exceptSlot) continue;
        if (best == 0 || SlotComesFirst(keys[n - 1], n, keys[best - 1], best, newest)) best = n;
    }
    return best;
}

} // namespace

wchar_t* FormSlotPath(wchar_t* path, size_t capacity, const wchar_t* programDir, int slot)
{
    if (!path || slot < 1 || slot > SLOT_COUNT) return nullptr;
    if (!HasStoreParent(programDir)) return nullptr;
    wchar_t store[PATH_CAPACITY];
    wchar_t name[2];
    SlotName(slot, name);
    if (!JoinSibling(store, PATH_CAPACITY, programDir, STORE_DIR_NAME)) return nullptr;
    return JoinPath(path, capacity, store, name);
}

wchar_t* FormSlotSection(wchar_t* section, size_t capacity, const wchar_t* slotName)
{
    if (!section || !slotName) return nullptr;
    size_t prefix = wcslen(SLOT_SECTION_PREFIX), name = wcslen(slotName);
    if (prefix + name + 1 > capacity) return nullptr;
    wmemcpy(section, SLOT_SECTION_PREFIX, prefix);
    wmemcpy(section + prefix, slotName, name + 1);
    return section;
}

wchar_t* ReadSlotStamp(const wchar_t* configPath, int slot, wchar_t* stamp, size_t capacity)
{
    if (!configPath || slot < 1 || slot > SLOT_COUNT) return nullptr;
    wchar_t name[2];
    wchar_t section[16];
    SlotName(slot, name);
    if (!FormSlotSection(section, 16, name)) return nullptr;
    return ReadSetting(configPath, section, KEY_ENDED, stamp, capacity);
}

bool WriteSlotStamp(const wchar_t* configPath, const wchar_t* slotDir, const wchar_t* stamp)
{
    wchar_t section[PATH_CAPACITY];
    if (!configPath || !slotDir || !FormSlotSection(section, PATH_CAPACITY, LastComponent(slotDir)))
        return false;
    return WriteSetting(configPath, section, KEY_ENDED, stamp);
}

bool PrepareBackupStore()
{
    wchar_t dir[PATH_CAPACITY];
    wchar_t store[PATH_CAPACITY];
    if (!StoreParentProgramDir(dir, PATH_CAPACITY)) return false;
    if (!JoinSibling(store, PATH_CAPACITY, dir, STORE_DIR_NAME)) return false;
    if (!EnsureDirectory(store)) return false;
    for (int n = 1; n <= SLOT_COUNT; ++n) {
        wchar_t slot[PATH_CAPACITY];
        if (!FormSlotPath(slot, PATH_CAPACITY, dir, n)) return false;
        if (!EnsureDirectory(slot)) return false;
    }
    return true;
}

wchar_t* ChooseBackupSlot(wchar_t* slotPath, size_t capacity)
{
    wchar_t config[PATH_CAPACITY];
    wchar_t dir[PATH_CAPACITY];
    if (!slotPath) return nullptr;
    if (!GetConfigPath(config, PATH_CAPACITY)) return nullptr;
    if (!StoreParentProgramDir(dir, PATH_CAPACITY)) return nullptr;
    return FormSlotPath(slotPath, capacity, dir, FindOldestSlot(config));
}

int FindOldestSlot(const wchar_t* configPath)
{
    long long keys[SLOT_COUNT];
    ReadSlotKeys(configPath, keys);
    return FirstSlot(keys, false, 0);
}

int FindNewestStampedSlot(const wchar_t* configPath, int exceptSlot)
{
    long long keys[SLOT_COUNT];
    ReadSlotKeys(configPath, keys);
    int newest = FirstSlot(keys, true, exceptSlot);
    return newest != 0 && IsUsableStampKey(keys[newest - 1]) ? newest : 0;
}

wchar_t* FindLinkReference(wchar_t* reference, size_t capacity, const wchar_t* configPath,
                           const wchar_t* targetDir)
{
    if (!reference || !targetDir) return nullptr;
    const wchar_t* name = LastComponent(targetDir);
    bool isSlot = name[0] >= L'1' && name[0] < L'1' + SLOT_COUNT && name[1] == L'\0';
    int newest = FindNewestStampedSlot(configPath, isSlot ? name[0] - L'0' : 0);
    if (newest == 0) return nullptr;
    wchar_t slotName[2];
    SlotName(newest, slotName);
    return JoinSibling(reference, capacity, targetDir, slotName);
}

bool SlotComesFirst(long long keyA, int a, long long keyB, int b, bool newest)
{
    if (keyA != keyB) return newest ? keyA > keyB : keyA < keyB;
    return a < b;
}

int IsDirectoryEmpty(const wchar_t* path)
{
    if (!path) return 1;
    wchar_t pattern[PATH_CAPACITY];
    size_t n = wcslen(path);
    if (n > 0 && path[n - 1] == PATH_SEPARATOR) --n;
    if (n + 5 > PATH_CAPACITY) return 1;
    wmemcpy(pattern, path, n);
    wmemcpy(pattern + n, L"\\*.*", 5);

    WIN32_FIND_DATAW entry;
    UniqueFindHandle listing(FindFirstFileW(pattern, &entry));
    if (!listing) return 1;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) return 0;
    } while (FindNextFileW(listing.get(), &entry));
    return 1;
}

std::tm ParseStamp(const wchar_t* text)
{
    if (!text) return DEFAULT_STAMP_TIME;
    static const wchar_t* const MONTHS[12] = {
        L"JAN", L"FEB", L"MAR", L"APR", L"MAY", L"JUN",
        L"JUL", L"AUG", L"SEP", L"OCT", L"NOV", L"DEC",
    };
    std::tm t{};
    wchar_t weekday[4] = {};
    wchar_t month[4] = {};
    int year = 0;
    // Items not read keep their zero; a missing year still makes -1900 below.
    swscanf(text, L"%3ls %3ls %d %d:%d:%d %d", weekday, month, &t.tm_mday, &t.tm_hour,
            &t.tm_min, &t.tm_sec, &year);
    t.tm_year = year - 1900;
    ToUpperAscii(month);
    for (int m = 0; m < 12; ++m) {
        if (wcscmp(month, MONTHS[m]) == 0) {
            t.tm_mon = m;
            return t;
        }
    }
    return DEFAULT_STAMP_TIME;
}

long long StampToTime(const wchar_t* text)
{
    std::tm t = ParseStamp(text);
    return static_cast<long long>(std::mktime(&t));
}

long long StampLocalMoment(const wchar_t* text, std::tm* local)
{
    // Parsed, a stamp says "standard time", which would put a summer stamp an hour late.
    std::tm parsed = ParseStamp(text);
    std::tm t = parsed;
    t.tm_isdst = -1;
    long long moment = static_cast<long long>(std::mktime(&t));
    if (local) *local = moment == -1 ? parsed : t;
    return moment;
}

bool IsUsableStampKey(long long key)
{
    return key != -1 && key != StampToTime(nullptr);
}
