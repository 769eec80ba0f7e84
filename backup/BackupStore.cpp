#include "backup/BackupStore.h"

#include "base/PathText.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"

#include <cstdio>
#include <cwchar>

const std::tm DEFAULT_STAMP_TIME = [] {
    std::tm t{};
    t.tm_mday = 11;
    t.tm_mon = 1;
    t.tm_year = 99;
    return t;
}();

// The slot directories relative to the parent of the program directory.
static const wchar_t* const kSlotDirs[SLOT_COUNT] = {
    L"Backup_Data\\1", L"Backup_Data\\2", L"Backup_Data\\3", L"Backup_Data\\4", L"Backup_Data\\5",
};

// The program directory, or null when it is unavailable or is a drive's root ("C:"):
// such a directory has no parent for the store to sit in.
static wchar_t* StoreParentProgramDir(wchar_t* dir, size_t capacity)
{
    if (!GetProgramDir(dir, capacity)) return nullptr;
    if (!wcschr(dir, PATH_SEPARATOR)) return nullptr;
    return dir;
}

// One directory of the store: made now, or already there under that name.
static bool EnsureDirectory(const wchar_t* path)
{
    return CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool PrepareBackupStore()
{
    wchar_t dir[PATH_CAPACITY];
    wchar_t store[PATH_CAPACITY];
    if (!StoreParentProgramDir(dir, PATH_CAPACITY)) return false;
    if (!JoinSibling(store, PATH_CAPACITY, dir, STORE_DIR_NAME)) return false;
    if (!EnsureDirectory(store)) return false;
    for (int n = 1; n <= SLOT_COUNT; ++n) {
        wchar_t name[2] = {static_cast<wchar_t>(L'0' + n), L'\0'};
        wchar_t slot[PATH_CAPACITY];
        if (!JoinPath(slot, PATH_CAPACITY, store, name)) return false;
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

    long long times[SLOT_COUNT];
    for (int i = 0; i < SLOT_COUNT; ++i) {
        wchar_t section[16];
        swprintf(section, 16, L"%ls%d", SLOT_SECTION_PREFIX, i + 1);
        wchar_t stamp[STAMP_CAPACITY];
        times[i] = StampToTime(ReadSetting(config, section, KEY_ENDED, stamp, STAMP_CAPACITY));
    }
    int best = 0;
    for (int i = 1; i < SLOT_COUNT; ++i)
        if (times[i] < times[best]) best = i;
    return JoinSibling(slotPath, capacity, dir, kSlotDirs[best]);
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
    static const wchar_t* const kMonths[12] = {
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
        if (wcscmp(month, kMonths[m]) == 0) {
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
