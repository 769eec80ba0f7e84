#include "base/FileTree.h"

#include "base/FileCalls.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t EXTENDED_PREFIX[] = L"\\\\?\\";
constexpr wchar_t EXTENDED_UNC_PREFIX[] = L"\\\\?\\UNC\\";
constexpr wchar_t DEVICE_PREFIX[] = L"\\\\.\\";

bool StartsWith(const wchar_t* text, const wchar_t* prefix) { return wcsncmp(text, prefix, wcslen(prefix)) == 0; }

wchar_t* CopyInto(wchar_t* destination, size_t capacity, const std::wstring& text)
{
    if (text.size() + 1 > capacity) return nullptr;
    wmemcpy(destination, text.c_str(), text.size() + 1);
    return destination;
}

// The root of a drive ("\\?\C:\") or of a share ("\\?\UNC\server\share\"), with or
// without its last separator, or the prefix alone.
bool IsVolumeRoot(const std::wstring& extended)
{
    if (extended.rfind(EXTENDED_UNC_PREFIX, 0) == 0) {
        std::wstring rest = extended.substr(wcslen(EXTENDED_UNC_PREFIX));
        size_t server = rest.find(L'\\');
        if (server == std::wstring::npos) return true;
        size_t share = rest.find(L'\\', server + 1);
        return share == std::wstring::npos || share + 1 == rest.size();
    }
    std::wstring rest = extended.substr(wcslen(EXTENDED_PREFIX));
    if (rest.find_first_not_of(L'\\') == std::wstring::npos) return true;
    return rest.size() <= 3 && rest.size() >= 2 && rest[1] == L':' && (rest.size() == 2 || rest[2] == L'\\');
}

// Runs remove on path. A read-only entry has the attribute lifted for the removal through
// a handle held across it, and put back through that handle afterwards: the attributes
// belong to the file, not to the name, so a file that lives on under another name must
// not lose its read-only attribute there, nor an entry that could not be removed here.
// The handle shares deletion, so the removal goes ahead while it is held; the entry goes
// when the handle closes.
bool RemoveEvenIfReadOnly(const std::wstring& path, DWORD attributes, BOOL(WINAPI* remove)(LPCWSTR))
{
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return remove(path.c_str()) != FALSE;
    FileHandle held(Files().createFile(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO kept;
    if (!held || !GetFileInformationByHandleEx(held.get(), FileBasicInfo, &kept, sizeof kept))
        return remove(path.c_str()) != FALSE;
    FILE_BASIC_INFO writable{}; // times of zero are left as they are
    writable.FileAttributes = kept.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(held.get(), FileBasicInfo, &writable, sizeof writable);
    bool removed = remove(path.c_str()) != FALSE;
    FILE_BASIC_INFO restored{};
    restored.FileAttributes = kept.FileAttributes;
    SetFileInformationByHandle(held.get(), FileBasicInfo, &restored, sizeof restored);
    return removed;
}

// DeleteTree on a path in its extended-length form, without a trailing separator.
bool DeleteExtended(const std::wstring& path)
{
    DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return RemoveEvenIfReadOnly(path, attributes, Files().deleteFile);
    // A link to a folder is removed itself: what it leads to is not part of the tree, and
    // may even hold the tree.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle listing(Files().findFirstFileEx((path + L"\\*").c_str(), FindExInfoBasic, &entry,
                                                         FindExSearchNameMatch, nullptr, 0));
        if (listing) {
            do {
                if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
                DeleteExtended(path + L"\\" + entry.cFileName);
            } while (FindNextFileW(listing.get(), &entry));
        }
    }
    return RemoveEvenIfReadOnly(path, attributes, Files().removeDirectory);
}

// ForEachFile below dir, a path in its extended-length form without a trailing separator.
bool ForEachFileUnder(const std::wstring& dir,
                      const std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& entry)>& visit)
{
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(
        Files().findFirstFileEx((dir + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!find) return false;
    bool whole = true;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
        std::wstring path = dir + L"\\" + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            whole = ForEachFileUnder(path, visit) && whole;
            continue;
        }
        visit(path, entry);
    } while (FindNextFileW(find.get(), &entry));
    return whole;
}

} // namespace

std::wstring LongPathOf(const std::wstring& path)
{
    if (path.empty()) return {};
    // The platform takes these as they are; GetFullPathNameW would rewrite them.
    if (StartsWith(path.c_str(), EXTENDED_PREFIX) || StartsWith(path.c_str(), DEVICE_PREFIX)) return path;
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::vector<wchar_t> full(needed);
    DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    const wchar_t* text = full.data();
    if (StartsWith(text, L"\\\\")) return EXTENDED_UNC_PREFIX + std::wstring(text + 2);
    return EXTENDED_PREFIX + std::wstring(text);
}

bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer)
{
    size_t n = outer.size();
    if (n == 0 || inner.size() < n) return false;
    if (CompareStringOrdinal(inner.c_str(), static_cast<int>(n), outer.c_str(), static_cast<int>(n), TRUE) !=
        CSTR_EQUAL)
        return false;
    return inner.size() == n || outer.back() == L'\\' || inner[n] == L'\\';
}

wchar_t* ExtendedLengthPath(wchar_t* destination, size_t capacity, const wchar_t* path)
{
    if (!destination || capacity == 0 || !path || !path[0]) return nullptr;
    std::wstring extended = LongPathOf(path);
    return extended.empty() ? nullptr : CopyInto(destination, capacity, extended);
}

bool ForEachFile(const std::wstring& dir,
                 const std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& entry)>& visit)
{
    std::wstring root = LongPathOf(dir);
    if (root.empty()) return false;
    while (root.back() == L'\\') root.pop_back();
    return ForEachFileUnder(root, visit);
}

bool DeleteTree(const wchar_t* path)
{
    std::wstring extended = LongPathOf(path ? path : L"");
    if (extended.empty() || IsVolumeRoot(extended)) return false;
    while (extended.back() == L'\\') extended.pop_back();
    return DeleteExtended(extended);
}
