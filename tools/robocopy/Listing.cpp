// The listing layer: directory listings, single entries, identities and followed links.
#include "tools/robocopy/Listing.h"

#include "base/ScopedWin.h"

#include <algorithm>
#include <cwchar>

namespace {

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

bool SameFile(const Entry& a, const Entry& b)
{
    return a.size == b.size && SameTime(a.write, b.write) &&
           (a.attributes & MATCHED_FILE_ATTRIBUTES) == (b.attributes & MATCHED_FILE_ATTRIBUTES);
}

int CompareNames(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

bool EntryOfPath(const std::wstring& path, Entry* e)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
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
    UniqueFindHandle listing(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                              FindExSearchNameMatch, nullptr,
                                              FIND_FIRST_EX_LARGE_FETCH));
    if (!listing) {
        DWORD code = GetLastError();
        // A drive's root has no "." entry, so an empty root reports "not found".
        DWORD attributes = GetFileAttributesW(dir.c_str());
        if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return true;
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
    UniqueHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
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
