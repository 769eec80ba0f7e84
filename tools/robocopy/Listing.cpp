// The listing layer: directory listings, single entries, identities and followed links.
#include "tools/robocopy/Listing.h"

#include "base/FileCalls.h"
#include "base/ScopedWin.h"

#include <algorithm>
#include <cwchar>

namespace {

// Room for the volume path of a long-form path.
constexpr DWORD LONG_PATH_CAPACITY_FOR_VOLUME = 32768;

uint64_t TicksOf(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// Entry from a listing record.
Entry EntryOf(const WIN32_FIND_DATAW& found)
{
    Entry e;
    e.name = found.cFileName;
    e.attributes = found.dwFileAttributes;
    e.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    e.creation = found.ftCreationTime;
    e.access = found.ftLastAccessTime;
    e.write = found.ftLastWriteTime;
    return e;
}

} // namespace

bool SameFile(const Entry& a, const Entry& b, uint64_t timeStep)
{
    if (a.size != b.size || (a.attributes & MATCHED_FILE_ATTRIBUTES) != (b.attributes & MATCHED_FILE_ATTRIBUTES))
        return false;
    if (timeStep == 0) return SameTime(a.write, b.write);
    uint64_t ta = TicksOf(a.write), tb = TicksOf(b.write);
    return (ta > tb ? ta - tb : tb - ta) < timeStep;
}

uint64_t WriteTimeStepOf(const std::wstring& dir)
{
    wchar_t volume[LONG_PATH_CAPACITY_FOR_VOLUME];
    wchar_t system[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(dir.c_str(), volume, LONG_PATH_CAPACITY_FOR_VOLUME) ||
        !Files().getVolumeInformation(volume, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1))
        return 0;
    // "File Times": FAT keeps last-write times to 2 s, exFAT to 10 ms; NTFS and the others
    // to 100 ns, which an exact comparison matches.
    if (CompareStringOrdinal(system, -1, L"exFAT", -1, TRUE) == CSTR_EQUAL) return EXFAT_WRITE_TIME_STEP;
    if (CompareStringOrdinal(system, 3, L"FAT", 3, TRUE) == CSTR_EQUAL) return FAT_WRITE_TIME_STEP;
    return 0;
}

int CompareNames(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

bool EntryOfPath(const std::wstring& path, Entry* e)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Files().getFileAttributesEx(path.c_str(), GetFileExInfoStandard, &data)) return false;
    e->attributes = data.dwFileAttributes;
    e->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    e->creation = data.ftCreationTime;
    e->access = data.ftLastAccessTime;
    e->write = data.ftLastWriteTime;
    return true;
}

bool ListDirectory(const std::wstring& dir, std::vector<Entry>* entries, DWORD* error)
{
    entries->clear();
    std::wstring pattern = dir + (dir.back() == L'\\' ? L"*" : L"\\*");
    WIN32_FIND_DATAW found;
    UniqueFindHandle listing(Files().findFirstFileEx(pattern.c_str(), FindExInfoBasic, &found,
                                              FindExSearchNameMatch, nullptr,
                                              FIND_FIRST_EX_LARGE_FETCH));
    if (!listing) {
        DWORD code = GetLastError();
        // A drive's root has no "." entry, so an empty root reports "not found".
        Entry root;
        if (code == ERROR_FILE_NOT_FOUND && EntryOfPath(dir, &root) && IsDir(root)) return true;
        *error = code;
        return false;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        entries->push_back(EntryOf(found));
    } while (FindNextFileW(listing.get(), &found));
    DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        *error = code;
        return false;
    }
    std::sort(entries->begin(), entries->end(),
              [](const Entry& a, const Entry& b) { return CompareNames(a.name, b.name) < 0; });
    return true;
}

DWORD FollowedInfo(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info)
{
    // Attribute access only: it is granted even while another process holds the file
    // open without sharing.
    FileHandle h(Files().createFile(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return GetLastError();
    return GetFileInformationByHandle(h.get(), info) ? 0 : GetLastError();
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info)
{
    return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool SameId(const FileId& a, const FileId& b)
{
    return a.volume == b.volume && a.high == b.high && a.low == b.low;
}

void TakeFollowed(const BY_HANDLE_FILE_INFORMATION& info, Entry* e)
{
    e->attributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT;
    e->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    e->creation = info.ftCreationTime;
    e->access = info.ftLastAccessTime;
    e->write = info.ftLastWriteTime;
}

DWORD FollowFileLink(const std::wstring& path, Entry* e)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD code = FollowedInfo(path, &info);
    if (!code) TakeFollowed(info, e);
    return code;
}

bool NameReachesItself(const std::wstring& path, Entry* e)
{
    // Without a wildcard the listing gives the one entry the name reaches, by its long name.
    WIN32_FIND_DATAW found;
    UniqueFindHandle listing(Files().findFirstFileEx(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                                     nullptr, 0));
    if (!listing) return false;
    *e = EntryOf(found);
    return CompareNames(e->name, path.substr(path.find_last_of(L'\\') + 1)) == 0;
}
